#include "diagnostics/system/ESysInfo.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/EProcessWindows.h"
#include "diagnostics/system/ESpecialFolders.h"
#include "diagnostics/system/EVirtualMachine.h"
#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/debuginfo/EModules.h"
#include "platform/process.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/ELowLevel.h"
#include "diagnostics/util/EStrings.h"
#include "runtime/civil_date.h"

namespace zelvic::diag {
namespace {

constexpr double kMillisecondsPerDay = 86400000.0;

// What the slots held before this unit filled them; shut-down puts it back,
// so a unit started again later finds the options as they were.
TOptionsHooks g_saved_hooks;
double g_start_time = 0;
double g_boot_time = 0;
// 255 until the live system's index is known; one value for every thread.
std::atomic<int> g_os_version_index{255};
// The main module's texts, read once for the live system (under the
// low-level lock); a single blank stands for "read, and empty".
std::wstring g_application_name;
std::wstring g_main_description;

// The live cache's text, made by `make` on first use.
template <typename F>
std::wstring Cached(std::wstring& cache, F make) {
  EnterLowLevelLock();
  std::wstring value = cache;
  LeaveLowLevelLock();
  if (value.empty()) {
    value = make();
    if (value.empty()) value = L" ";
    EnterLowLevelLock();
    if (cache.empty()) cache = value;
    value = cache;
    LeaveLowLevelLock();
  }
  return Trim(value);
}

void ReleaseCachedTexts() {
  EnterLowLevelLock();
  std::wstring().swap(g_application_name);
  std::wstring().swap(g_main_description);
  LeaveLowLevelLock();
  platform::ForgetFileVersions();
}

TEndCheckHook g_previous_end_check = nullptr;
// The leak pass counts what is still allocated: the cached texts are let go
// just after it, and before whatever ran there before.
void EndCheck() {
  if (g_previous_end_check != nullptr) g_previous_end_check();
  ReleaseCachedTexts();
}

std::uintptr_t OwnMainWindow() {
  platform::TSystemFacts& facts = platform::LiveSystemFacts();
  return FindMainWindow(facts.CurrentProcessId(), facts);
}

std::wstring MainModuleDescription(platform::TSystemFacts& facts) {
  return facts.VersionResource(facts.MainModuleFileName()).FileDescription;
}

bool IsLive(const platform::TSystemFacts& facts) noexcept { return &facts == &platform::LiveSystemFacts(); }

double LocalDateTime(const platform::TLocalNow& now) {
  const double days = static_cast<double>(rt::DaysFromCivil(now.Year, now.Month, now.Day) + rt::kUnixEpochDateTime);
  return days + (now.Hour * 3600.0 + now.Minute * 60.0 + now.Second) / rt::kSecondsPerDay;
}

// "@file,-id" read without the platform's loader: the file name may hold
// placeholders and be relative; anything else is kept as it stands.
std::wstring ResourceStringOf(const std::wstring& text, platform::TSystemFacts& facts) {
  const std::size_t comma = text.rfind(L",-");
  if (comma == std::wstring::npos || comma < 1) return text;
  const std::wstring digits = text.substr(comma + 2);
  // String resources are numbered with 16 bits.
  if (digits.empty() || digits.size() > 5) return text;
  std::uint32_t id = 0;
  for (const wchar_t c : digits) {
    if (c < L'0' || c > L'9') return text;
    id = id * 10 + static_cast<std::uint32_t>(c - L'0');
  }
  if (id > 0xFFFF) return text;
  std::wstring file = Trim(ExpandEnvVarsEx(text.substr(1, comma - 1), [&facts](const std::wstring& name) {
    return GetEnvVariableDefault(name, facts);
  }));
  if (file.empty()) return text;
  const std::wstring loaded = facts.ModuleStringResource(facts.FullPath(file), id);
  return loaded.empty() ? text : loaded;
}

std::wstring IndirectText(const std::wstring& text, platform::TSystemFacts& facts) {
  const platform::TIndirectText answer = facts.LoadIndirectText(text);
  if (!answer.Available) return ResourceStringOf(text, facts);
  if (answer.Loaded) return answer.Text;
  const std::size_t semicolon = text.find(L';');
  return semicolon == std::wstring::npos ? text : text.substr(semicolon + 1);
}

constexpr auto kMachine = platform::TRegistryRoot::LocalMachine;

// The video key named by the first video device of the device map, from its
// "\SYSTEM" on (the stored name begins with the registry's own root).
std::wstring DeviceMapVideoKey(platform::TSystemFacts& facts) {
  const std::wstring stored = ReadRegistryText(kMachine, L"Hardware\\Devicemap\\Video\\", L"\\Device\\Video0", {}, facts);
  constexpr std::wstring_view kSystem = L"\\SYSTEM";
  const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
  const auto at = std::search(stored.begin(), stored.end(), kSystem.begin(), kSystem.end(),
                              [&upper](wchar_t a, wchar_t b) { return upper(a) == b; });
  return std::wstring(at == stored.end() ? stored.begin() : at, stored.end());
}

// The adapter's memory, when the key stores it as exactly four bytes.
std::uint32_t VideoMemorySize(const std::wstring& video_key, platform::TSystemFacts& facts) {
  const auto bytes = facts.RegistryBytes(kMachine, video_key, L"HardwareInformation.MemorySize");
  if (!bytes || bytes->size() != 4) return 0;
  return static_cast<std::uint32_t>((*bytes)[0]) | static_cast<std::uint32_t>((*bytes)[1]) << 8 |
         static_cast<std::uint32_t>((*bytes)[2]) << 16 | static_cast<std::uint32_t>((*bytes)[3]) << 24;
}

bool DisplayDeviceQuerySupported(platform::TSystemFacts& facts) {
  constexpr std::uint32_t kPlatform9x = 1, kPlatformNT = 2;
  const platform::TOSVersion version = facts.OSVersion();
  if (version.PlatformId == kPlatformNT) return version.Major >= 5;
  return version.PlatformId == kPlatform9x && version.Minor >= 10;
}

// The first of the registry places that holds a value; on Vista and later,
// "Microsoft" is a placeholder the installer wrote, not a name.
std::wstring RegisteredValue(platform::TSystemFacts& facts, const wchar_t* value, const wchar_t* acme_value) {
  std::wstring text = ReadRegistryText(kMachine, L"\\SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION", value, {}, facts);
  if (text.empty()) text = ReadRegistryText(kMachine, L"\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION", value, {}, facts);
  if (text.empty()) text = ReadRegistryText(kMachine, L"\\SOFTWARE\\MICROSOFT\\MS SETUP (ACME)\\USER INFO", acme_value, {}, facts);
  if (text == L"Microsoft" && IsVistaOrLater(facts)) text.clear();
  return text;
}

std::wstring ExpandOptionVariables(const std::wstring& text) { return ExpandEnvVars(text); }
std::wstring LiveFacilityDataFolder() { return GetFacilityDataFolder(); }
std::wstring LiveSystemValue(TSystemValueKind kind) {
  switch (kind) {
    case svRegisteredOrganization: return GetUserCompany();
    case svComputerName: return GetComputerNameText();
    case svUserEMail: return GetUserEMail();
    case svRegisteredOwner: return GetUserFullName();
    case svLoggedOnUserName: return GetUserNameText();
  }
  return {};
}

}  // namespace

double GetProcessStartTime() noexcept { return g_start_time; }
double GetBootTime() noexcept { return g_boot_time; }

double GetSystemUpTime(platform::TSystemFacts& facts) {
  return static_cast<double>(facts.TickCount()) / kMillisecondsPerDay;
}

std::wstring ModuleNameAndDescription(const std::wstring& file_name, platform::TSystemFacts& facts) {
  const std::wstring name = ExtractFileNamePart(NormaliseModuleFileName(file_name, platform::SystemModulePlatform()));
  const std::wstring description = facts.VersionResource(file_name).FileDescription;
  return description.empty() ? name : name + L" - (" + description + L")";
}

std::wstring GetModuleVersion(const std::wstring& file_name, platform::TSystemFacts& facts) {
  return ModuleVersionText(facts.VersionResource(file_name));
}

std::wstring GetFileVersionText(const std::wstring& file_name, platform::TSystemFacts& facts) {
  const std::wstring version = GetModuleVersion(file_name, facts);
  return version.empty() ? L"0.0.0.0" : version;
}

std::wstring GetApplicationName(platform::TSystemFacts& facts) {
  auto make = [&facts] { return ModuleNameAndDescription(facts.MainModuleFileName(), facts); };
  return IsLive(facts) ? Cached(g_application_name, make) : Trim(make());
}

std::wstring GetMainModuleDescription(platform::TSystemFacts& facts) {
  auto make = [&facts] { return MainModuleDescription(facts); };
  return IsLive(facts) ? Cached(g_main_description, make) : Trim(make());
}

std::wstring GetApplicationVersion(platform::TSystemFacts& facts) {
  return GetModuleVersion(facts.MainModuleFileName(), facts);
}

double GetApplicationCompilationDate() {
  TDateTime date = 0;
  try {
    if (!ModuleCompilationDate(platform::MainModuleBase(), true, date)) return 0;
  } catch (const EVlDateTimeError&) {  // boundary: a value function answers 0, never raises
    return 0;
  }
  return date;
}

std::wstring GetDisplayModeText(platform::TSystemFacts& facts) {
  const platform::TDisplayFacts d = facts.Display();
  return std::to_wstring(d.Width) + L" x " + std::to_wstring(d.Height) + L", " + std::to_wstring(d.BitsPerPixel) +
         L" bit";
}

std::int32_t GetDisplayDPI(platform::TSystemFacts& facts) { return facts.Display().DpiY; }
std::wstring GetOSLanguageText(platform::TSystemFacts& facts) { return facts.SystemLanguageName(); }
std::uint32_t GetOSCharset(platform::TSystemFacts& facts) { return facts.UserCharset(); }

std::wstring GetApplicationParameters(platform::TSystemFacts& facts) {
  return ApplicationParametersOf(facts.CommandLine());
}

std::wstring GetUserNameText(platform::TSystemFacts& facts) { return facts.UserName(); }

std::wstring GetUserFullName(platform::TSystemFacts& facts) {
  std::wstring name = RegisteredValue(facts, L"RegisteredOwner", L"DefName");
  return name.empty() ? GetUserNameText(facts) : name;
}

std::wstring GetUserCompany(platform::TSystemFacts& facts) {
  return RegisteredValue(facts, L"RegisteredOrganization", L"DefCompany");
}

std::wstring GetUserPrivileges(platform::TSystemFacts& facts) {
  const auto privileges = facts.TokenPrivileges();
  return privileges ? PrivilegeLines(*privileges) : std::wstring();
}

std::wstring GetComputerNameText(platform::TSystemFacts& facts) { return facts.ComputerName(); }
std::uint64_t GetTotalPhysicalMemory(platform::TSystemFacts& facts) { return facts.MemoryStatus().Total; }
std::uint64_t GetFreePhysicalMemory(platform::TSystemFacts& facts) { return facts.MemoryStatus().Free; }

std::wstring DriveRootOf(std::wstring_view path) {
  if (path.size() >= 2 && path[1] == L':') return std::wstring(path.substr(0, 2)) + L'\\';
  if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
    // "\\server\share": up to the fourth delimiter.
    const std::size_t server_end = path.find(L'\\', 2);
    if (server_end == std::wstring_view::npos) return {};
    const std::size_t share_end = path.find(L'\\', server_end + 1);
    return std::wstring(path.substr(0, share_end)) + L'\\';
  }
  return {};
}

std::uint64_t GetTotalDiskSpace(platform::TSystemFacts& facts) {
  const auto space = facts.DiskSpace(DriveRootOf(facts.ThisModuleFileName()));
  return space ? space->Total : 0;
}

std::uint64_t GetFreeDiskSpace(platform::TSystemFacts& facts) {
  const auto space = facts.DiskSpace(DriveRootOf(facts.ThisModuleFileName()));
  return space ? space->FreeToCaller : 0;
}

std::wstring GetProcessorText(platform::TSystemFacts& facts) {
  constexpr wchar_t kKey[] = L"\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  return ProcessorText(ReadRegistryText(kMachine, kKey, L"ProcessorNameString", {}, facts),
                       ReadRegistryText(kMachine, kKey, L"VendorIdentifier", {}, facts),
                       ReadRegistryText(kMachine, kKey, L"Identifier", {}, facts));
}

std::uint8_t GetOSVersionIndex(platform::TSystemFacts& facts) {
  if (!IsLive(facts)) return OSVersionIndex(facts.OSVersion(), facts);
  int index = g_os_version_index.load(std::memory_order_acquire);
  if (index == 255) {
    // Every thread computes the same answer; the first store wins.
    int expected = 255;
    g_os_version_index.compare_exchange_strong(expected, OSVersionIndex(facts.OSVersion(), facts));
    index = g_os_version_index.load(std::memory_order_acquire);
  }
  return static_cast<std::uint8_t>(index);
}

bool IsVistaOrLater(platform::TSystemFacts& facts) { return GetOSVersionIndex(facts) > 3; }

std::wstring GetOSTypeText(platform::TSystemFacts& facts) {
  return OSTypeText(GetOSVersionIndex(facts), facts.OSVersion(), facts.IsWow64());
}

std::wstring GetPlatformText(platform::TSystemFacts& facts) {
  return facts.IsWow64() ? L"Windows x86-64" : L"Windows x86-32";
}

std::wstring GetOSBuildText(platform::TSystemFacts& facts) { return std::to_wstring(facts.OSVersion().Build); }
std::wstring GetOSUpdateText(platform::TSystemFacts& facts) { return OSUpdateText(facts.OSVersion()); }

bool GetNetworkInfo(TNetworkTexts& texts, platform::TSystemFacts& facts) {
  texts = {};
  const auto adapters = facts.NetworkAdapters();
  if (!adapters) return false;
  texts = NetworkTexts(*adapters);
  return true;
}

void ESysInfoInit() {
  platform::TSystemFacts& facts = platform::LiveSystemFacts();
  g_start_time = LocalDateTime(facts.LocalNow());
  g_boot_time = g_start_time - static_cast<double>(facts.TickCount()) / kMillisecondsPerDay;
  TOptionsHooks& hooks = OptionsHooks();
  g_saved_hooks = hooks;
  hooks.ExpandVariables = ExpandOptionVariables;
  hooks.FacilityDataFolder = LiveFacilityDataFolder;
  hooks.SystemValue = LiveSystemValue;
  g_previous_end_check = DoMemLeaksEndCheck();
  DoMemLeaksEndCheck() = EndCheck;
  if (MainWindowProvider() == nullptr) MainWindowProvider() = OwnMainWindow;
}

void ESysInfoDone() {
  TOptionsHooks& hooks = OptionsHooks();
  hooks.ExpandVariables = g_saved_hooks.ExpandVariables;
  hooks.FacilityDataFolder = g_saved_hooks.FacilityDataFolder;
  hooks.SystemValue = g_saved_hooks.SystemValue;
  ForgetVirtualMachineText();
  ReleaseCachedTexts();
  // The slots must not point into this image once it has gone.
  if (DoMemLeaksEndCheck() == EndCheck) DoMemLeaksEndCheck() = g_previous_end_check;
  g_previous_end_check = nullptr;
  if (MainWindowProvider() == OwnMainWindow) MainWindowProvider() = nullptr;
}

std::wstring GetVideoCardText(platform::TSystemFacts& facts) {
  std::wstring adapter, driver, video_key;
  const platform::TDisplayDevice device = facts.PrimaryDisplayDevice();
  if (device.Available && DisplayDeviceQuerySupported(facts)) {
    adapter = device.DeviceString;
    std::wstring device_key = L"System\\CurrentControlSet\\Enum\\" + device.DeviceId;
    device_key += L"\\" + facts.FirstRegistrySubkey(kMachine, device_key);
    const std::wstring video_id = ReadRegistryText(kMachine, device_key + L"\\Device Parameters", L"VideoID", {}, facts);
    video_key = video_id.empty() ? DeviceMapVideoKey(facts)
                                 : L"System\\CurrentControlSet\\Control\\Video\\" + video_id + L"\\0000";
    const std::wstring class_key =
        L"System\\CurrentControlSet\\Control\\Class\\" + ReadRegistryText(kMachine, device_key, L"Driver", {}, facts);
    driver = ReadRegistryText(kMachine, class_key, L"DriverVersion", {}, facts);
  } else {
    video_key = DeviceMapVideoKey(facts);
    adapter = ReadRegistryText(kMachine, video_key, L"HardwareInformation.AdapterString", {}, facts);
    std::erase(adapter, L'\0');
    const std::size_t cut = video_key.rfind(L'\\');
    const std::wstring service_key = cut == std::wstring::npos ? std::wstring() : video_key.substr(0, cut);
    driver = facts.ProductVersion(ReadRegistryText(kMachine, service_key, L"ImagePath", {}, facts));
  }
  adapter = Trim(adapter);
  // A text naming no adapter says nothing.
  if (adapter.empty()) return {};
  const std::uint32_t memory = VideoMemorySize(video_key, facts);
  std::wstring text = adapter + L" (driver " + Trim(driver);
  if (memory != 0) text += L" - RAM " + std::to_wstring(memory);
  return text + L")";
}

std::wstring GetDefaultPrinterText(platform::TSystemFacts& facts) {
  const std::optional<platform::TPrinterDriver> driver = facts.DefaultPrinterDriver();
  if (!driver) return {};
  std::wstring version = facts.ProductVersion(driver->DriverPath);
  std::erase(version, L' ');
  return driver->Name + L" (driver " + version + L")";
}

std::wstring ReadRegistryText(platform::TRegistryRoot root, const std::wstring& key, const std::wstring& value,
                              const std::wstring& default_text, platform::TSystemFacts& facts) {
  std::optional<std::wstring> text = facts.RegistryText(root, key, value);
  if (!text) return default_text;
  if (!text->empty() && text->front() == L'@') return IndirectText(*text, facts);
  return *text;
}

}  // namespace zelvic::diag
