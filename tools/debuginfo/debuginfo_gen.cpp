// debuginfo_gen --dll build/src/_zelvic_plain.dll --out debug.bin
//               [--vldbg FILE] [--module-name NAME] [--no-proc-names]
//               [--strip-prefix DIR] [--password TEXT | --password-file FILE]
//
// Reads the DWARF of the unstripped link and writes the library's own debug
// information: --out the unit table (the bytes vldata_gen takes with
// --debug; the container adds their length and compresses them), --vldbg the
// same table in a ".vldbg" file for the module NAME (default: the DLL's file
// name without "_plain"). --no-proc-names is csoDoNotStoreProcNames.
//
// --strip-prefix DIR stores source paths under DIR (the repository root)
// relative to it; others (system headers) keep their absolute paths.
//
// --password TEXT enciphers the unit strings and routine names with the
// password and marks them so. The container's marker must come from the same
// text: the reader deciphers them with the password that opens the marker.
// --password-file FILE takes the text from FILE (UTF-8, a final line end
// dropped), as the build does with what vldata_gen --password-out wrote from
// the options text, so the password never needs shell quoting. An empty
// password stores plain strings.
#include <cstdio>
#include <fstream>
#include <string>

#include "debuginfo_model.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: debuginfo_gen --dll FILE --out FILE [--vldbg FILE] [--module-name NAME] [--no-proc-names]\n"
               "                     [--strip-prefix DIR] [--password TEXT | --password-file FILE]\n");
  return 2;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zelvic::tools;
  namespace dg = zelvic::diag;
  std::string dll, out, vldbg, module_name, strip_prefix, password, password_file;
  bool store_names = true, has_password = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-proc-names") store_names = false;
    else if (i + 1 < argc && a == "--dll") dll = argv[++i];
    else if (i + 1 < argc && a == "--out") out = argv[++i];
    else if (i + 1 < argc && a == "--vldbg") vldbg = argv[++i];
    else if (i + 1 < argc && a == "--module-name") module_name = argv[++i];
    else if (i + 1 < argc && a == "--strip-prefix") strip_prefix = argv[++i];
    else if (i + 1 < argc && a == "--password") {
      password = argv[++i];
      has_password = true;
    } else if (i + 1 < argc && a == "--password-file") password_file = argv[++i];
    else return Usage();
  }
  if (dll.empty() || (out.empty() && vldbg.empty()) || (has_password && !password_file.empty())) return Usage();
  try {
    if (!password_file.empty()) {
      const std::vector<std::uint8_t> text = ReadWholeFile(password_file);
      password.assign(text.begin(), text.end());
      while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
    }
    const std::vector<std::uint8_t> file = ReadWholeFile(dll);
    const TPeImage image = ReadPeImage(file);
    if (image.SectionData(".debug_info").empty()) {
      std::fprintf(stderr, "debuginfo_gen: %s has no .debug_info\n", dll.c_str());
      return 1;
    }
    const TDwarfInfo dwarf = ReadDwarf(DwarfSectionsOf(image));
    TDebugModelStats stats;
    TDebugModelOptions model_options;
    model_options.Names = store_names;
    model_options.SourceRoot = strip_prefix;
    const auto units = BuildDebugModel(image, dwarf, model_options, &stats);
    // The model already carries the names csoDoNotStoreProcNames leaves.
    dg::TDebugVLWriteOptions options;
    options.EncipherWithPassword = !password.empty();
    options.Password = Widen(password);
    const std::vector<std::uint8_t> table = dg::WriteDebugVLUnitTable(units, options);
    if (!out.empty() && !WriteFile(out, table)) {
      std::fprintf(stderr, "debuginfo_gen: cannot write %s\n", out.c_str());
      return 1;
    }
    if (!vldbg.empty()) {
      if (module_name.empty()) {
        module_name = dll.substr(dll.find_last_of("/\\") + 1);
        if (const auto at = module_name.find("_plain"); at != std::string::npos) module_name.erase(at, 6);
      }
      if (!WriteFile(vldbg, dg::WriteVLDbgFile(Widen(module_name), table, options.Version, true))) {
        std::fprintf(stderr, "debuginfo_gen: cannot write %s\n", vldbg.c_str());
        return 1;
      }
    }
    std::fprintf(stderr, "debuginfo_gen: %zu units, %zu routines, %zu line entries, %zu bytes%s%s\n", units.size(),
                 stats.Routines, stats.LineEntries, table.size(), store_names ? "" : " (no routine names)",
                 options.EncipherWithPassword ? " (enciphered with the password)" : "");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "debuginfo_gen: %s\n", e.what());
  } catch (const zelvic::rt::Exception& e) {
    std::fprintf(stderr, "debuginfo_gen: %ls\n", e.Message().c_str());
  }
  return 1;
}
