// The library's own debug information, written from the DWARF of the
// unstripped link, read back with the format's scanner and compared with an
// independent symbolizer (llvm-symbolizer) run on the same file, for every
// routine entry (DWARF subprograms and COFF function symbols), addresses
// spread inside each routine, its last byte, and a stride over .text.
//
// Checked strictly: the routine (class and method, from the demangled name
// the symbolizer takes from the symbol table), the source file, and the line
// (the line-table row where the code is the routine's own file's; the call
// line where it is inlined from another file). The data stores paths under
// the repository root relative to it, as the build does: the symbolizer's
// absolute path is compared with the root in front of the stored one.
//
// Where the two may differ, by the format's rules, each case counted:
// - A unit carries one source file, so code inlined from another file (a
//   header) is attributed to the caller's unit, at the line of the call: the
//   symbolizer's outermost frame, not its innermost.
// - A header's row inside a routine that GCC left without an inline record:
//   the symbolizer can name only the header; the format gives the routine's
//   own file and its line before the row.
// - Bytes of a routine without any row (alignment padding after its last
//   row, or its first bytes before its first row): the symbolizer says
//   "??", the format gives the routine (the last line of a routine reaches
//   to its end; the first line starts at its entry).
// - C routines with two names at one address: the symbolizer may pick the
//   other symbol.
// Addresses the symbolizer cannot place at all and that belong to no such
// routine (code without DWARF, e.g. libgcc) must lie in no unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "debuginfo_model.h"
#include "diagnostics/debuginfo/EDebugVLScanner.h"
#include "diagnostics/debuginfo/EDebugVLStrings.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/ETextEncoding.h"

namespace {

namespace dg = zelvic::diag;
namespace zt = zelvic::tools;

constexpr std::uint32_t kFirstSectionRva = 0x1000;

struct TFrame {
  std::string Function, File;
  int Line = 0;
};

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(static_cast<char>(c));
  return s;
}

// The symbolizer's name in the form the scanner gives routines.
std::wstring ExpectedRoutine(const std::wstring& unit_name, std::string function) {
  // The symbolizer takes the name from the COFF symbol table, mangled. C
  // names of GCC's clones keep the clone suffix there ("swprintf.constprop.0",
  // "thread_print.cold"); the routine is the original.
  if (function.rfind("_Z", 0) != 0) {
    for (const char* suffix : {".constprop.", ".isra.", ".part.", ".cold", ".lto_priv."}) {
      if (const std::size_t at = function.find(suffix); at != std::string::npos) function.resize(at);
    }
  }
  const std::string display = zt::RoutineDisplayName("", zt::StripParameters(zt::Demangle(function)));
  std::wstring cls;
  const std::wstring method = dg::ParseClassName(unit_name, zt::Widen(display), cls);
  return cls.empty() ? method : cls + L"." + method;
}

// The repository root whose paths the data stores relative to it;
// ZELVIC_SOURCE_ROOT in the environment names the root of another checkout
// (with ZELVIC_PLAIN_DLL built there).
std::string SourceRoot() {
  const char* env = std::getenv("ZELVIC_SOURCE_ROOT");
  return env != nullptr && *env != 0 ? env : ZELVIC_SOURCE_ROOT;
}

// Standard Base64 with "=" padding; nullopt on anything else.
std::optional<std::vector<std::uint8_t>> Base64Decode(const std::wstring& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t group = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const wchar_t c = text[i + k];
      if (c == L'=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        group <<= 6;
        continue;
      }
      const std::size_t v = c < 128 && pad == 0 ? alphabet.find(static_cast<char>(c)) : std::string::npos;
      if (v == std::string::npos) return std::nullopt;
      group = (group << 6) | static_cast<std::uint32_t>(v);
    }
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(group));
  }
  return out;
}

class DebugInfoFromDll : public ::testing::Test {
 protected:
  void SetUp() override {
    // ZELVIC_PLAIN_DLL in the environment names another unstripped link.
    const char* env = std::getenv("ZELVIC_PLAIN_DLL");
    const std::string dll = env != nullptr && *env != 0 ? env : ZELVIC_PLAIN_DLL;
    // The comparison is the point of this program: without the library there
    // is nothing to compare, and that must not pass.
    ASSERT_TRUE(std::filesystem::exists(dll)) << dll << " does not exist: build the library first (make build)";
    // Other builds may relink the DLL while this runs: work on a copy.
    copy_ = std::filesystem::temp_directory_path() / ("debuginfo_gen_test_" + std::to_string(::getpid()) + ".dll");
    std::filesystem::copy_file(dll, copy_, std::filesystem::copy_options::overwrite_existing);
    file_ = zt::ReadWholeFile(copy_.string());
    image_ = zt::ReadPeImage(file_);
    dwarf_ = zt::ReadDwarf(zt::DwarfSectionsOf(image_));
    root_ = SourceRoot();
    zt::TDebugModelOptions options;
    options.SourceRoot = root_;
    units_ = zt::BuildDebugModel(image_, dwarf_, options);
  }
  void TearDown() override {
    if (!copy_.empty()) std::filesystem::remove(copy_);
  }

  std::uint32_t Offset(std::uint64_t va) const {
    return static_cast<std::uint32_t>(va - image_.ImageBase - kFirstSectionRva);
  }

  // Every routine entry, three addresses spread inside it and its last byte.
  std::vector<std::uint64_t> SampleAddresses() const {
    std::set<std::uint64_t> out;
    const zt::TPeSection* text = image_.Find(".text");
    const std::uint64_t lo = image_.ImageBase + text->VirtualAddress, hi = lo + text->VirtualSize;
    for (const zt::TDwarfRoutine& r : dwarf_.Routines) {
      for (const zt::TDwarfRange& range : r.Ranges) {
        if (range.Low < lo || range.High > hi) continue;
        const std::uint64_t n = range.High - range.Low;
        out.insert(range.Low);
        for (int k = 1; k <= 3; ++k) out.insert(range.Low + n * static_cast<std::uint64_t>(k) / 4);
        out.insert(range.High - 1);
      }
    }
    // Every function symbol (routines the DWARF has no subprogram for too).
    for (const zt::TCoffSymbol& s : image_.Symbols) {
      if (s.Function && s.Address >= lo && s.Address < hi) out.insert(s.Address);
    }
    // And a stride through the whole code section, debug information or not.
    // DEBUGINFO_TEST_STRIDE makes it denser (1: every byte).
    const char* env = std::getenv("DEBUGINFO_TEST_STRIDE");
    const std::uint64_t stride = env != nullptr && std::atoi(env) > 0 ? static_cast<std::uint64_t>(std::atoi(env)) : 997;
    for (std::uint64_t a = lo; a < hi; a += stride) out.insert(a);
    return {out.begin(), out.end()};
  }

  std::vector<std::vector<TFrame>> Symbolize(const std::vector<std::uint64_t>& addresses) const {
    const std::filesystem::path input = copy_.string() + ".addr";
    {
      std::ofstream in(input);
      for (std::uint64_t a : addresses) in << "0x" << std::hex << a << "\n";
    }
    const std::string command =
        std::string(ZELVIC_LLVM_SYMBOLIZER) + " --obj=" + copy_.string() + " < " + input.string();
    std::vector<std::vector<TFrame>> out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    std::vector<TFrame> frames;
    std::string function;
    bool want_location = false;
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
      std::string line(buffer);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (line.empty()) {
        out.push_back(std::move(frames));
        frames.clear();
        want_location = false;
        continue;
      }
      if (!want_location) {
        function = line;
        want_location = true;
        continue;
      }
      want_location = false;
      // "file:line:column"
      TFrame f;
      f.Function = function;
      const std::size_t c2 = line.rfind(':');
      const std::size_t c1 = c2 == std::string::npos || c2 == 0 ? std::string::npos : line.rfind(':', c2 - 1);
      if (c1 != std::string::npos) {
        f.File = line.substr(0, c1);
        f.Line = std::atoi(line.c_str() + c1 + 1);
      } else {
        f.File = line;
      }
      frames.push_back(std::move(f));
    }
    ::pclose(pipe);
    std::filesystem::remove(input);
    return out;
  }

  // The tool on the copy; its --out table.
  std::vector<std::uint8_t> RunTool(const std::string& arguments) const {
    const std::string out = copy_.string() + ".bin";
    const std::string command = std::string(ZELVIC_DEBUGINFO_GEN) + " --dll " + copy_.string() + " --out " + out + " " +
                                arguments + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
      ADD_FAILURE() << command;
      return {};
    }
    std::vector<std::uint8_t> table = zt::ReadWholeFile(out);
    std::filesystem::remove(out);
    return table;
  }

  // The symbolizer's path as the data stores it.
  std::string Stored(const std::string& path) const {
    const std::string prefix = root_ + "/";
    return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
  }

  std::filesystem::path copy_;
  std::string root_;
  std::vector<std::uint8_t> file_;
  zt::TPeImage image_;
  zt::TDwarfInfo dwarf_;
  std::vector<dg::TDebugVLUnitModel> units_;
};

TEST_F(DebugInfoFromDll, AgreesWithTheSymbolizer) {
  ASSERT_FALSE(std::string(ZELVIC_LLVM_SYMBOLIZER).empty() ||
               std::string(ZELVIC_LLVM_SYMBOLIZER).find("NOTFOUND") != std::string::npos)
      << "llvm-symbolizer was not found when this test was configured: install the package llvm "
         "(tools/bootstrap.sh) and configure again; the debug data cannot be checked without it";
  ASSERT_TRUE(std::filesystem::exists(ZELVIC_LLVM_SYMBOLIZER))
      << ZELVIC_LLVM_SYMBOLIZER << " does not exist any more: install the package llvm (tools/bootstrap.sh)";
  const std::vector<std::uint8_t> block = dg::WriteDebugVLBlock(units_, {});
  dg::TVLDebugScanner scanner(dg::DebugVLBlockBody(block), dg::kDebugVLCurrentVersion, L"_zelvic.dll");
  ASSERT_TRUE(scanner.ValidFormat());

  const std::vector<std::uint64_t> addresses = SampleAddresses();
  const auto answers = Symbolize(addresses);
  ASSERT_EQ(answers.size(), addresses.size()) << "symbolizer output not understood";

  std::size_t checked = 0, exact = 0, caller_file = 0, caller_line = 0, no_inline_record = 0, line_zero = 0, no_row = 0,
              outside = 0, alias = 0;
  std::vector<std::string> failures;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::vector<TFrame>& frames = answers[i];
    ASSERT_FALSE(frames.empty());
    const TFrame& inner = frames.front();
    const TFrame& outer = frames.back();
    const std::uint32_t offset = Offset(addresses[i]);
    const dg::TDebugVLLocation l = scanner.Locate(offset);
    const std::string inner_file = Stored(inner.File), outer_file = Stored(outer.File);
    std::ostringstream where;
    where << "0x" << std::hex << addresses[i] << std::dec << ": symbolizer " << inner.File << ":" << inner.Line << " ("
          << outer.Function << ", outer " << outer.File << ":" << outer.Line << "), scanner "
          << Narrow(l.SourceName) << ":" << l.LineNumber << " (" << Narrow(l.ProcedureName) << ")";
    const bool same_name = l.HasProc && l.ProcedureName == ExpectedRoutine(l.UnitName, outer.Function);
    // C routines with several names at one address (wcstoimax and wcstoll,
    // _fpreset and fpreset): the symbolizer picks one symbol, the DWARF
    // names another. Accepted when the symbol table has ours there too.
    bool is_alias = false;
    if (l.HasProc && !same_name) {
      const std::uint64_t start = addresses[i] - l.OffsetFromProcName;
      for (const zt::TCoffSymbol& s : image_.Symbols) {
        if (s.Function && s.Address == start && zt::Widen(s.Name) == l.ProcedureName) is_alias = true;
      }
    }
    const bool same_routine = same_name || is_alias;
    if (outer.File == "??") {
      // No line row there. Either code without DWARF (no unit may claim
      // it), or bytes the format gives to a routine that the line table
      // leaves out: alignment padding after the routine's last row, or the
      // first bytes of a routine before its first row. The symbol the
      // symbolizer names must then be that routine.
      if (!l.Found) ++outside;
      else if (same_routine) ++no_row;
      else failures.push_back("placed code without debug information: " + where.str());
      continue;
    }
    ++checked;
    if (!l.Found || !l.HasProc) {
      failures.push_back("not found: " + where.str());
      continue;
    }
    if (is_alias) ++alias;
    if (!same_routine) {
      failures.push_back("routine: " + where.str() + " expected " + Narrow(ExpectedRoutine(l.UnitName, outer.Function)));
    }
    const std::string file = Narrow(l.SourceName);
    if (inner_file == file) {
      if (inner.Line == 0) ++line_zero;
      else if (l.HasLine && l.LineNumber == inner.Line) ++exact;
      else failures.push_back("line: " + where.str());
    } else if (outer_file == file && frames.size() > 1) {
      // Inlined from another file: attributed to the caller's unit, at the
      // line of the call (the symbolizer's outermost frame).
      ++caller_file;
      if (l.HasLine && l.LineNumber == outer.Line) ++caller_line;
      else failures.push_back("call line: " + where.str());
    } else if (frames.size() == 1 && same_routine) {
      // A header's row inside the routine with no inline record for it
      // (GCC dropped the inlined_subroutine entry): the symbolizer can only
      // name the header; the format attributes it to the routine's file.
      ++no_inline_record;
      if (std::getenv("DEBUGINFO_TEST_ALL") != nullptr) std::printf("no inline record: %s\n", where.str().c_str());
    } else {
      failures.push_back("file: " + where.str());
    }
  }
  std::printf("addresses %zu: with DWARF %zu, exact file+line %zu, inlined from another file (caller's file) %zu (of which on the call line %zu), "
              "header rows without inline record %zu, line-0 rows %zu, routine bytes without row %zu, "
              "without DWARF %zu, C aliases %zu, failures %zu\n",
              addresses.size(), checked, exact, caller_file, caller_line, no_inline_record, line_zero, no_row, outside, alias,
              failures.size());
  const std::size_t shown = std::getenv("DEBUGINFO_TEST_ALL") != nullptr ? failures.size() : 40;
  for (std::size_t k = 0; k < failures.size() && k < shown; ++k) ADD_FAILURE() << failures[k];
  EXPECT_TRUE(failures.empty());
}

// csoDoNotStoreProcNames through the tool's command line: the same units,
// routines and line tables, no names; and the ".vldbg" file carries the
// same table for the stripped module's name.
TEST_F(DebugInfoFromDll, ToolWithoutRoutineNames) {
  const std::string out = copy_.string() + ".bin", vldbg = copy_.string() + ".vldbg";
  const std::string command = std::string(ZELVIC_DEBUGINFO_GEN) + " --dll " + copy_.string() + " --out " + out +
                              " --vldbg " + vldbg + " --module-name _zelvic.dll --no-proc-names --strip-prefix " +
                              root_;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::vector<std::uint8_t> table = zt::ReadWholeFile(out);
  const std::vector<std::uint8_t> file = zt::ReadWholeFile(vldbg);
  std::filesystem::remove(out);
  std::filesystem::remove(vldbg);

  zt::TDebugModelOptions no_names;
  no_names.Names = false;
  no_names.SourceRoot = root_;
  EXPECT_EQ(table, dg::WriteDebugVLUnitTable(zt::BuildDebugModel(image_, dwarf_, no_names), {}))
      << "the tool and the model disagree";

  const std::vector<std::uint8_t> named = dg::WriteDebugVLUnitTable(units_, {});
  dg::TVLDebugScanner with_names(named, dg::kDebugVLCurrentVersion, L"_zelvic.dll");
  dg::TVLDebugScanner nameless(table, dg::kDebugVLCurrentVersion, L"_zelvic.dll");
  dg::TVLDebugScanner from_file = dg::TVLDebugScanner::FromVLDbgFile(file);
  ASSERT_TRUE(from_file.ValidFormat());
  EXPECT_TRUE(from_file.IsModuleNameValid(L"C:\\x\\_zelvic.dll"));

  const dg::TUnitList& a = with_names.Units();
  const dg::TUnitList& b = nameless.Units();
  ASSERT_EQ(a.Count(), b.Count());
  ASSERT_GT(a.Count(), 0);
  for (int u = 0; u < a.Count(); ++u) {
    const dg::TUnitRec& ua = a.GetItem(u);
    const dg::TUnitRec& ub = b.GetItem(u);
    EXPECT_EQ(ua.FileName, ub.FileName);
    // "source file|unit name": the unit name is the file's base name.
    EXPECT_EQ(ua.Name, dg::ExtractFileNamePart(ua.FileName));
    ASSERT_EQ(ua.Procedures.Count(), ub.Procedures.Count()) << Narrow(ua.FileName);
    for (int p = 0; p < ua.Procedures.Count(); ++p) {
      const dg::TProcRec& pa = ua.Procedures.GetItem(p);
      const dg::TProcRec& pb = ub.Procedures.GetItem(p);
      // Only a routine at code offset 0 keeps its name: nameless, the reader
      // would drop it.
      if (pb.Addr != 0) EXPECT_TRUE(pb.Name.empty()) << Narrow(pb.Name);
      else EXPECT_EQ(pa.Name, pb.Name);
      EXPECT_EQ(pa.Addr, pb.Addr);
      EXPECT_EQ(pa.Size, pb.Size);
      ASSERT_EQ(pa.Lines.Count(), pb.Lines.Count());
      for (int k = 0; k < pa.Lines.Count(); ++k) {
        EXPECT_EQ(pa.Lines.GetItem(k).No, pb.Lines.GetItem(k).No);
        EXPECT_EQ(pa.Lines.GetItem(k).Addr, pb.Lines.GetItem(k).Addr);
      }
    }
  }
  // The file reads like the resource's block.
  for (std::uint32_t offset = 0; offset < 0x90000; offset += 0x101) {
    const dg::TDebugVLLocation x = nameless.Locate(offset);
    const dg::TDebugVLLocation y = from_file.Locate(offset);
    EXPECT_EQ(x.SourceName, y.SourceName);
    EXPECT_EQ(x.LineNumber, y.LineNumber);
    EXPECT_EQ(x.HasProc, y.HasProc);
  }
}

// Paths under the repository root are stored relative to it and name real
// files there (a wrong join, e.g. with the compilation directory, names none);
// the rest of the data is as without the root.
TEST_F(DebugInfoFromDll, SourcePathsRelativeToTheRoot) {
  const std::vector<dg::TDebugVLUnitModel> absolute = zt::BuildDebugModel(image_, dwarf_, {});
  ASSERT_EQ(absolute.size(), units_.size());
  const std::wstring prefix = zt::Widen(root_ + "/");
  std::size_t relative = 0;
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const dg::TDebugVLUnitModel& a = absolute[i];
    const dg::TDebugVLUnitModel& r = units_[i];
    const std::string name = Narrow(r.FileName);
    if (a.FileName.rfind(prefix, 0) == 0) {
      ++relative;
      EXPECT_EQ(prefix + r.FileName, a.FileName);
      EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(root_) / name)) << name;
    } else {
      EXPECT_EQ(a.FileName, r.FileName) << "outside the root: kept as the DWARF names it";
    }
    EXPECT_EQ(a.Name, r.Name);
    EXPECT_EQ(a.Addr, r.Addr);
    EXPECT_EQ(a.Size, r.Size);
    EXPECT_EQ(a.Procs.size(), r.Procs.size()) << name;
  }
  // The library's own sources, its headers and the fragment table included.
  EXPECT_GT(relative, 100u);
  EXPECT_TRUE(std::any_of(units_.begin(), units_.end(), [](const dg::TDebugVLUnitModel& u) {
    return u.FileName == L"src/fragments/fragment_table.inc";
  }));

  // The build's own table, next to the DLL, was written the same way.
  const char* env = std::getenv("ZELVIC_PLAIN_DLL");
  const std::filesystem::path built =
      std::filesystem::path(env != nullptr && *env != 0 ? env : ZELVIC_PLAIN_DLL).parent_path() / "debuginfo.bin";
  if (!std::filesystem::exists(built)) return;
  dg::TVLDebugScanner scanner(zt::ReadWholeFile(built.string()), dg::kDebugVLCurrentVersion, L"_zelvic.dll");
  const dg::TUnitList& list = scanner.Units();
  ASSERT_GT(list.Count(), 0);
  std::size_t built_relative = 0;
  for (int u = 0; u < list.Count(); ++u) {
    const std::wstring& f = list.GetItem(u).FileName;
    EXPECT_NE(f.rfind(prefix, 0), 0u) << built.string() << ": " << Narrow(f);
    if (f.rfind(L"src/", 0) == 0) ++built_relative;
  }
  EXPECT_GT(built_relative, 100u) << built.string();
}

TEST(RelativeToRoot, WholeDirectoriesOnly) {
  struct TCase {
    const char* Path;
    const char* Root;
    const char* Expected;
  };
  const TCase cases[] = {
      {"/srv/checkout/src/runtime/exceptions.cpp", "/srv/checkout", "src/runtime/exceptions.cpp"},
      {"/srv/checkout/src/runtime/exceptions.cpp", "/srv/checkout/", "src/runtime/exceptions.cpp"},
      {"/srv/checkout/src/runtime/exceptions.cpp", "/srv/checkout//", "src/runtime/exceptions.cpp"},
      // A sibling whose name starts like the root is not under it.
      {"/srv/checkout2/src/a.cpp", "/srv/checkout", "/srv/checkout2/src/a.cpp"},
      {"/srv/checkou", "/srv/checkout", "/srv/checkou"},
      // System headers and the C runtime's sources keep their paths.
      {"/usr/share/mingw-w64/include/wchar.h", "/srv/checkout", "/usr/share/mingw-w64/include/wchar.h"},
      {"/build/./mingw-w64-crt/crt/crtdll.c", "/srv/checkout", "/build/./mingw-w64-crt/crt/crtdll.c"},
      // The root itself is no file under it.
      {"/srv/checkout", "/srv/checkout", "/srv/checkout"},
      {"/srv/checkout/", "/srv/checkout", "/srv/checkout/"},
      // No root, or "/" (everything would lose its anchor): unchanged.
      {"/srv/checkout/src/a.cpp", "", "/srv/checkout/src/a.cpp"},
      {"/srv/checkout/src/a.cpp", "/", "/srv/checkout/src/a.cpp"},
      {"C:\\src\\a.cpp", "C:\\src", "a.cpp"},
  };
  for (const TCase& c : cases) EXPECT_EQ(zt::RelativeToRoot(c.Path, c.Root), c.Expected) << c.Path << " / " << c.Root;
}

// --password: the unit strings and routine names are enciphered with the
// password and flagged. Read back through the container's password check:
// the right password gives the same tables as the plain data; none or a
// wrong one gives unit strings "?p"+Base64 and routine names "?"+Base64 of
// the stored bytes, which decipher with the right key to the plain texts.
TEST_F(DebugInfoFromDll, ToolWithPassword) {
  const std::string password = "Sesam \xC3\xB6" "ffne";  // UTF-8, as the options text gives it
  const std::vector<std::uint8_t> plain_table = RunTool("--strip-prefix " + root_);
  const std::vector<std::uint8_t> table = RunTool("--strip-prefix " + root_ + " --password '" + password + "'");
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(plain_table, dg::WriteDebugVLUnitTable(units_, {}));
  EXPECT_NE(table, plain_table);
  // An empty password stores plain strings (an options text without one).
  EXPECT_EQ(RunTool("--strip-prefix " + root_ + " --password ''"), plain_table);
  // The build's route: the text from a file, its line end dropped.
  {
    const std::string file = copy_.string() + ".password";
    std::ofstream(file, std::ios::binary) << password << "\n";
    EXPECT_EQ(RunTool("--strip-prefix " + root_ + " --password-file " + file), table);
    std::filesystem::remove(file);
  }

  dg::TVLDebugScanner plain(plain_table, dg::kDebugVLCurrentVersion, L"_zelvic.dll");
  const dg::TUnitList& expected = plain.Units();
  ASSERT_GT(expected.Count(), 0);
  EXPECT_FALSE(plain.HasEncryptedData());

  const std::uint32_t marker = dg::EncipherMarker(dg::kVLDataMarker7, dg::Utf8Bytes(zt::Widen(password)));
  dg::TStringCipher right_key;
  right_key.SetPassword(dg::Utf8Bytes(zt::Widen(password)));
  auto decipher = [&](const std::wstring& base64) {
    std::optional<std::vector<std::uint8_t>> bytes = Base64Decode(base64);
    if (!bytes) return std::string("<not Base64: ") + Narrow(base64) + ">";
    right_key.Decipher(*bytes);
    return std::string(bytes->begin(), bytes->end());
  };

  struct TCase {
    const char* What;
    std::string Candidate;
    bool Opens;
  };
  const TCase cases[] = {
      {"right password", password, true},
      {"no password", "", false},
      {"wrong password", "Sesam oeffne", false},
      {"other case", "sesam \xC3\xB6" "ffne", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    const std::wstring candidate = zt::Widen(c.Candidate);
    const bool valid = dg::IsPasswordValidFor(marker, dg::Utf8Bytes(candidate));
    ASSERT_EQ(valid, c.Opens);
    dg::TVLDebugScanner scanner(table, dg::kDebugVLCurrentVersion, L"_zelvic.dll", {candidate, valid});
    const dg::TUnitList& got = scanner.Units();
    EXPECT_TRUE(scanner.HasEncryptedData());
    ASSERT_EQ(got.Count(), expected.Count());
    std::size_t routines = 0, failures = 0;
    for (int u = 0; u < got.Count() && failures < 20; ++u) {
      const dg::TUnitRec& g = got.GetItem(u);
      const dg::TUnitRec& e = expected.GetItem(u);
      EXPECT_EQ(g.Addr, e.Addr);
      EXPECT_EQ(g.Size, e.Size);
      if (c.Opens) {
        EXPECT_EQ(g.FileName, e.FileName);
        EXPECT_EQ(g.Name, e.Name);
      } else {
        // "?" + Base64 with the "p" after the first character; without a
        // valid password the name keeps the whole text.
        EXPECT_EQ(g.FileName.rfind(L"?p", 0), 0u) << Narrow(g.FileName);
        EXPECT_EQ(g.Name, g.FileName);
        const std::string text = decipher(g.FileName.substr(2));
        const std::string whole = Narrow(e.FileName) + "|" + Narrow(e.Name);
        if (text != whole && text != Narrow(e.FileName)) {
          ++failures;
          ADD_FAILURE() << "unit " << u << ": " << text << " for " << whole;
        }
      }
      ASSERT_EQ(g.Procedures.Count(), e.Procedures.Count()) << Narrow(e.FileName);
      for (int p = 0; p < g.Procedures.Count(); ++p) {
        const dg::TProcRec& gp = g.Procedures.GetItem(p);
        const dg::TProcRec& ep = e.Procedures.GetItem(p);
        EXPECT_EQ(gp.Addr, ep.Addr);
        EXPECT_EQ(gp.Lines.Count(), ep.Lines.Count());
        if (ep.Name.empty()) continue;
        ++routines;
        if (c.Opens) {
          EXPECT_EQ(gp.Name, ep.Name);
          continue;
        }
        // The stored text is the model's ("Class.Method", or ".Method" after
        // a routine of the same class, whose "." is a header flag).
        std::wstring stored;
        for (const dg::TDebugVLProcModel& mp : units_.at(static_cast<std::size_t>(u)).Procs) {
          if (mp.Addr == ep.Addr) stored = mp.Name;
        }
        if (!stored.empty() && stored.front() == L'.') stored.erase(0, 1);
        const std::string text = gp.Name.rfind(L'?', 0) == 0 ? decipher(gp.Name.substr(1)) : "<no ?>";
        if (text != Narrow(stored)) {
          ++failures;
          ADD_FAILURE() << "routine " << Narrow(ep.Name) << " read as " << Narrow(gp.Name) << " (" << text << ")";
        }
      }
    }
    EXPECT_GT(routines, 1000u);
    EXPECT_EQ(failures, 0u);
    // Lookups give the lines either way: only the strings are enciphered.
    for (std::uint32_t offset = 0; offset < 0x90000; offset += 0x301) {
      const dg::TDebugVLLocation x = plain.Locate(offset);
      const dg::TDebugVLLocation y = scanner.Locate(offset);
      EXPECT_EQ(x.Found, y.Found);
      EXPECT_EQ(x.LineNumber, y.LineNumber);
      if (c.Opens) {
        EXPECT_EQ(x.SourceName, y.SourceName);
      }
    }
  }
}

// Damaged debug sections: the reader answers with its one error (or data it
// could read), never reads outside a section, never loops.
TEST_F(DebugInfoFromDll, DamagedSectionsGiveOneError) {
  const zt::TDwarfSections whole = zt::DwarfSectionsOf(image_);
  std::size_t errors = 0, read = 0;
  auto attempt = [&](const zt::TDwarfSections& s) {
    try {
      const zt::TDwarfInfo info = zt::ReadDwarf(s);
      (void)zt::BuildDebugModel(image_, info, {});
      ++read;
    } catch (const zt::TDwarfFormatError&) {
      ++errors;
    }
  };
  // Cut each section short: copies, so that a read past the cut is a read
  // past an allocation (visible to sanitizers).
  std::vector<std::span<const std::uint8_t> zt::TDwarfSections::*> members = {
      &zt::TDwarfSections::Info, &zt::TDwarfSections::Abbrev, &zt::TDwarfSections::Line,
      &zt::TDwarfSections::Str, &zt::TDwarfSections::LineStr, &zt::TDwarfSections::Ranges,
      &zt::TDwarfSections::RngLists};
  for (auto member : members) {
    const std::span<const std::uint8_t> full = whole.*member;
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{7}, full.size() / 3, full.size() / 2,
                            full.size() - (full.size() > 0 ? 1 : 0)}) {
      if (cut > full.size()) continue;
      const std::vector<std::uint8_t> copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
      zt::TDwarfSections s = whole;
      s.*member = copy;
      attempt(s);
    }
  }
  // Overwrite bytes of the unit headers, abbreviations and line programs.
  std::vector<std::uint8_t> info(whole.Info.begin(), whole.Info.end());
  std::vector<std::uint8_t> line(whole.Line.begin(), whole.Line.end());
  std::uint32_t seed = 12345;
  for (int round = 0; round < 24; ++round) {
    std::vector<std::uint8_t> a = info, b = line;
    for (int k = 0; k < 8; ++k) {
      seed = seed * 1103515245u + 12345u;
      a[seed % std::min<std::size_t>(a.size(), 4096)] = static_cast<std::uint8_t>(seed >> 16);
      seed = seed * 1103515245u + 12345u;
      b[seed % std::min<std::size_t>(b.size(), 4096)] = static_cast<std::uint8_t>(seed >> 16);
    }
    zt::TDwarfSections s = whole;
    s.Info = a;
    s.Line = b;
    attempt(s);
  }
  EXPECT_GT(errors, 0u);
  std::printf("damaged sections: %zu read, %zu rejected\n", read, errors);
}

// Names as the symbolizer's demangler prints them, reduced to what the
// format stores.
TEST(RoutineNames, FromDemangledItaniumNames) {
  EXPECT_EQ(zt::RoutineDisplayName("_ZNK6zelvic2rt11TThreadSlot3GetEv", "Get"), "zelvic.rt.TThreadSlot.Get");
  EXPECT_EQ(zt::RoutineDisplayName("", "HeapGet", "zelvic::rt::(anonymous namespace)"),
            "zelvic.rt.(anonymous namespace).HeapGet");
  EXPECT_EQ(zt::StripParameters("std::vector<int, std::allocator<int> >::operator[](unsigned int) const"),
            "std::vector<int, std::allocator<int> >::operator[]");
  EXPECT_EQ(zt::StripParameters("Foo::operator()(int) const &"), "Foo::operator()");
  EXPECT_EQ(zt::StripParameters("int Max<int>(int, int)"), "Max<int>");
  EXPECT_EQ(zt::StripParameters("zelvic::rt::CurrentExceptionAddress() [clone .cold]"),
            "zelvic::rt::CurrentExceptionAddress");
  EXPECT_EQ(zt::RoutineDisplayName("Ondrel_55F22C7D_1_1iiI111iii@4", "Ondrel_55F22C7D_1_1iiI111iii"),
            "Ondrel_55F22C7D_1_1iiI111iii");
  // The reader splits class and method at the last "." outside brackets.
  std::wstring cls;
  const std::wstring method = dg::ParseClassName(
      L"EOptions.cpp", zt::Widen(zt::RoutineDisplayName("_ZNK6zelvic4diag20TVarnelModuleOptions21WriteBackDerivedStateEv", "")),
      cls);
  EXPECT_EQ(cls, L"zelvic.diag.TVarnelModuleOptions");
  EXPECT_EQ(method, L"WriteBackDerivedState");
}

}  // namespace
