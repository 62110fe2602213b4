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

class TLines {
 public:
  TLines() = default;
  explicit TLines(std::vector<TLineRec> lines);
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TLineRec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  std::span<const TLineRec> Items() const noexcept { return FList; }
  // The first entry whose range holds the offset.
  const TLineRec* FindLine(std::uint32_t addr) const noexcept;

 private:
  std::vector<TLineRec> FList;
  // The ranges ascend without overlapping: bisection finds what the forward
  // scan would.
  bool FOrdered = false;
};

struct TProcRec {
  std::wstring Name;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  TLines Lines;
};

class TProcedures {
 public:
  TProcedures() = default;
  explicit TProcedures(std::vector<TProcRec> procs);
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TProcRec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  std::span<const TProcRec> Items() const noexcept { return FList; }
  // The first routine whose range holds the offset.
  const TProcRec* FindProc(std::uint32_t addr) const noexcept;

 private:
  std::vector<TProcRec> FList;
  bool FOrdered = false;
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
