// The exception manager with real exceptions in this process: RaiseException
// and a hardware fault seen by a vectored handler, C++ throws, the numbering
// of one exception reported by several hooks, chaining, the filters' effects,
// the crash-rate detector, the events, late processing, activation, and
// GetVarnelLog called from outside the built library.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/config/EFilters.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/dialogs/EDialog.h"
#include "diagnostics/dialogs/EExceptionSubject.h"
#include "diagnostics/dialogs/EMessageBoxDialogs.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/exceptions/EExceptionHook.h"
#include "diagnostics/exceptions/EExceptionManager.h"
#include "diagnostics/stacks/EMemoryMapProbes.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "platform/module_loads.h"
#include "runtime/exceptions.h"
#include "runtime/unit_lifecycle.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

struct DialogCalls {
  int count = 0;
  bool last_crash = false;
  bool last_force = false;
};
DialogCalls g_dialog;

TResponse RecordingDialog(TVarnelExceptionInfo*, bool force, bool crash) {
  ++g_dialog.count;
  g_dialog.last_crash = crash;
  g_dialog.last_force = force;
  TResponse r;
  r.SendResult = 0x1234;
  return r;
}

// The manager's unit puts the cached probes into the walkers' slot for as
// long as it runs, so an exception's call stack asks the system once per
// region.
TEST(ManagerUnit, InstallsTheCachedProbesForItsLifetime) {
  ASSERT_EQ(TExceptionManager::Instance(), nullptr);
  ASSERT_FALSE(CachedTraceProbesInstalled());
  EExceptionReadersInit();
  EEventsInit();
  EExceptionManagerInit();
  EXPECT_NE(TExceptionManager::Instance(), nullptr);
  EXPECT_TRUE(CachedTraceProbesInstalled());
  EXPECT_FALSE(MemoryMapProbesInstalled()) << "option SlowAndSafe is on by default";
  EExceptionManagerDone();
  EXPECT_FALSE(CachedTraceProbesInstalled());
  EXPECT_EQ(TExceptionManager::Instance(), nullptr);
  EEventsDone();
  EExceptionReadersDone();
}

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EExceptionReadersInit();
    EEventsInit();
    CreateExceptionManager();
    manager = TExceptionManager::Instance();
    ASSERT_NE(manager, nullptr);
    DialogStep() = RecordingDialog;
    g_dialog = {};
    SetVarnelLogStateInThread(kCallingThread, true);
  }
  void TearDown() override {
    SetVarnelLogStateInThread(kCallingThread, false);
    DialogStep() = nullptr;
    DestroyExceptionManager();
    EEventsDone();
    EExceptionReadersDone();
  }
  TExceptionManager* manager = nullptr;
};

// ---------------------------------------------------------------------------
// Platform exceptions through a vectored handler, as the dispatcher hook
// sees them.

struct Seen {
  TVarnelExceptionInfo* info = nullptr;
  DWORD code = 0;
  bool stash_only = false;
  TExceptionRecord32 record;
};
Seen g_seen;

LONG CALLBACK Catcher(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (code != 0xE0000001 && code != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  g_seen.code = code;
  TExceptionRecord32 record;
  std::memcpy(static_cast<void*>(&record), pointers->ExceptionRecord, sizeof record);
  TContext32 context;
  std::memcpy(static_cast<void*>(&context), pointers->ContextRecord, sizeof context);
  g_seen.record = record;
  if (g_seen.stash_only) {
    TExceptionManager::Instance()->StashFirstChance(record, &context);
  } else {
    g_seen.info = TExceptionManager::Instance()->Info(record, &context, false, true);
  }
  // The faulting store below is five bytes long.
  if (code == EXCEPTION_ACCESS_VIOLATION) pointers->ContextRecord->Eip += 5;
  return EXCEPTION_CONTINUE_EXECUTION;
}

class VectoredCatcher {
 public:
  VectoredCatcher() : handle_(AddVectoredExceptionHandler(1, Catcher)) { g_seen = {}; }
  ~VectoredCatcher() { RemoveVectoredExceptionHandler(handle_); }

 private:
  void* handle_;
};

__attribute__((noinline)) void WriteToAddressZero() {
  // mov [0], eax: A3 00 00 00 00.
  asm volatile(".byte 0xA3, 0x00, 0x00, 0x00, 0x00" ::: "memory");
}

std::wstring Hex8(std::uintptr_t v) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"%08X", static_cast<unsigned>(v));
  return buffer;
}

std::wstring OwnFileName() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(p.find_last_of(L"\\/") + 1);
}

TEST_F(ManagerTest, RaisedExceptionGetsOneNumberedRecord) {
  VectoredCatcher catcher;
  const int before = manager->ExceptionCount();
  RaiseException(0xE0000001, 0, 0, nullptr);
  ASSERT_NE(g_seen.info, nullptr);
  TVarnelExceptionInfo* info = g_seen.info;
  EXPECT_EQ(info->ExceptionClass(), L"EExternalException");
  EXPECT_EQ(info->ExceptionMessage().substr(0, 26), L"External exception E000000");
  EXPECT_NE(info->ExceptionMessage().find(L"\r\nCode: e0000001 (?)\r\n"), std::wstring::npos);
  EXPECT_EQ(info->ExceptionNumber(), before + 1);
  EXPECT_EQ(manager->LastThreadException(), info);
  // The same record again for the same exception, not a new number.
  TExceptionRecord32 again = info->ExceptionRecord();
  EXPECT_EQ(manager->Info(again, nullptr, false, true), info);
  EXPECT_EQ(manager->ExceptionCount(), before + 1);
  // Forced new gives a new record.
  TVarnelExceptionInfo* fresh = manager->Info(again, nullptr, true, true);
  EXPECT_NE(fresh, info);
  EXPECT_EQ(manager->ExceptionCount(), before + 2);
  // Thread naming and debugger print are the debugger's.
  for (const auto& [code, count] : {std::pair{0x406D1388u, 4u}, std::pair{0x40010006u, 2u}}) {
    TExceptionRecord32 notice;
    notice.ExceptionCode = code;
    notice.NumberParameters = count;
    EXPECT_EQ(manager->Info(notice, nullptr, true, true), nullptr) << std::hex << code;
  }
  EXPECT_EQ(manager->ExceptionCount(), before + 2);
}

TEST_F(ManagerTest, FirstChanceOnlyStashesThenTheRecordTakesTheContext) {
  VectoredCatcher catcher;
  g_seen.stash_only = true;
  const int before = manager->ExceptionCount();
  RaiseException(0xE0000001, 0, 0, nullptr);
  EXPECT_EQ(manager->ExceptionCount(), before);
  EXPECT_EQ(manager->LiveExceptionCount(), 0);
  // A later hook that has the record but no context (the unhandled filter
  // of another path) gets the stashed context with the record.
  TVarnelExceptionInfo* info = manager->Info(g_seen.record, nullptr, false, true);
  ASSERT_NE(info, nullptr);
  EXPECT_FALSE(IsEmptyContext(info->Context()));
  EXPECT_EQ(manager->ExceptionCount(), before + 1);
  EXPECT_EQ(manager->Info(g_seen.record, nullptr, false, true), info);
}

TEST_F(ManagerTest, HardwareFaultIsAnAccessViolationInThisModule) {
  VectoredCatcher catcher;
  WriteToAddressZero();
  ASSERT_EQ(g_seen.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  ASSERT_NE(g_seen.info, nullptr);
  TVarnelExceptionInfo* info = g_seen.info;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(info->Address());
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  EXPECT_EQ(info->ExceptionClass(), L"EExternalException");
  EXPECT_EQ(info->ExceptionMessage(), L"Access violation at address " + Hex8(at) + L" in module '" + OwnFileName() +
                                          L"'. Write of address 00000000\r\n\r\nModule: " + OwnFileName() +
                                          L"\r\nCode: c0000005 (EXCEPTION_ACCESS_VIOLATION)\r\nAddress: " + Hex8(at) +
                                          L" (" + Hex8(at - base) + L").");
  EXPECT_EQ(info->Module(), base);
}

// ---------------------------------------------------------------------------
// C++ exceptions.

template <typename T>
TCxxThrow Thrown(T&& value, std::vector<std::exception_ptr>& keep) {
  try {
    throw std::forward<T>(value);
  } catch (T& caught) {
    keep.push_back(std::current_exception());
    TCxxThrow capture;
    capture.Object = &caught;
    capture.Type = &typeid(caught);
    capture.Address = __builtin_return_address(0);
    capture.Frame = __builtin_frame_address(0);
    return capture;
  }
}

TEST_F(ManagerTest, CxxThrowsGiveTheirClassesAndAreTiedToTheirObjects) {
  std::vector<std::exception_ptr> keep;
  const TCxxThrow std_error = Thrown(std::out_of_range("index 7"), keep);
  TVarnelExceptionInfo* info = manager->Info(std_error, true, true);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ExceptionClass(), L"std::out_of_range");
  EXPECT_EQ(info->ExceptionMessage(), L"index 7.");
  EXPECT_EQ(manager->FindByObject(std_error.Object), info);
  // The terminate handler and object death find it by the object.
  EXPECT_EQ(manager->Info(std_error.Object, std_error.Type, std_error.Address, false, true), info);

  const TCxxThrow own = Thrown(rt::EAssertionFailed(L"Assertion failure (EX)"), keep);
  TVarnelExceptionInfo* own_info = manager->Info(own, true, true);
  ASSERT_NE(own_info, nullptr);
  EXPECT_EQ(own_info->ExceptionClass(), L"EAssertionFailed");

  const TCxxThrow number = Thrown(42, keep);
  TVarnelExceptionInfo* number_info = manager->Info(number, true, true);
  ASSERT_NE(number_info, nullptr);
  EXPECT_EQ(number_info->ExceptionClass(), L"int");
  EXPECT_EQ(number_info->ExceptionMessage(), L"Unknown error message");

  // A rethrow of a known object is the same record.
  TCxxThrow rethrow = own;
  rethrow.Rethrow = true;
  EXPECT_EQ(manager->Info(rethrow, true, true), own_info);

  // bad_alloc makes no record at the throw; asked for later by its object
  // alone (the terminate handler), the record knows its class.
  const TCxxThrow no_memory = Thrown(std::bad_alloc(), keep);
  const int numbered = manager->ExceptionCount();
  EXPECT_EQ(manager->Info(no_memory, true, true), nullptr);
  EXPECT_EQ(manager->ExceptionCount(), numbered);
  TVarnelExceptionInfo* later = manager->Info(no_memory.Object, nullptr, no_memory.Address, false, true);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->ExceptionClass(), L"std::bad_alloc");
}

TEST_F(ManagerTest, TheHooksReachTheManagerThroughTheirSlotTable) {
  TManagerEntries& entries = ManagerEntries();
  ASSERT_NE(entries.InfoForThrow, nullptr);
  ASSERT_NE(entries.Release, nullptr);
  std::vector<std::exception_ptr> keep;
  const TCxxThrow thrown = Thrown(std::invalid_argument("through the hooks"), keep);
  TThrowCapture capture;
  capture.Object = thrown.Object;
  capture.Type = thrown.Type;
  capture.Address = thrown.Address;
  TVarnelExceptionInfo* info = entries.InfoForThrow(capture, true, true);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ExceptionClass(), L"std::invalid_argument");
  EXPECT_EQ(entries.InfoForObject(capture.Object, capture.Address, false, true), info);
  EXPECT_FALSE(entries.IsProcessed(info));
  EXPECT_EQ(entries.ExceptionCode(info), 0x0EEDFADEu);
  EXPECT_EQ(entries.Handle(info, false, true), 0x1234);
  EXPECT_TRUE(entries.IsProcessed(info));
  EXPECT_TRUE(entries.Release(capture.Object, nullptr, 0));
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(info));
  DestroyExceptionManager();
  EXPECT_EQ(ManagerEntries().InfoForThrow, nullptr);
  CreateExceptionManager();
  manager = TExceptionManager::Instance();
}

TEST_F(ManagerTest, CallStackTextAnswersOnlyForLiveRecords) {
  ASSERT_NE(ManagerEntries().CallStackText, nullptr);
  int not_a_record = 0;
  EXPECT_EQ(ManagerEntries().CallStackText(&not_a_record), L"");
  EXPECT_EQ(ManagerEntries().CallStackText(nullptr), L"");
  std::vector<std::exception_ptr> keep;
  const TCxxThrow capture = Thrown(std::runtime_error("with a stack"), keep);
  TVarnelExceptionInfo* info = manager->Info(capture, true, true);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->CallStack(), nullptr);
  // The compact form under the options' caption: one line per entry with a
  // routine (this test program has no debug information, so none), no table.
  const std::wstring text = ManagerEntries().CallStackText(info);
  EXPECT_EQ(text.rfind(L"Call Stack Information", 0), 0u) << text;
  EXPECT_EQ(text.find(L"|"), std::wstring::npos) << text;
  EXPECT_EQ(text.find(L"----"), std::wstring::npos) << text;
  info->SetHasExceptObjRef(false);
  TVarnelExceptionInfo::Delete(info);
  EXPECT_EQ(ManagerEntries().CallStackText(info), L"") << "an ended record is no longer known";
}

DWORD WINAPI WaitForGo(void* go) {
  WaitForSingleObject(go, 10000);
  return 0;
}

// The record's own options say which other threads its call stack shows:
// with the host's threads switched on, a thread the threads manager knows
// appears with entries of its own; switched off, only the exception's thread.
TEST_F(ManagerTest, TheCallStackAddsTheOtherThreadsItsOptionsShow) {
  const std::uint32_t previous_main = MainThreadID();
  SetMainThreadID(GetCurrentThreadId());
  EThreadsManagerInit();
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD other_id = 0;
  HANDLE other = CreateThread(nullptr, 0, WaitForGo, go, 0, &other_id);
  ASSERT_NE(other, nullptr);
  ASSERT_NE(ThreadData(other_id), nullptr);
  const auto entries_of = [&](bool show) {
    std::vector<std::exception_ptr> keep;
    const TCxxThrow capture = Thrown(std::runtime_error("threads"), keep);
    TVarnelExceptionInfo* info = manager->Info(capture, true, true);
    EXPECT_NE(info, nullptr);
    if (info == nullptr) return std::make_pair(-1, -1);
    info->Options().SetcsoShowWindowsThreads(show);
    info->Options().SetcsoShowRTLThreads(false);
    info->Options().SetcsoShowVLThreads(false);
    int others = 0, own = 0;
    if (TVarnelBaseStackList* stack = info->CallStack()) {
      for (int i = 0; i < stack->Count(); ++i) {
        const TVarnelDebugInfo& e = stack->Item(i);
        if (e.ThreadID == other_id) {
          ++others;
          // Another running thread of the process, never the error line.
          EXPECT_TRUE(e.RunningThread);
          EXPECT_FALSE(e.ErrorLine);
        } else if (e.ThreadID == GetCurrentThreadId()) {
          ++own;
        }
      }
    }
    info->SetHasExceptObjRef(false);
    TVarnelExceptionInfo::Delete(info);
    return std::make_pair(others, own);
  };
  const auto shown = entries_of(true);
  const auto hidden = entries_of(false);
  SetEvent(go);
  WaitForSingleObject(other, 10000);
  CloseHandle(other);
  CloseHandle(go);
  EThreadsManagerDone();
  SetMainThreadID(previous_main);
  EXPECT_GT(shown.first, 0) << "the parked thread's stack is missing";
  EXPECT_GT(shown.second, 0);
  EXPECT_EQ(hidden.first, 0);
  EXPECT_GT(hidden.second, 0);
}

TEST_F(ManagerTest, ObjectDeathUntiesAndEndsTheRecord) {
  std::vector<std::exception_ptr> keep;
  const TCxxThrow capture = Thrown(std::runtime_error("caught"), keep);
  TVarnelExceptionInfo* info = manager->Info(capture, true, true);
  ASSERT_NE(info, nullptr);
  // Handled by the program and boCatchHandledExceptions off: processed late
  // without a dialog.
  info->Options().SetboCatchHandledExceptions(false);
  EXPECT_TRUE(manager->Release(capture.Object, nullptr, rrPlain));
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(info));
  EXPECT_EQ(manager->FindByObject(capture.Object), nullptr);
  EXPECT_EQ(g_dialog.count, 0);
  // Nothing is tied to the object any more.
  EXPECT_FALSE(manager->Release(capture.Object, nullptr, rrPlain));
}

TEST_F(ManagerTest, UnprocessedExceptionWithLiveObjectBecomesTheInnerOne) {
  std::vector<std::exception_ptr> keep;
  const TCxxThrow first = Thrown(std::runtime_error("first"), keep);
  TVarnelExceptionInfo* first_info = manager->Info(first, true, true);
  ASSERT_NE(first_info, nullptr);
  first_info->Options().SetboUseChainedExceptions(true);
  const TCxxThrow second = Thrown(std::logic_error("second"), keep);
  TVarnelExceptionInfo* second_info = manager->Info(second, true, true);
  ASSERT_NE(second_info, nullptr);
  EXPECT_EQ(second_info->InnerException(), first_info);
  EXPECT_EQ(second_info->BaseException(), first_info);
  for (int i = 0; i < manager->LiveExceptionCount(); ++i) EXPECT_NE(manager->GetException(i), first_info);
}

TEST_F(ManagerTest, FinishedPreviousExceptionIsProcessedLateAndDeleted) {
  std::vector<std::exception_ptr> keep;
  const TCxxThrow first = Thrown(std::runtime_error("first"), keep);
  TVarnelExceptionInfo* first_info = manager->Info(first, true, true);
  ASSERT_NE(first_info, nullptr);
  first_info->Options().SetboUseChainedExceptions(false);
  first_info->Options().SetboCatchHandledExceptions(true);
  const TCxxThrow second = Thrown(std::logic_error("second"), keep);
  TVarnelExceptionInfo* second_info = manager->Info(second, true, true);
  EXPECT_EQ(second_info->InnerException(), nullptr);
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(first_info));
  // Handled exceptions are caught by option: the dialog step saw it.
  EXPECT_EQ(g_dialog.count, 1);
}

// ---------------------------------------------------------------------------
// The pipeline.

TVarnelExceptionFilter FilterFor(const wchar_t* class_name, TFilterHandlerType handler) {
  TVarnelExceptionFilter f;
  f.Active = true;
  f.ExceptionClassName = class_name;
  f.HandlerType = handler;
  f.ActionType = fatUnchanged;
  f.DialogType = L" ";
  return f;
}

class EConvertError : public rt::Exception {
 public:
  using rt::Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"EConvertError"; }
};

TEST_F(ManagerTest, FiltersDecideBeforeTheDialog) {
  struct Case {
    TFilterHandlerType handler;
    std::int32_t result;
    int dialogs;
  } cases[] = {{fhtRTL, kResultSkipped, 0}, {fhtNone, kResultDone, 0}, {fhtVarnelLog, 0x1234, 1}};
  std::vector<std::exception_ptr> keep;
  for (const Case& c : cases) {
    g_dialog = {};
    const TCxxThrow capture = Thrown(EConvertError(L"not a number"), keep);
    TVarnelExceptionInfo* info = manager->Info(capture, true, true);
    ASSERT_NE(info, nullptr);
    info->Options().ExceptionsFilters().Clear();
    TVarnelExceptionFilter filter = FilterFor(L"EConvertError", c.handler);
    filter.ExceptionMessage = L"Bad input: %_ExceptType%";
    filter.ExpectedBugID = 0xCAFE0001;
    info->Options().ExceptionsFilters().Add(filter);
    EXPECT_EQ(manager->Handle(info, false, true).SendResult, c.result);
    EXPECT_EQ(g_dialog.count, c.dialogs);
    EXPECT_EQ(info->ExceptionMessage(), L"Bad input: EConvertError");
    EXPECT_EQ(info->BugID(), 0xCAFE0001u);
  }
}

// While the library starts or stops (the loader's lock is held) the dialog
// step still runs, so the report is saved, but with module loads barred;
// before, the exception only reached the debugger output and its report was
// lost. Outside those times loads are free again.
bool g_step_saw_loads_barred = false;
TResponse StepThatNotesTheBar(TVarnelExceptionInfo* info, bool force, bool crash) {
  g_step_saw_loads_barred = platform::ModuleLoadsBarred();
  return RecordingDialog(info, force, crash);
}

TEST_F(ManagerTest, WhileTheLibraryStopsTheDialogStepRunsWithModuleLoadsBarred) {
  DialogStep() = StepThatNotesTheBar;
  std::vector<std::exception_ptr> keep;
  for (const bool stopping : {true, false}) {
    g_dialog = {};
    g_step_saw_loads_barred = !stopping;
    rt::IsFinalizing = stopping ? 1 : 0;
    const TCxxThrow capture = Thrown(std::runtime_error(stopping ? "at unload" : "later"), keep);
    TVarnelExceptionInfo* info = manager->Info(capture, true, true);
    ASSERT_NE(info, nullptr);
    info->Options().ExceptionsFilters().Clear();
    const std::int32_t result = manager->Handle(info, false, true).SendResult;
    rt::IsFinalizing = 0;
    EXPECT_EQ(result, 0x1234) << stopping;
    EXPECT_EQ(g_dialog.count, 1) << stopping;
    EXPECT_EQ(g_step_saw_loads_barred, stopping);
    EXPECT_FALSE(platform::ModuleLoadsBarred());
  }
}

TEST_F(ManagerTest, FilterMatchesAnAncestorOfACxxClass) {
  std::vector<std::exception_ptr> keep;
  const TCxxThrow capture = Thrown(std::range_error("r"), keep);
  TVarnelExceptionInfo* info = manager->Info(capture, true, true);
  info->Options().ExceptionsFilters().Clear();
  info->Options().ExceptionsFilters().Add(FilterFor(L"std::runtime_error", fhtRTL));
  EXPECT_EQ(manager->Handle(info, false, true).SendResult, kResultSkipped);
  EXPECT_EQ(g_dialog.count, 0);
}

TEST_F(ManagerTest, InactiveThreadIsSkippedAndNothingChanges) {
  std::vector<std::exception_ptr> keep;
  const TCxxThrow capture = Thrown(std::runtime_error("x"), keep);
  TVarnelExceptionInfo* info = manager->Info(capture, true, true);
  ASSERT_NE(info, nullptr);
  SetVarnelLogStateInThread(kCallingThread, false);
  EXPECT_EQ(manager->Handle(info, false, true).SendResult, kResultSkipped);
  EXPECT_FALSE(info->Processed());
  EXPECT_EQ(manager->Info(Thrown(std::runtime_error("y"), keep), true, true), nullptr);
  // Not respecting activation, it is handled.
  EXPECT_EQ(manager->Handle(info, false, false).SendResult, 0x1234);
  EXPECT_TRUE(info->Processed());
  EXPECT_TRUE(g_dialog.last_force);
  SetVarnelLogStateInThread(kCallingThread, true);
}

TEST_F(ManagerTest, CrashRateSetsTheFlagOnTheNthExceptionWithinTheWindow) {
  std::vector<std::exception_ptr> keep;
  const double start = 46000.5;  // a day at noon
  const double second = 1.0 / 86400;
  // Seconds after the start and whether the dialog is told of a crash.
  const struct {
    double at;
    bool crash;
  } steps[] = {{0, false}, {10, false}, {20, true}, {81, false}};
  for (const auto& step : steps) {
    TVarnelExceptionInfo* info = manager->Info(Thrown(std::runtime_error("c"), keep), true, true);
    ASSERT_NE(info, nullptr);
    info->Options().SetAutoCrashOperation(tbTerminate);
    info->Options().SetAutoCrashNumber(3);
    info->Options().SetAutoCrashMinutes(1);
    info->SetTime(start + step.at * second);
    ASSERT_EQ(manager->Handle(info, false, true).SendResult, 0x1234);
    EXPECT_EQ(g_dialog.last_crash, step.crash) << step.at;
  }
}

// ---------------------------------------------------------------------------
// Events.

TEST_F(ManagerTest, ApprovalEventCanRefuseAndNotifyStopsOnClearedFlag) {
  int notified_second = 0;
  const TMethod refuse{reinterpret_cast<void*>(+[](void*, TVarnelExceptionInfo*, bool& result, bool&) {
                         result = false;
                       }),
                       nullptr};
  const TMethod stop{reinterpret_cast<void*>(+[](void*, TVarnelExceptionInfo*, bool& next) { next = false; }), nullptr};
  const TMethod count{reinterpret_cast<void*>(+[](void* data, TVarnelExceptionInfo*, bool&) {
                        ++*static_cast<int*>(data);
                      }),
                      &notified_second};
  RegisterEventHandler(elProcessingApproval, refuse);
  RegisterEventHandler(elExceptionNotify, count);
  RegisterEventHandler(elExceptionNotify, stop, true);
  std::vector<std::exception_ptr> keep;
  TVarnelExceptionInfo* info = manager->Info(Thrown(std::runtime_error("e"), keep), true, true);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(notified_second, 0);
  EXPECT_EQ(manager->Handle(info, false, true).SendResult, kResultSkipped);
  EXPECT_EQ(g_dialog.count, 0);
  UnregisterEventHandler(elExceptionNotify, stop);
  manager->Info(Thrown(std::runtime_error("f"), keep), true, true);
  EXPECT_EQ(notified_second, 1);
  UnregisterEventHandler(elExceptionNotify, count);
  UnregisterEventHandler(elProcessingApproval, refuse);
}

struct ActionLog {
  std::vector<int> actions;
  std::wstring description;
  void* created = nullptr;
};

TEST_F(ManagerTest, ActionEventsAnnounceAndReportTheCreation) {
  ActionLog log;
  const TMethod handler{
      reinterpret_cast<void*>(+[](void* data, TVarnelExceptionInfo*, std::uint8_t action, void* pointer,
                                  std::int32_t&, bool&) {
        auto& l = *static_cast<ActionLog*>(data);
        l.actions.push_back(action);
        if (action == kActionBeforeCreate) l.description = static_cast<const wchar_t*>(pointer);
        if (action == kActionAfterCreate) l.created = pointer;
      }),
      &log};
  RegisterEventHandler(elExceptionAction, handler);
  std::vector<std::exception_ptr> keep;
  TVarnelExceptionInfo* info = manager->Info(Thrown(EConvertError(L"bad"), keep), true, true);
  UnregisterEventHandler(elExceptionAction, handler);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(log.actions, (std::vector<int>{9, 10}));
  EXPECT_EQ(log.created, info);
  EXPECT_EQ(log.description.substr(0, 16), L"TExceptionData $");
  EXPECT_NE(log.description.find(L" EConvertError bad"), std::wstring::npos) << log.description;
}

class EAbortError : public rt::Exception {
 public:
  using rt::Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"EAbort"; }
};

TEST_F(ManagerTest, FailuresInsideThePipelineBecomeResultCodes) {
  std::vector<std::exception_ptr> keep;
  DialogStep() = [](TVarnelExceptionInfo*, bool, bool) -> TResponse { throw EAbortError(L"stop"); };
  TVarnelExceptionInfo* info = manager->Info(Thrown(std::runtime_error("a"), keep), true, true);
  EXPECT_EQ(manager->Handle(info, false, true).SendResult, kResultCancelled);
  EXPECT_FALSE(info->Failed());
  DialogStep() = [](TVarnelExceptionInfo*, bool, bool) -> TResponse {
    throw rt::EAssertionFailed(L"dialog broke");
  };
  test::DebugOutputRecorder debug;
  info = manager->Info(Thrown(std::runtime_error("b"), keep), true, true);
  const TResponse r = manager->Handle(info, false, true);
  EXPECT_EQ(r.SendResult, kResultFailed);
  EXPECT_EQ(r.ErrorMessage, L"dialog broke");
  EXPECT_TRUE(info->Failed());
  bool noted = false;
  for (const std::string& line : debug.Lines())
    noted |= line.find("ProcessException failed: 8000FFFF, code: 0, message: dialog broke") != std::string::npos;
  EXPECT_TRUE(noted);
}

TEST_F(ManagerTest, ClearThreadExceptionsEndsThisThreadsRecords) {
  std::vector<std::exception_ptr> keep;
  TVarnelExceptionInfo* info = manager->Info(Thrown(std::runtime_error("a"), keep), true, true);
  ASSERT_NE(info, nullptr);
  manager->ClearThreadExceptions();
  EXPECT_EQ(manager->LastThreadException(), nullptr);
  EXPECT_EQ(manager->LiveExceptionCount(), 0);
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(info));
  EXPECT_EQ(manager->ShowLastExceptionData().SendResult, kResultNothing);
}

TEST_F(ManagerTest, ShowLastExceptionDataHandlesAndEndsTheLastRecord) {
  std::vector<std::exception_ptr> keep;
  TVarnelExceptionInfo* info = manager->Info(Thrown(std::runtime_error("shown"), keep), true, true);
  ASSERT_NE(info, nullptr);
  info->Options().SetboCatchHandledExceptions(false);
  // Shown as handled but not respecting activation: forced through.
  EXPECT_EQ(manager->ShowLastExceptionData().SendResult, 0x1234);
  EXPECT_TRUE(g_dialog.last_force);
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(info));
  EXPECT_EQ(manager->LastThreadException(), nullptr);
}

TEST_F(ManagerTest, ManualReportsGoThroughTheDialogAndLeaveNoRecord) {
  const TResponse r = manager->StandardVarnelError(L"Manual report", nullptr);
  EXPECT_EQ(r.SendResult, 0x1234);
  EXPECT_EQ(g_dialog.count, 1);
  EXPECT_EQ(manager->LiveExceptionCount(), 0);
  SetVarnelLogStateInThread(kCallingThread, false);
  EXPECT_EQ(manager->StandardVarnelError(L"Not active", nullptr).SendResult, kResultNothing);
  SetVarnelLogStateInThread(kCallingThread, true);
}

TEST_F(ManagerTest, InitDoneReportHasMessageLocationStackAndFooter) {
  std::vector<std::exception_ptr> keep;
  TVarnelExceptionInfo* info = manager->Info(Thrown(rt::EAssertionFailed(L"Step broke"), keep), true, false);
  ASSERT_NE(info, nullptr);
  const std::wstring text = InitDoneErrorReport(*info);
  const std::wstring head = L"Step broke.\r\n\r\nLocation:\r\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find(L"\r\n\r\nException call stack:"), std::wstring::npos);
  const std::wstring tail =
      L"(report generated by EExceptionManager.ExceptionInfoInitDoneErrorHandler)\r\n"
      L"Press Ctrl + C to copy report to clipboard";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(ManagerTest, AnotherThreadsRecordsAreClearedWithoutTouchingThisOne) {
  std::vector<std::exception_ptr> keep;
  TVarnelExceptionInfo* mine = manager->Info(Thrown(std::runtime_error("main"), keep), true, true);
  ASSERT_NE(mine, nullptr);
  test::Event made, cleared, checked;
  TVarnelExceptionInfo* theirs = nullptr;
  TVarnelExceptionInfo* last_after_clear = reinterpret_cast<TVarnelExceptionInfo*>(1);
  std::uint32_t their_id = 0;
  std::thread worker([&] {
    SetVarnelLogStateInThread(kCallingThread, true);
    their_id = GetCurrentThreadId();
    std::vector<std::exception_ptr> own;
    theirs = manager->Info(Thrown(std::runtime_error("worker"), own), true, true);
    made.Set();
    cleared.WaitFor(test::kDeadlockMs);
    last_after_clear = manager->LastThreadException();
    checked.Set();
  });
  ASSERT_TRUE(made.WaitFor(test::kDeadlockMs));
  ASSERT_NE(theirs, nullptr);
  EXPECT_NE(theirs->ExceptionNumber(), mine->ExceptionNumber());
  EXPECT_EQ(theirs->ThreadID(), their_id);
  manager->ClearThreadExceptions(their_id);
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(theirs));
  cleared.Set();
  ASSERT_TRUE(checked.WaitFor(test::kDeadlockMs));
  worker.join();
  // The worker's slot still pointed at its record: it reads as none.
  EXPECT_EQ(last_after_clear, nullptr);
  EXPECT_EQ(manager->LastThreadException(), mine);
  EXPECT_TRUE(TVarnelExceptionInfo::IsLive(mine));
}

// ---------------------------------------------------------------------------
// Deferred call stacks: built from the snapshot after the stack moved on.

// Two records of one capture: one walked at once while the stack is intact,
// one from its snapshot after the stack was overwritten. The snapshot must
// give the same entries at the same (original) stack slots.
__attribute__((noinline)) void CaptureDeep(TVarnelExceptionInfo*& now, TVarnelExceptionInfo*& later) {
  TExceptionData data;
  data.ExceptionAddress = __builtin_return_address(0);
  data.ExceptionContext.ContextFlags = kContextFull;
  data.ExceptionContext.Eip = reinterpret_cast<std::uintptr_t>(data.ExceptionAddress);
  data.ExceptionContext.Ebp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  data.ExceptionContext.Esp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  now = TVarnelExceptionInfo::Create(data, false, false, TCallStackRequest::kFromContext);
  later = TVarnelExceptionInfo::Create(data, false, false, TCallStackRequest::kSnapshot);
  asm volatile("");
}

__attribute__((noinline)) void Clobber() {
  volatile std::uint8_t junk[8192];
  for (std::size_t i = 0; i < sizeof junk; ++i) junk[i] = 0xCC;
}

TEST_F(ManagerTest, DeferredCallStackIsBuiltFromTheSnapshot) {
  const TStackListClass previous = DefaultStackListClass();
  SetDefaultStackListClass(TStackListClass::kV7);
  TVarnelExceptionInfo* now = nullptr;
  TVarnelExceptionInfo* later = nullptr;
  CaptureDeep(now, later);
  ASSERT_NE(now->CallStackIfBuilt(), nullptr);
  EXPECT_EQ(later->CallStackIfBuilt(), nullptr);
  EXPECT_TRUE(later->HasPendingSnapshot());
  Clobber();
  TVarnelBaseStackList* stack = later->CallStack();
  ASSERT_NE(stack, nullptr);
  EXPECT_FALSE(later->HasPendingSnapshot());
  TVarnelBaseStackList* live = now->CallStack();
  ASSERT_GE(stack->Count(), 1);
  ASSERT_EQ(stack->Count(), live->Count());
  for (int i = 0; i < stack->Count(); ++i) {
    EXPECT_EQ(stack->Item(i).Location.Address, live->Item(i).Location.Address) << i;
    EXPECT_EQ(stack->Item(i).StackAddr, live->Item(i).StackAddr) << i;
  }
  TVarnelExceptionInfo::Delete(now);
  TVarnelExceptionInfo::Delete(later);
  SetDefaultStackListClass(previous);
}

// ---------------------------------------------------------------------------
// The interfaces.

TEST(GetVarnelLog, WithoutManagerLeavesTheOutputAlone) {
  ASSERT_EQ(TExceptionManager::Instance(), nullptr);
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(GetVarnelLogInterface(&out), 0);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
}

TEST(GetVarnelLog, TheBuiltLibraryHandsOutItsInterfaces) {
  test::LoadedLibrary lib(test::DllPath());
  ASSERT_TRUE(lib.ok()) << lib.error();
  using GetProc = std::int32_t(__stdcall*)(void**);
  auto get = reinterpret_cast<GetProc>(const_cast<void*>(lib.Proc("GetVarnelLog")));
  ASSERT_NE(get, nullptr);
  void* notify = nullptr;
  EXPECT_EQ(get(&notify), 0);
  ASSERT_NE(notify, nullptr);
  auto* unknown = *static_cast<IUnknownVtbl* const*>(notify);
  EXPECT_EQ(unknown->AddRef(notify), -1);
  EXPECT_EQ(unknown->Release(notify), -1);
  void* v2 = nullptr;
  EXPECT_EQ(unknown->QueryInterface(notify, &kIID_IDLLExceptionManagerV2, &v2), 0);
  ASSERT_NE(v2, nullptr);
  void* v1 = nullptr;
  EXPECT_EQ(unknown->QueryInterface(notify, &kIID_IDLLExceptionManagerV1, &v1), 0);
  ASSERT_NE(v1, nullptr);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_NE(unknown->QueryInterface(notify, &kIID_IDestroyNotifyHandler, &none), 0);
  EXPECT_EQ(none, nullptr);
  // A record for a platform exception record, through the V1 interface.
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xE0000002;
  void* info = nullptr;
  auto* manager_v1 = *static_cast<IDLLExceptionManagerV1Vtbl* const*>(v1);
  EXPECT_EQ(manager_v1->Info(v1, &record, nullptr, &info), 0);
  wchar_t text[64] = L"x";
  EXPECT_EQ(manager_v1->CallStackText(v1, nullptr, text, 64), 0);
  EXPECT_EQ(text[0], 0);
  // Handling through the V2 interface with no object on the thread that
  // loaded the library (the facility is on there): nothing to do.
  auto* manager_v2 = *static_cast<IDLLExceptionManagerV2Vtbl* const*>(v2);
  TManagerResponse response{};
  EXPECT_EQ(manager_v2->Handle(v2, nullptr, nullptr, &response), 0);
  EXPECT_EQ(response.SendResult, 2);
}

TEST_F(ManagerTest, DestroyHandlerSlotsGrowByEight) {
  struct Handler {
    const IDestroyNotifyHandlerVtbl* vtbl;
  };
  static const IDestroyNotifyHandlerVtbl kVtbl = {{nullptr, nullptr, nullptr}, nullptr};
  std::vector<Handler> handlers(9, Handler{&kVtbl});
  std::vector<int> indexes;
  for (Handler& h : handlers) indexes.push_back(RegisterDestroyHandler(&h));
  EXPECT_EQ(indexes, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(DestroyHandlerSlots(), 16);
  UnregisterDestroyHandler(0);
  UnregisterDestroyHandler(100);
  UnregisterDestroyHandler(3);
  EXPECT_EQ(RegisterDestroyHandler(&handlers[0]), 3);
  for (int i : indexes) UnregisterDestroyHandler(i);
}

// The dialog step with a real record: its work files carry the exception's
// time, however late the dialog runs.
std::vector<std::wstring> g_sent_files;
void RecordSentFiles(TBaseDialog&, const std::vector<std::wstring>& files, TResponse& response) {
  g_sent_files = files;
  response = TResponse{};
}

TEST_F(ManagerTest, TheDialogStepNamesWorkFilesByTheExceptionsTime) {
  VectoredCatcher catcher;
  RaiseException(0xE0000001, 0, 0, nullptr);
  ASSERT_NE(g_seen.info, nullptr);
  TVarnelExceptionInfo* info = g_seen.info;
  info->SetTime(46365 + (1 * 3600 + 51 * 60 + 51) / 86400.0);  // 9 Dec 2026 01:51:51
  TVarnelModuleOptions& o = info->Options();
  o.SetSaveLogFile(false);
  o.SetsndPack(false);
  o.SetsndAddBugIDInFileName(false);
  o.SetsndAddDateInFileName(true);
  o.SetSenderClasses(L"TTestSender");
  o.SetExceptionDialogType(L"TNullDialog");
  RegisterMessageBoxDialogClasses();
  DialogSlots() = TDialogSlots{};
  DialogSlots().Send = RecordSentFiles;
  g_sent_files.clear();
  ShowExceptionInfoDialog(info, true, false);
  DialogSlots() = TDialogSlots{};
  ASSERT_EQ(g_sent_files.size(), 1u);
  EXPECT_TRUE(g_sent_files[0].ends_with(L"\\BugReport_20261209015151.vl")) << g_sent_files[0];
  EXPECT_EQ(o.GetCustomField(kFieldExceptionTime), L"20261209015151");
}

// Asks once for another round, as a window dialog that switches to its
// detailed form does.
class TAgainOnceDialog : public TNullDialog {
 public:
  using TNullDialog::TNullDialog;
  const wchar_t* ClassName() const noexcept override { return L"TAgainOnceDialog"; }

 protected:
  TResponse ShowDialog() override {
    TResponse response;
    if (!Restarted()) {
      Options().SetExceptionDialogType(L"TAgainOnceDialog");
      response.SendResult = kSendShowAgain;
    }
    return response;
  }
};

int g_custom_requests = 0;

void AddTillData(void* data, TVarnelExceptionInfo* info, TBaseLogBuilder* builder, std::vector<std::wstring>& fields,
                 bool&) {
  ++g_custom_requests;
  EXPECT_EQ(data, &g_custom_requests);
  EXPECT_EQ(info, g_seen.info);
  EXPECT_NE(builder, nullptr);
  fields.push_back(L"Shop=Main Street");
  fields.push_back(L"Till=4");
}

// A saved report file read back as bytes and deleted: true when it was
// there and began with FF FE, `text` then holding its UTF-16LE text.
bool TakeReportFile(const std::wstring& path, std::wstring& text) {
  std::FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return false;
  std::string bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  std::fclose(f);
  DeleteFileW(path.c_str());
  if (bytes.size() < 2 || bytes.substr(0, 2) != std::string("\xFF\xFE")) return false;
  text.assign((bytes.size() - 2) / 2, L'\0');
  std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
  return true;
}

// The record of an exception raised here (a VectoredCatcher must stand),
// with options that save to a scratch report file `log`, no file there yet,
// and no senders.
TVarnelExceptionInfo* RaisedWithScratchReport(const wchar_t* stem, std::wstring& log) {
  RaiseException(0xE0000001, 0, 0, nullptr);
  if (g_seen.info == nullptr) return nullptr;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  log = std::wstring(temp) + stem + std::to_wstring(GetCurrentProcessId()) + L".vl";
  DeleteFileW(log.c_str());
  TVarnelModuleOptions& o = g_seen.info->Options();
  o.SetOutputPath(log);
  o.SetSaveLogFile(true);
  o.SetSenderClasses(L"");
  return g_seen.info;
}

std::size_t CountOf(const std::wstring& text, const std::wstring& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The handlers are asked once; their lines stand in the custom section of
// the report file as the repeated round saves it over the presaved one.
TEST_F(ManagerTest, TheCustomDataOfTheExceptionReachesTheSavedReport) {
  VectoredCatcher catcher;
  std::wstring log;
  TVarnelExceptionInfo* info = RaisedWithScratchReport(L"zelvic_custom_data_", log);
  ASSERT_NE(info, nullptr);
  TVarnelModuleOptions& o = info->Options();
  o.SetPresaveReport(true);
  o.SetsoCustomData(true);
  o.SetExceptionDialogType(L"TAgainOnceDialog");
  RegisterMessageBoxDialogClasses();
  RegisterDialogClass({L"TAgainOnceDialog", true, [](TDialogSubject& s) -> std::unique_ptr<TBaseDialog> {
                         return std::make_unique<TAgainOnceDialog>(s);
                       }});
  DialogSlots() = TDialogSlots{};
  g_custom_requests = 0;
  const TMethod handler{reinterpret_cast<void*>(AddTillData), &g_custom_requests};
  RegisterEventHandler(elCustomDataRequest, handler);
  const TResponse response = ShowExceptionInfoDialog(info, true, false);
  UnregisterEventHandler(elCustomDataRequest, handler);
  EXPECT_EQ(response.SendResult, kSendDone);
  EXPECT_EQ(g_custom_requests, 1);
  EXPECT_TRUE(o.GetCustomFieldBool(L"_Restarted"));

  std::wstring text;
  ASSERT_TRUE(TakeReportFile(log, text));
  EXPECT_EQ(CountOf(text, L"Custom Information:\r\n"), 1u);
  EXPECT_EQ(CountOf(text, L"  9.1 Shop: Main Street\r\n  9.2 Till: 4\r\n"), 1u) << std::string(text.begin(), text.end()).substr(0, 4000);
}

// The report made while the library stops is built from the modules the
// process has, with loads barred, by the real builder, and saved whole.
TEST_F(ManagerTest, AReportMadeWithModuleLoadsBarredIsSavedWhole) {
  VectoredCatcher catcher;
  std::wstring log;
  TVarnelExceptionInfo* info = RaisedWithScratchReport(L"zelvic_barred_", log);
  ASSERT_NE(info, nullptr);
  info->Options().SetExceptionDialogType(L"TNullDialog");
  RegisterMessageBoxDialogClasses();
  DialogSlots() = TDialogSlots{};
  rt::IsFinalizing = 1;
  {
    platform::TModuleLoadsBarred no_loads;
    ShowExceptionInfoDialog(info, true, false);
  }
  rt::IsFinalizing = 0;
  std::wstring text;
  ASSERT_TRUE(TakeReportFile(log, text)) << "no report saved";
  EXPECT_EQ(CountOf(text, L"VarnelLog 7.1.0.0"), 1u);
  EXPECT_EQ(CountOf(text, L"Call Stack Information:\r\n"), 1u);
  EXPECT_EQ(CountOf(text, L"Modules Information:\r\n"), 1u);
}

}  // namespace
}  // namespace zelvic::diag
