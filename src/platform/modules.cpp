#include "platform/modules.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "platform/module_loads.h"
#include "platform/pe_access.h"
#include "platform/resources.h"

namespace zelvic::platform {
namespace {

// psapi and version are reached through GetProcAddress: systems before
// Windows 7 have EnumProcessModules only in psapi.dll, and the library does
// not link either import library.
using TEnumProcessModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
using TGetFileVersionInfoSizeW = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using TGetFileVersionInfoW = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using TVerQueryValueW = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

TEnumProcessModules EnumProcessModulesEntry() noexcept {
  static TEnumProcessModules entry = [] {
    FARPROC p = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "K32EnumProcessModules");
    if (p == nullptr) {
      HMODULE psapi = LoadSystemModule(L"psapi.dll");
      if (psapi != nullptr) p = GetProcAddress(psapi, "EnumProcessModules");
    }
    return reinterpret_cast<TEnumProcessModules>(reinterpret_cast<void*>(p));
  }();
  return entry;
}

struct TVersionEntries {
  TGetFileVersionInfoSizeW Size = nullptr;
  TGetFileVersionInfoW Info = nullptr;
  TVerQueryValueW Query = nullptr;
};

const TVersionEntries& VersionEntries() noexcept {
  // Not kept while loads are barred and the library is not loaded: it is
  // looked for again once they are not.
  static const TVersionEntries none;
  if (ModuleLoadsBarred() && GetModuleHandleW(L"version.dll") == nullptr) return none;
  static TVersionEntries entries = [] {
    TVersionEntries e;
    HMODULE version = LoadSystemModule(L"version.dll");
    if (version != nullptr) {
      e.Size = reinterpret_cast<TGetFileVersionInfoSizeW>(
          reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoSizeW")));
      e.Info = reinterpret_cast<TGetFileVersionInfoW>(
          reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoW")));
      e.Query =
          reinterpret_cast<TVerQueryValueW>(reinterpret_cast<void*>(GetProcAddress(version, "VerQueryValueW")));
    }
    return e;
  }();
  return entries;
}

// The file's version block; empty when it has none or version.dll is missing.
std::vector<std::uint8_t> VersionBlock(const TVersionEntries& api, const std::wstring& path) {
  if (api.Size == nullptr || api.Info == nullptr || api.Query == nullptr) return {};
  DWORD ignored = 0;
  const DWORD size = api.Size(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<std::uint8_t> block(size);
  if (!api.Info(path.c_str(), 0, size, block.data())) return {};
  return block;
}

// String `name` of the block's first translation; empty when absent.
std::wstring VersionString(const TVersionEntries& api, const std::vector<std::uint8_t>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  if (!api.Query(block.data(), L"\\VarFileInfo\\Translation", &value, &length) || value == nullptr || length < 4) {
    return {};
  }
  const auto* translation = static_cast<const WORD*>(value);
  wchar_t sub_block[80];
  std::swprintf(sub_block, 80, L"\\StringFileInfo\\%04X%04X\\%ls", translation[0], translation[1], name);
  std::wstring found;
  if (api.Query(block.data(), sub_block, &value, &length) && value != nullptr && length > 0) {
    const auto* text = static_cast<const wchar_t*>(value);
    std::size_t n = 0;
    while (n < length && text[n] != L'\0') ++n;
    found.assign(text, n);
  }
  return found;
}

// The loader calls the notification with its lock held, one call at a time.
using TDllNotification = VOID(NTAPI*)(ULONG reason, const void* data, PVOID context);
using TLdrRegisterDllNotification = LONG(NTAPI*)(ULONG flags, TDllNotification callback, PVOID context,
                                                 PVOID* cookie);
using TLdrUnregisterDllNotification = LONG(NTAPI*)(PVOID cookie);

// Counts on across stops, so that a fact learnt before a stop never looks
// current after the next start.
std::atomic<std::uint32_t> g_loader_generation{0};
std::atomic<bool> g_watching{false};
std::uint32_t g_watch_users = 0;
PVOID g_watch_cookie = nullptr;

// Atomic: the start of a watch and a notification on another thread may
// count at once, and neither count may be lost.
void NextGeneration() noexcept {
  // 0 means "not watching": a wrap steps over it.
  if (g_loader_generation.fetch_add(1, std::memory_order_acq_rel) + 1 == 0) {
    g_loader_generation.fetch_add(1, std::memory_order_acq_rel);
  }
}

VOID NTAPI OnDllNotification(ULONG, const void*, PVOID) { NextGeneration(); }

// Start and stop may come from any thread; the lock keeps the user count and
// the cookie together. A slim lock: stops come during unload, and it holds
// nothing that would have to be deleted then.
SRWLOCK g_watch_lock = SRWLOCK_INIT;

// Long path names asked for while the loader generation holds. Under Wine a
// GetLongPathNameW costs 0.1 to 1.5 ms: it looks every component up in its
// directory, and a name whose case differs from the disk's (the loader keeps
// an import's spelling, "ADVAPI32.dll") makes it scan the whole directory.
// Every new module list (a report's modules table, a refresh that reloads a
// record) asks again for the same loaded modules, so the answers are kept
// per exact path. They are dropped when a module loads or unloads, which is
// also when the set of names asked for changes; a file renamed under a loaded
// module is seen at the next load or unload. Sharing the long form of a
// common directory within one refresh was measured too: the directory
// components cost about 0.14 ms of a path, the file's own component the rest,
// so it would save little, and only by composing the answer out of parts.
class TLongPathCache {
 public:
  std::optional<std::wstring> Find(const std::wstring& path, std::uint32_t generation) {
    TEntered entered(lock_);
    if (generation != generation_) return std::nullopt;
    const auto it = names_.find(path);
    if (it == names_.end()) return std::nullopt;
    return it->second;
  }
  void Keep(const std::wstring& path, const std::wstring& long_path, std::uint32_t generation) {
    TEntered entered(lock_);
    if (generation != generation_) {
      names_.clear();
      generation_ = generation;
    }
    names_.insert_or_assign(path, long_path);
  }
  void Clear() {
    TEntered entered(lock_);
    names_.clear();
    generation_ = 0;
  }

 private:
  struct TEntered {
    explicit TEntered(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~TEntered() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK& lock_;
  };

  // A slim lock: nothing to delete, so nothing stays behind an unload.
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<std::wstring, std::wstring> names_;
  std::uint32_t generation_ = 0;
};

// Emptied by the watch's last stop. Nothing asks for long names once the
// units have stopped, so static destruction finds it empty.
TLongPathCache g_long_paths;
std::atomic<std::uint32_t> g_long_path_queries{0};

double FileTimeToLocalDateTime(const FILETIME& utc) noexcept {
  FILETIME local;
  if (!FileTimeToLocalFileTime(&utc, &local)) return 0;
  // The date-time scale counts days from 1899-12-30, which is day 109205 of
  // the file-time scale (100 ns ticks from 1601-01-01); whole milliseconds,
  // as a system time would give them. SystemTimeToVariantTime lives in
  // oleaut32, and no calendar is needed for a fixed offset.
  constexpr double kMillisecondsPerDay = 86400000.0;
  constexpr double kDaysFrom1601To1899_12_30 = 109205.0;
  const std::uint64_t ticks = (std::uint64_t{local.dwHighDateTime} << 32) | local.dwLowDateTime;
  return static_cast<double>(ticks / 10000) / kMillisecondsPerDay - kDaysFrom1601To1899_12_30;
}

std::wstring AskLongPathName(const std::wstring& path) {
  g_long_path_queries.fetch_add(1, std::memory_order_relaxed);
  DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (n == 0) return {};
  std::wstring buffer(n, L'\0');
  n = GetLongPathNameW(path.c_str(), buffer.data(), n);
  if (n == 0 || n >= buffer.size()) return {};
  buffer.resize(n);
  return buffer;
}

class TSystemModulePlatform final : public TModulePlatform {
 public:
  std::wstring ModuleFileName(std::uintptr_t handle) override {
    if (handle == 0) return {};
    std::wstring buffer(260, L'\0');
    for (;;) {
      const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(handle), buffer.data(),
                                         static_cast<DWORD>(buffer.size()));
      if (n == 0) return {};
      if (n < buffer.size()) {
        buffer.resize(n);
        return buffer;
      }
      if (buffer.size() >= 32768) return {};
      buffer.resize(buffer.size() * 2);
    }
  }

  std::vector<std::uintptr_t> EnumerateModules() override {
    std::vector<std::uintptr_t> result;
    TEnumProcessModules enum_modules = EnumProcessModulesEntry();
    if (enum_modules == nullptr) return result;
    const DWORD pid = GetCurrentProcessId();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    const bool pseudo = process == nullptr;
    if (pseudo) process = GetCurrentProcess();
    DWORD needed = 0;
    HMODULE probe = nullptr;
    if (enum_modules(process, &probe, sizeof(probe), &needed)) {
      // Modules may load between the two calls: the slack keeps them.
      std::vector<HMODULE> handles(needed / sizeof(HMODULE) + 100);
      DWORD filled = 0;
      if (enum_modules(process, handles.data(), static_cast<DWORD>(handles.size() * sizeof(HMODULE)), &filled)) {
        const std::size_t count = std::min<std::size_t>(filled / sizeof(HMODULE), handles.size());
        for (std::size_t i = 0; i < count; ++i) result.push_back(reinterpret_cast<std::uintptr_t>(handles[i]));
      }
    }
    if (!pseudo) CloseHandle(process);
    return result;
  }

  std::wstring LongPathName(const std::wstring& path) override {
    // Read before asking: a load meanwhile makes the answer look old.
    const std::uint32_t generation = LoaderGeneration();
    if (generation != 0) {
      if (std::optional<std::wstring> kept = g_long_paths.Find(path, generation)) return *std::move(kept);
    }
    // Asked without the cache's lock held: another thread's lookup need not
    // wait for this one's file system.
    std::wstring long_path = AskLongPathName(path);
    if (generation != 0) g_long_paths.Keep(path, long_path, generation);
    return long_path;
  }

  TFileFacts FileFacts(const std::wstring& path) override {
    TFileFacts facts;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return facts;
    facts.Found = true;
    facts.Size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    facts.LastModifiedLocal = FileTimeToLocalDateTime(data.ftLastWriteTime);
    return facts;
  }

  TVersionResource VersionResource(const std::wstring& path) override {
    TVersionResource result;
    // The system's query maps the file and, finding no version resource,
    // reads it again the old way: up to a millisecond under Wine, where most
    // of the system's programs have none. An image that lists no version
    // resource is answered here; anything else the system reads, so the
    // texts still come from the user's language where the system keeps them
    // apart (the language-neutral image lists the resource too).
    constexpr std::uint16_t kVersionResourceType = 16;
    if (ListFileResourceType(path, kVersionResourceType) == TResourceTypeListing::NotListed) return result;
    const TVersionEntries& api = VersionEntries();
    const std::vector<std::uint8_t> block = VersionBlock(api, path);
    if (block.empty()) return result;
    void* value = nullptr;
    UINT length = 0;
    if (api.Query(block.data(), L"\\", &value, &length) && value != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
      const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
      result.Present = true;
      result.FileVersionMS = fixed->dwFileVersionMS;
      result.FileVersionLS = fixed->dwFileVersionLS;
    }
    result.FileDescription = VersionString(api, block, L"FileDescription");
    return result;
  }

  bool ReadMemory(std::uintptr_t address, void* dst, std::uint32_t count) override {
    if (count == 0) return true;
    if (ReadableLength(address, count) < count) return false;
    std::memcpy(dst, reinterpret_cast<const void*>(address), count);
    return true;
  }

  bool HasRcDataResource(std::uintptr_t handle, const wchar_t* name) override {
    return FindResourceW(reinterpret_cast<HMODULE>(handle), name, MAKEINTRESOURCEW(10)) != nullptr;
  }

  std::uintptr_t AllocationBase(std::uintptr_t address) override {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof(info)) == 0) return 0;
    if (info.State != MEM_COMMIT) return 0;
    return reinterpret_cast<std::uintptr_t>(info.AllocationBase);
  }

  std::uint32_t LoaderGeneration() noexcept override {
    return g_watching.load(std::memory_order_acquire) ? g_loader_generation.load(std::memory_order_acquire) : 0;
  }

  std::optional<std::int32_t> TimeZoneBiasMinutes() override {
    TIME_ZONE_INFORMATION tz;
    switch (GetTimeZoneInformation(&tz)) {
      case TIME_ZONE_ID_UNKNOWN:
        return tz.Bias;
      case TIME_ZONE_ID_STANDARD:
        return tz.Bias + tz.StandardBias;
      case TIME_ZONE_ID_DAYLIGHT:
        return tz.Bias + tz.DaylightBias;
      default:
        return std::nullopt;
    }
  }
};

using TCoCreateGuid = HRESULT(WINAPI*)(GUID*);

class TSystemAnsiNamePlatform final : public TAnsiNamePlatform {
 public:
  std::wstring ShortPathName(const std::wstring& path) override {
    const DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return {};
    std::wstring buffer(n, L'\0');
    // A second answer of another length means the name changed in between.
    if (GetShortPathNameW(path.c_str(), buffer.data(), n) != n - 1) return {};
    buffer.resize(n - 1);
    return buffer;
  }

  TGuidValue NewGuid() override {
    // Not kept while loads are barred and ole32 is not loaded: looked for
    // again once they are not.
    if (ModuleLoadsBarred() && GetModuleHandleW(L"ole32.dll") == nullptr) return {};
    // ole32 is not linked: the bridge is the only user and rarely needed.
    static TCoCreateGuid create = [] {
      HMODULE ole32 = LoadSystemModule(L"ole32.dll");
      return ole32 == nullptr ? nullptr
                              : reinterpret_cast<TCoCreateGuid>(
                                    reinterpret_cast<void*>(GetProcAddress(ole32, "CoCreateGuid")));
    }();
    GUID guid{};
    TGuidValue value;
    if (create == nullptr || FAILED(create(&guid))) return value;
    value.Data1 = guid.Data1;
    value.Data2 = guid.Data2;
    value.Data3 = guid.Data3;
    std::memcpy(value.Data4, guid.Data4, sizeof(value.Data4));
    return value;
  }

  std::string ToAnsi(const std::wstring& text) override {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
  }
};

}  // namespace

bool StartLoaderWatch() noexcept {
  AcquireSRWLockExclusive(&g_watch_lock);
  if (g_watch_users == 0) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto register_notification = reinterpret_cast<TLdrRegisterDllNotification>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrRegisterDllNotification")));
    if (register_notification != nullptr && register_notification(0, OnDllNotification, nullptr, &g_watch_cookie) == 0) {
      NextGeneration();
      g_watching.store(true, std::memory_order_release);
    } else {
      g_watch_cookie = nullptr;
    }
  }
  const bool watching = g_watch_cookie != nullptr;
  if (watching) ++g_watch_users;
  ReleaseSRWLockExclusive(&g_watch_lock);
  return watching;
}

void StopLoaderWatch() noexcept {
  AcquireSRWLockExclusive(&g_watch_lock);
  if (g_watch_users > 0 && --g_watch_users == 0) {
    // Nothing learnt from here on may look current.
    g_watching.store(false, std::memory_order_release);
    const auto unregister_notification = reinterpret_cast<TLdrUnregisterDllNotification>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrUnregisterDllNotification")));
    if (unregister_notification != nullptr) unregister_notification(g_watch_cookie);
    g_watch_cookie = nullptr;
    g_long_paths.Clear();
  }
  ReleaseSRWLockExclusive(&g_watch_lock);
}

std::uint32_t LongPathNameQueries() noexcept { return g_long_path_queries.load(std::memory_order_relaxed); }

TModulePlatform& SystemModulePlatform() noexcept {
  static TSystemModulePlatform platform;
  return platform;
}

std::wstring FileProductVersion(const std::wstring& path) {
  const TVersionEntries& api = VersionEntries();
  const std::vector<std::uint8_t> block = VersionBlock(api, path);
  if (block.empty()) return {};
  std::wstring version = VersionString(api, block, L"ProductVersion");
  if (version.size() <= 1) version.clear();
  return version;
}

TAnsiNamePlatform& SystemAnsiNamePlatform() noexcept {
  static TSystemAnsiNamePlatform platform;
  return platform;
}

void* CreateFileWide(const std::wstring& name, std::uint32_t access, std::uint32_t share, void* security,
                     std::uint32_t disposition, std::uint32_t flags, void* template_file) noexcept {
  return CreateFileW(name.c_str(), access, share, static_cast<LPSECURITY_ATTRIBUTES>(security), disposition, flags,
                     static_cast<HANDLE>(template_file));
}

}  // namespace zelvic::platform
