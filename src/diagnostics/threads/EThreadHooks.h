// How threads come to the threads manager: the code patches of the
// platform's CreateThread and ExitThread, the runtime's thread start (its
// parameter hook), and the start wrappers that register a taken-over thread
// on its own first instruction.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/threads/EThreadsManager.h"
#include "platform/thread_control.h"

namespace zelvic::diag {

using TThreadRoutine = std::uint32_t(__stdcall*)(void* parameter);

// What the thread-start recogniser gets and may change: a start routine and
// its parameter are replaced by the routine and parameter the thread really
// runs (looking through a runtime's start wrappers), a thread object and its
// class are named, and the creator's call site is chosen among the three
// return addresses above the creation.
struct TThreadStartFacts {
  void* Routine = nullptr;
  void* Parameter = nullptr;
  void* const* Callers = nullptr;  // three return addresses, innermost first
  void* Object = nullptr;
  std::wstring ClassName;
  void* CallerAddress = nullptr;
};

struct TThreadHookCallbacks {
  // Installed by the exception hooks; without one the routine is taken as it
  // is and the creator's call site is the innermost return address.
  void (*RecogniseStart)(TThreadStartFacts& facts) = nullptr;
  // Whether the facility is switched on at all (the exception manager's
  // test); without one only the creating thread's activity counts.
  bool (*FacilityOn)() = nullptr;
  // Runs a taken-over thread's routine (the exception manager's runner, which
  // reports what escapes it); without one the routine is called directly.
  std::uint32_t (*RunThread)(std::uint32_t (*invoke)(void* context), void* context) = nullptr;
  // Reports an exception that a hook caught (called inside the handler);
  // without one a line goes to the internal debug output.
  void (*InternalError)(const wchar_t* where) = nullptr;
};
TThreadHookCallbacks& ThreadHookCallbacks() noexcept;

// The start block of a taken-over thread; the new thread owns it.
struct TThreadStartBlock {
  void* Func = nullptr;
  void* Parameter = nullptr;
  TThreadDataPtr Info;
  std::wstring Name;
  TNewThreadState VLEnabled = ntsDefault;
  void* Module = nullptr;  // the reference the thread holds on this library
};

// The creation event: what the patched CreateThread does, with the three
// return addresses above it (innermost first). True when the thread is taken
// over: `routine` and `parameter` are then the wrapper and its start block,
// and the system's CreateThread is to be called with them in place of the
// caller's. The system's routine returns straight to the caller, so no code
// of this library runs after the new thread exists: the new thread may
// unload the library before its creator has returned. False when the call
// goes on to the system unchanged.
bool EventCreateThread(TThreadRoutine& routine, void*& parameter, void* const callers[3]);
// The exit event: the patched ExitThread's registration work.
void EventExitThread(std::uint32_t exit_code);

// The first code of taken-over threads: the platform's (CT) and the
// runtime's (BT).
std::uint32_t __stdcall ThreadWrapperCT(void* block);
std::uint32_t ThreadWrapperBT(void* block);

// What the patched entries forward to when they do not take a thread over.
platform::TCreateThreadProc OriginalCreateThread() noexcept;
platform::TExitThreadProc OriginalExitThread() noexcept;

// The events and the runtime's parameter hook: set at the manager's creation,
// cleared at its end.
void InstallDefaultEvents();
void RemoveDefaultEvents();
// Patches CreateThread and ExitThread when `use_low_level`; nothing
// otherwise. True when both patches are in place.
bool InstallLowLevelHooks(bool use_low_level);
// Takes the patches out again, and waits (bounded) until no thread is still
// inside the patched entries' stubs.
void RemoveHooks();
void WaitForThreadsInsideEntries() noexcept;
// How many threads are inside the stubs now.
long ThreadsInsideEntries() noexcept;

}  // namespace zelvic::diag
