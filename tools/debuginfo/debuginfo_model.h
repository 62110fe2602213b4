// From the DWARF of the unstripped link to the writer's model of the
// library's own debug information: one unit per contiguous address run of
// one source file, its routines (named from demangled Itanium names) and
// their line entries.
//
// Lines of code inlined from another file than the routine's own are not
// stored with that file's numbers (a unit has one file): such addresses keep
// the routine's preceding line, i.e. they are attributed to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "dwarf_reader.h"
#include "pe_sections.h"

namespace zelvic::tools {

struct TDebugModelOptions {
  // false: csoDoNotStoreProcNames. Routines stay (they delimit the line
  // tables) but lose their names, except one starting at code offset 0,
  // which the reader would otherwise drop with its lines. Write such a
  // model with TDebugVLWriteOptions::StoreProcNames true, or that name goes.
  bool Names = true;
  // The repository root of the build: source paths under it are stored
  // relative to it ("src/runtime/exceptions.cpp"), so the data neither shows
  // the build machine's directories nor differs between two checkouts.
  // Paths elsewhere (system headers, the C runtime's sources) stay as the
  // DWARF names them. Empty: every path stays as it is.
  std::string SourceRoot;
};

struct TDebugModelStats {
  std::size_t Routines = 0;      // routine records (code parts) written
  std::size_t LineEntries = 0;
  std::size_t ForeignRows = 0;   // line rows of inlined code from other files (stored as the call line)
  std::size_t DroppedRanges = 0; // ranges outside every code section (discarded COMDAT copies)
  std::size_t RowRoutines = 0;   // routines made from line rows that no subprogram covers
};

// "ns::Class::Method(args) const" -> "ns.Class.Method"; names that are not
// mangled come back as they are.
std::string RoutineDisplayName(const std::string& linkage_name, const std::string& name,
                               const std::string& scope = {});
// abi::__cxa_demangle, or the input when it is not an Itanium name.
std::string Demangle(const std::string& mangled);
// The name without its trailing parameter list and qualifiers.
std::string StripParameters(const std::string& demangled);

std::vector<zelvic::diag::TDebugVLUnitModel> BuildDebugModel(const TPeImage& image, const TDwarfInfo& dwarf,
                                                             const TDebugModelOptions& options,
                                                             TDebugModelStats* stats = nullptr);

// `path` relative to `root` when it lies under it (a whole-directory match:
// "/a/bc" is not under "/a/b"); otherwise unchanged.
std::string RelativeToRoot(const std::string& path, const std::string& root);

// The DWARF sections of a PE image.
TDwarfSections DwarfSectionsOf(const TPeImage& image);

std::wstring Widen(const std::string& utf8);

}  // namespace zelvic::tools
