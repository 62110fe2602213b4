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

namespace {

wchar_t UpperCase(wchar_t c, TCaseFolding folding) noexcept {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
  // U+00F7 (division sign) sits among the Latin-1 small letters but has no
  // capital.
  if (folding == TCaseFolding::Latin1 && c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 32);
  return c;
}

}  // namespace

bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b, TCaseFolding folding) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperCase(a[i], folding) != UpperCase(b[i], folding)) return false;
  }
  return true;
}

}  // namespace zelvic::diag
