// The window system as the facility's application-kind services need it: the
// calling thread's pending messages and the top-level windows. user32 is
// reached at run time, never imported, so that the library does not pull the
// window system into a host that has none.
#pragma once

#include <cstdint>
#include <vector>

namespace zelvic::platform {

struct TPumpOutcome {
  bool QuitSeen = false;
  std::uintptr_t QuitExitCode = 0;  // wParam of the last WM_QUIT
};

// Removes every message pending for the calling thread: WM_QUIT is taken out
// and reported, every other one translated and dispatched (Unicode or 8-bit,
// as its window is). Nothing to do when user32 is not loaded: a thread then
// has no message queue.
TPumpOutcome PumpPendingMessages() noexcept;
// Posts WM_QUIT to the calling thread's queue.
void PostQuit(std::uintptr_t exit_code) noexcept;


}  // namespace zelvic::platform
