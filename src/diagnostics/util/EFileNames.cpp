#include "diagnostics/util/EFileNames.h"

#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {

namespace {
constexpr wchar_t kDelimiters[] = L"\\/:";
constexpr wchar_t kDotOrDelimiters[] = L".\\/:";
}  // namespace

std::wstring ExtractFileNamePart(std::wstring_view path) {
  const std::size_t at = path.find_last_of(kDelimiters);
  return std::wstring(at == std::wstring_view::npos ? path : path.substr(at + 1));
}

std::wstring ExtractFileDirPart(std::wstring_view path) {
  const std::size_t at = path.find_last_of(kDelimiters);
  return at == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, at + 1));
}

std::wstring_view ExtractFileExtPart(std::wstring_view path) noexcept {
  // A dot before the last delimiter belongs to a folder, not to the name.
  const std::size_t dot = path.find_last_of(kDotOrDelimiters);
  if (dot == std::wstring_view::npos || path[dot] != L'.') return {};
  return path.substr(dot);
}

std::wstring WithoutExtension(std::wstring_view path) {
  return std::wstring(path.substr(0, path.size() - ExtractFileExtPart(path).size()));
}

bool SameFileName(std::wstring_view a, std::wstring_view b) noexcept {
  return EqualIgnoringCase(a, b, TCaseFolding::Latin1);
}

}  // namespace zelvic::diag
