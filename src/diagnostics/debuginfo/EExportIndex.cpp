#include "diagnostics/debuginfo/EExportIndex.h"

#include <algorithm>
#include <queue>
#include <utility>

namespace zelvic::diag {
namespace {

// IsInsideProcedure's range conditions, before any memory is consulted.
bool InsideRange(std::uintptr_t addr, std::uintptr_t start) noexcept {
  return addr >= 0x10000 && addr >= start && addr - start < 0x7FFFFFFE;
}

}  // namespace

bool EndsRoutineWalk(const disasm::TDisasmInstruction& ins) noexcept {
  if (!ins.Valid || !ins.Readable || ins.End <= ins.Start) return true;
  if (ins.Map != 0) return false;
  const std::uint8_t op = ins.OpcodeByte;
  if (op == 0xC2 || op == 0xC3 || op == 0xCC) return true;
  return ins.IsBranch && !ins.IsCall && (op == 0xE9 || op == 0xFF);
}

bool IsInsideProcedure(const disasm::TMemoryAccess& memory, std::uintptr_t addr, std::uintptr_t start) noexcept {
  if (addr == start) return true;
  if (!InsideRange(addr, start)) return false;
  const auto first = static_cast<std::uint32_t>(start);
  const auto count = static_cast<std::uint32_t>(addr - start + 1);
  if (memory.CanRead(first, count, disasm::kCodeMask) != count) return false;
  std::uint32_t p = first;
  const auto stop = static_cast<std::uint32_t>(addr - 1);
  while (p < stop) {
    const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(memory, p, false);
    if (EndsRoutineWalk(ins)) return false;
    p = ins.End;
  }
  return true;
}

// ------------------------------------------------------------ region snapshot --

void TRegionSnapshot::Capture(std::uint32_t first, std::uint32_t end) {
  regions_.clear();
  std::uint64_t at = first;
  while (at < end) {
    disasm::TRegionInfo info;
    if (!inner_->QueryRegion(static_cast<std::uint32_t>(at), info)) break;
    const std::uint64_t region_end = std::uint64_t{info.BaseAddress} + info.RegionSize;
    // Only an answer that holds the address asked for, and moves on.
    if (info.BaseAddress > at || region_end <= at) break;
    if (region_end > 0xFFFFFFFFull) break;
    regions_.push_back(info);
    at = region_end;
  }
}

bool TRegionSnapshot::QueryRegion(std::uint32_t address, disasm::TRegionInfo& info) const {
  const auto after = std::upper_bound(regions_.begin(), regions_.end(), address,
                                      [](std::uint32_t a, const disasm::TRegionInfo& r) { return a < r.BaseAddress; });
  if (after != regions_.begin()) {
    const disasm::TRegionInfo& r = *(after - 1);
    if (address - r.BaseAddress < r.RegionSize) {
      info = r;
      return true;
    }
  }
  return inner_->QueryRegion(address, info);
}

// ----------------------------------------------------------------------- index --

void TVLExportIndex::Clear() noexcept {
  FBuilt = false;
  FWindows.clear();
  FBounds.clear();
  FLong.clear();
}

void TVLExportIndex::Build(std::span<const TVLExportName> names, const disasm::TMemoryAccess& code,
                           const disasm::TAddressSpace& space, std::uint32_t image_first, std::uint32_t image_end,
                           std::uint32_t walk_limit) {
  Clear();
  FSpace = space;
  FRegions.Capture(image_first, image_end);
  const auto count = static_cast<std::int32_t>(names.size());

  // Entries in address order; ties in export order.
  std::vector<std::int32_t> by_address(names.size());
  for (std::int32_t i = 0; i < count; ++i) by_address[static_cast<std::size_t>(i)] = i;
  std::stable_sort(by_address.begin(), by_address.end(), [&names](std::int32_t a, std::int32_t b) {
    return names[static_cast<std::size_t>(a)].Address < names[static_cast<std::size_t>(b)].Address;
  });

  // One walk per distinct start: aliases share their code.
  FBounds.assign(names.size(), TBound{});
  for (std::size_t k = 0; k < by_address.size(); ++k) {
    const std::uintptr_t start = names[static_cast<std::size_t>(by_address[k])].Address;
    if (k > 0 && names[static_cast<std::size_t>(by_address[k - 1])].Address == start) {
      FBounds[static_cast<std::size_t>(by_address[k])] = FBounds[static_cast<std::size_t>(by_address[k - 1])];
      continue;
    }
    TBound bound;
    const std::uint64_t limit = std::uint64_t{start} + walk_limit;
    std::uint64_t p = start;
    for (;;) {
      if (p >= limit || p > 0xFFFFFFFFull) {
        bound.Open = true;
        break;
      }
      const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(code, static_cast<std::uint32_t>(p), false);
      if (EndsRoutineWalk(ins)) break;
      p = ins.End;
    }
    // The instruction at p is never decoded by a walk towards addr <= p + 1.
    bound.End = static_cast<std::uint32_t>(std::min<std::uint64_t>(p + 1, 0xFFFFFFFFull));
    FBounds[static_cast<std::size_t>(by_address[k])] = bound;
  }
  for (std::int32_t i = count - 1; i >= 0; --i) {
    const TBound& b = FBounds[static_cast<std::size_t>(i)];
    const std::uintptr_t start = names[static_cast<std::size_t>(i)].Address;
    if (b.Open || std::int64_t{b.End} - static_cast<std::int64_t>(start) > kMaxExportGuessDistance) FLong.push_back(i);
  }

  // The windows: an entry comes within the guess distance at its start and
  // leaves it kMaxExportGuessDistance + 1 bytes later.
  std::vector<std::uint64_t> points;
  points.reserve(names.size() * 2);
  for (const TVLExportName& n : names) {
    points.push_back(n.Address);
    const std::uint64_t leave = std::uint64_t{n.Address} + kMaxExportGuessDistance + 1;
    if (leave <= 0xFFFFFFFFull) points.push_back(leave);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  FWindows.reserve(points.size());
  // Highest entry number on top; entries that fell out of the distance are
  // dropped when they come up.
  std::priority_queue<std::pair<std::int32_t, std::uintptr_t>> near;
  std::int32_t lowest = -1;
  std::size_t next = 0;
  for (const std::uint64_t point : points) {
    for (; next < by_address.size() && names[static_cast<std::size_t>(by_address[next])].Address <= point; ++next) {
      const std::int32_t entry = by_address[next];
      near.emplace(entry, names[static_cast<std::size_t>(entry)].Address);
      if (lowest < 0 || entry < lowest) lowest = entry;
    }
    while (!near.empty() && static_cast<std::int64_t>(point) - static_cast<std::int64_t>(near.top().second) >
                                kMaxExportGuessDistance) {
      near.pop();
    }
    FWindows.push_back({static_cast<std::uint32_t>(point), near.empty() ? -1 : near.top().first, lowest});
  }
  FBuilt = true;
}

bool TVLExportIndex::Inside(std::span<const TVLExportName> names, int entry, std::uintptr_t addr,
                            const disasm::TMemoryAccess& live) const {
  const std::uintptr_t start = names[static_cast<std::size_t>(entry)].Address;
  if (addr == start) return true;
  if (!InsideRange(addr, start)) return false;
  const auto count = static_cast<std::uint32_t>(addr - start + 1);
  if (disasm::CanReadRegions(FRegions, FSpace, static_cast<std::uint32_t>(start), count, disasm::kCodeMask) != count) {
    return false;
  }
  const TBound& bound = FBounds[static_cast<std::size_t>(entry)];
  if (addr <= bound.End) return true;
  return bound.Open && IsInsideProcedure(live, addr, start);
}

TExportHit TVLExportIndex::Locate(std::span<const TVLExportName> names, std::uintptr_t addr,
                                  const disasm::TMemoryAccess& live) const {
  TExportHit hit;
  const auto after = std::upper_bound(FWindows.begin(), FWindows.end(), addr,
                                      [](std::uintptr_t a, const TWindow& w) { return a < w.From; });
  if (after == FWindows.begin()) return hit;
  const TWindow& window = *(after - 1);
  // The scan goes from the highest entry down: a far entry above the near one
  // wins when the address is provably inside its routine.
  for (const std::int32_t entry : FLong) {
    if (entry <= window.Near) break;
    const std::uintptr_t start = names[static_cast<std::size_t>(entry)].Address;
    if (start > addr || static_cast<std::int64_t>(addr - start) <= kMaxExportGuessDistance) continue;
    if (Inside(names, entry, addr, live)) {
      hit.Entry = entry;
      hit.Inside = true;
      hit.Answered = true;
      return hit;
    }
  }
  if (window.Near >= 0) {
    hit.Entry = window.Near;
    hit.Inside = Inside(names, window.Near, addr, live);
    hit.Answered = true;
    return hit;
  }
  hit.Entry = window.Lowest;
  return hit;
}

}  // namespace zelvic::diag
