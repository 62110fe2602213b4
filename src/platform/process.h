// Process-level services over the platform: debugger, debug output, console
// and message boxes, module lookup, termination. The layers above call these
// instead of the platform API.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvic::platform {

bool IsDebuggerAttached() noexcept;
void BreakIntoDebugger() noexcept;
void DebugOutput(const std::wstring& text) noexcept;

// True when the process's main executable is a console program.
bool IsConsoleProcess() noexcept;
// Writes to standard output: to the console as UTF-16 when there is one,
// else as UTF-8 bytes (a pipe or a file).
void WriteStdOut(std::wstring_view text) noexcept;
// Shows a message box; returns the button pressed (0 when none could show).
int ShowMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style,
                   void* owner = nullptr) noexcept;

[[noreturn]] void TerminateCurrentProcess(std::uint32_t exit_code) noexcept;

// Load address of the module holding `address`, or 0.
std::uintptr_t ModuleBaseOf(const void* address) noexcept;
// Load address of the process's main executable.
std::uintptr_t MainModuleBase() noexcept;
// Load address of the module that holds this code.
std::uintptr_t ThisModuleBase() noexcept;
// Full path of a module (0: the main executable).
std::wstring ModuleFileName(std::uintptr_t module_base);

// The value of an environment variable, or empty.
std::wstring EnvironmentValue(const wchar_t* name);

}  // namespace zelvic::platform
