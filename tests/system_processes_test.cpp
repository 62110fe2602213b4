// The process list: records gathered through fixed system facts, the table
// text byte for byte, the privilege switch, and live collection against a
// Toolhelp32 snapshot taken by the test itself.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "fixed_system_facts.h"
#include "platform/system_facts.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {
namespace {

using platform::TImageNameWay;
using test::FixedSystemFacts;

// Three processes that each take another way to their image name: none
// opens (the snapshot's name stays), the full name, and a device path that
// only the second drive maps, in a different letter case.
class ProcessesFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    facts.Ids = std::vector<std::uint32_t>{300, 4, 1200};
    facts.Snapshot = {{4, L"System", 90, 8}, {300, L"svc.exe", 3, 13}, {1200, L"app.exe", 7, 2}, {999, L"gone.exe", 1, 8}};
    facts.Opened[{300, TImageNameWay::FullImageName}] = {true, L"C:\\Win\\svc.exe", 0x80, 8192};
    facts.Opened[{1200, TImageNameWay::FullImageName}] = {true, L"", 0x20, std::nullopt};
    facts.Opened[{1200, TImageNameWay::DeviceImageName}] = {true, L"\\Device\\HarddiskVolume2\\Apps\\app.exe", 0x4000,
                                                            4096};
    facts.DosDevices = {{L"C:", L"\\Device\\HarddiskVolume1"}, {L"D:", L"\\device\\harddiskvolume2"}};
    platform::TVersionResource svc;
    svc.Present = true;
    svc.FileVersionMS = 0x00010002;
    svc.FileVersionLS = 0x00030004;
    svc.FileDescription = L"Service Host";
    platform::TVersionResource app;
    app.Present = true;
    app.FileDescription = L"App|One";
    facts.Files = {{L"C:\\Win\\svc.exe", svc}, {L"D:\\Apps\\app.exe", app}};
    facts.Privileges = {{L"SeDebugPrivilege", false}};
  }
  FixedSystemFacts facts;
};

TEST_F(ProcessesFixture, RefreshTakesEachWayInTurnAndSortsById) {
  TVarnelProcessesList list(facts);
  list.Refresh();
  ASSERT_EQ(list.Count(), 3);
  // Not opened: the snapshot's name, threads and the class of its base
  // priority 8; no memory.
  EXPECT_EQ(list.GetItem(0), (TVarnelProcessInfo{4, L"System", L"", L"", 0, 0x20, 90}));
  EXPECT_EQ(list.GetItem(1), (TVarnelProcessInfo{300, L"C:\\Win\\svc.exe", L"Service Host", L"1.2.3.4", 8192, 0x80, 3}));
  // The second way ran because the first gave no name; its priority and
  // memory win. Version 0.0.0.0 is no version.
  EXPECT_EQ(list.GetItem(2), (TVarnelProcessInfo{1200, L"D:\\Apps\\app.exe", L"App|One", L"", 4096, 0x4000, 7}));
  // The identifiers came from the enumeration: the snapshot's extra entry
  // is not listed.
  const std::vector<std::pair<std::wstring, bool>> calls = {{L"SeDebugPrivilege", true}, {L"SeDebugPrivilege", false}};
  EXPECT_EQ(facts.PrivilegeCalls, calls);
  EXPECT_FALSE(facts.Privileges[L"SeDebugPrivilege"]);
}

TEST_F(ProcessesFixture, WithoutEnumerationTheSnapshotIsWalked) {
  for (const auto& ids : {std::optional<std::vector<std::uint32_t>>(), std::optional(std::vector<std::uint32_t>())}) {
    facts.Ids = ids;
    TVarnelProcessesList list(facts);
    list.Refresh();
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.GetItem(0).ProcessID, 4u);
    EXPECT_EQ(list.GetItem(1).ProcessID, 300u);
    EXPECT_EQ(list.GetItem(2).ProcessID, 999u);
    EXPECT_EQ(list.GetItem(2).Name, L"gone.exe");
    EXPECT_EQ(list.GetItem(3).ProcessID, 1200u);
  }
}

TEST_F(ProcessesFixture, AnAlreadyEnabledDebugPrivilegeStaysOn) {
  facts.Privileges[L"SeDebugPrivilege"] = true;
  TVarnelProcessesList list(facts);
  list.Refresh();
  EXPECT_TRUE(facts.Privileges[L"SeDebugPrivilege"]);
  ASSERT_EQ(facts.PrivilegeCalls.size(), 1u);
  EXPECT_TRUE(facts.PrivilegeCalls[0].second);
}

TEST_F(ProcessesFixture, TableIsExact) {
  TVarnelProcessesList list(facts);
  list.Refresh();
  const std::wstring rule(72, L'-');
  const std::wstring expected = L"Processes Information\r\n" + rule + L"\r\n" +
      L"|ID  |Name   |Description |Version|Memory|Priority    |Threads|Path    |\r\n" + rule + L"\r\n" +
      L"|4   |System |            |       |0     |Normal      |90     |        |\r\n"
      L"|300 |svc.exe|Service Host|1.2.3.4|8192  |High        |3      |C:\\Win\\ |\r\n"
      L"|1200|app.exe|App One     |       |4096  |Below-Normal|7      |D:\\Apps\\|\r\n" +
      rule + L"\r\n";
  EXPECT_EQ(ProcessesListToText(&list, L"Processes Information"), expected);
  // The header was lent for the one text.
  EXPECT_EQ(list.Formatter().CaptionHeader, L"");
  EXPECT_EQ(list.ToString(), expected.substr(expected.find(L"\r\n") + 2));
  EXPECT_EQ(list.GetItemText(1), L"|300 |svc.exe|Service Host|1.2.3.4|8192  |High        |3      |C:\\Win\\ |");
}

TEST(ProcessesTable, EmptyListGivesTheHeaderAndOneRuleOrNothing) {
  EXPECT_EQ(ProcessesListToText(nullptr, L"Processes"), L"Processes\r\n" + std::wstring(58, L'-') + L"\r\n");
  EXPECT_EQ(ProcessesListToText(nullptr, L""), L"");
}

TEST(ProcessesTable, StructuralChangesReachTheText) {
  FixedSystemFacts facts;
  TVarnelProcessesList list(facts);
  list.Add({7, L"b.exe", L"", L"", 1, 0, 2});
  const std::wstring one = list.ToString();
  list.Insert(0, {5, L"a.exe", L"", L"", 1, 0, 2});
  EXPECT_NE(list.ToString(), one);
  EXPECT_EQ(list.GetItemText(0), L"|5 |a.exe|           |       |1     |        |2      |    |");
  list.Delete(0);
  EXPECT_EQ(list.ToString(), one);

  TVarnelProcessesList copy(facts);
  copy.Add({9, L"x.exe", L"", L"", 0, 0, 0});
  copy.Assign(list);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(copy.GetItem(0), list.GetItem(0));
  list.Clear();
  EXPECT_EQ(copy.Count(), 1);
  EXPECT_EQ(list.ToString(), L"");
}

TEST(ProcessesTable, SetTextIsNotSupported) {
  TVarnelProcessesFormatter formatter;
  try {
    formatter.SetText(L"x");
    FAIL() << "no assertion";
  } catch (const rt::EAssertionFailed& e) {
    EXPECT_EQ(std::wstring(e.Message()), L"Not implemented");
  }
}

TEST(ProcessesTable, ReplacedFormatterIsBoundAndKeepsItsCaptions) {
  FixedSystemFacts facts;
  TVarnelProcessesList list(facts);
  list.Add({12, L"a.exe", L"", L"", 0, 0, 1});
  auto own = std::make_unique<TVarnelProcessesFormatter>();
  own->CaptionID = L"PID";
  list.SetFormatter(std::move(own));
  EXPECT_EQ(list.Formatter().ProcessesList(), &list);
  EXPECT_NE(list.ToString().find(L"|PID|Name |"), std::wstring::npos);
}

TEST(ProcessesText, PriorityAndThreads) {
  const struct {
    std::uint32_t priority;
    const wchar_t* text;
  } kPriorities[] = {{0, L""},        {32, L"Normal"}, {64, L"Low"},           {128, L"High"},
                     {256, L"Real-Time"}, {16384, L"Below-Normal"}, {32768, L"Above-Normal"},
                     {5, L"00000005"}, {0xABCDEF01, L"ABCDEF01"}};
  for (const auto& c : kPriorities) EXPECT_EQ(PriorityText(c.priority), c.text) << c.priority;
  EXPECT_EQ(ThreadsText(0), L"??");
  EXPECT_EQ(ThreadsText(1), L"1");
  EXPECT_EQ(ThreadsText(4294967295u), L"4294967295");
}

std::wstring MarkTranslated(const std::wstring& text) { return L"T:" + text; }

TEST(ProcessesText, NamesPassThroughTheTranslationHook) {
  auto& hooks = OptionsHooks();
  const auto saved = hooks.Translate;
  hooks.Translate = MarkTranslated;
  EXPECT_EQ(PriorityText(64), L"T:Low");
  EXPECT_EQ(ThreadsText(0), L"T:??");
  EXPECT_EQ(PriorityText(7), L"00000007");
  hooks.Translate = saved;
}

TEST(ProcessesText, BasePriorityClasses) {
  const std::pair<std::int32_t, std::uint32_t> kCases[] = {
      {-1, 0},      {0, 0},       {1, 0x40},   {5, 0x40},   {6, 0x4000}, {7, 0x4000},  {8, 0x20},
      {9, 0x20},    {10, 0x8000}, {12, 0x8000}, {13, 0x80},  {23, 0x80},  {24, 0x100}, {31, 0x100}};
  for (const auto& [base, expected] : kCases) EXPECT_EQ(PriorityClassOfBasePriority(base), expected) << base;
}

TEST(ProcessesText, DevicePathsBecomeDrivePaths) {
  FixedSystemFacts facts;
  facts.DosDevices = {{L"C:", L"\\Device\\HarddiskVolume1"}, {L"Z:", L"\\Device\\HarddiskVolume12"}};
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"\\Device\\HarddiskVolume1\\Windows\\notepad.exe", L"C:\\Windows\\notepad.exe"},
      {L"\\DEVICE\\harddiskvolume12\\a.exe", L"Z:\\a.exe"},
      // A prefix of a device's name is not that device.
      {L"\\Device\\HarddiskVolume\\a.exe", L""},
      {L"\\Device\\HarddiskVolume3\\a.exe", L""},
      {L"\\Device\\HarddiskVolume1", L"C:"},
  };
  for (const auto& [device, drive] : kCases) EXPECT_EQ(DevicePathToDrivePath(device, facts), drive) << device;
}

TEST(Privileges, OnlyAReportedDifferentPreviousStateIsAChange) {
  const struct {
    std::optional<bool> held;  // none: the token lacks the privilege
    bool enable;
    bool changed;
  } kCases[] = {{false, true, true}, {true, true, false}, {true, false, true}, {false, false, false}, {{}, true, false}};
  for (const auto& c : kCases) {
    FixedSystemFacts facts;
    if (c.held) facts.Privileges[L"SeX"] = *c.held;
    EXPECT_EQ(EnablePrivilege(facts, L"SeX", c.enable), c.changed)
        << (c.held ? (*c.held ? "on" : "off") : "absent") << " -> " << c.enable;
  }
}

// ---- live ------------------------------------------------------------------

std::map<DWORD, PROCESSENTRY32W> ToolhelpProcesses() {
  std::map<DWORD, PROCESSENTRY32W> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof(e);
  for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) found[e.th32ProcessID] = e;
  CloseHandle(snapshot);
  return found;
}

std::optional<bool> DebugPrivilegeEnabled() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::nullopt;
  LUID luid;
  LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid);
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size);
  std::optional<bool> enabled;
  if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* p = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < p->PrivilegeCount; ++i) {
      if (p->Privileges[i].Luid.LowPart == luid.LowPart && p->Privileges[i].Luid.HighPart == luid.HighPart) {
        enabled = (p->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
      }
    }
  }
  CloseHandle(token);
  return enabled;
}

TEST(ProcessesLive, RefreshAgreesWithAToolhelpSnapshot) {
  const std::optional<bool> privilege_before = DebugPrivilegeEnabled();
  const auto before = ToolhelpProcesses();
  TVarnelProcessesList list;
  list.Refresh();
  const auto after = ToolhelpProcesses();
  ASSERT_GT(list.Count(), 1);
  EXPECT_EQ(DebugPrivilegeEnabled(), privilege_before);

  std::set<DWORD> listed;
  for (int i = 0; i < list.Count(); ++i) {
    const TVarnelProcessInfo& p = list.GetItem(i);
    if (i > 0) {
      EXPECT_LT(list.GetItem(i - 1).ProcessID, p.ProcessID);
    }
    listed.insert(p.ProcessID);
    const auto b = before.find(p.ProcessID);
    const auto a = after.find(p.ProcessID);
    ASSERT_TRUE(b != before.end() || a != after.end()) << p.ProcessID << " is in neither snapshot";
    const PROCESSENTRY32W& e = b != before.end() ? b->second : a->second;
    EXPECT_TRUE(EqualIgnoringCase(ExtractFileNamePart(p.Name), e.szExeFile, TCaseFolding::Latin1))
        << p.ProcessID;
    // Only a count both snapshots agree on is a fixed fact.
    if (b != before.end() && a != after.end() && b->second.cntThreads == a->second.cntThreads) {
      EXPECT_EQ(p.Threads, e.cntThreads) << p.ProcessID;
    }
  }
  for (const auto& [id, e] : before) {
    if (after.count(id) != 0) {
      EXPECT_EQ(listed.count(id), 1u) << id << " missing";
    }
  }
  // This process: a full path, a priority class the system confirms, and
  // memory in use.
  const auto self = std::find_if(listed.begin(), listed.end(), [](DWORD id) { return id == GetCurrentProcessId(); });
  ASSERT_NE(self, listed.end());
  for (int i = 0; i < list.Count(); ++i) {
    const TVarnelProcessInfo& p = list.GetItem(i);
    if (p.ProcessID != GetCurrentProcessId()) continue;
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_TRUE(EqualIgnoringCase(ExtractFileNamePart(p.Name), ExtractFileNamePart(exe), TCaseFolding::Latin1));
    EXPECT_EQ(p.Priority, GetPriorityClass(GetCurrentProcess()));
    EXPECT_GT(p.Memory, 0u);
  }
}

// The description in a file's version resource, read by the test through
// version.dll itself; none when the file has no such string.
std::optional<std::wstring> DescriptionByVersionDll(const std::wstring& path) {
  HMODULE version = LoadLibraryW(L"version.dll");
  if (version == nullptr) return std::nullopt;
  using TSize = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using TInfo = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using TQuery = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  const auto size_of = reinterpret_cast<TSize>(reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoSizeW")));
  const auto info = reinterpret_cast<TInfo>(reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoW")));
  const auto query = reinterpret_cast<TQuery>(reinterpret_cast<void*>(GetProcAddress(version, "VerQueryValueW")));
  std::optional<std::wstring> found;
  DWORD ignored = 0;
  const DWORD size = size_of(path.c_str(), &ignored);
  std::vector<std::uint8_t> block(size + 1);
  void* value = nullptr;
  UINT length = 0;
  if (size != 0 && info(path.c_str(), 0, size, block.data()) &&
      query(block.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
    const auto* t = static_cast<const WORD*>(value);
    wchar_t sub[80];
    swprintf(sub, 80, L"\\StringFileInfo\\%04X%04X\\FileDescription", t[0], t[1]);
    if (query(block.data(), sub, &value, &length) && value != nullptr) found = static_cast<const wchar_t*>(value);
  }
  FreeLibrary(version);
  return found;
}

std::vector<std::uint8_t> FileBytes(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(f, nullptr));
  DWORD read = 0;
  if (!ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()) bytes.clear();
  CloseHandle(f);
  return bytes;
}

// Rewrites the file in place with the same size and moves its last-write
// time a day on.
void RewriteInPlace(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  FILETIME created, accessed, modified;
  ASSERT_TRUE(GetFileTime(f, &created, &accessed, &modified));
  ULARGE_INTEGER t{};
  t.LowPart = modified.dwLowDateTime;
  t.HighPart = modified.dwHighDateTime;
  t.QuadPart += 864000000000ULL;
  modified.dwLowDateTime = t.LowPart;
  modified.dwHighDateTime = t.HighPart;
  ASSERT_TRUE(SetFileTime(f, nullptr, nullptr, &modified));
  CloseHandle(f);
}

// The live facts keep an image's version resource between process lists;
// a copy of a system library whose description is then changed in place (same
// size, a later write time) must be read again, and a deleted one gives none.
TEST(ProcessesLive, KeptVersionsFollowTheFile) {
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring source = std::wstring(system) + L"\\kernel32.dll";
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring copy = std::wstring(temp) + L"zelvic_kept_version_" + std::to_wstring(GetCurrentProcessId()) + L".dll";
  ASSERT_TRUE(CopyFileW(source.c_str(), copy.c_str(), FALSE));
  struct TRemove {
    std::wstring path;
    ~TRemove() { DeleteFileW(path.c_str()); }
  } remove{copy};

  const std::optional<std::wstring> original = DescriptionByVersionDll(copy);
  ASSERT_TRUE(original.has_value() && original->size() >= 2) << "no description in " << source;
  platform::TSystemFacts& facts = platform::LiveSystemFacts();
  EXPECT_EQ(facts.VersionResource(copy).FileDescription, *original);
  EXPECT_EQ(facts.VersionResource(copy).FileDescription, *original);

  // Every UTF-16 copy of the description in the file gets a new first letter.
  std::vector<std::uint8_t> bytes = FileBytes(copy);
  ASSERT_FALSE(bytes.empty());
  std::vector<std::uint8_t> pattern;
  for (const wchar_t c : *original) {
    pattern.push_back(static_cast<std::uint8_t>(c & 0xFF));
    pattern.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  const wchar_t replacement = (*original)[0] == L'Q' ? L'R' : L'Q';
  int changed = 0;
  for (auto it = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end()); it != bytes.end();
       it = std::search(it + 1, bytes.end(), pattern.begin(), pattern.end())) {
    it[0] = static_cast<std::uint8_t>(replacement);
    it[1] = 0;
    ++changed;
  }
  ASSERT_GT(changed, 0);
  RewriteInPlace(copy, bytes);
  const std::optional<std::wstring> rewritten = DescriptionByVersionDll(copy);
  ASSERT_TRUE(rewritten.has_value());
  ASSERT_NE(*rewritten, *original);
  EXPECT_EQ((*rewritten)[0], replacement);
  EXPECT_EQ(facts.VersionResource(copy).FileDescription, *rewritten);

  ASSERT_TRUE(DeleteFileW(copy.c_str()));
  const platform::TVersionResource gone = facts.VersionResource(copy);
  EXPECT_FALSE(gone.Present);
  EXPECT_EQ(gone.FileDescription, L"");
}

}  // namespace
}  // namespace zelvic::diag
