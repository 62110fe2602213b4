#include "diagnostics/util/EFileNames.h"

#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {

namespace {

constexpr bool IsDelimiter(wchar_t c) noexcept { return c == L'\\' || c == L'/' || c == L':'; }

// Plain loops: find_last_of over a set asks the C library once per
// character, and every location lookup's completion passes here.
std::size_t LastDelimiter(std::wstring_view path) noexcept {
  for (std::size_t i = path.size(); i-- > 0;) {
    if (IsDelimiter(path[i])) return i;
  }
  return std::wstring_view::npos;
}

}  // namespace

std::wstring_view FileNamePartOf(std::wstring_view path) noexcept {
  const std::size_t at = LastDelimiter(path);
  return at == std::wstring_view::npos ? path : path.substr(at + 1);
}

std::wstring ExtractFileNamePart(std::wstring_view path) { return std::wstring(FileNamePartOf(path)); }

std::wstring ExtractFileDirPart(std::wstring_view path) {
  const std::size_t at = LastDelimiter(path);
  return at == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, at + 1));
}

std::wstring_view ExtractFileExtPart(std::wstring_view path) noexcept {
  // A dot before the last delimiter belongs to a folder, not to the name.
  for (std::size_t i = path.size(); i-- > 0;) {
    if (path[i] == L'.') return path.substr(i);
    if (IsDelimiter(path[i])) break;
  }
  return {};
}

std::wstring_view StemOf(std::wstring_view path) noexcept {
  return path.substr(0, path.size() - ExtractFileExtPart(path).size());
}

std::wstring WithoutExtension(std::wstring_view path) { return std::wstring(StemOf(path)); }

bool SameFileName(std::wstring_view a, std::wstring_view b) noexcept {
  return EqualIgnoringCase(a, b, TCaseFolding::Latin1);
}

}  // namespace zelvic::diag
