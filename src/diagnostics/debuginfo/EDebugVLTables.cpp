#include "diagnostics/debuginfo/EDebugVLTables.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "diagnostics/util/EFileNames.h"

namespace zelvic::diag {

namespace {

constexpr wchar_t kMapFileTail[] = L"] Unexpected or unsupported data in .map file.";

}  // namespace

// Ranges that ascend without overlapping hold any offset at most once, so
// the last range starting at or below it is the only candidate: the first
// match of a forward scan, found by bisection.
template <typename Rec>
TRangeTable<Rec>::TRangeTable(std::vector<Rec> list) : FList(std::move(list)) {
  FOrdered = true;
  for (std::size_t i = 1; i < FList.size() && FOrdered; ++i) {
    FOrdered = std::uint64_t{FList[i - 1].Addr} + FList[i - 1].Size <= FList[i].Addr;
  }
}

template <typename Rec>
const Rec* TRangeTable<Rec>::FindRange(std::uint32_t addr) const noexcept {
  if (FOrdered) {
    auto it = std::upper_bound(FList.begin(), FList.end(), addr,
                               [](std::uint32_t a, const Rec& r) { return a < r.Addr; });
    if (it == FList.begin()) return nullptr;
    --it;
    return addr - it->Addr < it->Size ? &*it : nullptr;
  }
  for (const Rec& r : FList) {
    if (r.Addr <= addr && addr - r.Addr < r.Size) return &r;
  }
  return nullptr;
}

template class TRangeTable<TLineRec>;
template class TRangeTable<TProcRec>;

TUnitList::TUnitList(std::vector<TUnitRec> units) : FList(std::move(units)) {
  // Later units win where ranges overlap: paint from the last unit back,
  // each one only into the gaps the later ones left.
  std::map<std::uint32_t, TUnitSpan> painted;  // by Begin
  for (std::size_t i = FList.size(); i-- > 0;) {
    const TUnitRec& u = FList[i];
    if (u.Size == 0) continue;
    std::uint64_t from = u.Addr;
    const std::uint64_t to = std::uint64_t{u.Addr} + u.Size;
    auto it = painted.upper_bound(u.Addr);
    if (it != painted.begin() && std::prev(it)->second.End > from) from = std::prev(it)->second.End;
    // Offsets are 32-bit: nothing at or past 2^32 can be asked for.
    while (from < to && from <= 0xFFFFFFFFu) {
      const std::uint64_t gap_end = it == painted.end() ? to : std::min<std::uint64_t>(to, it->first);
      if (from < gap_end) {
        painted.emplace(static_cast<std::uint32_t>(from),
                        TUnitSpan{static_cast<std::uint32_t>(from), gap_end, static_cast<std::uint32_t>(i)});
      }
      if (it == painted.end()) break;
      from = std::max<std::uint64_t>(from, it->second.End);
      ++it;
    }
  }
  FIndex.reserve(painted.size());
  for (const auto& entry : painted) {
    const TUnitSpan& span = entry.second;
    if (!FIndex.empty() && FIndex.back().Unit == span.Unit && FIndex.back().End == span.Begin) {
      FIndex.back().End = span.End;
    } else {
      FIndex.push_back(span);
    }
  }
}

const TUnitRec* TUnitList::FindUnit(std::uint32_t addr) const noexcept {
  auto it = std::upper_bound(FIndex.begin(), FIndex.end(), addr,
                             [](std::uint32_t a, const TUnitSpan& s) { return a < s.Begin; });
  if (it == FIndex.begin()) return nullptr;
  --it;
  return addr < it->End ? &FList[it->Unit] : nullptr;
}

const TUnitRec* TUnitList::FindUnit(const std::wstring& source) const noexcept {
  for (const TUnitRec& u : FList) {
    if (SameFileName(ExtractFileNamePart(u.FileName), ExtractFileNamePart(source))) return &u;
  }
  return nullptr;
}

void DeriveDebugVLSizes(std::vector<TDebugVLUnitDraft>& units, std::uint16_t version) {
  const std::size_t n = units.size();
  for (std::size_t i = 0; i < n; ++i) {
    TDebugVLUnitDraft& u = units[i];
    if (u.Size != 0) continue;
    if (i + 1 == n) {
      u.Size = 0x7FFFFFFF;
      continue;
    }
    const TDebugVLUnitDraft& next = units[i + 1];
    const std::int64_t d = u.SegmentInd == next.SegmentInd ? std::int64_t{next.Addr} - u.Addr
                                                           : std::int64_t{next.AbsAddr} - u.AbsAddr;
    if (d < 0) RaiseDebugVLAssertion(std::wstring(L"[UnitRec^.Size >= 0") + kMapFileTail);
    u.Size = static_cast<std::uint32_t>(d);
  }
  for (std::size_t ui = 0; ui < n; ++ui) {
    TDebugVLUnitDraft& u = units[ui];
    auto& procs = u.Procs;
    if (IsOldDebugVLVersion(version) && !procs.empty() && std::uint64_t{u.Addr} + u.Size <= procs.back().Addr) {
      for (std::size_t k = ui + 1; k < n; ++k) {
        if (units[k].Addr > procs.back().Addr) {
          u.Size = units[k].Addr - u.Addr;
          break;
        }
      }
    }
    for (std::size_t i = 0; i < procs.size(); ++i) {
      TDebugVLProcDraft& p = procs[i];
      if (p.Size != 0) continue;
      const std::int64_t d = i + 1 < procs.size() ? std::int64_t{procs[i + 1].Addr} - p.Addr
                                                  : std::int64_t{u.Addr} + u.Size - p.Addr;
      if (d < 0) RaiseDebugVLAssertion(std::wstring(L"[ProcRec^.Size >= 0") + kMapFileTail);
      p.Size = static_cast<std::uint32_t>(d);
    }
    for (std::size_t pi = 0; pi < procs.size(); ++pi) {
      TDebugVLProcDraft& p = procs[pi];
      auto& lines = p.Lines;
      bool dropped_self = false;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        TLineRec& l = lines[i];
        if (l.Size != 0) continue;
        std::int64_t d;
        if (i + 1 < lines.size()) {
          d = std::int64_t{lines[i + 1].Addr} - l.Addr;
        } else {
          d = p.Size != 0 && p.Addr != 0 ? std::int64_t{p.Size} + p.Addr - l.Addr : 0;
          if (d < 0) {
            const std::int64_t next_start = pi + 1 < procs.size() ? procs[pi + 1].Addr
                                            : ui + 1 < n          ? units[ui + 1].Addr
                                                                  : 0;
            d = next_start - l.Addr;
            if (d < 0) {
              // The routine's line table runs past anything that follows;
              // the unit's last routine cannot be trusted.
              dropped_self = pi + 1 == procs.size();
              procs.pop_back();
              break;
            }
          }
        }
        if (d < 0) RaiseDebugVLAssertion(std::wstring(L"[LineRec.Size >= 0") + kMapFileTail);
        l.Size = static_cast<std::uint32_t>(d);
      }
      if (dropped_self) break;
    }
  }
}

TUnitList MakeUnitList(std::vector<TDebugVLUnitDraft> drafts) {
  std::vector<TUnitRec> units;
  units.reserve(drafts.size());
  for (TDebugVLUnitDraft& d : drafts) {
    std::vector<TProcRec> procs;
    procs.reserve(d.Procs.size());
    for (TDebugVLProcDraft& p : d.Procs) {
      procs.push_back(TProcRec{std::move(p.Name), p.Addr, p.Size, TLines(std::move(p.Lines))});
    }
    units.push_back(TUnitRec{std::move(d.Name), std::move(d.FileName), d.Addr, d.Size,
                             TProcedures(std::move(procs)), d.ModuleInd, d.SegmentInd, d.AbsAddr, d.Code});
  }
  return TUnitList(std::move(units));
}

}  // namespace zelvic::diag
