// The numbered text of a report's general part: headers with an underline,
// items "  1.2 Label: value" numbered within their header, and the finished
// form in which sections without items are gone and the values of a section
// stand in one column. The report file reads these lines back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvic::diag {

class TLogItem {
 public:
  explicit TLogItem(std::int32_t first_header = 0) noexcept : FHeaderNo(first_header), FFirstHeader(first_header) {}

  void Clear();
  void AddHeader(std::wstring_view header);
  // The item takes its number whether it is added or not, so switching an
  // item off leaves a gap instead of renumbering the rest.
  void AddItem(std::wstring_view item, std::wstring_view value, bool add);
  // The finished text, a line break after the last line.
  std::wstring Value() const;
  // The text as built, before the finishing.
  const std::wstring& Text() const noexcept { return FString; }

 private:
  std::wstring FString;
  std::int32_t FHeaderNo;
  std::int32_t FItemNo = 0;
  std::int32_t FFirstHeader;
};

}  // namespace zelvic::diag
