#include "diagnostics/exceptions/EExceptionManager.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/config/EFilters.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/exceptions/EExceptionHook.h"
#include "diagnostics/stacks/ECallStackFormatter.h"
#include "diagnostics/stacks/EMemoryMapProbes.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "diagnostics/util/EDebugOutput.h"
#include "diagnostics/util/EFatalReportText.h"
#include "platform/module_loads.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"
#include "runtime/thread_storage.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {

namespace {

// An exception's call stack also keeps the frames the facility knows only by
// their module (a host program without debug information), so that a report
// runs from the fault through the callers into the host.
constexpr TVarnelDebugDetails kExceptionDebugDetails = kDefaultDebugDetails | (1u << ddModule);

constexpr wchar_t kManagerUnit[] = L"EExceptionManager";

void* Ptr(std::uint32_t v) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(v)); }
std::uint32_t U32(const void* p) noexcept { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// Thread-naming and debugger-print exceptions are the debugger's business.
bool IsDebuggerNotice(const TExceptionRecord32& r) noexcept {
  return (r.ExceptionCode == 0x406D1388 && r.NumberParameters == 4) ||
         (r.ExceptionCode == 0x40010006 && r.NumberParameters == 2);
}

// What the manager keeps for each thread, on its own TLS slot.
struct TThreadState {
  // A record ended on another thread leaves this pointer behind: read it
  // through LiveLast.
  TVarnelExceptionInfo* Last = nullptr;
  // Whether the facility was on for the thread when the manager's current
  // work on it began.
  bool EntryActive = false;
  // One platform exception seen first-chance.
  bool Stashed = false;
  TExceptionRecord32 StashRecord;
  TContext32 StashContext;
  void* StashObject = nullptr;
  void* StashAddress = nullptr;
  // The type of a C++ object stashed at its throw (out of memory).
  const std::type_info* StashType = nullptr;
};

TVarnelExceptionInfo* LiveLast(const TThreadState* state) noexcept {
  if (state == nullptr || !TVarnelExceptionInfo::IsLive(state->Last)) return nullptr;
  return state->Last;
}

void ReleaseThreadState(void* value) { std::unique_ptr<TThreadState> owned(static_cast<TThreadState*>(value)); }

TExceptionManager* g_manager = nullptr;
rt::TStepFailureHandler g_previous_handler = nullptr;

// The facility is switched off for the calling thread while the manager
// works on it, so that its own exceptions are not captured; the nesting
// counters tell the memory filter and the thread hooks the same.
class TFacilityWork {
 public:
  TFacilityWork() : was_active_(IsVarnelLogActiveInThread(kCallingThread)) {
    if (was_active_) SetVarnelLogStateInThread(kCallingThread, false);
    SetNestingCounter(GetNestingCounter() + 1);
  }
  ~TFacilityWork() {
    SetNestingCounter(GetNestingCounter() - 1);
    if (was_active_) SetVarnelLogStateInThread(kCallingThread, true);
  }
  TFacilityWork(const TFacilityWork&) = delete;
  TFacilityWork& operator=(const TFacilityWork&) = delete;

 private:
  TFacilityNesting memory_nesting_;
  bool was_active_;
};

// The pipeline's failures become result codes; "cancelled" is the silent
// abort of the library's classes.
bool IsAbort(const rt::Exception& e) noexcept { return std::wstring_view(e.ClassName()) == L"EAbort"; }

void WriteFailureNote(const TResponse& response) {
  DumpString(L"ProcessException failed: " + rt::Hex8(static_cast<std::uint32_t>(response.SendResult)) +
             L", code: " + std::to_wstring(response.ErrorCode) + L", message: " + response.ErrorMessage);
}

// The record's reader, as the exception filters read class names.
class TRecordFilterReader final : public TFilterObjectReader {
 public:
  explicit TRecordFilterReader(const TExceptionReader& reader) noexcept : reader_(reader) {}
  bool Accepts(const void* object) const override { return object == reader_.ExceptionObject(); }
  std::vector<std::wstring> ClassNameChain(const void*) const override { return reader_.ClassNameChain(); }
  bool ReadProperty(const void*, std::wstring_view, TFilterPropertyValue&) const override { return false; }

 private:
  const TExceptionReader& reader_;
};

}  // namespace

struct TExceptionManager::TState {
  platform::TRecursiveLock Lock;
  std::vector<TVarnelExceptionInfo*> Exceptions;
  // C++ objects have no slot for their record: object -> record.
  std::vector<std::pair<void*, TVarnelExceptionInfo*>> Ties;
  std::vector<double> Times;
  int TimesStart = -1, TimesEnd = -1;
  std::vector<void*> Notifications;
  rt::TThreadSlot Slot;
  std::unique_ptr<TVarnelModuleOptions> Defaults;

  TThreadState* Thread(bool create) {
    auto* state = static_cast<TThreadState*>(Slot.Get());
    if (state == nullptr && create && Slot.IsAllocated()) {
      auto made = std::make_unique<TThreadState>();
      state = made.release();
      Slot.Set(state);
    }
    return state;
  }
};

namespace {

// Short list operations only: nothing under it reads foreign memory or calls
// out, so a platform fault never unwinds through it.
class TManagerLock {
 public:
  explicit TManagerLock(platform::TRecursiveLock& lock) noexcept : lock_(lock) { lock_.Enter(); }
  ~TManagerLock() { lock_.Leave(); }
  TManagerLock(const TManagerLock&) = delete;
  TManagerLock& operator=(const TManagerLock&) = delete;

 private:
  platform::TRecursiveLock& lock_;
};

}  // namespace

TDialogStepProc& DialogStep() noexcept {
  static TDialogStepProc step = nullptr;
  return step;
}

TExceptionManager* TExceptionManager::Instance() noexcept { return g_manager; }

TExceptionManager::TExceptionManager() : FState(std::make_unique<TState>()) {
  FState->Lock.Create();
  FState->Slot.Allocate(ReleaseThreadState);
}

TExceptionManager::~TExceptionManager() {
  FState->Slot.Free();
  FState->Lock.Destroy();
}

const TVarnelModuleOptions& TExceptionManager::LibraryOptions() {
  if (const TVarnelModuleOptions* own = OwnModuleOptions()) return *own;
  if (!FState->Defaults) FState->Defaults = std::make_unique<TVarnelModuleOptions>();
  return *FState->Defaults;
}

void TExceptionManager::Start() {
  // C++ objects carry no stack-information slot: records are tied to them
  // through the manager's side table.
  FMode = emD2009;
  FDeferredCallStacks = LibraryOptions().DeferredCallStacks();
}

// ---------------------------------------------------------------------------
// Ties between objects and records.

void TExceptionManager::Tie(void* object, TVarnelExceptionInfo* info) {
  if (object == nullptr) return;
  {
    TManagerLock lock(FState->Lock);
    auto& ties = FState->Ties;
    const auto it = std::find_if(ties.begin(), ties.end(), [object](const auto& t) { return t.first == object; });
    if (info == nullptr) {
      if (it != ties.end()) ties.erase(it);
      return;
    }
    if (it != ties.end() && it->second == info && info->ObjectAssociated()) return;
    if (it != ties.end())
      it->second = info;
    else
      ties.emplace_back(object, info);
  }
  info->SetHasExceptObjRef(true);
  if (info->ExceptionObject() == nullptr) info->SetExceptionObject(object);
  info->SetObjectAssociated(true);
}

void TExceptionManager::Untie(void* object) { Tie(object, nullptr); }

TVarnelExceptionInfo* TExceptionManager::FindByObject(void* object) {
  if (object == nullptr) return nullptr;
  TVarnelExceptionInfo* found = nullptr;
  {
    TManagerLock lock(FState->Lock);
    for (const auto& t : FState->Ties)
      if (t.first == object) found = t.second;
  }
  return TVarnelExceptionInfo::IsLive(found) ? found : nullptr;
}

void TExceptionManager::Remove(TVarnelExceptionInfo* info) noexcept {
  TManagerLock lock(FState->Lock);
  auto& list = FState->Exceptions;
  list.erase(std::remove(list.begin(), list.end(), info), list.end());
  auto& ties = FState->Ties;
  ties.erase(std::remove_if(ties.begin(), ties.end(), [info](const auto& t) { return t.second == info; }), ties.end());
  if (TThreadState* state = FState->Thread(false); state && state->Last == info) state->Last = nullptr;
}

void TExceptionManager::RemoveNotify(TVarnelExceptionInfo* info, void* data) {
  static_cast<TExceptionManager*>(data)->Remove(info);
}

// ---------------------------------------------------------------------------
// Info.

namespace {

bool Matches(const TVarnelExceptionInfo& last, const TExceptionData& capture) {
  if (last.ExceptionRecord() == capture.ExceptionRecord) return true;
  if (capture.ExceptionObject == nullptr) return false;
  const TExceptionRecord32& r = last.ExceptionRecord();
  return (capture.ExceptionRecord.ExceptionCode == 0 || r.ExceptionCode == capture.ExceptionRecord.ExceptionCode) &&
         (capture.ExceptionAddress == nullptr || last.Address() == capture.ExceptionAddress) &&
         last.ExceptionObject() == capture.ExceptionObject;
}

void FillModule(TExceptionData& data) {
  data.ExceptionModule = platform::ModuleBaseOf(data.ExceptionAddress);
  data.ExceptionModuleName = data.ExceptionModule ? platform::ModuleFileName(data.ExceptionModule) : std::wstring();
}

void TakeFromReader(TExceptionData& data, const TExceptionReader& reader) {
  data.ExceptionReaderClass = &reader.Class();
  data.ExceptionAddress = reader.ExceptionAddress();
  data.ExceptionType = reader.ExceptionType();
  data.ExceptionMessage = reader.ExceptionMessage();
  data.ExceptionObject = reader.ExceptionObject();
  data.HelpContext = reader.HelpContext();
  if (reader.TypeInfo()) data.ExceptionTypeInfo = reader.TypeInfo();
  // A mark is only a record when this library made it.
  void* mark = reader.ExceptionMark();
  data.ExceptionMark = TVarnelExceptionInfo::IsLive(mark) ? mark : nullptr;
  data.ExceptionNative = reader.Class().Native(data.ExceptionObject, data.ExceptionTypeInfo);
  data.ExceptionSoftware = reader.Class().Software(data.ExceptionObject, data.ExceptionTypeInfo);
}

}  // namespace

TVarnelExceptionInfo* TExceptionManager::Info(const TExceptionData& data, bool forced_new, bool respect_activation) {
  if (!FState->Slot.IsAllocated()) return nullptr;
  // Memory may have changed since the last exception: the fast readability
  // test starts afresh (it stays empty when the option keeps it out).
  InvalidateMemoryMap();
  if (respect_activation && !IsVarnelLogActiveInThread(kCallingThread)) return nullptr;
  if (IsDebuggerNotice(data.ExceptionRecord)) return nullptr;
  try {
    const bool active = IsVarnelLogActiveInThread(kCallingThread);
    TFacilityWork work;
    if (TThreadState* state = FState->Thread(true)) state->EntryActive = active;
    return InfoUnguarded(data, forced_new);
  } catch (...) {
    // Info answers null rather than raising: the hook then lets the
    // runtime go on as if the facility were not there.
    return nullptr;
  }
}

TVarnelExceptionInfo* TExceptionManager::InfoUnguarded(TExceptionData data, bool forced_new) {
  TThreadState* state = FState->Thread(true);
  if (state == nullptr) return nullptr;
  if (data._Optional) {
    state->Stashed = false;
    TVarnelExceptionInfo* last = LiveLast(state);
    if (last && IsEmptyContext(last->Context()) && Matches(*last, data)) {
      last->StoreContext(data.ExceptionContext, false);
    } else {
      state->Stashed = true;
      state->StashRecord = data.ExceptionRecord;
      state->StashContext = data.ExceptionContext;
      state->StashObject = data.ExceptionObject;
      state->StashAddress = data.ExceptionAddress;
    }
    TVarnelExceptionInfo* found = FindByObject(data.ExceptionObject);
    if (!found && last && Matches(*last, data)) found = last;
    if (found) Tie(data.ExceptionObject, found);
    return found;
  }
  TVarnelExceptionInfo* found = FindByObject(data.ExceptionObject);
  TVarnelExceptionInfo* last = LiveLast(state);
  if (!found && !forced_new && last && Matches(*last, data)) found = last;
  if (found) {
    if (found->ThreadID() != platform::CurrentThreadId()) {
      // Another thread's exception reached this one (a thread's result
      // re-raised by its waiter): this thread's stack joins it once.
      state->Last = found;
      if (!found->CapturedThreadCaller()) {
        found->SetCapturedThreadCaller(true);
        if (TVarnelBaseStackList* stack = found->CallStack()) {
          if (auto current = GetCurrentCallStack(0)) stack->AddCallStack(current.get(), true);
        }
      }
    }
    Tie(data.ExceptionObject, found);
    return found;
  }
  return CreateRecord(std::move(data));
}

TVarnelExceptionInfo* TExceptionManager::CreateRecord(TExceptionData data) {
  TThreadState* state = FState->Thread(true);
  const std::wstring description = L"TExceptionData $" + rt::Hex8(U32(&data)) + L" $" +
                                   rt::Hex8(U32(data.ExceptionAddress)) + L" " + data.ExceptionType + L" " +
                                   data.ExceptionMessage;
  RaiseExceptionAction(nullptr, kActionBeforeCreate, const_cast<wchar_t*>(description.c_str()), 0);
  const bool same_thread = data.ExceptionThreadID == 0 || data.ExceptionThreadID == platform::CurrentThreadId();
  if (same_thread && state && state->Stashed && IsEmptyContext(data.ExceptionContext) &&
      (state->StashRecord == data.ExceptionRecord ||
       (data.ExceptionObject && state->StashObject == data.ExceptionObject))) {
    data.ExceptionContext = state->StashContext;
    data.StackTop = Ptr(platform::CurrentStackBounds().Base);
    data.StackPoint = Ptr(state->StashContext.Esp);
    data.StackEIP = state->StashAddress;
  }
  if (same_thread && data.StackPoint == nullptr) {
    data.StackTop = Ptr(platform::CurrentStackBounds().Base);
    data.StackPoint = __builtin_frame_address(0);
    data.StackEIP = __builtin_return_address(0);
  }
  const TVarnelModuleOptions& options = LibraryOptions();
  TCallStackRequest request = TCallStackRequest::kFromContext;
  if (!same_thread || data._SkipCallStack)
    request = TCallStackRequest::kEmpty;
  else if (FDeferredCallStacks)
    request = TCallStackRequest::kSnapshot;
  TVarnelExceptionInfo* info = nullptr;
  try {
    info = TVarnelExceptionInfo::Create(data, !FDeferredCallStacks && options.EarlyCapture(),
                                        options.loSaveAssemblerAndCPUSections(), request);
  } catch (...) {
    RaiseExceptionAction(nullptr, kActionAfterCreate, nullptr, 0);
    throw;
  }
  RaiseExceptionAction(info, kActionAfterCreate, info, 0);
  info->SetCreatorModule(platform::ThisModuleBase());
  info->SetDeleteNotify(&TExceptionManager::RemoveNotify, this);
  {
    TManagerLock lock(FState->Lock);
    FState->Exceptions.push_back(info);
  }
  Tie(data.ExceptionObject, info);
  Number(info);
  return info;
}

void TExceptionManager::Number(TVarnelExceptionInfo* info) {
  if (info->ExceptionNumber() >= 0) return;
  info->SetExceptionNumber(__atomic_add_fetch(&FCount, 1, __ATOMIC_SEQ_CST));
  MakeLastException(info);
  RaiseExceptionNotify(info);
}

void TExceptionManager::MakeLastException(TVarnelExceptionInfo* info) {
  TThreadState* state = FState->Thread(true);
  if (state == nullptr) return;
  TVarnelExceptionInfo* previous = LiveLast(state);
  info->SetThreadID(platform::CurrentThreadId());
  state->Last = info;
  if (previous == nullptr || previous == info || !TVarnelExceptionInfo::IsLive(previous)) return;
  const bool object_alive = previous->ExceptionObject() != nullptr && FindByObject(previous->ExceptionObject());
  if (!previous->Handled() && !previous->Processed() && object_alive &&
      previous->Options().boUseChainedExceptions()) {
    previous->SetObjectAssociated(true);
    previous->SetDeleteNotify(nullptr, nullptr);
    {
      TManagerLock lock(FState->Lock);
      auto& list = FState->Exceptions;
      list.erase(std::remove(list.begin(), list.end(), previous), list.end());
    }
    info->SetInnerException(previous);
    return;
  }
  // The previous exception is over: processed late, as when its object
  // dies. The facility is off while the manager works on this thread, so
  // the late step asks what the thread was before.
  ProcessLate(previous, previous->ExceptionObject(), rrPlain, state->EntryActive);
}

bool TExceptionManager::ProcessLate(TVarnelExceptionInfo* info, void* object, int reason, bool active) {
  bool processed = false;
  if (!info->Failed()) {
    if (!info->Processed()) {
      if (reason == rrSafeCall) info->SetSafeCallExpt(true);
      if (reason != rrAtExit) info->SetHandled(true);
      if (active && ShouldProcess(*info, false)) {
        const bool now_active = IsVarnelLogActiveInThread(kCallingThread);
        if (!now_active) SetVarnelLogStateInThread(kCallingThread, true);
        Handle(info, reason != rrAtExit, true);
        if (!now_active) SetVarnelLogStateInThread(kCallingThread, false);
        info->SetProcessed(true);
      }
    }
    processed = true;
  } else {
    info->SetObjectAssociated(true);
    info->SetProcessed(true);
  }
  if (reason == rrPlain && object) Untie(object);
  if (TThreadState* state = FState->Thread(false); state && state->Last == info) state->Last = nullptr;
  info->ReleaseExceptionObject();
  TVarnelExceptionInfo::Delete(info);
  return processed;
}

TVarnelExceptionInfo* TExceptionManager::Info(const TExceptionRecord32& record, const TContext32* context,
                                              bool forced_new, bool respect_activation) {
  if (respect_activation && !IsVarnelLogActiveInThread(kCallingThread)) return nullptr;
  if (IsDebuggerNotice(record)) return nullptr;
  TExceptionData data;
  try {
    TFacilityWork work;
    data.ExceptionThreadID = platform::CurrentThreadId();
    data.ExceptionRecord = record;
    data.ExceptionAddress = Ptr(record.ExceptionAddress);
    if (context != nullptr) {
      data.ExceptionContext = *context;
      data.StackTop = Ptr(platform::CurrentStackBounds().Base);
      data.StackPoint = Ptr(context->Ebp);
      data.StackEIP = Ptr(context->Eip);
    }
    if (auto reader = FindReaderForRecord(record)) TakeFromReader(data, *reader);
    FillModule(data);
  } catch (...) {
    // As Info: no record rather than a failure in the hook.
    return nullptr;
  }
  TVarnelExceptionInfo* info = Info(data, forced_new, false);
  if (info && info->OriginalAddr() == nullptr) info->SetOriginalAddr(Ptr(record.ExceptionAddress));
  return info;
}

TVarnelExceptionInfo* TExceptionManager::Info(void* object, const std::type_info* type, void* address,
                                              bool forced_new, bool respect_activation) {
  if (respect_activation && !IsVarnelLogActiveInThread(kCallingThread)) return nullptr;
  if (TVarnelExceptionInfo* tied = FindByObject(object)) return tied;
  if (type == nullptr && object != nullptr) {
    // An object stashed at its throw (out of memory then) brings its type.
    const TThreadState* state = FState->Thread(false);
    if (state && state->Stashed && state->StashObject == object) type = state->StashType;
  }
  TExceptionData data;
  try {
    TFacilityWork work;
    data.ExceptionThreadID = platform::CurrentThreadId();
    data.ExceptionAddress = address;
    data.ExceptionObject = object;
    data.ExceptionTypeInfo = type;
    if (auto reader = FindReaderForObject(object, address, type)) TakeFromReader(data, *reader);
    if (data.ExceptionAddress == nullptr) data.ExceptionAddress = address;
    FillModule(data);
  } catch (...) {
    return nullptr;
  }
  TVarnelExceptionInfo* info = Info(data, forced_new, false);
  if (info) {
    if (info->OriginalAddr() == nullptr) info->SetOriginalAddr(address);
    Tie(object, info);
  }
  return info;
}

TVarnelExceptionInfo* TExceptionManager::Info(const TCxxThrow& capture, bool forced_new, bool respect_activation) {
  if (respect_activation && !IsVarnelLogActiveInThread(kCallingThread)) return nullptr;
  if (capture.Rethrow) {
    if (TVarnelExceptionInfo* tied = FindByObject(capture.Object)) return tied;
  }
  if (capture.Type != nullptr && *capture.Type == typeid(std::bad_alloc)) {
    // Out of memory at the throw: making a record now would ask for more.
    // The first-chance stash keeps what is needed, without allocating; the
    // record is made when the object is asked for later.
    if (TThreadState* state = FState->Thread(false)) {
      state->Stashed = true;
      state->StashRecord = {};
      state->StashContext = {};
      state->StashContext.ContextFlags = kContextFull;
      state->StashContext.Eip = U32(capture.Address);
      state->StashContext.Ebp = U32(capture.Frame);
      state->StashContext.Esp = U32(capture.StackPointer);
      state->StashObject = capture.Object;
      state->StashAddress = capture.Address;
      state->StashType = capture.Type;
    }
    return nullptr;
  }
  TExceptionData data;
  try {
    TFacilityWork work;
    data.ExceptionThreadID = platform::CurrentThreadId();
    data.ExceptionAddress = capture.Address;
    data.ExceptionObject = capture.Object;
    data.ExceptionTypeInfo = capture.Type;
    data.ExceptionRecord.ExceptionCode = kLanguageExceptionFirst;
    data.ExceptionRecord.ExceptionFlags = 1;
    data.ExceptionRecord.ExceptionAddress = U32(capture.Address);
    data.ExceptionRecord.NumberParameters = 2;
    data.ExceptionRecord.ExceptionInformation[0] = U32(capture.Address);
    data.ExceptionRecord.ExceptionInformation[1] = U32(capture.Object);
    // The thrower's registers as far as the throw knows them: enough for a
    // snapshot of its stack before the unwinding overwrites it.
    if (capture.Frame != nullptr || capture.StackPointer != nullptr) {
      data.ExceptionContext.ContextFlags = kContextFull;
      data.ExceptionContext.Eip = U32(capture.Address);
      data.ExceptionContext.Ebp = U32(capture.Frame);
      data.ExceptionContext.Esp = U32(capture.StackPointer ? capture.StackPointer : capture.Frame);
      data.StackPoint = capture.Frame;
      data.StackEIP = capture.Address;
    }
    data.StackTop = Ptr(platform::CurrentStackBounds().Base);
    if (auto reader = FindReaderForObject(capture.Object, capture.Address, capture.Type))
      TakeFromReader(data, *reader);
    data.ExceptionAddress = capture.Address;
    FillModule(data);
  } catch (...) {
    return nullptr;
  }
  TVarnelExceptionInfo* info = Info(data, forced_new && !capture.Rethrow, false);
  if (info) {
    if (info->OriginalAddr() == nullptr) info->SetOriginalAddr(capture.Address);
    Tie(capture.Object, info);
  }
  return info;
}

void TExceptionManager::StashFirstChance(const TExceptionRecord32& record, const TContext32* context) {
  if (IsDebuggerNotice(record)) return;
  TExceptionData data;
  data.ExceptionRecord = record;
  data.ExceptionAddress = Ptr(record.ExceptionAddress);
  if (context) data.ExceptionContext = *context;
  data._Optional = true;
  Info(data, false, true);
}

// ---------------------------------------------------------------------------
// Handle.

bool ShouldProcess(TVarnelExceptionInfo& info, bool force) {
  if (force || !info.Handled()) return true;
  const TVarnelModuleOptions& options = info.Options();
  if (info.SafeCallExpt()) return options.boHandleSafeCallExceptions() || options.boCatchHandledExceptions();
  return options.boCatchHandledExceptions();
}

TResponse TExceptionManager::Handle(TVarnelExceptionInfo* info, bool handled, bool respect_activation) {
  TResponse skipped;
  skipped.SendResult = kResultSkipped;
  if (info == nullptr) return skipped;
  if (respect_activation && !IsVarnelLogActiveInThread(kCallingThread)) return skipped;
  if (handled) {
    info->SetHandled(true);
    if (!ShouldProcess(*info, !respect_activation)) return skipped;
  }
  TFacilityWork work;
  TThreadsNesting threads_nesting;
  return Pipeline(info, handled, respect_activation);
}

TResponse TExceptionManager::Handle(void* object, const std::type_info* type, void* address, bool handled,
                                    bool respect_activation) {
  return Handle(Info(object, type, address, false, respect_activation), handled, respect_activation);
}

TResponse TExceptionManager::Handle(const TExceptionRecord32& record, const TContext32* context, bool handled,
                                    bool respect_activation) {
  return Handle(Info(record, context, false, respect_activation), handled, respect_activation);
}

TResponse TExceptionManager::Pipeline(TVarnelExceptionInfo* info, bool handled, bool respect_activation) {
  TResponse response;
  try {
    if (handled) info->SetHandled(true);
    bool force = !respect_activation;
    if (info->Handled() && !ShouldProcess(*info, force)) {
      response.SendResult = kResultSkipped;
      return response;
    }
    if (info->ThreadID() != platform::CurrentThreadId() && info->ThreadException() &&
        !info->CapturedThreadCaller()) {
      // A thread's exception handled by the thread that waits for it: the
      // waiter's stack shows where the result was taken.
      info->SetCapturedThreadCaller(true);
      if (TVarnelBaseStackList* stack = info->CallStack()) {
        if (auto current = GetCurrentCallStack(0)) stack->AddCallStack(current.get(), true);
      }
    }
    if (!RaiseProcessingApproval(info)) {
      response.SendResult = kResultSkipped;
      return response;
    }
    TVarnelModuleOptions& options = info->Options();
    TFilterExceptionData filter_data;
    filter_data.ExceptionType = info->ExceptionClass();
    filter_data.ExceptionHandled = info->Handled();
    filter_data.ExceptionAddress = reinterpret_cast<std::uintptr_t>(info->Address());
    filter_data.ExceptionObject = info->ExceptionObject();
    filter_data.ExceptionNative = info->ExceptionNative();
    filter_data.SafeCall = info->SafeCallExpt();
    std::unique_ptr<TRecordFilterReader> reader;
    if (info->Reader() && info->ExceptionObject()) {
      reader = std::make_unique<TRecordFilterReader>(*info->Reader());
      filter_data.Reader = reader.get();
    }
    TVarnelExceptionsFilters& filters = options.ExceptionsFilters();
    const int index = filters.FindException(filter_data);
    if (index >= 0) {
      const TVarnelExceptionFilter filter = filters.GetItem(index);
      force = false;
      if (!filter.ExceptionMessage.empty()) info->SetExceptionMessage(info->ExpandVariables(filter.ExceptionMessage));
      if (filter.DialogType != L" ") options.SetExceptionDialogType(filter.DialogType);
      switch (filter.ActionType) {
        case fatNone: options.SetTerminateBtnOperation(tbNone); break;
        case fatTerminate: options.SetTerminateBtnOperation(tbTerminate); break;
        case fatRestart: options.SetTerminateBtnOperation(tbRestart); break;
        case fatUnchanged: break;
      }
      if (filter.ExpectedContext != 0) info->SetExpectedContext(filter.ExpectedContext);
      if (!filter.ExpectedURL.empty()) info->SetExpectedURL(filter.ExpectedURL);
      if (filter.ExpectedBugID != 0) info->SetBugID(filter.ExpectedBugID);
      switch (filter.HandlerType) {
        case fhtNone: response.SendResult = kResultDone; return response;
        case fhtRTL: response.SendResult = kResultSkipped; return response;
        case fhtVarnelLog: break;
      }
    }
    bool crash = false;
    if (ShouldProcess(*info, force)) {
      info->SetUnhandledExceptionNumber(__atomic_add_fetch(&FUCount, 1, __ATOMIC_SEQ_CST));
      crash = CrashRate(info);
    }
    info->SetProcessed(true);
    const bool starting_or_stopping = rt::IsInitializing != 0 || rt::IsFinalizing != 0;
    if (starting_or_stopping) {
      DumpString(L"Exception while the library starts or stops: " + info->ExceptionClass() + L": " +
                 info->ExceptionMessage());
    }
    if (TDialogStepProc step = DialogStep()) {
      // Under the loader's lock (start-up, shut-down) the dialog step only
      // saves, in this thread, with no window and no COM (it sees the same
      // flags), and the report is made of the modules already loaded.
      std::optional<platform::TModuleLoadsBarred> no_loads;
      if (starting_or_stopping) no_loads.emplace();
      response = step(info, force, crash);
    } else {
      response.SendResult = kResultSkipped;
    }
  } catch (const rt::Exception& e) {
    // The record made for the failure itself (when the hooks made one) is
    // the one marked failed; the exception being handled is marked below.
    if (TVarnelExceptionInfo* own = FindByObject(const_cast<rt::Exception*>(&e))) own->SetFailed(true);
    if (IsAbort(e)) {
      response = TResponse{};
      response.SendResult = kResultCancelled;
    } else {
      response = TResponse{};
      response.SendResult = kResultFailed;
      response.ErrorMessage = e.Message();
      if (const auto* os = dynamic_cast<const EOSError*>(&e)) response.ErrorCode = static_cast<std::int32_t>(os->ErrorCode());
    }
  }
  if (response.SendResult < 0 && response.SendResult != kResultSkipped && response.SendResult != kResultCancelled) {
    info->SetFailed(true);
    WriteFailureNote(response);
  }
  return response;
}

bool TExceptionManager::CrashRate(TVarnelExceptionInfo* info) {
  const TVarnelModuleOptions& options = info->Options();
  const int n = options.AutoCrashNumber();
  if (options.AutoCrashOperation() == tbNone || n <= 1 || IsHostedByDevelopmentEnvironment()) return false;
  const double minutes = options.AutoCrashMinutes();
  TManagerLock lock(FState->Lock);
  auto& times = FState->Times;
  int& start = FState->TimesStart;
  int& end = FState->TimesEnd;
  if (static_cast<int>(times.size()) < n) {
    times.push_back(info->Time());
    end = static_cast<int>(times.size()) - 1;
    if (start < 0) start = 0;
  } else {
    end = (end + 1) % n;
    if (end == start) start = (start + 1) % n;
    times[static_cast<std::size_t>(end)] = info->Time();
  }
  const int size = static_cast<int>(times.size());
  const int oldest = ((end - (n - 1)) % size + size) % size;
  if (size < n) return false;
  const double then = times[static_cast<std::size_t>(oldest)];
  if (then == 0) return false;
  const double whole_minutes = std::floor((info->Time() - then) * 24 * 60 + 1e-9);
  if (whole_minutes > minutes) return false;
  times.clear();
  start = end = -1;
  return true;
}

// ---------------------------------------------------------------------------
// Late processing and the thread's exceptions.

bool TExceptionManager::Release(void* object, TVarnelExceptionInfo* info, int reason) {
  TThreadState* state = FState->Thread(false);
  if (info == nullptr || !TVarnelExceptionInfo::IsLive(info)) {
    info = nullptr;
    TVarnelExceptionInfo* last = LiveLast(state);
    if (last && object && last->ExceptionObject() == object) info = last;
    if (info == nullptr) info = FindByObject(object);
  }
  if (info == nullptr) {
    Untie(object);
    return false;
  }
  return ProcessLate(info, object, reason, IsVarnelLogActiveInThread(kCallingThread));
}

void TExceptionManager::ClearThreadExceptions() { ClearThreadExceptions(platform::CurrentThreadId()); }

void TExceptionManager::ClearThreadExceptions(std::uint32_t thread_id) {
  const bool current = thread_id == platform::CurrentThreadId();
  if (current) {
    if (TThreadState* state = FState->Thread(false)) {
      state->Last = nullptr;
      state->Stashed = false;
    }
  }
  std::vector<TVarnelExceptionInfo*> ended;
  {
    TManagerLock lock(FState->Lock);
    auto& list = FState->Exceptions;
    for (auto it = list.begin(); it != list.end();) {
      if ((*it)->ThreadID() == thread_id) {
        ended.push_back(*it);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
    auto& ties = FState->Ties;
    ties.erase(std::remove_if(ties.begin(), ties.end(),
                              [&ended](const auto& t) {
                                return std::find(ended.begin(), ended.end(), t.second) != ended.end();
                              }),
               ties.end());
  }
  for (TVarnelExceptionInfo* info : ended) {
    info->SetDeleteNotify(nullptr, nullptr);
    info->SetHasExceptObjRef(false);
    TVarnelExceptionInfo::Delete(info);
  }
}

TVarnelExceptionInfo* TExceptionManager::LastThreadException() {
  TThreadState* state = FState->Thread(false);
  return LiveLast(state);
}

TResponse TExceptionManager::ShowLastExceptionData() {
  TVarnelExceptionInfo* info = LastThreadException();
  if (info == nullptr) {
    TResponse none;
    none.SendResult = kResultNothing;
    return none;
  }
  TResponse response = Handle(info, true, false);
  if (void* object = info->ExceptionObject()) Untie(object);
  info->SetHasExceptObjRef(false);
  TVarnelExceptionInfo::Delete(info);
  return response;
}

TResponse TExceptionManager::StandardVarnelNotify(void* object, const std::type_info* type, void* address,
                                                  const TVarnelModuleOptions* options) {
  TResponse response;
  response.SendResult = kResultNothing;
  if (address == nullptr) address = __builtin_return_address(0);
  TVarnelExceptionInfo* info = Info(object, type, address, false, true);
  if (info == nullptr) return response;
  info->SetOptions(options ? *options : LibraryOptions());
  if (info->CallStackIfBuilt() == nullptr && !info->HasPendingSnapshot()) {
    const TCachedProbesScope probes;
    auto list = NewDefaultStackList();
    TVarnelBaseStackList::TBuildArgs args;
    args.FirstAddr = U32(address);
    args.DebugDetails = kExceptionDebugDetails;
    args.ThreadID = platform::CurrentThreadId();
    list->Setup(args);
    list->AfterConstruction();
    info->SetCallStack(*list);
  }
  response = Handle(info, false, true);
  if (object) Untie(object);
  info->SetHasExceptObjRef(false);
  TVarnelExceptionInfo::Delete(info);
  return response;
}

TResponse TExceptionManager::StandardVarnelError(const std::wstring& error, const TVarnelModuleOptions* options) {
  EVarnelLogGeneralError object(error);
  return StandardVarnelNotify(&object, &typeid(object), __builtin_return_address(0), options);
}

TVarnelExceptionInfo* TExceptionManager::GetException(int index) {
  TManagerLock lock(FState->Lock);
  if (index < 0 || index >= static_cast<int>(FState->Exceptions.size())) return nullptr;
  return FState->Exceptions[static_cast<std::size_t>(index)];
}

int TExceptionManager::ExceptionCount() const noexcept { return __atomic_load_n(&FCount, __ATOMIC_SEQ_CST); }
int TExceptionManager::UnhandledExceptionCount() const noexcept { return __atomic_load_n(&FUCount, __ATOMIC_SEQ_CST); }
int TExceptionManager::LiveExceptionCount() {
  TManagerLock lock(FState->Lock);
  return static_cast<int>(FState->Exceptions.size());
}

// ---------------------------------------------------------------------------
// The call-stack builder.

namespace {

// The other threads' stacks, appended to an exception's list when the
// options ask for them: the exception thread's parent first, then the rest.
void AddOtherThreads(TVarnelBaseStackList& list, const TExceptionData& data, const TVarnelModuleOptions& options) {
  const bool rtl = options.csoShowRTLThreads();
  const bool windows = options.csoShowWindowsThreads();
  const bool own = options.csoShowVLThreads();
  if (!rtl && !windows && !own) return;
  TVarnelThreadDataList snapshot = GetThreadsSnapshot();
  const std::uint32_t exception_thread = data.ExceptionThreadID;
  auto shown = [&](TVarnelThreadData& thread) {
    if (thread.ID() == exception_thread) return false;
    const bool runtime_thread = thread.IsRTLThread();
    return (runtime_thread && rtl) || (!runtime_thread && windows) || (own && !thread.FDisabledInThread);
  };
  auto add = [&](std::uint32_t thread_id) {
    std::unique_ptr<TVarnelBaseStackList> other = list.NewEmpty();
    TVarnelBaseStackList::TBuildArgs args;
    args.StackFrame = 1;  // not walked: the thread's own stack is taken below
    args.DebugDetails = list.DebugDetails();
    args.AllowedMethods = list.AllowedMethods();
    args.ThreadID = thread_id;
    args.RunningThread = false;
    other->Setup(args);
    // The calling thread's own stack is taken from the current frame.
    if (other->BuildForThreadByID(thread_id)) list.AddCallStack(other.get(), false);
  };
  std::uint32_t parent = 0;
  if (TVarnelThreadData* exception_record = snapshot.ThreadData(exception_thread)) parent = exception_record->FParentID;
  if (parent != 0) {
    if (TVarnelThreadData* p = snapshot.ThreadData(parent); p && shown(*p)) add(parent);
  }
  for (std::size_t i = 0; i < snapshot.Count(); ++i) {
    TVarnelThreadData* thread = snapshot.GetItem(i);
    if (thread->ID() != parent && shown(*thread)) add(thread->ID());
  }
}

}  // namespace

std::unique_ptr<TVarnelBaseStackList> BuildExceptionCallStack(const TExceptionData& data, const TThreadFacts* thread) {
  TFacilityNesting memory_nesting;
  const TCachedProbesScope probes;
  const bool was_active = IsVarnelLogActiveInThread(kCallingThread);
  if (was_active) SetVarnelLogStateInThread(kCallingThread, false);
  struct TRestore {
    bool Active;
    ~TRestore() {
      if (Active) SetVarnelLogStateInThread(kCallingThread, true);
    }
  } restore{was_active};
  TExceptionManager* manager = TExceptionManager::Instance();
  const TVarnelModuleOptions* options = manager ? &manager->LibraryOptions() : OwnModuleOptions();
  TVarnelBaseStackList::TBuildArgs args;
  const platform::TThreadRegisters registers = RegistersOf(data.ExceptionContext);
  const bool has_context = !IsEmptyContext(data.ExceptionContext);
  args.FirstAddr = U32(data.ExceptionAddress);
  args.Context = has_context ? &registers : nullptr;
  args.StackOffset = static_cast<std::uint32_t>(data.StackOffset);
  args.DebugDetails = kExceptionDebugDetails;
  if (options) args.AllowedMethods = options->csoAllowedRenderMethods();
  args.ThreadInfo = thread;
  args.ThreadID = data.ExceptionThreadID;
  args.TopOfStack = U32(data.StackTop);
  args.StackFrame = U32(data.StackPoint);
  std::unique_ptr<TVarnelBaseStackList> list;
  try {
    list = NewDefaultStackList();
    list->Setup(args);
    list->AfterConstruction();
    list->SetExceptionThreadID(data.ExceptionThreadID);
  } catch (const rt::Exception&) {
    list.reset();
  } catch (const std::exception&) {
    list.reset();
  }
  if (!list) {
    args.Context = nullptr;
    args.StackOffset = 0;
    args.TopOfStack = 0;
    args.StackFrame = 0;
    list = NewDefaultStackList();
    list->Setup(args);
    list->AfterConstruction();
  }
  if (data.StackOffset == 0 && data.StackPoint != nullptr) list->FilterOutByStack(U32(data.StackPoint));
  // The record's own options say which other threads to show.
  const TVarnelModuleOptions* shown = options;
  if (TVarnelExceptionInfo::IsLive(data.ExceptionMark)) shown = &static_cast<TVarnelExceptionInfo*>(data.ExceptionMark)->Options();
  if (shown != nullptr) AddOtherThreads(*list, data, *shown);
  return list;
}

// ---------------------------------------------------------------------------
// The start-up's error handler.

std::wstring InitDoneErrorReport(TVarnelExceptionInfo& info) {
  TVLLocationInfo location;
  std::wstring where;
  if (LookupLocationInfo(reinterpret_cast<std::uintptr_t>(info.Address()), location))
    where = FormatLocationInfo(location, true, false, true, true, false, false);
  TSimpleStackFormatter simple;
  const std::wstring stack = CallStackToString(info.CallStack(), L"Exception call stack:", &simple);
  return WithReportFooter(info.ExceptionMessage() + L"\r\n\r\nLocation:\r\n" + where + L"\r\n\r\n" + stack +
                              L"\r\n\r\n",
                          L"EExceptionManager.ExceptionInfoInitDoneErrorHandler");
}

namespace {

void ExceptionInfoInitDoneErrorHandler(rt::TStepProc step, const wchar_t* step_name) {
  if (platform::IsDebuggerAttached()) platform::BreakIntoDebugger();
  TVarnelExceptionInfo* info = nullptr;
  try {
    throw;
  } catch (const rt::Exception& e) {
    if (TExceptionManager* manager = TExceptionManager::Instance())
      info = manager->Info(const_cast<rt::Exception*>(&e), &typeid(e), e.Address(), false, false);
  } catch (...) {
    // Not one of the library's exceptions: the handler before this one
    // reports it.
  }
  if (info != nullptr) ShowFatalReport(InitDoneErrorReport(*info));
  if (g_previous_handler) g_previous_handler(step, step_name);
  rt::ShowFatalStepReport(L"");
}

}  // namespace

// ---------------------------------------------------------------------------
// The interfaces.

namespace {

struct TInterfaceObject {
  const void* Vtbl;
};

std::int32_t __stdcall QueryInterfaceImpl(void* self, const TGuid* iid, void** out);
std::int32_t __stdcall NoRefCount(void*) { return -1; }

std::int32_t __stdcall RegisterHandlerImpl(void*, void* handler, std::int32_t* index) {
  TExceptionManager* manager = TExceptionManager::Instance();
  if (manager == nullptr || index == nullptr) return kResultSkipped;
  *index = RegisterDestroyHandler(handler);
  return 0;
}
std::int32_t __stdcall UnregisterHandlerImpl(void*, std::int32_t index) {
  UnregisterDestroyHandler(index);
  return 0;
}

void CopyText(wchar_t (&dst)[256], const std::wstring& src) noexcept {
  const std::size_t n = std::min<std::size_t>(src.size(), 255);
  std::wmemcpy(dst, src.data(), n);
  dst[n] = 0;
}

std::int32_t __stdcall HandleImpl(void*, void* object, void* address, TManagerResponse* out) {
  try {
    TExceptionManager* manager = TExceptionManager::Instance();
    if (manager == nullptr) return kResultSkipped;
    const TResponse r = manager->Handle(object, nullptr, address, false, true);
    if (out) {
      out->SendResult = r.SendResult;
      out->IssueID = r.IssueID;
      out->ErrorCode = r.ErrorCode;
      CopyText(out->ErrorMessage, r.ErrorMessage);
      CopyText(out->SuccessMessage, r.SuccessMessage);
    }
    return 0;
  } catch (...) {
    // Nothing may cross into another module.
    return kResultFailed;
  }
}

std::int32_t __stdcall InfoImpl(void*, const void* record, const void* context, void** info) {
  try {
    TExceptionManager* manager = TExceptionManager::Instance();
    if (info) *info = nullptr;
    if (manager == nullptr || record == nullptr) return kResultSkipped;
    TExceptionRecord32 r;
    std::memcpy(&r, record, sizeof r);
    TContext32 c;
    if (context) std::memcpy(&c, context, sizeof c);
    if (info) *info = manager->Info(r, context ? &c : nullptr, false, true);
    return 0;
  } catch (...) {
    // As above.
    return kResultFailed;
  }
}

std::int32_t __stdcall CallStackTextImpl(void*, void* info, wchar_t* buffer, std::int32_t size) {
  try {
    if (buffer == nullptr || size <= 0) return kResultSkipped;
    buffer[0] = 0;
    if (!TVarnelExceptionInfo::IsLive(info)) return 0;
    auto* record = static_cast<TVarnelExceptionInfo*>(info);
    TVarnelBaseStackList* stack = record->CallStack();
    if (stack == nullptr) return 0;
    const std::wstring text = stack->ToString();
    const std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(size - 1));
    std::wmemcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return 0;
  } catch (...) {
    // As above.
    return kResultFailed;
  }
}

std::int32_t __stdcall ReleaseObjectImpl(void*, void* info) {
  try {
    if (!TVarnelExceptionInfo::IsLive(info)) return 0;
    static_cast<TVarnelExceptionInfo*>(info)->ReleaseExceptionObject();
    return 0;
  } catch (...) {
    // As above.
    return kResultFailed;
  }
}

const IDestroyNotifyVtbl kDestroyNotifyVtbl = {{QueryInterfaceImpl, NoRefCount, NoRefCount},
                                               RegisterHandlerImpl,
                                               UnregisterHandlerImpl};
const IDLLExceptionManagerV2Vtbl kManagerV2Vtbl = {{QueryInterfaceImpl, NoRefCount, NoRefCount}, HandleImpl};
const IDLLExceptionManagerV1Vtbl kManagerV1Vtbl = {
    {QueryInterfaceImpl, NoRefCount, NoRefCount}, InfoImpl, CallStackTextImpl, ReleaseObjectImpl};

TInterfaceObject g_destroy_notify{&kDestroyNotifyVtbl};
TInterfaceObject g_manager_v2{&kManagerV2Vtbl};
TInterfaceObject g_manager_v1{&kManagerV1Vtbl};

std::int32_t __stdcall QueryInterfaceImpl(void*, const TGuid* iid, void** out) {
  if (out == nullptr || iid == nullptr) return static_cast<std::int32_t>(0x80004003);  // E_POINTER
  *out = nullptr;
  if (*iid == kIID_IDestroyNotify || *iid == kIID_IInterface)
    *out = &g_destroy_notify;
  else if (*iid == kIID_IDLLExceptionManagerV2)
    *out = &g_manager_v2;
  else if (*iid == kIID_IDLLExceptionManagerV1)
    *out = &g_manager_v1;
  return *out ? 0 : static_cast<std::int32_t>(0x80004002);  // E_NOINTERFACE
}

}  // namespace

int RegisterDestroyHandler(void* handler) {
  TExceptionManager* manager = TExceptionManager::Instance();
  if (manager == nullptr) return 0;
  return manager->RegisterDestroyHandler(handler);
}

void UnregisterDestroyHandler(int index) {
  if (TExceptionManager* manager = TExceptionManager::Instance()) manager->UnregisterDestroyHandler(index);
}

int TExceptionManager::RegisterDestroyHandler(void* handler) {
  TManagerLock lock(FState->Lock);
  auto& slots = FState->Notifications;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] == nullptr) {
      slots[i] = handler;
      return static_cast<int>(i) + 1;
    }
  }
  const std::size_t index = slots.size();
  slots.resize(slots.size() + 8, nullptr);
  slots[index] = handler;
  return static_cast<int>(index) + 1;
}

void TExceptionManager::UnregisterDestroyHandler(int index) {
  TManagerLock lock(FState->Lock);
  auto& slots = FState->Notifications;
  if (index < 1 || index > static_cast<int>(slots.size())) return;
  slots[static_cast<std::size_t>(index - 1)] = nullptr;
}

int TExceptionManager::DestroyHandlerSlots() {
  TManagerLock lock(FState->Lock);
  return static_cast<int>(FState->Notifications.size());
}

int DestroyHandlerSlots() {
  TExceptionManager* manager = TExceptionManager::Instance();
  return manager ? manager->DestroyHandlerSlots() : 0;
}

std::int32_t GetVarnelLogInterface(void** out) noexcept {
  if (out != nullptr && TExceptionManager::Instance() != nullptr) *out = &g_destroy_notify;
  return 0;
}

// ---------------------------------------------------------------------------
// The hooks' slot table.

namespace {

// The platform's exception pointers: the record, then the context.
struct TPointers32 {
  const void* Record;
  const void* Context;
};

bool ReadRecord(const void* from, TExceptionRecord32& record) noexcept {
  if (from == nullptr) return false;
  std::memcpy(static_cast<void*>(&record), from, sizeof record);
  return true;
}

TVarnelExceptionInfo* EntryInfoForPointers(_EXCEPTION_POINTERS* pointers, bool forced_new, bool respect_activation) {
  TExceptionManager* manager = TExceptionManager::Instance();
  if (manager == nullptr || pointers == nullptr) return nullptr;
  const auto* parts = reinterpret_cast<const TPointers32*>(pointers);
  TExceptionRecord32 record;
  if (!ReadRecord(parts->Record, record)) return nullptr;
  TContext32 context;
  if (parts->Context != nullptr) std::memcpy(static_cast<void*>(&context), parts->Context, sizeof context);
  return manager->Info(record, parts->Context ? &context : nullptr, forced_new, respect_activation);
}

TVarnelExceptionInfo* EntryInfoForThrow(const TThrowCapture& capture, bool forced_new, bool respect_activation) {
  TExceptionManager* manager = TExceptionManager::Instance();
  if (manager == nullptr) return nullptr;
  TCxxThrow cxx;
  cxx.Object = capture.Object;
  cxx.Type = capture.Type;
  cxx.Address = capture.Address;
  cxx.Frame = capture.Frame;
  cxx.StackPointer = capture.StackPointer;
  cxx.Rethrow = capture.Rethrow;
  return manager->Info(cxx, forced_new, respect_activation);
}

TVarnelExceptionInfo* EntryInfoForObject(void* object, void* address, bool forced_new, bool respect_activation) {
  TExceptionManager* manager = TExceptionManager::Instance();
  return manager ? manager->Info(object, nullptr, address, forced_new, respect_activation) : nullptr;
}

void EntryStashFirstChance(const _EXCEPTION_RECORD* record, const _CONTEXT* context) {
  TExceptionManager* manager = TExceptionManager::Instance();
  TExceptionRecord32 copy;
  if (manager == nullptr || !ReadRecord(record, copy)) return;
  TContext32 registers;
  if (context != nullptr) std::memcpy(static_cast<void*>(&registers), context, sizeof registers);
  manager->StashFirstChance(copy, context ? &registers : nullptr);
}

bool EntryIsProcessed(const TVarnelExceptionInfo* info) { return info != nullptr && info->Processed(); }

std::uint32_t EntryExceptionCode(const TVarnelExceptionInfo* info) {
  return info != nullptr ? info->ExceptionRecord().ExceptionCode : kLanguageExceptionFirst;
}

std::int32_t EntryHandle(TVarnelExceptionInfo* info, bool handled, bool respect_activation) {
  TExceptionManager* manager = TExceptionManager::Instance();
  return manager ? manager->Handle(info, handled, respect_activation).SendResult : kResultSkipped;
}

bool EntryRelease(void* object, TVarnelExceptionInfo* info, int reason) {
  TExceptionManager* manager = TExceptionManager::Instance();
  return manager != nullptr && manager->Release(object, info, reason);
}

}  // namespace

// The compact form, set up from the library's options.
std::wstring EntryCallStackText(void* info) {
  if (!TVarnelExceptionInfo::IsLive(info)) return {};
  TVarnelBaseStackList* stack = static_cast<TVarnelExceptionInfo*>(info)->CallStack();
  if (stack == nullptr) return {};
  TCompactStackFormatter compact;
  if (TExceptionManager* manager = TExceptionManager::Instance()) compact.AssignOptions(manager->LibraryOptions());
  std::wstring text;
  for (const std::wstring& line : CallStackToStrings(stack, std::wstring(), &compact)) {
    if (!text.empty()) text += L"\r\n";
    text += line;
  }
  return text;
}

void FillManagerEntries() noexcept {
  TManagerEntries& entries = ManagerEntries();
  entries.InfoForPointers = EntryInfoForPointers;
  entries.InfoForThrow = EntryInfoForThrow;
  entries.InfoForObject = EntryInfoForObject;
  entries.StashFirstChance = EntryStashFirstChance;
  entries.IsProcessed = EntryIsProcessed;
  entries.ExceptionCode = EntryExceptionCode;
  entries.Handle = EntryHandle;
  entries.Release = EntryRelease;
  entries.CallStackText = EntryCallStackText;
}

void EmptyManagerEntries() noexcept { ManagerEntries() = TManagerEntries{}; }

// ---------------------------------------------------------------------------
// Life of the manager.

void CreateExceptionManager() {
  if (g_manager != nullptr) return;
  auto manager = std::unique_ptr<TExceptionManager>(new TExceptionManager());
  CallStackBuilder() = &BuildExceptionCallStack;
  manager->Start();
  g_manager = manager.release();
  FillManagerEntries();
  ThreadsCallbacks().ClearThreadExceptions = [](std::uint32_t thread_id) {
    if (TExceptionManager* m = TExceptionManager::Instance()) m->ClearThreadExceptions(thread_id);
  };
}

void DestroyExceptionManager() {
  std::unique_ptr<TExceptionManager> manager(g_manager);
  if (!manager) return;
  // The hooks pass exceptions on untouched from here on.
  EmptyManagerEntries();
  ThreadsCallbacks().ClearThreadExceptions = nullptr;
  // Destroy handlers first: they may still ask the manager.
  std::vector<void*> handlers;
  {
    TManagerLock lock(manager->FState->Lock);
    handlers = manager->FState->Notifications;
  }
  for (void* handler : handlers) {
    if (handler == nullptr) continue;
    auto* vtbl = *static_cast<const IDestroyNotifyHandlerVtbl* const*>(handler);
    vtbl->OnDestroy(handler);
  }
  g_manager = nullptr;
  CallStackBuilder() = nullptr;
  std::vector<TVarnelExceptionInfo*> records;
  {
    TManagerLock lock(manager->FState->Lock);
    records.swap(manager->FState->Exceptions);
    manager->FState->Ties.clear();
  }
  for (TVarnelExceptionInfo* info : records) {
    info->SetDeleteNotify(nullptr, nullptr);
    info->SetHasExceptObjRef(false);
    TVarnelExceptionInfo::Delete(info);
  }
}

void EExceptionManagerInit() {
  g_previous_handler = rt::StepFailureHandler;
  rt::StepFailureHandler = ExceptionInfoInitDoneErrorHandler;
  CreateExceptionManager();
  if (TExceptionManager* manager = TExceptionManager::Instance()) {
    InstallStackProbes(manager->LibraryOptions().SlowAndSafe());
  }
}

void EExceptionManagerDone() {
  DestroyExceptionManager();
  RemoveStackProbes();
  rt::StepFailureHandler = g_previous_handler;
  g_previous_handler = nullptr;
}

}  // namespace zelvic::diag
