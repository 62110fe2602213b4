#include "diagnostics/exceptions/EAppType.h"

#include <array>

#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "platform/modules.h"
#include "platform/process.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {

TMessageBoxReplacement MessageBoxReplacement = nullptr;
TExceptionEntry ExceptionEntrySlot = nullptr;
TDebugOutputReplacement DebugOutputReplacement = nullptr;

namespace {

constexpr std::uint32_t kTaskModal = 0x2000;
constexpr std::uint32_t kDefButton2 = 0x100;
constexpr std::uint32_t kDefButton3 = 0x200;
constexpr std::uint32_t kToolWindow = 0x80;
constexpr std::uint32_t kAppWindow = 0x40000;

// The answer for the first, second and third button being the default, one
// row per button set (the style's low four bits). Rows with fewer buttons
// repeat the first where a default button has nothing to name.
struct TDefaultButtons {
  std::uint8_t First, Second, Third;
};
constexpr std::array<TDefaultButtons, 7> kDefaultButtons{{
    {1, 1, 1},    // MB_OK: IDOK
    {1, 2, 1},    // MB_OKCANCEL: IDOK, IDCANCEL
    {3, 4, 5},    // MB_ABORTRETRYIGNORE: IDABORT, IDRETRY, IDIGNORE
    {6, 7, 2},    // MB_YESNOCANCEL: IDYES, IDNO, IDCANCEL
    {6, 7, 6},    // MB_YESNO: IDYES, IDNO
    {4, 2, 4},    // MB_RETRYCANCEL: IDRETRY, IDCANCEL
    {2, 10, 11},  // MB_CANCELTRYCONTINUE: IDCANCEL, IDTRYAGAIN, IDCONTINUE
}};

constexpr std::array<const wchar_t*, 3> kDevelopmentEnvironments{L"BDS.EXE", L"DELPHI32.EXE", L"BCB.EXE"};

std::vector<std::wstring> g_kinds;
std::int32_t g_kind_hook_activations = 0;
rt::TStepFailureHandler g_previous_handler = nullptr;
rt::TFatalReportProc g_previous_fatal_report = nullptr;

void LowLevelInitDoneErrorHandler(rt::TStepProc, const wchar_t* step_name) {
  ShowFatalReport(WithReportFooter(std::wstring(step_name ? step_name : L"") + L"\r\n\r\n",
                                   L"EAppType.LowLevelInitDoneErrorHandler"));
}

}  // namespace

void RegisterApplicationKind(const std::wstring& name) {
  if (name.empty()) throw rt::EAssertionFailed(L"Assertion failure (EAppType)");
  g_kinds.push_back(name);
}

bool IsApplicationKind(std::wstring_view name) {
  if (name.empty()) return true;
  for (const std::wstring& kind : g_kinds) {
    if (kind == name) return true;
  }
  return false;
}

const std::vector<std::wstring>& ApplicationKinds() noexcept { return g_kinds; }

bool IsConsoleApplication() noexcept { return platform::IsConsoleProcess(); }

bool IsCGIApplication() { return IsConsoleApplication() && IsApplicationKind(L"CGI"); }

void ActivateApplicationKindHooks() noexcept { ++g_kind_hook_activations; }
void DeactivateApplicationKindHooks() noexcept { --g_kind_hook_activations; }
std::int32_t ApplicationKindHookActivations() noexcept { return g_kind_hook_activations; }

void HandleExceptionObject(void* exception_object, void* exception_address, TResponse& response) {
  if (ExceptionEntrySlot != nullptr) {
    ExceptionEntrySlot(exception_object, exception_address, response);
    return;
  }
  response = TResponse{};
  response.SendResult = kNoExceptionManagerResult;
  response.ErrorCode = 1;
}

void DebugOutput(const std::wstring& text) {
  if (DebugOutputReplacement != nullptr) {
    DebugOutputReplacement(text);
  } else {
    platform::DebugOutput(text);
  }
}

void DumpString(const std::wstring& text) { DebugOutput(L"Dump(String): \"" + text + L"\""); }

bool IsDevelopmentEnvironmentProgram(std::wstring_view path) {
  const std::wstring_view name = FileNamePartOf(path);
  for (const wchar_t* ide : kDevelopmentEnvironments) {
    if (EqualIgnoringCase(name, ide)) return true;
  }
  return false;
}

bool IsHostedByDevelopmentEnvironment() { return IsDevelopmentEnvironmentProgram(platform::ModuleFileName(0)); }

int DefaultButtonOf(std::uint32_t style) noexcept {
  const std::uint32_t buttons = style & 0xF;
  if (buttons >= kDefaultButtons.size()) return 1;
  const TDefaultButtons& row = kDefaultButtons[buttons];
  if (style & kDefButton3) return row.Third;
  if (style & kDefButton2) return row.Second;
  return row.First;
}

int VarnelMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style, void* owner) {
  DebugOutput(caption);
  DebugOutput(text);
  if (IsHostedByDevelopmentEnvironment()) return platform::ShowMessageBox(text, caption, style | kTaskModal, owner);
  if (MessageBoxReplacement != nullptr) return MessageBoxReplacement(text, caption, style | kTaskModal, owner);
  if (IsConsoleApplication()) {
    platform::WriteStdOut(L"\r\n" + caption + L"\r\n\r\n" + text + L"\r\n");
    return DefaultButtonOf(style);
  }
  return platform::ShowMessageBox(text, caption, style, owner);
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

void ProcessMessages() {
  const platform::TPumpOutcome outcome = platform::PumpPendingMessages();
  if (outcome.QuitSeen) platform::PostQuit(outcome.QuitExitCode);
}

int ModuleKind(std::uintptr_t module) {
  if (module == 0) module = platform::ThisModuleBase();
  return ReadModuleImageFacts(platform::SystemModulePlatform(), module).ModuleType;
}

bool IsLibraryModule(std::uintptr_t module) {
  const int kind = ModuleKind(module);
  return kind == mtLibrary || kind == mtPackage;
}

void EAppTypeInit() {
  g_previous_handler = rt::StepFailureHandler;
  rt::StepFailureHandler = LowLevelInitDoneErrorHandler;
  g_previous_fatal_report = rt::FatalReportProc;
  rt::FatalReportProc = ShowFatalReport;
  if (IsConsoleApplication()) RegisterApplicationKind(L"Console");
}

void EAppTypeDone() {
  rt::StepFailureHandler = g_previous_handler;
  g_previous_handler = nullptr;
  rt::FatalReportProc = g_previous_fatal_report;
  g_previous_fatal_report = nullptr;
  g_kind_hook_activations = 0;
  g_kinds.clear();
  g_kinds.shrink_to_fit();
}

}  // namespace zelvic::diag
