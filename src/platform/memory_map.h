// A process-wide map of memory regions for the fast readability test: the
// regions asked about are kept sorted by start and found by binary search, so
// a test costs the system one region query per region instead of one per
// read.
//
// Only answers that cannot turn into a fault are kept: image regions, which
// go only with an unload (the owner drops the map when the loader's
// generation moves), and regions that are not readable at all, whose stale
// answer can only turn a read away. A readable region of private memory (a
// heap, a stack) may be freed by another thread at any time and is asked
// about every time. The map never allocates: it can be asked from inside the
// allocator.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/memory_regions.h"

namespace zelvic::platform {

class TMemoryMap {
 public:
  explicit TMemoryMap(const memory::TRegionQuery& system) noexcept : system_(system) {}
  TMemoryMap(const TMemoryMap&) = delete;
  TMemoryMap& operator=(const TMemoryMap&) = delete;

  // How many of the `size` bytes from `address` lie in consecutive committed
  // regions whose protection has a bit of `attributes`; 0 when the first one
  // has none. Nothing at or below the first page is readable.
  std::uint32_t GetValidAddr(std::uint32_t address, std::uint32_t size, std::uint32_t attributes) noexcept;
  // Forgets every region.
  void Invalidate() noexcept;

  // Regions kept; for tests, on one thread.
  std::uint32_t Count() const noexcept;
  // Region queries passed on to the system.
  std::uint32_t SystemQueries() const noexcept { return queries_.load(std::memory_order_relaxed); }

  static constexpr std::uint32_t kCapacity = 512;

 private:
  struct TRecord {
    std::uint32_t Start;
    std::uint32_t Size;
    // 0 for a region that is not committed.
    std::uint32_t Protect;
  };

  // The region holding `address`, from the map or the system; false when
  // the system cannot say.
  bool Region(std::uint32_t address, TRecord& record) noexcept;
  void Keep(const TRecord& record) noexcept;
  // A thread can be suspended while it holds the lock (a dialog holds the
  // other threads): whoever finds it taken asks the system instead of
  // waiting.
  bool TryLock() noexcept {
    if (lock_.test_and_set(std::memory_order_acquire)) return false;
    if (drop_.exchange(false, std::memory_order_acq_rel)) count_ = 0;
    return true;
  }
  void Unlock() noexcept { lock_.clear(std::memory_order_release); }

  const memory::TRegionQuery& system_;
  TRecord records_[kCapacity] = {};
  std::uint32_t count_ = 0;
  std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  std::atomic<bool> drop_{false};
  std::atomic<std::uint32_t> queries_{0};
};

}  // namespace zelvic::platform
