// The exception hooks: how the facility learns of exceptions.
//
// Two levels. The dispatch level puts small guards into the runtime's
// notification points (runtime/exception_points, reached by C++ throws
// through runtime/cxx_exception_points), the process's unhandled-exception
// filter and a vectored handler. Each guard calls an event variable and keeps
// any failure inside it from escaping into the process; at installation each
// event variable receives what stood in its point before, so with the
// dispatch level alone everything behaves as it did. The handler level saves
// the event variables and puts the facility's handlers into them: a handler
// decides whether the facility is responsible, asks the exception manager
// (through ManagerEntries) for the exception's information, has it handled,
// and passes on or ends the thread or process.
//
// While a handler acts on a thread, its own per-thread flag is set (so an
// exception it raises goes to the previous procedure instead of recursing)
// and the thread holds the C++ pass-through (so the facility's own throws
// and object deaths reach no point at all).
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>

#include "platform/exception_dispatch.h"
#include "runtime/exception_points.h"

struct _EXCEPTION_POINTERS;
struct _EXCEPTION_RECORD;
struct _CONTEXT;

namespace zelvic::diag {

class TVarnelExceptionInfo;  // defined in EExceptionInfo.h

// ---- the exception manager, as the hooks reach it --------------------------

// What a C++ throw leaves behind: filled at the throw, before unwinding starts.
struct TThrowCapture {
  void* Object = nullptr;                 // the thrown object (after the exception header)
  const std::type_info* Type = nullptr;   // its dynamic type
  void* Address = nullptr;                // return address of the throw call (the raise site)
  void* Frame = nullptr;                  // the thrower's frame pointer (EBP)
  void* StackPointer = nullptr;           // the thrower's stack pointer
  bool Rethrow = false;                   // from a rethrow (object already known)
};
struct TManagerEntries {
  // Information for platform exception pointers (unhandled filter): existing or new.
  TVarnelExceptionInfo* (*InfoForPointers)(_EXCEPTION_POINTERS* pointers, bool forced_new, bool respect_activation);
  // Information for a C++ throw (called at the throw; forced_new except for a rethrow).
  TVarnelExceptionInfo* (*InfoForThrow)(const TThrowCapture& capture, bool forced_new, bool respect_activation);
  // Information already made for a live exception object (terminate handler, object death).
  TVarnelExceptionInfo* (*InfoForObject)(void* object, void* address, bool forced_new, bool respect_activation);
  // First-chance platform exception: only stashes (or completes the last record's context); never creates.
  void (*StashFirstChance)(const _EXCEPTION_RECORD* record, const _CONTEXT* context);
  bool (*IsProcessed)(const TVarnelExceptionInfo* info);
  std::uint32_t (*ExceptionCode)(const TVarnelExceptionInfo* info);
  // Runs the pipeline; answers TResponse.SendResult.
  std::int32_t (*Handle)(TVarnelExceptionInfo* info, bool handled, bool respect_activation);
  // Object death / late processing (reason 0 plain, 1 safe call, 2 at exit); true when processed.
  bool (*Release)(void* object, TVarnelExceptionInfo* info, int reason);
  // The call stack of a live record as text; empty for anything else.
  std::wstring (*CallStackText)(void* info);
};
// Filled by the exception manager at its start and emptied at its end; a
// null entry means "no manager": the hooks pass the exception on untouched.
TManagerEntries& ManagerEntries() noexcept;

// ---- the dispatch level --------------------------------------------------------

using TExceptionDispatcherEvent = std::int32_t (*)(_CONTEXT* context, _EXCEPTION_RECORD* record);

// The event variables: plain procedure pointers written while the library
// starts and stops, read by every thread.
struct TDispatchEvents {
  platform::TExceptionFilter UnhandledExceptionFilter = nullptr;
  rt::TExceptProc ExceptProc = nullptr;
  rt::TExceptClsProc ExceptClsProc = nullptr;
  rt::TExceptObjProc ExceptObjProc = nullptr;
  rt::TErrorProc ErrorProc = nullptr;
  rt::TRaiseExceptionProc RaiseExceptionProc = nullptr;
  rt::TGetExceptionStackInfoProc GetExceptionStackInfo = nullptr;
  rt::TGetStackInfoStringProc GetStackInfoString = nullptr;
  rt::TCleanUpStackInfoProc CleanUpStackInfo = nullptr;
  TExceptionDispatcherEvent ExceptionDispatcher = nullptr;
};
TDispatchEvents& DispatchEvents() noexcept;

// Puts the guards in place (skipped inside the development environment).
// The vectored handler is registered to run after every other one; without
// vectored handlers the dispatcher is not taken over (every system this
// library runs on has them), whatever `low_level` says.
void InstallDispatchHooks(bool low_level);
// Puts back what the installation replaced. A vectored handler the system
// refuses to remove ends the process with the system's error code: its code
// is about to be unloaded.
void RemoveDispatchHooks();
bool DispatchHooksInstalled() noexcept;
bool VectoredHandlerRegistered() noexcept;
// ntdll's KiUserExceptionDispatcher, looked up at installation; 0 before.
std::uintptr_t UserExceptionDispatcherAddress() noexcept;

// Once set, every guard passes straight through and every handler's entry
// test fails: set at the unit's shut-down, cleared only by its start-up.
void SetEmergencyStop() noexcept;
bool EmergencyStop() noexcept;

// A failure that escaped an event procedure, for the internal error report.
struct TInternalError {
  std::wstring Guard;  // "ExceptProcHook", "ExceptionHandlerHook", ...
  std::wstring ClassName;
  std::wstring Message;
  std::wstring Inputs;  // what the guard was given, as text
};
using TInternalErrorReport = void (*)(const TInternalError& error);
// The report in force; by default one Dump(String) line on the debug output:
// "<guard> failed: <class>: <message> [<inputs>]".
extern TInternalErrorReport InternalErrorReport;

// ---- the handler level -------------------------------------------------------

struct THookSettings {
  bool UseLowLevel = true;
  // Unhandled exceptions go to the previous filter (the system's error
  // reporting) before the thread or process ends; the facility makes no
  // report of them.
  bool WERPassThroughUnhandled = false;
  // With the first: the hardware faults that the error reporting would see
  // as unexpected go the same way as soon as they are raised.
  bool WERPassThroughUnexpected = false;
};

// Installs the dispatch level (if not yet), saves the event variables and
// puts the handlers in; runs the application kinds' hooks (their counter).
void InstallExceptionHooks(const THookSettings& settings);
// Restores the saved event variables, ends the application kinds' hooks and
// removes the dispatch level.
void RemoveExceptionHooks();
bool ExceptionHooksInstalled() noexcept;
THookSettings CurrentHookSettings() noexcept;

// With `capture_only_module_exceptions`, the handlers act only on exceptions
// whose address lies between this module's load address and the end of its
// code; without, on every address.
void SetModuleFilter(bool capture_only_module_exceptions);
// The module filter's answer: the thread-naming exception and the debugger
// prints are never accepted. Language-raise codes (0EEDFADE to 0EEDFAE5)
// are judged by their parameter 0, the rest by the record's address; an
// exception without an address is accepted.
bool ModuleFilterAccepts(const platform::TExceptionRecordView& record) noexcept;

// The thread whose unhandled exception ends the process (others end only
// their thread): the thread that ran the unit's start-up.
std::uint32_t HookMainThreadId() noexcept;

// The codes the system's error reporting treats as unexpected faults.
bool IsUnexpectedFaultCode(std::uint32_t code) noexcept;

// "EExceptionHook.Init": the per-thread flags, the main thread, the dispatch
// level. "EExceptionHook.Done": everything removed, the emergency stop set.
void EExceptionHookInit();
void EExceptionHookDone();

}  // namespace zelvic::diag
