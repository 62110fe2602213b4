#include "platform/image_help.h"

#include <windows.h>

#include <dbghelp.h>

#include <atomic>

#include "platform/memory_access.h"
#include "platform/module_loads.h"

namespace zelvic::platform {
namespace {

using UnDecorateSymbolNameWProc = DWORD(WINAPI*)(PCWSTR name, PWSTR output, DWORD max_length, DWORD flags);
using StackWalk64Proc = BOOL(WINAPI*)(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame,
                                      PVOID context, PREAD_PROCESS_MEMORY_ROUTINE64 read,
                                      PFUNCTION_TABLE_ACCESS_ROUTINE64 table, PGET_MODULE_BASE_ROUTINE64 base,
                                      PTRANSLATE_ADDRESS_ROUTINE64 translate);

constexpr DWORD kNameOnly = 0x1000;   // UNDNAME_NAME_ONLY: no return type, no arguments
constexpr DWORD kMaxUndecorated = 4096;

// The library from the system folder only: a dbghelp.dll next to the host
// program is not necessarily the system's. It stays loaded for the process:
// its uses are rare and it is a system library.
HMODULE ImageHelpModule() {
  static std::atomic<HMODULE> module{nullptr};
  static std::atomic<bool> tried{false};
  if (!tried.load(std::memory_order_acquire)) {
    wchar_t path[MAX_PATH + 16];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n != 0 && n < MAX_PATH) {
      lstrcpyW(path + n, L"\\dbghelp.dll");
      module.store(LoadSystemModule(path), std::memory_order_release);
    }
    // A load that was barred is tried again later.
    if (module.load(std::memory_order_acquire) != nullptr || !ModuleLoadsBarred()) {
      tried.store(true, std::memory_order_release);
    }
  }
  return module.load(std::memory_order_acquire);
}

template <typename T>
T ImageHelpProc(const char* name) {
  HMODULE m = ImageHelpModule();
  return m == nullptr ? nullptr : reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

// The default reader (ReadProcessMemory) costs a system call per read; a
// tested copy answers the same without one.
BOOL CALLBACK ReadChecked(HANDLE, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read) {
  const TLiveMemory memory;
  const std::uint32_t copied =
      address > 0xFFFFFFFFull ? 0 : memory.Read(static_cast<std::uint32_t>(address), static_cast<std::uint8_t*>(buffer), size);
  if (read != nullptr) *read = copied;
  return copied == size;
}

}  // namespace

bool UndecorateMicrosoftName(const std::wstring& name, std::wstring& undecorated) {
  static const UnDecorateSymbolNameWProc undecorate = ImageHelpProc<UnDecorateSymbolNameWProc>("UnDecorateSymbolNameW");
  if (undecorate == nullptr || name.empty()) return false;
  std::wstring out(kMaxUndecorated, L'\0');
  const DWORD n = undecorate(name.c_str(), out.data(), kMaxUndecorated, kNameOnly);
  if (n == 0) return false;
  out.resize(n);
  if (out == name) return false;
  undecorated = std::move(out);
  return true;
}

bool WalkStackWithDbgHelp(const TThreadRegisters& registers, TDbgHelpFrameProc proc, void* data) {
  static const StackWalk64Proc walk = ImageHelpProc<StackWalk64Proc>("StackWalk64");
  static const PFUNCTION_TABLE_ACCESS_ROUTINE64 table =
      ImageHelpProc<PFUNCTION_TABLE_ACCESS_ROUTINE64>("SymFunctionTableAccess64");
  static const PGET_MODULE_BASE_ROUTINE64 module_base = ImageHelpProc<PGET_MODULE_BASE_ROUTINE64>("SymGetModuleBase64");
  if (walk == nullptr || table == nullptr || module_base == nullptr || proc == nullptr) return false;
  HANDLE thread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  context.Eip = registers.Eip;
  context.Esp = registers.Esp;
  context.Ebp = registers.Ebp;
  context.Edi = registers.Edi;
  context.Esi = registers.Esi;
  context.Ebx = registers.Ebx;
  context.Edx = registers.Edx;
  context.Ecx = registers.Ecx;
  context.Eax = registers.Eax;
  STACKFRAME64 frame{};
  frame.AddrPC.Offset = registers.Eip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = registers.Ebp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = registers.Esp;
  frame.AddrStack.Mode = AddrModeFlat;
  while (walk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), thread, &frame, &context, ReadChecked, table,
              module_base, nullptr)) {
    if (frame.AddrReturn.Offset == 0 || frame.AddrFrame.Offset == 0) break;
    if (!proc(static_cast<std::uint32_t>(frame.AddrFrame.Offset) + 4, static_cast<std::uint32_t>(frame.AddrReturn.Offset),
              data)) {
      break;
    }
  }
  CloseHandle(thread);
  return true;
}

}  // namespace zelvic::platform
