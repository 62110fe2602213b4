#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {

std::wstring Trim(std::wstring_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] <= L' ') ++b;
  while (e > b && text[e - 1] <= L' ') --e;
  return std::wstring(text.substr(b, e - b));
}

void ReplaceAll(std::wstring& text, std::wstring_view what, std::wstring_view with) {
  if (what.empty()) return;
  for (std::size_t p = text.find(what); p != std::wstring::npos; p = text.find(what, p + with.size())) {
    text.replace(p, what.size(), with);
  }
}

std::wstring ExtractFileNamePart(const std::wstring& path) {
  const std::size_t at = path.find_last_of(L"\\/:");
  return at == std::wstring::npos ? path : path.substr(at + 1);
}

bool SameFileName(const std::wstring& a, const std::wstring& b) noexcept {
  // ASCII and Latin-1 letters; the other characters compare as they are.
  const auto fold = [](wchar_t c) noexcept {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 32);
    return c;
  };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace zelvic::diag
