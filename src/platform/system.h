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

// An icon the caller owns (DestroyLoadedIcon), with the size it was asked
// for; no handle when none could be loaded.
struct TLoadedIcon {
  std::uintptr_t Handle = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
};
// The system's standard icon `id` at the large or small icon size.
TLoadedIcon LoadStandardIcon(std::uint32_t id, bool large) noexcept;
// The file's first icon; the application icon when the file has none.
TLoadedIcon LoadFileIcon(const wchar_t* file_name, bool large) noexcept;
void DestroyLoadedIcon(std::uintptr_t icon) noexcept;

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
  // Enter without waiting; false when another thread holds the lock. As
  // Enter, true before Create.
  bool TryEnter() noexcept;
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
