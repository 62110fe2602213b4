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

// The process's main window, asked by whoever needs a parent or a screenshot;
// a later unit installs the provider. Answers 0 (none) while empty.
using TMainWindowProvider = std::uintptr_t (*)();
TMainWindowProvider& MainWindowProvider() noexcept;
// Run once at shut-down after the memory filter's leak pass; a unit that
// chains into it calls the hook it replaced.
using TEndCheckHook = void (*)();
TEndCheckHook& DoMemLeaksEndCheck() noexcept;

void ELowLevelInit();
void ELowLevelDone();

}  // namespace zelvic::diag
