#include "diagnostics/reports/ELogItem.h"

#include <algorithm>
#include <vector>

#include "diagnostics/config/ENameValues.h"
#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {
namespace {

// A header line ends in its first ":". Item lines and the continuation lines
// of multi-line values begin with a blank, so a value line that happens to
// end in a colon is never taken for a header.
bool IsHeaderLine(const std::wstring& line) {
  if (line.empty() || line[0] == L' ') return false;
  return line.find(L':') == line.size() - 1;
}

// A section's item lines run from two below its header to the next empty line.
std::size_t SectionEnd(const std::vector<std::wstring>& lines, std::size_t header) {
  std::size_t end = header + 2;
  while (end < lines.size() && !lines[end].empty()) ++end;
  return end;
}

void RemoveEmptySections(std::vector<std::wstring>& lines) {
  std::size_t i = 0;
  while (i < lines.size()) {
    if (!IsHeaderLine(lines[i]) || (i + 2 < lines.size() && !lines[i + 2].empty())) {
      ++i;
      continue;
    }
    const std::size_t end = std::min(i + 3, lines.size());
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.begin() + static_cast<std::ptrdiff_t>(end));
    // The last section had no separator of its own to take along: the one
    // in front of it goes, or the text would end in an empty line.
    if (i == lines.size() && i > 0 && lines[i - 1].empty()) lines.pop_back();
  }
}

void AlignSection(std::vector<std::wstring>& lines, std::size_t from, std::size_t to) {
  std::size_t column = 0;
  for (std::size_t k = from; k < to; ++k) {
    const std::size_t at = lines[k].find(L": ");
    if (at != std::wstring::npos) column = std::max(column, at);
  }
  for (std::size_t k = from; k < to; ++k) {
    const std::size_t at = lines[k].find(L": ");
    if (at != std::wstring::npos) {
      lines[k].insert(at, column - at, L' ');
    } else {
      // A continuation line carries one blank of its own; its text goes
      // under the first character of the value.
      lines[k].insert(0, column + 1, L' ');
    }
  }
}

}  // namespace

void TLogItem::Clear() {
  FString.clear();
  FHeaderNo = FFirstHeader;
  FItemNo = 0;
}

void TLogItem::AddHeader(std::wstring_view header) {
  ++FHeaderNo;
  FItemNo = 0;
  if (!FString.empty()) FString += L"\r\n\r\n";
  FString.append(header);
  FString += L":\r\n-";
}

void TLogItem::AddItem(std::wstring_view item, std::wstring_view value, bool add) {
  ++FItemNo;
  if (!add) return;
  std::wstring prefix = L"  " + std::to_wstring(FHeaderNo) + L"." + std::to_wstring(FItemNo) + L" ";
  prefix.append(item);
  prefix += L": ";
  std::vector<std::wstring> lines = SplitLines(value);
  FString += L"\r\n";
  FString += prefix;
  if (lines.size() <= 1) {
    if (!lines.empty()) FString += lines[0];
    return;
  }
  // A ": " inside the value would be taken for the label's and pull the
  // line out of the column.
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::wstring& line = lines[k];
    ReplaceAll(line, L": ", L":_");
    if (Trim(line).empty()) line = L".";
    if (k > 0) FString += L"\r\n ";
    FString += line;
  }
}

std::wstring TLogItem::Value() const {
  std::vector<std::wstring> lines = SplitLines(FString);
  RemoveEmptySections(lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!IsHeaderLine(lines[i]) || i + 1 >= lines.size()) continue;
    const std::size_t end = SectionEnd(lines, i);
    AlignSection(lines, i + 2, end);
    std::size_t longest = lines[i].size();
    for (std::size_t k = i + 2; k < end; ++k) longest = std::max(longest, lines[k].size());
    lines[i + 1].assign(longest, L'-');
  }
  std::wstring text;
  for (const std::wstring& line : lines) {
    text += line;
    text += L"\r\n";
  }
  return text;
}

}  // namespace zelvic::diag
