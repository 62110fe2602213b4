#include "diagnostics/util/EDebugOutput.h"

#include <string>

#include "platform/process.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

// Step names are not traced in this build; the hook is where a tracing build
// plugs in.
void IgnoreStep(const wchar_t*) {}

}  // namespace

void DumpString(std::wstring_view line) {
  std::wstring text = L"Dump(String): \"";
  text += line;
  text += L'"';
  platform::DebugOutput(text);
}

void EDebugOutputInit() { rt::StepTraceHook = IgnoreStep; }

void EDebugOutputDone() { rt::StepTraceHook = nullptr; }

}  // namespace zelvic::diag
