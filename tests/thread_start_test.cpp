// The runtime's thread start, thread objects and anonymous threads, checked
// against what the system says of the threads: Toolhelp32's thread list,
// the start address the kernel recorded, GetExitCodeThread, and the loader's
// view of a library unloaded while its threads still run.

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "runtime/thread_start.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

using rt::TThread;

bool ListedInThisProcess(DWORD thread_id) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL ok = Thread32First(snap, &entry); ok && !found; ok = Thread32Next(snap, &entry)) {
    found = entry.th32ThreadID == thread_id && entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snap);
  return found;
}

// The start address the kernel keeps for a thread (information class 9).
const void* KernelStartAddress(HANDLE thread) {
  using Query = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  void* start = nullptr;
  if (query == nullptr || query(thread, 9, &start, sizeof start, nullptr) != 0) return nullptr;
  return start;
}

DWORD ExitCodeOf(HANDLE thread) {
  DWORD code = 0xDEAD;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  return code;
}

struct PlainRun {
  Event started;
  Event release;
  DWORD ran_on = 0;
};

std::uint32_t PlainRoutine(void* p) {
  auto* run = static_cast<PlainRun*>(p);
  run->ran_on = GetCurrentThreadId();
  run->started.Set();
  run->release.WaitFor(kDeadlockMs);
  return 0x1234;
}

TEST(RuntimeThreadStart, BeginThreadRunsTheRoutineOnTheThreadItReports) {
  PlainRun run;
  std::uint32_t id = 0;
  HANDLE thread = rt::BeginThread(PlainRoutine, &run, id);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(run.started.WaitFor(kDeadlockMs));
  EXPECT_EQ(run.ran_on, id);
  EXPECT_EQ(GetThreadId(thread), id);
  EXPECT_TRUE(ListedInThisProcess(id));
  EXPECT_EQ(ExitCodeOf(thread), static_cast<DWORD>(STILL_ACTIVE));
  // The platform's thread runs the runtime's wrapper, not the routine:
  // that is how a recogniser tells the runtime's threads apart.
  EXPECT_EQ(KernelStartAddress(thread), rt::ThreadStartRoutine());
  run.release.Set();
  ASSERT_EQ(WaitForSingleObject(thread, kDeadlockMs), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCodeOf(thread), 0x1234u);
  EXPECT_FALSE(ListedInThisProcess(id));
  CloseHandle(thread);
}

TEST(RuntimeThreadStart, SuspendedStartRunsNothingUntilResumed) {
  PlainRun run;
  std::uint32_t id = 0;
  HANDLE thread = rt::BeginThread(PlainRoutine, &run, id, L"", {0, true});
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(run.started.WaitFor(kBlockedGraceMs));
  EXPECT_EQ(ResumeThread(thread), 1u);  // the previous suspend count
  ASSERT_TRUE(run.started.WaitFor(kDeadlockMs));
  run.release.Set();
  ASSERT_EQ(WaitForSingleObject(thread, kDeadlockMs), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCodeOf(thread), 0x1234u);
  CloseHandle(thread);
}

struct HookSeen {
  int calls = 0;
  std::wstring name;
  rt::TThreadFunc func = nullptr;
  void* parameter = nullptr;
};
HookSeen g_hook;
int g_original_ran = 0;
void* g_replacement_got = nullptr;

std::uint32_t OriginalRoutine(void*) {
  ++g_original_ran;
  return 1;
}
std::uint32_t ReplacementRoutine(void* p) {
  g_replacement_got = p;
  return 2;
}
int g_marker = 0;

void RewritingHook(rt::TThreadStart& start, std::wstring_view name) {
  ++g_hook.calls;
  g_hook.name = name;
  g_hook.func = start.Func;
  g_hook.parameter = start.Parameter;
  start.Func = ReplacementRoutine;
  start.Parameter = &g_marker;
}

struct HookSlot {
  explicit HookSlot(rt::TThreadParameterHook hook) { rt::ThreadParameterHook = hook; }
  ~HookSlot() { rt::ThreadParameterHook = nullptr; }
};

TEST(RuntimeThreadStart, TheParameterHookSeesTheStartAndMayReplaceIt) {
  HookSlot slot(RewritingHook);
  g_hook = {};
  g_original_ran = 0;
  g_replacement_got = nullptr;
  int given = 0;
  std::uint32_t id = 0;
  HANDLE thread = rt::BeginThread(OriginalRoutine, &given, id, L"Worker \u00E9");
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, kDeadlockMs), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCodeOf(thread), 2u);
  EXPECT_EQ(g_hook.calls, 1);
  EXPECT_EQ(g_hook.name, L"Worker \u00E9");
  EXPECT_EQ(g_hook.func, &OriginalRoutine);
  EXPECT_EQ(g_hook.parameter, &given);
  EXPECT_EQ(g_replacement_got, &g_marker);
  EXPECT_EQ(g_original_ran, 0);
  CloseHandle(thread);
}

// --- Thread objects ------------------------------------------------------

class RecordingThread : public TThread {
 public:
  explicit RecordingThread(bool fail = false) : TThread(L"Recording"), fail_(fail) {}
  std::atomic<DWORD> ran_on{0};
  std::atomic<int> executions{0};
  Event started;
  Event release;

 protected:
  void Execute() override {
    ran_on = GetCurrentThreadId();
    ++executions;
    started.Set();
    release.WaitFor(kDeadlockMs);
    if (fail_) throw std::runtime_error("Execute failed");
    SetReturnValue(0x55);
  }

 private:
  bool fail_;
};

TEST(RuntimeThreadObject, ExecuteRunsOnItsThreadOnceStartedAndGivesTheExitCode) {
  RecordingThread t;
  ASSERT_NE(t.Handle(), nullptr);
  EXPECT_EQ(t.Name(), L"Recording");
  EXPECT_TRUE(ListedInThisProcess(t.ThreadID()));  // made with the object, held
  EXPECT_FALSE(t.started.WaitFor(kBlockedGraceMs));
  t.Start();
  ASSERT_TRUE(t.started.WaitFor(kDeadlockMs));
  EXPECT_EQ(t.ran_on.load(), t.ThreadID());
  EXPECT_EQ(KernelStartAddress(t.Handle()), rt::ThreadStartRoutine());
  EXPECT_FALSE(t.Finished());
  t.release.Set();
  EXPECT_EQ(t.WaitFor(), 0x55u);
  EXPECT_EQ(ExitCodeOf(t.Handle()), 0x55u);
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(t.executions.load(), 1);
  EXPECT_FALSE(t.FatalException());
}

TEST(RuntimeThreadObject, AnExceptionFromExecuteIsKeptAndTheCodeIs1) {
  RecordingThread t(true);
  t.Start();
  t.release.Set();
  EXPECT_EQ(t.WaitFor(), 1u);
  ASSERT_TRUE(t.FatalException());
  try {
    std::rethrow_exception(t.FatalException());
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Execute failed");
  }
}

TEST(RuntimeThreadObject, DestroyingAnUnstartedObjectEndsItsThreadWithoutExecute) {
  HANDLE copy = nullptr;
  DWORD id = 0;
  {
    RecordingThread t;
    id = t.ThreadID();
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), t.Handle(), GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(ListedInThisProcess(id));
    // The destructor waits for the thread.
  }
  EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCodeOf(copy), 0u);
  EXPECT_FALSE(ListedInThisProcess(id));
  CloseHandle(copy);
}

TEST(RuntimeThreadObject, DestroyingARunningObjectAsksItToTerminateAndWaits) {
  class Polling : public TThread {
   public:
    Event started;
    std::atomic<int> polls{0};

   protected:
    void Execute() override {
      started.Set();
      while (!Terminated()) {
        ++polls;
        Sleep(1);
      }
    }
  };
  HANDLE copy = nullptr;
  {
    Polling t;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), t.Handle(), GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    t.Start();
    ASSERT_TRUE(t.started.WaitFor(kDeadlockMs));
  }
  EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCodeOf(copy), 0u);
  CloseHandle(copy);
}

TEST(RuntimeThreadObject, AnAnonymousThreadRunsItsProcedureAndFreesItself) {
  Event release;
  auto freed = std::make_shared<Event>();
  // The capture's destructor runs when the object is freed with its
  // procedure.
  struct FreedSignal {
    std::shared_ptr<Event> event;
    ~FreedSignal() {
      if (event) event->Set();
    }
  };
  auto signal = std::make_shared<FreedSignal>();
  signal->event = freed;
  std::atomic<DWORD> ran_on{0};
  TThread* t = TThread::CreateAnonymousThread(
      [signal, &ran_on, &release] {
        ran_on = GetCurrentThreadId();
        release.WaitFor(kDeadlockMs);
      },
      L"Anonymous");
  signal.reset();
  const DWORD id = t->ThreadID();
  HANDLE watch = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id);
  ASSERT_NE(watch, nullptr);
  t->Start();  // from here on the object is the thread's
  EXPECT_TRUE(ListedInThisProcess(id));
  EXPECT_FALSE(freed->WaitFor(kBlockedGraceMs));
  release.Set();
  ASSERT_EQ(WaitForSingleObject(watch, kDeadlockMs), WAIT_OBJECT_0);
  EXPECT_EQ(ran_on.load(), id);
  EXPECT_TRUE(freed->WaitFor(0));
  EXPECT_EQ(ExitCodeOf(watch), 0u);
  CloseHandle(watch);
}

// --- Unloading under running threads --------------------------------------

std::wstring FixturePath() {
  const std::wstring self = SelfPath();
  return self.substr(0, self.find_last_of(L"\\/") + 1) + L"thread_fixture.dll";
}

TEST(RuntimeThreadUnload, AThreadOutlivingFreeLibraryKeepsTheCodeUntilItEnds) {
  for (const char* start : {"StartLingeringThread", "StartLingeringAnonymousThread"}) {
    SCOPED_TRACE(start);
    const DWORD expected_code = std::string(start) == "StartLingeringThread" ? 7 : 0;
    HMODULE lib = LoadLibraryW(FixturePath().c_str());
    ASSERT_NE(lib, nullptr) << "thread_fixture.dll next to the test program";
    using Start = DWORD(WINAPI*)(HANDLE);
    auto proc = reinterpret_cast<Start>(reinterpret_cast<void*>(GetProcAddress(lib, start)));
    ASSERT_NE(proc, nullptr);
    HANDLE release_handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD id = proc(release_handle);
    ASSERT_NE(id, 0u);
    HANDLE watch = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id);
    ASSERT_NE(watch, nullptr);
    // The host lets go at once; the thread's reference keeps the library in.
    EXPECT_TRUE(FreeLibrary(lib));
    EXPECT_EQ(GetModuleHandleW(L"thread_fixture.dll"), lib);
    SetEvent(release_handle);
    ASSERT_EQ(WaitForSingleObject(watch, kDeadlockMs), WAIT_OBJECT_0);
    // The thread returned into the library's code and ended normally; the
    // last reference went with it.
    EXPECT_EQ(ExitCodeOf(watch), expected_code);
    EXPECT_EQ(GetModuleHandleW(L"thread_fixture.dll"), nullptr);
    CloseHandle(watch);
    CloseHandle(release_handle);
  }
}

}  // namespace
}  // namespace zelvic::test
