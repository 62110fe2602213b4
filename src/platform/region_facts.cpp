#include "platform/region_facts.h"

#include <windows.h>

namespace zelvic::platform {

bool QueryRegionFacts(std::uint32_t address, TRegionFacts& facts) noexcept {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), &info, sizeof info) == 0) {
    return false;
  }
  facts.BaseAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.BaseAddress));
  facts.AllocationBase = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.AllocationBase));
  facts.RegionSize = static_cast<std::uint32_t>(info.RegionSize);
  facts.AllocationProtect = info.AllocationProtect;
  facts.Protect = info.Protect;
  facts.State = info.State;
  facts.Type = info.Type;
  return true;
}

}  // namespace zelvic::platform
