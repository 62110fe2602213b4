// The dialogs' view of one exception information record, and the exception
// manager's dialog step that runs the dialogs for a record.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "diagnostics/dialogs/EDialogSubject.h"
#include "diagnostics/exceptions/EExceptionInfo.h"
#include "diagnostics/exceptions/EResponse.h"

namespace zelvic::diag {

class TExceptionReportFacts;
class TLogBuilder;

class TExceptionSubject : public TDialogSubject {
 public:
  // The record is not owned and must outlive the subject.
  explicit TExceptionSubject(TVarnelExceptionInfo& info);
  ~TExceptionSubject() override;

  TVarnelModuleOptions& Options() override { return FInfo.Options(); }
  std::uint32_t BugID() const override { return FInfo.BugID(); }
  std::wstring ExceptionClass() const override { return FInfo.ExceptionClass(); }
  std::vector<std::wstring> Messages() const override;
  std::wstring Comment() const override { return FInfo.AdditionalInfo(); }
  bool Expected() const override { return FInfo.ExpectedContext() != 0 || !FInfo.ExpectedURL().empty(); }
  bool Handled() const override { return FInfo.Handled(); }
  bool SafeCall() const override { return FInfo.SafeCallExpt(); }
  bool HasCallStack() const override { return FInfo.CallStack() != nullptr; }
  std::vector<TDetailedEntry> CallStack() const override;
  // Each build is fresh (the steps to reproduce may have changed), with
  // the custom data added once.
  std::wstring BuildReport() override;
  // Raises the custom-data request (event list 11) with the record and the
  // report builder; the handlers' lines join the builder's custom fields.
  void AddCustomData() override;
  std::uint32_t ThreadID() const override;
  std::uint32_t ExceptionCode() const override { return FInfo.ExceptionRecord().ExceptionCode; }
  const void* ExceptionPointers() const override;
  std::int32_t ExceptionNumber() const override { return FInfo.ExceptionNumber(); }
  std::vector<TSubjectThread> Threads() const override;
  // The manager's call-stack builder already took the threads the options
  // show, while they were held: nothing is left to take here.
  void CaptureThreads(const std::vector<std::uint32_t>&) override {}
  std::wstring ReproduceText() const override { return FInfo.ReproduceText(); }
  void SetReproduceText(const std::wstring& text) override { FInfo.SetReproduceText(text); }
  std::vector<std::wstring> ExtraFiles() const override { return {}; }
  std::wstring ReportValue(TReportValue which) const override;
  std::wstring ExpandVariables(const std::wstring& text) const override { return FInfo.ExpandVariables(text); }

 private:
  TExceptionReportFacts& Facts() const;
  TLogBuilder& Builder();

  TVarnelExceptionInfo& FInfo;
  mutable std::unique_ptr<TExceptionReportFacts> FFacts;
  // One builder for all dialog rounds, so that what AddCustomData gave it
  // stays in every later report.
  std::unique_ptr<TLogBuilder> FBuilder;
  // The platform's pointers record over copies of the record's capture, for
  // the memory dump.
  mutable TExceptionRecord32 FRecord;
  mutable TContext32 FContext;
  mutable const void* FPointers[2] = {};
};

// The exception manager's dialog step: the record through the dialogs.
TResponse ShowExceptionInfoDialog(TVarnelExceptionInfo* info, bool force, bool crash);

}  // namespace zelvic::diag
