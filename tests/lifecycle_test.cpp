// Start-up and shut-down: the guarded step, the unit table, the fatal
// reports, and the real library's unit order under the loader.

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_scenarios.h"
#include "diagnostics/EThreadClassification.h"
#include "diagnostics/VizozaruzAdi7.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "diagnostics/util/ENameProtection.h"
#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/exceptions/ECore.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "runtime/exceptions.h"
#include "runtime/unit_lifecycle.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

using rt::SafeExec;
using rt::TUnitEntry;
using rt::TUnitTable;

std::vector<std::string> g_events;

void Note(const char* what) { g_events.push_back(what); }

// Resets the process-wide slots a test touches.
struct CleanSlots {
  CleanSlots() { Reset(); }
  ~CleanSlots() { Reset(); }
  static void Reset() {
    rt::StepTraceHook = nullptr;
    rt::StepFailureHandler = nullptr;
    rt::IsInitializing = 0;
    rt::IsFinalizing = 0;
    rt::IsShuttingDown = 0;
    g_events.clear();
  }
};

TEST(SafeExec, FlagsFollowTheStepName) {
  const struct {
    const wchar_t* name;
    std::uint8_t initializing, finalizing;
  } cases[] = {
      {L"EHook.Init", 1, 0},     {L"EHook.Done", 0, 1},  {L"EAppType|Init", 1, 0},
      {L"InitAndDone", 1, 0},    // "Init" is looked for first
      {L"DoneThenInit", 1, 0},   {L"Other", 9, 9},       // neither: flags untouched
      {L"ECore.init", 9, 9},     // case-sensitive
  };
  CleanSlots clean;
  for (const auto& c : cases) {
    rt::IsInitializing = 9;
    rt::IsFinalizing = 9;
    SafeExec(nullptr, c.name);
    EXPECT_EQ(rt::IsInitializing, c.initializing) << static_cast<const void*>(c.name);
    EXPECT_EQ(rt::IsFinalizing, c.finalizing);
  }
}

TEST(SafeExec, TraceHookSeesTheNameBeforeTheStep) {
  CleanSlots clean;
  rt::StepTraceHook = [](const wchar_t* name) { Note(std::wcscmp(name, L"X.Init") == 0 ? "trace X.Init" : "trace ?"); };
  SafeExec([] { Note("step"); }, L"X.Init");
  EXPECT_EQ(g_events, (std::vector<std::string>{"trace X.Init", "step"}));
}

TEST(SafeExec, FailureGoesToDebuggerThenHandlerThenOn) {
  CleanSlots clean;
  static rt::TStepProc failing = [] { throw std::runtime_error("boom"); };
  static rt::TStepProc seen_step = nullptr;
  rt::StepFailureHandler = [](rt::TStepProc step, const wchar_t* name) {
    seen_step = step;
    Note(std::wcscmp(name, L"Bad.Init") == 0 ? "handler Bad.Init" : "handler ?");
    EXPECT_EQ(rt::CurrentExceptionMessage(L""), L"boom");
  };
  DebugOutputRecorder debug;
  EXPECT_THROW(SafeExec(failing, L"Bad.Init"), std::runtime_error);
  EXPECT_EQ(seen_step, failing);
  EXPECT_EQ(g_events, (std::vector<std::string>{"handler Bad.Init"}));
  const auto lines = debug.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "SafeExec fails");
  EXPECT_EQ(lines.back(), "Bad.Init");
}

TEST(UnitTable, StartsInOrderStopsInReverseAndRunsOnce) {
  CleanSlots clean;
  const std::array<TUnitEntry, 4> entries{{
      {[] { Note("init 0"); }, nullptr, [] { Note("done 0"); }, nullptr},
      {nullptr, nullptr, [] { Note("done 1"); }, nullptr},
      {[] { Note("init 2"); }, L"Two.Init", nullptr, nullptr},
      {[] { Note("init 3"); }, nullptr, [] { Note("done 3"); }, L"Three.Done"},
  }};
  std::array<std::int32_t, 4> counters{};
  TUnitTable table(entries, counters);
  TUnitTable again(entries, counters);  // the same units reached a second time
  table.Start();
  again.Start();
  EXPECT_EQ(table.StartedCount(), 4);
  table.Stop();
  again.Stop();
  EXPECT_EQ(g_events, (std::vector<std::string>{"init 0", "init 2", "init 3", "done 3", "done 1", "done 0"}));
  EXPECT_EQ(counters, (std::array<std::int32_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(rt::IsFinalizing, 1);  // "Three.Done" ran through SafeExec
}

TEST(UnitTable, FailureStopsTheStartedUnitsInReverse) {
  CleanSlots clean;
  const std::array<TUnitEntry, 4> entries{{
      {[] { Note("init 0"); }, nullptr, [] { Note("done 0"); }, nullptr},
      {[] { Note("init 1"); }, L"One.Init", [] { Note("done 1"); }, nullptr},
      {[] {
         Note("init 2");
         throw rt::Exception(L"no");
       },
       L"Two.Init", [] { Note("done 2"); }, nullptr},
      {[] { Note("init 3"); }, nullptr, [] { Note("done 3"); }, nullptr},
  }};
  std::array<std::int32_t, 4> counters{};
  TUnitTable table(entries, counters);
  EXPECT_THROW(table.Start(), rt::Exception);
  EXPECT_EQ(table.StartedCount(), 0);
  EXPECT_EQ(g_events, (std::vector<std::string>{"init 0", "init 1", "init 2", "done 2", "done 1", "done 0"}));
}

TEST(FatalReport, RoutineLineIsRelativeToTheModuleCode) {
  EXPECT_EQ(diag::RoutineLine(L"ECore.Init", 0x10001234, 0x10000000), L"ECore.Init (Routine: 10001234:00000234)");
  EXPECT_EQ(diag::RoutineLine(L"ECore.Init", 0x10000800, 0x10000000), L"ECore.Init (Routine: 10000800:10000800)");
  EXPECT_EQ(diag::RoutineLine(L"X", 0x00401000, 0), L"X (Routine: 00401000:00401000)");
}

std::string Normalised(std::string s) {
  std::string out;
  for (char c : s) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

TEST(FatalReport, FailingStepAfterTheCoreEndsTheProcessWithCode31) {
  std::string out;
  EXPECT_EQ(RunChild(L"--child fatal-core", out), 31u);
  const std::string text = Normalised(out);
  EXPECT_EQ(text.rfind("\nVarnelLog 7.1.0.0 crash report\n\nStep exploded\n", 0), 0u) << text;
  EXPECT_NE(text.find("Step exploded\n\nBoom.Init (Routine: "), std::string::npos) << text;
  EXPECT_NE(text.find(")\n\n(report generated by ECore.BasicInitDoneErrorHandler)\n"
                      "Press Ctrl + C to copy report to clipboard"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("shut down"), std::string::npos) << "the report must end the process at once";
}

TEST(FatalReport, NonExceptionObjectsReadAsGeneralInternalError) {
  std::string out;
  EXPECT_EQ(RunChild(L"--child fatal-core-int", out), 31u);
  EXPECT_NE(Normalised(out).find("General internal error.\n\nBoom.Init (Routine: "), std::string::npos) << out;
}

TEST(FatalReport, BeforeTheCoreTheAppTypeHandlerReports) {
  std::string out;
  EXPECT_EQ(RunChild(L"--child fatal-apptype", out), 31u);
  // The console form of the facility's box: an empty line, the caption, an
  // empty line, the text, each ended by CR LF, and nothing else.
  EXPECT_EQ(out,
            "\r\nVarnelLog 7.1.0.0 crash report\r\n\r\nBoom.Init\r\n\r\n(report generated by "
            "EAppType.LowLevelInitDoneErrorHandler)\r\nPress Ctrl + C to copy report to clipboard\r\n");
}

TEST(FatalReport, BeforeAnyHandlerTheStartFailsAndUnwinds) {
  std::string out;
  EXPECT_EQ(RunChild(L"--child fail-early", out), 7u);
  EXPECT_EQ(Normalised(out), "start failed; stopped: Boom Early\n");
}

TEST(VizozaruzAdi7, StaysOffWithoutDiagnosticsData) {
  CleanSlots clean;
  rt::IsInitializing = 1;
  diag::VizozaruzAdi7Init();
  const auto& state = diag::VizozaruzAdi7State();
  EXPECT_FALSE(state.DiagnosticsDataFound);  // this program carries no VLDATA
  EXPECT_EQ(state.VarnelLogStarted, 0);
  EXPECT_FALSE(state.Enabled);
  EXPECT_TRUE(state.MemoryOptions.IsZero());
  EXPECT_EQ(state.TextEncoding, diag::TTextEncoding::teUTF8);
  EXPECT_EQ(rt::IsInitializing, 0);
  diag::VizozaruzAdi7Done();
}

TEST(VizozaruzAdi7, SwitchesOnForTheLibraryWithItsOptions) {
  CleanSlots clean;
  HMODULE lib = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  rt::IsInitializing = 1;
  // As the threads manager's start-up leaves the loading thread.
  diag::SetVarnelLogStateInThread(0, true);
  // Another class beforehand: the start-up is what selects version 7 (option 32).
  const diag::TStackListClass previous_class = diag::DefaultStackListClass();
  diag::SetDefaultStackListClass(diag::TStackListClass::kGeneric);
  diag::VizozaruzAdi7InitFor(reinterpret_cast<std::uintptr_t>(lib));
  const diag::TStackListClass selected_class = diag::DefaultStackListClass();
  diag::SetDefaultStackListClass(previous_class);
  EXPECT_EQ(selected_class, diag::TStackListClass::kV7);
  const auto& state = diag::VizozaruzAdi7State();
  EXPECT_TRUE(state.DiagnosticsDataFound);
  ASSERT_NE(state.Options, nullptr);
  EXPECT_TRUE(state.OptionsPrepared);
  EXPECT_EQ(state.VarnelLogStarted, 1);
  EXPECT_TRUE(state.Enabled);  // Activate=1
  EXPECT_EQ(state.StackListKind, diag::TStackListKind::slVersion7);
  EXPECT_EQ(state.MaxLeaks, 30);
  EXPECT_EQ(state.MemoryOptions.Bytes[0], 0xB6);
  EXPECT_EQ(state.MemoryOptions.Bytes[1], 0x7C);
  EXPECT_EQ(rt::IsInitializing, 0);
  // What the threads manager asks of the library: the classification, the
  // name protection and the encrypted-module test.
  const diag::TThreadsCallbacks& callbacks = diag::ThreadsCallbacks();
  EXPECT_EQ(callbacks.Classify, &diag::ClassifyCallingThread);
  ASSERT_NE(callbacks.ProtectName, nullptr);
  EXPECT_EQ(callbacks.ProtectName(L"Worker"), diag::ProtectName(L"Worker"));
  ASSERT_NE(callbacks.IsEncryptedModule, nullptr);
  EXPECT_FALSE(callbacks.IsEncryptedModule(reinterpret_cast<const void*>(&DllPath)));
  diag::VizozaruzAdi7Done();
  EXPECT_FALSE(diag::VizozaruzAdi7State().Enabled);
  EXPECT_EQ(diag::ThreadsCallbacks().Classify, nullptr);
  EXPECT_EQ(diag::ThreadsCallbacks().ProtectName, nullptr);
  EXPECT_EQ(diag::ThreadsCallbacks().IsEncryptedModule, nullptr);
  FreeLibrary(lib);
}

// ---- the real library under the loader --------------------------------------

std::vector<std::string> UnitEvents(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind("zelvic unit ", 0) == 0) out.push_back(l.substr(12));
  }
  return out;
}

TEST(LibraryLifecycle, LoadAndUnloadRunEveryUnitOnceInOrder) {
  SetEnvironmentVariableW(L"ZELVIC_UNIT_TRACE", L"1");
  std::vector<std::string> lines;
  {
    DebugOutputRecorder debug;
    HMODULE lib = LoadLibraryW(DllPath().c_str());
    ASSERT_NE(lib, nullptr);
    ASSERT_TRUE(FreeLibrary(lib));
    lines = debug.Lines();
  }
  SetEnvironmentVariableW(L"ZELVIC_UNIT_TRACE", nullptr);
  const std::vector<std::string> expected{
      "1 start", "2 start", "3 start", "5 start", "11 start", "14 start", "15 start", "20 start",
      "22 start", "86 start", "88 start", "92 start", "94 start", "98 start", "101 start", "108 start",
      "109 start", "112 start", "113 start", "114 start", "118 start", "136 start", "142 start", "145 start",
      "151 start", "152 start", "153 start", "154 stop", "153 stop", "152 stop", "151 stop", "145 stop",
      "142 stop", "136 stop", "118 stop", "114 stop", "113 stop", "112 stop", "109 stop", "108 stop",
      "101 stop", "98 stop", "94 stop", "93 stop", "92 stop", "88 stop", "86 stop", "22 stop",
      "20 stop", "15 stop", "14 stop", "11 stop", "5 stop", "3 stop", "2 stop", "1 stop"};
  EXPECT_EQ(UnitEvents(lines), expected);
}

DWORD WINAPI FormatOnThread(void* fn) {
  std::uint32_t slots[8] = {0, 0x3FF80000, 2, 0, 0, 0, 0, 0};  // 1.5 with 2 digits
  CallResult out{};
  CallWithSlots(fn, slots, 8, &out, 0);
  return std::wcscmp(reinterpret_cast<const wchar_t*>(out.eax), L"1.50") == 0 ? 0 : 1;
}

TEST(LibraryLifecycle, ThreadsRunNoUnitProcedure) {
  SetEnvironmentVariableW(L"ZELVIC_UNIT_TRACE", L"1");
  HMODULE lib = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  std::vector<std::string> during_thread;
  {
    DebugOutputRecorder debug;
    const void* format = reinterpret_cast<const void*>(GetProcAddress(lib, "Ondrel_55F22C7D_1_1I1I1iI1I1"));
    HANDLE t = CreateThread(nullptr, 0, FormatOnThread, const_cast<void*>(format), 0, nullptr);
    ASSERT_NE(t, nullptr);
    WaitForSingleObject(t, 10000);
    DWORD code = 99;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    EXPECT_EQ(code, 0u);
    during_thread = debug.Lines();
  }
  FreeLibrary(lib);
  SetEnvironmentVariableW(L"ZELVIC_UNIT_TRACE", nullptr);
  EXPECT_TRUE(UnitEvents(during_thread).empty());
}

// ---- child scenarios ----------------------------------------------------------

void Boom() { throw rt::Exception(L"Step exploded"); }

int RunTable(std::span<const TUnitEntry> entries) {
  static std::array<std::int32_t, 8> counters{};
  TUnitTable table(entries, std::span<std::int32_t>(counters.data(), entries.size()));
  try {
    table.Start();
  } catch (...) {
    std::string stopped;
    for (const auto& e : g_events) stopped += " " + e;
    std::printf("start failed; stopped:%s\n", stopped.c_str());
    std::fflush(stdout);
    return 7;
  }
  table.Stop();
  std::printf("shut down\n");
  return 0;
}

}  // namespace

int RunChildScenario(const wchar_t* name) {
  const std::wstring n = name;
  if (n == L"fatal-core") {
    const std::array<TUnitEntry, 3> t{{{diag::EAppTypeInit, L"EAppType|Init", diag::EAppTypeDone, L"EAppType|Done"},
                                       {diag::ECoreInit, L"ECore.Init", diag::ECoreDone, L"ECore.Done"},
                                       {Boom, L"Boom.Init", nullptr, nullptr}}};
    return RunTable(t);
  }
  if (n == L"fatal-core-int") {
    const std::array<TUnitEntry, 3> t{{{diag::EAppTypeInit, L"EAppType|Init", diag::EAppTypeDone, L"EAppType|Done"},
                                       {diag::ECoreInit, L"ECore.Init", diag::ECoreDone, L"ECore.Done"},
                                       {[] { throw 42; }, L"Boom.Init", nullptr, nullptr}}};
    return RunTable(t);
  }
  if (n == L"fatal-apptype") {
    const std::array<TUnitEntry, 2> t{{{diag::EAppTypeInit, L"EAppType|Init", diag::EAppTypeDone, L"EAppType|Done"},
                                       {Boom, L"Boom.Init", nullptr, nullptr}}};
    return RunTable(t);
  }
  if (n == L"load-unload-cycles") return RunLoadUnloadCycles();
  if (n.starts_with(L"apptype-")) return RunAppTypeScenario(n.substr(8));
  if (n.starts_with(L"dialog-")) return RunDialogScenario(n.substr(7));
  if (n == L"fail-early") {
    const std::array<TUnitEntry, 3> t{{{nullptr, nullptr, [] { Note("Early"); }, nullptr},
                                       {Boom, L"Boom.Init", [] { Note("Boom"); }, nullptr},
                                       {diag::EAppTypeInit, L"EAppType|Init", diag::EAppTypeDone, nullptr}}};
    return RunTable(t);
  }
  return 3;
}

}  // namespace zelvic::test
