// A reader of the DWARF 4 and 5 data that GCC and binutils leave in the
// unstripped link: compile units, the concrete routines (subprograms with a
// code range, named through their declaration or abstract origin), and
// the line-number programs. It takes the section bytes, checks every offset
// and length against them, and raises TDwarfFormatError on anything that
// does not fit.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvic::tools {

class TDwarfFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TDwarfSections {
  std::span<const std::uint8_t> Info, Abbrev, Line, Str, LineStr, Ranges, RngLists, Addr, StrOffsets;
};

struct TDwarfLineRow {
  std::uint64_t Addr = 0;
  std::uint32_t File = 0;  // index into TDwarfLineTable::Files
  std::int32_t Line = 0;
  bool EndSequence = false;
};

struct TDwarfLineTable {
  // Paths as the line program names them, joined with their directory and
  // the compilation directory; indexed by the program's own file numbers.
  std::vector<std::string> Files;
  // Each sequence in program order, closed by its end_sequence row.
  std::vector<std::vector<TDwarfLineRow>> Sequences;
};

struct TDwarfRange {
  std::uint64_t Low = 0, High = 0;  // [Low, High)
};

struct TDwarfRoutine {
  std::vector<TDwarfRange> Ranges;  // the first holds the entry point
  std::string Name;                 // DW_AT_name, followed through declaration/origin
  std::string LinkageName;          // the mangled name when there is one
  std::string Scope;                // enclosing namespaces and classes of the declaration, "::"-joined
  std::size_t Unit = 0;             // index into TDwarfInfo::Units
  // DW_AT_decl_file of the definition (or of its declaration): a file
  // number of the line table of unit DeclUnit; -1 when none is given.
  std::int64_t DeclFile = -1;
  std::size_t DeclUnit = 0;
};

struct TDwarfCompileUnit {
  std::uint64_t Offset = 0;
  std::uint16_t Version = 0;
  std::string Name, CompDir;
  bool HasLines = false;
  TDwarfLineTable Lines;
};

// A call inlined directly into a routine's own code (not into another
// inlined call): where the call is in the routine's source.
struct TDwarfInlinedCall {
  std::vector<TDwarfRange> Ranges;
  std::int64_t CallFile = -1;  // a file number of the unit's line table
  std::int32_t CallLine = 0;
  std::size_t Unit = 0;
};

struct TDwarfInfo {
  std::vector<TDwarfCompileUnit> Units;
  std::vector<TDwarfRoutine> Routines;  // out-of-line (concrete) routines only
  std::vector<TDwarfInlinedCall> InlinedCalls;
};

TDwarfInfo ReadDwarf(const TDwarfSections& sections);

// One line program at `offset` of .debug_line (exposed for tests).
TDwarfLineTable ReadLineProgram(const TDwarfSections& sections, std::uint64_t offset, const std::string& comp_dir,
                                const std::string& unit_name);

}  // namespace zelvic::tools
