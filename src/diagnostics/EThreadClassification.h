// The library's answer to the threads manager's question "what kind of
// thread is the calling one": 1 plain, 2 started by the runtime's thread
// start, 3 running a thread object. A thread the manager did not see being
// made (one the host had before loading the library, or one made while the
// creation hook was off) is told by its own stack: the runtime's thread start
// enters a thread's routine from one call instruction, and the thread class
// enters Execute from another. Both call sites are learnt once, from two
// short helper threads.
#pragma once

#include <cstdint>
#include <span>

namespace zelvic::diag {

// A call instruction: where it starts and where it returns to.
struct TCallSite {
  std::uint32_t Address = 0;
  std::uint32_t Return = 0;
  bool Known() const noexcept { return Address != 0; }
  // A stack entry names a call by either address.
  bool Matches(std::uint32_t address) const noexcept { return Known() && (address == Address || address == Return); }
};

struct TThreadStartSites {
  TCallSite Routine;  // inside the runtime's thread start
  TCallSite Execute;  // inside the thread class's routine
};

// The answer for a stack, innermost entry first: the outermost five entries
// (all when there are fewer than six) are searched from the outermost inward
// for the routine's call site: not there gives 1; there gives 2, or 3 when
// the Execute call site is found further inward among the same entries.
int ClassifyStack(std::span<const std::uint32_t> addresses, const TThreadStartSites& sites) noexcept;

// The call sites learnt so far; a site not found is looked for again on the
// next use. No search runs while the library starts or stops, or while this
// thread holds the loader's lock: a new thread could not start then.
TThreadStartSites ThreadStartSites();
void ForgetThreadStartSites() noexcept;

// The threads manager's classification callback: the calling thread's stack
// classified. 0 when the stack cannot be taken or the sites cannot be
// looked for (no memory, no thread).
int ClassifyCallingThread();

}  // namespace zelvic::diag
