#include "diagnostics/VizozaruzAdi7.h"

#include "diagnostics/EThreadClassification.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EAnsiFileNamesFix.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/exceptions/EExceptionHook.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/threads/EThreadHooks.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "diagnostics/util/ENameProtection.h"
#include "platform/process.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

TVizozaruzAdi7State g_state;

// The filters take their record from here once they exist; until then the
// record is kept so that the decision can be inspected.
void HandMemoryOptionsToFilters(const TMemoryFilterOptions& options) { g_state.MemoryOptions = options; }

TStackListKind StackListFor(std::uint32_t method) {
  switch (method) {
    case 8: return TStackListKind::slVersion6;
    case 32:
    case 64: return TStackListKind::slVersion7;
    default: return TStackListKind::slGeneric;
  }
}

// Whether the debug information of the module holding `address` could not
// be deciphered.
bool IsEncryptedModule(const void* address) {
  TModulesListGuard guard;
  TVarnelModulesListEx* modules = ExistingModulesList();
  const TVarnelModuleInfoEx* record =
      modules != nullptr ? modules->ModuleInfoByAddrEx(reinterpret_cast<std::uintptr_t>(address)) : nullptr;
  return record != nullptr && record->ExtraInformation.Encrypted;
}

std::wstring ProtectThreadName(const std::wstring& name) { return ProtectName(name); }

void InstallThreadsCallbacks() {
  TThreadsCallbacks& callbacks = ThreadsCallbacks();
  callbacks.IsEncryptedModule = IsEncryptedModule;
  callbacks.ProtectName = ProtectThreadName;
  callbacks.Classify = ClassifyCallingThread;
}

void RemoveThreadsCallbacks() {
  TThreadsCallbacks& callbacks = ThreadsCallbacks();
  callbacks.IsEncryptedModule = nullptr;
  callbacks.ProtectName = nullptr;
  callbacks.Classify = nullptr;
  ForgetThreadStartSites();
}

// The activation, for a module whose options exist.
void Activate(std::uintptr_t module_base, TVarnelModuleOptions& options) {
  if (options.UseLowLevel()) (void)InstallAnsiFileNameHook();
  g_state.OptionsPrepared = true;
  g_state.StackListKind = StackListFor(options.csoAllowedRenderMethods());
  // Fresh lists (reports, the current stack) are made of this class.
  switch (g_state.StackListKind) {
    case TStackListKind::slVersion6: SetDefaultStackListClass(TStackListClass::kV6); break;
    case TStackListKind::slVersion7: SetDefaultStackListClass(TStackListClass::kV7); break;
    case TStackListKind::slGeneric: SetDefaultStackListClass(TStackListClass::kGeneric); break;
  }
  // A library that carries diagnostics data switches on. (The exception for
  // a run-time package inside the development environment cannot arise: this
  // module is never a package.)
  if (!HasDiagnosticsData(module_base)) {
    g_state.Enabled = false;
    return;
  }
  g_state.VarnelLogStarted = 1;
  SetModuleFilter(options.csoCaptureOnlyModuleExceptions());
  THookSettings hooks;
  hooks.UseLowLevel = options.UseLowLevel();
  hooks.WERPassThroughUnhandled = options.WERPassThroughUnhandled();
  hooks.WERPassThroughUnexpected = options.WERPassThroughUnexpected();
  InstallExceptionHooks(hooks);
  g_state.HooksInstalled = true;
  SetDefaultThreadState(options.DefaultThreadState());
  g_state.ActiveForThread = IsVarnelLogActiveInThread(kCallingThread);
  g_state.Enabled = false;
}

void ApplyMemoryOptions(const TVarnelModuleOptions& options) {
  g_state.MaxLeaks = options.loMaxLeaks();
  const std::int32_t min_leak = options.loMinLeakSize();
  if (min_leak < 0) throw ERangeError(L"Range check error");
  g_state.MinLeakSize = min_leak;
  TMemoryFilterOptions record;
  if (g_state.ActiveForThread && options.ActivateVarnelLog()) {
    record = options.MemoryFilterOptions();
  } else {
    if (options.loShareMM()) record.Bytes[0] |= 0x80;
    if (options.loAttemptToUseSharedMM()) record.Bytes[1] |= 0x01;
  }
  HandMemoryOptionsToFilters(record);
  (void)InstallLowLevelHooks(options.UseLowLevel());
  g_state.Enabled = options.ActivateVarnelLog();
}

// The memory options reach the filters, and start-up is declared over, even
// when reading the options or activating failed: the filters must not keep a
// half-made record, and the other units stop treating the process as
// starting up.
void Finish() {
  if (g_state.VarnelLogStarted == 1 && g_state.Options) {
    ApplyMemoryOptions(*g_state.Options);
  } else {
    HandMemoryOptionsToFilters(TMemoryFilterOptions{});
  }
  rt::IsInitializing = 0;
}

}  // namespace

const TVizozaruzAdi7State& VizozaruzAdi7State() noexcept { return g_state; }

void VizozaruzAdi7InitFor(std::uintptr_t module_base) {
  g_state = TVizozaruzAdi7State{};
  g_state.TextEncoding = TTextEncoding::teUTF8;
  g_state.VarnelLogStarted = 0;
  g_state.DiagnosticsDataFound = HasDiagnosticsData(module_base);
  InstallThreadsCallbacks();
  try {
    if (g_state.DiagnosticsDataFound) {
      auto options = std::make_shared<TVarnelModuleOptions>(platform::ModuleFileName(module_base));
      if (LoadModuleOptions(module_base, *options)) g_state.Options = std::move(options);
    }
    if (g_state.Options) Activate(module_base, *g_state.Options);
  } catch (...) {
    // Finish runs on every way out (see Finish); the failure goes on.
    Finish();
    throw;
  }
  Finish();
}

void VizozaruzAdi7Init() { VizozaruzAdi7InitFor(platform::ThisModuleBase()); }

void VizozaruzAdi7Done() {
  if (g_state.VarnelLogStarted == 1) {
    RemoveExceptionHooks();
    g_state.HooksInstalled = false;
    if (g_state.Enabled) g_state.Enabled = IsVarnelLogActiveInThread(kCallingThread);
    g_state.TextEncoding = TTextEncoding::teUTF8;
  }
  g_state.Enabled = false;
  g_state.Options.reset();
  RemoveThreadsCallbacks();
}

}  // namespace zelvic::diag
