// Placeholders, built-in variables, special folders and the report file's
// place: fixed facts for exact values, the SDK's constants for every folder
// name, and the live system against the environment and the registry.
#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/system/EReportFile.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/util/ELowLevel.h"
#include "diagnostics/system/ESpecialFolders.h"
#include "diagnostics/util/EStrings.h"
#include "fixed_system_facts.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "runtime/exceptions.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

using test::FixedSystemFacts;

TEST(Placeholders, ExpansionRules) {
  const std::map<std::wstring, std::wstring> values = {
      {L"A", L"x"}, {L"b_2", L"y"}, {L"loop", L"%A%"}, {L"", L""}, {L"pct", L"%"}};
  auto lookup = [&values](const std::wstring& name) {
    const auto it = values.find(name);
    return it == values.end() ? std::wstring(L"?") : it->second;
  };
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"100%%", L"100"},
      {L"%abc", L"%abc"},
      {L"50% off", L"50% off"},
      {L"%", L"%"},
      {L"%A%-%b_2%", L"x-y"},
      {L"%A%%A%", L"xx"},
      // An inserted value is never expanded again.
      {L"[%loop%]", L"[%A%]"},
      {L"%pct%A%", L"%A%"},
      // A name ends at a character that cannot be in one.
      {L"%a b% %A%", L"%a b% x"},
      {L"%unknown%", L"?"},
      {L"", L""},
  };
  for (const auto& [text, expanded] : kCases) EXPECT_EQ(ExpandEnvVarsEx(text, lookup), expanded) << text;
}

std::wstring Upper(const std::wstring& name) { return L"<" + name + L">"; }

TEST(Placeholders, PlainFunctionAndMissingLookup) {
  EXPECT_EQ(ExpandEnvVars(L"a%bc%d", Upper), L"a<bc>d");
  EXPECT_THROW(ExpandEnvVarsEx(L"%x%", TGetEnvVariableMethod()), rt::EAssertionFailed);
}

TEST(SystemVariables, FixedNames) {
  FixedSystemFacts facts;
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"_ThisModulePath", L"C:\\Fixed\\Lib"},
      {L"_thismodulename", L"_zelvic.dll"},
      {L"_MainModulePath", L"C:\\Fixed\\App"},
      {L"_MainModuleName", L"host.exe"},
      {L"Random", L"4242"},
      {L"Date", L"07/03/2024"},
      {L"Time", L"09:05:04"},
      {L"DATEFMT", L"20240307"},
      {L"TimeFmt", L"090504"},
      {L"CD", L"C:\\Work"},
      {L"_LineBreak", L"\r\n"},
      {L"Nothing", L""},
      {L"", L""},
  };
  for (const auto& [name, value] : kCases) EXPECT_EQ(GetSystemVariable(name, facts), value) << name;
}

TEST(SystemVariables, EnvironmentOnlyWhenNoBuiltInAnswers) {
  FixedSystemFacts facts;
  facts.Environment = {{L"HOSTVAR", L"from env"}, {L"CD", L"env cd"}};
  EXPECT_EQ(GetEnvVariableDefault(L"HOSTVAR", facts), L"from env");
  EXPECT_EQ(GetEnvVariableDefault(L"CD", facts), L"C:\\Work");
  EXPECT_EQ(GetEnvVariableDefault(L"UNSET", facts), L"");
}

TEST(SystemVariables, ShellFolderNumbersAndNames) {
  FixedSystemFacts facts;
  facts.CsidlFolders = {{26, L"C:\\Users\\me\\AppData\\Roaming"}, {5, L"C:\\Users\\me\\Docs\\"}};
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"CSIDL_APPDATA", L"C:\\Users\\me\\AppData\\Roaming\\"},
      {L"csidl_appdata", L"C:\\Users\\me\\AppData\\Roaming\\"},
      {L"CSIDL_26", L"C:\\Users\\me\\AppData\\Roaming\\"},
      {L"CSIDL_+26", L"C:\\Users\\me\\AppData\\Roaming\\"},
      {L"CSIDL_PERSONAL", L"C:\\Users\\me\\Docs\\"},
      {L"CSIDL_MyDocuments", L"C:\\Users\\me\\Docs\\"},
      {L"CSIDL_FONTS", L""},
      {L"CSIDL_-1", L""},
      {L"CSIDL_Bogus", L""},
      {L"CSIDL_", L""},
  };
  for (const auto& [name, value] : kCases) EXPECT_EQ(GetSystemVariable(name, facts), value) << name;
}

TEST(SystemVariables, KnownFoldersByNameAndGuid) {
  FixedSystemFacts facts;
  facts.KnownFolders[L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7}"] = {true, 0, L"C:\\Users\\me\\Documents"};
  // S_FALSE with an empty path: nothing, and no message.
  facts.KnownFolders[L"{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}"] = {true, 1, L""};
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"FOLDERID_Documents", L"C:\\Users\\me\\Documents\\"},
      {L"folderid_DOCUMENTS", L"C:\\Users\\me\\Documents\\"},
      {L"FOLDERID_{FDD39AD0-238F-46AF-ADB4-6C85480369C7}", L"C:\\Users\\me\\Documents\\"},
      {L"FOLDERID_{fdd39ad0-238f-46af-adb4-6c85480369c7}", L"C:\\Users\\me\\Documents\\"},
      {L"FOLDERID_{FDD39AD0-238F-46AF-ADB4-6C85480369CZ}", L""},
      {L"FOLDERID_RoamingAppData", L""},
      {L"FOLDERID_NoSuchFolder", L""},
  };
  for (const auto& [name, value] : kCases) EXPECT_EQ(GetSystemVariable(name, facts), value) << name;
}

TEST(SpecialFolders, AFailedKnownFolderQueryReportsItsHresultAndFallsBack) {
  FixedSystemFacts facts;
  facts.CsidlFolders = {{26, L"C:\\Roaming"}};
  test::DebugOutputRecorder recorder;
  const platform::TGuidValue unknown{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(GetSpecialFolder(26, unknown, facts), L"C:\\Roaming\\");
  const auto lines = recorder.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Dump(String): \"SHGetKnownFolderPath failed: error 80070057\""),
            lines.end());
  facts.HasKnownFolderQuery = false;
  EXPECT_EQ(GetSpecialFolder(kNoCsidl, unknown, facts), L"");
}

TEST(SpecialFolders, EveryShellFolderNameHasTheSdkValue) {
#define C(n) {L## #n, CSIDL_##n}
  const std::pair<const wchar_t*, int> kNames[] = {
      C(DESKTOP), C(INTERNET), C(PROGRAMS), C(CONTROLS), C(PRINTERS), C(PERSONAL), C(FAVORITES), C(STARTUP),
      C(RECENT), C(SENDTO), C(BITBUCKET), C(STARTMENU), C(MYDOCUMENTS), C(MYMUSIC), C(MYVIDEO),
      C(DESKTOPDIRECTORY), C(DRIVES), C(NETWORK), C(NETHOOD), C(FONTS), C(TEMPLATES), C(COMMON_STARTMENU),
      C(COMMON_PROGRAMS), C(COMMON_STARTUP), C(COMMON_DESKTOPDIRECTORY), C(APPDATA), C(PRINTHOOD),
      C(LOCAL_APPDATA), C(ALTSTARTUP), C(COMMON_ALTSTARTUP), C(COMMON_FAVORITES), C(INTERNET_CACHE), C(COOKIES),
      C(HISTORY), C(COMMON_APPDATA), C(WINDOWS), C(SYSTEM), C(PROGRAM_FILES), C(MYPICTURES), C(PROFILE),
      C(SYSTEMX86), C(PROGRAM_FILESX86), C(PROGRAM_FILES_COMMON), C(PROGRAM_FILES_COMMONX86),
      C(COMMON_TEMPLATES), C(COMMON_DOCUMENTS), C(COMMON_ADMINTOOLS), C(ADMINTOOLS), C(CONNECTIONS),
      C(COMMON_MUSIC), C(COMMON_PICTURES), C(COMMON_VIDEO), C(RESOURCES), C(RESOURCES_LOCALIZED),
      C(COMMON_OEM_LINKS), C(CDBURN_AREA), C(COMPUTERSNEARME),
      // Not in this SDK's headers; the platform's documented value.
      {L"PROFILES", 0x3E}};
#undef C
  EXPECT_EQ(std::size(kNames), 58u);
  for (const auto& [name, value] : kNames) EXPECT_EQ(CsidlByName(name), value) << name;
  EXPECT_EQ(CsidlByName(L"appData"), CSIDL_APPDATA);
  EXPECT_EQ(CsidlByName(L"FLAG_CREATE"), std::nullopt);
}

TEST(SpecialFolders, EveryKnownFolderNameHasTheSdkGuid) {
#define K(n) {L## #n, &FOLDERID_##n}
  const std::pair<const wchar_t*, const GUID*> kNames[] = {
      K(AddNewPrograms), K(AdminTools), K(AppUpdates), K(CDBurning), K(ChangeRemovePrograms), K(CommonAdminTools),
      K(CommonOEMLinks), K(CommonPrograms), K(CommonStartMenu), K(CommonStartup), K(CommonTemplates),
      K(ComputerFolder), K(ConflictFolder), K(ConnectionsFolder), K(Contacts), K(ControlPanelFolder), K(Cookies),
      K(Desktop), K(DeviceMetadataStore), K(Documents), K(DocumentsLibrary), K(Downloads), K(Favorites), K(Fonts),
      K(Games), K(GameTasks), K(History), K(HomeGroup), K(ImplicitAppShortcuts), K(InternetCache),
      K(InternetFolder), K(Libraries), K(Links), K(LocalAppData), K(LocalAppDataLow), K(LocalizedResourcesDir),
      K(Music), K(MusicLibrary), K(NetHood), K(NetworkFolder), K(OriginalImages), K(PhotoAlbums), K(Pictures),
      K(PicturesLibrary), K(Playlists), K(PrintersFolder), K(PrintHood), K(Profile), K(ProgramData),
      K(ProgramFiles), K(ProgramFilesCommon), K(ProgramFilesCommonX64), K(ProgramFilesCommonX86),
      K(ProgramFilesX64), K(ProgramFilesX86), K(Programs), K(Public), K(PublicDesktop), K(PublicDocuments),
      K(PublicDownloads), K(PublicGameTasks), K(PublicLibraries), K(PublicMusic), K(PublicPictures),
      K(PublicRingtones), K(PublicVideos), K(QuickLaunch), K(Recent), K(RecordedTVLibrary), K(RecycleBinFolder),
      K(ResourceDir), K(Ringtones), K(RoamingAppData), K(SampleMusic), K(SamplePictures), K(SamplePlaylists),
      K(SampleVideos), K(SavedGames), K(SavedSearches), K(SEARCH_CSC), K(SEARCH_MAPI), K(SearchHome), K(SendTo),
      K(SidebarDefaultParts), K(SidebarParts), K(StartMenu), K(Startup), K(SyncManagerFolder),
      K(SyncResultsFolder), K(SyncSetupFolder), K(System), K(SystemX86), K(Templates), K(UserPinned),
      K(UserProfiles), K(UserProgramFiles), K(UserProgramFilesCommon), K(UsersFiles), K(UsersLibraries),
      K(Videos), K(VideosLibrary), K(Windows)};
#undef K
  EXPECT_EQ(std::size(kNames), 102u);
  for (const auto& [name, guid] : kNames) {
    const auto id = KnownFolderByName(name);
    ASSERT_TRUE(id.has_value()) << name;
    EXPECT_EQ(std::memcmp(&*id, guid, sizeof(GUID)), 0) << name;
  }
}

TEST(SpecialFolders, FacilityFoldersAndTemp) {
  FixedSystemFacts facts;
  facts.KnownFolders[L"{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}"] = {true, 0, L"C:\\Users\\me\\Roaming"};
  facts.CsidlFolders = {{5, L"C:\\Docs"}};
  EXPECT_EQ(GetAppDataFolder(facts), L"C:\\Users\\me\\Roaming\\");
  EXPECT_EQ(GetFacilityDataFolder(facts), L"C:\\Users\\me\\Roaming\\Tessaro s.a.s\\VarnelLog\\");
  EXPECT_EQ(GetDocumentsFolder(facts), L"C:\\Docs\\");
  EXPECT_EQ(GetTempFolder(facts), L"C:\\Temp\\");
  facts.Temp.clear();
  EXPECT_EQ(GetTempFolder(facts), L"");
  facts.KnownFolders.clear();
  EXPECT_EQ(GetFacilityDataFolder(facts), L"");
}

// ---- the report file's place

class ReportFileFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    facts.KnownFolders[L"{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}"] = {true, 0, L"C:\\R"};
    facts.Environment = {{L"OUT", L"D:\\Out"}};
  }
  FixedSystemFacts facts;
  const std::wstring kReports = L"C:\\R\\Tessaro s.a.s\\VarnelLog\\Bug Reports\\";
};

TEST_F(ReportFileFixture, AUsableTargetStaysAndNoFolderIsMade) {
  facts.Writable = {L"D:\\Out\\a.el"};
  std::wstring name = L"%OUT%\\a.el";
  EXPECT_TRUE(ResolveOutputFile(name, true, false, facts));
  EXPECT_EQ(name, L"D:\\Out\\a.el");
  EXPECT_TRUE(facts.FoldersMade.empty());
}

TEST_F(ReportFileFixture, AnUnusableTargetMovesIntoBugReports) {
  for (const bool per_module : {false, true}) {
    facts.FoldersMade.clear();
    const std::wstring folder = per_module ? kReports + L"_zelvic.dll\\" : kReports;
    facts.Writable = {folder + L"a.el"};
    std::wstring name = L"%OUT%\\a.el";
    EXPECT_TRUE(ResolveOutputFile(name, per_module, false, facts));
    EXPECT_EQ(name, folder + L"a.el");
    EXPECT_EQ(facts.FoldersMade.back(), folder);
  }
}

TEST_F(ReportFileFixture, NoUsablePlaceIsFalse) {
  std::wstring name = L"D:\\Out\\a.el";
  EXPECT_FALSE(ResolveOutputFile(name, false, true, facts));  // the fallback fails its test too
  facts.FoldersFail = true;
  facts.Writable = {kReports + L"a.el"};
  EXPECT_FALSE(ResolveOutputFile(name, false, true, facts));
  // No application-data folder: no relative folder under whatever is
  // current.
  facts.FoldersFail = false;
  facts.FoldersMade.clear();
  facts.KnownFolders.clear();
  EXPECT_FALSE(ResolveOutputFile(name, false, false, facts));
  EXPECT_TRUE(facts.FoldersMade.empty());
}

// ---- live

std::wstring WithDelimiter(std::wstring path) {
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

TEST(SpecialFoldersLive, AgreeWithTheEnvironmentAndShellFolders) {
  const std::wstring app_data = platform::EnvironmentValue(L"APPDATA");
  ASSERT_FALSE(app_data.empty());
  EXPECT_TRUE(EqualIgnoringCase(GetAppDataFolder(), WithDelimiter(app_data), TCaseFolding::Latin1)) << GetAppDataFolder();
  EXPECT_TRUE(EqualIgnoringCase(ExpandEnvVars(L"%csidl_appdata%"), WithDelimiter(app_data), TCaseFolding::Latin1));
  const auto personal = platform::ReadUserRegistryText(
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", L"Personal");
  ASSERT_TRUE(personal.has_value());
  EXPECT_TRUE(EqualIgnoringCase(GetDocumentsFolder(), WithDelimiter(*personal), TCaseFolding::Latin1))
      << GetDocumentsFolder();
  EXPECT_EQ(ExpandEnvVars(L"%FOLDERID_NoSuchFolder%"), L"");
  const std::wstring temp = platform::EnvironmentValue(L"TEMP");
  EXPECT_TRUE(EqualIgnoringCase(GetTempFolder(), WithDelimiter(temp), TCaseFolding::Latin1)) << GetTempFolder();
  EXPECT_EQ(ExpandEnvVars(L"%_LineBreak%"), L"\r\n");
  // An unknown name that the environment knows.
  SetEnvironmentVariableW(L"ZELVIC_PLACEHOLDER_TEST", L"env value");
  EXPECT_EQ(ExpandEnvVars(L"[%ZELVIC_PLACEHOLDER_TEST%]"), L"[env value]");
  SetEnvironmentVariableW(L"ZELVIC_PLACEHOLDER_TEST", nullptr);
}

std::wstring Untouched(const std::wstring& text) { return L"untouched " + text; }
int g_end_checks = 0;
void CountEndCheck() { ++g_end_checks; }

TEST(SysInfoUnit, FillsTheOptionsSlotsAndGivesThemBack) {
  TOptionsHooks& hooks = OptionsHooks();
  const TOptionsHooks saved = hooks;
  hooks.ExpandVariables = Untouched;
  hooks.FacilityDataFolder = nullptr;
  const auto saved_provider = MainWindowProvider();
  const auto saved_end_check = DoMemLeaksEndCheck();
  MainWindowProvider() = nullptr;
  DoMemLeaksEndCheck() = CountEndCheck;
  ESysInfoInit();
  ASSERT_NE(MainWindowProvider(), nullptr);
  EXPECT_EQ(MainWindowProvider()(), 0u);  // a console test program has no window
  ASSERT_NE(DoMemLeaksEndCheck(), &CountEndCheck);
  DoMemLeaksEndCheck()();
  EXPECT_EQ(g_end_checks, 1);
  EXPECT_EQ(hooks.ExpandVariables(L"a%_LineBreak%b"), L"a\r\nb");
  ASSERT_NE(hooks.FacilityDataFolder, nullptr);
  EXPECT_EQ(hooks.FacilityDataFolder(), GetFacilityDataFolder());
  EXPECT_NE(hooks.FacilityDataFolder().find(L"\\Tessaro s.a.s\\VarnelLog\\"), std::wstring::npos);
  ESysInfoDone();
  EXPECT_EQ(hooks.ExpandVariables, &Untouched);
  EXPECT_EQ(hooks.FacilityDataFolder, nullptr);
  EXPECT_EQ(DoMemLeaksEndCheck(), &CountEndCheck);
  EXPECT_EQ(MainWindowProvider(), nullptr);
  hooks = saved;
  MainWindowProvider() = saved_provider;
  DoMemLeaksEndCheck() = saved_end_check;
}

TEST(ReportFileLive, AProbeLeavesNoFileAndKeepsAnExistingOne) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring fresh = std::wstring(temp) + L"zelvic_probe_" + std::to_wstring(GetCurrentProcessId()) + L".el";
  std::wstring name = fresh;
  const DWORD start = GetTickCount();
  EXPECT_TRUE(ResolveOutputFile(name, false, false));
  EXPECT_LT(GetTickCount() - start, 150u);  // no pause for the probe
  EXPECT_EQ(name, fresh);
  EXPECT_EQ(GetFileAttributesW(fresh.c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_EQ(platform::CreateFileWithBytes(fresh, "report", 6), 0u);
  FILETIME old_time{0x12345600, 0x01D00000};
  HANDLE h = CreateFileW(fresh.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  SetFileTime(h, nullptr, nullptr, &old_time);
  CloseHandle(h);
  EXPECT_TRUE(ResolveOutputFile(name, false, false));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(fresh.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 6u);
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, old_time.dwLowDateTime);
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, old_time.dwHighDateTime);
  DeleteFileW(fresh.c_str());
}

}  // namespace
}  // namespace zelvic::diag
