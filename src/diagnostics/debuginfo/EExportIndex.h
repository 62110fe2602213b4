// What the export-table source learns once about a module's export entries so
// that a warm lookup is one binary search and a few comparisons, with no read
// of the module's memory:
//   - the entries in address order, cut into windows over which the scan's
//     choice of entry stays the same;
//   - each entry's routine bound: how far decoding from its start runs before
//     a return, a breakpoint, a jump that leaves or an undecodable byte;
//   - the image's memory regions as the region query reported them, which
//     answer the "every byte is executable" test.
// The index answers as the scan of LocateInExportNames with IsInsideProcedure
// over live memory does, while the module's code and protections are the
// ones it was built from. Loads and unloads are what the loader generation
// counts; code patched in place, or protections changed, without a load or an
// unload are not seen, so whoever patches code in a module must not expect
// the export names of that module to follow the patch. Platform-neutral: the
// memory and the region query come from the caller.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/util/EDisAsm.h"

namespace zelvic::diag {

// Past this many bytes from the nearest export, and not provably inside it,
// an address is not named after it.
inline constexpr std::int64_t kMaxExportGuessDistance = 10240;

struct TVLExportName {
  // Entry address after following a jump stub.
  std::uintptr_t Address = 0;
  std::wstring UnitName;
  std::wstring ProcName;
};

// Whether decoding from a routine's start stops at this instruction: a
// return, a breakpoint, a jump that leaves (E9, FF), or nothing decodable.
bool EndsRoutineWalk(const disasm::TDisasmInstruction& ins) noexcept;

// Addr lies in the routine that begins at Start: every byte between them is
// executable and decoding from Start reaches Addr - 1 without a return, a
// breakpoint or a jump that leaves (E9, FF).
bool IsInsideProcedure(const disasm::TMemoryAccess& memory, std::uintptr_t addr, std::uintptr_t start) noexcept;

// The regions an inner query reported over a range, kept and answered again
// without asking; an address outside the range goes to the inner query.
class TRegionSnapshot final : public disasm::TRegionQuery {
 public:
  explicit TRegionSnapshot(const disasm::TRegionQuery& inner) noexcept : inner_(&inner) {}
  // Replaces what was kept by the regions that cover [first, end).
  void Capture(std::uint32_t first, std::uint32_t end);
  bool QueryRegion(std::uint32_t address, disasm::TRegionInfo& info) const override;
  std::size_t Count() const noexcept { return regions_.size(); }

 private:
  const disasm::TRegionQuery* inner_;
  std::vector<disasm::TRegionInfo> regions_;  // ascending, disjoint
};

// The scan's choice for one address.
struct TExportHit {
  // Index in the names of the entry named; -1 for none.
  int Entry = -1;
  // The address is provably inside that entry's routine.
  bool Inside = false;
  // False when no entry names the address; Entry is then the last entry the
  // scan looked at (its fields are what the scan leaves in the record), or -1.
  bool Answered = false;
};

class TVLExportIndex {
 public:
  // `inner` answers the regions the index did not keep; it outlives the index.
  explicit TVLExportIndex(const disasm::TRegionQuery& inner) noexcept : FRegions(inner) {}

  // A routine walk that has not stopped after this many bytes is left open:
  // an address farther in is decided by decoding live, as the scan would.
  static constexpr std::uint32_t kRoutineWalkLimit = 0x10000;

  // Learns `names` (export order) and walks each entry's routine through
  // `code`; keeps the inner query's regions over [image_first, image_end).
  // `space` is the one the live executable test uses.
  void Build(std::span<const TVLExportName> names, const disasm::TMemoryAccess& code,
             const disasm::TAddressSpace& space, std::uint32_t image_first, std::uint32_t image_end,
             std::uint32_t walk_limit = kRoutineWalkLimit);
  // The names given to Build, unchanged since; `live` serves what the index
  // did not learn (a routine longer than the walk, memory outside the image).
  TExportHit Locate(std::span<const TVLExportName> names, std::uintptr_t addr,
                    const disasm::TMemoryAccess& live) const;

  bool Built() const noexcept { return FBuilt; }
  void Clear() noexcept;
  // Entries whose routine was walked to its end or to the walk's limit.
  std::size_t LongRoutineCount() const noexcept { return FLong.size(); }
  const TRegionSnapshot& Regions() const noexcept { return FRegions; }

 private:
  // From `From` up to the next window's start, the highest-numbered entry
  // within the guess distance below, and the lowest-numbered entry at or
  // below; -1 for none.
  struct TWindow {
    std::uint32_t From;
    std::int32_t Near;
    std::int32_t Lowest;
  };
  // Decoding from the entry's start stops at End - 1 (the walk's stopping
  // instruction begins there); Open: the walk reached End - 1 at its limit
  // without stopping.
  struct TBound {
    std::uint32_t End = 0;
    bool Open = false;
  };

  bool Inside(std::span<const TVLExportName> names, int entry, std::uintptr_t addr,
              const disasm::TMemoryAccess& live) const;

  bool FBuilt = false;
  std::vector<TWindow> FWindows;
  std::vector<TBound> FBounds;  // by entry
  // Entries whose routine reaches past the guess distance, highest first:
  // the only ones that can be named from farther away.
  std::vector<std::int32_t> FLong;
  TRegionSnapshot FRegions;
  disasm::TAddressSpace FSpace;
};

}  // namespace zelvic::diag
