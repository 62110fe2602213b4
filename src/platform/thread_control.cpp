#include "platform/thread_control.h"

#include <windows.h>

#include <string>

namespace zelvic::platform {
namespace {

constexpr DWORD kSetThreadNameCode = 0x406D1388;

// The debugger takes the naming exception at first chance; should it pass it
// on, this handler swallows it before anything else in the process sees it.
LONG CALLBACK SwallowThreadName(EXCEPTION_POINTERS* pointers) {
  return pointers->ExceptionRecord->ExceptionCode == kSetThreadNameCode ? EXCEPTION_CONTINUE_EXECUTION
                                                                        : EXCEPTION_CONTINUE_SEARCH;
}

HMODULE Kernel32() noexcept { return GetModuleHandleW(L"kernel32.dll"); }

}  // namespace

void* DuplicateCurrentThreadHandle() noexcept { return DuplicateThreadHandle(GetCurrentThread()); }

void* DuplicateThreadHandle(void* thread) noexcept {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

void* OpenThreadForRecord(std::uint32_t thread_id) noexcept {
  return OpenThread(kThreadRecordAccess, FALSE, thread_id);
}

void CloseThreadHandle(void* thread) noexcept {
  if (thread != nullptr) CloseHandle(thread);
}

bool ThreadHasEnded(void* thread) noexcept {
  DWORD code = 0;
  return !GetExitCodeThread(thread, &code) || code != STILL_ACTIVE;
}

std::int32_t ThreadPriority(void* thread) noexcept {
  const int priority = GetThreadPriority(thread);
  return priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
}

bool TerminateThreadWithCode(void* thread, std::uint32_t exit_code) noexcept {
  return TerminateThread(thread, exit_code) != FALSE;
}

void NameThreadForDebugger(std::wstring_view name, std::uint32_t thread_id) noexcept {
  if (!IsDebuggerPresent()) return;
  const int size = WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()), text.data(), size, nullptr, nullptr);
  }
  const ULONG_PTR arguments[4] = {0x1000, reinterpret_cast<ULONG_PTR>(text.c_str()), thread_id, 0};
  void* handler = AddVectoredExceptionHandler(1, SwallowThreadName);
  RaiseException(kSetThreadNameCode, 0, 4, arguments);
  if (handler != nullptr) RemoveVectoredExceptionHandler(handler);
}

TCreateThreadProc SystemCreateThread() noexcept {
  HMODULE k = Kernel32();
  return k == nullptr ? nullptr
                      : reinterpret_cast<TCreateThreadProc>(reinterpret_cast<void*>(GetProcAddress(k, "CreateThread")));
}

TExitThreadProc SystemExitThread() noexcept {
  HMODULE k = Kernel32();
  return k == nullptr ? nullptr
                      : reinterpret_cast<TExitThreadProc>(reinterpret_cast<void*>(GetProcAddress(k, "ExitThread")));
}

void* HoldModuleOf(const void* address) noexcept {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(address), &module)) {
    return nullptr;
  }
  return module;
}

void ReleaseModule(void* module) noexcept {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

void ReleaseModuleAndExitThread(void* module, std::uint32_t exit_code) noexcept {
  if (module != nullptr) FreeLibraryAndExitThread(static_cast<HMODULE>(module), exit_code);
  ExitThread(exit_code);
}

void YieldThread() noexcept { SwitchToThread(); }

bool LoaderLockHeldByThisThread() noexcept {
  // The process block's LoaderLock, at 0xA0 on x86 (Windows and Wine alike).
  constexpr std::size_t kLoaderLockOffset = 0xA0;
  const std::uint8_t* peb = nullptr;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
  const auto* lock = *reinterpret_cast<CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
  if (lock == nullptr) return false;
  return reinterpret_cast<std::uintptr_t>(lock->OwningThread) == GetCurrentThreadId() && lock->RecursionCount > 0;
}

}  // namespace zelvic::platform
