#include "diagnostics/exceptions/EAppType.h"

#include "platform/process.h"

namespace zelvic::diag {
namespace {

std::wstring g_application_kind;
rt::TStepFailureHandler g_previous_handler = nullptr;
rt::TFatalReportProc g_previous_fatal_report = nullptr;

void LowLevelInitDoneErrorHandler(rt::TStepProc, const wchar_t* step_name) {
  ShowFatalReport(WithReportFooter(std::wstring(step_name ? step_name : L"") + L"\r\n\r\n",
                                   L"EAppType.LowLevelInitDoneErrorHandler"));
}

}  // namespace

const std::wstring& ApplicationKind() noexcept { return g_application_kind; }

int VarnelMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style) {
  platform::DebugOutput(caption);
  platform::DebugOutput(text);
  if (platform::IsConsoleProcess()) {
    platform::WriteStdOut(caption + L"\r\n" + text + L"\r\n");
    return 0;
  }
  return platform::ShowMessageBox(text, caption, style);
}

void ShowFatalReport(const std::wstring& text) {
  platform::BreakIntoDebugger();
  try {
    VarnelMessageBox(text, kFatalReportCaption, kFatalReportStyle);
  } catch (...) {
    // Out of memory while reporting: end the process all the same.
  }
  platform::TerminateCurrentProcess(kFatalReportExitCode);
}

void EAppTypeInit() {
  g_previous_handler = rt::StepFailureHandler;
  rt::StepFailureHandler = LowLevelInitDoneErrorHandler;
  g_previous_fatal_report = rt::FatalReportProc;
  rt::FatalReportProc = ShowFatalReport;
  if (platform::IsConsoleProcess()) g_application_kind = L"Console";
}

void EAppTypeDone() {
  rt::StepFailureHandler = g_previous_handler;
  g_previous_handler = nullptr;
  rt::FatalReportProc = g_previous_fatal_report;
  g_previous_fatal_report = nullptr;
  g_application_kind.clear();
}

}  // namespace zelvic::diag
