#include "platform/memory_map.h"

#include <algorithm>

namespace zelvic::platform {

namespace {
constexpr std::uint32_t kFirstPage = 0x1000;
// Any bit of these makes a region readable in some sense; a region with none
// stays unreadable until it is allocated again.
constexpr std::uint32_t kAnyAccess = memory::kDefaultReadableMask | memory::kPageExecute;
}  // namespace

bool TMemoryMap::Region(std::uint32_t address, TRecord& record) noexcept {
  bool found = false;
  if (TryLock()) {
    const TRecord* begin = records_;
    const TRecord* after =
        std::upper_bound(begin, begin + count_, address, [](std::uint32_t a, const TRecord& r) { return a < r.Start; });
    found = after != begin && address - (after - 1)->Start < (after - 1)->Size;
    if (found) record = *(after - 1);
    Unlock();
  }
  if (found) return true;
  memory::TRegionInfo info;
  queries_.fetch_add(1, std::memory_order_relaxed);
  if (!system_.QueryRegion(address, info) || info.RegionSize == 0 || address - info.BaseAddress >= info.RegionSize) {
    return false;
  }
  record = {info.BaseAddress, info.RegionSize, info.State == memory::kMemCommit ? info.Protect : 0};
  if (info.Image || (record.Protect & kAnyAccess) == 0) Keep(record);
  return true;
}

void TMemoryMap::Keep(const TRecord& record) noexcept {
  if (!TryLock()) return;
  TRecord* begin = records_;
  TRecord* end = begin + count_;
  TRecord* at = std::lower_bound(begin, end, record.Start, [](const TRecord& r, std::uint32_t s) { return r.Start < s; });
  // Another thread may have kept the same region meanwhile. A full map is
  // emptied: the next walk fills it with what it needs.
  if (at == end || at->Start != record.Start) {
    if (count_ == kCapacity) {
      count_ = 0;
      at = end = begin;
    }
    std::move_backward(at, end, end + 1);
    *at = record;
    ++count_;
  }
  Unlock();
}

std::uint32_t TMemoryMap::GetValidAddr(std::uint32_t address, std::uint32_t size, std::uint32_t attributes) noexcept {
  if (size == 0 || address <= kFirstPage) return 0;
  const std::uint64_t last = std::uint64_t{address} + size;  // one past the range
  std::uint64_t at = address;
  while (at < last && at <= 0xFFFFFFFFull) {
    TRecord r;
    if (!Region(static_cast<std::uint32_t>(at), r) || (r.Protect & attributes) == 0) break;
    at = std::uint64_t{r.Start} + r.Size;
  }
  return static_cast<std::uint32_t>(std::min(at, last) - address);
}

void TMemoryMap::Invalidate() noexcept {
  // Whoever holds the lock now, or takes it next, empties the map: nobody
  // waits for a holder that may be suspended.
  drop_.store(true, std::memory_order_release);
  if (TryLock()) Unlock();
}

std::uint32_t TMemoryMap::Count() const noexcept { return drop_.load(std::memory_order_acquire) ? 0 : count_; }

}  // namespace zelvic::platform
