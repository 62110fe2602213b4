// The exception hooks: the C++ counterparts of the runtime's notification
// points, the dispatch level's guards, the handlers with a fake exception
// manager in the manager's slot table, and the real library's hooks.
// Scenarios that end the process or a thread run in a child copy of this
// program (the DISABLED_ tests of ExceptionHookChild), whose exit code the
// system reports whole.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/exceptions/EExceptionHook.h"
#include "diagnostics/system/EVirtualMachine.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "platform/exception_dispatch.h"
#include "platform/process.h"
#include "runtime/cxx_exception_points.h"
#include "runtime/exception_points.h"
#include "runtime/exceptions.h"
#include "fixed_system_facts.h"
#include "platform/machine_probes.h"
#include "test_support.h"

extern "C" void __wrap___cxa_throw(void*, std::type_info*, void(__attribute__((thiscall)) *)(void*));

namespace zelvic::test {
namespace {

using diag::TThrowCapture;
using diag::TVarnelExceptionInfo;

// ---- the fake exception manager ------------------------------------------------

struct FakeInfo {
  std::uint32_t Code = 0;
  bool Processed = false;
};

struct Seen {
  int Pointers = 0, Throws = 0, Objects = 0, Stashes = 0, Handles = 0, Releases = 0;
  std::uint32_t PointersCode = 0;
  bool PointersContextReadable = false;
  bool PointersForcedNew = false;
  TThrowCapture Capture;
  bool ThrowForcedNew = false, ThrowRespect = false;
  void* Object = nullptr;
  void* ObjectAddress = nullptr;
  std::uint32_t StashCode = 0;
  std::uint16_t StashControlWord = 0;
  bool HandleHandled = true, HandleRespect = false;
  void* Released = nullptr;
  int ReleaseReason = -1;
};

Seen g_seen;
FakeInfo g_info;
// A child prints every call, so the parent sees what reached the manager in
// a process that then ended.
bool g_print = false;
// What the fake Handle does besides counting.
void (*g_on_handle)() = nullptr;

void Print(const char* format, unsigned value) {
  if (!g_print) return;
  std::printf(format, value);
  std::printf("\n");
  std::fflush(stdout);
}

TVarnelExceptionInfo* AsInfo(FakeInfo& info) { return reinterpret_cast<TVarnelExceptionInfo*>(&info); }
FakeInfo* FromInfo(const TVarnelExceptionInfo* info) {
  return reinterpret_cast<FakeInfo*>(const_cast<TVarnelExceptionInfo*>(info));
}

TVarnelExceptionInfo* FakeInfoForPointers(_EXCEPTION_POINTERS* pointers, bool forced_new, bool) {
  ++g_seen.Pointers;
  g_seen.PointersForcedNew = forced_new;
  const platform::TExceptionPointers parts = platform::PartsOf(pointers);
  g_seen.PointersCode = platform::ViewOf(parts.Record).Code;
  g_seen.PointersContextReadable = platform::ContextReadable(parts.Context);
  Print("manager: pointers %08X", g_seen.PointersCode);
  g_info = FakeInfo{g_seen.PointersCode, false};
  return AsInfo(g_info);
}

TVarnelExceptionInfo* FakeInfoForThrow(const TThrowCapture& capture, bool forced_new, bool respect) {
  ++g_seen.Throws;
  g_seen.Capture = capture;
  g_seen.ThrowForcedNew = forced_new;
  g_seen.ThrowRespect = respect;
  Print("manager: throw, forced new %u", forced_new ? 1 : 0);
  return nullptr;
}

TVarnelExceptionInfo* FakeInfoForObject(void* object, void* address, bool, bool) {
  ++g_seen.Objects;
  g_seen.Object = object;
  g_seen.ObjectAddress = address;
  Print("manager: object, same as thrown %u", object == g_seen.Capture.Object && address == g_seen.Capture.Address);
  g_info = FakeInfo{0x0EEDFADE, false};
  return AsInfo(g_info);
}

void FakeStash(const _EXCEPTION_RECORD* record, const _CONTEXT*) {
  ++g_seen.Stashes;
  g_seen.StashCode = platform::ViewOf(record).Code;
  g_seen.StashControlWord = platform::FpuControlWord();
}

bool FakeIsProcessed(const TVarnelExceptionInfo* info) { return FromInfo(info)->Processed; }
std::uint32_t FakeExceptionCode(const TVarnelExceptionInfo* info) { return FromInfo(info)->Code; }

std::int32_t FakeHandle(TVarnelExceptionInfo* info, bool handled, bool respect) {
  ++g_seen.Handles;
  g_seen.HandleHandled = handled;
  g_seen.HandleRespect = respect;
  Print("manager: handle, handled %u", handled ? 1 : 0);
  if (g_on_handle != nullptr) g_on_handle();
  FromInfo(info)->Processed = true;
  return 0;
}

bool FakeRelease(void* object, TVarnelExceptionInfo* info, int reason) {
  ++g_seen.Releases;
  g_seen.Released = object;
  g_seen.ReleaseReason = info == nullptr ? reason : -2;
  return false;
}

// The fake's call-stack text names the information it was given.
std::wstring FakeCallStackText(void* info) {
  // The handler is at work while the manager renders: a nested ask is empty.
  const std::wstring nested = rt::ExceptionPoints().GetStackInfoStringProc(info);
  return L"stack of " + std::to_wstring(reinterpret_cast<std::uintptr_t>(info)) + (nested.empty() ? L"" : L" twice");
}

constexpr diag::TManagerEntries kFakeManager{FakeInfoForPointers, FakeInfoForThrow, FakeInfoForObject, FakeStash,
                                             FakeIsProcessed,     FakeExceptionCode, FakeHandle,        FakeRelease,
                                             FakeCallStackText};

// The hooks installed over the fake manager for the life of the object, as
// the library's start-up installs them; everything put back afterwards.
class HookedProcess {
 public:
  explicit HookedProcess(bool capture_only_module = false, diag::THookSettings settings = {}) {
    g_seen = Seen{};
    g_on_handle = nullptr;
    installed_points_ = !rt::CxxExceptionPointsInstalled();
    rt::InstallCxxExceptionPoints();
    previous_state_ = diag::SetDefaultThreadState(diag::dtsEnabled);
    diag::SetVarnelLogStateInThread(diag::kCallingThread, true);
    diag::EExceptionHookInit();
    diag::SetModuleFilter(capture_only_module);
    diag::ManagerEntries() = kFakeManager;
    diag::InstallExceptionHooks(settings);
  }
  ~HookedProcess() {
    diag::EExceptionHookDone();
    diag::ManagerEntries() = diag::TManagerEntries{};
    diag::SetVarnelLogStateInThread(diag::kCallingThread, true);
    diag::SetDefaultThreadState(previous_state_);
    if (installed_points_) rt::RemoveCxxExceptionPoints();
  }
  HookedProcess(const HookedProcess&) = delete;
  HookedProcess& operator=(const HookedProcess&) = delete;

 private:
  bool installed_points_ = false;
  diag::TVarnelLogThreadState previous_state_ = diag::dtsDisabled;
};

// The dispatch level alone, as "EExceptionHook.Init" leaves it.
class DispatchLevel {
 public:
  DispatchLevel() {
    installed_points_ = !rt::CxxExceptionPointsInstalled();
    rt::InstallCxxExceptionPoints();
    diag::EExceptionHookInit();
  }
  ~DispatchLevel() {
    diag::EExceptionHookDone();
    if (installed_points_) rt::RemoveCxxExceptionPoints();
  }
  DispatchLevel(const DispatchLevel&) = delete;
  DispatchLevel& operator=(const DispatchLevel&) = delete;

 private:
  bool installed_points_ = false;
};

// ---- throwers whose frames the capture must name ----------------------------------

void* g_thrower_frame = nullptr;

__attribute__((noinline)) void ThrowRuntimeError() {
  g_thrower_frame = __builtin_frame_address(0);
  throw std::runtime_error("thrown");
}

// The raise address is the return address of a call to the throw wrapper:
// the five bytes before it are that call.
bool IsReturnFromThrowCall(const void* address) {
  const auto* p = static_cast<const std::uint8_t*>(address);
  if (p[-5] != 0xE8) return false;
  std::int32_t displacement;
  std::memcpy(&displacement, p - 4, 4);
  return p + displacement == reinterpret_cast<const std::uint8_t*>(&__wrap___cxa_throw);
}

TEST(CxxExceptionPoints, ACaughtThrowIsCapturedAtTheThrowAndReleasedAtItsEnd) {
  HookedProcess hooks;
  void* caught = nullptr;
  try {
    ThrowRuntimeError();
  } catch (const std::runtime_error& e) {
    caught = const_cast<std::runtime_error*>(&e);
    // The object is still alive while it is handled.
    EXPECT_EQ(g_seen.Releases, 0);
  }
  ASSERT_EQ(g_seen.Throws, 1);
  const TThrowCapture& c = g_seen.Capture;
  EXPECT_EQ(c.Object, caught);
  EXPECT_EQ(c.Type, &typeid(std::runtime_error));
  EXPECT_TRUE(IsReturnFromThrowCall(c.Address));
  EXPECT_EQ(platform::ModuleBaseOf(c.Address), platform::ModuleBaseOf(reinterpret_cast<void*>(&ThrowRuntimeError)));
  EXPECT_EQ(c.Frame, g_thrower_frame);
  EXPECT_LT(c.StackPointer, c.Frame);
  EXPECT_GT(c.StackPointer, static_cast<char*>(c.Frame) - 4096);
  EXPECT_FALSE(c.Rethrow);
  EXPECT_TRUE(g_seen.ThrowForcedNew);
  EXPECT_TRUE(g_seen.ThrowRespect);
  EXPECT_EQ(g_seen.Releases, 1);
  EXPECT_EQ(g_seen.Released, caught);
  EXPECT_EQ(g_seen.ReleaseReason, 0);
  EXPECT_EQ(g_seen.Pointers + g_seen.Objects + g_seen.Handles, 0);
}

TEST(CxxExceptionPoints, ARethrowNamesTheSameObjectAndIsNotNew) {
  HookedProcess hooks;
  void* first = nullptr;
  try {
    try {
      ThrowRuntimeError();
    } catch (const std::exception&) {
      first = g_seen.Capture.Object;
      throw;
    }
  } catch (const std::exception&) {
  }
  EXPECT_EQ(g_seen.Throws, 2);
  EXPECT_EQ(g_seen.Capture.Object, first);
  EXPECT_TRUE(g_seen.Capture.Rethrow);
  EXPECT_FALSE(g_seen.ThrowForcedNew);
  EXPECT_EQ(g_seen.Capture.Type, &typeid(std::runtime_error));
  EXPECT_EQ(g_seen.Releases, 1);  // one object, one end
}

TEST(CxxExceptionPoints, TheRuntimeLibraryOwnThrowsAreSeen) {
  HookedProcess hooks;
  const struct {
    void (*raise)();
    const std::type_info* type;
  } cases[] = {
      {[] {
         std::vector<int> v;
         (void)v.at(3);
       },
       &typeid(std::out_of_range)},
      // The allocation failure is announced without allocating.
      {[] {
         std::vector<int> huge;
         huge.reserve(0x7FFFFFF0u);  // beyond max_size
       },
       &typeid(std::length_error)},
      {[] {
         char* volatile block = new char[0x7FFFFFF0u];
         delete[] block;
       },
       &typeid(std::bad_alloc)},
  };
  for (const auto& c : cases) {
    g_seen = Seen{};
    try {
      c.raise();
    } catch (const std::exception&) {
    }
    EXPECT_EQ(g_seen.Throws, 1) << c.type->name();
    EXPECT_EQ(g_seen.Capture.Type, c.type) << c.type->name();
    EXPECT_EQ(g_seen.Releases, 1) << c.type->name();
  }
}

DWORD WINAPI ThrowAndCatchOnThread(void*) {
  try {
    ThrowRuntimeError();
  } catch (const std::exception&) {
    return 1;
  }
  return 0;
}

TEST(CxxExceptionPoints, AThrowOnAnotherThreadIsCapturedThere) {
  HookedProcess hooks;
  HANDLE t = CreateThread(nullptr, 0, ThrowAndCatchOnThread, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  WaitForSingleObject(t, kDeadlockMs);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(g_seen.Throws, 1);
  EXPECT_EQ(g_seen.Capture.Frame, g_thrower_frame);
  EXPECT_EQ(g_seen.Releases, 1);
}

TEST(CxxExceptionPoints, TheFacilityOwnThrowsAndThreadsWithoutItPassStraightThrough) {
  HookedProcess hooks;
  rt::EnterCxxPassThrough();
  rt::EnterCxxPassThrough();
  rt::LeaveCxxPassThrough();  // scopes nest: still inside one
  try {
    ThrowRuntimeError();
  } catch (const std::exception&) {
  }
  rt::LeaveCxxPassThrough();
  EXPECT_FALSE(rt::CxxPassThroughInThread());
  EXPECT_EQ(g_seen.Throws + g_seen.Releases, 0);

  diag::SetVarnelLogStateInThread(diag::kCallingThread, false);
  try {
    ThrowRuntimeError();
  } catch (const std::exception&) {
  }
  EXPECT_EQ(g_seen.Throws, 0);
}

TEST(CxxExceptionPoints, ThrownObjectAsMatchesAsACatchClauseWould) {
  struct Base1 {
    virtual ~Base1() = default;
    int a = 1;
  };
  struct Base2 {
    virtual ~Base2() = default;
    int b = 2;
  };
  struct Both : Base1, Base2 {};
  Both both;
  void* object = &both;
  EXPECT_EQ(rt::ThrownObjectAs(object, &typeid(Both), typeid(Base2)), static_cast<Base2*>(&both));
  EXPECT_EQ(rt::ThrownObjectAs(object, &typeid(Both), typeid(Base1)), static_cast<Base1*>(&both));
  EXPECT_EQ(rt::ThrownObjectAs(object, &typeid(Both), typeid(std::exception)), nullptr);
  rt::EAbort abort;
  EXPECT_EQ(rt::ThrownObjectAs(&abort, &typeid(rt::EAbort), typeid(rt::Exception)), static_cast<rt::Exception*>(&abort));
  EXPECT_EQ(rt::ThrownObjectAs(nullptr, &typeid(Both), typeid(Base1)), nullptr);
}

// ---- first chance -------------------------------------------------------------------

// Registered after the facility's handler: the exceptions it continues are
// the application's own, caught after the facility had its first look.
constexpr DWORD kCaughtCode = 0xE0C0FFEE;
LONG CALLBACK ContinueTestExceptions(EXCEPTION_POINTERS* p) {
  const DWORD code = p->ExceptionRecord->ExceptionCode;
  return code == kCaughtCode || code == 0x406D1388 || code == 0xC000008E ? EXCEPTION_CONTINUE_EXECUTION
                                                                         : EXCEPTION_CONTINUE_SEARCH;
}

class CaughtRaises {
 public:
  CaughtRaises() : handle_(AddVectoredExceptionHandler(0, ContinueTestExceptions)) {}
  ~CaughtRaises() { RemoveVectoredExceptionHandler(handle_); }
  CaughtRaises(const CaughtRaises&) = delete;
  CaughtRaises& operator=(const CaughtRaises&) = delete;

 private:
  void* handle_;
};

TEST(FirstChanceHook, StashesWithoutCreatingAndSkipsTheSystemNotices) {
  HookedProcess hooks;
  CaughtRaises caught;
  const ULONG_PTR naming[4] = {0x1000, reinterpret_cast<ULONG_PTR>("name"), 0xFFFFFFFF, 0};
  const struct {
    const char* what;
    void (*raise)(const ULONG_PTR*);
    std::uint32_t stashed;  // 0: nothing reaches the manager
  } cases[] = {
      {"caught RaiseException", [](const ULONG_PTR*) { RaiseException(kCaughtCode, 0, 0, nullptr); }, kCaughtCode},
      {"fault caught inside kernel32", [](const ULONG_PTR*) { (void)IsBadReadPtr(reinterpret_cast<void*>(16), 4); },
       0xC0000005},
      // Wine dispatches no thread-naming exception without a debugger: the
      // first-chance event gets it as the system would hand it over.
      {"thread naming",
       [](const ULONG_PTR* info) {
         EXCEPTION_RECORD record{};
         record.ExceptionCode = 0x406D1388;
         record.NumberParameters = 4;
         for (int i = 0; i < 4; ++i) record.ExceptionInformation[i] = info[i];
         CONTEXT context{};
         EXPECT_EQ(diag::DispatchEvents().ExceptionDispatcher(&context, &record), 0);
       },
       0},
      {"debug output", [](const ULONG_PTR*) { OutputDebugStringW(L"first chance test"); }, 0},
  };
  for (const auto& c : cases) {
    g_seen = Seen{};
    c.raise(naming);
    EXPECT_EQ(g_seen.Stashes, c.stashed != 0 ? 1 : 0) << c.what;
    if (c.stashed != 0) {
      EXPECT_EQ(g_seen.StashCode, c.stashed) << c.what;
    }
    EXPECT_EQ(g_seen.Pointers + g_seen.Throws + g_seen.Objects + g_seen.Handles, 0) << c.what;
  }
}

TEST(FirstChanceHook, CaptureOnlyModuleExceptionsPassesOtherModulesUntouched) {
  HookedProcess hooks(true);
  CaughtRaises caught;
  (void)IsBadReadPtr(reinterpret_cast<void*>(16), 4);  // faults inside kernel32
  RaiseException(kCaughtCode, 0, 0, nullptr);          // the record's address is inside the system
  EXPECT_EQ(g_seen.Stashes, 0);
}

TEST(FirstChanceHook, AFloatingPointCodeRunsOnTheDefaultControlWordAndTheThreadKeepsItsOwn) {
  HookedProcess hooks;
  CaughtRaises caught;
  const std::uint16_t saved = platform::FpuControlWord();
  platform::SetFpuControlWord(0x0372);
  RaiseException(0xC000008E, 0, 0, nullptr);
  const std::uint16_t after = platform::FpuControlWord();
  platform::SetFpuControlWord(saved);
  EXPECT_EQ(g_seen.Stashes, 1);
  EXPECT_EQ(g_seen.StashControlWord, platform::kDefaultFpuControlWord);
  EXPECT_EQ(after, 0x0372);
}

// ---- the module filter ---------------------------------------------------------------

TEST(ModuleFilter, JudgesTheRightAddressAndNeverTheSystemNotices) {
  diag::SetModuleFilter(true);
  const auto here = reinterpret_cast<std::uintptr_t>(&ThrowRuntimeError);
  // The system's own code, not this program's import thunk for it.
  const auto system = reinterpret_cast<std::uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "RaiseException"));
  const struct {
    const char* what;
    std::uint32_t code, count;
    std::uintptr_t address, parameter0;
    bool accepted;
  } cases[] = {
      {"fault in this module", 0xC0000005, 2, here, 0, true},
      {"fault in the system", 0xC0000005, 2, system, 0, false},
      {"no address", 0xE0000001, 0, 0, 0, true},
      {"language raise judged by parameter 0", 0x0EEDFADE, 7, system, here, true},
      {"last language code too", 0x0EEDFAE5, 7, here, system, false},
      {"past the language codes", 0x0EEDFAE6, 7, here, system, true},
      {"thread naming", 0x406D1388, 4, here, 0, false},
      {"thread naming needs its 4 parameters", 0x406D1388, 3, here, 0, true},
      {"debug print", 0x40010006, 2, here, 0, false},
      {"wide debug print", 0x4001000A, 4, here, 0, false},
  };
  for (const auto& c : cases) {
    platform::TExceptionRecordView r;
    r.Code = c.code;
    r.ParameterCount = c.count;
    r.Address = c.address;
    r.Parameters[0] = c.parameter0;
    EXPECT_EQ(diag::ModuleFilterAccepts(r), c.accepted) << c.what;
  }
  diag::SetModuleFilter(false);
  platform::TExceptionRecordView system_fault;
  system_fault.Code = 0xC0000005;
  system_fault.Address = system;
  EXPECT_TRUE(diag::ModuleFilterAccepts(system_fault));
}

// ---- the dispatch level ----------------------------------------------------------------

TEST(DispatchHooks, AloneTheyBehaveAsBeforeAndRemovalPutsEverythingBack) {
  const rt::TExceptionNotificationPoints before = rt::ExceptionPoints();
  const platform::TExceptionFilter filter_before = platform::CurrentUnhandledFilter();
  diag::InstallDispatchHooks(true);
  const rt::TExceptionNotificationPoints& points = rt::ExceptionPoints();
  const diag::TDispatchEvents& events = diag::DispatchEvents();
  EXPECT_EQ(events.ExceptProc, before.ExceptProc);
  EXPECT_EQ(events.ExceptObjProc, before.ExceptObjProc);
  EXPECT_EQ(events.ErrorProc, before.ErrorProc);
  EXPECT_EQ(events.UnhandledExceptionFilter, filter_before);
  EXPECT_NE(points.ExceptProc, before.ExceptProc);
  EXPECT_NE(points.GetExceptionStackInfoProc, nullptr);
  EXPECT_NE(platform::CurrentUnhandledFilter(), filter_before);
  EXPECT_TRUE(diag::VectoredHandlerRegistered());
  EXPECT_EQ(diag::UserExceptionDispatcherAddress(),
            reinterpret_cast<std::uintptr_t>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "KiUserExceptionDispatcher")));
  // The platform's raise still raises, through the guard.
  CaughtRaises caught;
  points.RaiseExceptionProc(kCaughtCode, 0, 0, nullptr);
  diag::RemoveDispatchHooks();
  EXPECT_EQ(rt::ExceptionPoints().ExceptProc, before.ExceptProc);
  EXPECT_EQ(rt::ExceptionPoints().ExceptClsProc, before.ExceptClsProc);
  EXPECT_EQ(rt::ExceptionPoints().RaiseExceptionProc, before.RaiseExceptionProc);
  EXPECT_EQ(rt::ExceptionPoints().GetExceptionStackInfoProc, nullptr);
  EXPECT_EQ(platform::CurrentUnhandledFilter(), filter_before);
  EXPECT_FALSE(diag::VectoredHandlerRegistered());
}

std::vector<diag::TInternalError> g_reported;
void RecordReport(const diag::TInternalError& e) { g_reported.push_back(e); }

[[noreturn]] void Fail() { throw rt::Exception(L"event failed"); }
[[noreturn]] void Abort() { throw rt::EAbort(); }
bool g_abort = false;
void* FailingStackInfo(const _EXCEPTION_RECORD*) { g_abort ? Abort() : Fail(); }
std::wstring FailingStackText(void*) { g_abort ? Abort() : Fail(); }
void FailingCleanUp(void*) { g_abort ? Abort() : Fail(); }
std::int32_t FailingDispatcher(_CONTEXT*, _EXCEPTION_RECORD*) { g_abort ? Abort() : Fail(); }
long __stdcall FailingFilter(_EXCEPTION_POINTERS*) { g_abort ? Abort() : Fail(); }

TEST(DispatchHooks, GuardsContainFailuresReportThemByNameAndNeverReportEAbort) {
  DispatchLevel dispatch;
  const diag::TInternalErrorReport saved_report = diag::InternalErrorReport;
  diag::InternalErrorReport = RecordReport;
  diag::TDispatchEvents& events = diag::DispatchEvents();
  const diag::TDispatchEvents saved_events = events;
  events.GetExceptionStackInfo = FailingStackInfo;
  events.GetStackInfoString = FailingStackText;
  events.CleanUpStackInfo = FailingCleanUp;
  events.ExceptionDispatcher = FailingDispatcher;
  events.UnhandledExceptionFilter = FailingFilter;
  const rt::TExceptionNotificationPoints points = rt::ExceptionPoints();
  const platform::TExceptionFilter filter_guard = platform::CurrentUnhandledFilter();
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xE0000042;
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  for (const bool abort : {false, true}) {
    g_abort = abort;
    g_reported.clear();
    EXPECT_EQ(points.GetExceptionStackInfoProc(&record), nullptr);
    EXPECT_EQ(points.GetStackInfoStringProc(&record), L"");
    points.CleanUpStackInfoProc(&record);
    EXPECT_EQ(filter_guard(&pointers), 1);
    if (abort) {
      EXPECT_TRUE(g_reported.empty());
      continue;
    }
    std::vector<std::wstring> guards;
    for (const auto& e : g_reported) guards.push_back(e.Guard);
    EXPECT_EQ(guards, (std::vector<std::wstring>{L"GetExceptionStackInfoHook", L"GetStackInfoStringHook",
                                                 L"CleanUpStackInfoHook", L"UnhandledExceptionFilterHook"}));
    ASSERT_FALSE(g_reported.empty());
    EXPECT_EQ(g_reported[0].ClassName, L"Exception");
    EXPECT_EQ(g_reported[0].Message, L"event failed");
    EXPECT_NE(g_reported[0].Inputs.find(L"E0000042"), std::wstring::npos);
  }
  // The vectored handler's failure: the search goes on (the test's own
  // handler after it continues the raise).
  g_abort = false;
  g_reported.clear();
  {
    CaughtRaises caught;
    RaiseException(kCaughtCode, 0, 0, nullptr);
  }
  ASSERT_EQ(g_reported.size(), 1u);
  EXPECT_EQ(g_reported[0].Guard, L"ExceptionHandlerHook");
  events = saved_events;
  diag::InternalErrorReport = saved_report;
}

TEST(DispatchHooks, AMissingEventGivesTheNamedNoteAndTheDocumentedResult) {
  DebugOutputRecorder debug;
  std::vector<std::string> lines;
  {
    DispatchLevel dispatch;
    diag::TDispatchEvents& events = diag::DispatchEvents();
    const diag::TDispatchEvents saved_events = events;
    events.UnhandledExceptionFilter = nullptr;
    events.GetExceptionStackInfo = nullptr;
    const platform::TExceptionFilter filter_guard = platform::CurrentUnhandledFilter();
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{&record, nullptr};
    EXPECT_EQ(filter_guard(&pointers), 1);
    EXPECT_EQ(rt::ExceptionPoints().GetExceptionStackInfoProc(&record), nullptr);
    events = saved_events;
  }
  lines = debug.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Dump(String): \"EventUnhandledExceptionFilter is not installed\""),
            lines.end());
}

// ---- the handler level ------------------------------------------------------------

TEST(ExceptionHooks, InstallSavesTheEventsAndRemovalRestoresThem) {
  DispatchLevel level;
  const diag::TDispatchEvents dispatch = diag::DispatchEvents();
  const std::int32_t kinds = diag::ApplicationKindHookActivations();
  diag::THookSettings settings;
  settings.WERPassThroughUnexpected = true;  // meaningless without the first
  diag::InstallExceptionHooks(settings);
  EXPECT_FALSE(diag::CurrentHookSettings().WERPassThroughUnexpected);
  EXPECT_EQ(diag::ApplicationKindHookActivations(), kinds + 1);
  EXPECT_NE(diag::DispatchEvents().UnhandledExceptionFilter, dispatch.UnhandledExceptionFilter);
  EXPECT_NE(diag::DispatchEvents().ExceptProc, dispatch.ExceptProc);
  EXPECT_NE(diag::DispatchEvents().ExceptionDispatcher, dispatch.ExceptionDispatcher);
  diag::RemoveExceptionHooks();
  EXPECT_EQ(diag::ApplicationKindHookActivations(), kinds);
  EXPECT_FALSE(diag::DispatchHooksInstalled());
}

TEST(ExceptionHooks, AnObjectMadeForAPlatformRecordIsTiedToNewInformation) {
  HookedProcess hooks;
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xC0000094;  // integer division by zero
  record.ExceptionAddress = reinterpret_cast<void*>(&ThrowRuntimeError);
  std::unique_ptr<rt::Exception> object(rt::ExceptionPoints().ExceptObjProc(&record));
  ASSERT_NE(object, nullptr);
  // The runtime's own object, made by the procedure the hooks replaced.
  EXPECT_STREQ(object->ClassName(), L"EExternalException");
  EXPECT_EQ(g_seen.Pointers, 1);
  EXPECT_EQ(g_seen.PointersCode, 0xC0000094u);
  EXPECT_TRUE(g_seen.PointersForcedNew);
  EXPECT_TRUE(g_seen.PointersContextReadable);
  EXPECT_EQ(g_seen.Objects, 1);
  EXPECT_EQ(g_seen.Object, object.get());
  EXPECT_EQ(g_seen.ObjectAddress, record.ExceptionAddress);
}

TEST(ExceptionHooks, TheStackTextOfStackInformationIsTheManagersCallStackText) {
  HookedProcess hooks;
  int information = 0;
  void* const info = &information;
  const std::wstring expected = L"stack of " + std::to_wstring(reinterpret_cast<std::uintptr_t>(info));
  EXPECT_EQ(rt::ExceptionPoints().GetStackInfoStringProc(info), expected);
  EXPECT_EQ(rt::ExceptionPoints().GetStackInfoStringProc(nullptr), L"");
  // The facility off for the thread: the entry test fails and the text is empty.
  diag::SetVarnelLogStateInThread(diag::kCallingThread, false);
  EXPECT_EQ(rt::ExceptionPoints().GetStackInfoStringProc(info), L"");
  diag::SetVarnelLogStateInThread(diag::kCallingThread, true);
  EXPECT_EQ(rt::ExceptionPoints().GetStackInfoStringProc(info), expected);
}

TEST(ExceptionHooks, ShutDownStopsEveryGuardUntilTheNextStart) {
  {
    HookedProcess hooks;
    diag::SetEmergencyStop();
    try {
      ThrowRuntimeError();
    } catch (const std::exception&) {
    }
    EXPECT_EQ(g_seen.Throws + g_seen.Releases, 0);
  }
  EXPECT_TRUE(diag::EmergencyStop());
  DispatchLevel restarted;
  EXPECT_FALSE(diag::EmergencyStop());
}

int g_host_filter_calls = 0;
long __stdcall HostFilter(_EXCEPTION_POINTERS*) {
  ++g_host_filter_calls;
  return 42;
}

TEST(ExceptionHooks, WithoutAManagerEverythingPassesOnUntouched) {
  const platform::TExceptionFilter original = platform::SetUnhandledFilter(HostFilter);
  g_host_filter_calls = 0;
  {
    HookedProcess hooks;
    diag::ManagerEntries() = diag::TManagerEntries{};
    CaughtRaises caught;
    RaiseException(kCaughtCode, 0, 0, nullptr);
    try {
      ThrowRuntimeError();
    } catch (const std::exception&) {
    }
    EXCEPTION_RECORD record{};
    record.ExceptionCode = 0xC0000005;
    EXCEPTION_POINTERS pointers{&record, nullptr};
    // The filter in force answers what the host's filter answers.
    EXPECT_EQ(platform::CurrentUnhandledFilter()(&pointers), 42);
    EXPECT_EQ(g_host_filter_calls, 1);
    EXPECT_EQ(g_seen.Stashes + g_seen.Throws + g_seen.Releases + g_seen.Pointers, 0);
  }
  EXPECT_EQ(platform::SetUnhandledFilter(original), HostFilter);
}

// ---- scenarios that end a thread or the process ---------------------------------------

std::string g_child_output;

std::uint32_t RunHookChild(const char* scenario) {
  g_child_output.clear();
  std::wstring args = L"--gtest_filter=ExceptionHookChild.DISABLED_";
  for (const char* c = scenario; *c; ++c) args.push_back(static_cast<unsigned char>(*c));
  args += L" --gtest_also_run_disabled_tests --gtest_catch_exceptions=0";
  std::string raw;
  const std::uint32_t code = RunChild(args, raw);
  // The child's standard output is in text mode: lines end in CR LF.
  for (const char c : raw) {
    if (c != '\r') g_child_output.push_back(c);
  }
  return code;
}

// A line of the child's output that begins with `line`.
bool Printed(const std::string& line) { return ("\n" + g_child_output).find("\n" + line) != std::string::npos; }

TEST(ExceptionHookScenarios, UnhandledExceptionsReachTheManagerAndEndWithTheirCode) {
  const struct {
    const char* scenario;
    std::uint32_t exit_code;
    std::vector<std::string> printed;
  } cases[] = {
      {"FaultOnMainThread", 0xC0000005, {"manager: pointers C0000005", "manager: handle, handled 0"}},
      {"RaiseOnMainThread", 0xE0001234, {"manager: pointers E0001234", "manager: handle, handled 0"}},
      {"ThrowOnMainThread",
       0x0EEDFADE,
       {"manager: throw, forced new 1", "manager: object, same as thrown 1", "manager: handle, handled 0"}},
      // Another thread ends alone, with the code; the process goes on.
      {"FaultOnAnotherThread", 0, {"manager: pointers C0000005", "thread ended C0000005"}},
      {"ThrowOnAnotherThread", 0, {"manager: object, same as thrown 1", "thread ended 0EEDFADE"}},
      {"StackOverflow", 0xC00000FD, {"manager: pointers C00000FD", "manager: handle, handled 0"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunHookChild(c.scenario), c.exit_code) << c.scenario << "\n" << g_child_output;
    for (const auto& line : c.printed) EXPECT_TRUE(Printed(line)) << c.scenario << ": " << line << "\n" << g_child_output;
    EXPECT_FALSE(Printed("previous filter")) << c.scenario;
  }
}

TEST(ExceptionHookScenarios, WhatTheFacilityMayNotHandleGoesToThePreviousFilter) {
  const struct {
    const char* scenario;
    std::uint32_t exit_code;
    bool reaches_manager;
  } cases[] = {
      {"ThreadNamingReachesTheFilter", 0x406D1388, false},
      {"RaiseInTheSystemWithCaptureOnlyModule", 0xE0001234, false},
      {"FaultWithTheFacilityOffForTheThread", 0xC0000005, false},
      // A thread the facility does not watch is not ended quietly in place of
      // its process: the system ends the process, as without the library.
      {"FaultOnAnotherThreadWithTheFacilityOff", 0xC0000005, false},
      // A second exception reaches the filter while the manager handles the
      // first: it does not come back into the handler.
      {"ExceptionInsideTheHandler", 0xE0000BAD, true},
      {"WERPassThroughUnhandled", 0xC0000005, false},
      // An access violation the application would catch goes to the error
      // reporting at first chance.
      {"WERPassThroughUnexpected", 0xC0000005, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunHookChild(c.scenario), c.exit_code) << c.scenario << "\n" << g_child_output;
    EXPECT_TRUE(Printed("previous filter")) << c.scenario << "\n" << g_child_output;
    EXPECT_EQ(Printed("manager: handle, handled 0"), c.reaches_manager) << c.scenario << "\n" << g_child_output;
  }
}

// The runtime's own last-chance handling takes an uncaught throw the facility
// may not handle: runtime error 217.
TEST(ExceptionHookScenarios, AnUncaughtThrowWithTheFacilityOffGoesToTheRuntime) {
  EXPECT_EQ(RunHookChild("ThrowWithTheFacilityOffForTheThread"), 217u) << g_child_output;
  EXPECT_FALSE(Printed("manager: throw")) << g_child_output;
  EXPECT_FALSE(Printed("manager: object")) << g_child_output;
}

TEST(ExceptionHookScenarios, WithoutThePassThroughTheApplicationCatchesWhatItCatches) {
  EXPECT_EQ(RunHookChild("UnexpectedFaultCaughtByTheApplication"), 0u) << g_child_output;
  EXPECT_TRUE(Printed("the application caught it")) << g_child_output;
  EXPECT_FALSE(Printed("previous filter")) << g_child_output;
}

TEST(ExceptionHookScenarios, CaptureOnlyModuleStillTakesThisModuleFaults) {
  EXPECT_EQ(RunHookChild("FaultHereWithCaptureOnlyModule"), 0xC0000005u) << g_child_output;
  EXPECT_TRUE(Printed("manager: pointers C0000005")) << g_child_output;
}

// The real library: its hooks are in place while it is loaded, and without
// a manager of its own they hand a host's fault to the host's filter.
TEST(ExceptionHookScenarios, TheLibraryHandsAHostFaultToTheHostFilterAndPutsItBack) {
  EXPECT_EQ(RunHookChild("LibraryLoadedHostFault"), 0xC0000005u) << g_child_output;
  EXPECT_TRUE(Printed("filter is the library's 1")) << g_child_output;
  EXPECT_TRUE(Printed("previous filter")) << g_child_output;

  const platform::TExceptionFilter before = platform::CurrentUnhandledFilter();
  {
    LoadedLibrary lib(DllPath());
    ASSERT_TRUE(lib.ok()) << lib.error();
    EXPECT_EQ(platform::ModuleBaseOf(reinterpret_cast<void*>(platform::CurrentUnhandledFilter())),
              reinterpret_cast<std::uintptr_t>(lib.get()));
  }
  EXPECT_EQ(platform::CurrentUnhandledFilter(), before);
}

// ---- the child side -------------------------------------------------------------------

long __stdcall PreviousFilter(_EXCEPTION_POINTERS* pointers) {
  std::printf("previous filter %08X\n", static_cast<unsigned>(platform::ViewOf(platform::PartsOf(pointers).Record).Code));
  std::fflush(stdout);
  return 1;
}

// The child's hooks: a host filter first (the "previous" one), then the
// hooks over the printing fake manager. Never removed: the process ends.
void HookChild(bool capture_only_module = false, diag::THookSettings settings = {}) {
  SetUnhandledExceptionFilter(reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(PreviousFilter));
  g_print = true;
  diag::SetDefaultThreadState(diag::dtsEnabled);
  rt::InstallCxxExceptionPoints();
  diag::EExceptionHookInit();
  diag::SetModuleFilter(capture_only_module);
  diag::ManagerEntries() = kFakeManager;
  diag::InstallExceptionHooks(settings);
}

__attribute__((noinline)) void Fault() {
  volatile int* volatile p = reinterpret_cast<int*>(16);
  *p = 1;
}

volatile bool g_stop_recursion = false;

__attribute__((noinline)) int Recurse(int depth) {
  if (g_stop_recursion) return 0;
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[0];
}

DWORD WINAPI FaultThread(void*) {
  Fault();
  return 0;
}

DWORD WINAPI ThrowThread(void*) {
  ThrowRuntimeError();
  return 0;
}

void RunAndReport(LPTHREAD_START_ROUTINE routine) {
  HANDLE t = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
  WaitForSingleObject(t, kDeadlockMs);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  std::printf("thread ended %08lX\n", code);
  std::fflush(stdout);
}

TEST(ExceptionHookChild, DISABLED_FaultOnMainThread) {
  HookChild();
  Fault();
}

TEST(ExceptionHookChild, DISABLED_RaiseOnMainThread) {
  HookChild();
  RaiseException(0xE0001234, 0, 0, nullptr);
}

TEST(ExceptionHookChild, DISABLED_ThrowOnMainThread) {
  HookChild();
  ThrowRuntimeError();
}

TEST(ExceptionHookChild, DISABLED_FaultOnAnotherThread) {
  HookChild();
  RunAndReport(FaultThread);
}

TEST(ExceptionHookChild, DISABLED_ThrowOnAnotherThread) {
  HookChild();
  RunAndReport(ThrowThread);
}

TEST(ExceptionHookChild, DISABLED_StackOverflow) {
  HookChild();
  std::printf("%d\n", Recurse(0));
}

// The platform's filter as the system calls it for an exception nobody
// handled. (Wine never dispatches the thread-naming exception without a
// debugger, and ends a process whose filter faults: the system's own calls
// cannot show these two.)
void CallTheFilter(std::uint32_t code, std::uint32_t parameter_count) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.NumberParameters = parameter_count;
  record.ExceptionAddress = reinterpret_cast<void*>(&Fault);
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  // As the system goes on after the filter: an answer other than "continue
  // execution" ends the process with the exception's code.
  if (platform::CurrentUnhandledFilter()(&pointers) != EXCEPTION_CONTINUE_EXECUTION) ExitProcess(code);
}

TEST(ExceptionHookChild, DISABLED_ThreadNamingReachesTheFilter) {
  HookChild();
  CallTheFilter(0x406D1388, 4);
}

TEST(ExceptionHookChild, DISABLED_RaiseInTheSystemWithCaptureOnlyModule) {
  HookChild(true);
  // The record's address is inside the system's RaiseException.
  RaiseException(0xE0001234, 0, 0, nullptr);
}

TEST(ExceptionHookChild, DISABLED_FaultHereWithCaptureOnlyModule) {
  HookChild(true);
  Fault();
}

TEST(ExceptionHookChild, DISABLED_FaultWithTheFacilityOffForTheThread) {
  HookChild();
  diag::SetVarnelLogStateInThread(diag::kCallingThread, false);
  Fault();
}

DWORD WINAPI FaultWithTheFacilityOff(void*) {
  diag::SetVarnelLogStateInThread(diag::kCallingThread, false);
  Fault();
  return 0;
}

TEST(ExceptionHookChild, DISABLED_FaultOnAnotherThreadWithTheFacilityOff) {
  HookChild();
  RunAndReport(FaultWithTheFacilityOff);
}

TEST(ExceptionHookChild, DISABLED_ThrowWithTheFacilityOffForTheThread) {
  HookChild();
  diag::SetVarnelLogStateInThread(diag::kCallingThread, false);
  ThrowRuntimeError();
}

TEST(ExceptionHookChild, DISABLED_ExceptionInsideTheHandler) {
  HookChild();
  g_on_handle = [] { CallTheFilter(0xE0000BAD, 0); };
  Fault();
}

TEST(ExceptionHookChild, DISABLED_WERPassThroughUnhandled) {
  diag::THookSettings settings;
  settings.WERPassThroughUnhandled = true;
  HookChild(false, settings);
  Fault();
}

LONG CALLBACK CatchAccessViolations(EXCEPTION_POINTERS* p) {
  return p->ExceptionRecord->ExceptionCode == 0xC0000005 ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

// The application's own handler, registered after the facility's.
void RaiseAnAccessViolationTheApplicationCatches() {
  AddVectoredExceptionHandler(0, CatchAccessViolations);
  RaiseException(0xC0000005, 0, 0, nullptr);
  std::printf("the application caught it\n");
  std::fflush(stdout);
}

TEST(ExceptionHookChild, DISABLED_UnexpectedFaultCaughtByTheApplication) {
  diag::THookSettings settings;
  settings.WERPassThroughUnhandled = true;
  HookChild(false, settings);
  RaiseAnAccessViolationTheApplicationCatches();
}

TEST(ExceptionHookChild, DISABLED_WERPassThroughUnexpected) {
  diag::THookSettings settings;
  settings.WERPassThroughUnhandled = true;
  settings.WERPassThroughUnexpected = true;
  HookChild(false, settings);
  RaiseAnAccessViolationTheApplicationCatches();
}

TEST(ExceptionHookChild, DISABLED_LibraryLoadedHostFault) {
  SetUnhandledExceptionFilter(reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(PreviousFilter));
  HMODULE lib = LoadLibraryW(DllPath().c_str());
  const auto filter = platform::CurrentUnhandledFilter();
  std::printf("filter is the library's %d\n",
              lib != nullptr && platform::ModuleBaseOf(reinterpret_cast<void*>(filter)) ==
                                    reinterpret_cast<std::uintptr_t>(lib));
  std::fflush(stdout);
  Fault();
}

// ---- the virtual-machine probes -------------------------------------------------

// The port and instruction probes raise processor exceptions on a machine
// without the device; the facility's first-chance handler sees them before the
// probe's own frame does. Run bare, the stash gets one; run as the detection
// runs them, the facility stays quiet and the thread's state comes back.
TEST(FirstChanceHook, TheMachineProbesRaiseUnseenDuringTheDetection) {
  HookedProcess hooks;
  platform::TProbeRegisters query;
  query.Eax = 0x564D5868;
  query.Ecx = 10;
  query.Edx = 0x5658;
  platform::TProbeRegisters registers = query;
  ASSERT_FALSE(platform::RunMachineProbe(platform::TMachineProbe::VMwareBackDoor, registers));
  EXPECT_EQ(registers.Eax, query.Eax);
  EXPECT_EQ(registers.Edx, query.Edx);
  EXPECT_EQ(g_seen.Stashes, 1);

  g_seen = Seen{};
  FixedSystemFacts facts;
  facts.LiveProbes = true;
  EXPECT_EQ(diag::GetVirtualMachineText(facts), L"");
  EXPECT_EQ(facts.ProbesRun,
            (std::vector<platform::TMachineProbe>{platform::TMachineProbe::VMwareBackDoor,
                                                  platform::TMachineProbe::VirtualPcFirst,
                                                  platform::TMachineProbe::VirtualPcSecond,
                                                  platform::TMachineProbe::ParallelsPort}));
  EXPECT_EQ(g_seen.Stashes + g_seen.Pointers + g_seen.Throws + g_seen.Objects + g_seen.Handles, 0);
  EXPECT_TRUE(diag::IsVarnelLogActiveInThread(diag::kCallingThread));
  // A thread the facility was already off for stays off.
  diag::SetVarnelLogStateInThread(diag::kCallingThread, false);
  EXPECT_EQ(diag::GetVirtualMachineText(facts), L"");
  EXPECT_FALSE(diag::IsVarnelLogActiveInThread(diag::kCallingThread));
}

// With the error reporting's pass-through of unexpected faults, a privileged
// or illegal instruction the facility saw would end the process at first
// chance: the detection must finish, and the process with it, normally.
TEST(ExceptionHookChild, DISABLED_MachineProbesWithWERPassThroughUnexpected) {
  diag::THookSettings settings;
  settings.WERPassThroughUnhandled = true;
  settings.WERPassThroughUnexpected = true;
  HookChild(false, settings);
  FixedSystemFacts facts;
  facts.LiveProbes = true;
  const std::wstring answer = diag::GetVirtualMachineText(facts);
  std::printf("probes ran %u, answer '%ls', facility on %d\n", static_cast<unsigned>(facts.ProbesRun.size()),
              answer.c_str(), diag::IsVarnelLogActiveInThread(diag::kCallingThread) ? 1 : 0);
  std::fflush(stdout);
}

TEST(ExceptionHookScenarios, TheMachineProbesPassTheErrorReportingUnseen) {
  EXPECT_EQ(RunHookChild("MachineProbesWithWERPassThroughUnexpected"), 0u) << g_child_output;
  EXPECT_TRUE(Printed("probes ran 4, answer '', facility on 1")) << g_child_output;
  EXPECT_FALSE(Printed("previous filter")) << g_child_output;
  EXPECT_FALSE(Printed("manager:")) << g_child_output;
}

}  // namespace
}  // namespace zelvic::test
