#include "diagnostics/config/EVLData.h"

#include "platform/process.h"
#include "platform/resources.h"

namespace zelvic::diag {
namespace {

std::uint32_t ReadU32(std::span<const std::uint8_t> b) noexcept {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace

bool IsValidVLDataMarker(std::uint32_t marker) noexcept {
  return marker == kVLDataMarker4 || marker == kVLDataMarker6 || marker == kVLDataMarker7;
}

bool StartsWithVLDataMarker(std::span<const std::uint8_t> bytes) noexcept {
  return bytes.size() >= 4 && IsValidVLDataMarker(ReadU32(bytes.first(4)));
}

bool HasDiagnosticsData(std::uintptr_t module_base, const std::wstring& file_name) {
  if (StartsWithVLDataMarker(platform::ModuleResource(module_base, kVLDataResourceName, kRtRcData))) return true;
  const std::wstring path = file_name.empty() ? platform::ModuleFileName(module_base) : file_name;
  if (path.empty()) return false;
  const auto tail = platform::ReadFileTail(path, 4);
  return StartsWithVLDataMarker(tail);
}

}  // namespace zelvic::diag
