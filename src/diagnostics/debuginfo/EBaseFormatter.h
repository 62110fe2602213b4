// Base of the report's text tables (modules, processes, call stacks): a
// formatter reads plain records and turns them into lines, recomputing only
// after it was told that its source changed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/exceptions.h"

namespace zelvic::diag {

// The run-time library's assertion, raised for a formatter used the wrong
// way.
class EFormatterAssertion : public rt::Exception {
 public:
  explicit EFormatterAssertion(std::wstring message) : rt::Exception(std::move(message)) {}
  const wchar_t* ClassName() const noexcept override { return L"EAssertionFailed"; }
};

class TBaseFormatter {
 public:
  TBaseFormatter() = default;
  virtual ~TBaseFormatter() = default;
  TBaseFormatter(const TBaseFormatter&) = delete;
  TBaseFormatter& operator=(const TBaseFormatter&) = delete;

  // The source changed: the widths and lines are computed again on next use.
  virtual void Changed();
  virtual void Calculate() { FCalculated = true; }
  virtual std::wstring GetItemText(int index) = 0;
  virtual void SetText(const std::wstring& text) = 0;
  virtual const std::vector<std::wstring>& GetAsStrings() = 0;
  // Every line followed by CR LF.
  std::wstring ToString();

  bool Modified() const noexcept { return FModified; }
  bool Calculated() const noexcept { return FCalculated; }

  // A cell padded on the right to `width` (never cut), with the characters
  // that would break a table row or a report line (NUL, LF, CR, "|") turned
  // into spaces.
  static std::wstring TableCell(std::wstring_view text, int width);

 protected:
  std::vector<std::wstring> FStr;
  bool FModified = true;
  bool FCalculated = false;
};

}  // namespace zelvic::diag
