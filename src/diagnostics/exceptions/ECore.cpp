#include "diagnostics/exceptions/ECore.h"

#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/util/ECodeOffsets.h"
#include "platform/process.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

rt::TStepFailureHandler g_previous_handler = nullptr;

void BasicInitDoneErrorHandler(rt::TStepProc step, const wchar_t* step_name) {
  const std::wstring message = rt::CurrentExceptionMessage(L"General internal error.");
  // Our own exception classes record where they were raised; anything else is
  // placed at the step that failed.
  void* address = rt::CurrentExceptionAddress();
  if (address == nullptr) address = reinterpret_cast<void*>(step);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  ShowFatalReport(WithReportFooter(
      message + L"\r\n\r\n" + RoutineLine(step_name, at, platform::ModuleBaseOf(address)) + L"\r\n\r\n",
      L"ECore.BasicInitDoneErrorHandler"));
}

}  // namespace

std::wstring RoutineLine(const wchar_t* step_name, std::uintptr_t address, std::uintptr_t module_base) {
  const std::uintptr_t relative = module_base != 0 && address >= module_base + kCodeOffsetBase
                                      ? address - module_base - kCodeOffsetBase
                                      : address;
  return std::wstring(step_name ? step_name : L"") + L" (Routine: " + rt::Hex8(static_cast<std::uint32_t>(address)) +
         L":" + rt::Hex8(static_cast<std::uint32_t>(relative)) + L")";
}

void ECoreInit() {
  g_previous_handler = rt::StepFailureHandler;
  rt::StepFailureHandler = BasicInitDoneErrorHandler;
}

void ECoreDone() {
  rt::StepFailureHandler = g_previous_handler;
  g_previous_handler = nullptr;
}

}  // namespace zelvic::diag
