#include "diagnostics/reports/ELogComposer.h"

#include <array>

#include "diagnostics/reports/ELogBuilder.h"
#include "diagnostics/system/EDateTexts.h"
#include "diagnostics/system/ESysTexts.h"
#include "diagnostics/util/EFileNames.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {
namespace {

// What an item's value is made from.
struct TValueSource {
  TReportFacts& Facts;
  const TVarnelModuleOptions& Options;
  bool Binary;
  const TNetworkTexts& Network;
};
using TValueFn = std::wstring (*)(TValueSource& s);

std::wstring DateValue(TValueSource& s, double local) {
  const std::int32_t bias = s.Facts.TimeZoneBiasMinutes();
  return s.Binary ? FormatIsoDateTime(LocalToUtc(local, bias)) : FormatExceptionDate(local, bias);
}
std::wstring SizeValue(TValueSource& s, std::uint64_t bytes) {
  return s.Binary ? std::to_wstring(bytes) : FormatSize(bytes);
}
std::wstring DurationValue(TValueSource& s, double days) {
  return s.Binary ? FormatIsoDateTime(days) : FormatDuration(days);
}
std::wstring ModuleNameValue(TValueSource& s) {
  std::wstring text = ExtractFileNamePart(s.Facts.ModuleFileName());
  const std::wstring description = s.Facts.ModuleDescription();
  if (!description.empty()) text += L" - (" + description + L")";
  return text;
}

constexpr TOptionId kNoSwitch = TOptionId::Count_;

struct TGeneralRow {
  TMessageType Label;
  TOptionId Switch;  // kNoSwitch for a header
  TValueFn Value;    // null for a header
  bool ActiveControl = false;
  bool Network = false;
};

// clang-format off
const std::array<TGeneralRow, 60> kGeneralRows{{
    {mtLog_AppHeader, kNoSwitch, nullptr},
    {mtLog_AppStartDate, TOptionId::soAppStartDate, [](TValueSource& s) { return DateValue(s, s.Facts.ProcessStartTime()); }},
    {mtLog_AppName, TOptionId::soAppName, [](TValueSource& s) { return s.Facts.ApplicationName(); }},
    {mtLog_AppVersionNumber, TOptionId::soAppVersionNumber, [](TValueSource& s) { return s.Facts.ApplicationVersion(); }},
    {mtLog_AppParameters, TOptionId::soAppParameters, [](TValueSource& s) { return s.Facts.ApplicationParameters(); }},
    {mtLog_AppCompilationDate, TOptionId::soAppCompilationDate, [](TValueSource& s) { return DateValue(s, s.Facts.ApplicationCompilationDate()); }},
    {mtLog_AppUpTime, TOptionId::soAppUpTime, [](TValueSource& s) { return DurationValue(s, s.Facts.ExceptionTime() - s.Facts.ProcessStartTime()); }},
    {mtLog_ExcHeader, kNoSwitch, nullptr},
    {mtLog_ExcDate, TOptionId::soExcDate, [](TValueSource& s) { return DateValue(s, s.Facts.ExceptionTime()); }},
    {mtLog_ExcAddress, TOptionId::soExcAddress, [](TValueSource& s) { return rt::Hex8(s.Facts.ExceptionAddress()); }},
    {mtLog_ExcModuleName, TOptionId::soExcModuleName, ModuleNameValue},
    {mtLog_ExcModuleVersion, TOptionId::soExcModuleVersion, [](TValueSource& s) { return s.Facts.ModuleVersion(); }},
    {mtLog_ExcType, TOptionId::soExcType, [](TValueSource& s) { return s.Facts.ExceptionClass(); }},
    {mtLog_ExcMessage, TOptionId::soExcMessage, [](TValueSource& s) { return s.Facts.ExceptionMessage(); }},
    {mtLog_ExcID, TOptionId::soExcID, [](TValueSource& s) { return rt::Hex8(s.Facts.BugID()); }},
    {mtLog_ExcCount, TOptionId::soExcCount, [](TValueSource& s) { return std::to_wstring(s.Facts.UnhandledExceptionNumber()); }},
    {mtLog_ExcStatus, TOptionId::soExcStatus, [](TValueSource&) { return std::wstring(L"New"); }},
    {mtLog_ExcNote, TOptionId::soExcNote, [](TValueSource&) { return std::wstring(); }},
    {mtLog_ExcSend, TOptionId::soExcSend, [](TValueSource&) { return std::wstring(L"0"); }},
    {mtLog_UserHeader, kNoSwitch, nullptr},
    {mtLog_UserID, TOptionId::soUserID, [](TValueSource& s) { return s.Options.OverrideUserName(); }},
    {mtLog_UserName, TOptionId::soUserName, [](TValueSource& s) { return s.Options.OverrideUserFullName(); }},
    {mtLog_UserEmail, TOptionId::soUserEmail, [](TValueSource& s) { return s.Options.OverrideUserEMail(); }},
    {mtLog_UserCompany, TOptionId::soUserCompany, [](TValueSource& s) { return s.Options.OverrideCompanyName(); }},
    {mtLog_UserPrivileges, TOptionId::soUserPrivileges, [](TValueSource& s) { return s.Facts.UserPrivileges(); }},
    {mtLog_ActCtrlsHeader, kNoSwitch, nullptr},
    {mtLog_ActCtrlsFormClass, TOptionId::soActCtlsFormClass, [](TValueSource& s) { return s.Facts.ActiveFormClass(); }, true},
    {mtLog_ActCtrlsFormText, TOptionId::soActCtlsFormText, [](TValueSource& s) { return s.Facts.ActiveFormText(); }, true},
    {mtLog_ActCtrlsControlClass, TOptionId::soActCtlsControlClass, [](TValueSource& s) { return s.Facts.ActiveControlClass(); }, true},
    {mtLog_ActCtrlsControlText, TOptionId::soActCtlsControlText, [](TValueSource& s) { return s.Facts.ActiveControlText(); }, true},
    {mtLog_CmpHeader, kNoSwitch, nullptr},
    {mtLog_CmpName, TOptionId::soCmpName, [](TValueSource& s) { return s.Options.OverrideComputerName(); }},
    {mtLog_CmpTotalMemory, TOptionId::soCmpTotalMemory, [](TValueSource& s) { return SizeValue(s, s.Facts.TotalPhysicalMemory()); }},
    {mtLog_CmpFreeMemory, TOptionId::soCmpFreeMemory, [](TValueSource& s) { return SizeValue(s, s.Facts.FreePhysicalMemory()); }},
    {mtLog_CmpTotalDisk, TOptionId::soCmpTotalDisk, [](TValueSource& s) { return SizeValue(s, s.Facts.TotalDiskSpace()); }},
    {mtLog_CmpFreeDisk, TOptionId::soCmpFreeDisk, [](TValueSource& s) { return SizeValue(s, s.Facts.FreeDiskSpace()); }},
    {mtLog_CmpSystemUpTime, TOptionId::soCmpSysUpTime, [](TValueSource& s) { return DurationValue(s, s.Facts.SystemUpTime()); }},
    {mtLog_CmpProcessor, TOptionId::soCmpProcessor, [](TValueSource& s) { return s.Facts.ProcessorText(); }},
    {mtLog_CmpDisplayMode, TOptionId::soCmpDisplayMode, [](TValueSource& s) { return s.Facts.DisplayModeText(); }},
    {mtLog_CmpDisplayDPI, TOptionId::soCmpDisplayDPI, [](TValueSource& s) { return std::to_wstring(s.Facts.DisplayDPI()); }},
    {mtLog_CmpVideoCard, TOptionId::soCmpVideoCard, [](TValueSource& s) { return s.Facts.VideoCardText(); }},
    {mtLog_CmpPrinter, TOptionId::soCmpPrinter, [](TValueSource& s) { return s.Facts.PrinterText(); }},
    {mtLog_CmpVM, TOptionId::soCmpVM, [](TValueSource& s) { return s.Facts.VirtualMachineText(); }},
    {mtLog_OSHeader, kNoSwitch, nullptr},
    {mtLog_OSType, TOptionId::soOSType, [](TValueSource& s) { return s.Facts.OSTypeText(); }},
    {mtLog_OSBuildN, TOptionId::soOSBuildN, [](TValueSource& s) { return s.Facts.OSBuildText(); }},
    {mtLog_OSUpdate, TOptionId::soOSUpdate, [](TValueSource& s) { return s.Facts.OSUpdateText(); }},
    {mtLog_OSLanguage, TOptionId::soOSLanguage, [](TValueSource& s) { return s.Facts.OSLanguageText(); }},
    {mtLog_OSCharset, TOptionId::soOSCharset, [](TValueSource& s) { return std::to_wstring(s.Facts.OSCharset()); }},
    {mtLog_NetHeader, kNoSwitch, nullptr},
    {mtLog_NetIP, TOptionId::soNetIP, [](TValueSource& s) { return s.Network.IP; }, false, true},
    {mtLog_NetSubmask, TOptionId::soNetSubmask, [](TValueSource& s) { return s.Network.Mask; }, false, true},
    {mtLog_NetGateway, TOptionId::soNetGateway, [](TValueSource& s) { return s.Network.Gateway; }, false, true},
    {mtLog_NetDNS1, TOptionId::soNetDNS1, [](TValueSource& s) { return s.Network.DNS1; }, false, true},
    {mtLog_NetDNS2, TOptionId::soNetDNS2, [](TValueSource& s) { return s.Network.DNS2; }, false, true},
    {mtLog_NetDHCP, TOptionId::soNetDHCP, [](TValueSource& s) { return s.Network.DHCP; }, false, true},
    {mtLog_ReproduceHeader, kNoSwitch, nullptr},
    {mtLog_ReproduceText, TOptionId::soStepsToReproduce, [](TValueSource& s) { return s.Facts.ReproduceText(); }},
    {mtLog_CustInfoHeader, kNoSwitch, nullptr},
    {mtLog_CustInfoHeader, TOptionId::soCustomData, nullptr},  // the custom fields stand here
}};
// clang-format on

}  // namespace

TReportFacts& TGeneralSectionComposer::ExceptionInfo() const { return FLogBuilder.GetExceptionInfo(); }
const TVarnelModuleOptions& TGeneralSectionComposer::Options() const { return FLogBuilder.Options(); }

void TGeneralSectionComposer::Compose(bool binary) {
  TReportFacts& facts = ExceptionInfo();
  const TVarnelModuleOptions& options = Options();
  const bool console = facts.IsConsoleApplication();
  // Reading the adapters is slow on a real machine: once, and only when a
  // network value is shown.
  TNetworkTexts network;
  bool any_network = false;
  for (const TGeneralRow& row : kGeneralRows) any_network = any_network || (row.Network && options.ReadBool(row.Switch));
  if (any_network) facts.NetworkInfo(network);

  TValueSource source{facts, options, binary, network};
  for (const TGeneralRow& row : kGeneralRows) {
    if (row.Switch == kNoSwitch) {
      AddHeader(options.GetCustomizedExpandedTexts(row.Label));
      continue;
    }
    if (row.Switch == TOptionId::soCustomData) {
      const bool add = options.soCustomData();
      for (const std::wstring& field : FLogBuilder.CustomFields()) {
        const std::size_t eq = field.find(L'=');
        const std::wstring name = field.substr(0, eq);
        const std::wstring value = eq == std::wstring::npos ? std::wstring() : field.substr(eq + 1);
        AddItem(name, value, add);
      }
      continue;
    }
    const bool add = options.ReadBool(row.Switch) && !(console && row.ActiveControl);
    // A switched-off item still takes its number; its value is not asked for.
    AddItem(options.GetCustomizedExpandedTexts(row.Label), add ? row.Value(source) : std::wstring(), add);
  }
}

}  // namespace zelvic::diag
