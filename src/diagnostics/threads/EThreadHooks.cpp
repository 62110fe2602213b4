#include "diagnostics/threads/EThreadHooks.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "diagnostics/util/EDebugOutput.h"
#include "diagnostics/util/EHook.h"
#include "platform/code_memory.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "runtime/exceptions.h"
#include "runtime/thread_start.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kGenFailure = 31;                  // ERROR_GEN_FAILURE
constexpr std::uint32_t kMissingEventExitCode = 0x8007001F;  // HRESULT of ERROR_GEN_FAILURE

TThreadHookCallbacks g_hook_callbacks;
std::atomic<bool> g_events{false};
// What the patched entries forward to: the trampolines while patched, the
// system's entries before.
std::atomic<platform::TCreateThreadProc> g_create_original{nullptr};
std::atomic<platform::TExitThreadProc> g_exit_original{nullptr};
void* g_create_patched = nullptr;
void* g_exit_patched = nullptr;
// While a patch is being written: its trampoline is handed back only after
// the entry already leads to the hook, and a thread that arrives in between
// waits for the way back instead of taking the patched entry again.
std::atomic<bool> g_installing{false};

template <typename T>
T WayBack(const std::atomic<T>& original, T system) noexcept {
  T p = original.load();
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
      // A thread object's own caller is the one that constructs it.
      if (callers[2] != nullptr) record->FCallerAddress = callers[2];
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

__attribute__((noinline)) void* __stdcall CreateThreadHook(void* security, std::uint32_t stack_size,
                                                           TThreadRoutine routine, void* parameter,
                                                           std::uint32_t flags, std::uint32_t* thread_id) {
  void* callers[3];
  CollectCallers(__builtin_frame_address(0), __builtin_return_address(0), callers);
  if (!g_events.load()) {
    DumpString(L"EventCreateThread is not installed");
    platform::TerminateCurrentProcess(kMissingEventExitCode);
  }
  try {
    return EventCreateThread(security, stack_size, routine, parameter, flags, thread_id, callers);
  } catch (...) {
    ReportInternal(L"CreateThreadHook");
    platform::SetLastErrorCode(kGenFailure);
    return nullptr;
  }
}

__attribute__((noinline)) void __stdcall ExitThreadHook(std::uint32_t exit_code) {
  if (!g_events.load()) {
    DumpString(L"EventExitThread is not installed");
    platform::TerminateCurrentProcess(kMissingEventExitCode);
  }
  try {
    EventExitThread(exit_code);
  } catch (...) {
    ReportInternal(L"ExitThreadHook");
  }
  OriginalExitThread()(exit_code);
  __builtin_unreachable();
}

}  // namespace

TThreadHookCallbacks& ThreadHookCallbacks() noexcept { return g_hook_callbacks; }

platform::TCreateThreadProc OriginalCreateThread() noexcept {
  return WayBack(g_create_original, platform::SystemCreateThread());
}

platform::TExitThreadProc OriginalExitThread() noexcept { return WayBack(g_exit_original, platform::SystemExitThread()); }

void* EventCreateThread(void* security, std::uint32_t stack_size, TThreadRoutine routine, void* parameter,
                        std::uint32_t flags, std::uint32_t* thread_id, void* const callers[3]) {
  const platform::TCreateThreadProc original = OriginalCreateThread();
  auto plain = [&] { return original(security, stack_size, routine, parameter, flags, thread_id); };
  if (!HasThreadBlock()) return plain();
  // The runtime's own thread start has already put its wrapper in place.
  if (reinterpret_cast<const void*>(routine) == rt::ThreadStartRoutine() && TakeRuntimeStartWrapped()) return plain();

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
  if (!((decision != 1 || DefaultThreadState() == dtsEnabled) && !busy && !nested && TakeOverTest())) return plain();

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
  if (record->FKind == tkGeneric && DefaultThreadState() != dtsEnabled) return plain();
  record->FillLocationTexts();

  auto block = std::make_unique<TThreadStartBlock>();
  block->Func = reinterpret_cast<void*>(routine);
  block->Parameter = parameter;
  block->Info = std::move(record);
  block->Module = platform::HoldModuleOf(reinterpret_cast<const void*>(&ThreadWrapperCT));
  void* thread = original(security, stack_size, &ThreadWrapperCT, block.get(), flags, thread_id);
  if (thread != nullptr) {
    (void)block.release();  // the new thread's now
  } else {
    const std::uint32_t error = platform::LastErrorCode();
    platform::ReleaseModule(block->Module);
    platform::SetLastErrorCode(error);
  }
  return thread;
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
    void* trampoline = target != nullptr ? HookCodeProcedure(target, reinterpret_cast<void*>(&CreateThreadHook)) : nullptr;
    if (trampoline != nullptr && trampoline != target) {
      g_create_original.store(reinterpret_cast<platform::TCreateThreadProc>(trampoline));
      g_create_patched = target;
    }
  }
  if (g_exit_patched == nullptr) {
    void* target = reinterpret_cast<void*>(platform::SystemExitThread());
    void* trampoline = target != nullptr ? HookCodeProcedure(target, reinterpret_cast<void*>(&ExitThreadHook)) : nullptr;
    if (trampoline != nullptr && trampoline != target) {
      g_exit_original.store(reinterpret_cast<platform::TExitThreadProc>(trampoline));
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
    UnhookCodeProcedure(reinterpret_cast<void*>(&CreateThreadHook));
    g_create_patched = nullptr;
    g_create_original.store(nullptr);
  }
  if (g_exit_patched != nullptr) {
    UnhookCodeProcedure(reinterpret_cast<void*>(&ExitThreadHook));
    g_exit_patched = nullptr;
    g_exit_original.store(nullptr);
  }
}

}  // namespace zelvic::diag
