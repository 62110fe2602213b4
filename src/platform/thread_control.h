// What the threads registry asks of the system about threads: handles of its
// own on them, whether they still run, their priority, names for a
// debugger, and the system's thread creation and exit behind any patch.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelvic::platform {

// SYNCHRONIZE | THREAD_QUERY_INFORMATION | THREAD_TERMINATE: enough to wait
// for a thread, ask its exit code and priority, and end it at shut-down.
inline constexpr std::uint32_t kThreadRecordAccess = 0x100041;

// A handle of the calling thread that stays valid on any thread (the pseudo
// handle would name whoever uses it), with the same access; null on failure.
void* DuplicateCurrentThreadHandle() noexcept;
// Another handle on the same thread, same access; null on failure.
void* DuplicateThreadHandle(void* thread) noexcept;
// OpenThread with kThreadRecordAccess; null when there is no such thread.
void* OpenThreadForRecord(std::uint32_t thread_id) noexcept;
void CloseThreadHandle(void* thread) noexcept;

// True when the exit code cannot be read or is anything but STILL_ACTIVE.
bool ThreadHasEnded(void* thread) noexcept;
// The thread's priority; 0 when it cannot be read.
std::int32_t ThreadPriority(void* thread) noexcept;
bool TerminateThreadWithCode(void* thread, std::uint32_t exit_code) noexcept;

// Gives a name to an attached debugger (exception 0x406D1388 with the name
// as 8-bit text, swallowed); does nothing without a debugger, where the
// exception would have no one to take it.
void NameThreadForDebugger(std::wstring_view name, std::uint32_t thread_id) noexcept;

// The system's CreateThread and ExitThread as kernel32 exports them: what a
// patch of them forwards to until it has a trampoline.
using TCreateThreadProc = void*(__stdcall*)(void* security, std::uint32_t stack_size,
                                            std::uint32_t(__stdcall* routine)(void*), void* parameter,
                                            std::uint32_t flags, std::uint32_t* thread_id);
using TExitThreadProc = void(__stdcall*)(std::uint32_t exit_code);
TCreateThreadProc SystemCreateThread() noexcept;
TExitThreadProc SystemExitThread() noexcept;

// A reference on the module that holds `address`; null when there is none.
// A thread whose first code lies in this library takes one before it
// exists and gives it back with its last instruction, so that a host's
// FreeLibrary meanwhile leaves the code in place.
void* HoldModuleOf(const void* address) noexcept;
void ReleaseModule(void* module) noexcept;
[[noreturn]] void ReleaseModuleAndExitThread(void* module, std::uint32_t exit_code) noexcept;

// Gives the rest of the time slice to another ready thread.
void YieldThread() noexcept;
// Whether the calling thread holds the loader's lock (it runs inside a
// DllMain): a thread it starts could not begin before the lock is let go.
bool LoaderLockHeldByThisThread() noexcept;

}  // namespace zelvic::platform
