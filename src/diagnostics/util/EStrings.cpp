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

}  // namespace zelvic::diag
