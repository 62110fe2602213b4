// System information: every text from fixed facts byte for byte, and the
// live values against what the test asks the system itself.
#include <windows.h>

#include <gtest/gtest.h>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/system/ESysTexts.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "fixed_system_facts.h"
#include "platform/process.h"
#include "runtime/format_settings.h"

namespace zelvic::diag {
namespace {

using test::FixedSystemFacts;

// The size texts carry the locale's separator; the cases are written with
// ".", and the test puts the separator in.
std::wstring WithSeparator(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'.') c = rt::DefaultFormatSettings().DecimalSeparator;
  }
  return text;
}

TEST(SysTexts, Sizes) {
  const std::pair<std::uint64_t, const wchar_t*> kShort[] = {
      {0, L"0 b"},
      {1023, L"1023 b"},
      {1024, L"1.00 Kb"},
      {1536, L"1.50 Kb"},
      {1048575, L"1024.00 Kb"},  // 1023.999 rounds up in two decimals
      {1048576, L"1.00 Mb"},
      {1073741824, L"1.00 Gb"},
      {5368709120ull, L"5.00 Gb"},
      {1099511627776ull, L"1.00 Tb"},
      {1649267441664ull, L"1.50 Tb"},
  };
  for (const auto& [bytes, text] : kShort) EXPECT_EQ(FormatSizeShort(bytes), WithSeparator(text)) << bytes;
  EXPECT_EQ(FormatSize(1536), WithSeparator(L"1536 (1.50 Kb)"));
  EXPECT_EQ(FormatSize(0), L"0 (0 b)");
}

TEST(SysTexts, Durations) {
  const std::pair<double, const wchar_t*> kCases[] = {
      {0, L"0 second(s)"},
      {1.5, L"1 day(s), 12 hour(s), 0 second(s)"},
      {0.25, L"6 hour(s), 0 second(s)"},
      {2.0 + (3 * 3600 + 4 * 60 + 5.5) / 86400.0, L"2 day(s), 3 hour(s), 4 minute(s), 5 second(s)"},
  };
  for (const auto& [days, text] : kCases) EXPECT_EQ(FormatDuration(days), text) << days;
}

std::wstring German(const std::wstring& text) {
  if (text == L"Kb") return L"KB";
  if (text == L"second(s)") return L"Sekunde(n)";
  if (text == L"%d %s, ") return L"%d %s; ";
  return text;
}

TEST(SysTexts, WordsPassThroughTheTranslationHook) {
  auto& hooks = OptionsHooks();
  const auto saved = hooks.Translate;
  hooks.Translate = German;
  EXPECT_EQ(FormatSizeShort(2048), WithSeparator(L"2.00 KB"));
  // The pattern's own separator is translated too; the final "," only is
  // removed, and the text is trimmed.
  EXPECT_EQ(FormatDuration(0), L"0 Sekunde(n);");
  hooks.Translate = saved;
}

TEST(SysTexts, CommandLineParameters) {
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"\"C:\\Program Files\\app.exe\"", L""},
      {L"\"C:\\Program Files\\app.exe\"   ", L""},
      {L"app.exe  -a  -b ", L"-a  -b"},
      {L"\"C:\\a b\\app.exe\" x \"y z\"", L"x \"y z\""},
      {L"app.exe", L""},
      {L"", L""},
  };
  for (const auto& [line, params] : kCases) EXPECT_EQ(ApplicationParametersOf(line), params) << line;
}

TEST(SysTexts, PrivilegeLines) {
  EXPECT_EQ(PrivilegeLines({{L"SeShutdownPrivilege", false}, {L"SeChangeNotifyPrivilege", true},
                            {L"SeAVeryLongPrivilegeNameBeyondThirtyOne", true}}),
            L"SeShutdownPrivilege             - OFF\r\n"
            L"SeChangeNotifyPrivilege         - ON\r\n"
            L"SeAVeryLongPrivilegeNameBeyondThirtyOne - ON\r\n");
  EXPECT_EQ(PrivilegeLines({}), L"");
}

TEST(SysTexts, NetworkColumnsLineUp) {
  EXPECT_EQ(PaddedAddress(L"192.168.1.10"), L"192.168.001.010");
  EXPECT_EQ(PaddedAddress(L""), L"000.000.000.000");
  EXPECT_EQ(PaddedAddress(L"10.0.0.1"), L"010.000.000.001");
  const std::vector<platform::TAdapterFacts> adapters = {
      {true, L"192.168.1.10", L"255.255.255.0", L"192.168.1.1", std::vector<std::wstring>{L"8.8.8.8"}},
      // The per-adapter query failed: its place in both columns is kept.
      {false, L"10.0.0.2", L"255.0.0.0", L"", std::nullopt},
      {false, L"172.16.0.5", L"255.255.0.0", L"172.16.0.1", std::vector<std::wstring>{L"1.1.1.1", L"9.9.9.9"}},
  };
  const TNetworkTexts t = NetworkTexts(adapters);
  EXPECT_EQ(t.DHCP, L"ON              - OFF             - OFF            ");
  EXPECT_EQ(t.IP, L"192.168.001.010 - 010.000.000.002 - 172.016.000.005");
  EXPECT_EQ(t.Mask, L"255.255.255.000 - 255.000.000.000 - 255.255.000.000");
  EXPECT_EQ(t.Gateway, L"192.168.001.001 - 000.000.000.000 - 172.016.000.001");
  EXPECT_EQ(t.DNS1, L"008.008.008.008 - 000.000.000.000 - 001.001.001.001");
  EXPECT_EQ(t.DNS2, L"000.000.000.000 - 000.000.000.000 - 009.009.009.009");
  const TNetworkTexts none = NetworkTexts({});
  EXPECT_EQ(none.IP, L"");
  EXPECT_EQ(none.DHCP, L"");
}

TEST(SysTexts, OSVersionIndexAndRefinement) {
  const struct {
    std::uint32_t major, minor;
    std::uint8_t product;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> truth;  // none: no version check
    std::optional<bool> workstation;
    std::uint8_t index;
  } kCases[] = {
      {5, 0, 1, std::nullopt, true, 1},
      {5, 1, 1, std::nullopt, true, 2},
      {5, 2, 1, std::nullopt, true, 2},
      {5, 2, 3, std::nullopt, false, 3},
      {6, 0, 1, std::nullopt, true, 4},
      {6, 0, 3, std::nullopt, false, 5},
      {6, 1, 1, std::nullopt, true, 6},
      {6, 1, 2, std::nullopt, false, 7},
      {6, 3, 3, std::nullopt, false, 11},
      {10, 0, 1, std::nullopt, true, 0},
      // A system newer than it says: the check raises 6.2 to 8.1.
      {6, 2, 1, std::pair(6u, 3u), true, 10},
      {6, 2, 3, std::pair(6u, 3u), false, 11},
      // The check agrees with the query: the query's index stays.
      {6, 1, 1, std::pair(6u, 1u), true, 6},
      // An unknown version that the check places.
      {10, 0, 1, std::pair(10u, 0u), true, 10},
      {4, 0, 1, std::pair(5u, 1u), true, 0},
  };
  for (const auto& c : kCases) {
    FixedSystemFacts facts;
    facts.Version = {true, c.major, c.minor, 1, 2, c.product, 0, 0, L""};
    facts.TrueVersion = c.truth;
    facts.Workstation = c.truth ? c.workstation : std::nullopt;
    EXPECT_EQ(OSVersionIndex(facts.Version, facts), c.index) << c.major << "." << c.minor << " " << int(c.product);
  }
  FixedSystemFacts failed;
  failed.Version.Known = false;
  EXPECT_EQ(OSVersionIndex(failed.Version, failed), 0);
}

TEST(SysTexts, OSTexts) {
  FixedSystemFacts facts;
  EXPECT_EQ(GetOSTypeText(facts), L"Microsoft Windows 7 (32 bit)");
  EXPECT_EQ(GetPlatformText(facts), L"Windows x86-32");
  EXPECT_EQ(GetOSBuildText(facts), L"7601");
  EXPECT_EQ(GetOSUpdateText(facts), L"Service pack 1");
  facts.Wow64 = true;
  facts.Version = {true, 6, 4, 9841, 2, 1, 2, 3, L""};
  EXPECT_EQ(GetOSTypeText(facts), L"Microsoft Windows 6.4 (64 bit)");
  EXPECT_EQ(GetPlatformText(facts), L"Windows x86-64");
  EXPECT_EQ(GetOSUpdateText(facts), L"Service pack 2.3");
  facts.Version = {false, 0, 0, 0, 0, 0, 0, 0, L"  Service Pack 3 "};
  EXPECT_EQ(GetOSUpdateText(facts), L"Service Pack 3");
  facts.Version = {true, 6, 1, 7600, 2, 1, 0, 5, L""};
  EXPECT_EQ(GetOSUpdateText(facts), L"");
}

TEST(SysInfo, UserComputerAndRegisteredNames) {
  FixedSystemFacts facts;
  const std::wstring nt = L"\\SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION";
  const std::wstring win = L"\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION";
  const std::wstring acme = L"\\SOFTWARE\\MICROSOFT\\MS SETUP (ACME)\\USER INFO";
  EXPECT_EQ(GetUserNameText(facts), L"tester");
  EXPECT_EQ(GetComputerNameText(facts), L"BENCH-7");
  EXPECT_EQ(GetUserFullName(facts), L"tester");
  EXPECT_EQ(GetUserCompany(facts), L"");
  facts.MachineRegistry[{acme, L"DefName"}] = L"Acme Owner";
  facts.MachineRegistry[{win, L"RegisteredOrganization"}] = L"Win Org";
  EXPECT_EQ(GetUserFullName(facts), L"Acme Owner");
  EXPECT_EQ(GetUserCompany(facts), L"Win Org");
  facts.MachineRegistry[{nt, L"RegisteredOwner"}] = L"Microsoft";
  facts.MachineRegistry[{nt, L"RegisteredOrganization"}] = L"Microsoft";
  // 6.1: "Microsoft" is the installer's placeholder.
  EXPECT_EQ(GetUserFullName(facts), L"tester");
  EXPECT_EQ(GetUserCompany(facts), L"");
  facts.Version = {true, 5, 1, 2600, 2, 1, 3, 0, L""};
  EXPECT_EQ(GetUserFullName(facts), L"Microsoft");
  EXPECT_EQ(GetApplicationParameters(facts), L"-a  -b");
}

TEST(SysInfo, MemoryDiskUpTimeAndPrivileges) {
  FixedSystemFacts facts;
  facts.ThisModule = L"D:\\Lib\\_zelvic.dll";
  facts.Disks[L"D:\\"] = {500000000000ull, 123456789012ull};
  EXPECT_EQ(GetTotalPhysicalMemory(facts), 4294967296ull);
  EXPECT_EQ(GetFreePhysicalMemory(facts), 1073741824ull);
  EXPECT_EQ(GetTotalDiskSpace(facts), 500000000000ull);
  EXPECT_EQ(GetFreeDiskSpace(facts), 123456789012ull);
  EXPECT_EQ(FormatDuration(GetSystemUpTime(facts)), L"1 day(s), 12 hour(s), 0 second(s)");
  facts.ThisModule = L"E:\\x.dll";
  EXPECT_EQ(GetTotalDiskSpace(facts), 0u);
  EXPECT_EQ(GetUserPrivileges(facts), L"");
  facts.Token = std::vector<platform::TPrivilegeState>{{L"SeDebugPrivilege", true}};
  EXPECT_EQ(GetUserPrivileges(facts), L"SeDebugPrivilege                - ON\r\n");
  EXPECT_EQ(DriveRootOf(L"\\\\server\\share\\dir\\a.dll"), L"\\\\server\\share\\");
  EXPECT_EQ(DriveRootOf(L"relative\\a.dll"), L"");
}

TEST(SysInfo, ApplicationAndDisplay) {
  FixedSystemFacts facts;
  platform::TVersionResource host;
  host.Present = true;
  host.FileVersionMS = 0x00020001;
  host.FileVersionLS = 0x00000007;
  host.FileDescription = L"Fixed Host";
  facts.Files[L"C:\\Fixed\\App\\host.exe"] = host;
  EXPECT_EQ(GetApplicationName(facts), L"host.exe - (Fixed Host)");
  EXPECT_EQ(GetMainModuleDescription(facts), L"Fixed Host");
  EXPECT_EQ(GetApplicationVersion(facts), L"2.1.0.7");
  EXPECT_EQ(ModuleNameAndDescription(L"C:\\Other\\plain.exe", facts), L"plain.exe");
  EXPECT_EQ(GetModuleVersion(L"C:\\Other\\plain.exe", facts), L"");
  EXPECT_EQ(GetFileVersionText(L"C:\\Other\\plain.exe", facts), L"0.0.0.0");
  EXPECT_EQ(GetDisplayModeText(facts), L"1920 x 1080, 32 bit");
  EXPECT_EQ(GetDisplayDPI(facts), 96);
  EXPECT_EQ(GetOSLanguageText(facts), L"English");
}

TEST(SysInfo, ProcessorFromTheRegistry) {
  EXPECT_EQ(ProcessorText(L"  Intel(R) Core(TM) i7 ", L"GenuineIntel", L"x86 Family 6"), L"Intel(R) Core(TM) i7");
  EXPECT_EQ(ProcessorText(L"", L"GenuineIntel", L"x86 Family 6"), L"GenuineIntel - x86 Family 6");
  EXPECT_EQ(ProcessorText(L"", L"GenuineIntel", L""), L"GenuineIntel");
  EXPECT_EQ(ProcessorText(L"", L"", L"x86 Family 6"), L"Unknown CPU");
}

// ---- live

TEST(SysInfoLive, AgreesWithTheSystem) {
  EXPECT_TRUE(EqualIgnoringCase(GetUserNameText(), platform::EnvironmentValue(L"USERNAME"), TCaseFolding::Latin1))
      << GetUserNameText();
  EXPECT_TRUE(EqualIgnoringCase(GetComputerNameText(), platform::EnvironmentValue(L"COMPUTERNAME"),
                                TCaseFolding::Latin1))
      << GetComputerNameText();
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof(memory);
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  EXPECT_EQ(GetTotalPhysicalMemory(), memory.ullTotalPhys);
  EXPECT_GT(GetFreePhysicalMemory(), 0u);
  EXPECT_LE(GetFreePhysicalMemory(), memory.ullTotalPhys);

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring root = DriveRootOf(self);
  ULARGE_INTEGER free_to_caller{}, total{}, free_total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &free_to_caller, &total, &free_total));
  // The unit's figures are of this module's drive: the test program's own.
  EXPECT_EQ(GetTotalDiskSpace(), total.QuadPart);
  EXPECT_GT(GetFreeDiskSpace(), 0u);

  const std::wstring privileges = GetUserPrivileges();
  EXPECT_NE(privileges.find(L"SeChangeNotifyPrivilege"), std::wstring::npos);
  EXPECT_EQ(privileges.substr(privileges.size() - 2), L"\r\n");
  EXPECT_GT(GetSystemUpTime(), 0.0);
  const std::wstring os = GetOSTypeText();
  EXPECT_EQ(os.rfind(L"Microsoft Windows ", 0), 0u) << os;
  EXPECT_NE(GetProcessorText(), L"");
  // The host is this test program, which has no version resource.
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_TRUE(EqualIgnoringCase(GetApplicationName(), ExtractFileNamePart(exe), TCaseFolding::Latin1))
      << GetApplicationName();
  EXPECT_EQ(GetDisplayModeText(), std::to_wstring(GetSystemMetrics(SM_CXSCREEN)) + L" x " +
                                      std::to_wstring(GetSystemMetrics(SM_CYSCREEN)) + L", " +
                                      std::to_wstring(GetDeviceCaps(GetDC(nullptr), BITSPIXEL)) + L" bit");
  EXPECT_FALSE(GetOSLanguageText().empty());
  TNetworkTexts network;
  if (GetNetworkInfo(network)) {
    EXPECT_EQ(network.IP.size(), network.DHCP.size());
    EXPECT_EQ(network.DNS1.size(), network.DNS2.size());
    EXPECT_EQ(network.IP.size(), network.DNS2.size());
  }
}

}  // namespace
}  // namespace zelvic::diag
