// Taking stacks with the walkers: collecting one method's slots, merging the
// findings of several methods into one ordered trace, the calling thread's
// stack without allocating, and another thread's stack, copied while the
// thread is held and walked after it runs again.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "diagnostics/stacks/EStackTracing.h"
#include "platform/threads.h"

namespace zelvic::diag {

// One place on a stack and the methods that found it.
struct TTracedEntry {
  // The slot in the original stack (the walked one less the stack offset).
  std::uint32_t StackAddr = 0;
  std::uint32_t ReturnAddr = 0;
  // Bit i: method i found it.
  std::uint32_t Methods = 0;
};

// What method `number` reports over `range`, up to the first value 0.
std::vector<TTraceEntry> CollectTrace(int number, const TStackRange& range);

// Adds the slots method `number` found (walked at the original stack
// address + `offset`) to `trace`, kept in ascending stack order: an entry at
// the same slot gets the method's bit, any other is inserted at its place.
void MergeTrace(std::vector<TTracedEntry>& trace, std::span<const TTraceEntry> found, int number,
                std::uint32_t offset);

// Every method of `methods` (bit i = method i, 1..31) over `range`, merged.
std::vector<TTracedEntry> TraceStack(std::uint32_t methods, const TStackRange& range, std::uint32_t offset);

// The calling thread's range: from the caller's frame up to the thread's
// stack base, capped. A walk of it starts with the caller's return address.
TStackRange CurrentStackRange() noexcept;

// The frame chain of the calling thread into `out`, starting with the caller's
// own return address, as a walk of CurrentStackRange() from the caller does. For callers that must not allocate
// (the allocator itself): the bounds come from the thread information block,
// so there is no region query per frame, and nothing outside `out` is
// written. Returns the number of entries written.
std::size_t CaptureFramesInPlace(std::span<TTraceEntry> out) noexcept;

// Another thread's stack, copied. The copy is relocated: every word of it
// that pointed into the copied range (the frame links) and the registers that
// did now point into the copy, `Offset` bytes from the original.
struct TThreadStackCopy {
  platform::TStackCopyBuffer Buffer;
  platform::TSuspendedCapture Capture;
  // Relocated; Eip as it was.
  platform::TThreadRegisters Registers;
  std::uint32_t Offset = 0;
  // The copy as a walk range: from the stack pointer, frames from the
  // frame pointer.
  TStackRange Range;
};

// Stops the thread only to read its context and copy its stack. False when
// it cannot be stopped.
bool CopyThreadStack(void* thread, TThreadStackCopy& copy);

// Relocates the words of `words` (a copy of [original, original + 4 *
// words.size())) that point into that range by `offset`; public for tests.
void RelocateStackCopy(std::span<std::uint32_t> words, std::uint32_t original, std::uint32_t offset) noexcept;

struct TThreadTrace {
  // The thread's instruction pointer when it was stopped (0 for the calling
  // thread).
  std::uint32_t FirstAddress = 0;
  std::vector<TTracedEntry> Entries;
  // How long the thread was held, in seconds (0 for the calling thread).
  double SuspendedSeconds = 0;
};

// The stack of the thread behind `thread` (it needs kThreadStackAccess). The
// calling thread's own stack is taken from the current frame: a thread
// cannot stop itself and go on. False when the thread cannot be stopped.
bool TraceThread(void* thread, std::uint32_t methods, TThreadTrace& trace);
bool TraceThreadById(std::uint32_t thread_id, std::uint32_t methods, TThreadTrace& trace);

}  // namespace zelvic::diag
