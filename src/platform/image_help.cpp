#include "platform/image_help.h"

#include <windows.h>

#include <atomic>

namespace zelvic::platform {
namespace {

using UnDecorateSymbolNameWProc = DWORD(WINAPI*)(PCWSTR name, PWSTR output, DWORD max_length, DWORD flags);

constexpr DWORD kNameOnly = 0x1000;   // UNDNAME_NAME_ONLY: no return type, no arguments
constexpr DWORD kMaxUndecorated = 4096;

UnDecorateSymbolNameWProc Resolve() {
  static std::atomic<UnDecorateSymbolNameWProc> proc{nullptr};
  static std::atomic<bool> tried{false};
  if (!tried.load(std::memory_order_acquire)) {
    // The module stays loaded for the process: undecoration is rare and the
    // library is a system one.
    if (HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll")) {
      proc.store(reinterpret_cast<UnDecorateSymbolNameWProc>(
                     reinterpret_cast<void*>(GetProcAddress(dbghelp, "UnDecorateSymbolNameW"))),
                 std::memory_order_release);
    }
    tried.store(true, std::memory_order_release);
  }
  return proc.load(std::memory_order_acquire);
}

}  // namespace

bool UndecorateMicrosoftName(const std::wstring& name, std::wstring& undecorated) {
  const UnDecorateSymbolNameWProc undecorate = Resolve();
  if (undecorate == nullptr || name.empty()) return false;
  std::wstring out(kMaxUndecorated, L'\0');
  const DWORD n = undecorate(name.c_str(), out.data(), kMaxUndecorated, kNameOnly);
  if (n == 0) return false;
  out.resize(n);
  if (out == name) return false;
  undecorated = std::move(out);
  return true;
}

}  // namespace zelvic::platform
