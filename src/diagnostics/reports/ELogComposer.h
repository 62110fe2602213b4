// The general part of a report: the fixed table of headers and items (what
// each item shows, under which label, behind which option switch), composed
// into a TLogItem for the text report or into any other form through the
// composer's two operations. The binary flag asks for the values the XML
// form stores (UTC dates, plain numbers) instead of the text forms.
#pragma once

#include <string>
#include <string_view>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/reports/ELogItem.h"
#include "diagnostics/reports/EReportFacts.h"

namespace zelvic::diag {

class TBaseLogBuilder;

class TGeneralSectionComposer {
 public:
  explicit TGeneralSectionComposer(TBaseLogBuilder& builder) noexcept : FLogBuilder(builder) {}
  virtual ~TGeneralSectionComposer() = default;
  TGeneralSectionComposer(const TGeneralSectionComposer&) = delete;
  TGeneralSectionComposer& operator=(const TGeneralSectionComposer&) = delete;

  virtual void AddHeader(std::wstring_view header) = 0;
  virtual void AddItem(std::wstring_view item, std::wstring_view value, bool add) = 0;
  // Every header and item of the table, in order; then one item per custom
  // field.
  virtual void Compose(bool binary);

  TBaseLogBuilder& LogBuilder() const noexcept { return FLogBuilder; }
  // The record the report describes (the builder's choice in a chain).
  TReportFacts& ExceptionInfo() const;
  const TVarnelModuleOptions& Options() const;

 protected:
  TBaseLogBuilder& FLogBuilder;
};

// Into a numbered text.
class TLogBuilderGenericSectionComposer : public TGeneralSectionComposer {
 public:
  explicit TLogBuilderGenericSectionComposer(TBaseLogBuilder& builder) noexcept
      : TGeneralSectionComposer(builder), FItem(0) {}
  void AddHeader(std::wstring_view header) override { FItem.AddHeader(header); }
  void AddItem(std::wstring_view item, std::wstring_view value, bool add) override {
    FItem.AddItem(item, value, add);
  }
  const TLogItem& Item() const noexcept { return FItem; }

 private:
  TLogItem FItem;
};

}  // namespace zelvic::diag
