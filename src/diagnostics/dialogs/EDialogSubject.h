// What a dialog knows of the exception it reports, behind one interface: the
// exception information record answers it in the running facility, a fixed
// record in tests. Dialogs read only this; the record's own classes stay
// unknown to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"

namespace zelvic::diag {

// One call-stack entry as the detailed message box shows it.
struct TDetailedEntry {
  std::uint32_t ThreadID = 0;
  // The entry's debug detail; unit level or better is shown.
  enum TDetail : std::uint8_t { ddNone, ddModule, ddUnit, ddProcedure, ddSourceCode } Detail = ddNone;
  std::wstring ModuleFileName;  // with its folder
  std::wstring UnitName;
  std::wstring ClassAndProcedure;  // composed as the call-stack table composes it
  std::int32_t Line = 0;
  std::int32_t LineOffset = 0;
};

// A thread the threads registry knows.
struct TSubjectThread {
  std::uint32_t ID = 0;
  bool RTL = false;   // started by the run-time library
  bool Main = false;  // the process's main thread
};

// Values of the report that the senders receive beside the report text.
enum TReportValue : std::uint8_t { rvAppName, rvAppVersion, rvBugIDSource, rvOSBuild, rvOSType, rvPlatform, rvCount_ };

class TDialogSubject {
 public:
  virtual ~TDialogSubject() = default;

  // The exception's private copy of its module's options: custom fields
  // written here carry from one dialog round to the next.
  virtual TVarnelModuleOptions& Options() = 0;
  virtual std::uint32_t BugID() const = 0;
  virtual std::wstring ExceptionClass() const = 0;
  // This exception's message first, then each inner exception's in turn.
  virtual std::vector<std::wstring> Messages() const = 0;
  // A comment attached to the exception; empty when none.
  virtual std::wstring Comment() const = 0;
  // An expected exception: a help context or an expected-exception text.
  virtual bool Expected() const = 0;
  virtual bool Handled() const = 0;
  virtual bool SafeCall() const = 0;
  virtual bool HasCallStack() const = 0;
  // The call stack that `NestedExceptionStack` picks, first entry first.
  virtual std::vector<TDetailedEntry> CallStack() const = 0;
  // The report text, built on request (it may take other threads' stacks).
  virtual std::wstring BuildReport() = 0;
  // Lets the exception add its custom data (the custom-data handlers'
  // lines) to the report; asked once per exception, before the report is
  // first built, and kept for every later build.
  virtual void AddCustomData() = 0;
  // The thread that raised the exception and the platform's record of it
  // (_EXCEPTION_POINTERS; null when there is none).
  virtual std::uint32_t ThreadID() const = 0;
  virtual std::uint32_t ExceptionCode() const = 0;
  virtual const void* ExceptionPointers() const = 0;
  // How many exceptions were handled so far, this one included.
  virtual std::int32_t ExceptionNumber() const = 0;
  virtual std::vector<TSubjectThread> Threads() const = 0;
  // Takes these threads' stacks for the report now, each thread held only
  // while its stack is copied.
  virtual void CaptureThreads(const std::vector<std::uint32_t>& thread_ids) = 0;
  virtual std::wstring ReproduceText() const = 0;
  virtual void SetReproduceText(const std::wstring& text) = 0;
  // Files the exception brings for the package and the senders.
  virtual std::vector<std::wstring> ExtraFiles() const = 0;
  // A value of the report; empty when unknown.
  virtual std::wstring ReportValue(TReportValue which) const = 0;
  // %name% variables: the exception's own names (%BUGID%, %_BugID%, ...),
  // then the system's and the environment's.
  virtual std::wstring ExpandVariables(const std::wstring& text) const = 0;
};

// The bug identifier as reports print it: 8 upper-case hexadecimal digits.
std::wstring BugIDText(std::uint32_t bug_id);

// A subject of fixed values.
class TFixedDialogSubject : public TDialogSubject {
 public:
  TVarnelModuleOptions Opts;
  std::uint32_t Bug = 0x1A2B3C4D;
  std::wstring Class = L"EAccessViolation";
  std::vector<std::wstring> MessageList{L"Access violation"};
  std::wstring CommentText;
  bool IsExpected = false, IsHandled = false, IsSafeCall = false, HasStack = true;
  std::vector<TDetailedEntry> Stack;
  std::wstring Report;
  int ReportsBuilt = 0;
  int CustomDataAdded = 0;
  std::uint32_t Thread = 0, Code = 0xC0000005;
  const void* Pointers = nullptr;
  std::int32_t Number = 1;
  std::vector<TSubjectThread> ThreadList;
  std::vector<std::uint32_t> Captured;
  std::wstring Reproduce;
  std::vector<std::wstring> Extra;
  std::wstring Values[rvCount_];

  TVarnelModuleOptions& Options() override { return Opts; }
  std::uint32_t BugID() const override { return Bug; }
  std::wstring ExceptionClass() const override { return Class; }
  std::vector<std::wstring> Messages() const override { return MessageList; }
  std::wstring Comment() const override { return CommentText; }
  bool Expected() const override { return IsExpected; }
  bool Handled() const override { return IsHandled; }
  bool SafeCall() const override { return IsSafeCall; }
  bool HasCallStack() const override { return HasStack; }
  std::vector<TDetailedEntry> CallStack() const override { return Stack; }
  std::wstring BuildReport() override {
    ++ReportsBuilt;
    return Report;
  }
  void AddCustomData() override { ++CustomDataAdded; }
  std::uint32_t ThreadID() const override { return Thread; }
  std::uint32_t ExceptionCode() const override { return Code; }
  const void* ExceptionPointers() const override { return Pointers; }
  std::int32_t ExceptionNumber() const override { return Number; }
  std::vector<TSubjectThread> Threads() const override { return ThreadList; }
  void CaptureThreads(const std::vector<std::uint32_t>& thread_ids) override { Captured = thread_ids; }
  std::wstring ReproduceText() const override { return Reproduce; }
  void SetReproduceText(const std::wstring& text) override { Reproduce = text; }
  std::vector<std::wstring> ExtraFiles() const override { return Extra; }
  std::wstring ReportValue(TReportValue which) const override { return Values[which]; }
  // %BUGID% and %_BugID%, then the system and the environment.
  std::wstring ExpandVariables(const std::wstring& text) const override;
};

}  // namespace zelvic::diag
