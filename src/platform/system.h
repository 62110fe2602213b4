// Basic system facts and a re-entrant lock that needs no allocation.
#pragma once

#include <atomic>
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

// A re-entrant lock with explicit set-up and tear-down, so that its life
// follows the unit that owns it rather than static construction order. It
// holds no system resource: a lock that is never destroyed (one that must
// stay usable while the library unloads) costs nothing once the image is
// gone.
class TRecursiveLock {
 public:
  void Create() noexcept;
  void Destroy() noexcept;
  void Enter() noexcept;
  void Leave() noexcept;

 private:
  // Storage for the platform's slim lock (one pointer).
  alignas(8) unsigned char storage_[8] = {};
  // Written only by the holder; read by other threads only to learn that
  // they are not it.
  std::atomic<std::uint32_t> owner_{0};
  std::uint32_t depth_ = 0;
  bool created_ = false;
};

}  // namespace zelvic::platform
