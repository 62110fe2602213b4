// The module's build-time diagnostics data: the VLDATA resource, or the same
// data appended to the module file. Here: recognising it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// The module's container: the resource in place, or the block appended to its
// file (copied). Empty when the module has neither.
struct TModuleVLData {
  std::span<const std::uint8_t> Resource;
  std::vector<std::uint8_t> AppendedBlock;
  bool IsAppended() const noexcept { return Resource.empty() && !AppendedBlock.empty(); }
  bool Empty() const noexcept { return Resource.empty() && AppendedBlock.empty(); }
};
TModuleVLData ModuleVLData(std::uintptr_t module_base, const std::wstring& file_name = {});

// Format version of the module's data (600-602 read as 6000-6002); 0 without.
std::uint16_t GetDataVersion(std::uintptr_t module_base, const std::wstring& file_name = {});

struct TEarlyMemoryOptions;
// The memory-filter record and use-main flag from the module's resource
// header, read before any option can be; with the use-main flag set the main
// executable's record is used when it has one.
std::optional<TEarlyMemoryOptions> ReadEarlyMemoryOptions(std::uintptr_t module_base);

class TVarnelModuleOptions;
// Loads a module's options from its container into `options`. Returns false
// when the module has no diagnostics data. A damaged container is reported to
// the debugger output and leaves the options as far as they were loaded
// (defaults at worst): a broken resource never stops the module.
bool LoadModuleOptions(std::uintptr_t module_base, TVarnelModuleOptions& options);

// load address + kCodeOffsetBase + offset of the first code location with this
// identifier in this library's own container; none when absent.
std::optional<std::uintptr_t> FindCodeLocation(std::uint8_t identifier);

}  // namespace zelvic::diag
