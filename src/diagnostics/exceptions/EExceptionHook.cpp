#include "diagnostics/exceptions/EExceptionHook.h"

#include <array>
#include <exception>
#include <new>

#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "platform/code_memory.h"
#include "platform/pe_access.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "runtime/cxx_exception_points.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"
#include "runtime/thread_storage.h"

namespace zelvic::diag {
namespace {

using platform::TExceptionRecordView;

constexpr std::uint32_t kThreadNamingCode = 0x406D1388;
constexpr std::uint32_t kDebugPrintCode = 0x40010006;
// Windows 10 raises the wide form first, then the narrow one.
constexpr std::uint32_t kDebugPrintWideCode = 0x4001000A;
constexpr std::uint32_t kFirstLanguageCode = 0x0EEDFADE;
constexpr std::uint32_t kLastLanguageCode = 0x0EEDFAE5;
// The platform's error 31 in result-code form: the exit code of a thread or
// process whose exception the facility was not allowed to handle.
constexpr std::uint32_t kNotHandledExitCode = 0x8007001F;
// A filter's "run the handler": the process ends.
constexpr long kExecuteHandler = 1;
constexpr long kContinueSearch = 0;
constexpr std::uint8_t kHookFailureRuntimeError = 230;

TManagerEntries g_manager{};
TDispatchEvents g_events;

// ---- dispatch-level state ----

bool g_dispatch_installed = false;
void* g_vectored_handle = nullptr;
std::uintptr_t g_user_dispatcher = 0;
volatile bool g_emergency_stop = false;
std::uint32_t g_main_thread_id = 0;

// ---- handler-level state ----

// One bit per handler in the calling thread's slot.
enum THandlerFlag : std::uintptr_t {
  hfUnhandledFilter = 1u << 0,
  hfExceptProc = 1u << 1,
  hfExceptObjProc = 1u << 2,
  hfStackInfo = 1u << 3,
  hfStackText = 1u << 4,
  hfDispatcher = 1u << 5,
};
rt::TThreadSlot g_flags;

bool g_handlers_installed = false;
THookSettings g_settings;
TDispatchEvents g_saved;

bool g_capture_only_module = false;
std::uintptr_t g_module_begin = 0;
std::uintptr_t g_module_code_end = 0;

std::uintptr_t Flags() noexcept { return g_flags.IsAllocated() ? reinterpret_cast<std::uintptr_t>(g_flags.Get()) : 0; }
void SetFlags(std::uintptr_t flags) noexcept {
  if (g_flags.IsAllocated()) g_flags.Set(reinterpret_cast<void*>(flags));
}

std::wstring Hex(std::uintptr_t value) { return rt::Hex8(static_cast<std::uint32_t>(value)); }
std::wstring Hex(const void* value) { return Hex(reinterpret_cast<std::uintptr_t>(value)); }

std::wstring RecordInputs(const _EXCEPTION_RECORD* record) {
  const TExceptionRecordView view = platform::ViewOf(record);
  return L"code " + Hex(view.Code) + L", address " + Hex(view.Address);
}

void DefaultInternalErrorReport(const TInternalError& error) {
  DumpString(error.Guard + L" failed: " + error.ClassName + L": " + error.Message + L" [" + error.Inputs + L"]");
}

// Called inside a catch: the exception being handled is the failure. Without
// memory there is nothing to report it with.
template <typename MakeInputs>
void ReportFailure(const wchar_t* guard, MakeInputs make_inputs) noexcept {
  const TInternalErrorReport report = InternalErrorReport;
  if (report == nullptr) return;
  // Reading the failure rethrows it: the facility's own rethrows.
  rt::EnterCxxPassThrough();
  try {
    TInternalError error;
    error.Guard = guard;
    error.Message = rt::CurrentExceptionMessage(L"General internal error.");
    try {
      throw;
    } catch (const rt::Exception& e) {
      error.ClassName = e.ClassName();
    } catch (const std::exception&) {
      error.ClassName = L"std::exception";
    } catch (...) {
      error.ClassName = L"(not an exception)";
    }
    error.Inputs = make_inputs();
    report(error);
  } catch (...) {
    // The report is the last resort of a guard: a failure in it is dropped,
    // the guard's own result still goes back to the platform.
  }
  rt::LeaveCxxPassThrough();
}

// Runtime error 230: a hook the runtime relies on failed or is missing.
[[noreturn]] void HookRuntimeError(void* address) noexcept {
  const rt::TErrorProc error_proc = rt::ExceptionPoints().ErrorProc;
  if (error_proc != nullptr) {
    try {
      error_proc(kHookFailureRuntimeError, address);
    } catch (...) {
      // The process ends below whatever the error procedure did.
    }
  }
  platform::TerminateCurrentProcess(kHookFailureRuntimeError);
}

void NoteMissing(const wchar_t* note) noexcept {
  try {
    DumpString(note);
  } catch (...) {
    // A note that cannot be written changes nothing about the result.
  }
}

// Whatever runs inside a guard is the facility's work or the procedure it
// replaced: its C++ throws and object deaths are not the application's, and
// inside the C++ runtime's own throw and free paths an announced throw would
// come straight back to the same guard.
class TPassThroughScope {
 public:
  TPassThroughScope() noexcept { rt::EnterCxxPassThrough(); }
  ~TPassThroughScope() { rt::LeaveCxxPassThrough(); }
  TPassThroughScope(const TPassThroughScope&) = delete;
  TPassThroughScope& operator=(const TPassThroughScope&) = delete;
};

// ---- the guards -------------------------------------------------------------

long __stdcall UnhandledExceptionFilterGuard(_EXCEPTION_POINTERS* pointers) {
  const platform::TExceptionFilter event = g_events.UnhandledExceptionFilter;
  if (g_emergency_stop || event == nullptr) {
    NoteMissing(L"EventUnhandledExceptionFilter is not installed");
    return kExecuteHandler;
  }
  TPassThroughScope pass_through;
  try {
    return event(pointers);
  } catch (const rt::EAbort&) {
    return kExecuteHandler;
  } catch (...) {
    ReportFailure(L"UnhandledExceptionFilterHook", [&] { return RecordInputs(platform::PartsOf(pointers).Record); });
    return kExecuteHandler;
  }
}

void ExceptProcGuard(void* object, const std::type_info* type, void* address) {
  const rt::TExceptProc event = g_events.ExceptProc;
  if (event == nullptr) {
    NoteMissing(L"EventExceptProc is not installed");
    HookRuntimeError(address);
  }
  TPassThroughScope pass_through;
  try {
    event(object, type, address);
    return;
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"ExceptProcHook", [&] { return L"object " + Hex(object) + L", address " + Hex(address); });
  }
  HookRuntimeError(address);
}

const wchar_t* ExceptClsProcGuard(const _EXCEPTION_RECORD* record) {
  const rt::TExceptClsProc event = g_events.ExceptClsProc;
  if (event == nullptr) {
    NoteMissing(L"ExceptClsProcHook is not installed");
    HookRuntimeError(nullptr);
  }
  TPassThroughScope pass_through;
  try {
    return event(record);
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"ExceptClsProcHook", [&] { return RecordInputs(record); });
  }
  HookRuntimeError(nullptr);
}

rt::Exception* ExceptObjProcGuard(const _EXCEPTION_RECORD* record) {
  const rt::TExceptObjProc event = g_events.ExceptObjProc;
  if (event == nullptr) {
    NoteMissing(L"ExceptObjProcHook is not installed");
    HookRuntimeError(nullptr);
  }
  TPassThroughScope pass_through;
  try {
    return event(record);
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"ExceptObjProcHook", [&] { return RecordInputs(record); });
  }
  HookRuntimeError(nullptr);
}

// The memory filter's emergency (runtime errors 1, 2 and 14 with its check
// flags clear) has no filter to ask in this library: the event is called.
void ErrorProcGuard(std::uint8_t error_code, void* address) {
  if (g_events.ErrorProc != nullptr) g_events.ErrorProc(error_code, address);
}

// A C++ raise carries no runtime raise frame to mend: the event, or the
// platform's RaiseException.
void __stdcall RaiseExceptionProcGuard(std::uint32_t code, std::uint32_t flags, std::uint32_t argument_count,
                                       const std::uintptr_t* arguments) {
  const rt::TRaiseExceptionProc event = g_events.RaiseExceptionProc != nullptr
                                            ? g_events.RaiseExceptionProc
                                            : rt::DefaultExceptionPoints().RaiseExceptionProc;
  event(code, flags, argument_count, arguments);
}

void* GetExceptionStackInfoGuard(const _EXCEPTION_RECORD* record) {
  const rt::TGetExceptionStackInfoProc event = g_events.GetExceptionStackInfo;
  if (g_emergency_stop || event == nullptr) return nullptr;
  TPassThroughScope pass_through;
  try {
    return event(record);
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"GetExceptionStackInfoHook", [&] { return RecordInputs(record); });
  }
  return nullptr;
}

std::wstring GetStackInfoStringGuard(void* info) {
  const rt::TGetStackInfoStringProc event = g_events.GetStackInfoString;
  if (g_emergency_stop || event == nullptr) return {};
  TPassThroughScope pass_through;
  try {
    return event(info);
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"GetStackInfoStringHook", [&] { return L"info " + Hex(info); });
  }
  return {};
}

void CleanUpStackInfoGuard(void* info) {
  const rt::TCleanUpStackInfoProc event = g_events.CleanUpStackInfo;
  if (g_emergency_stop || event == nullptr) return;
  TPassThroughScope pass_through;
  try {
    event(info);
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"CleanUpStackInfoHook", [&] { return L"info " + Hex(info); });
  }
}

long __stdcall ExceptionHandlerGuard(_EXCEPTION_POINTERS* pointers) {
  const TExceptionDispatcherEvent event = g_events.ExceptionDispatcher;
  if (g_emergency_stop || event == nullptr) return kContinueSearch;
  const platform::TExceptionPointers parts = platform::PartsOf(pointers);
  TPassThroughScope pass_through;
  try {
    return event(parts.Context, parts.Record);
  } catch (const rt::EAbort&) {
  } catch (...) {
    ReportFailure(L"ExceptionHandlerHook", [&] { return RecordInputs(parts.Record); });
  }
  return kContinueSearch;
}

// What the dispatcher event holds until the handler level: nothing to do.
std::int32_t NoDispatcherWork(_CONTEXT*, _EXCEPTION_RECORD*) { return 0; }

// ---- the handlers -------------------------------------------------------------

bool IsFloatingPointCode(std::uint32_t code) noexcept { return code >= 0xC000008D && code <= 0xC0000093; }

// The threads manager decides a thread's state on its first question and
// may allocate the thread's block then; a failure reads as "not active".
bool ActiveInThread() noexcept {
  try {
    return IsVarnelLogActiveInThread(kCallingThread);
  } catch (...) {
    return false;
  }
}

// The common entry test of the handlers.
bool EntryTest(std::uintptr_t flag, const TExceptionRecordView& record) noexcept {
  if (g_emergency_stop) return false;
  if (!ModuleFilterAccepts(record)) return false;
  if ((Flags() & flag) != 0) return false;
  return ActiveInThread();
}

// A handler at work on this thread: its flag set, the facility's own throws
// passing straight through, the x87 control word as the thread had it on
// every way out. Not a lock: a fault inside the handler that an SEH unwind
// carries away leaves only this thread's flags set, never another's waiting.
class THandlerScope {
 public:
  THandlerScope(std::uintptr_t flag, std::uint32_t code) noexcept
      : flag_(flag), control_word_(platform::FpuControlWord()) {
    if (IsFloatingPointCode(code)) platform::ResetFpu();
    SetFlags(Flags() | flag_);
    rt::EnterCxxPassThrough();
  }
  ~THandlerScope() {
    rt::LeaveCxxPassThrough();
    SetFlags(Flags() & ~flag_);
    platform::SetFpuControlWord(control_word_);
  }
  THandlerScope(const THandlerScope&) = delete;
  THandlerScope& operator=(const THandlerScope&) = delete;

 private:
  std::uintptr_t flag_;
  std::uint16_t control_word_;
};

[[noreturn]] void EndThreadOrProcess(std::uint32_t exit_code) noexcept {
  if (platform::CurrentThreadId() == g_main_thread_id) platform::ExitCurrentProcess(exit_code);
  platform::ExitCurrentThread(exit_code);
}

long CallPreviousFilter(_EXCEPTION_POINTERS* pointers, long without) {
  return g_saved.UnhandledExceptionFilter != nullptr ? g_saved.UnhandledExceptionFilter(pointers) : without;
}

// The manager's part of an unhandled exception. Apart from the handler so
// that the handler's own frame stays small: after a stack overflow the
// handler runs in the few bytes the system leaves, and this part runs on a
// helper thread.
struct TUnhandledWork {
  _EXCEPTION_POINTERS* Pointers;
  std::uint32_t ExitCode;
  bool EndsProcess;  // on the helper thread: end the process from there
};

__attribute__((noinline)) void HandleUnhandled(TUnhandledWork& work) {
  platform::TExceptionPointers parts = platform::PartsOf(work.Pointers);
  platform::TContextBuffer captured;
  if (!platform::ContextReadable(parts.Context)) {
    platform::CaptureContext(captured);
    parts.Context = captured.Context();
  }
  TVarnelExceptionInfo* info = g_manager.InfoForPointers(platform::AsPlatformPointers(parts), false, true);
  if (info != nullptr && g_manager.Handle != nullptr &&
      (g_manager.IsProcessed == nullptr || !g_manager.IsProcessed(info))) {
    g_manager.Handle(info, false, true);
  }
}

void HandleUnhandledOnHelper(void* data) {
  auto& work = *static_cast<TUnhandledWork*>(data);
  TPassThroughScope pass_through;
  HandleUnhandled(work);
  if (work.EndsProcess) platform::ExitCurrentProcess(work.ExitCode);
}

constexpr std::uint32_t kStackOverflowCode = 0xC00000FD;

long __stdcall UnhandledExceptionFilterHandler(_EXCEPTION_POINTERS* pointers) {
  const TExceptionRecordView record = platform::ViewOf(platform::PartsOf(pointers).Record);
  if (g_manager.InfoForPointers == nullptr) return CallPreviousFilter(pointers, kContinueSearch);
  if (!EntryTest(hfUnhandledFilter, record)) {
    // A second exception while this thread handles one ends it, as any
    // unhandled exception the facility has seen does.
    if ((Flags() & hfUnhandledFilter) != 0) {
      CallPreviousFilter(pointers, kExecuteHandler);
      EndThreadOrProcess(record.Code);
    }
    // Not the facility's: a thread it does not watch, another module's
    // exception, the facility stopped. The system's handling goes on as if
    // the library were not loaded; ending only the thread here would let a
    // host thread that crashed vanish without a trace while its process
    // runs on.
    return CallPreviousFilter(pointers, kContinueSearch);
  }
  THandlerScope scope(hfUnhandledFilter, record.Code);
  if (g_settings.WERPassThroughUnhandled) {
    // The system's error reporting (or whoever filtered before) sees the
    // exception; its answer is not followed: the facility's rule for an
    // unhandled exception is that the thread or process ends.
    CallPreviousFilter(pointers, kExecuteHandler);
    EndThreadOrProcess(record.Code);
  }
  TUnhandledWork work{pointers, record.Code, platform::CurrentThreadId() == g_main_thread_id};
  if (record.Code != kStackOverflowCode || !platform::RunOnHelperThread(HandleUnhandledOnHelper, &work)) {
    HandleUnhandled(work);
  }
  EndThreadOrProcess(record.Code);
}

TExceptionRecordView LanguageRecord(void* address) noexcept {
  TExceptionRecordView record;
  record.Code = kFirstLanguageCode;
  record.ParameterCount = 1;
  record.Parameters[0] = reinterpret_cast<std::uintptr_t>(address);
  return record;
}

void ExceptProcHandler(void* object, const std::type_info* type, void* address) {
  if (g_manager.InfoForObject == nullptr) {
    if (g_saved.ExceptProc != nullptr) g_saved.ExceptProc(object, type, address);
    return;
  }
  if (!EntryTest(hfExceptProc, LanguageRecord(address))) {
    if (g_saved.ExceptProc != nullptr) g_saved.ExceptProc(object, type, address);
    EndThreadOrProcess(kNotHandledExitCode);
  }
  std::uint32_t exit_code = kFirstLanguageCode;
  {
    THandlerScope scope(hfExceptProc, 0);
    TVarnelExceptionInfo* info = g_manager.InfoForObject(object, address, false, true);
    if (info != nullptr) {
      if (g_manager.Handle != nullptr && (g_manager.IsProcessed == nullptr || !g_manager.IsProcessed(info))) {
        g_manager.Handle(info, false, true);
      }
      if (g_manager.ExceptionCode != nullptr) exit_code = g_manager.ExceptionCode(info);
    }
  }
  EndThreadOrProcess(exit_code);
}

rt::Exception* PreviousExceptObject(const _EXCEPTION_RECORD* record) {
  if (g_saved.ExceptObjProc == nullptr) {
    NoteMissing(L"EventExceptObjProc is not installed");
    HookRuntimeError(nullptr);
  }
  return g_saved.ExceptObjProc(record);
}

// The object made for a platform record is tied to the information made for
// that record: the manager finds the record's information again by the
// object's raise address and keeps the tie beside the object.
rt::Exception* ExceptObjProcHandler(const _EXCEPTION_RECORD* record) {
  const TExceptionRecordView view = platform::ViewOf(record);
  if (g_manager.InfoForPointers == nullptr || !EntryTest(hfExceptObjProc, view)) return PreviousExceptObject(record);
  THandlerScope scope(hfExceptObjProc, view.Code);
  platform::TContextBuffer captured;
  platform::CaptureContext(captured);
  platform::TExceptionPointers parts{const_cast<_EXCEPTION_RECORD*>(record), captured.Context()};
  g_manager.InfoForPointers(platform::AsPlatformPointers(parts), true, true);
  rt::Exception* object = PreviousExceptObject(record);
  if (object != nullptr && g_manager.InfoForObject != nullptr) {
    g_manager.InfoForObject(object, reinterpret_cast<void*>(view.Address), false, true);
  }
  return object;
}

// The error reporting's unexpected faults, given to it at once: the filter
// handler with a zeroed context, which ends the thread or process.
[[noreturn]] void PassUnexpectedFault(_EXCEPTION_RECORD* record, std::uint32_t exit_code) {
  platform::TContextBuffer zeroed;
  platform::TExceptionPointers parts{record, zeroed.Context()};
  UnhandledExceptionFilterHandler(platform::AsPlatformPointers(parts));
  EndThreadOrProcess(exit_code);
}

TThrowCapture CaptureOf(const TExceptionRecordView& record) noexcept {
  TThrowCapture capture;
  capture.Address = reinterpret_cast<void*>(record.Parameters[rt::rpAddress]);
  capture.Object = reinterpret_cast<void*>(record.Parameters[rt::rpObject]);
  capture.Type = reinterpret_cast<const std::type_info*>(record.Parameters[rt::rpType]);
  capture.Rethrow = record.Parameters[rt::rpRethrow] != 0;
  capture.Frame = reinterpret_cast<void*>(record.Parameters[rt::rpFrame]);
  capture.StackPointer = reinterpret_cast<void*>(record.Parameters[rt::rpStackPointer]);
  return capture;
}

void* StackInfoHandler(const _EXCEPTION_RECORD* record) {
  const TExceptionRecordView view = platform::ViewOf(record);
  const bool language_raise = view.Code == rt::kCxxRaiseCode && view.ParameterCount >= rt::rpCount;
  if (language_raise ? g_manager.InfoForThrow == nullptr : g_manager.InfoForPointers == nullptr) return nullptr;
  if (!EntryTest(hfStackInfo, view)) return nullptr;
  if (g_settings.WERPassThroughUnexpected && IsUnexpectedFaultCode(view.Code)) {
    PassUnexpectedFault(const_cast<_EXCEPTION_RECORD*>(record), view.Code);
  }
  // While the object handler makes an object for a record, the information
  // it has just made is the one to find.
  const bool making_object = (Flags() & hfExceptObjProc) != 0;
  THandlerScope scope(hfStackInfo, view.Code);
  if (language_raise) {
    const TThrowCapture capture = CaptureOf(view);
    return g_manager.InfoForThrow(capture, !capture.Rethrow && !making_object, true);
  }
  platform::TContextBuffer captured;
  platform::CaptureContext(captured);
  platform::TExceptionPointers parts{const_cast<_EXCEPTION_RECORD*>(record), captured.Context()};
  return g_manager.InfoForPointers(platform::AsPlatformPointers(parts), !making_object, true);
}

// The stack information the first-chance handler handed out is a record;
// its text is the record's call stack. Anything the manager does not know
// as a live record answers empty.
std::wstring StackTextHandler(void* info) {
  if (info == nullptr || g_manager.CallStackText == nullptr) return {};
  // No exception is in flight here: the test has no address to filter on.
  if (!EntryTest(hfStackText, TExceptionRecordView{})) return {};
  THandlerScope scope(hfStackText, 0);
  return g_manager.CallStackText(info);
}

// The end of a C++ exception object: it was handled. The manager finds the
// information by the object (its side table) and processes it late.
void CleanUpHandler(void* object) {
  if (g_manager.Release == nullptr || object == nullptr || g_emergency_stop) return;
  TPassThroughScope pass_through;
  g_manager.Release(object, nullptr, 0);
}

std::int32_t CallPreviousDispatcher(_CONTEXT* context, _EXCEPTION_RECORD* record) {
  if (g_saved.ExceptionDispatcher == nullptr) {
    NoteMissing(L"EventExceptionDispatcher is not installed");
    platform::TerminateCurrentProcess(platform::ViewOf(record).Code);
  }
  return g_saved.ExceptionDispatcher(context, record);
}

// First chance, for every exception of the process: it only stashes.
std::int32_t DispatcherHandler(_CONTEXT* context, _EXCEPTION_RECORD* record) {
  const TExceptionRecordView view = platform::ViewOf(record);
  if (g_manager.StashFirstChance != nullptr && EntryTest(hfDispatcher, view)) {
    if (g_settings.WERPassThroughUnexpected && IsUnexpectedFaultCode(view.Code)) {
      platform::TExceptionPointers parts{record, context};
      UnhandledExceptionFilterHandler(platform::AsPlatformPointers(parts));
      EndThreadOrProcess(kNotHandledExitCode);
    }
    THandlerScope scope(hfDispatcher, view.Code);
    g_manager.StashFirstChance(record, context);
  }
  return CallPreviousDispatcher(context, record);
}

}  // namespace

TInternalErrorReport InternalErrorReport = DefaultInternalErrorReport;

TManagerEntries& ManagerEntries() noexcept { return g_manager; }
TDispatchEvents& DispatchEvents() noexcept { return g_events; }

bool IsUnexpectedFaultCode(std::uint32_t code) noexcept {
  static constexpr std::array<std::uint32_t, 12> kCodes{0x80000001, 0x80000002, 0x80000029, 0xC0000005,
                                                        0xC0000006, 0xC0000008, 0xC000001D, 0xC0000025,
                                                        0xC0000026, 0xC000008C, 0xC0000096, 0xC00000FD};
  for (const std::uint32_t c : kCodes) {
    if (c == code) return true;
  }
  return false;
}

// ---- dispatch level ---------------------------------------------------------

// This library is never a run-time package, so the development environment
// never hosts it as one: the installation always runs.
void InstallDispatchHooks(bool) {
  if (g_dispatch_installed) return;
  g_user_dispatcher = platform::UserExceptionDispatcher();
  g_events.UnhandledExceptionFilter = platform::SetUnhandledFilter(UnhandledExceptionFilterGuard);
  rt::TExceptionNotificationPoints& points = rt::ExceptionPoints();
  g_events.ExceptProc = points.ExceptProc;
  points.ExceptProc = ExceptProcGuard;
  g_events.ExceptClsProc = points.ExceptClsProc;
  points.ExceptClsProc = ExceptClsProcGuard;
  g_events.ExceptObjProc = points.ExceptObjProc;
  points.ExceptObjProc = ExceptObjProcGuard;
  g_events.ErrorProc = points.ErrorProc;
  points.ErrorProc = ErrorProcGuard;
  g_events.RaiseExceptionProc = points.RaiseExceptionProc;
  points.RaiseExceptionProc = RaiseExceptionProcGuard;
  points.GetExceptionStackInfoProc = GetExceptionStackInfoGuard;
  points.GetStackInfoStringProc = GetStackInfoStringGuard;
  points.CleanUpStackInfoProc = CleanUpStackInfoGuard;
  g_events.ExceptionDispatcher = NoDispatcherWork;
  // Registered last: handlers the host registered first decide before the
  // facility looks.
  g_vectored_handle = platform::AddVectoredHandler(false, ExceptionHandlerGuard);
  g_dispatch_installed = true;
}

void RemoveDispatchHooks() {
  if (!g_dispatch_installed) return;
  rt::TExceptionNotificationPoints& points = rt::ExceptionPoints();
  points.GetExceptionStackInfoProc = nullptr;
  if (g_vectored_handle != nullptr) {
    if (!platform::RemoveVectoredHandler(g_vectored_handle)) {
      const std::uint32_t error = platform::LastErrorCode();
      platform::DebugOutput(L"RemoveVectoredExceptionHandler failed: [" + std::to_wstring(error) + L"] " +
                            platform::SystemErrorText(error));
      platform::TerminateCurrentProcess(error);
    }
    g_vectored_handle = nullptr;
  }
  g_events.ExceptionDispatcher = nullptr;
  points.ExceptProc = g_events.ExceptProc;
  points.ExceptObjProc = g_events.ExceptObjProc;
  points.ExceptClsProc = g_events.ExceptClsProc;
  points.ErrorProc = g_events.ErrorProc;
  points.RaiseExceptionProc = g_events.RaiseExceptionProc;
  // The stack text and the object's end have no earlier procedure to go
  // back to: the runtime's own answer is none.
  points.GetStackInfoStringProc = nullptr;
  points.CleanUpStackInfoProc = nullptr;
  platform::SetUnhandledFilter(g_events.UnhandledExceptionFilter);
  g_events = TDispatchEvents{};
  g_dispatch_installed = false;
}

bool DispatchHooksInstalled() noexcept { return g_dispatch_installed; }
bool VectoredHandlerRegistered() noexcept { return g_vectored_handle != nullptr; }
std::uintptr_t UserExceptionDispatcherAddress() noexcept { return g_user_dispatcher; }

void SetEmergencyStop() noexcept { g_emergency_stop = true; }
bool EmergencyStop() noexcept { return g_emergency_stop; }

// ---- handler level ------------------------------------------------------------

void InstallExceptionHooks(const THookSettings& settings) {
  if (g_handlers_installed) return;
  g_settings.UseLowLevel = settings.UseLowLevel;
  g_settings.WERPassThroughUnhandled = settings.WERPassThroughUnhandled;
  g_settings.WERPassThroughUnexpected = settings.WERPassThroughUnhandled && settings.WERPassThroughUnexpected;
  InstallDispatchHooks(settings.UseLowLevel);
  g_saved = g_events;
  g_events.UnhandledExceptionFilter = UnhandledExceptionFilterHandler;
  g_events.ExceptProc = ExceptProcHandler;
  g_events.ExceptObjProc = ExceptObjProcHandler;
  g_events.GetExceptionStackInfo = StackInfoHandler;
  g_events.GetStackInfoString = StackTextHandler;
  g_events.CleanUpStackInfo = CleanUpHandler;
  g_events.ExceptionDispatcher = DispatcherHandler;
  ActivateApplicationKindHooks();
  g_handlers_installed = true;
}

void RemoveExceptionHooks() {
  if (g_handlers_installed) {
    DeactivateApplicationKindHooks();
    g_events.UnhandledExceptionFilter = g_saved.UnhandledExceptionFilter;
    g_events.ExceptProc = g_saved.ExceptProc;
    g_events.ExceptObjProc = g_saved.ExceptObjProc;
    g_events.GetExceptionStackInfo = g_saved.GetExceptionStackInfo;
    g_events.GetStackInfoString = g_saved.GetStackInfoString;
    g_events.CleanUpStackInfo = g_saved.CleanUpStackInfo;
    g_events.ExceptionDispatcher = g_saved.ExceptionDispatcher;
    g_saved = TDispatchEvents{};
    g_settings = THookSettings{};
    g_handlers_installed = false;
  }
  RemoveDispatchHooks();
}

bool ExceptionHooksInstalled() noexcept { return g_handlers_installed; }
THookSettings CurrentHookSettings() noexcept { return g_settings; }

void SetModuleFilter(bool capture_only_module_exceptions) {
  g_capture_only_module = capture_only_module_exceptions;
  g_module_begin = platform::ThisModuleBase();
  g_module_code_end = g_module_begin;
  if (const auto headers = platform::ReadLoadedImageHeaders(g_module_begin)) {
    g_module_code_end = g_module_begin + headers->BaseOfCode + headers->SizeOfCode;
  }
}

bool ModuleFilterAccepts(const TExceptionRecordView& record) noexcept {
  if (record.Code == kThreadNamingCode && record.ParameterCount == 4) return false;
  if (record.Code == kDebugPrintCode && record.ParameterCount == 2) return false;
  if (record.Code == kDebugPrintWideCode) return false;
  const bool language = record.Code >= kFirstLanguageCode && record.Code <= kLastLanguageCode;
  const std::uintptr_t address = language ? record.Parameters[0] : record.Address;
  if (address == 0 || !g_capture_only_module) return true;
  return address >= g_module_begin && address < g_module_code_end;
}

std::uint32_t HookMainThreadId() noexcept { return g_main_thread_id; }

void EExceptionHookInit() {
  g_emergency_stop = false;
  g_main_thread_id = platform::CurrentThreadId();
  g_flags.Allocate(nullptr);
  SetModuleFilter(false);
  // The options are not read yet: a vectored handler exists on every
  // system this library runs on, so the low-level choice is not needed.
  InstallDispatchHooks(true);
}

void EExceptionHookDone() {
  RemoveExceptionHooks();
  SetEmergencyStop();
  g_flags.Free();
}

}  // namespace zelvic::diag
