#include "fragments/library_entry.h"

#include <windows.h>

#include <array>
#include <optional>
#include <string>

#include "diagnostics/VizozaruzAdi7.h"
#include "diagnostics/debuginfo/EAnsiFileNamesFix.h"
#include "diagnostics/debuginfo/EDebugVL.h"
#include "diagnostics/debuginfo/EDebugExports.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/dialogs/EDialog.h"
#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/exceptions/ECore.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/exceptions/EExceptionHook.h"
#include "diagnostics/exceptions/EExceptionInfo.h"
#include "diagnostics/exceptions/EExceptionManager.h"
#include "diagnostics/reports/ELogBuilder.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/stacks/EThreadFacts.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/threads/EBase.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "diagnostics/util/EDebugOutput.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "diagnostics/util/EHook.h"
#include "diagnostics/util/ELowLevel.h"
#include "fragments/result_buffers.h"
#include "fragments/runtime_helpers.h"
#include "platform/process.h"
#include "runtime/cxx_exception_points.h"
#include "runtime/cxx_runtime.h"
#include "runtime/exception_points.h"
#include "runtime/exceptions.h"
#include "runtime/format_settings.h"
#include "runtime/thread_storage.h"

// The code-location table of the library's VLDATA names four shut-down
// procedures: these three and zelvic_ProcessDetach. They have C names, so
// the build finds them in the symbol table by their plain names.
extern "C" {

void zelvic_LocaleDone() { zelvic::rt::DoneDefaultFormatSettings(); }
void zelvic_ExceptionPointsDone() {
  zelvic::rt::ExceptionPoints() = zelvic::rt::DefaultExceptionPoints();
  zelvic::rt::RemoveCxxExceptionPoints();
}
void zelvic_ETypesDone() {
  zelvic::rt::IsFinalizing = 1;
  zelvic::rt::IsShuttingDown = 1;
}

}  // extern "C"

namespace zelvic::fragments {
namespace {

// ---- the units with work in this library ----------------------------------

void LocaleInit() { rt::InitDefaultFormatSettings(); }
void ExceptionPointsInit() {
  rt::ExceptionPoints() = rt::DefaultExceptionPoints();
  rt::InstallCxxExceptionPoints();
}
void ETypesInit() { rt::IsInitializing = 1; }

// The manager publishes its records to the call-stack lists, a layer above
// it, for as long as it runs.
void ThreadsManagerInit() {
  diag::EThreadsManagerInit();
  diag::InstallThreadFactsProvider();
}
void ThreadsManagerDone() {
  diag::RemoveThreadFactsProvider();
  diag::EThreadsManagerDone();
}

std::optional<rt::TFormatSettings> g_en_us;

// The fragment library unit has no start-up procedure: its state is built by
// the start-up code that runs after every unit has started.
void FragmentLibraryDone() {
  StopResultBuffers();
  ModuloRoutine = nullptr;
  EnUsFormatSettings = nullptr;
  g_en_us.reset();
}

constexpr std::array<rt::TUnitEntry, kUnitCount> BuildUnitTable() {
  std::array<rt::TUnitEntry, kUnitCount> t{};
  // Stops last of all: what the C++ runtime holds for the unloading thread
  // is no longer needed once every other unit has stopped. The loading
  // thread's part is ended once start-up is over (ProcessAttach).
  t[upCxxRuntime] = {rt::CxxRuntimeInit, nullptr, rt::CxxRuntimeDone, nullptr};
  t[upLocale] = {LocaleInit, nullptr, zelvic_LocaleDone, nullptr};
  t[upExceptionPoints] = {ExceptionPointsInit, nullptr, zelvic_ExceptionPointsDone, nullptr};
  t[upETypes] = {ETypesInit, nullptr, zelvic_ETypesDone, nullptr};
  t[upELowLevel] = {diag::ELowLevelInit, L"ELowLevel.Init", diag::ELowLevelDone, L"ELowLevel.Done"};
  t[upEDisAsm] = {diag::EDisAsmInit, L"EDisAsm.Init", diag::EDisAsmDone, L"EDisAsm.Done"};
  t[upEStackTracing] = {diag::EStackTracingInit, L"EStackTracing.Init", diag::EStackTracingDone,
                        L"EStackTracing.Done"};
  t[upEAppType] = {diag::EAppTypeInit, L"EAppType|Init", diag::EAppTypeDone, L"EAppType|Done"};
  t[upEHook] = {diag::EHookInit, L"EHook.Init", diag::EHookDone, L"EHook.Done"};
  t[upEBase] = {diag::EBaseInit, L"EBase.Init", diag::EBaseDone, nullptr};
  t[upEAnsiFileNamesFix] = {diag::AnsiFileNamesInit, L"EAnsiFileNamesFix.Init", diag::AnsiFileNamesDone,
                            L"EAnsiFileNamesFix.Done"};
  t[upDebugOutput] = {diag::EDebugOutputInit, nullptr, diag::EDebugOutputDone, nullptr};
  // The module list is made on first use; its unit only ends it.
  t[upEModules] = {nullptr, nullptr, diag::EModulesDone, nullptr};
  t[upESysInfo] = {diag::ESysInfoInit, L"ESysInfo.Init", diag::ESysInfoDone, L"ESysInfo.Done"};
  t[upECore] = {diag::ECoreInit, L"ECore.Init", diag::ECoreDone, L"ECore.Done"};
  // The C++ reader first, the default reader last.
  t[upEExceptionInfo] = {diag::EExceptionReadersInit, nullptr, diag::EExceptionReadersDone, nullptr};
  t[upEThreadsManager] = {ThreadsManagerInit, L"EThreadsManager.Init", ThreadsManagerDone,
                          L"EThreadsManager.Done"};
  t[upEDebugInfo] = {diag::EDebugInfoInit, L"EDebugInfo.Init", diag::EDebugInfoDone, L"EDebugInfo.Done"};
  t[upECallStack] = {diag::ECallStackInit, L"ECallStack.Init", diag::ECallStackDone, L"ECallStack.Done"};
  t[upEEvents] = {diag::EEventsInit, nullptr, diag::EEventsDone, nullptr};
  t[upEException] = {diag::EExceptionInit, nullptr, diag::EExceptionDone, nullptr};
  t[upELogBuilder] = {diag::ELogBuilderInit, L"ELogBuilder.Init", diag::ELogBuilderDone, L"ELogBuilder.Done"};
  t[upEDialog] = {diag::EDialogInit, nullptr, diag::EDialogDone, nullptr};
  t[upEDebugExports] = {diag::EDebugExportsInit, nullptr, diag::EDebugExportsDone, nullptr};
  t[upEDebugVL] = {diag::EDebugVLInit, nullptr, diag::EDebugVLDone, nullptr};
  t[upEExceptionManager] = {diag::EExceptionManagerInit, L"EExceptionManager.Init", diag::EExceptionManagerDone,
                            L"EExceptionManager.Done"};
  t[upEExceptionHook] = {diag::EExceptionHookInit, L"EExceptionHook.Init", diag::EExceptionHookDone,
                         L"EExceptionHook.Done"};
  t[upVizozaruzAdi7] = {diag::VizozaruzAdi7Init, L"VizozaruzAdi7.Init", diag::VizozaruzAdi7Done,
                        L"VizozaruzAdi7.Done"};
  t[upFragmentLibrary] = {nullptr, nullptr, FragmentLibraryDone, nullptr};
  return t;
}

constexpr std::array<rt::TUnitEntry, kUnitCount> kUnitTable = BuildUnitTable();
std::array<std::int32_t, kUnitCount> g_run_once{};
rt::TUnitTable g_units(kUnitTable, g_run_once);

void TraceUnit(int position, bool starting) {
  platform::DebugOutput(L"zelvic unit " + std::to_wstring(position) + (starting ? L" start" : L" stop"));
}

void StartFragmentLibrary() {
  g_en_us = rt::FormatSettingsForLocale(L"en-US");
  EnUsFormatSettings = &*g_en_us;
  if (!StartResultBuffers()) throw rt::Exception(L"No thread-local storage index left for the result buffers");
  ModuloRoutine = FloatModulo;
}

}  // namespace

std::span<const rt::TUnitEntry> UnitTable() noexcept { return kUnitTable; }

bool ProcessAttach() {
  // The floating-point control word stays the host's: the library never
  // changes the environment of the thread that loads it.
  if (platform::EnvironmentValue(kUnitTraceVariable) == L"1") g_units.SetTraceHook(TraceUnit);
  try {
    g_units.Start();
  } catch (...) {
    // The loader's boundary: no exception may leave DllMain; a failed
    // start-up is a failed load.
    platform::DebugOutput(L"_zelvic.dll start-up failed: " + rt::CurrentExceptionMessage(L"unknown failure"));
    return false;
  }
  try {
    StartFragmentLibrary();
  } catch (...) {
    // As above; the units are stopped first.
    platform::DebugOutput(L"_zelvic.dll start-up failed: " + rt::CurrentExceptionMessage(L"unknown failure"));
    g_units.Stop();
    return false;
  }
  rt::EndThreadRecord();
  return true;
}

}  // namespace zelvic::fragments

void zelvic_ProcessDetach() noexcept {
  zelvic::fragments::g_units.Stop();
  zelvic::rt::ReleaseThreadStorage();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return zelvic::fragments::ProcessAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      zelvic_ProcessDetach();
      break;
    case DLL_THREAD_DETACH:
      // Only the runtime's per-thread storage: no unit runs for threads.
      zelvic::rt::ReleaseThreadStorage();
      break;
    default:
      break;
  }
  return TRUE;
}
