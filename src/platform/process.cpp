#include "platform/process.h"

#include <windows.h>

#include "platform/module_loads.h"
#include "platform/pe_access.h"

namespace zelvic::platform {

bool IsDebuggerAttached() noexcept { return IsDebuggerPresent() != FALSE; }

void BreakIntoDebugger() noexcept {
  if (IsDebuggerPresent()) DebugBreak();
}

void DebugOutput(const std::wstring& text) noexcept { OutputDebugStringW(text.c_str()); }

bool IsConsoleProcess() noexcept {
  const std::uintptr_t base = MainModuleBase();
  if (base == 0) return false;
  const std::optional<TLoadedImageHeaders> headers = ReadLoadedImageHeaders(base);
  return headers && headers->Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

void WriteStdOut(std::wstring_view text) noexcept {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return;
  std::string bytes(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int ShowMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style, void* owner) noexcept {
  // user32 is loaded on demand: a library that never shows a box does not
  // pull the window system into the host.
  using MessageBoxWProc = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
  HMODULE user32 = LoadSystemModule(L"user32.dll");
  if (user32 == nullptr) return 0;
  auto proc = reinterpret_cast<MessageBoxWProc>(reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxW")));
  const int result = proc ? proc(static_cast<HWND>(owner), text.c_str(), caption.c_str(), style) : 0;
  FreeLibrary(user32);
  return result;
}

void TerminateCurrentProcess(std::uint32_t exit_code) noexcept {
  TerminateProcess(GetCurrentProcess(), exit_code);
  ExitProcess(exit_code);  // not reached: TerminateProcess on ourselves does not return
}

std::uintptr_t ModuleBaseOf(const void* address) noexcept {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return 0;
  }
  return reinterpret_cast<std::uintptr_t>(module);
}

std::uintptr_t MainModuleBase() noexcept { return reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)); }

std::uintptr_t ThisModuleBase() noexcept { return ModuleBaseOf(reinterpret_cast<const void*>(&ThisModuleBase)); }

std::wstring ModuleFileName(std::uintptr_t module_base) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(module_base), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring EnvironmentValue(const wchar_t* name) {
  const DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, value.data(), n);
  value.resize(got < n ? got : 0);
  return value;
}

}  // namespace zelvic::platform
