// Everything the platform's region query tells about the region holding an
// address, for the report's description of the code it disassembles.
#pragma once

#include <cstdint>

namespace zelvic::platform {

struct TRegionFacts {
  std::uint32_t BaseAddress = 0;
  std::uint32_t AllocationBase = 0;
  std::uint32_t RegionSize = 0;
  std::uint32_t AllocationProtect = 0;
  std::uint32_t Protect = 0;
  std::uint32_t State = 0;
  std::uint32_t Type = 0;
};

// False when the address cannot be queried (beyond the application range).
bool QueryRegionFacts(std::uint32_t address, TRegionFacts& facts) noexcept;

}  // namespace zelvic::platform
