// The top-level windows of a process as a whole: the area they cover (for
// screenshots) and the one that is the process's main window.
#pragma once

#include <cstdint>

#include "platform/system_facts.h"

namespace zelvic::diag {

struct TWindowRect {
  std::int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
  bool operator==(const TWindowRect&) const = default;
};

// The union of the visible windows with a positive width; all zero for none.
TWindowRect GetProcessWindowsRect(std::uint32_t process_id,
                                  platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The first visible window with a positive size and no owner that is not a
// tool window (unless it is also an application window); 0 for none.
std::uintptr_t FindMainWindow(std::uint32_t process_id, platform::TSystemFacts& facts = platform::LiveSystemFacts());

}  // namespace zelvic::diag
