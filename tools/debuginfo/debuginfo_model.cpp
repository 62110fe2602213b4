#include "debuginfo_model.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <span>

#include "diagnostics/debuginfo/EDebugVLStrings.h"
#include "diagnostics/util/ECodeOffsets.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::tools {

namespace dg = zelvic::diag;

namespace {

// A longer hole between two routines is not alignment padding: the run of
// the file ends there.
constexpr std::uint64_t kMaxPadding = 15;

struct TInterval {
  std::uint64_t Low, High;
  std::uint32_t File;  // global file id
  std::int32_t Line;
};

struct TPart {
  std::uint64_t Low, High;
  std::uint32_t File;
  std::string Name;
};

}  // namespace

std::wstring Widen(const std::string& utf8) {
  return dg::DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size()));
}

std::string RelativeToRoot(const std::string& path, const std::string& root) {
  std::string base = root;
  while (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  if (base.empty() || path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0) return path;
  if (const char sep = path[base.size()]; sep != '/' && sep != '\\') return path;
  return path.substr(base.size() + 1);
}

std::string Demangle(const std::string& mangled) {
  if (mangled.rfind("_Z", 0) != 0) return mangled;
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && text ? std::string(text.get()) : mangled;
}

std::string StripParameters(const std::string& d) {
  std::string s = d;
  // Trailing qualifiers after the parameter list: " const", " &", " &&",
  // " volatile", " noexcept", " [clone .cold]" style suffixes.
  while (true) {
    std::size_t end = s.size();
    while (end > 0 && s[end - 1] == ' ') --end;
    s.resize(end);
    if (s.empty()) return d;
    if (s.back() == ')') break;
    if (s.back() == ']') {
      const std::size_t open = s.rfind(" [");
      if (open == std::string::npos) return d;
      s.resize(open);
      continue;
    }
    const std::size_t space = s.rfind(' ');
    if (space == std::string::npos) return s;  // not a function signature
    const std::string word = s.substr(space + 1);
    if (word == "const" || word == "volatile" || word == "&" || word == "&&" || word == "noexcept") {
      s.resize(space);
      continue;
    }
    return s;
  }
  int depth = 0;
  for (std::size_t i = s.size(); i-- > 0;) {
    if (s[i] == ')') ++depth;
    else if (s[i] == '(' && --depth == 0) {
      std::string head = s.substr(0, i);
      // A conversion or call operator keeps its own "()".
      if (head.size() >= 8 && head.compare(head.size() - 8, 8, "operator") == 0) return s;
      // The return type of a template instance ("int foo<int>(int)") stays
      // out of the name: it ends at the last space outside brackets.
      int angle = 0;
      for (std::size_t k = head.size(); k-- > 0;) {
        const char c = head[k];
        if (c == '>' || c == ')') ++angle;
        else if ((c == '<' || c == '(') && angle > 0) --angle;
        else if (c == ' ' && angle == 0) {
          if (k >= 8 && head.compare(k - 8, 8, "operator") == 0) continue;
          head = head.substr(k + 1);
          break;
        }
      }
      return head;
    }
  }
  return s;
}

std::string RoutineDisplayName(const std::string& linkage_name, const std::string& name, const std::string& scope) {
  std::string text = !linkage_name.empty() ? StripParameters(Demangle(linkage_name)) : std::string();
  if (linkage_name.empty() || text == linkage_name) {
    // Not an Itanium name (or none, as for routines of an anonymous
    // namespace): the DWARF name in its scope.
    text = !name.empty() ? name : linkage_name;
    if (!scope.empty() && !text.empty()) text = scope + "::" + text;
  }
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ':' && i + 1 < text.size() && text[i + 1] == ':') {
      out.push_back('.');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

TDwarfSections DwarfSectionsOf(const TPeImage& image) {
  TDwarfSections s;
  s.Info = image.SectionData(".debug_info");
  s.Abbrev = image.SectionData(".debug_abbrev");
  s.Line = image.SectionData(".debug_line");
  s.Str = image.SectionData(".debug_str");
  s.LineStr = image.SectionData(".debug_line_str");
  s.Ranges = image.SectionData(".debug_ranges");
  s.RngLists = image.SectionData(".debug_rnglists");
  s.Addr = image.SectionData(".debug_addr");
  s.StrOffsets = image.SectionData(".debug_str_offsets");
  return s;
}

namespace {

// Rows, routines and units are found by bisection over lists sorted by
// their start.
template <typename T>
auto FirstAfter(const std::vector<T>& list, std::uint64_t addr) {
  return std::upper_bound(list.begin(), list.end(), addr, [](std::uint64_t a, const T& r) { return a < r.Low; });
}

// The model is made in phases over the DWARF and the symbol table: the line
// rows, the inlined calls, the routines' code parts (from subprograms, then
// from rows no subprogram covers), the units grouped from the parts with each
// routine's lines, and the two rules the reader imposes on what is stored.
class TModelBuilder {
 public:
  TModelBuilder(const TPeImage& image, const TDwarfInfo& dwarf, const TDebugModelOptions& options,
                TDebugModelStats& stats)
      : image_(image), dwarf_(dwarf), options_(options), st_(stats) {}

  std::vector<dg::TDebugVLUnitModel> Build() {
    CollectLineRows();
    CollectInlinedCalls();
    CollectRoutineParts();
    AddRowRoutines();
    std::vector<dg::TDebugVLUnitModel> units = GroupIntoUnits();
    if (!options_.Names) ForgetNames(units);
    CloseRoutineAtOffsetZero(units);
    return units;
  }

 private:
  bool InCode(std::uint64_t lo, std::uint64_t hi) const {
    for (const TPeSection& s : image_.Sections) {
      const std::uint64_t a = image_.ImageBase + s.VirtualAddress;
      if (s.IsCode() && lo >= a && hi <= a + s.VirtualSize && lo < hi) return true;
    }
    return false;
  }

  // One id per distinct stored path, across all units.
  std::uint32_t FileId(const std::string& path) {
    const std::string p = RelativeToRoot(path, options_.SourceRoot);
    auto [it, added] = file_ids_.emplace(p, static_cast<std::uint32_t>(files_.size()));
    if (added) files_.push_back(p);
    return it->second;
  }

  std::uint32_t CodeOffset(std::uint64_t address) const {
    return static_cast<std::uint32_t>(address - image_.ImageBase - dg::kCodeOffsetBase);
  }

  void CollectLineRows() {
    for (const TDwarfCompileUnit& u : dwarf_.Units) {
      if (!u.HasLines) continue;
      std::vector<std::uint32_t> ids;
      for (const std::string& f : u.Lines.Files) ids.push_back(FileId(f));
      for (const auto& seq : u.Lines.Sequences) {
        if (seq.size() < 2 || !InCode(seq.front().Addr, seq.back().Addr)) continue;
        for (std::size_t i = 0; i + 1 < seq.size(); ++i) {
          // Rows at one address: the last one describes the code.
          if (seq[i + 1].Addr <= seq[i].Addr) continue;
          rows_.push_back({seq[i].Addr, seq[i + 1].Addr, ids.empty() ? 0 : ids[seq[i].File], seq[i].Line});
        }
      }
    }
    std::stable_sort(rows_.begin(), rows_.end(), [](const TInterval& a, const TInterval& b) { return a.Low < b.Low; });
  }

  const TInterval* RowAt(std::uint64_t addr) const {
    auto it = FirstAfter(rows_, addr);
    if (it == rows_.begin()) return nullptr;
    --it;
    return addr < it->High ? &*it : nullptr;
  }

  bool HasRowsOf(const TDwarfRange& range, std::uint32_t file) const {
    auto it = FirstAfter(rows_, range.Low);
    if (it != rows_.begin()) --it;
    for (; it != rows_.end() && it->Low < range.High; ++it) {
      if (it->High > range.Low && it->File == file) return true;
    }
    return false;
  }

  // The outermost inlined calls, by address: a row of inlined code from
  // another file is stored as the line of the call in the routine's file.
  void CollectInlinedCalls() {
    for (const TDwarfInlinedCall& call : dwarf_.InlinedCalls) {
      const TDwarfCompileUnit& u = dwarf_.Units.at(call.Unit);
      if (!u.HasLines || call.CallFile < 0 || static_cast<std::uint64_t>(call.CallFile) >= u.Lines.Files.size()) {
        continue;
      }
      const std::uint32_t f = FileId(u.Lines.Files[static_cast<std::size_t>(call.CallFile)]);
      for (const TDwarfRange& r : call.Ranges) calls_.push_back({r.Low, r.High, f, call.CallLine});
    }
    std::sort(calls_.begin(), calls_.end(), [](const TInterval& a, const TInterval& b) { return a.Low < b.Low; });
  }

  // The call lines over [low, high) in the given file, as (start, line);
  // one row may hold the ends of several calls.
  std::vector<std::pair<std::uint64_t, std::int32_t>> CallLinesIn(std::uint64_t low, std::uint64_t high,
                                                                  std::uint32_t file) const {
    std::vector<std::pair<std::uint64_t, std::int32_t>> out;
    // Outermost calls of one routine do not overlap; a few steps back reach
    // one that began before `low`.
    auto from = FirstAfter(calls_, low);
    for (int back = 0; back < 8 && from != calls_.begin(); ++back) --from;
    for (; from != calls_.end() && from->Low < high; ++from) {
      if (from->High > low && from->File == file) out.emplace_back(std::max(from->Low, low), from->Line);
    }
    std::stable_sort(out.begin(), out.end());
    return out;
  }

  // The routine's own file is where it is defined; the row at its entry may
  // already belong to code inlined from a header.
  std::uint32_t RoutineFile(const TDwarfRoutine& r, const TDwarfRange& range) {
    const TDwarfCompileUnit* decl_unit = r.DeclUnit < dwarf_.Units.size() ? &dwarf_.Units[r.DeclUnit] : nullptr;
    const TDwarfCompileUnit& unit = dwarf_.Units.at(r.Unit);
    if (r.DeclFile >= 0 && decl_unit != nullptr && decl_unit->HasLines &&
        static_cast<std::uint64_t>(r.DeclFile) < decl_unit->Lines.Files.size()) {
      return FileId(decl_unit->Lines.Files[static_cast<std::size_t>(r.DeclFile)]);
    }
    if (unit.HasLines && !unit.Lines.Files.empty() && HasRowsOf(range, FileId(unit.Lines.Files[0]))) {
      // A routine without declaration (static destructors "__tcf_N") may
      // start with inlined code; its own lines are the main file's.
      return FileId(unit.Lines.Files[0]);
    }
    if (const TInterval* row = RowAt(range.Low)) return row->File;
    return FileId(unit.Name.empty() || unit.Name[0] == '/' ? unit.Name : unit.CompDir + "/" + unit.Name);
  }

  void CollectRoutineParts() {
    // GCC leaves DW_AT_linkage_name out for many definitions (template
    // instances, routines of anonymous namespaces); the symbol table of the
    // unstripped link has their Itanium names.
    std::map<std::uint64_t, std::string> mangled_at;
    for (const TCoffSymbol& sym : image_.Symbols) {
      if (sym.Function && sym.Name.rfind("_Z", 0) == 0) mangled_at.emplace(sym.Address, sym.Name);
    }
    for (const TDwarfRoutine& r : dwarf_.Routines) {
      std::string linkage = r.LinkageName;
      if (linkage.empty() && !r.Ranges.empty()) {
        if (const auto it = mangled_at.find(r.Ranges.front().Low); it != mangled_at.end()) linkage = it->second;
      }
      const std::string name = RoutineDisplayName(linkage, r.Name, r.Scope);
      for (const TDwarfRange& range : r.Ranges) {
        if (!InCode(range.Low, range.High)) {
          ++st_.DroppedRanges;
          continue;
        }
        parts_.push_back({range.Low, range.High, RoutineFile(r, range), name});
      }
    }
    std::stable_sort(parts_.begin(), parts_.end(), [](const TPart& a, const TPart& b) { return a.Low < b.Low; });
    // Two DIEs for one piece of code (aliases): the first stays.
    parts_.erase(
        std::unique(parts_.begin(), parts_.end(), [](const TPart& a, const TPart& b) { return a.Low == b.Low; }),
        parts_.end());
  }

  bool Covered(std::uint64_t addr) const {
    auto it = FirstAfter(parts_, addr);
    for (int back = 0; back < 4 && it != parts_.begin(); ++back) {
      --it;
      if (addr < it->High) return true;
    }
    return false;
  }

  // Code with line rows but no subprogram DIE (GCC keeps none for some
  // routines that identical-code folding turned into separate copies):
  // routines from the rows, one per symbol, named after the symbol there.
  void AddRowRoutines() {
    std::map<std::uint64_t, std::string> symbol_at;
    for (const TCoffSymbol& sym : image_.Symbols) {
      if (sym.Function) symbol_at.emplace(sym.Address, sym.Name);
    }
    std::vector<TPart> orphans;
    for (const TInterval& row : rows_) {
      if (Covered(row.Low)) continue;
      const auto sym = symbol_at.find(row.Low);
      if (sym == symbol_at.end()) {
        // A row just past a routine's DWARF end (its alignment padding) or
        // the continuation of a routine made here.
        if (!orphans.empty() && orphans.back().High == row.Low) orphans.back().High = row.High;
        continue;
      }
      std::string name = sym->second;
      // stdcall decoration "@N" is not part of the name.
      if (const std::size_t at = name.rfind('@'); at != std::string::npos && at > 0 &&
          name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
        name.resize(at);
      }
      name = RoutineDisplayName(name.rfind("_Z", 0) == 0 ? name : std::string(), name);
      orphans.push_back({row.Low, row.High, row.File, name});
      ++st_.RowRoutines;
    }
    if (!orphans.empty()) {
      parts_.insert(parts_.end(), orphans.begin(), orphans.end());
      std::stable_sort(parts_.begin(), parts_.end(), [](const TPart& a, const TPart& b) { return a.Low < b.Low; });
    }
  }

  // The stored name of a routine of unit `u`: the reader splits class and
  // method with ParseClassName, and a routine of the same class as the last
  // one stores only ".Method".
  std::wstring StoredName(const std::string& name, const dg::TDebugVLUnitModel& u, std::wstring& last_class) const {
    if (name.empty()) return {};
    std::wstring cls;
    const std::wstring wide = Widen(name);
    const std::wstring method = dg::ParseClassName(u.Name, wide, cls);
    std::wstring stored = wide;
    if (!cls.empty() && cls == last_class && !method.empty() && method != L"?" && method.front() != L'.') {
      stored = L"." + method;
    }
    if (!cls.empty()) last_class = cls;
    return stored;
  }

  // The lines of the part over [p.Low, high): its own file's rows, and the
  // lines of the calls that inlined code from other files.
  std::vector<dg::TDebugVLLineModel> RoutineLines(const TPart& p, std::uint64_t high) {
    std::vector<dg::TDebugVLLineModel> lines;
    auto add_line = [&](std::uint64_t start, std::int32_t line) {
      if (line <= 0) return;
      const std::uint32_t at = CodeOffset(start);
      if (!lines.empty() && (lines.back().No == line || lines.back().Addr == at)) {
        if (lines.back().Addr == at) lines.back().No = line;
        return;
      }
      lines.push_back({line, at});
    };
    // Code without any row (cold parts whose rows GCC left out) still has
    // its inlined calls' lines.
    std::uint64_t done = p.Low;
    auto fill_gap = [&](std::uint64_t until) {
      if (until > done) {
        for (const auto& [at, line] : CallLinesIn(done, until, p.File)) add_line(at, line);
      }
    };
    auto it = FirstAfter(rows_, p.Low);
    if (it != rows_.begin() && std::prev(it)->High > p.Low) --it;
    for (; it != rows_.end() && it->Low < high; ++it) {
      const std::uint64_t start = std::max(it->Low, p.Low);
      fill_gap(start);
      done = std::max(done, std::min(it->High, high));
      if (it->File == p.File && it->Line > 0) {
        add_line(start, it->Line);
        continue;
      }
      // Inlined code from another file, or a row without a line: the line of
      // the call it belongs to. Without a call record the row stays with the
      // line before it.
      ++st_.ForeignRows;
      for (const auto& [at, line] : CallLinesIn(start, std::min(it->High, high), p.File)) add_line(at, line);
    }
    fill_gap(high);
    return lines;
  }

  // One unit per contiguous run of one file's parts (alignment padding
  // between them allowed).
  std::vector<dg::TDebugVLUnitModel> GroupIntoUnits() {
    std::vector<dg::TDebugVLUnitModel> units;
    std::uint64_t unit_end = 0;
    std::uint32_t unit_file = 0;
    std::wstring last_class;
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      const TPart& p = parts_[i];
      const bool same_run =
          !units.empty() && p.File == unit_file && p.Low >= unit_end && p.Low - unit_end <= kMaxPadding;
      if (!same_run) {
        dg::TDebugVLUnitModel u;
        u.FileName = Widen(files_[p.File]);
        u.Name = dg::ExtractFileNamePart(u.FileName);
        u.Addr = CodeOffset(p.Low);
        units.push_back(std::move(u));
        unit_file = p.File;
        unit_end = p.Low;
        last_class.clear();
      }
      dg::TDebugVLUnitModel& u = units.back();
      // A routine overlapping the next one's start ends there.
      const std::uint64_t high =
          i + 1 < parts_.size() ? std::min(p.High, std::max(parts_[i + 1].Low, p.Low + 1)) : p.High;
      dg::TDebugVLProcModel proc;
      proc.Addr = CodeOffset(p.Low);
      proc.Name = StoredName(p.Name, u, last_class);
      proc.Lines = RoutineLines(p, high);
      // The writer starts a routine with its first line; code before it
      // (inlined from elsewhere, or line 0) takes that line.
      if (!proc.Lines.empty()) proc.Lines.front().Addr = proc.Addr;
      st_.LineEntries += proc.Lines.size();
      ++st_.Routines;
      u.Procs.push_back(std::move(proc));
      // Alignment padding before the next routine belongs to this one (the
      // last line reaches to the routine's end), also at the end of a unit.
      std::uint64_t extent = high;
      if (i + 1 < parts_.size() && parts_[i + 1].Low > high && parts_[i + 1].Low - high <= kMaxPadding) {
        extent = parts_[i + 1].Low;
      }
      unit_end = std::max(unit_end, extent);
      u.Size = CodeOffset(unit_end) - u.Addr;
    }
    return units;
  }

  // csoDoNotStoreProcNames. The reader keeps a nameless routine only when it
  // does not start at code offset 0, so that one keeps its name.
  static void ForgetNames(std::vector<dg::TDebugVLUnitModel>& units) {
    for (dg::TDebugVLUnitModel& u : units) {
      for (dg::TDebugVLProcModel& p : u.Procs) {
        if (p.Addr != 0) p.Name.clear();
      }
    }
  }

  // The reader gives the last line of a routine at code offset 0 no size
  // (its rule needs a non-zero start); a closing entry at the routine's end
  // gives that line its range and itself none.
  static void CloseRoutineAtOffsetZero(std::vector<dg::TDebugVLUnitModel>& units) {
    if (units.empty() || units.front().Procs.empty() || units.front().Procs.front().Addr != 0 ||
        units.front().Procs.front().Lines.empty()) {
      return;
    }
    dg::TDebugVLUnitModel& u = units.front();
    dg::TDebugVLProcModel& p = u.Procs.front();
    const std::uint32_t end = u.Procs.size() > 1 ? u.Procs[1].Addr : u.Addr + u.Size;
    if (end > p.Lines.back().Addr) p.Lines.push_back({p.Lines.back().No, end});
  }

  const TPeImage& image_;
  const TDwarfInfo& dwarf_;
  const TDebugModelOptions& options_;
  TDebugModelStats& st_;
  std::vector<std::string> files_;
  std::map<std::string, std::uint32_t> file_ids_;
  std::vector<TInterval> rows_;   // by Low
  std::vector<TInterval> calls_;  // by Low
  std::vector<TPart> parts_;      // by Low
};

}  // namespace

std::vector<dg::TDebugVLUnitModel> BuildDebugModel(const TPeImage& image, const TDwarfInfo& dwarf,
                                                   const TDebugModelOptions& options, TDebugModelStats* stats) {
  TDebugModelStats local;
  return TModelBuilder(image, dwarf, options, stats != nullptr ? *stats : local).Build();
}

}  // namespace zelvic::tools
