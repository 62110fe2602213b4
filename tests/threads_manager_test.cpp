// The threads manager: the per-thread activity switch and nesting counter,
// the thread records against Toolhelp32, the creation hooks with real
// threads, and the thread-facts export of the built library.

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/stacks/EThreadFacts.h"
#include "diagnostics/threads/EThreadFactsExport.h"
#include "diagnostics/threads/EThreadHooks.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "diagnostics/util/EHook.h"
#include "runtime/thread_start.h"
#include "runtime/thread_storage.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

using diag::TVarnelLogThreadState;

// Puts the process-wide default back whatever a test set.
class DefaultStateScope {
 public:
  explicit DefaultStateScope(TVarnelLogThreadState state) : previous_(diag::SetDefaultThreadState(state)) {}
  ~DefaultStateScope() { diag::SetDefaultThreadState(previous_); }
  DefaultStateScope(const DefaultStateScope&) = delete;
  DefaultStateScope& operator=(const DefaultStateScope&) = delete;

 private:
  TVarnelLogThreadState previous_;
};

DWORD WINAPI RunFunction(void* p) {
  (*static_cast<const std::function<void()>*>(p))();
  return 0;
}

// Runs `body` on a fresh platform thread and waits for it: a thread whose
// per-thread state nobody has touched yet.
void OnFreshThread(const std::function<void()>& body) {
  HANDLE t = CreateThread(nullptr, 0, RunFunction, const_cast<std::function<void()>*>(&body), 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, kDeadlockMs), WAIT_OBJECT_0);
  CloseHandle(t);
}

TEST(ThreadActivity, AnUndecidedThreadFollowsTheDefaultWhenItIsFirstAsked) {
  const struct {
    TVarnelLogThreadState state;
    bool active;
  } cases[] = {{diag::dtsDisabled, false}, {diag::dtsEnabled, true}};
  for (const auto& c : cases) {
    DefaultStateScope scope(c.state);
    bool seen = !c.active;
    bool later = !c.active;
    OnFreshThread([&] {
      seen = diag::IsVarnelLogActiveInThread(0);
      // Decided once: a later change of the default leaves the thread alone.
      diag::SetDefaultThreadState(c.active ? diag::dtsDisabled : diag::dtsEnabled);
      later = diag::IsVarnelLogActiveInThread(0);
    });
    EXPECT_EQ(seen, c.active) << int(c.state);
    EXPECT_EQ(later, c.active) << int(c.state);
  }
}

TEST(ThreadActivity, EveryNameOfTheCallingThreadSwitchesTheSameState) {
  DefaultStateScope scope(diag::dtsDisabled);
  OnFreshThread([] {
    const std::uint32_t own = GetCurrentThreadId();
    for (std::uint32_t setter : {0u, 0xFFFFFFFFu, own}) {
      diag::SetVarnelLogStateInThread(setter, true);
      for (std::uint32_t asker : {0u, 0xFFFFFFFFu, own}) EXPECT_TRUE(diag::IsVarnelLogActiveInThread(asker));
      diag::SetVarnelLogStateInThread(setter, false);
      for (std::uint32_t asker : {0u, 0xFFFFFFFFu, own}) EXPECT_FALSE(diag::IsVarnelLogActiveInThread(asker));
    }
  });
}

TEST(ThreadActivity, AThreadsSwitchIsItsOwn) {
  DefaultStateScope scope(diag::dtsDisabled);
  diag::SetVarnelLogStateInThread(0, false);
  OnFreshThread([] { diag::SetVarnelLogStateInThread(0, true); });
  EXPECT_FALSE(diag::IsVarnelLogActiveInThread(0));
  bool other = true;
  OnFreshThread([&] { other = diag::IsVarnelLogActiveInThread(0); });
  EXPECT_FALSE(other);
}

TEST(ThreadActivity, SettingTheDefaultAnswersThePreviousOne) {
  const TVarnelLogThreadState first = diag::SetDefaultThreadState(diag::dtsRTLEnabled);
  EXPECT_EQ(diag::SetDefaultThreadState(diag::dtsEnabled), diag::dtsRTLEnabled);
  EXPECT_EQ(diag::DefaultThreadState(), diag::dtsEnabled);
  EXPECT_EQ(diag::SetDefaultThreadState(first), diag::dtsEnabled);
}

TEST(ThreadNesting, TheCounterIsTheLookupsOwnAndPerThread) {
  const std::uint32_t before = diag::GetNestingCounter();
  {
    diag::TThreadsNesting lookup;  // what a location lookup raises
    EXPECT_EQ(diag::GetNestingCounter(), before + 1);
    std::uint32_t on_other = 99;
    OnFreshThread([&] { on_other = diag::GetNestingCounter(); });
    EXPECT_EQ(on_other, 0u);
  }
  diag::SetNestingCounter(before + 5);
  EXPECT_EQ(diag::ThreadsNestingCount(), before + 5);
  diag::SetNestingCounter(before);
  EXPECT_EQ(diag::GetNestingCounter(), before);
}

// ---- records ---------------------------------------------------------------------

// The IDs Toolhelp32 lists for this process: the oracle for which threads exist.
std::set<std::uint32_t> ToolhelpThreadIDs() {
  std::set<std::uint32_t> ids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) {
    if (e.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(e.th32ThreadID);
  }
  CloseHandle(snap);
  return ids;
}

// The top of the stack a local lives in: the end of the stack's reservation,
// walked region by region.
std::uintptr_t StackEndAround(const void* local) {
  MEMORY_BASIC_INFORMATION m{};
  VirtualQuery(local, &m, sizeof m);
  const void* base = m.AllocationBase;
  auto at = reinterpret_cast<std::uintptr_t>(base);
  while (VirtualQuery(reinterpret_cast<const void*>(at), &m, sizeof m) == sizeof m && m.AllocationBase == base) {
    at += m.RegionSize;
  }
  return at;
}

// The manager started on the test's thread, as the library's start-up starts
// it on the loading thread, and stopped again.
class ThreadsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_main_ = diag::MainThreadID();
    diag::SetMainThreadID(GetCurrentThreadId());
    diag::EThreadsManagerInit();
  }
  void TearDown() override {
    diag::EThreadsManagerDone();
    diag::SetMainThreadID(previous_main_);
    diag::ThreadsCallbacks() = {};
  }

 private:
  std::uint32_t previous_main_ = 0;
};

// A platform thread that runs what it is handed and otherwise waits, so that
// its ID stays its own for as long as a test needs it.
class ParkedThread {
 public:
  ParkedThread() {
    go_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    done_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    handle_ = CreateThread(nullptr, 0, Run, this, 0, &id_);
  }
  ~ParkedThread() {
    Finish();
    CloseHandle(go_);
    CloseHandle(done_);
  }
  ParkedThread(const ParkedThread&) = delete;
  ParkedThread& operator=(const ParkedThread&) = delete;
  std::uint32_t id() const { return id_; }
  HANDLE handle() const { return handle_; }
  // Runs `body` on the thread and waits for it.
  void Do(std::function<void()> body) {
    task_ = std::move(body);
    SetEvent(go_);
    WaitForSingleObject(done_, kDeadlockMs);
  }
  void Finish() {
    if (handle_ == nullptr) return;
    task_ = nullptr;
    SetEvent(go_);
    WaitForSingleObject(handle_, kDeadlockMs);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void* p) {
    auto* self = static_cast<ParkedThread*>(p);
    for (;;) {
      WaitForSingleObject(self->go_, kDeadlockMs);
      if (!self->task_) break;
      self->task_();
      SetEvent(self->done_);
    }
    return 0;
  }
  std::function<void()> task_;
  HANDLE go_ = nullptr;
  HANDLE done_ = nullptr;
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
};

TEST_F(ThreadsManagerTest, TheLoadingThreadIsTheNamedMainThreadWithTheFacilityOn) {
  diag::TVarnelThreadData* main = diag::ThreadData(0, diag::TThreadLookup::FindOnly);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->ID(), GetCurrentThreadId());
  EXPECT_EQ(main->Name(), L"Main thread");
  EXPECT_TRUE(main->IsMainThread());
  EXPECT_EQ(main->Kind(), diag::tkBeginThread);
  EXPECT_TRUE(diag::IsVarnelLogActiveInThread(0));
  // Headers show MAIN whatever the main thread is called.
  diag::NameThread(L"Renamed", 0);
  EXPECT_EQ(main->Name(), L"Renamed");
  EXPECT_EQ(main->ThreadIDStr(), L"MAIN");
  EXPECT_EQ(GetThreadId(main->FHandle), GetCurrentThreadId());
  EXPECT_EQ(main->FStackTop, StackEndAround(&main));
}

TEST_F(ThreadsManagerTest, RecordsOnDemandAreTheLiveThreadsToolhelpLists) {
  ParkedThread a, b;
  ASSERT_NE(diag::ThreadData(a.id()), nullptr);
  ASSERT_NE(diag::ThreadData(b.id()), nullptr);
  EXPECT_EQ(diag::ThreadData(a.id()), diag::ThreadData(a.id()));  // one record per thread
  const diag::TVarnelThreadDataList snapshot = diag::GetThreadsSnapshot();
  ASSERT_EQ(snapshot.Count(), 3u);
  const std::set<std::uint32_t> live = ToolhelpThreadIDs();
  for (std::size_t i = 0; i < snapshot.Count(); ++i) {
    const diag::TVarnelThreadData* r = snapshot.GetItem(i);
    EXPECT_TRUE(live.count(r->ID())) << r->ID();
    EXPECT_TRUE(r->FCloned);
    EXPECT_EQ(GetThreadId(r->FHandle), r->ID());  // the clone's own handle on the same thread
  }
  EXPECT_NE(snapshot.ThreadData(a.id())->FHandle, diag::ThreadData(a.id())->FHandle);

  a.Finish();
  EXPECT_FALSE(ToolhelpThreadIDs().count(a.id()));
  diag::PurgeEndedThreads();
  EXPECT_EQ(diag::ThreadsManager()->Count(), 2u);
  EXPECT_EQ(diag::ThreadData(a.id(), diag::TThreadLookup::FindOnly), nullptr);
  EXPECT_NE(diag::ThreadData(b.id(), diag::TThreadLookup::FindOnly), nullptr);
}

TEST_F(ThreadsManagerTest, NoRecordForAThreadThatDoesNotExistOrIsOnlyLookedFor) {
  ParkedThread a;
  std::uint32_t gone = 0;
  {
    ParkedThread b;
    gone = b.id();
  }
  ASSERT_FALSE(ToolhelpThreadIDs().count(gone));
  EXPECT_EQ(diag::ThreadData(gone), nullptr);
  EXPECT_EQ(diag::GetThreadData(gone, true), nullptr);
  EXPECT_EQ(diag::ThreadData(a.id(), diag::TThreadLookup::FindOnly), nullptr);
  EXPECT_EQ(diag::GetThreadData(a.id(), false), nullptr);
  a.Do([] { EXPECT_EQ(diag::ThreadData(diag::kFindOwnThread), nullptr); });
  EXPECT_EQ(diag::ThreadsManager()->Count(), 1u);
  // A clone made on demand is the caller's and registers nothing.
  EXPECT_NE(diag::GetThreadData(a.id(), true), nullptr);
  EXPECT_EQ(diag::ThreadsManager()->Count(), 1u);
}

TEST_F(ThreadsManagerTest, AStaleRecordUnderTheCallersIDGivesWayToTheLiveThread) {
  ParkedThread ended;
  HANDLE ended_handle = nullptr;
  DuplicateHandle(GetCurrentProcess(), ended.handle(), GetCurrentProcess(), &ended_handle, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  ended.Finish();
  ParkedThread t;
  // What the registry holds when an ID comes back after its thread ended.
  {
    auto stale = std::make_unique<diag::TVarnelThreadData>(t.id());
    stale->FHandle = ended_handle;
    stale->FName = L"stale";
    stale->FInitialized = true;
    diag::TThreadsLock lock;
    diag::ThreadsManager()->FThreads.push_back(std::move(stale));
  }
  EXPECT_EQ(diag::ThreadData(t.id(), diag::TThreadLookup::FindOnly)->Name(), L"stale");
  t.Do([] {
    diag::TVarnelThreadData* own = diag::ThreadData(0);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->Name(), L"");
    EXPECT_EQ(GetThreadId(own->FHandle), GetCurrentThreadId());
  });
  EXPECT_EQ(diag::ThreadsManager()->Count(), 2u);
}

TEST_F(ThreadsManagerTest, AnotherThreadIsSwitchedThroughItsRecordUntilItGivesItsBlockBack) {
  DefaultStateScope scope(diag::dtsDisabled);
  ParkedThread t;
  t.Do([] { ASSERT_NE(diag::ThreadData(0), nullptr); });
  EXPECT_FALSE(diag::IsVarnelLogActiveInThread(t.id()));
  diag::SetVarnelLogStateInThread(t.id(), true);
  EXPECT_TRUE(diag::IsVarnelLogActiveInThread(t.id()));
  bool seen = false;
  t.Do([&] { seen = diag::IsVarnelLogActiveInThread(0); });
  EXPECT_TRUE(seen);
  diag::SetVarnelLogStateInThread(t.id(), false);
  t.Do([&] { seen = diag::IsVarnelLogActiveInThread(0); });
  EXPECT_FALSE(seen);
  EXPECT_TRUE(diag::IsVarnelLogActiveInThread(0));  // the caller's own state is untouched

  // Thread detach gives the block back: the record no longer reaches into it.
  diag::TVarnelThreadData* record = diag::ThreadData(t.id(), diag::TThreadLookup::FindOnly);
  ASSERT_NE(record->DisabledInThreadPtr(), nullptr);
  t.Do([] { rt::ReleaseThreadStorage(); });
  EXPECT_EQ(record->DisabledInThreadPtr(), nullptr);
  diag::SetVarnelLogStateInThread(t.id(), true);
  EXPECT_TRUE(diag::IsVarnelLogActiveInThread(t.id()));
}

// The slot's end (the library unloading on some thread) frees the blocks
// of every thread, the ones that stay on included, and unlinks their records.
TEST_F(ThreadsManagerTest, GivingTheSlotBackFreesTheBlocksOfThreadsThatStay) {
  ParkedThread t;
  t.Do([] { diag::SetVarnelLogStateInThread(0, true); });
  diag::TVarnelThreadData* record = diag::ThreadData(t.id(), diag::TThreadLookup::FindOnly);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->DisabledInThreadPtr(), nullptr);
  diag::ReleaseThreadBlocks();
  EXPECT_EQ(record->DisabledInThreadPtr(), nullptr);
  // The thread starts over with a block of its own, not the freed one.
  bool active = true;
  t.Do([&] { active = diag::IsVarnelLogActiveInThread(0); });
  EXPECT_FALSE(active);
  EXPECT_TRUE(diag::IsVarnelLogActiveInThread(t.id()));  // its record still says so
}

TEST_F(ThreadsManagerTest, AThreadsDecidedStateSurvivesItsRecordBeingMade) {
  DefaultStateScope scope(diag::dtsEnabled);
  ParkedThread t;
  bool before = false, after = false;
  t.Do([&] {
    before = diag::IsVarnelLogActiveInThread(0);  // decided now: on
    diag::SetDefaultThreadState(diag::dtsDisabled);
    ASSERT_NE(diag::ThreadData(0), nullptr);
    after = diag::IsVarnelLogActiveInThread(0);
  });
  EXPECT_TRUE(before);
  EXPECT_TRUE(after);
  EXPECT_FALSE(diag::ThreadData(t.id())->FDisabledInThread);
}

TEST_F(ThreadsManagerTest, TheRuntimeOnlyDefaultTurnsOnRuntimeThreadsAndTheMainThreadOnly) {
  DefaultStateScope scope(diag::dtsRTLEnabled);
  const struct {
    int classified;
    bool active;
  } cases[] = {{1, false}, {2, true}, {3, true}, {0, false}};
  static int answer = 0;
  diag::ThreadsCallbacks().Classify = [] { return answer; };
  for (const auto& c : cases) {
    answer = c.classified;
    ParkedThread t;
    bool active = !c.active;
    t.Do([&] {
      ASSERT_NE(diag::ThreadData(0), nullptr);
      active = diag::IsVarnelLogActiveInThread(0);
    });
    EXPECT_EQ(active, c.active) << c.classified;
    EXPECT_EQ(diag::IsVarnelLogActiveInThread(t.id()), c.active) << c.classified;
  }
}

TEST_F(ThreadsManagerTest, TheKindIsClassifiedOnceOnItsOwnThread) {
  static int calls = 0;
  diag::ThreadsCallbacks().Classify = [] {
    ++calls;
    return 3;
  };
  ParkedThread t;
  diag::TVarnelThreadData* from_outside = diag::ThreadData(t.id());
  EXPECT_EQ(from_outside->Kind(), diag::tkGeneric);  // only the thread itself can be classified
  EXPECT_EQ(calls, 0);
  t.Do([] {
    diag::TVarnelThreadData* own = diag::ThreadData(0);
    EXPECT_EQ(own->Kind(), diag::tkTThread);
    EXPECT_EQ(own->Kind(), diag::tkTThread);
  });
  EXPECT_EQ(calls, 1);
}

TEST_F(ThreadsManagerTest, NamingAnotherThreadOrTheCallerAsAThreadObject) {
  ParkedThread t;
  diag::NameThread(L"worker", t.id());
  EXPECT_EQ(diag::ThreadData(t.id())->Name(), L"worker");
  EXPECT_EQ(diag::ThreadData(t.id())->FKind, diag::tkGeneric);
  t.Do([] { diag::NameThread(L"object", diag::kFindOwnThread); });
  EXPECT_EQ(diag::ThreadData(t.id())->Name(), L"object");
  EXPECT_EQ(diag::ThreadData(t.id())->FKind, diag::tkTThread);
  EXPECT_EQ(diag::GetThreadFacts(t.id()).Name, L"object");
}

TEST_F(ThreadsManagerTest, ARegisteredRecordTakesItsNameFromItsStartWhenItHasNone) {
  ParkedThread t;
  std::wstring name;
  t.Do([&] {
    auto record = std::make_unique<diag::TVarnelThreadData>();
    record->FRealStartingAddress = reinterpret_cast<void*>(0x00401000);
    record->FRealStartingFunction = L"(00001000){app.exe      } [00401000] Unit.Worker (Line 12, \"unit.pas\")";
    record->FName = diag::kUnnamedThreadMarker;
    record->FKind = diag::tkBeginThread;
    diag::NotifyThreadStart(std::move(record));
    name = diag::ThreadData(0, diag::TThreadLookup::FindOnly)->Name();
  });
  EXPECT_EQ(name, L"[Unnamed thread] Kind: BeginThread; Thread function: Unit.Worker; Thread caller: [$00000000]");
  t.Do([] { diag::NotifyThreadDone(); });
  EXPECT_EQ(diag::ThreadData(t.id(), diag::TThreadLookup::FindOnly), nullptr);
}

TEST(ThreadRecord, DescriptionsCutLocationsToTheRoutineAndProtectOnlyPlainParts) {
  diag::ThreadsCallbacks().ProtectName = [](const std::wstring& s) { return L"<" + s + L">"; };
  const struct {
    const wchar_t* function;
    const wchar_t* caller;
    bool protect;
    const wchar_t* expected;
  } cases[] = {
      {L"{m.dll       } [6E401000] U.F (Line 3, \"u.cpp\")", L"[6E402000] U.G + $10", false,
       L"[Unnamed thread] Kind: TThread; Thread function: U.F; Thread caller: U.G + $10"},
      {L"", L"?pXYZ]Q(", false, L"[Unnamed thread] Kind: TThread; Thread function: [$00401000]; Thread caller: ?pXYZ]Q("},
      {L"[6E401000] U.F", L"?pXYZ", true,
       L"[Unnamed thread] Kind: TThread; Thread function: <U.F>; Thread caller: ?pXYZ"},
  };
  for (const auto& c : cases) {
    diag::TVarnelThreadData r(1234);
    r.FCloned = true;
    r.FKind = diag::tkTThread;
    r.FRealStartingAddress = reinterpret_cast<void*>(0x00401000);
    r.FRealStartingFunction = c.function;
    r.FCallerFunction = c.caller;
    EXPECT_EQ(r.Describe(c.protect), c.expected);
  }
  diag::ThreadsCallbacks() = {};
}

TEST(ThreadRecord, IDTextsOfThreadsInModulesWithEncipheredNames) {
  diag::ThreadsCallbacks().ProtectName = [](const std::wstring& s) { return L"<" + s + L">"; };
  diag::ThreadsCallbacks().IsEncryptedModule = [](const void* a) { return a == reinterpret_cast<void*>(0x1000); };
  const struct {
    std::uintptr_t start;
    const wchar_t* name;
    const wchar_t* short_descr;
    const wchar_t* expected;
  } cases[] = {
      {0x2000, L"worker", L"", L"worker"},
      {0x2000, L"worker", L"U.F", L"worker (U.F)"},
      {0x1000, L"worker", L"", L"<worker>"},
      {0x1000, L"[Unnamed thread] Kind: x", L"", L"[Unnamed thread] Kind: CreateThread; Thread function: <[$00001000]>; "
                                                  L"Thread caller: <[$00000000]>"},
  };
  for (const auto& c : cases) {
    diag::TVarnelThreadData r(1234);
    r.FCloned = true;
    r.FKind = diag::tkGeneric;
    r.FRealStartingAddress = reinterpret_cast<void*>(c.start);
    r.FName = c.name;
    r.FShortDescr = c.short_descr;
    EXPECT_EQ(r.ThreadIDStr(), c.expected) << c.name;
  }
  diag::ThreadsCallbacks() = {};
}

TEST_F(ThreadsManagerTest, OnlyARemovedRegisteredRecordClearsItsThreadsExceptions) {
  static std::vector<std::uint32_t> cleared;
  cleared.clear();
  diag::ThreadsCallbacks().ClearThreadExceptions = [](std::uint32_t id) { cleared.push_back(id); };
  ParkedThread t;
  ASSERT_NE(diag::ThreadData(t.id()), nullptr);
  diag::GetThreadData(t.id(), false).reset();
  diag::GetThreadsSnapshot();
  EXPECT_TRUE(cleared.empty());
  diag::ThreadDone(t.id());
  EXPECT_EQ(cleared, std::vector<std::uint32_t>{t.id()});
  EXPECT_EQ(diag::ThreadData(t.id(), diag::TThreadLookup::FindOnly), nullptr);
}

TEST_F(ThreadsManagerTest, TheCallStackListsGetTheRecordsFacts) {
  diag::InstallThreadFactsProvider();
  ParkedThread t;
  diag::NameThread(L"lister", t.id());
  diag::TThreadFacts facts;
  ASSERT_TRUE(diag::ThreadFactsOf(t.id(), facts));
  EXPECT_EQ(facts.ThreadID, t.id());
  EXPECT_EQ(facts.Name, L"lister");
  EXPECT_EQ(facts.IDStr, L"lister");
  EXPECT_EQ(facts.Priority, GetThreadPriority(t.handle()));
  ASSERT_TRUE(diag::ThreadFactsOf(GetCurrentThreadId(), facts));
  EXPECT_EQ(facts.IDStr, L"MAIN");
  ParkedThread unmet;
  ASSERT_TRUE(diag::ThreadFactsOf(unmet.id(), facts));  // a live thread met for the first time
  EXPECT_EQ(facts.ThreadID, unmet.id());
  diag::RemoveThreadFactsProvider();
  EXPECT_FALSE(diag::ThreadFactsOf(t.id(), facts));
}

// ---- creation and start ----------------------------------------------------------

// The manager with CreateThread and ExitThread patched in this process, as
// the library's start-up leaves them when option UseLowLevel is on.
class ThreadHooksTest : public ThreadsManagerTest {
 protected:
  void SetUp() override {
    diag::EHookInit();
    ThreadsManagerTest::SetUp();
    ASSERT_TRUE(diag::InstallLowLevelHooks(true));
  }
  void TearDown() override {
    diag::ThreadHookCallbacks() = {};
    ThreadsManagerTest::TearDown();  // takes the patches out
    diag::EHookDone();
  }
};

// What a started thread saw of itself.
struct SeenFromInside {
  bool has_record = false;
  std::uint32_t parent = 0;
  diag::TThreadKind kind = diag::tkUnknown;
  void* start = nullptr;
  void* real_start = nullptr;
  void* caller = nullptr;
  std::wstring name;
  std::wstring class_name;
  bool active = false;
  bool listed = false;
};

void LookAtSelf(SeenFromInside& seen) {
  if (diag::TVarnelThreadData* own = diag::ThreadData(diag::kFindOwnThread)) {
    seen.has_record = true;
    seen.parent = own->FParentID;
    seen.kind = own->Kind();
    seen.start = own->FStartingAddress;
    seen.real_start = own->FRealStartingAddress;
    seen.caller = own->FCallerAddress;
    seen.name = own->Name();
    seen.class_name = own->FThreadClassName;
  }
  seen.active = diag::IsVarnelLogActiveInThread(0);
  seen.listed = ToolhelpThreadIDs().count(GetCurrentThreadId()) != 0;
}

DWORD WINAPI PlatformRoutine(void* p) {
  LookAtSelf(*static_cast<SeenFromInside*>(p));
  return 0x77;
}

// Creates a thread through the patched entry, waits for it and gives its
// exit code; `call_site` gets the return address of the creation call.
DWORD RunPlatformThread(SeenFromInside& seen, std::uint32_t* id_out = nullptr) {
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, PlatformRoutine, &seen, 0, &id);
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return 0;
  EXPECT_EQ(WaitForSingleObject(t, kDeadlockMs), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  if (id_out != nullptr) *id_out = id;
  return code;
}

bool InThisProgram(const void* address) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module) &&
         module == GetModuleHandleW(nullptr);
}

TEST_F(ThreadHooksTest, APlatformThreadIsTakenOverWhenEveryThreadIsEnabled) {
  DefaultStateScope scope(diag::dtsEnabled);
  SeenFromInside seen;
  std::uint32_t id = 0;
  EXPECT_EQ(RunPlatformThread(seen, &id), 0x77u);  // the routine's own exit code
  ASSERT_TRUE(seen.has_record);
  EXPECT_TRUE(seen.listed);
  EXPECT_EQ(seen.parent, GetCurrentThreadId());
  EXPECT_EQ(seen.kind, diag::tkGeneric);
  EXPECT_EQ(seen.start, reinterpret_cast<void*>(&PlatformRoutine));
  EXPECT_TRUE(InThisProgram(seen.caller)) << seen.caller;
  EXPECT_TRUE(seen.name.starts_with(L"[Unnamed thread] Kind: CreateThread; Thread function: ")) << seen.name;
  EXPECT_TRUE(seen.active);
  // Its record went with it.
  EXPECT_EQ(diag::ThreadData(id, diag::TThreadLookup::FindOnly), nullptr);
}

TEST_F(ThreadHooksTest, APlainThreadRunsUnwrappedUnlessEveryThreadIsEnabled) {
  for (TVarnelLogThreadState state : {diag::dtsDisabled, diag::dtsRTLEnabled}) {
    DefaultStateScope scope(state);
    SeenFromInside seen;
    EXPECT_EQ(RunPlatformThread(seen), 0x77u);
    EXPECT_FALSE(seen.has_record) << int(state);
    EXPECT_FALSE(seen.active) << int(state);
  }
  EXPECT_EQ(diag::ThreadsManager()->Count(), 1u);
}

TEST_F(ThreadHooksTest, ThreadsMadeByTheFacilitysOwnWorkAreNotTakenOver) {
  DefaultStateScope scope(diag::dtsEnabled);
  SeenFromInside seen;
  {
    diag::TThreadsNesting own_work;
    RunPlatformThread(seen);
  }
  EXPECT_FALSE(seen.has_record);
  diag::SetVarnelLogStateInThread(0, false);  // nor threads of a creator the facility is off in
  SeenFromInside again;
  RunPlatformThread(again);
  EXPECT_FALSE(again.has_record);
  diag::SetVarnelLogStateInThread(0, true);
}

TEST_F(ThreadHooksTest, TheRecogniserNamesTheRoutineAThreadReallyRuns) {
  DefaultStateScope scope(diag::dtsRTLEnabled);
  static int real_parameter = 0;
  diag::ThreadHookCallbacks().RecogniseStart = [](diag::TThreadStartFacts& facts) {
    facts.Routine = reinterpret_cast<void*>(&LookAtSelf);
    facts.Parameter = &real_parameter;
    facts.CallerAddress = facts.Callers[1];
  };
  SeenFromInside seen;
  EXPECT_EQ(RunPlatformThread(seen), 0x77u);  // still the routine it was given
  ASSERT_TRUE(seen.has_record);
  EXPECT_EQ(seen.kind, diag::tkBeginThread);
  EXPECT_EQ(seen.start, reinterpret_cast<void*>(&PlatformRoutine));
  EXPECT_EQ(seen.real_start, reinterpret_cast<void*>(&LookAtSelf));
  EXPECT_TRUE(seen.active);  // a runtime thread under the runtime-only default
}

TEST_F(ThreadHooksTest, AFailedCreationGivesTheSystemsErrorAndLeavesNoRecord) {
  DefaultStateScope scope(diag::dtsEnabled);
  SeenFromInside seen;
  SetLastError(0);
  // More stack than the address space holds.
  HANDLE t = CreateThread(nullptr, 0x7FFF0000, PlatformRoutine, &seen, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  const DWORD error = GetLastError();
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(error, 0u);
  EXPECT_EQ(diag::ThreadsManager()->Count(), 1u);
}

DWORD WINAPI ExitingRoutine(void*) {
  diag::ThreadData(0);  // a record made on demand
  ExitThread(5);
}

TEST_F(ThreadHooksTest, ExitThreadRemovesTheRecordOfTheThreadItEnds) {
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, ExitingRoutine, nullptr, 0, &id);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, kDeadlockMs), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(diag::ThreadData(id, diag::TThreadLookup::FindOnly), nullptr);
  EXPECT_EQ(diag::ThreadsManager()->Count(), 1u);
}

std::uint32_t RuntimeRoutine(void* p) {
  LookAtSelf(*static_cast<SeenFromInside*>(p));
  return 0x55;
}

TEST_F(ThreadHooksTest, ARuntimeThreadIsRecordedWithItsNameAndRoutine) {
  DefaultStateScope scope(diag::dtsRTLEnabled);
  SeenFromInside seen;
  std::uint32_t id = 0;
  HANDLE t = rt::BeginThread(RuntimeRoutine, &seen, id, L"worker");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, kDeadlockMs), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  EXPECT_EQ(code, 0x55u);
  ASSERT_TRUE(seen.has_record);
  EXPECT_TRUE(seen.listed);
  EXPECT_EQ(seen.kind, diag::tkBeginThread);
  EXPECT_EQ(seen.name, L"worker");
  EXPECT_EQ(seen.parent, GetCurrentThreadId());
  EXPECT_EQ(seen.start, rt::ThreadStartRoutine());
  EXPECT_EQ(seen.real_start, reinterpret_cast<void*>(&RuntimeRoutine));
  EXPECT_TRUE(InThisProgram(seen.caller)) << seen.caller;
  EXPECT_TRUE(seen.active);
  EXPECT_EQ(diag::ThreadData(id, diag::TThreadLookup::FindOnly), nullptr);
  EXPECT_EQ(diag::ThreadsManager()->Count(), 1u);  // wrapped once, not again by the CreateThread patch
}

TEST_F(ThreadHooksTest, AnUnnamedRuntimeThreadIsNamedAfterItsStart) {
  SeenFromInside seen;
  std::uint32_t id = 0;
  HANDLE t = rt::BeginThread(RuntimeRoutine, &seen, id);
  ASSERT_NE(t, nullptr);
  WaitForSingleObject(t, kDeadlockMs);
  CloseHandle(t);
  EXPECT_TRUE(seen.name.starts_with(L"[Unnamed thread] Kind: BeginThread; Thread function: ")) << seen.name;
}

class SampleThread : public rt::TThread {
 public:
  explicit SampleThread(SeenFromInside& seen) : rt::TThread(L"sample"), seen_(seen) {}

 protected:
  void Execute() override { LookAtSelf(seen_); }

 private:
  SeenFromInside& seen_;
};

TEST_F(ThreadHooksTest, AThreadObjectIsRecordedWithItsClassAndTheFacilityOn) {
  DefaultStateScope scope(diag::dtsRTLEnabled);
  SeenFromInside seen;
  {
    SampleThread thread(seen);
    thread.Start();
    EXPECT_EQ(thread.WaitFor(), 0u);
  }
  ASSERT_TRUE(seen.has_record);
  EXPECT_EQ(seen.kind, diag::tkTThread);
  EXPECT_EQ(seen.class_name, L"zelvic::test::(anonymous namespace)::SampleThread");
  EXPECT_EQ(seen.name, L"sample");
  EXPECT_TRUE(seen.active);
}

// Starts an anonymous thread and waits for it; `begin` and `end` bound the
// code of this routine, in which the request to the runtime lies.
__attribute__((noinline)) void RunAnonymousThread(SeenFromInside& seen, const void*& begin, const void*& end) {
  begin = reinterpret_cast<const void*>(&RunAnonymousThread);
  rt::TThread* thread = rt::TThread::CreateAnonymousThread([&seen] { LookAtSelf(seen); });
  HANDLE handle = nullptr;
  DuplicateHandle(GetCurrentProcess(), thread->Handle(), GetCurrentProcess(), &handle, 0, FALSE, DUPLICATE_SAME_ACCESS);
  thread->Start();  // frees itself
  WaitForSingleObject(handle, kDeadlockMs);
  CloseHandle(handle);
  asm volatile("movl $1f, %0\n1:" : "=r"(end));
}

// The runtime's helper makes the object; the thread is credited to the code
// that asked for it.
TEST_F(ThreadHooksTest, AnAnonymousThreadsCallerIsTheCodeThatAskedForIt) {
  DefaultStateScope scope(diag::dtsRTLEnabled);
  SeenFromInside seen;
  const void* begin = nullptr;
  const void* end = nullptr;
  RunAnonymousThread(seen, begin, end);
  ASSERT_TRUE(seen.has_record);
  EXPECT_EQ(seen.kind, diag::tkTThread);
  EXPECT_GT(seen.caller, begin);
  EXPECT_LT(seen.caller, end) << "credited to " << seen.caller << ", not to the routine at " << begin;
}

TEST_F(ThreadHooksTest, NoPatchWithoutUseLowLevelAndNoneLeftAfterRemoval) {
  const auto count = diag::HookedProcedures()->Count();
  EXPECT_EQ(count, 2u);  // CreateThread and ExitThread
  diag::RemoveHooks();
  EXPECT_EQ(diag::HookedProcedures()->Count(), 0u);
  EXPECT_FALSE(diag::InstallLowLevelHooks(false));
  EXPECT_EQ(diag::HookedProcedures()->Count(), 0u);
  DefaultStateScope scope(diag::dtsEnabled);
  SeenFromInside seen;
  RunPlatformThread(seen);
  EXPECT_FALSE(seen.has_record);
}

// The library's own start-up: option UseLowLevel is on in its options, so
// loading it patches the system's CreateThread and ExitThread (and the 8-bit
// file-name bridge's CreateFileA); unloading puts every byte back.
TEST(ThreadPatchesOfTheLibrary, LoadingPatchesTheThreadEntriesAndUnloadingRestoresThem) {
  HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
  const struct {
    const char* name;
  } entries[] = {{"CreateThread"}, {"ExitThread"}, {"CreateFileA"}};
  auto bytes_of = [&](const char* name) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(reinterpret_cast<void*>(GetProcAddress(k32, name)));
    return std::vector<std::uint8_t>(p - 5, p + 8);  // a hot patch starts 5 bytes in front
  };
  std::vector<std::vector<std::uint8_t>> before;
  for (const auto& e : entries) before.push_back(bytes_of(e.name));
  {
    LoadedLibrary lib(DllPath());
    ASSERT_TRUE(lib.ok()) << lib.error();
    for (std::size_t i = 0; i < std::size(entries); ++i) {
      EXPECT_NE(bytes_of(entries[i].name), before[i]) << entries[i].name << " is not patched";
    }
    // A thread made through the patch still runs and ends as the system's own.
    SeenFromInside seen;
    EXPECT_EQ(RunPlatformThread(seen), 0x77u);
    EXPECT_TRUE(seen.listed);
  }
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    EXPECT_EQ(bytes_of(entries[i].name), before[i]) << entries[i].name << " is not restored";
  }
}

// ---- the thread-facts export -------------------------------------------------------

TEST(ThreadFactsRequest, TheTextIsCutAtItsFirstLineBreak) {
  const struct {
    const wchar_t* text;
    const wchar_t* file;
    std::uint32_t id;
  } cases[] = {
      {L"C:\\out.txt\r\n1234", L"C:\\out.txt", 1234},
      {L"C:\\out.txt\n\n\r\r42", L"C:\\out.txt", 42},
      {L"C:\\out.txt", L"C:\\out.txt", 0},
      {L"\r\n7", L"", 7},
  };
  for (const auto& c : cases) {
    std::wstring buffer = c.text;
    const diag::TThreadFactsRequest r = diag::ParseThreadFactsRequest(buffer.data());
    EXPECT_EQ(r.FileName, c.file) << c.text;
    EXPECT_EQ(r.ThreadID, c.id) << c.text;
    EXPECT_EQ(std::wstring(buffer.c_str()), c.file);  // a 0 where the first break was
  }
}

std::wstring TempFolder() {
  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, path);
  return path;
}

std::vector<std::uint8_t> ReadBytes(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(f, nullptr));
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(f);
  return bytes;
}

// The UTF-16LE bytes of a text, with its byte-order mark.
std::vector<std::uint8_t> Utf16File(const std::wstring& text) {
  std::vector<std::uint8_t> bytes{0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

// Starts the export as a thread, as an outside tool does, and gives its
// exit code.
DWORD RunExport(const void* entry, std::wstring& request) {
  HANDLE t = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(const_cast<void*>(entry)),
                          request.data(), 0, nullptr);
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return 0xDEAD;
  EXPECT_EQ(WaitForSingleObject(t, kDeadlockMs), WAIT_OBJECT_0);
  DWORD code = 0xDEAD;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  return code;
}

TEST(ThreadFactsExport, TheLibraryWritesWhatItKnowsOfAThread) {
  LoadedLibrary lib(DllPath());
  ASSERT_TRUE(lib.ok()) << lib.error();
  const void* entry = lib.Proc("_462EE689226340EAA982C5E8307B3F9E");
  ASSERT_NE(entry, nullptr);
  const std::wstring file = TempFolder() + L"zelvic_thread_facts.txt";
  ParkedThread stranger;
  const std::uint32_t self = GetCurrentThreadId();
  const struct {
    std::uint32_t id;
    std::wstring expected;
  } cases[] = {
      // The thread that loaded the library is its main thread.
      {self, L"0\r\n2\r\n\r\nMain thread\r\n\r\n" + std::to_wstring(self) + L"\r\n"},
      // A thread the library has not met reads as a plain one.
      {stranger.id(), L"0\r\n1\r\n\r\n\r\n\r\n" + std::to_wstring(stranger.id()) + L"\r\n"},
  };
  for (const auto& c : cases) {
    DeleteFileW(file.c_str());
    std::wstring request = file + L"\r\n" + std::to_wstring(c.id);
    EXPECT_EQ(RunExport(entry, request), 0u);
    EXPECT_EQ(ReadBytes(file), Utf16File(c.expected)) << c.id;
    EXPECT_EQ(request.c_str(), file);  // cut where the line broke
  }
  DeleteFileW(file.c_str());
}

TEST(ThreadFactsExport, AFileThatCannotBeMadeEndsTheThreadWithCode1) {
  LoadedLibrary lib(DllPath());
  ASSERT_TRUE(lib.ok()) << lib.error();
  std::wstring request = TempFolder() + L"no such folder\\facts.txt\n" + std::to_wstring(GetCurrentThreadId());
  EXPECT_EQ(RunExport(lib.Proc("_462EE689226340EAA982C5E8307B3F9E"), request), 1u);
}

}  // namespace
}  // namespace zelvic::test
