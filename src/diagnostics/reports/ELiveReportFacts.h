// The report's values from this process as it runs: the system values of
// ESysInfo, the module list, a fresh process list, the live memory and the
// location lookup. What only an exception record knows (class, message,
// address, context, call stack) is given by whoever makes the object; an
// adapter over the record overrides those answers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "diagnostics/reports/EReportFacts.h"

namespace zelvic::diag {

struct TLiveException {
  std::wstring Class;
  std::wstring Message;
  std::uint32_t Address = 0;
  double Time = 0;  // local date-time; 0: the moment the facts are made
  TReportContext Context;
  std::uint32_t StackPoint = 0;
  std::optional<std::array<std::uint8_t, 64>> Dump;
  std::uint32_t BugID = 0;
  std::int32_t Count = 0;
  std::wstring Reproduce;
};

class TLiveReportFacts : public TReportFacts {
 public:
  // Takes the stack list over; it may be null (no call stack).
  TLiveReportFacts(TLiveException exception, std::unique_ptr<TVarnelBaseStackList> call_stack);
  ~TLiveReportFacts() override;

  // The caller's point as the exception: its return address, registers,
  // stack (with the 64 bytes at the stack point) and call stack.
  static std::unique_ptr<TLiveReportFacts> CaptureHere(std::wstring class_name, std::wstring message);

  const TVarnelModuleOptions& Options() override { return *FOptions; }
  // The copy the report reads; changing it changes what the report shows.
  TVarnelModuleOptions& MutableOptions() noexcept { return *FOptions; }
  std::wstring ResolveVariable(const std::wstring& name) override;
  double ProcessStartTime() override;
  std::wstring ApplicationName() override;
  std::wstring ApplicationVersion() override;
  std::wstring ApplicationParameters() override;
  double ApplicationCompilationDate() override;
  bool IsConsoleApplication() override;
  double ExceptionTime() override { return FException.Time; }
  std::int32_t TimeZoneBiasMinutes() override;
  std::uint32_t ExceptionAddress() override { return FException.Address; }
  std::wstring ModuleFileName() override;
  std::wstring ModuleDescription() override;
  std::wstring ModuleVersion() override;
  std::wstring ExceptionClass() override { return FException.Class; }
  std::wstring ExceptionMessage() override { return FException.Message; }
  std::uint32_t BugID() override { return FException.BugID; }
  std::int32_t UnhandledExceptionNumber() override { return FException.Count; }
  std::wstring ReproduceText() override { return FException.Reproduce; }
  std::wstring UserPrivileges() override;
  std::wstring ActiveFormClass() override;
  std::wstring ActiveFormText() override;
  std::wstring ActiveControlClass() override;
  std::wstring ActiveControlText() override;
  std::uint64_t TotalPhysicalMemory() override;
  std::uint64_t FreePhysicalMemory() override;
  std::uint64_t TotalDiskSpace() override;
  std::uint64_t FreeDiskSpace() override;
  double SystemUpTime() override;
  std::wstring ProcessorText() override;
  std::wstring DisplayModeText() override;
  std::int32_t DisplayDPI() override;
  std::wstring VideoCardText() override;
  std::wstring PrinterText() override;
  std::wstring VirtualMachineText() override;
  std::wstring OSTypeText() override;
  std::wstring OSBuildText() override;
  std::wstring OSUpdateText() override;
  std::wstring OSLanguageText() override;
  std::uint32_t OSCharset() override;
  bool NetworkInfo(TNetworkTexts& texts) override;
  TVarnelBaseStackList* CallStack() override { return FCallStack.get(); }
  TVarnelModulesList* Modules() override;
  TVarnelProcessesList* Processes() override;
  TReportContext Context() override { return FException.Context; }
  std::uint32_t StackPoint() override { return FException.StackPoint; }
  std::optional<std::array<std::uint8_t, 64>> StackDump() override { return FException.Dump; }
  const memory::TMemoryAccess& Memory() override;
  bool QueryRegion(std::uint32_t address, TReportRegion& region) override;
  bool Locate(std::uint32_t address, TVLLocationInfo& location) override;
  // The class of a C++ object with virtual functions, found through its
  // virtual table's type information in the live memory.
  std::wstring ObjectClassName(std::uint32_t address) override;

 protected:
  TLiveException FException;
  std::unique_ptr<TVarnelBaseStackList> FCallStack;
  std::unique_ptr<TVarnelModuleOptions> FOptions;
  std::unique_ptr<TVarnelModulesList> FModules;
  std::unique_ptr<TVarnelProcessesList> FProcesses;
};

}  // namespace zelvic::diag
