#include "diagnostics/dialogs/ERestartMarker.h"

namespace zelvic::diag {

std::wstring RestartMarkerText(std::uint64_t now) { return std::to_wstring(now); }

std::optional<std::uint64_t> ParseRestartMarker(std::wstring_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool RestartAllowed(std::wstring_view marker, std::uint64_t now, std::uint64_t window) {
  const auto at = ParseRestartMarker(marker);
  if (!at) return true;
  // A marker from the future: the clock went back; it is no proof of age.
  if (*at > now) return false;
  return now - *at >= window;
}

}  // namespace zelvic::diag
