#include "diagnostics/system/EProcessWindows.h"

#include <algorithm>

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kToolWindow = 0x00000080;  // WS_EX_TOOLWINDOW
constexpr std::uint32_t kAppWindow = 0x00040000;   // WS_EX_APPWINDOW

}  // namespace

TWindowRect GetProcessWindowsRect(std::uint32_t process_id, platform::TSystemFacts& facts) {
  TWindowRect area;
  bool any = false;
  for (const platform::TTopLevelWindow& w : facts.TopLevelWindows(process_id)) {
    if (!w.Visible || w.Right - w.Left <= 0) continue;
    if (!any) {
      area = {w.Left, w.Top, w.Right, w.Bottom};
      any = true;
    } else {
      area = {std::min(area.Left, w.Left), std::min(area.Top, w.Top), std::max(area.Right, w.Right),
              std::max(area.Bottom, w.Bottom)};
    }
  }
  return area;
}

std::uintptr_t FindMainWindow(std::uint32_t process_id, platform::TSystemFacts& facts) {
  for (const platform::TTopLevelWindow& w : facts.TopLevelWindows(process_id)) {
    if (!w.Visible || w.Right - w.Left <= 0 || w.Bottom - w.Top <= 0 || w.Owner != 0) continue;
    if ((w.ExStyle & kToolWindow) != 0 && (w.ExStyle & kAppWindow) == 0) continue;
    return w.Handle;
  }
  return 0;
}

}  // namespace zelvic::diag
