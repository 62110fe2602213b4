#include "platform/system_facts.h"

#include "platform/dynamic_library.h"

#include <windows.h>

#include <initializer_list>
#include <iphlpapi.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winspool.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/registry.h"
#include "platform/process.h"

namespace zelvic::platform {
namespace {

// A system library for the duration of a call. The process-status and shell
// functions are looked up by name: older systems lack some, and Wine's
// kernel32 exports the process-status ones only under their K32 names.

class THandle {
 public:
  explicit THandle(HANDLE h = nullptr) noexcept : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~THandle() {
    if (h_ != nullptr) CloseHandle(h_);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != nullptr; }

 private:
  HANDLE h_;
};

using TEnumProcesses = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using TQueryFullProcessImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
using TGetProcessImageFileName = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD);
using TGetModuleFileNameEx = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using TGetProcessMemoryInfo = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
using TSHGetKnownFolderPath = HRESULT(WINAPI*)(const GUID*, DWORD, HANDLE, PWSTR*);
using TSHGetFolderLocation = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, void**);
using TSHGetPathFromIDList = BOOL(WINAPI*)(const void*, LPWSTR);
using TCoTaskMemFree = void(WINAPI*)(void*);
using TGetTickCount64 = ULONGLONG(WINAPI*)();
using TGlobalMemoryStatusEx = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
using TGetDiskFreeSpaceEx = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
using TVerSetConditionMask = ULONGLONG(WINAPI*)(ULONGLONG, DWORD, BYTE);
using TVerifyVersionInfo = BOOL(WINAPI*)(LPOSVERSIONINFOEXW, DWORD, DWORDLONG);
using TIsWow64Process = BOOL(WINAPI*)(HANDLE, PBOOL);
using TGetAdaptersInfo = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
using TGetPerAdapterInfo = DWORD(WINAPI*)(ULONG, PIP_PER_ADAPTER_INFO, PULONG);

constexpr DWORD kProcessQueryLimitedInformation = 0x1000;
constexpr DWORD kNameBufferChars = 10240;
constexpr DWORD kMaxProcessIds = 1024000;
constexpr DWORD kKnownFolderDontVerify = 0x4000;

// A process-status function: kernel32's "K32" export where the system has
// one (always loaded, so finding it costs no library load), else psapi's.
// One routine for every signature (the callers cast), so no identical
// instances are folded under one another's names.
void* ProcessStatusProc(const TLibrary& psapi, const char* name) {
  const std::string k32 = std::string("K32") + name;
  if (FARPROC f = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), k32.c_str())) return reinterpret_cast<void*>(f);
  return psapi.FindProc(name);
}

template <typename F>
F ProcessStatus(const TLibrary& psapi, const char* name) {
  return reinterpret_cast<F>(ProcessStatusProc(psapi, name));
}

HANDLE OpenForQuery(std::uint32_t id) noexcept {
  HANDLE h = OpenProcess(kProcessQueryLimitedInformation, FALSE, id);
  if (h == nullptr) h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
  return h;
}

// The window system's functions, looked up when a fact asks for them. The
// library imports nothing from user32 or gdi32: a host that never loads them
// (a service, a console tool, a loop that loads and unloads the library)
// never pays for their load and unload.
#define ZELVIC_WINDOW_FUNCTIONS(X)                                                     \
  X(user32, GetWindowThreadProcessId) X(user32, GetClassNameW) X(user32, IsWindowVisible) \
  X(user32, GetWindowRect) X(user32, GetWindow) X(user32, GetDesktopWindow)               \
  X(user32, GetWindowLongW) X(user32, EnumWindows) X(user32, AllowSetForegroundWindow)    \
  X(user32, GetSystemMetrics) X(user32, GetDC) X(user32, ReleaseDC)                       \
  X(user32, GetForegroundWindow) X(user32, GetFocus) X(user32, SendMessageTimeoutW)       \
  X(gdi32, GetDeviceCaps)

struct TWindowSystem {
  TLibrary user32{L"user32.dll"};
  TLibrary gdi32{L"gdi32.dll"};
#define ZELVIC_WINDOW_FIELD(library, name) decltype(&::name) name = library.Find<decltype(&::name)>(#name);
  ZELVIC_WINDOW_FUNCTIONS(ZELVIC_WINDOW_FIELD)
#undef ZELVIC_WINDOW_FIELD
};

// A process that never loaded the window system has no windows: questions
// about windows are answered without loading it.
bool WindowSystemLoaded() noexcept { return GetModuleHandleW(L"user32.dll") != nullptr; }

struct TWindowSearch {
  const TWindowSystem* System;
  DWORD ProcessId;
  const std::wstring* ClassName;
  bool Found;
};

BOOL CALLBACK FindWindowOfClass(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TWindowSearch*>(data);
  const TWindowSystem& ws = *search->System;
  DWORD owner = 0;
  ws.GetWindowThreadProcessId(window, &owner);
  if (owner != search->ProcessId) return TRUE;
  wchar_t name[256];
  if (ws.GetClassNameW(window, name, 256) > 0 && *search->ClassName == name) {
    search->Found = true;
    return FALSE;
  }
  return TRUE;
}

struct TWindowList {
  const TWindowSystem* System;
  DWORD ProcessId;
  std::vector<TTopLevelWindow>* Windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
  auto* list = reinterpret_cast<TWindowList*>(data);
  const TWindowSystem& ws = *list->System;
  DWORD owner_process = 0;
  ws.GetWindowThreadProcessId(window, &owner_process);
  if (owner_process != list->ProcessId) return TRUE;
  TTopLevelWindow w;
  w.Handle = reinterpret_cast<std::uintptr_t>(window);
  w.Visible = ws.IsWindowVisible(window) != FALSE;
  RECT r{};
  if (ws.GetWindowRect(window, &r)) {
    w.Left = r.left;
    w.Top = r.top;
    w.Right = r.right;
    w.Bottom = r.bottom;
  }
  HWND owner = ws.GetWindow(window, GW_OWNER);
  if (owner != nullptr && owner != ws.GetDesktopWindow()) w.Owner = reinterpret_cast<std::uintptr_t>(owner);
  w.ExStyle = static_cast<std::uint32_t>(ws.GetWindowLongW(window, GWL_EXSTYLE));
  // Nothing may unwind through the window system's frames.
  try {
    list->Windows->push_back(w);
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

// What identifies one content of a file without reading it.
struct TFileStamp {
  FILETIME Created;
  FILETIME Written;
  DWORD SizeHigh;
  DWORD SizeLow;
  bool operator==(const TFileStamp& o) const noexcept {
    return CompareFileTime(&Created, &o.Created) == 0 && CompareFileTime(&Written, &o.Written) == 0 &&
           SizeHigh == o.SizeHigh && SizeLow == o.SizeLow;
  }
};

// Version resources of the files the process list names. Reading one maps
// the file, about 0.4 ms under Wine, and every report's process list names
// the same few images (service and device hosts, the host itself), so the
// answer is kept per exact path for as long as the file keeps its creation
// time, last-write time and size: a replaced or rewritten image is read
// again. Bounded: past the limit the kept answers start over.
class TImageVersionCache {
 public:
  std::optional<TVersionResource> Find(const std::wstring& path, const TFileStamp& stamp) {
    TEntered entered(lock_);
    const auto it = versions_.find(path);
    if (it == versions_.end() || !(it->second.Stamp == stamp)) return std::nullopt;
    return it->second.Version;
  }
  void Keep(const std::wstring& path, const TFileStamp& stamp, const TVersionResource& version) {
    TEntered entered(lock_);
    if (versions_.size() >= kLimit) versions_.clear();
    versions_.insert_or_assign(path, TKept{stamp, version});
  }
  void Clear() noexcept {
    TEntered entered(lock_);
    versions_.clear();
  }

 private:
  static constexpr std::size_t kLimit = 512;
  struct TKept {
    TFileStamp Stamp;
    TVersionResource Version;
  };
  struct TEntered {
    explicit TEntered(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~TEntered() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK& lock_;
  };

  // A slim lock: nothing to delete, so nothing stays behind an unload.
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<std::wstring, TKept> versions_;
};

// Emptied by the system-information unit's stop, before the leak pass.
TImageVersionCache g_image_versions;

class TLiveSystemFacts final : public TSystemFacts {
 public:
  std::optional<std::vector<std::uint32_t>> ProcessIds() override {
    TLibrary psapi(L"psapi.dll");
    auto enum_processes = ProcessStatus<TEnumProcesses>(psapi, "EnumProcesses");
    if (enum_processes == nullptr) return std::nullopt;
    // The buffer is written, never read before: no need to clear 4 MB.
    const auto buffer = std::make_unique_for_overwrite<DWORD[]>(kMaxProcessIds);
    DWORD bytes = 0;
    if (!enum_processes(buffer.get(), kMaxProcessIds * sizeof(DWORD), &bytes)) return std::nullopt;
    return std::vector<std::uint32_t>(buffer.get(), buffer.get() + bytes / sizeof(DWORD));
  }

  std::vector<TProcessEntry> ProcessSnapshot() override {
    std::vector<TProcessEntry> entries;
    THandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
      entry.szExeFile[MAX_PATH - 1] = L'\0';
      entries.push_back({entry.th32ProcessID, entry.szExeFile, entry.cntThreads,
                         static_cast<std::int32_t>(entry.pcPriClassBase)});
    }
    return entries;
  }

  TProcessFacts QueryProcess(std::uint32_t id, TImageNameWay way) override {
    TProcessFacts facts;
    TLibrary kernel(L"kernel32.dll");
    TLibrary psapi(L"psapi.dll");
    std::wstring name(kNameBufferChars, L'\0');
    HANDLE opened = nullptr;
    switch (way) {
      case TImageNameWay::FullImageName: {
        auto query = kernel.Find<TQueryFullProcessImageName>("QueryFullProcessImageNameW");
        if (query == nullptr || (opened = OpenForQuery(id)) == nullptr) return facts;
        DWORD size = kNameBufferChars;
        name.resize(query(opened, 0, name.data(), &size) ? size : 0);
        break;
      }
      case TImageNameWay::DeviceImageName: {
        auto query = ProcessStatus<TGetProcessImageFileName>(psapi, "GetProcessImageFileNameW");
        if (query == nullptr || (opened = OpenForQuery(id)) == nullptr) return facts;
        name.resize(query(opened, name.data(), kNameBufferChars));
        break;
      }
      case TImageNameWay::MainModuleName: {
        auto query = ProcessStatus<TGetModuleFileNameEx>(psapi, "GetModuleFileNameExW");
        if (query == nullptr) return facts;
        opened = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
        if (opened == nullptr) return facts;
        name.resize(query(opened, nullptr, name.data(), kNameBufferChars));
        break;
      }
    }
    THandle process(opened);
    facts.Opened = true;
    facts.ImageName = std::move(name);
    facts.PriorityClass = GetPriorityClass(process.get());
    if (auto memory_info = ProcessStatus<TGetProcessMemoryInfo>(psapi, "GetProcessMemoryInfo")) {
      PROCESS_MEMORY_COUNTERS counters{};
      counters.cb = sizeof(counters);
      if (memory_info(process.get(), &counters, sizeof(counters))) {
        facts.WorkingSet = static_cast<std::uint32_t>(counters.WorkingSetSize);
      }
    }
    return facts;
  }

  std::wstring DosDeviceName(std::wstring_view drive) override {
    std::wstring target(kNameBufferChars, L'\0');
    const std::wstring name(drive);
    const DWORD n = QueryDosDeviceW(name.c_str(), target.data(), kNameBufferChars);
    // The answer is a list of names; the first is the one in use.
    target.resize(n == 0 ? 0 : std::wcslen(target.c_str()));
    return target;
  }

  bool FileExists(const std::wstring& path) override { return platform::FileExists(path); }

  std::wstring ProductVersion(const std::wstring& path) override { return FileProductVersion(path); }
  TVersionResource VersionResource(const std::wstring& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      return SystemModulePlatform().VersionResource(path);
    }
    const TFileStamp stamp{data.ftCreationTime, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow};
    if (std::optional<TVersionResource> kept = g_image_versions.Find(path, stamp)) return *std::move(kept);
    TVersionResource version = SystemModulePlatform().VersionResource(path);
    g_image_versions.Keep(path, stamp, version);
    return version;
  }

  TPrivilegeChange AdjustPrivilege(const std::wstring& name, bool enable) override {
    TPrivilegeChange change;
    HANDLE token = nullptr;
    constexpr DWORD kAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
    if (!OpenThreadToken(GetCurrentThread(), kAccess, FALSE, &token)) {
      if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), kAccess, &token)) {
        return change;
      }
    }
    THandle owned(token);
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, name.c_str(), &wanted.Privileges[0].Luid)) return change;
    wanted.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    TOKEN_PRIVILEGES previous{};
    DWORD size = 0;
    SetLastError(ERROR_SUCCESS);
    // AdjustTokenPrivileges answers TRUE with ERROR_NOT_ALL_ASSIGNED when
    // the token does not hold the privilege at all.
    if (!AdjustTokenPrivileges(owned.get(), FALSE, &wanted, sizeof(previous), &previous, &size) ||
        GetLastError() != ERROR_SUCCESS) {
      return change;
    }
    change.Succeeded = true;
    if (previous.PrivilegeCount == 1 && previous.Privileges[0].Luid.LowPart == wanted.Privileges[0].Luid.LowPart &&
        previous.Privileges[0].Luid.HighPart == wanted.Privileges[0].Luid.HighPart) {
      change.PreviousReported = true;
      change.PreviouslyEnabled = (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return change;
  }

  TKnownFolderAnswer KnownFolderPath(const TGuidValue& id) override {
    TKnownFolderAnswer answer;
    TLibrary shell(L"shell32.dll");
    TLibrary ole(L"ole32.dll");
    auto query = shell.Find<TSHGetKnownFolderPath>("SHGetKnownFolderPath");
    auto release = ole.Find<TCoTaskMemFree>("CoTaskMemFree");
    if (query == nullptr || release == nullptr) return answer;
    answer.Available = true;
    GUID guid;
    static_assert(sizeof(guid) == sizeof(id));
    std::memcpy(&guid, &id, sizeof(guid));
    PWSTR path = nullptr;
    answer.Result = query(&guid, kKnownFolderDontVerify, nullptr, &path);
    // S_FALSE and some failures still hand out a block, possibly empty.
    if (path != nullptr) {
      if (SUCCEEDED(answer.Result)) answer.Path = path;
      release(path);
    }
    return answer;
  }

  std::wstring CsidlFolderPath(int csidl) override {
    TLibrary shell(L"shell32.dll");
    TLibrary ole(L"ole32.dll");
    auto location = shell.Find<TSHGetFolderLocation>("SHGetFolderLocation");
    auto to_path = shell.Find<TSHGetPathFromIDList>("SHGetPathFromIDListW");
    auto release = ole.Find<TCoTaskMemFree>("CoTaskMemFree");
    if (location == nullptr || to_path == nullptr || release == nullptr) return {};
    void* items = nullptr;
    if (FAILED(location(nullptr, csidl, nullptr, 0, &items)) || items == nullptr) return {};
    wchar_t path[MAX_PATH] = {};
    const bool ok = to_path(items, path) != FALSE;
    release(items);
    return ok ? std::wstring(path) : std::wstring();
  }

  std::wstring TempPath() override {
    std::wstring path(4096, L'\0');
    const DWORD n = GetTempPathW(4096, path.data());
    path.resize(n > 0 && n < 4096 ? n : 0);
    return path;
  }

  std::wstring CurrentDirectory() override {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return {};
    std::wstring path(size, L'\0');
    const DWORD n = GetCurrentDirectoryW(size, path.data());
    path.resize(n < size ? n : 0);
    return path;
  }

  std::wstring EnvironmentValue(const std::wstring& name) override { return platform::EnvironmentValue(name.c_str()); }
  std::wstring ThisModuleFileName() override { return ModuleFileName(ThisModuleBase()); }
  std::wstring MainModuleFileName() override { return ModuleFileName(0); }

  TLocalNow LocalNow() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    TLocalNow now{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, {}, {}};
    wchar_t text[128];
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, 128) > 0) now.ShortDate = text;
    if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, text, 128) > 0) now.LongTime = text;
    return now;
  }

  std::uint32_t Random() override { return static_cast<std::uint32_t>(std::rand()) % 32767; }

  std::wstring ErrorText(std::uint32_t code) override { return SystemErrorText(code); }

  bool ProbeFile(const std::wstring& path, bool read_only) override {
    FILETIME created{}, accessed{}, written{};
    bool have_times = false;
    {
      THandle attributes(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
      have_times = attributes && GetFileTime(attributes.get(), &created, &accessed, &written);
    }
    bool usable;
    if (read_only) {
      THandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr));
      usable = static_cast<bool>(file);
    } else {
      THandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
      usable = static_cast<bool>(file);
      if (!usable && !have_times) {
        // A probe of its own: CREATE_NEW never takes over a file that
        // appeared meanwhile, and delete-on-close removes only this probe,
        // with no pause in which someone else's report could be lost.
        THandle probe(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        usable = static_cast<bool>(probe);
      }
    }
    if (have_times) {
      THandle attributes(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
      if (attributes) SetFileTime(attributes.get(), &created, &accessed, &written);
    }
    return usable;
  }

  bool CreateFolderTree(const std::wstring& path) override {
    std::wstring folder = path;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    if (folder.empty()) return false;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::size_t cut = folder.find_last_of(L"\\/");
    // A drive root or a share's root exists or does not; it is never made.
    if (cut != std::wstring::npos && cut > 0 && folder[cut - 1] != L':' && folder[cut - 1] != L'\\') {
      if (!CreateFolderTree(folder.substr(0, cut))) return false;
    }
    return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
  }

  std::uint32_t ParentProcessId() override {
    THandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
    }
    return 0;
  }

  bool HasTopLevelWindowOfClass(std::uint32_t process_id, const std::wstring& class_name) override {
    if (!WindowSystemLoaded()) return false;
    const TWindowSystem ws;
    if (!ws.EnumWindows || !ws.GetWindowThreadProcessId || !ws.GetClassNameW) return false;
    TWindowSearch search{&ws, process_id, &class_name, false};
    ws.EnumWindows(FindWindowOfClass, reinterpret_cast<LPARAM>(&search));
    return search.Found;
  }

  std::optional<std::uint32_t> SharedMemoryNumber(const std::wstring& name) override {
    THandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    if (!mapping) return std::nullopt;
    const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(std::uint32_t));
    if (view == nullptr) return std::nullopt;
    std::uint32_t number;
    std::memcpy(&number, view, sizeof(number));
    UnmapViewOfFile(view);
    return number;
  }

  void AllowForeground(std::uint32_t process_id) override {
    const TWindowSystem ws;
    if (ws.AllowSetForegroundWindow) ws.AllowSetForegroundWindow(process_id);
  }

  std::wstring UserName() override {
    std::wstring name(4096, L'\0');
    DWORD size = 4096;
    if (!GetUserNameW(name.data(), &size) || size == 0) return {};
    // The count includes the terminating zero.
    name.resize(size - 1);
    return name;
  }

  std::wstring ComputerName() override {
    std::wstring name(4096, L'\0');
    DWORD size = 4096;
    if (!GetComputerNameW(name.data(), &size)) return {};
    name.resize(size);
    return name;
  }

  std::wstring CommandLine() override { return GetCommandLineW(); }

  TMemoryStatus MemoryStatus() override {
    TLibrary kernel(L"kernel32.dll");
    if (auto extended = kernel.Find<TGlobalMemoryStatusEx>("GlobalMemoryStatusEx")) {
      MEMORYSTATUSEX status{};
      status.dwLength = sizeof(status);
      if (extended(&status)) return {status.ullTotalPhys, status.ullAvailPhys};
    }
    MEMORYSTATUS status{};
    status.dwLength = sizeof(status);
    GlobalMemoryStatus(&status);
    return {status.dwTotalPhys, status.dwAvailPhys};
  }

  std::optional<TDiskSpace> DiskSpace(const std::wstring& root) override {
    TLibrary kernel(L"kernel32.dll");
    auto query = kernel.Find<TGetDiskFreeSpaceEx>("GetDiskFreeSpaceExW");
    ULARGE_INTEGER free_to_caller{}, total{}, free_total{};
    if (query == nullptr || !query(root.c_str(), &free_to_caller, &total, &free_total)) return std::nullopt;
    return TDiskSpace{total.QuadPart, free_to_caller.QuadPart};
  }

  std::uint64_t TickCount() override {
    TLibrary kernel(L"kernel32.dll");
    if (auto ticks = kernel.Find<TGetTickCount64>("GetTickCount64")) return ticks();
    return GetTickCount();
  }

  TOSVersion OSVersion() override {
    TOSVersion v;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    bool extended = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)) != FALSE;
    if (!extended) {
      info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
      if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return v;
    }
    v.Known = true;
    v.Major = info.dwMajorVersion;
    v.Minor = info.dwMinorVersion;
    v.Build = info.dwBuildNumber;
    v.PlatformId = info.dwPlatformId;
    v.CSDVersion = info.szCSDVersion;
    if (extended) {
      v.ProductType = info.wProductType;
      v.ServicePackMajor = info.wServicePackMajor;
      v.ServicePackMinor = info.wServicePackMinor;
    }
    return v;
  }

  std::optional<bool> VersionAtLeast(std::uint32_t major, std::uint32_t minor) override {
    OSVERSIONINFOEXW info{};
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    return VerifyVersion(info, {{VER_MAJORVERSION, VER_GREATER_EQUAL}, {VER_MINORVERSION, VER_GREATER_EQUAL}});
  }

  std::optional<bool> IsWorkstation() override {
    OSVERSIONINFOEXW info{};
    info.wProductType = VER_NT_WORKSTATION;
    return VerifyVersion(info, {{VER_PRODUCT_TYPE, VER_EQUAL}});
  }

  // VerifyVersionInfoW over the given (type, condition) pairs; none when
  // kernel32 lacks it.
  static std::optional<bool> VerifyVersion(OSVERSIONINFOEXW info,
                                           std::initializer_list<std::pair<DWORD, BYTE>> conditions) {
    TLibrary kernel(L"kernel32.dll");
    auto mask = kernel.Find<TVerSetConditionMask>("VerSetConditionMask");
    auto verify = kernel.Find<TVerifyVersionInfo>("VerifyVersionInfoW");
    if (mask == nullptr || verify == nullptr) return std::nullopt;
    info.dwOSVersionInfoSize = sizeof(info);
    DWORD types = 0;
    ULONGLONG condition = 0;
    for (const auto& [type, test] : conditions) {
      types |= type;
      condition = mask(condition, type, test);
    }
    return verify(&info, types, condition) != FALSE;
  }

  bool IsWow64() override {
    TLibrary kernel(L"kernel32.dll");
    auto query = kernel.Find<TIsWow64Process>("IsWow64Process");
    BOOL wow64 = FALSE;
    return query != nullptr && query(GetCurrentProcess(), &wow64) && wow64;
  }

  std::optional<std::vector<TPrivilegeState>> TokenPrivileges() override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::nullopt;
    THandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, ::TokenPrivileges, nullptr, 0, &size);
    if (size < sizeof(DWORD)) return std::nullopt;
    std::vector<std::uint8_t> buffer(size);
    if (!GetTokenInformation(token, ::TokenPrivileges, buffer.data(), size, &size)) return std::nullopt;
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    std::vector<TPrivilegeState> privileges;
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
      LUID luid = list->Privileges[i].Luid;
      DWORD chars = 0;
      LookupPrivilegeNameW(nullptr, &luid, nullptr, &chars);
      std::wstring name(chars + 1, L'\0');
      DWORD got = chars + 1;
      if (!LookupPrivilegeNameW(nullptr, &luid, name.data(), &got)) name.clear();
      name.resize(std::wcslen(name.c_str()));
      privileges.push_back({std::move(name), (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0});
    }
    return privileges;
  }

  std::optional<std::vector<TAdapterFacts>> NetworkAdapters() override {
    TLibrary iphlpapi(L"iphlpapi.dll");
    auto adapters_info = iphlpapi.Find<TGetAdaptersInfo>("GetAdaptersInfo");
    auto per_adapter = iphlpapi.Find<TGetPerAdapterInfo>("GetPerAdapterInfo");
    if (adapters_info == nullptr || per_adapter == nullptr) return std::nullopt;
    ULONG size = 0;
    if (adapters_info(nullptr, &size) != ERROR_BUFFER_OVERFLOW) return std::nullopt;
    std::vector<std::uint8_t> buffer(size);
    auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (adapters_info(first, &size) != ERROR_SUCCESS) return std::nullopt;
    auto wide = [](const char* text) {
      std::wstring out;
      for (; *text != '\0'; ++text) out.push_back(static_cast<unsigned char>(*text));
      return out;
    };
    std::vector<TAdapterFacts> adapters;
    for (const IP_ADAPTER_INFO* a = first; a != nullptr; a = a->Next) {
      TAdapterFacts facts;
      facts.Dhcp = a->DhcpEnabled != 0;
      facts.IP = wide(a->IpAddressList.IpAddress.String);
      facts.Mask = wide(a->IpAddressList.IpMask.String);
      facts.Gateway = wide(a->GatewayList.IpAddress.String);
      ULONG per_size = 0;
      if (per_adapter(a->Index, nullptr, &per_size) == ERROR_BUFFER_OVERFLOW) {
        std::vector<std::uint8_t> per_buffer(per_size);
        auto* info = reinterpret_cast<IP_PER_ADAPTER_INFO*>(per_buffer.data());
        if (per_adapter(a->Index, info, &per_size) == ERROR_SUCCESS) {
          std::vector<std::wstring> servers;
          for (const IP_ADDR_STRING* d = &info->DnsServerList; d != nullptr && servers.size() < 2; d = d->Next) {
            servers.push_back(wide(d->IpAddress.String));
          }
          facts.Dns = std::move(servers);
        }
      }
      adapters.push_back(std::move(facts));
    }
    return adapters;
  }

  std::wstring MachineRegistryText(const std::wstring& key, const std::wstring& value) override {
    return RegistryText(TRegistryRoot::LocalMachine, key, value).value_or(std::wstring());
  }

  std::optional<std::wstring> RegistryText(TRegistryRoot root, const std::wstring& key,
                                           const std::wstring& value) override {
    const auto bytes = RegistryBytes(root, key, value);
    if (!bytes) return std::nullopt;
    std::wstring text(bytes->size() / 2, L'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes->data(), text.size() * 2);
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }

  std::optional<std::vector<std::uint8_t>> RegistryBytes(TRegistryRoot root, const std::wstring& key,
                                                         const std::wstring& value) override {
    return ReadRegistryBytes(root, key, value);
  }

  std::wstring FirstRegistrySubkey(TRegistryRoot root, const std::wstring& key) override {
    return FirstRegistrySubkeyName(root, key);
  }

  TDisplayDevice PrimaryDisplayDevice() override {
    using TEnum = BOOL(WINAPI*)(LPCWSTR, DWORD, PDISPLAY_DEVICEW, DWORD);
    const TLibrary user32(L"user32.dll");
    const auto enumerate = user32.Find<TEnum>("EnumDisplayDevicesW");
    TDisplayDevice device;
    if (enumerate == nullptr) return device;
    device.Available = true;
    DISPLAY_DEVICEW record{};
    record.cb = sizeof(record);
    if (enumerate(nullptr, 0, &record, 0)) {
      device.DeviceString.assign(record.DeviceString, wcsnlen(record.DeviceString, std::size(record.DeviceString)));
      device.DeviceId.assign(record.DeviceID, wcsnlen(record.DeviceID, std::size(record.DeviceID)));
    }
    return device;
  }

  TIndirectText LoadIndirectText(const std::wstring& text) override {
    using Load = HRESULT(WINAPI*)(PCWSTR, PWSTR, UINT, void**);
    const TLibrary shlwapi(L"shlwapi.dll");
    const auto load = shlwapi.Find<Load>("SHLoadIndirectString");
    TIndirectText answer;
    if (load == nullptr) return answer;
    answer.Available = true;
    constexpr UINT kChars = 10240;
    std::wstring buffer(kChars, L'\0');
    if (SUCCEEDED(load(text.c_str(), buffer.data(), kChars, nullptr))) {
      buffer.resize(wcsnlen(buffer.c_str(), kChars));
      answer.Loaded = true;
      answer.Text = std::move(buffer);
    }
    return answer;
  }

  std::wstring FullPath(const std::wstring& path) override {
    const DWORD chars = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (chars == 0) return path;
    std::wstring full(chars, L'\0');
    const DWORD used = GetFullPathNameW(path.c_str(), chars, full.data(), nullptr);
    if (used == 0 || used >= chars) return path;
    full.resize(used);
    return full;
  }

  // As a data file: a string is wanted, not the library's start-up code.
  std::wstring ModuleStringResource(const std::wstring& path, std::uint32_t id) override {
    const TLibrary user32(L"user32.dll");
    const auto load_string = user32.Find<decltype(&::LoadStringW)>("LoadStringW");
    if (load_string == nullptr) return {};
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return {};
    const wchar_t* chars = nullptr;
    const int count = load_string(module, id, reinterpret_cast<LPWSTR>(&chars), 0);
    std::wstring text = count > 0 && chars != nullptr ? std::wstring(chars, static_cast<std::size_t>(count)) : std::wstring();
    FreeLibrary(module);
    return text;
  }

  std::optional<TPrinterDriver> DefaultPrinterDriver() override {
    using TGetDefault = BOOL(WINAPI*)(LPWSTR, LPDWORD);
    using TOpen = BOOL(WINAPI*)(LPWSTR, HANDLE*, void*);
    using TClose = BOOL(WINAPI*)(HANDLE);
    using TGetDriver = BOOL(WINAPI*)(HANDLE, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD);
    const TLibrary spooler(L"winspool.drv");
    const auto get_default = spooler.Find<TGetDefault>("GetDefaultPrinterW");
    const auto open = spooler.Find<TOpen>("OpenPrinterW");
    const auto close = spooler.Find<TClose>("ClosePrinter");
    const auto get_driver = spooler.Find<TGetDriver>("GetPrinterDriverW");
    if (!get_default || !open || !close || !get_driver) return std::nullopt;
    DWORD chars = 0;
    if (get_default(nullptr, &chars) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || chars == 0) return std::nullopt;
    std::wstring name(chars, L'\0');
    if (!get_default(name.data(), &chars)) return std::nullopt;
    name.resize(wcsnlen(name.c_str(), name.size()));
    HANDLE printer = nullptr;
    if (!open(name.data(), &printer, nullptr) || printer == nullptr) return std::nullopt;
    std::optional<TPrinterDriver> result;
    DWORD bytes = 0;
    get_driver(printer, nullptr, 2, nullptr, 0, &bytes);
    if (bytes >= sizeof(DRIVER_INFO_2W)) {
      // Kept in pointer-sized cells: the record holds pointers.
      std::vector<std::uintptr_t> record(bytes / sizeof(std::uintptr_t) + 1);
      if (get_driver(printer, nullptr, 2, reinterpret_cast<LPBYTE>(record.data()), bytes, &bytes)) {
        const auto* info = reinterpret_cast<const DRIVER_INFO_2W*>(record.data());
        result = TPrinterDriver{info->pName != nullptr ? info->pName : L"",
                                info->pDriverPath != nullptr ? info->pDriverPath : L""};
      }
    }
    close(printer);
    return result;
  }

  TDisplayFacts Display() override {
    TDisplayFacts display;
    const TWindowSystem ws;
    if (!ws.GetSystemMetrics || !ws.GetDC || !ws.ReleaseDC || !ws.GetDeviceCaps) return display;
    display.Width = ws.GetSystemMetrics(SM_CXSCREEN);
    display.Height = ws.GetSystemMetrics(SM_CYSCREEN);
    if (HDC screen = ws.GetDC(nullptr)) {
      display.BitsPerPixel = ws.GetDeviceCaps(screen, BITSPIXEL);
      display.DpiY = ws.GetDeviceCaps(screen, LOGPIXELSY);
      ws.ReleaseDC(nullptr, screen);
    }
    return display;
  }

  std::wstring SystemLanguageName() override {
    std::wstring name(1024, L'\0');
    const int n = GetLocaleInfoW(GetSystemDefaultLangID(), LOCALE_SENGLANGUAGE, name.data(), 1024);
    name.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return name;
  }

  std::uint32_t UserCharset() override {
    wchar_t text[6] = {};
    UINT code_page = 0;
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text, 6) > 0) {
      code_page = static_cast<UINT>(std::wcstoul(text, nullptr, 10));
    }
    if (code_page == 0) code_page = GetACP();
    CHARSETINFO info{};
    // Without a translation the charset of the ANSI code page is unknown:
    // DEFAULT_CHARSET says exactly that.
    const TLibrary gdi32(L"gdi32.dll");
    const auto translate = gdi32.Find<decltype(&::TranslateCharsetInfo)>("TranslateCharsetInfo");
    if (!translate || !translate(reinterpret_cast<DWORD*>(static_cast<std::uintptr_t>(code_page)), &info,
                              TCI_SRCCODEPAGE)) {
      return DEFAULT_CHARSET;
    }
    return info.ciCharset;
  }

  std::uintptr_t ForegroundWindow() override {
    if (!WindowSystemLoaded()) return 0;
    const TWindowSystem ws;
    return ws.GetForegroundWindow ? reinterpret_cast<std::uintptr_t>(ws.GetForegroundWindow()) : 0;
  }

  std::uintptr_t FocusedWindow() override {
    if (!WindowSystemLoaded()) return 0;
    const TWindowSystem ws;
    return ws.GetFocus ? reinterpret_cast<std::uintptr_t>(ws.GetFocus()) : 0;
  }

  TWindowText WindowClassName(std::uintptr_t window) override {
    TWindowText result;
    wchar_t name[1024];
    if (!WindowSystemLoaded()) return {L"", ERROR_INVALID_WINDOW_HANDLE};
    const TWindowSystem ws;
    if (!ws.GetClassNameW) return {L"", ERROR_PROC_NOT_FOUND};
    SetLastError(ERROR_SUCCESS);
    const int n = ws.GetClassNameW(reinterpret_cast<HWND>(window), name, 1024);
    if (n > 0) result.Text.assign(name, static_cast<std::size_t>(n));
    else result.Error = GetLastError();
    return result;
  }

  TWindowText WindowText(std::uintptr_t window) override {
    TWindowText result;
    wchar_t text[1024] = {};
    DWORD_PTR copied = 0;
    if (!WindowSystemLoaded()) return {L"", ERROR_INVALID_WINDOW_HANDLE};
    const TWindowSystem ws;
    if (!ws.SendMessageTimeoutW) return {L"", ERROR_PROC_NOT_FOUND};
    SetLastError(ERROR_SUCCESS);
    if (ws.SendMessageTimeoutW(reinterpret_cast<HWND>(window), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text),
                            SMTO_ABORTIFHUNG, 100, &copied) == 0) {
      result.Error = GetLastError();
      if (result.Error == ERROR_SUCCESS) result.Error = ERROR_TIMEOUT;
      return result;
    }
    result.Text.assign(text, std::min<std::size_t>(copied, 1023));
    return result;
  }

  std::uint32_t WindowStyle(std::uintptr_t window) override {
    if (!WindowSystemLoaded()) return 0;
    const TWindowSystem ws;
    return ws.GetWindowLongW ? static_cast<std::uint32_t>(ws.GetWindowLongW(reinterpret_cast<HWND>(window), GWL_STYLE)) : 0;
  }

  std::vector<TTopLevelWindow> TopLevelWindows(std::uint32_t process_id) override {
    std::vector<TTopLevelWindow> windows;
    if (!WindowSystemLoaded()) return windows;
    const TWindowSystem ws;
    if (!ws.EnumWindows || !ws.GetWindowThreadProcessId || !ws.IsWindowVisible || !ws.GetWindowRect ||
        !ws.GetWindow || !ws.GetDesktopWindow || !ws.GetWindowLongW) {
      return windows;
    }
    TWindowList list{&ws, process_id, &windows};
    ws.EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&list));
    return windows;
  }

  std::uint32_t CurrentProcessId() override { return GetCurrentProcessId(); }

  std::optional<TWineFacts> Wine() override {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return std::nullopt;
    using TText = const char*(__cdecl*)();
    auto version = reinterpret_cast<TText>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    auto build = reinterpret_cast<TText>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_build_id")));
    if (version == nullptr && build == nullptr && GetProcAddress(ntdll, "wine_nt_to_unix_file_name") == nullptr) {
      return std::nullopt;
    }
    TWineFacts wine;
    if (version != nullptr) {
      const char* text = version();
      wine.Version = text != nullptr ? text : "";
    }
    if (build != nullptr) {
      const char* text = build();
      wine.Build = text != nullptr ? text : "";
    }
    return wine;
  }

  TCpuIdRegisters CpuId(std::uint32_t leaf) override {
    TCpuIdRegisters r;
    __asm__ volatile("cpuid" : "=a"(r.Eax), "=b"(r.Ebx), "=c"(r.Ecx), "=d"(r.Edx) : "a"(leaf), "c"(0));
    return r;
  }

  bool DebuggerAttached() override { return IsDebuggerPresent() != FALSE; }
  std::optional<TProbeRegisters> MachineProbe(TMachineProbe probe, const TProbeRegisters& registers) override {
    TProbeRegisters result = registers;
    if (!RunMachineProbe(probe, result)) return std::nullopt;
    return result;
  }
  bool ModuleLoaded(const std::wstring& name) override { return GetModuleHandleW(name.c_str()) != nullptr; }

  TMailslotWrite WriteMailslot(const std::wstring& name, std::span<const std::uint8_t> bytes) override {
    TMailslotWrite result;
    THandle slot(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!slot) {
      result.Error = GetLastError();
      return result;
    }
    result.Opened = true;
    DWORD written = 0;
    if (!WriteFile(slot.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      result.Error = GetLastError();
    } else if (written != bytes.size()) {
      result.Error = ERROR_WRITE_FAULT;
    }
    return result;
  }
};

}  // namespace

void ForgetFileVersions() noexcept { g_image_versions.Clear(); }

TSystemFacts& LiveSystemFacts() noexcept {
  static TLiveSystemFacts facts;
  return facts;
}

}  // namespace zelvic::platform
