#include "diagnostics/threads/EThreadHooks.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "diagnostics/util/EDebugOutput.h"
#include "diagnostics/util/EHook.h"
#include "platform/code_memory.h"
#include "platform/file_stream.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "runtime/cxx_runtime.h"
#include "runtime/exceptions.h"
#include "runtime/thread_start.h"

// The patched entries' stubs and what they call (below, outside the
// namespaces: the stubs reach them by their plain names).
extern "C" {
void* __cdecl zelvic_PrepareCreateThread(std::uint32_t* frame);
void* __cdecl zelvic_PrepareExitThread(std::uint32_t* frame);
void zelvic_CreateThreadEntry();
void zelvic_ExitThreadEntry();
// Threads inside the two stubs right now; only the stubs change it.
__attribute__((used)) volatile long zelvic_ThreadEntriesInside = 0;
}

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kGenFailure = 31;                  // ERROR_GEN_FAILURE
constexpr std::uint32_t kMissingEventExitCode = 0x8007001F;  // HRESULT of ERROR_GEN_FAILURE

TThreadHookCallbacks g_hook_callbacks;
std::atomic<bool> g_events{false};
// What the patched entries forward to: the trampolines while patched, the
// system's entries before.
std::atomic<void*> g_create_original{nullptr};
std::atomic<void*> g_exit_original{nullptr};
void* g_create_patched = nullptr;
void* g_exit_patched = nullptr;
// While a patch is being written: its trampoline is handed back only after
// the entry already leads to the hook, and a thread that arrives in between
// waits for the way back instead of taking the patched entry again.
std::atomic<bool> g_installing{false};

void* WayBack(const std::atomic<void*>& original, void* system) noexcept {
  void* p = original.load();
  while (p == nullptr && g_installing.load()) {
    platform::YieldThread();
    p = original.load();
  }
  return p != nullptr ? p : system;
}

void ReportInternal(const wchar_t* where) {
  try {
    if (g_hook_callbacks.InternalError != nullptr) {
      g_hook_callbacks.InternalError(where);
    } else {
      DumpString(std::wstring(where) + L": " + rt::CurrentExceptionMessage(L"General internal error."));
    }
  } catch (...) {
    // A report that fails must not take the thread's creation with it.
  }
}

// The three return addresses above a hook: its own, then those of the two
// frames the frame-pointer chain links above it. Only links that stay
// inside the calling thread's stack, rising, are followed: anything else is
// not a frame.
void CollectCallers(const void* frame, void* own_return, void* callers[3]) noexcept {
  callers[0] = own_return;
  callers[1] = callers[2] = nullptr;
  const platform::TStackBounds stack = platform::CurrentStackBounds();
  auto in_stack = [&](std::uintptr_t p) { return (p & 3) == 0 && p >= stack.Limit && p + 8 <= stack.Base; };
  auto f = reinterpret_cast<std::uintptr_t>(frame);
  for (int i = 1; i < 3 && in_stack(f); ++i) {
    const std::uintptr_t next = *reinterpret_cast<const std::uintptr_t*>(f);
    if (!in_stack(next) || next <= f) break;
    callers[i] = reinterpret_cast<void* const*>(next)[1];
    f = next;
  }
}

// The take-over test: the facility is on and active in the creating thread.
bool TakeOverTest() {
  if (g_hook_callbacks.FacilityOn != nullptr && !g_hook_callbacks.FacilityOn()) return false;
  return IsVarnelLogActiveInThread(kCallingThread);
}

class TBusyScope {
 public:
  TBusyScope() noexcept { SetThreadCreateBusy(true); }
  ~TBusyScope() { SetThreadCreateBusy(false); }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;
};

struct TRoutineCall {
  void* Func;
  void* Parameter;
};
std::uint32_t InvokePlatformRoutine(void* context) {
  const auto* call = static_cast<const TRoutineCall*>(context);
  return reinterpret_cast<TThreadRoutine>(call->Func)(call->Parameter);
}
std::uint32_t InvokeRuntimeRoutine(void* context) {
  const auto* call = static_cast<const TRoutineCall*>(context);
  return reinterpret_cast<rt::TThreadFunc>(call->Func)(call->Parameter);
}
std::uint32_t RunRoutine(std::uint32_t (*invoke)(void*), TRoutineCall call) {
  if (g_hook_callbacks.RunThread != nullptr) return g_hook_callbacks.RunThread(invoke, &call);
  return invoke(&call);
}

std::wstring ClassNameOf(const rt::TThread* object) {
  const char* mangled = typeid(*object).name();
  int status = 0;
  char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && plain != nullptr ? plain : mangled;
  std::free(plain);
  return std::wstring(name.begin(), name.end());
}

void DiscardStartBlock(void* block) { std::unique_ptr<TThreadStartBlock> gone(static_cast<TThreadStartBlock*>(block)); }

// The first steps of a taken-over thread, shared by both wrappers: register,
// name, switch. A failure here is the facility's: it is reported and the
// thread's own routine still runs.
void StartTakenOver(TThreadStartBlock& block) {
  try {
    if (block.Info && block.Info->FThread != nullptr && block.Info->FKind == tkTThread) {
      block.Info->FThreadClassName = ClassNameOf(static_cast<const rt::TThread*>(block.Info->FThread));
    }
    NotifyThreadStart(std::move(block.Info));
    if (!block.Name.empty() && block.Name != kUnnamedThreadMarker) NameThread(block.Name, kCallingThread);
    if (block.VLEnabled != ntsDefault) SetVarnelLogStateInThread(kCallingThread, block.VLEnabled == ntsEnabled);
  } catch (...) {
    ReportInternal(L"ThreadWrapper");
  }
}

// The routine the runtime's thread start runs: the parameter hook puts the
// manager's wrapper and block in place of the routine and parameter it was
// given, and marks the creation it is about to make as taken over.
void BeginThreadParameterHook(rt::TThreadStart& start, std::wstring_view name) {
  void* callers[3];
  CollectCallers(__builtin_frame_address(0), __builtin_return_address(0), callers);
  if (!g_events.load() || !HasThreadBlock() || ThreadCreateBusy() || GetNestingCounter() > 0) return;
  try {
    TBusyScope busy;
    auto record = std::make_unique<TVarnelThreadData>();
    record->FStartingAddress = const_cast<void*>(rt::ThreadStartRoutine());
    record->FParameter = start.Parameter;
    record->FRealStartingAddress = reinterpret_cast<void*>(start.Func);
    record->FRealParameter = start.Parameter;
    record->FParentID = platform::CurrentThreadId();
    // callers[0] lies in the runtime's thread start; its caller made the thread.
    record->FCallerAddress = callers[1];
    record->FKind = tkBeginThread;
    if (reinterpret_cast<const void*>(start.Func) == rt::TThread::ObjectRoutine()) {
      record->FKind = tkTThread;
      record->FThread = start.Parameter;
      // A thread object's own caller is the one that constructs it; an
      // anonymous thread's is the code that asked the runtime for it, not
      // the runtime's helper that constructs it.
      const auto* object = static_cast<const rt::TThread*>(start.Parameter);
      if (object->AnonymousCaller() != nullptr) {
        record->FCallerAddress = const_cast<void*>(object->AnonymousCaller());
      } else if (callers[2] != nullptr) {
        record->FCallerAddress = callers[2];
      }
    }
    const std::wstring given = name.empty() ? std::wstring(kUnnamedThreadMarker) : std::wstring(name);
    record->FName = given;
    record->FDisabledInThread = DefaultDisablesThread(false, true);
    record->FillLocationTexts();
    auto block = std::make_unique<TThreadStartBlock>();
    block->Func = reinterpret_cast<void*>(start.Func);
    block->Parameter = start.Parameter;
    block->Info = std::move(record);
    block->Name = given;
    start.Func = ThreadWrapperBT;
    start.Parameter = block.release();
    start.Discard = DiscardStartBlock;
    MarkRuntimeStartWrapped();
  } catch (...) {
    ReportInternal(L"BeginThreadHook");
  }
}

}  // namespace

TThreadHookCallbacks& ThreadHookCallbacks() noexcept { return g_hook_callbacks; }

platform::TCreateThreadProc OriginalCreateThread() noexcept {
  return reinterpret_cast<platform::TCreateThreadProc>(
      WayBack(g_create_original, reinterpret_cast<void*>(platform::SystemCreateThread())));
}

platform::TExitThreadProc OriginalExitThread() noexcept {
  return reinterpret_cast<platform::TExitThreadProc>(
      WayBack(g_exit_original, reinterpret_cast<void*>(platform::SystemExitThread())));
}

bool EventCreateThread(TThreadRoutine& routine, void*& parameter, void* const callers[3]) {
  if (!HasThreadBlock()) return false;
  // The runtime's own thread start has already put its wrapper in place.
  if (reinterpret_cast<const void*>(routine) == rt::ThreadStartRoutine() && TakeRuntimeStartWrapped()) return false;

  void* const none[3] = {nullptr, nullptr, nullptr};
  void* const* sites = TakeOverTest() ? callers : none;
  const bool busy = ThreadCreateBusy();
  const bool nested = GetNestingCounter() > 0;

  TThreadStartFacts facts;
  facts.Routine = reinterpret_cast<void*>(routine);
  facts.Parameter = parameter;
  facts.Callers = sites;
  facts.CallerAddress = sites[0];
  int decision = 1;
  if (!busy && !nested && sites[0] != nullptr && g_hook_callbacks.RecogniseStart != nullptr) {
    TBusyScope scope;
    g_hook_callbacks.RecogniseStart(facts);
    if (facts.Object != nullptr) {
      decision = 3;
    } else if (facts.Routine != reinterpret_cast<void*>(routine) || facts.Parameter != parameter) {
      decision = 2;
    }
  }
  if (!((decision != 1 || DefaultThreadState() == dtsEnabled) && !busy && !nested && TakeOverTest())) return false;

  TBusyScope scope;
  auto record = std::make_unique<TVarnelThreadData>();
  record->FStartingAddress = reinterpret_cast<void*>(routine);
  record->FParameter = parameter;
  record->FParentID = platform::CurrentThreadId();
  record->FRealStartingAddress = facts.Routine;
  record->FRealParameter = facts.Parameter;
  record->FThread = facts.Object;
  record->FThreadClassName = facts.ClassName;
  record->FCallerAddress = facts.CallerAddress;
  record->FKind = decision == 3 ? tkTThread : decision == 2 ? tkBeginThread : tkGeneric;
  record->FDisabledInThread = DefaultDisablesThread(false, record->FKind != tkGeneric);
  if (record->FKind == tkGeneric && DefaultThreadState() != dtsEnabled) return false;
  record->FillLocationTexts();

  auto block = std::make_unique<TThreadStartBlock>();
  block->Func = reinterpret_cast<void*>(routine);
  block->Parameter = parameter;
  block->Info = std::move(record);
  // The new thread holds the module while it runs. A creation that fails
  // leaves this reference held, and the library loaded: nothing of it runs
  // after the system's call to see the failure.
  block->Module = platform::HoldModuleOf(reinterpret_cast<const void*>(&ThreadWrapperCT));
  routine = &ThreadWrapperCT;
  parameter = block.release();  // the new thread's now
  return true;
}

void EventExitThread(std::uint32_t /*exit_code*/) {
  SetThreadExiting(true);
  NotifyThreadDone();
}

std::uint32_t __stdcall ThreadWrapperCT(void* raw) {
  std::unique_ptr<TThreadStartBlock> block(static_cast<TThreadStartBlock*>(raw));
  const TRoutineCall call{block->Func, block->Parameter};
  void* const module = block->Module;
  StartTakenOver(*block);
  block.reset();
  const std::uint32_t code = RunRoutine(InvokePlatformRoutine, call);
  try {
    NotifyThreadDone();
  } catch (...) {
    ReportInternal(L"ThreadWrapperCT");
  }
  // Returning would come back into this library after the reference is
  // gone; this call drops it and does not return.
  platform::ReleaseModuleAndExitThread(module, code);
}

std::uint32_t ThreadWrapperBT(void* raw) {
  std::unique_ptr<TThreadStartBlock> block(static_cast<TThreadStartBlock*>(raw));
  const TRoutineCall call{block->Func, block->Parameter};
  StartTakenOver(*block);
  block.reset();
  std::uint32_t code = 1;
  try {
    code = RunRoutine(InvokeRuntimeRoutine, call);
  } catch (const rt::Exception&) {
    // The runtime's own exceptions end the thread with code 1 here; the
    // exception hooks have seen them on the way.
    code = 1;
  }
  try {
    NotifyThreadDone();
  } catch (...) {
    ReportInternal(L"ThreadWrapperBT");
  }
  return code;
}

void InstallDefaultEvents() {
  g_events.store(true);
  rt::ThreadParameterHook = BeginThreadParameterHook;
}

void RemoveDefaultEvents() {
  rt::ThreadParameterHook = nullptr;
  g_events.store(false);
}

bool InstallLowLevelHooks(bool use_low_level) {
  // Without the events a patched entry could only end the process.
  if (!use_low_level || !g_events.load()) return false;
  g_installing.store(true);
  if (g_create_patched == nullptr) {
    void* target = reinterpret_cast<void*>(platform::SystemCreateThread());
    void* trampoline = target != nullptr ? HookCodeProcedure(target, reinterpret_cast<void*>(&zelvic_CreateThreadEntry)) : nullptr;
    if (trampoline != nullptr && trampoline != target) {
      g_create_original.store(trampoline);
      g_create_patched = target;
    }
  }
  if (g_exit_patched == nullptr) {
    void* target = reinterpret_cast<void*>(platform::SystemExitThread());
    void* trampoline = target != nullptr ? HookCodeProcedure(target, reinterpret_cast<void*>(&zelvic_ExitThreadEntry)) : nullptr;
    if (trampoline != nullptr && trampoline != target) {
      g_exit_original.store(trampoline);
      g_exit_patched = target;
    }
  }
  g_installing.store(false);
  return g_create_patched != nullptr && g_exit_patched != nullptr;
}

// The trampolines stay until the patching engine ends: a thread that took
// the way back a moment ago may still be inside one.
void RemoveHooks() {
  if (g_create_patched != nullptr) {
    UnhookCodeProcedure(reinterpret_cast<void*>(&zelvic_CreateThreadEntry));
    g_create_patched = nullptr;
    g_create_original.store(nullptr);
  }
  if (g_exit_patched != nullptr) {
    UnhookCodeProcedure(reinterpret_cast<void*>(&zelvic_ExitThreadEntry));
    g_exit_patched = nullptr;
    g_exit_original.store(nullptr);
  }
  WaitForThreadsInsideEntries();
}

// The entries lead here no more, but a thread that came in a moment ago may
// still be on its way through a stub, and the library's unload would take
// the code from under it: any thread that ends, the host's own and pool
// threads included, passes through the exit stub. The wait is bounded,
// because the unload holds the loader lock and a thread in a stub might
// need it; after the count falls, a few switches let a thread finish the
// one instruction between the count and its jump.
void WaitForThreadsInsideEntries() noexcept {
  constexpr std::uint32_t kMostMs = 2000;
  for (std::uint32_t waited = 0; __atomic_load_n(&zelvic_ThreadEntriesInside, __ATOMIC_ACQUIRE) > 0 && waited < kMostMs;
       ++waited) {
    platform::SleepMs(1);
  }
  for (int i = 0; i < 3; ++i) platform::SleepMs(0);
}

long ThreadsInsideEntries() noexcept { return __atomic_load_n(&zelvic_ThreadEntriesInside, __ATOMIC_ACQUIRE); }

}  // namespace zelvic::diag

// The patched entries lead to two small stubs that keep this library's code
// off the stack while the system's routine runs: a thread that is created
// may unload the library before its creator returns, and a library that
// unloads takes its patches out, not the frames of threads inside it. The
// stubs hand the stack to a preparation routine and then jump: to the way
// back (the system's routine, returning straight to the caller), or, when
// the preparation answered the call itself, to a return with its result.
// Each stub counts itself in for as long as it runs here, so that an unload
// on another thread can wait for it to leave (see RemoveHooks).

asm(R"(
  .text
  .p2align 4
  .globl _zelvic_CreateThreadEntry
_zelvic_CreateThreadEntry:
  lock incl _zelvic_ThreadEntriesInside
  pushl %esp
  call _zelvic_PrepareCreateThread
  addl $4, %esp
  testl %eax, %eax
  jz 1f
  lock decl _zelvic_ThreadEntriesInside
  jmp *%eax
1:
  movl 4(%esp), %eax
  lock decl _zelvic_ThreadEntriesInside
  ret $24

  .p2align 4
  .globl _zelvic_ExitThreadEntry
_zelvic_ExitThreadEntry:
  lock incl _zelvic_ThreadEntriesInside
  pushl %esp
  call _zelvic_PrepareExitThread
  addl $4, %esp
  lock decl _zelvic_ThreadEntriesInside
  jmp *%eax
)");

// `frame` is the caller's stack at the patched entry: its return address,
// then CreateThread's six arguments. Returns where the stub goes on: the
// system's routine, with the routine and parameter slots rewritten when the
// thread is taken over; 0 with the result in the first argument's slot when
// the call is answered here.
extern "C" __attribute__((noinline, used)) void* __cdecl zelvic_PrepareCreateThread(std::uint32_t* frame) {
  const zelvic::rt::TVisitingThreadScope visit;
  void* callers[3];
  zelvic::diag::CollectCallers(__builtin_frame_address(0), reinterpret_cast<void*>(frame[0]), callers);
  if (!zelvic::diag::g_events.load()) {
    zelvic::diag::DumpString(L"EventCreateThread is not installed");
    zelvic::platform::TerminateCurrentProcess(zelvic::diag::kMissingEventExitCode);
  }
  try {
    auto routine = reinterpret_cast<zelvic::diag::TThreadRoutine>(frame[3]);
    void* parameter = reinterpret_cast<void*>(frame[4]);
    if (zelvic::diag::EventCreateThread(routine, parameter, callers)) {
      frame[3] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(routine));
      frame[4] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(parameter));
    }
    return reinterpret_cast<void*>(zelvic::diag::OriginalCreateThread());
  } catch (...) {
    zelvic::diag::ReportInternal(L"CreateThreadHook");
    zelvic::platform::SetLastErrorCode(zelvic::diag::kGenFailure);
  }
  frame[1] = 0;
  return nullptr;
}

// `frame`: the return address and ExitThread's exit code.
extern "C" __attribute__((noinline, used)) void* __cdecl zelvic_PrepareExitThread(std::uint32_t* frame) {
  const zelvic::rt::TVisitingThreadScope visit;
  if (!zelvic::diag::g_events.load()) {
    zelvic::diag::DumpString(L"EventExitThread is not installed");
    zelvic::platform::TerminateCurrentProcess(zelvic::diag::kMissingEventExitCode);
  }
  try {
    zelvic::diag::EventExitThread(frame[1]);
  } catch (...) {
    zelvic::diag::ReportInternal(L"ExitThreadHook");
  }
  return reinterpret_cast<void*>(zelvic::diag::OriginalExitThread());
}
