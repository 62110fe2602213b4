// Build step: writes this library's VLDATA container.
//
//   vldata_gen --options FILE --out FILE [--date-epoch SECONDS]
//              [--locations FILE] [--debug FILE]
//   vldata_gen --options FILE --password-out FILE
//
// It is built from the library's own objects and run under Wine, so the
// container is written by the same options model and the same encoders that
// read it at run time. The memory-filter record, the project identifier and
// the password check all come from the options text.
//
// --locations names a file of "identifier offset size" lines (decimal or
// 0x-hexadecimal); --debug a file holding the debug-information bytes.
//
// --password-out writes the options text's "Encrypt Password" (UTF-8, no line
// end) for debuginfo_gen --password-file: the debug block's strings must be
// enciphered with the very password the container's marker is made from, so
// the one options model reads it for both.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/util/ETextEncoding.h"
#include "runtime/civil_date.h"
#include "runtime/exceptions.h"

namespace {

using zelvic::diag::TVLDataContents;

std::wstring HostPath(std::wstring p) {
  // Paths of the build machine reach Wine through its drive for "/".
  if (!p.empty() && p[0] == L'/') p = L"Z:" + p;
  return p;
}

bool ReadFile(const std::wstring& path, std::vector<std::uint8_t>& out) {
  FILE* f = _wfopen(HostPath(path).c_str(), L"rb");
  if (f == nullptr) return false;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return true;
}

bool WriteFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  FILE* f = _wfopen(HostPath(path).c_str(), L"wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool ReadLocations(const std::wstring& path, std::vector<zelvic::diag::TCodeLocation>& out) {
  std::vector<std::uint8_t> bytes;
  if (!ReadFile(path, bytes)) return false;
  std::string text(bytes.begin(), bytes.end());
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    char* p = nullptr;
    const unsigned long id = std::strtoul(line.c_str(), &p, 0);
    const unsigned long offset = std::strtoul(p, &p, 0);
    const unsigned long size = std::strtoul(p, &p, 0);
    if (id > 255) return false;
    out.push_back({static_cast<std::uint8_t>(id), static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size)});
  }
  return true;
}

int Fail(const char* what) {
  std::fprintf(stderr, "vldata_gen: %s\n", what);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring options_path, out_path, locations_path, debug_path, password_out_path;
  long long epoch = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring flag = argv[i];
    const std::wstring value = argv[i + 1];
    if (flag == L"--options") options_path = value;
    else if (flag == L"--out") out_path = value;
    else if (flag == L"--locations") locations_path = value;
    else if (flag == L"--debug") debug_path = value;
    else if (flag == L"--password-out") password_out_path = value;
    else if (flag == L"--date-epoch") epoch = std::wcstoll(value.c_str(), nullptr, 10);
    else return Fail("unknown argument");
  }
  if (options_path.empty() || (out_path.empty() && password_out_path.empty())) {
    return Fail("usage: vldata_gen --options FILE --out FILE ... | --options FILE --password-out FILE");
  }

  TVLDataContents contents;
  std::vector<std::uint8_t> options_text;
  if (!ReadFile(options_path, options_text)) return Fail("cannot read the options text");
  std::vector<std::uint8_t> password;
  try {
    zelvic::diag::TVarnelModuleOptions options(L"_zelvic.dll");
    options.LoadFromStream(options_text, zelvic::diag::kVLDataCurrentVersion);
    // The container stores the text in the form the options writer gives
    // (keys sorted, UTF-8 with its mark, no line break after the last line),
    // so what a module carries is what the library itself would save.
    contents.OptionsText = options.SaveToStream(false, true);
    password = zelvic::diag::Utf8Bytes(options.GetCustomField(L"Encrypt Password"));
    contents.MemoryOptions = options.MemoryFilterOptions();
    std::array<std::uint8_t, 16> project{};
    if (!zelvic::diag::ParseGuid(options.GetCustomField(L"ProjectID"), project)) return Fail("ProjectID is not a GUID");
    std::copy(project.begin(), project.end(), contents.ProjectId);
  } catch (const zelvic::rt::Exception& e) {
    std::fprintf(stderr, "vldata_gen: %ls\n", e.Message().c_str());
    return 1;
  }
  if (!password_out_path.empty() && !WriteFile(password_out_path, password)) return Fail("cannot write the password");
  if (out_path.empty()) return 0;

  contents.EncryptedMarker = zelvic::diag::EncipherMarker(zelvic::diag::kVLDataMarker7, password);
  if (!locations_path.empty() && !ReadLocations(locations_path, contents.CodeLocations)) {
    return Fail("cannot read the code locations");
  }
  if (!debug_path.empty() && !ReadFile(debug_path, contents.DebugInfo)) return Fail("cannot read the debug information");
  // Days since 1899-12-30, from the build's reproducible timestamp.
  contents.BuildDate = zelvic::rt::UnixSecondsToDateTime(static_cast<double>(epoch));
  if (!WriteFile(out_path, zelvic::diag::WriteVLData(contents))) return Fail("cannot write the container");
  return 0;
}
