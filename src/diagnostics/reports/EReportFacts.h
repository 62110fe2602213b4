// Everything a bug report shows, behind one interface: the report builder
// reads only these values, so the same builder writes the report of a live
// exception record, of this process at a chosen point, or of fixed values in
// a test. Capture lives behind the interface; presentation (ELogBuilder and
// its sections) never asks the platform itself.
//
// TFixedReportFacts answers from plain fields: a report built from it is
// the same on every machine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/system/ESysTexts.h"
#include "platform/memory_regions.h"
#include "platform/region_facts.h"

namespace zelvic::diag {

class TVarnelBaseStackList;
class TVarnelModulesList;
class TVarnelProcessesList;

// The processor state stored with an exception; a flags word of 0 means no
// context was stored.
struct TReportContext {
  std::uint32_t ContextFlags = 0;
  std::uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0, Esi = 0, Edi = 0, Ebp = 0, Esp = 0, Eip = 0, EFlags = 0;
};

// One memory region as the platform's region query describes it.
using TReportRegion = platform::TRegionFacts;

class TReportFacts {
 public:
  virtual ~TReportFacts() = default;

  // The options that travel with the exception.
  virtual const TVarnelModuleOptions& Options() = 0;
  // The innermost record of a chain of nested exceptions; the record itself
  // when it has no inner one.
  virtual TReportFacts& BaseException() { return *this; }
  // A placeholder name the record knows (its own names, the system
  // variables); empty for an unknown one.
  virtual std::wstring ResolveVariable(const std::wstring& name) = 0;

  // ---- application (date-times are local, days since 1899-12-30)
  virtual double ProcessStartTime() = 0;
  virtual std::wstring ApplicationName() = 0;
  virtual std::wstring ApplicationVersion() = 0;
  virtual std::wstring ApplicationParameters() = 0;
  // 0 when unknown.
  virtual double ApplicationCompilationDate() = 0;
  virtual bool IsConsoleApplication() = 0;

  // ---- the exception
  virtual double ExceptionTime() = 0;
  // Minutes to add to local time to get UTC (the platform's bias).
  virtual std::int32_t TimeZoneBiasMinutes() = 0;
  virtual std::uint32_t ExceptionAddress() = 0;
  // The module's full file name, its file description and version text.
  virtual std::wstring ModuleFileName() = 0;
  virtual std::wstring ModuleDescription() = 0;
  virtual std::wstring ModuleVersion() = 0;
  virtual std::wstring ExceptionClass() = 0;
  virtual std::wstring ExceptionMessage() = 0;
  virtual std::uint32_t BugID() = 0;
  virtual std::int32_t UnhandledExceptionNumber() = 0;
  virtual std::wstring ReproduceText() = 0;

  // ---- user and window state at the exception
  virtual std::wstring UserPrivileges() = 0;
  virtual std::wstring ActiveFormClass() = 0;
  virtual std::wstring ActiveFormText() = 0;
  virtual std::wstring ActiveControlClass() = 0;
  virtual std::wstring ActiveControlText() = 0;

  // ---- computer and operating system
  virtual std::uint64_t TotalPhysicalMemory() = 0;
  virtual std::uint64_t FreePhysicalMemory() = 0;
  virtual std::uint64_t TotalDiskSpace() = 0;
  virtual std::uint64_t FreeDiskSpace() = 0;
  // Days since the system started.
  virtual double SystemUpTime() = 0;
  virtual std::wstring ProcessorText() = 0;
  virtual std::wstring DisplayModeText() = 0;
  virtual std::int32_t DisplayDPI() = 0;
  virtual std::wstring VideoCardText() = 0;
  virtual std::wstring PrinterText() = 0;
  virtual std::wstring VirtualMachineText() = 0;
  virtual std::wstring OSTypeText() = 0;
  virtual std::wstring OSBuildText() = 0;
  virtual std::wstring OSUpdateText() = 0;
  virtual std::wstring OSLanguageText() = 0;
  virtual std::uint32_t OSCharset() = 0;
  // False when the adapter list cannot be read. Slow on a real machine: a
  // report asks only when it shows a network value.
  virtual bool NetworkInfo(TNetworkTexts& texts) = 0;

  // ---- lists (not owned; the report renders copies)
  // Null when the record has no call stack.
  virtual TVarnelBaseStackList* CallStack() = 0;
  // The record's lists, or freshly gathered ones when it has none.
  virtual TVarnelModulesList* Modules() = 0;
  virtual TVarnelProcessesList* Processes() = 0;

  // ---- processor and memory
  virtual TReportContext Context() = 0;
  virtual std::uint32_t StackPoint() = 0;
  // The 64 bytes copied at the stack point when the exception was captured;
  // none when no copy was taken.
  virtual std::optional<std::array<std::uint8_t, 64>> StackDump() = 0;
  // The process's memory as it is now: the code around the exception
  // address and the stack.
  virtual const memory::TMemoryAccess& Memory() = 0;
  virtual bool QueryRegion(std::uint32_t address, TReportRegion& region) = 0;
  // The location of a code address; false when nothing is known.
  virtual bool Locate(std::uint32_t address, TVLLocationInfo& location) = 0;
  // The class of a live object at the address; empty when none lives there.
  virtual std::wstring ObjectClassName(std::uint32_t address) = 0;
};

// ---------------------------------------------------------------------------
// Fixed values. Memory is a set of blocks, each in a region of its own.
class TFixedReportFacts : public TReportFacts {
 public:
  struct TBlock {
    std::uint32_t Base = 0;
    std::vector<std::uint8_t> Bytes;
    TReportRegion Region;  // the region reported for any address of the block
  };

  TFixedReportFacts();
  ~TFixedReportFacts() override;

  std::unique_ptr<TVarnelModuleOptions> OptionsValue;
  TReportFacts* Inner = nullptr;  // the base exception when set
  std::map<std::wstring, std::wstring> Variables;

  double StartTime = 0, CompilationDate = 0, Time = 0;
  std::int32_t Bias = 0;
  std::wstring AppName, AppVersion, AppParameters;
  bool Console = false;
  std::uint32_t Address = 0;
  std::wstring ModuleFile, ModuleDescriptionText, ModuleVersionText, Class, Message, Reproduce;
  std::uint32_t Bug = 0;
  std::int32_t Count = 0;
  std::wstring Privileges, FormClass, FormText, ControlClass, ControlText;
  std::uint64_t TotalMemory = 0, FreeMemory = 0, TotalDisk = 0, FreeDisk = 0;
  double UpTime = 0;
  std::wstring Processor, DisplayMode, VideoCard, Printer, VirtualMachine, OSType, OSBuild, OSUpdate, OSLanguage;
  std::int32_t DPI = 0;
  std::uint32_t Charset = 0;
  std::optional<TNetworkTexts> Network;
  int NetworkQueries = 0;  // how often NetworkInfo was asked

  TVarnelBaseStackList* Stack = nullptr;
  TVarnelModulesList* ModulesValue = nullptr;
  TVarnelProcessesList* ProcessesValue = nullptr;

  TReportContext ContextValue;
  std::uint32_t StackPointValue = 0;
  std::optional<std::array<std::uint8_t, 64>> Dump;
  std::vector<TBlock> Blocks;
  // Answers Locate; none knows no location.
  std::function<bool(std::uint32_t, TVLLocationInfo&)> Locator;
  std::map<std::uint32_t, std::wstring> Objects;

  const TVarnelModuleOptions& Options() override { return *OptionsValue; }
  TReportFacts& BaseException() override { return Inner != nullptr ? *Inner : *this; }
  std::wstring ResolveVariable(const std::wstring& name) override;
  double ProcessStartTime() override { return StartTime; }
  std::wstring ApplicationName() override { return AppName; }
  std::wstring ApplicationVersion() override { return AppVersion; }
  std::wstring ApplicationParameters() override { return AppParameters; }
  double ApplicationCompilationDate() override { return CompilationDate; }
  bool IsConsoleApplication() override { return Console; }
  double ExceptionTime() override { return Time; }
  std::int32_t TimeZoneBiasMinutes() override { return Bias; }
  std::uint32_t ExceptionAddress() override { return Address; }
  std::wstring ModuleFileName() override { return ModuleFile; }
  std::wstring ModuleDescription() override { return ModuleDescriptionText; }
  std::wstring ModuleVersion() override { return ModuleVersionText; }
  std::wstring ExceptionClass() override { return Class; }
  std::wstring ExceptionMessage() override { return Message; }
  std::uint32_t BugID() override { return Bug; }
  std::int32_t UnhandledExceptionNumber() override { return Count; }
  std::wstring ReproduceText() override { return Reproduce; }
  std::wstring UserPrivileges() override { return Privileges; }
  std::wstring ActiveFormClass() override { return FormClass; }
  std::wstring ActiveFormText() override { return FormText; }
  std::wstring ActiveControlClass() override { return ControlClass; }
  std::wstring ActiveControlText() override { return ControlText; }
  std::uint64_t TotalPhysicalMemory() override { return TotalMemory; }
  std::uint64_t FreePhysicalMemory() override { return FreeMemory; }
  std::uint64_t TotalDiskSpace() override { return TotalDisk; }
  std::uint64_t FreeDiskSpace() override { return FreeDisk; }
  double SystemUpTime() override { return UpTime; }
  std::wstring ProcessorText() override { return Processor; }
  std::wstring DisplayModeText() override { return DisplayMode; }
  std::int32_t DisplayDPI() override { return DPI; }
  std::wstring VideoCardText() override { return VideoCard; }
  std::wstring PrinterText() override { return Printer; }
  std::wstring VirtualMachineText() override { return VirtualMachine; }
  std::wstring OSTypeText() override { return OSType; }
  std::wstring OSBuildText() override { return OSBuild; }
  std::wstring OSUpdateText() override { return OSUpdate; }
  std::wstring OSLanguageText() override { return OSLanguage; }
  std::uint32_t OSCharset() override { return Charset; }
  bool NetworkInfo(TNetworkTexts& texts) override;
  TVarnelBaseStackList* CallStack() override { return Stack; }
  TVarnelModulesList* Modules() override { return ModulesValue; }
  TVarnelProcessesList* Processes() override { return ProcessesValue; }
  TReportContext Context() override { return ContextValue; }
  std::uint32_t StackPoint() override { return StackPointValue; }
  std::optional<std::array<std::uint8_t, 64>> StackDump() override { return Dump; }
  const memory::TMemoryAccess& Memory() override;
  bool QueryRegion(std::uint32_t address, TReportRegion& region) override;
  bool Locate(std::uint32_t address, TVLLocationInfo& location) override;
  std::wstring ObjectClassName(std::uint32_t address) override;

 private:
  class TBlocksMemory;
  std::unique_ptr<TBlocksMemory> memory_;
};

}  // namespace zelvic::diag
