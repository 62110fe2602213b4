// The kind of application the facility runs in, the facility's message box
// (standard output in a console process) and the fatal start-up report.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/util/EFatalReportText.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {

inline constexpr wchar_t kFatalReportCaption[] = L"VarnelLog 7.1.0.0 crash report";
// Error icon, system-modal, service notification, task-modal.
inline constexpr std::uint32_t kFatalReportStyle = 0x201010 | 0x2000;
inline constexpr std::uint32_t kFatalReportExitCode = rt::kFatalExitCode;

// "Console" once the start-up found a console process; empty otherwise.
const std::wstring& ApplicationKind() noexcept;

// Sends caption and text to the debugger output, then writes them to standard
// output in a console process or shows a message box otherwise.
int VarnelMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style);

// Shows the text as the crash report and ends the process with exit code 31.
[[noreturn]] void ShowFatalReport(const std::wstring& text);

void EAppTypeInit();
void EAppTypeDone();

}  // namespace zelvic::diag
