#include "diagnostics/util/ELowLevel.h"

#include "platform/system.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

TLowLevelSystemInfo g_info;
platform::TRecursiveLock g_lock;
TMainWindowProvider g_main_window_provider = nullptr;
TEndCheckHook g_end_check = nullptr;

}  // namespace

const TLowLevelSystemInfo& LowLevelSystemInfo() noexcept { return g_info; }
void EnterLowLevelLock() noexcept { g_lock.Enter(); }
void LeaveLowLevelLock() noexcept { g_lock.Leave(); }

TMainWindowProvider& MainWindowProvider() noexcept { return g_main_window_provider; }
TEndCheckHook& DoMemLeaksEndCheck() noexcept { return g_end_check; }

void ELowLevelInit() {
  g_lock.Create();
  const platform::TSystemBasics basics = platform::QuerySystemBasics();
  g_info = {basics.PageSize, basics.AllocationGranularity, basics.ProcessorCount, basics.MinimumApplicationAddress,
            basics.MaximumApplicationAddress};
  // Handlers are pushed by later units; none may survive from a failed load.
  rt::StepFailureHandler = nullptr;
}

void ELowLevelDone() {
  g_lock.Destroy();
  g_info = {};
}

}  // namespace zelvic::diag
