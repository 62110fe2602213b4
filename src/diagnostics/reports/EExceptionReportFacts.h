// The report's values for one exception information record: the record
// answers what it knows (class, message, address, registers, call stack,
// options, the lists it took), the live process the rest. Inner exceptions
// get facts of their own on first use, for the nested-exception choice.
#pragma once

#include <memory>
#include <string>

#include "diagnostics/exceptions/EExceptionInfo.h"
#include "diagnostics/reports/ELiveReportFacts.h"

namespace zelvic::diag {

class TExceptionReportFacts : public TLiveReportFacts {
 public:
  // The record is not owned and must outlive the facts.
  explicit TExceptionReportFacts(TVarnelExceptionInfo& info);

  const TVarnelModuleOptions& Options() override { return FInfo.Options(); }
  TReportFacts& BaseException() override;
  // The record's own names (%BUGID%, %_ExceptModuleName%, ...) first.
  std::wstring ResolveVariable(const std::wstring& name) override;
  std::wstring ModuleVersion() override { return FInfo.ModuleVersion(); }
  std::wstring ActiveFormClass() override { return FInfo.ActiveFormClass(); }
  std::wstring ActiveFormText() override { return FInfo.ActiveFormText(); }
  std::wstring ActiveControlClass() override { return FInfo.ActiveControlClass(); }
  std::wstring ActiveControlText() override { return FInfo.ActiveControlText(); }
  TVarnelBaseStackList* CallStack() override { return FInfo.CallStack(); }
  TVarnelModulesList* Modules() override { return &FInfo.Modules(); }
  TVarnelProcessesList* Processes() override { return &FInfo.Processes(); }

  TVarnelExceptionInfo& Record() noexcept { return FInfo; }

 private:
  TVarnelExceptionInfo& FInfo;
  std::unique_ptr<TExceptionReportFacts> FBase;
};

}  // namespace zelvic::diag
