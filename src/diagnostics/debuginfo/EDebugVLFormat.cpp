#include "diagnostics/debuginfo/EDebugVLFormat.h"

#include "runtime/exceptions.h"

namespace zelvic::diag {

namespace {
TDebugVLBreakHook g_break_hook = nullptr;
}  // namespace

void SetDebugVLBreakHook(TDebugVLBreakHook hook) noexcept { g_break_hook = hook; }

void RaiseDebugVLAssertion(const std::wstring& text) {
  if (g_break_hook != nullptr) g_break_hook();
  throw rt::EAssertionFailed(text);
}

void RaiseDebugVLVersionTooNew(std::uint16_t version) {
  throw EInvalidDebugInformationVersion(L"Version " + std::to_wstring(version) +
                                        L" is greater than current VarnelLog version (" +
                                        std::to_wstring(kDebugVLCurrentVersion) + L")");
}

}  // namespace zelvic::diag
