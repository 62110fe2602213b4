// The registry of the process's threads and the facility's per-thread
// activity switch.
//
// Each thread has a small block of its own on one TLS slot: whether the
// facility is active in it (0 undecided, 1 off, 2 on), its own record, the
// creation hook's busy flag and the exit flag. The nesting counter that keeps
// the facility's own work from being taken over is the one the location
// lookups already raise (EDebugInfo's threads nesting count).
#pragma once

#include <cstdint>

#include "diagnostics/config/EOptions.h"

namespace zelvic::diag {

// Thread IDs that stand for the calling thread; kFindOwnThread also means
// "find only" where a lookup could create.
inline constexpr std::uint32_t kCallingThread = 0;
inline constexpr std::uint32_t kCallingThreadToo = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFindOwnThread = 0xFFFFFFFEu;

// The activity switch; thread_id 0, -1 or the caller's own ID mean the
// calling thread.
bool IsVarnelLogActiveInThread(std::uint32_t thread_id);
void SetVarnelLogStateInThread(std::uint32_t thread_id, bool activate);

// The process-wide default a thread's undecided state is decided by;
// dtsDisabled until the library's start-up sets it. Returns the previous one.
TVarnelLogThreadState SetDefaultThreadState(TVarnelLogThreadState state) noexcept;
TVarnelLogThreadState DefaultThreadState() noexcept;

// How deep the calling thread is inside the facility's own work: threads it
// creates meanwhile are not taken over.
std::uint32_t GetNestingCounter() noexcept;
void SetNestingCounter(std::uint32_t value) noexcept;

}  // namespace zelvic::diag
