// Basic system facts and a re-entrant lock that needs no allocation.
#pragma once

#include <cstdint>

namespace zelvic::platform {

struct TSystemBasics {
  std::uint32_t PageSize;
  std::uint32_t AllocationGranularity;
  std::uint32_t ProcessorCount;
  std::uintptr_t MinimumApplicationAddress;
  std::uintptr_t MaximumApplicationAddress;
};

TSystemBasics QuerySystemBasics() noexcept;

// A critical section with explicit set-up and tear-down, so that its life
// follows the unit that owns it rather than static construction order.
class TRecursiveLock {
 public:
  void Create() noexcept;
  void Destroy() noexcept;
  void Enter() noexcept;
  void Leave() noexcept;

 private:
  // Storage for the platform's CRITICAL_SECTION (24 bytes on 32-bit).
  alignas(8) unsigned char storage_[48] = {};
  bool created_ = false;
};

}  // namespace zelvic::platform
