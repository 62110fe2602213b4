// The tables the debug information reads into: units (a source file's run of
// code), their routines and each routine's lines, with the sizes the data
// leaves out derived. The tables are made once, from drafts, and are
// read-only after: the search index is built when they are made (a flat span
// table in which later units win on overlaps, bisection of routine and line
// lists that ascend without overlapping), so it always answers exactly as a
// plain scan of the lists would.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugVLFormat.h"

namespace zelvic::diag {

struct TLineRec {
  std::int32_t No = 0;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
};

// A list of [Addr, Addr + Size) ranges; asked for an offset it answers as a
// forward scan would (the first range that holds it), by bisection when the
// ranges ascend without overlapping.
template <typename Rec>
class TRangeTable {
 public:
  TRangeTable() = default;
  explicit TRangeTable(std::vector<Rec> list);
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const Rec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  std::span<const Rec> Items() const noexcept { return FList; }

 protected:
  const Rec* FindRange(std::uint32_t addr) const noexcept;

 private:
  std::vector<Rec> FList;
  bool FOrdered = false;
};

class TLines : public TRangeTable<TLineRec> {
 public:
  using TRangeTable::TRangeTable;
  const TLineRec* FindLine(std::uint32_t addr) const noexcept { return FindRange(addr); }
};

struct TProcRec {
  std::wstring Name;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  TLines Lines;
};

class TProcedures : public TRangeTable<TProcRec> {
 public:
  using TRangeTable::TRangeTable;
  const TProcRec* FindProc(std::uint32_t addr) const noexcept { return FindRange(addr); }
};

struct TUnitRec {
  std::wstring Name;
  std::wstring FileName;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  TProcedures Procedures;
  std::int32_t ModuleInd = 0;
  std::int32_t SegmentInd = 0;
  std::uint32_t AbsAddr = 0;
  bool Code = false;
};

class TUnitList {
 public:
  TUnitList() = default;
  explicit TUnitList(std::vector<TUnitRec> units);
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TUnitRec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  std::span<const TUnitRec> Items() const noexcept { return FList; }
  // As a scan from the last unit: on overlapping ranges the later unit
  // answers.
  const TUnitRec* FindUnit(std::uint32_t addr) const noexcept;
  // By source file name (file-name comparison).
  const TUnitRec* FindUnit(const std::wstring& source) const noexcept;

 private:
  // Disjoint, ascending spans, each answered by the unit a backward scan
  // would find first.
  struct TUnitSpan {
    std::uint32_t Begin;
    std::uint64_t End;
    std::uint32_t Unit;
  };
  std::vector<TUnitRec> FList;
  std::vector<TUnitSpan> FIndex;
};

// The tables while they are read: plain lists, sizes still open.
struct TDebugVLProcDraft {
  std::wstring Name;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  std::vector<TLineRec> Lines;
};
struct TDebugVLUnitDraft {
  std::wstring Name;
  std::wstring FileName;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  std::vector<TDebugVLProcDraft> Procs;
  std::int32_t ModuleInd = 0;
  std::int32_t SegmentInd = 0;
  std::uint32_t AbsAddr = 0;
  bool Code = false;
};

// Fills in the sizes the data of that version leaves at 0 (a unit's last
// routine whose lines run past anything that follows is dropped); raises
// rt::EAssertionFailed on a negative one.
void DeriveDebugVLSizes(std::vector<TDebugVLUnitDraft>& units, std::uint16_t version);
// The read-only, indexed tables of the drafts.
TUnitList MakeUnitList(std::vector<TDebugVLUnitDraft> units);

}  // namespace zelvic::diag
