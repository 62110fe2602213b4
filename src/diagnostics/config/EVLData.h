// The module's build-time diagnostics data: the VLDATA resource, or the same
// data appended to the module file. Here: recognising it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zelvic::diag {

inline constexpr std::uint32_t kVLDataMarker4 = 0x000FAB10;
inline constexpr std::uint32_t kVLDataMarker6 = 0x100FAB10;
inline constexpr std::uint32_t kVLDataMarker7 = 0x700FAB10;
inline constexpr wchar_t kVLDataResourceName[] = L"VLDATA";
inline constexpr std::uint16_t kRtRcData = 10;

// The memory filter's 16-byte options record (four 32-bit words), as the
// resource header and the options both produce it.
struct TMemoryFilterOptions {
  std::uint8_t Bytes[16] = {};
  bool IsZero() const noexcept {
    for (auto b : Bytes) {
      if (b != 0) return false;
    }
    return true;
  }
};

bool IsValidVLDataMarker(std::uint32_t marker) noexcept;
// True when `bytes` begins with a valid marker.
bool StartsWithVLDataMarker(std::span<const std::uint8_t> bytes) noexcept;

// True when the module's VLDATA resource begins with a valid marker or, failing
// that, the module file (`file_name`, else the module's own file) ends with
// one.
bool HasDiagnosticsData(std::uintptr_t module_base, const std::wstring& file_name = {});

}  // namespace zelvic::diag
