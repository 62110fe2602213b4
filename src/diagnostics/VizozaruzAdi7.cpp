#include "diagnostics/VizozaruzAdi7.h"

#include "platform/process.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

TVizozaruzAdi7State g_state;

// The filters take their record from here once they exist; until then the
// record is kept so that the decision can be inspected.
void HandMemoryOptionsToFilters(const TMemoryFilterOptions& options) { g_state.MemoryOptions = options; }

}  // namespace

const TVizozaruzAdi7State& VizozaruzAdi7State() noexcept { return g_state; }

void VizozaruzAdi7Init() {
  g_state.TextEncoding = TTextEncoding::teUTF8;
  g_state.VarnelLogStarted = 0;
  // The facility switches on only for a module that carries diagnostics data
  // and whose options have been read from it. Without options nothing past
  // the decision runs, and the filters get the all-zero record.
  g_state.DiagnosticsDataFound = HasDiagnosticsData(platform::ThisModuleBase());
  g_state.Enabled = false;
  HandMemoryOptionsToFilters(TMemoryFilterOptions{});
  rt::IsInitializing = 0;
}

void VizozaruzAdi7Done() {
  if (g_state.VarnelLogStarted == 1) {
    g_state.TextEncoding = TTextEncoding::teUTF8;
  }
  g_state.Enabled = false;
}

}  // namespace zelvic::diag
