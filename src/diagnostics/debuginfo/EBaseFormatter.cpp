#include "diagnostics/debuginfo/EBaseFormatter.h"

namespace zelvic::diag {

void TBaseFormatter::Changed() {
  FModified = true;
  FCalculated = false;
  FStr.clear();
}

std::wstring TBaseFormatter::ToString() {
  std::wstring text;
  for (const std::wstring& line : GetAsStrings()) {
    text += line;
    text += L"\r\n";
  }
  return text;
}

std::wstring TBaseFormatter::TableCell(std::wstring_view text, int width) {
  std::wstring cell(text);
  if (width > 0 && cell.size() < static_cast<std::size_t>(width)) cell.resize(static_cast<std::size_t>(width), L' ');
  for (wchar_t& c : cell) {
    if (c == L'\0' || c == L'\n' || c == L'\r' || c == L'|') c = L' ';
  }
  return cell;
}

}  // namespace zelvic::diag
