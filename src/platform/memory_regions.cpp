#include "platform/memory_regions.h"

#include <algorithm>
#include <cstring>

namespace zelvic::memory {

std::uint32_t TBufferMemory::CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t /*mask*/) const {
  if (address < base_) return 0;
  const std::uint64_t offset = std::uint64_t{address} - base_;
  if (offset >= size_) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, size_ - offset));
}

std::uint32_t TBufferMemory::Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const {
  const std::uint32_t n = CanRead(address, count, 0);
  if (n != 0) std::memcpy(dst, bytes_ + (address - base_), n);
  return n;
}

std::uint32_t CanReadRegions(const TRegionQuery& query, const TAddressSpace& space, std::uint32_t address,
                             std::uint32_t count, std::uint32_t mask) noexcept {
  if (count == 0) return 0;
  const std::uint32_t effective = mask != 0 ? mask : space.DefaultMask;
  // The region walk: each region that the range reaches must pass on its own;
  // one that fails makes the whole range unreadable.
  const std::uint64_t last = std::uint64_t{address} + count;  // one past the range
  std::uint64_t at = address;
  while (at < last) {
    if (at > 0xFFFFFFFFull) return 0;
    const auto a = static_cast<std::uint32_t>(at);
    // The first 64 KiB and the 64 KiB below 2 GiB are never mapped for the
    // application; querying them is wasted work.
    if (a < space.MinimumApplicationAddress || a > space.MaximumApplicationAddress) return 0;
    if ((a >> 16) == 0 || (a >> 16) == 0x7FFF) return 0;
    TRegionInfo info;
    if (!query.QueryRegion(a, info)) return 0;
    if (info.State != kMemCommit || (info.Protect & effective) == 0) return 0;
    const std::uint64_t end = std::uint64_t{info.BaseAddress} + info.RegionSize;
    if (end <= at) return 0;
    at = end;
  }
  return count;
}

}  // namespace zelvic::memory
