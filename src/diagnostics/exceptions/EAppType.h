// The kind of application the facility runs in and the services that must
// work in any kind of process, before and after the rest of the facility
// runs: the facility's message box (four lines on standard output and the
// default button in a console process), the entry that hands an exception
// object to the exception manager, debug output, a message pump, the search
// for a process's main window, the kind of a module, and the fatal start-up
// report.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/exceptions/EResponse.h"
#include "diagnostics/system/EProcessWindows.h"
#include "diagnostics/util/EFatalReportText.h"
#include "platform/window_messages.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {

inline constexpr wchar_t kFatalReportCaption[] = L"VarnelLog 7.1.0.0 crash report";
// Error icon, system-modal, service notification, task-modal.
inline constexpr std::uint32_t kFatalReportStyle = 0x201010 | 0x2000;
inline constexpr std::uint32_t kFatalReportExitCode = rt::kFatalExitCode;

// --- Application kinds ------------------------------------------------------

// Appends a kind; an empty name is an assertion failure.
void RegisterApplicationKind(const std::wstring& name);
// True for an empty name; otherwise when a kind equals it exactly.
bool IsApplicationKind(std::wstring_view name);
// The kinds in the order they were registered; "Console" first in a console
// process once the start-up ran.
const std::vector<std::wstring>& ApplicationKinds() noexcept;
bool IsConsoleApplication() noexcept;
bool IsCGIApplication();

// The hooks that application kinds may bring are switched on and off with
// the exception hooks; this program has none, so only the count is kept.
void ActivateApplicationKindHooks() noexcept;
void DeactivateApplicationKindHooks() noexcept;
std::int32_t ApplicationKindHookActivations() noexcept;

// --- Replaceable procedures (empty until another unit fills them) ------------

// What the exception entry answers when no exception manager is there.
inline constexpr std::int32_t kNoExceptionManagerResult = static_cast<std::int32_t>(0x8007006E);

using TMessageBoxReplacement = int (*)(const std::wstring& text, const std::wstring& caption, std::uint32_t style,
                                       void* owner);
using TExceptionEntry = void (*)(void* exception_object, void* exception_address, TResponse& response);
using TDebugOutputReplacement = void (*)(const std::wstring& text);
extern TMessageBoxReplacement MessageBoxReplacement;
extern TExceptionEntry ExceptionEntrySlot;
extern TDebugOutputReplacement DebugOutputReplacement;

// Hands the object to the exception manager through its slot; without one
// the response is cleared and reads kNoExceptionManagerResult, ErrorCode 1.
void HandleExceptionObject(void* exception_object, void* exception_address, TResponse& response);

void DebugOutput(const std::wstring& text);
// DebugOutput of: Dump(String): "text"
void DumpString(const std::wstring& text);

// --- The message box --------------------------------------------------------

// True when the host is a development environment (BDS.EXE, DELPHI32.EXE,
// BCB.EXE, in any letter case): its own box is shown there whatever else is
// set.
bool IsHostedByDevelopmentEnvironment();
// The same test on a program's path.
bool IsDevelopmentEnvironmentProgram(std::wstring_view path);

// The button a console process answers for a style: by the box's buttons
// (the low four bits) and the default-button bits (MB_DEFBUTTON3 before
// MB_DEFBUTTON2). Styles without a row answer IDOK.
int DefaultButtonOf(std::uint32_t style) noexcept;

// Caption and text go to DebugOutput; then the development environment's
// box, else the replacement, else in a console process the four lines on
// standard output ("", caption, "", text, each ended by CR LF) and the
// default button, else the platform's box.
int VarnelMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style,
                     void* owner = nullptr);

// Shows the text as the crash report and ends the process with exit code 31.
[[noreturn]] void ShowFatalReport(const std::wstring& text);

// --- Windows and modules ------------------------------------------------------

// Handles every message pending for the calling thread. A WM_QUIT met on
// the way is the host's request to end its loop: it is posted again once
// the queue is empty, so the host's own loop still sees it.
void ProcessMessages();

// FindMainWindow(process_id) is the system information's
// (system/EProcessWindows), which sits below this unit.

// 0 not an image, 1 program, 2 library, 3 package; module 0 is the module
// that holds this code.
int ModuleKind(std::uintptr_t module);
bool IsLibraryModule(std::uintptr_t module);

void EAppTypeInit();
void EAppTypeDone();

}  // namespace zelvic::diag
