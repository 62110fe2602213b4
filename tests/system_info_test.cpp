// System information: every text from fixed facts byte for byte, and the
// live values against what the test asks the system itself.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/system/ESysTexts.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "fixed_system_facts.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system.h"
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

TEST(SysInfo, RegistryTextWithTheIndirectLoader) {
  FixedSystemFacts facts;
  const std::wstring key = L"Software\\Test";
  facts.HasIndirectLoader = true;
  facts.IndirectTexts[L"@shell32.dll,-21787"] = L"Documents";
  const struct {
    const wchar_t* Stored;  // nullptr: no such value
    const wchar_t* Expected;
  } cases[] = {
      {nullptr, L"fallback"},
      {L"", L""},
      {L"plain ; text", L"plain ; text"},
      {L"@shell32.dll,-21787", L"Documents"},
      // The loader fails: the text after the first ";" stands.
      {L"@missing.dll,-1;Shown;here", L"Shown;here"},
      {L"@missing.dll,-1", L"@missing.dll,-1"},
  };
  for (const auto& c : cases) {
    facts.UserRegistry.clear();
    if (c.Stored != nullptr) facts.UserRegistry[{key, L"Name"}] = c.Stored;
    EXPECT_EQ(ReadRegistryText(platform::TRegistryRoot::CurrentUser, key, L"Name", L"fallback", facts), c.Expected)
        << (c.Stored != nullptr ? c.Stored : L"(none)");
  }
  // Each root is its own place, and a plain text never reaches the loader.
  EXPECT_EQ(ReadRegistryText(platform::TRegistryRoot::LocalMachine, key, L"Name", {}, facts), L"");
  for (const std::wstring& call : facts.IndirectCalls) EXPECT_EQ(call.front(), L'@') << call;
}

TEST(SysInfo, RegistryTextWithoutTheIndirectLoader) {
  FixedSystemFacts facts;
  const std::wstring key = L"Software\\Test";
  facts.Environment[L"LIBS"] = L"C:\\Windows\\System32";
  facts.FullPaths[L"shell32.dll"] = L"C:\\Work\\shell32.dll";
  facts.FullPaths[L"a,-b.dll"] = L"C:\\Work\\a,-b.dll";
  facts.StringResources[{L"C:\\Windows\\System32\\shell32.dll", 21787}] = L"Documents";
  facts.StringResources[{L"C:\\Work\\shell32.dll", 7}] = L"Seven";
  facts.StringResources[{L"C:\\Work\\a,-b.dll", 9}] = L"Nine";
  const struct {
    const wchar_t* Stored;
    const wchar_t* Expected;
  } cases[] = {
      {L"@%LIBS%\\shell32.dll,-21787", L"Documents"},
      // Blanks round the name go; a relative name is made absolute.
      {L"@  shell32.dll ,-7", L"Seven"},
      // The number follows the last ",-".
      {L"@a,-b.dll,-9", L"Nine"},
      {L"@%LIBS%\\shell32.dll,-22", L"@%LIBS%\\shell32.dll,-22"},
      {L"@shell32.dll,7", L"@shell32.dll,7"},
      {L"@shell32.dll,-", L"@shell32.dll,-"},
      {L"@shell32.dll,-7x", L"@shell32.dll,-7x"},
      {L"@shell32.dll,-4294967303", L"@shell32.dll,-4294967303"},
      {L"@shell32.dll,-65543", L"@shell32.dll,-65543"},
      {L"@ ,-7", L"@ ,-7"},
      {L"@,-7", L"@,-7"},
      {L"@shell32.dll,-7;x", L"@shell32.dll,-7;x"},
  };
  for (const auto& c : cases) {
    facts.UserRegistry[{key, L"Name"}] = c.Stored;
    EXPECT_EQ(ReadRegistryText(platform::TRegistryRoot::CurrentUser, key, L"Name", {}, facts), c.Expected)
        << c.Stored;
  }
}

TEST(SysInfo, DefaultPrinterText) {
  FixedSystemFacts facts;
  EXPECT_EQ(GetDefaultPrinterText(facts), L"");
  facts.Printer = platform::TPrinterDriver{L"HP LaserJet 4", L"C:\\Spool\\unidrv.dll"};
  EXPECT_EQ(GetDefaultPrinterText(facts), L"HP LaserJet 4 (driver )");
  facts.ProductVersions[L"C:\\Spool\\unidrv.dll"] = L" 6.1. 7600 .16385 ";
  EXPECT_EQ(GetDefaultPrinterText(facts), L"HP LaserJet 4 (driver 6.1.7600.16385)");
}

TEST(SysInfo, VideoCardText) {
  FixedSystemFacts facts;
  EXPECT_EQ(GetVideoCardText(facts), L"");
  const std::wstring enum_key = L"System\\CurrentControlSet\\Enum\\PCI\\VEN_1002";
  const std::wstring device_key = enum_key + L"\\4&1A2B";
  const std::wstring video_key = L"System\\CurrentControlSet\\Control\\Video\\{ABC}\\0000";
  facts.DisplayDevice = {true, L" Radeon X1300 ", L"PCI\\VEN_1002"};
  facts.MachineSubkeys[enum_key] = L"4&1A2B";
  facts.MachineRegistry[{device_key + L"\\Device Parameters", L"VideoID"}] = L"{ABC}";
  facts.MachineRegistry[{device_key, L"Driver"}] = L"{4D36}\\0001";
  facts.MachineRegistry[{L"System\\CurrentControlSet\\Control\\Class\\{4D36}\\0001", L"DriverVersion"}] = L" 8.17.10 ";
  facts.MachineBytes[{video_key, L"HardwareInformation.MemorySize"}] = {0x00, 0x00, 0x00, 0x10};
  EXPECT_EQ(GetVideoCardText(facts), L"Radeon X1300 (driver 8.17.10 - RAM 268435456)");
  // A size not stored in exactly four bytes is no size.
  facts.MachineBytes[{video_key, L"HardwareInformation.MemorySize"}] = {0x00, 0x00, 0x10};
  EXPECT_EQ(GetVideoCardText(facts), L"Radeon X1300 (driver 8.17.10)");

  // Without a video identifier the device map names the video key.
  facts.MachineRegistry.erase({device_key + L"\\Device Parameters", L"VideoID"});
  facts.MachineRegistry[{L"Hardware\\Devicemap\\Video\\", L"\\Device\\Video0"}] =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\{DEF}\\0000";
  facts.MachineBytes[{L"\\System\\CurrentControlSet\\Control\\Video\\{DEF}\\0000",
                      L"HardwareInformation.MemorySize"}] = {0x00, 0x00, 0x00, 0x08};
  EXPECT_EQ(GetVideoCardText(facts), L"Radeon X1300 (driver 8.17.10 - RAM 134217728)");

  // Before the display-device query: the adapter string of the video key,
  // and the product version of its service's image.
  facts.Version = {true, 4, 0, 1381, 2, 1, 6, 0, L"Service Pack 6"};
  facts.MachineRegistry[{L"\\System\\CurrentControlSet\\Control\\Video\\{DEF}\\0000",
                         L"HardwareInformation.AdapterString"}] = std::wstring(L"S3\0 Trio\0", 9);
  facts.MachineRegistry[{L"\\System\\CurrentControlSet\\Control\\Video\\{DEF}", L"ImagePath"}] = L"C:\\drv\\s3.sys";
  facts.ProductVersions[L"C:\\drv\\s3.sys"] = L"4.00 ";
  EXPECT_EQ(GetVideoCardText(facts), L"S3 Trio (driver 4.00 - RAM 134217728)");
  // A system without the query at all takes the same way.
  facts.Version = {true, 6, 1, 7601, 2, 1, 1, 0, L""};
  facts.DisplayDevice = {};
  EXPECT_EQ(GetVideoCardText(facts), L"S3 Trio (driver 4.00 - RAM 134217728)");
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

// A string the system's own shell library holds, found through the
// platform's string loader: the oracle the registry reader is held to.
std::pair<std::uint32_t, std::wstring> SomeShellString(const std::wstring& file) {
  const HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  std::pair<std::uint32_t, std::wstring> found{0, L""};
  if (module == nullptr) return found;
  wchar_t text[512];
  for (std::uint32_t id = 1; id < 40000 && found.first == 0; ++id) {
    const int count = LoadStringW(module, id, text, 512);
    if (count > 3) found = {id, std::wstring(text, static_cast<std::size_t>(count))};
  }
  FreeLibrary(module);
  return found;
}

TEST(SysInfoLive, RegistryTextReadsIndirectStrings) {
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring shell = std::wstring(system) + L"\\shell32.dll";
  const auto [id, expected] = SomeShellString(shell);
  ASSERT_NE(id, 0u);
  const std::wstring key = L"Software\\ZelvicTests\\RegistryText" + std::to_wstring(GetCurrentProcessId());
  const std::wstring indirect = L"@" + shell + L",-" + std::to_wstring(id);
  ASSERT_EQ(platform::WriteUserRegistryText(key, L"Indirect", indirect), 0u);
  ASSERT_EQ(platform::WriteUserRegistryText(key, L"Plain", L"@ plain; text"), 0u);
  const auto user = platform::TRegistryRoot::CurrentUser;
  EXPECT_EQ(ReadRegistryText(user, L"\\" + key, L"Indirect"), expected);
  EXPECT_EQ(ReadRegistryText(user, key, L"Plain"), L" text");
  EXPECT_EQ(ReadRegistryText(user, key, L"Missing", L"kept"), L"kept");
  // Without the platform's loader the library's own reading is used.
  EXPECT_EQ(platform::LiveSystemFacts().ModuleStringResource(shell, id), expected);
  EXPECT_EQ(platform::LiveSystemFacts().ModuleStringResource(shell + L".missing", id), L"");
  EXPECT_EQ(platform::DeleteUserRegistryTree(key), 0u);
  // Reading never creates the key.
  EXPECT_EQ(ReadRegistryText(user, key, L"Plain", L"gone"), L"gone");
  HKEY opened = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened), ERROR_SUCCESS);
}

TEST(SysInfoLive, DefaultPrinterTextFollowsTheSpooler) {
  const HMODULE spooler = LoadLibraryW(L"winspool.drv");
  ASSERT_NE(spooler, nullptr);
  using TGetDefault = BOOL(WINAPI*)(LPWSTR, LPDWORD);
  const auto get_default =
      reinterpret_cast<TGetDefault>(reinterpret_cast<void*>(GetProcAddress(spooler, "GetDefaultPrinterW")));
  ASSERT_NE(get_default, nullptr);
  wchar_t name[512];
  DWORD chars = 512;
  const std::wstring text = GetDefaultPrinterText();
  if (!get_default(name, &chars)) {
    // Wine's prefix has no printer.
    EXPECT_EQ(text, L"");
  } else {
    EXPECT_NE(text.find(L" (driver "), std::wstring::npos) << text;
  }
  FreeLibrary(spooler);
}

// The product version as the version library itself reads it.
TEST(SysInfoLive, ProductVersionOfASystemLibrary) {
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring file = std::wstring(system) + L"\\shell32.dll";
  const HMODULE version = LoadLibraryW(L"version.dll");
  ASSERT_NE(version, nullptr);
  using TSize = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using TInfo = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using TQuery = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  const auto size_of = reinterpret_cast<TSize>(reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoSizeW")));
  const auto info_of = reinterpret_cast<TInfo>(reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoW")));
  const auto query = reinterpret_cast<TQuery>(reinterpret_cast<void*>(GetProcAddress(version, "VerQueryValueW")));
  ASSERT_TRUE(size_of && info_of && query);
  DWORD ignored = 0;
  std::vector<std::uint8_t> block(size_of(file.c_str(), &ignored));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(info_of(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(query(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
  const auto* translation = static_cast<const WORD*>(value);
  wchar_t sub_block[80];
  swprintf(sub_block, 80, L"\\StringFileInfo\\%04x%04x\\ProductVersion", translation[0], translation[1]);
  ASSERT_TRUE(query(block.data(), sub_block, &value, &length));
  const std::wstring expected = static_cast<const wchar_t*>(value);
  ASSERT_GT(expected.size(), 1u);
  EXPECT_EQ(platform::LiveSystemFacts().ProductVersion(file), expected);
  FreeLibrary(version);
}

TEST(SysInfoLive, VideoCardTextNamesTheFirstAdapter) {
  DISPLAY_DEVICEW device{};
  device.cb = sizeof(device);
  const std::wstring text = GetVideoCardText();
  if (!EnumDisplayDevicesW(nullptr, 0, &device, 0) || Trim(device.DeviceString).empty()) {
    EXPECT_EQ(text, L"");
    return;
  }
  EXPECT_EQ(text.rfind(Trim(device.DeviceString) + L" (driver ", 0), 0u) << text;
  EXPECT_EQ(text.back(), L')') << text;
}

// The icon's size and mask bits as the window system reports them.
struct TIconPicture {
  LONG Width = 0, Height = 0;
  std::vector<std::uint8_t> Mask;
};
TIconPicture PictureOf(std::uintptr_t handle) {
  TIconPicture picture;
  ICONINFO info{};
  if (!GetIconInfo(reinterpret_cast<HICON>(handle), &info)) return picture;
  BITMAP mask{};
  GetObjectW(info.hbmMask, sizeof(mask), &mask);
  picture.Width = mask.bmWidth;
  // A mask without a colour bitmap holds the AND and XOR halves one above
  // the other.
  picture.Height = info.hbmColor != nullptr ? mask.bmHeight : mask.bmHeight / 2;
  picture.Mask.resize(static_cast<std::size_t>(mask.bmWidthBytes) * static_cast<std::size_t>(mask.bmHeight));
  GetBitmapBits(info.hbmMask, static_cast<LONG>(picture.Mask.size()), picture.Mask.data());
  DeleteObject(info.hbmMask);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  return picture;
}

TEST(SysInfoLive, IconsAtTheSystemSizes) {
  for (const bool large : {true, false}) {
    SCOPED_TRACE(large ? "large" : "small");
    const int width = GetSystemMetrics(large ? SM_CXICON : SM_CXSMICON);
    const int height = GetSystemMetrics(large ? SM_CYICON : SM_CYSMICON);
    const platform::TLoadedIcon standard = platform::LoadStandardIcon(32516, large);  // the information icon
    ASSERT_NE(standard.Handle, 0u);
    EXPECT_EQ(standard.Width, width);
    EXPECT_EQ(standard.Height, height);
    const TIconPicture picture = PictureOf(standard.Handle);
    EXPECT_EQ(picture.Width, width);
    EXPECT_EQ(picture.Height, height);

    // The file's first icon is the one the shell extracts.
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring shell = std::wstring(system) + L"\\shell32.dll";
    HICON expected = nullptr;
    ASSERT_EQ(ExtractIconExW(shell.c_str(), 0, large ? &expected : nullptr, large ? nullptr : &expected, 1), 1u);
    const platform::TLoadedIcon file = platform::LoadFileIcon(shell.c_str(), large);
    ASSERT_NE(file.Handle, 0u);
    EXPECT_EQ(file.Width, width);
    EXPECT_EQ(PictureOf(file.Handle).Mask, PictureOf(reinterpret_cast<std::uintptr_t>(expected)).Mask);
    DestroyIcon(expected);

    // A file without icons gives the application icon.
    const platform::TLoadedIcon fallback = platform::LoadFileIcon((shell + L".missing").c_str(), large);
    const platform::TLoadedIcon application = platform::LoadStandardIcon(32512, large);
    ASSERT_NE(fallback.Handle, 0u);
    EXPECT_EQ(PictureOf(fallback.Handle).Mask, PictureOf(application.Handle).Mask);
    for (const auto handle : {standard.Handle, file.Handle, fallback.Handle, application.Handle}) {
      platform::DestroyLoadedIcon(handle);
    }
  }
}

}  // namespace
}  // namespace zelvic::diag
