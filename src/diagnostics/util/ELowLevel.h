// Low-level services every other diagnostics unit may use from the start:
// the low-level lock and the cached system information.
#pragma once

#include <cstdint>

namespace zelvic::diag {

struct TLowLevelSystemInfo {
  std::uint32_t PageSize = 0;
  std::uint32_t AllocationGranularity = 0;
  std::uint32_t ProcessorCount = 0;
  std::uintptr_t MinimumApplicationAddress = 0;
  std::uintptr_t MaximumApplicationAddress = 0;
};

// Valid from the unit's start-up on.
const TLowLevelSystemInfo& LowLevelSystemInfo() noexcept;

// The process-wide low-level lock (re-entrant).
void EnterLowLevelLock() noexcept;
void LeaveLowLevelLock() noexcept;

void ELowLevelInit();
void ELowLevelDone();

}  // namespace zelvic::diag
