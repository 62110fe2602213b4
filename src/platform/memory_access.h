// The live memory of this process as the decoder and the walkers see it:
// readability from VirtualQuery through the region walk, and reads that copy
// a byte only after the page holding it passed that test.
//
// The portable memory interfaces (TMemoryAccess, TRegionQuery) are the
// contract; this is the only place that answers them from the real process.
#pragma once

#include <cstdint>

#include "platform/memory_regions.h"

namespace zelvic::platform {

// VirtualQuery as a region query. A guard page reports as no access: reading
// one raises STATUS_GUARD_PAGE_VIOLATION and, on a thread's stack, uses up
// the guard the stack grows by, so it must never pass a readability test.
class TVirtualQueryRegions final : public memory::TRegionQuery {
 public:
  bool QueryRegion(std::uint32_t address, memory::TRegionInfo& info) const override;
};

// Answers from the last `Held` regions the inner query returned while the
// address lies in one of them. Two are the least worth keeping, because a read
// that runs past the end of a region (the last instructions of a code
// section) would otherwise evict the region the next decode comes back to; a
// stack walk, which probes the stack and the code of every module on it in
// turn, keeps more. The answer can go stale when another thread frees or
// protects memory, so a cache lives in one thread for one short job (a window
// of disassembly, one stack walk), never in a process-wide object.
template <int Held>
class TRegionsCache final : public memory::TRegionQuery {
  static_assert(Held >= 2);

 public:
  explicit TRegionsCache(const memory::TRegionQuery& inner) noexcept : inner_(inner) {}
  bool QueryRegion(std::uint32_t address, memory::TRegionInfo& info) const override {
    const auto holds = [address](const memory::TRegionInfo& r) {
      return address >= r.BaseAddress && address - r.BaseAddress < r.RegionSize;
    };
    for (int i = 0; i < held_; ++i) {
      if (holds(recent_[i])) {
        info = recent_[i];
        return true;
      }
    }
    ++misses_;
    if (!inner_.QueryRegion(address, info)) return false;
    // Keep only an answer that holds the address it was asked for.
    if (holds(info)) {
      if (held_ < Held) ++held_;
      for (int i = held_ - 1; i > 0; --i) recent_[i] = recent_[i - 1];
      recent_[0] = info;
    }
    return true;
  }
  void Forget() noexcept { held_ = 0; }
  // Queries passed on to the inner query.
  std::uint32_t Misses() const noexcept { return misses_; }

 private:
  const memory::TRegionQuery& inner_;
  mutable memory::TRegionInfo recent_[Held]{};  // [0] the most recent
  mutable int held_ = 0;
  mutable std::uint32_t misses_ = 0;
};
// A call-site search, a decode and a lookup each read the code of whichever
// module the stack leads to next; a stack crosses the code of several.
using TRecentRegionsCache = TRegionsCache<8>;

// The application address range from GetSystemInfo with `default_mask`.
memory::TAddressSpace ApplicationAddressSpace(std::uint32_t default_mask) noexcept;

enum class TRegionCaching { kNone, kRecentRegions };

class TLiveMemory final : public memory::TMemoryAccess {
 public:
  explicit TLiveMemory(const memory::TAddressSpace& space = {}, TRegionCaching caching = TRegionCaching::kNone) noexcept
      : space_(space), cache_(system_), caching_(caching == TRegionCaching::kRecentRegions) {}
  TLiveMemory(const TLiveMemory&) = delete;
  TLiveMemory& operator=(const TLiveMemory&) = delete;

  std::uint32_t CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const override;
  // Page by page: each page is tested, then copied. A page released by
  // another thread between its test and its copy still faults; nothing here
  // catches that, and no cheaper test closes the window.
  std::uint32_t Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const override;

  const memory::TAddressSpace& Space() const noexcept { return space_; }
  // Only while no other thread reads through this object (unit start-up).
  void SetSpace(const memory::TAddressSpace& space) noexcept { space_ = space; }
  bool Caching() const noexcept { return caching_; }
  // VirtualQuery calls made through the cache (0 without one).
  std::uint32_t CacheMisses() const noexcept { return cache_.Misses(); }

 private:
  const memory::TRegionQuery& Query() const noexcept {
    return caching_ ? static_cast<const memory::TRegionQuery&>(cache_) : system_;
  }

  memory::TAddressSpace space_;
  TVirtualQueryRegions system_;
  TRecentRegionsCache cache_;
  bool caching_;
};

// Whether this processor and system let a page with execute-only protection
// be read. The answer comes from a real read of a fresh PAGE_EXECUTE page by
// IsBadReadPtr: the protection VirtualQuery reports is the one that was asked
// for, not the one the processor enforces, so no query can answer this. The
// fault, if any, is taken and handled inside the system's own routine.
bool ExecuteOnlyPagesAreReadable() noexcept;

// The region holding an address, as a cache of executable pages needs it:
// whether its pages run code, and whether they belong to a loaded image. An
// image's pages go away only when the image is unloaded, which the loader's
// generation tells; other code (made at run time) can be freed at any time.
struct TCodeRegion {
  std::uint32_t BaseAddress = 0;
  std::uint32_t RegionSize = 0;
  // Committed, with an execute protection, and not a guard page.
  bool Executable = false;
  bool Image = false;
};
bool QueryCodeRegion(std::uint32_t address, TCodeRegion& region) noexcept;

}  // namespace zelvic::platform
