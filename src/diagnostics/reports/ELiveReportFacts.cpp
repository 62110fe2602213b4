#include "diagnostics/reports/ELiveReportFacts.h"

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/debuginfo/EObjectClass.h"
#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/system/EVirtualMachine.h"
#include "diagnostics/system/EWindowTexts.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "platform/modules.h"
#include "platform/region_facts.h"
#include "platform/threads.h"
#include "runtime/civil_date.h"

namespace zelvic::diag {
namespace {

double LocalNowDateTime() {
  const platform::TLocalNow now = platform::LiveSystemFacts().LocalNow();
  return static_cast<double>(rt::DaysFromCivil(now.Year, now.Month, now.Day) + rt::kUnixEpochDateTime) +
         (now.Hour * 3600.0 + now.Minute * 60.0 + now.Second) / rt::kSecondsPerDay;
}

}  // namespace

TLiveReportFacts::TLiveReportFacts(TLiveException exception, std::unique_ptr<TVarnelBaseStackList> call_stack)
    : FException(std::move(exception)),
      FCallStack(std::move(call_stack)),
      FOptions(std::make_unique<TVarnelModuleOptions>()) {
  if (FException.Time == 0) FException.Time = LocalNowDateTime();
  TModulesListGuard guard;
  if (const TVarnelModuleOptions* own = OwnModuleOptions()) FOptions->Assign(*own);
}

TLiveReportFacts::~TLiveReportFacts() = default;

__attribute__((noinline)) std::unique_ptr<TLiveReportFacts> TLiveReportFacts::CaptureHere(std::wstring class_name,
                                                                                         std::wstring message) {
  TLiveException e;
  e.Class = std::move(class_name);
  e.Message = std::move(message);
  e.Address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  const platform::TThreadRegisters r = platform::CaptureCurrentRegisters();
  // The integer registers and the control registers are known; the flags
  // word is not part of the capture.
  e.Context = {0x10007, r.Eax, r.Ebx, r.Ecx, r.Edx, r.Esi, r.Edi, r.Ebp, r.Esp, e.Address, 0};
  e.StackPoint = r.Esp;
  std::array<std::uint8_t, 64> dump{};
  if (LiveMemory().Read(e.StackPoint, dump.data(), 64) == 64) e.Dump = dump;
  std::unique_ptr<TVarnelBaseStackList> stack = GetCurrentCallStack(e.Address);
  return std::make_unique<TLiveReportFacts>(std::move(e), std::move(stack));
}

std::wstring TLiveReportFacts::ResolveVariable(const std::wstring& name) { return GetEnvVariableDefault(name); }
double TLiveReportFacts::ProcessStartTime() { return GetProcessStartTime(); }
std::wstring TLiveReportFacts::ApplicationName() { return GetApplicationName(); }
std::wstring TLiveReportFacts::ApplicationVersion() { return GetApplicationVersion(); }
std::wstring TLiveReportFacts::ApplicationParameters() { return GetApplicationParameters(); }
double TLiveReportFacts::ApplicationCompilationDate() { return GetApplicationCompilationDate(); }
bool TLiveReportFacts::IsConsoleApplication() { return diag::IsConsoleApplication(); }

std::int32_t TLiveReportFacts::TimeZoneBiasMinutes() {
  return platform::SystemModulePlatform().TimeZoneBiasMinutes().value_or(0);
}

std::wstring TLiveReportFacts::ModuleFileName() {
  TModulesListGuard guard;
  TVarnelModulesListEx* list = GetModulesList();
  const TVarnelModuleInfo* module = list != nullptr ? list->ModuleInfoByAddr(FException.Address) : nullptr;
  return module != nullptr ? module->Name : std::wstring();
}

std::wstring TLiveReportFacts::ModuleDescription() {
  const std::wstring file = ModuleFileName();
  return file.empty() ? std::wstring() : platform::LiveSystemFacts().VersionResource(file).FileDescription;
}

std::wstring TLiveReportFacts::ModuleVersion() {
  const std::wstring file = ModuleFileName();
  return file.empty() ? std::wstring() : GetModuleVersion(file);
}

std::wstring TLiveReportFacts::UserPrivileges() { return GetUserPrivileges(); }
std::wstring TLiveReportFacts::ActiveFormClass() { return GetFormClass(0); }
std::wstring TLiveReportFacts::ActiveFormText() { return GetFormText(0); }
std::wstring TLiveReportFacts::ActiveControlClass() { return GetControlClass(0); }
std::wstring TLiveReportFacts::ActiveControlText() { return GetControlText(0); }
std::uint64_t TLiveReportFacts::TotalPhysicalMemory() { return GetTotalPhysicalMemory(); }
std::uint64_t TLiveReportFacts::FreePhysicalMemory() { return GetFreePhysicalMemory(); }
std::uint64_t TLiveReportFacts::TotalDiskSpace() { return GetTotalDiskSpace(); }
std::uint64_t TLiveReportFacts::FreeDiskSpace() { return GetFreeDiskSpace(); }
double TLiveReportFacts::SystemUpTime() { return GetSystemUpTime(); }
std::wstring TLiveReportFacts::ProcessorText() { return GetProcessorText(); }
std::wstring TLiveReportFacts::VideoCardText() { return GetVideoCardText(); }
std::wstring TLiveReportFacts::PrinterText() { return GetDefaultPrinterText(); }
std::wstring TLiveReportFacts::DisplayModeText() { return GetDisplayModeText(); }
std::int32_t TLiveReportFacts::DisplayDPI() { return GetDisplayDPI(); }
std::wstring TLiveReportFacts::VirtualMachineText() { return GetVirtualMachineText(); }
std::wstring TLiveReportFacts::OSTypeText() { return GetOSTypeText(); }
std::wstring TLiveReportFacts::OSBuildText() { return GetOSBuildText(); }
std::wstring TLiveReportFacts::OSUpdateText() { return GetOSUpdateText(); }
std::wstring TLiveReportFacts::OSLanguageText() { return GetOSLanguageText(); }
std::uint32_t TLiveReportFacts::OSCharset() { return GetOSCharset(); }
bool TLiveReportFacts::NetworkInfo(TNetworkTexts& texts) { return GetNetworkInfo(texts); }

TVarnelModulesList* TLiveReportFacts::Modules() {
  if (FModules == nullptr) {
    FModules = std::make_unique<TVarnelModulesList>();
    TModulesListGuard guard;
    if (TVarnelModulesListEx* list = GetModulesList()) FModules->Assign(*list);
  }
  return FModules.get();
}

TVarnelProcessesList* TLiveReportFacts::Processes() {
  if (FProcesses == nullptr) {
    FProcesses = std::make_unique<TVarnelProcessesList>();
    FProcesses->Refresh();
  }
  return FProcesses.get();
}

const memory::TMemoryAccess& TLiveReportFacts::Memory() { return LiveMemory(); }

bool TLiveReportFacts::QueryRegion(std::uint32_t address, TReportRegion& region) {
  return platform::QueryRegionFacts(address, region);
}

bool TLiveReportFacts::Locate(std::uint32_t address, TVLLocationInfo& location) {
  return LookupLocationInfo(address, location);
}

namespace {

constexpr std::uint32_t kImageRegion = 0x1000000;

bool InLoadedImage(std::uint32_t address) {
  platform::TRegionFacts region;
  return platform::QueryRegionFacts(address, region) && region.Type == kImageRegion;
}

}  // namespace

std::wstring TLiveReportFacts::ObjectClassName(std::uint32_t address) {
  return CxxObjectClassName(Memory(), address, InLoadedImage);
}

}  // namespace zelvic::diag
