// The guard against restart loops: a process that restarts itself hands the
// new process a marker in its environment with the time of the restart. A
// process that finds a fresh marker was itself restarted a short time ago;
// when it fails again it ends instead of starting another copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelvic::diag {

inline constexpr wchar_t kRestartMarkerName[] = L"ZELVIC_RESTARTED_AT";
// One minute in the platform's 100 ns units.
inline constexpr std::uint64_t kRestartLoopWindow = 60ull * 10'000'000ull;

// The marker's value for a restart at `now` (100 ns units since 1601).
std::wstring RestartMarkerText(std::uint64_t now);
// The time a marker holds; none when the text is no marker.
std::optional<std::uint64_t> ParseRestartMarker(std::wstring_view text);
// Whether a restart may go ahead: no marker, a damaged one or one older than
// the window (a clock set back counts as fresh).
bool RestartAllowed(std::wstring_view marker, std::uint64_t now, std::uint64_t window = kRestartLoopWindow);

}  // namespace zelvic::diag
