#include "diagnostics/util/EDebugOutput.h"

#include "platform/process.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

using TDebugTextProc = void (*)(const std::wstring& text);

TDebugTextProc g_text_proc = nullptr;

void ToDebugger(const std::wstring& text) { platform::DebugOutput(text); }

// Step names are not traced in this build; the hook is where a tracing build
// plugs in.
void IgnoreStep(const wchar_t*) {}

}  // namespace

void DebugNote(const std::wstring& text) {
  if (g_text_proc != nullptr) g_text_proc(text);
}

void DebugDumpObject(const std::wstring& description) { DebugNote(L"Dump(Object): " + description); }

void EDebugOutputInit() {
  g_text_proc = ToDebugger;
  rt::StepTraceHook = IgnoreStep;
}

void EDebugOutputDone() {
  rt::StepTraceHook = nullptr;
  g_text_proc = nullptr;
}

}  // namespace zelvic::diag
