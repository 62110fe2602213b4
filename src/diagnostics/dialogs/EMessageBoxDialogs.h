// The dialogs without windows of their own: TNullDialog shows nothing,
// TMessageBoxDialog asks with one message box whether to send,
// TMessageBoxDetailedDialog adds the first call-stack lines, and
// TRTLHandlerDialog leaves the exception to the run-time library's handler.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "diagnostics/dialogs/EDialog.h"

namespace zelvic::diag {

class TNullDialog : public TBaseDialog {
 public:
  using TBaseDialog::TBaseDialog;
  const wchar_t* ClassName() const noexcept override { return L"TNullDialog"; }

 protected:
  TResponse ShowDialog() override;
  void PlaySound() override {}
};

class TRTLHandlerDialog : public TNullDialog {
 public:
  using TNullDialog::TNullDialog;
  const wchar_t* ClassName() const noexcept override { return L"TRTLHandlerDialog"; }
  bool CallRTLExceptionEvent() const override { return true; }
};

class TMessageBoxDialog : public TBaseDialog {
 public:
  using TBaseDialog::TBaseDialog;
  const wchar_t* ClassName() const noexcept override { return L"TMessageBoxDialog"; }

 protected:
  TResponse ShowDialog() override;
  void PlaySound() override {}
  // The text the box shows before the question.
  virtual std::wstring MessageText() { return GetExceptionMessage(); }
};

class TMessageBoxDetailedDialog : public TMessageBoxDialog {
 public:
  using TMessageBoxDialog::TMessageBoxDialog;
  const wchar_t* ClassName() const noexcept override { return L"TMessageBoxDetailedDialog"; }

 protected:
  std::wstring MessageText() override;
};

// The detailed box's call-stack lines: of the first 15 entries, those of the
// first entry's thread with unit-level detail or better, "module[.unit]
// [.procedure][,line[offset]]", a line equal to the one before left out.
std::vector<std::wstring> DetailedCallStackLines(std::span<const TDetailedEntry> entries);

// The classes of this unit, registered in this order at start-up.
const TDialogClass& NullDialogClass() noexcept;
void RegisterMessageBoxDialogClasses();

}  // namespace zelvic::diag
