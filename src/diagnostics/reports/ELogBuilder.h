// The bug report's text: the builder reads one exception record through
// TReportFacts and writes the general part, the call stack, the modules,
// the processes, the assembler and the processor state, built once and kept
// until the record changes (Invalidate). Building raises events 15 and 16
// around it and counts as the facility's own work on the thread.
#pragma once

#include <string>
#include <vector>

#include "diagnostics/reports/EReportFacts.h"

namespace zelvic::diag {

inline constexpr wchar_t kReportFirstLineVersion[] = L"7.1.0.0";

class TBaseLogBuilder {
 public:
  // The record must be given and must have a call stack (assertion failure
  // otherwise). Not owned.
  explicit TBaseLogBuilder(TReportFacts* info);
  virtual ~TBaseLogBuilder() = default;
  TBaseLogBuilder(const TBaseLogBuilder&) = delete;
  TBaseLogBuilder& operator=(const TBaseLogBuilder&) = delete;

  virtual std::wstring Build() = 0;
  // "_BugReport" (any case) is the report; other names go to the record.
  virtual std::wstring ResolveVariable(const std::wstring& name);
  virtual std::wstring ExpandVariables(const std::wstring& text);
  // The record the sections describe: the record itself when the options ask
  // for the last of nested exceptions, else the innermost of the chain.
  virtual TReportFacts& GetExceptionInfo();
  virtual TVarnelBaseStackList* GetCallStack();
  virtual void Invalidate() noexcept { FBuilded = false; }
  virtual void SaveToFile(const std::wstring& file_name) = 0;

  // Built on first use. Events 15 and 16 surround a build; 16 is raised
  // also when the build fails, and the failure then goes on to the caller.
  const std::wstring& Report();
  std::wstring ToString() { return Report(); }
  bool Builded() const noexcept { return FBuilded; }

  TReportFacts& ExceptionInfo() const noexcept { return *FExceptionInfo; }
  // The record's options.
  const TVarnelModuleOptions& Options() const { return FExceptionInfo->Options(); }
  // Lines "name=value", shown in the custom section in order.
  const std::vector<std::wstring>& CustomFields() const noexcept { return FCustomFields; }
  void SetCustomFields(const std::vector<std::wstring>& lines) { FCustomFields = lines; }

 protected:
  TReportFacts* FExceptionInfo;
  std::wstring FReport;
  std::vector<std::wstring> FCustomFields;
  bool FBuilded = false;
};

class TLogBuilder : public TBaseLogBuilder {
 public:
  using TBaseLogBuilder::TBaseLogBuilder;

  // General, call stack, modules, processes, assembler and CPU texts joined
  // by an empty line.
  std::wstring Build() override;
  // The byte-order mark FF FE and the report in UTF-16LE, replacing the file.
  void SaveToFile(const std::wstring& file_name) override;

  virtual void BeforeBuild() {}
  virtual std::wstring CreateGeneralText();
  virtual std::wstring CreateCallStackText();
  virtual std::wstring CreateModulesText();
  virtual std::wstring CreateProcessesText();
  virtual std::wstring CreateAssemblerText();
  virtual std::wstring CreateCPUText();

 protected:
  // A section its option switched off: the title and its underline.
  std::wstring EmptySection(const std::wstring& title) const;
  std::wstring Text(TMessageType type) const;
};

// The report could not be saved to its file (the system's error code in the
// message). Not the report file's error (ELogManager): another class.
class EFCreateError : public rt::Exception {
 public:
  using Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"EFCreateError"; }
};

// The unit's steps at position 118.
void ELogBuilderInit();
void ELogBuilderDone();

}  // namespace zelvic::diag
