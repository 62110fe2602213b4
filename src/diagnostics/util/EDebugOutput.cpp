#include "diagnostics/util/EDebugOutput.h"

#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

// Step names are not traced in this build; the hook is where a tracing build
// plugs in.
void IgnoreStep(const wchar_t*) {}

}  // namespace

void EDebugOutputInit() { rt::StepTraceHook = IgnoreStep; }

void EDebugOutputDone() { rt::StepTraceHook = nullptr; }

}  // namespace zelvic::diag
