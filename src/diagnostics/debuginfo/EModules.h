// The modules of the process: one record per loaded module (file, version,
// size, time, kind, code and data ranges), found by handle or by any address
// inside the module, the process's list of them, and its text for a bug report.
//
// The records are plain; the list reads the platform only through
// platform::TModulePlatform (EModuleImage), and the formatter
// (EModulesFormatter) reads only the records.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/debuginfo/EModuleDates.h"
#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/debuginfo/EModulesFormatter.h"
#include "platform/modules.h"
#include "platform/system.h"

namespace zelvic::diag {

class TVarnelModuleOptions;

ZELVIC_DECLARE_ERROR(EVlDateTimeError, EVarnelLogGeneralError)

struct TVarnelModuleInfo {
  TVarnelModuleInfo() = default;
  // Virtual: a list holds the records of its own kind through this type.
  virtual ~TVarnelModuleInfo() = default;
  TVarnelModuleInfo(const TVarnelModuleInfo&) = default;
  TVarnelModuleInfo& operator=(const TVarnelModuleInfo&) = default;
  TVarnelModuleInfo(TVarnelModuleInfo&&) = default;
  TVarnelModuleInfo& operator=(TVarnelModuleInfo&&) = default;

  // Base address; 0 marks a module that was unloaded (see Cleanup).
  std::uintptr_t Handle = 0;
  std::wstring Name;
  std::wstring Description;
  std::wstring Version;
  std::uint32_t Size = 0;
  std::uint32_t VirtualSize = 0;
  TModuleType ModuleType = mtUnknown;
  // Local time; 0 when unknown.
  TDateTime LastModified = 0;
  std::uintptr_t CodeBegin = 0, CodeEnd = 0;
  std::uintptr_t DataBegin = 0, DataEnd = 0;
  // Written by the exception readers once they know the module's object
  // layout; 0 until then.
  std::int32_t DelphiVersion = 0;
  const void* ClassReader = nullptr;
};

struct TVarnelFunctionInfo {
  std::wstring Name;
  std::uintptr_t Addr = 0;
  std::uint32_t Size = 0;
};
using TVarnelFunctionsList = std::vector<TVarnelFunctionInfo>;

struct TVarnelExtraInformation {
  std::uint16_t VarnelVersion = 0;
  TDateTime CompilationDate = 0;
  // Shared, not copied: a copy of the list refers to the same options.
  std::shared_ptr<TVarnelModuleOptions> Options;
  std::shared_ptr<std::vector<std::uint8_t>> DebugInformation;
  bool Encrypted = false;
};

struct TVarnelModuleInfoEx : TVarnelModuleInfo {
  TVarnelModuleInfo& BaseInfo() noexcept { return *this; }
  const TVarnelModuleInfo& BaseInfo() const noexcept { return *this; }
  // Nothing until someone fills it.
  std::unique_ptr<TVarnelFunctionsList> FunctionsList;
  TVarnelExtraInformation ExtraInformation;
};


// The modules, sorted by handle. Not thread-safe: callers serialise (the
// extended list below takes the module list's lock itself).
class TVarnelModulesList {
 public:
  explicit TVarnelModulesList(platform::TModulePlatform& platform = platform::SystemModulePlatform());
  virtual ~TVarnelModulesList();
  TVarnelModulesList(const TVarnelModulesList&) = delete;
  TVarnelModulesList& operator=(const TVarnelModulesList&) = delete;
  friend class TVarnelModulesListEx;

  // Deep copies of the other list's records (this list is cleared first).
  virtual void Assign(TVarnelModulesList& source);
  // Only the formatter's captions change.
  virtual void Assign(const TVarnelModuleOptions& options);
  virtual std::wstring GetItemText(int index);
  virtual int GetCount();
  int Count() { return GetCount(); }
  virtual TVarnelModuleInfo* GetItem(int index);
  virtual void Changed();
  // A blank record of the kind this list holds.
  virtual std::unique_ptr<TVarnelModuleInfo> NewModuleInfo();
  virtual bool CanAddModule() { return FCanAddModule; }
  virtual TVarnelModuleInfo* LoadModuleInfo(std::uintptr_t handle, const std::wstring& file_name, bool loaded);
  // Returns the record's index in handle order.
  virtual int Add(std::unique_ptr<TVarnelModuleInfo> module);
  virtual void Delete(int index);
  virtual void Clear();
  virtual void Refresh(bool full_refresh);
  virtual std::wstring ToString();

  virtual TVarnelModuleInfo* ModuleInfoByHandle(std::uintptr_t module);
  virtual TVarnelModuleInfo* ModuleInfoByAddr(std::uintptr_t addr);

  TVarnelModulesFormatter& Formatter();
  // Same class: the current formatter takes the captions; the list keeps
  // its own formatter object either way.
  void SetFormatter(const TModulesFormatter& formatter);

  platform::TModulePlatform& Platform() const noexcept { return FPlatform; }

 protected:
  // Index of the last record whose handle is <= `handle`; -1 when all are
  // greater.
  int FindModuleIndex(std::uintptr_t handle) const noexcept;
  // `src_extended`: `src` is a TVarnelModuleInfoEx.
  virtual void CopyModuleInfo(TVarnelModuleInfo& dst, const TVarnelModuleInfo& src, bool src_extended);
  virtual bool HoldsExtendedRecords() const noexcept { return false; }
  void RefreshUnlocked(bool full_refresh);
  TVarnelModuleInfo* ModuleInfoByHandleUnlocked(std::uintptr_t module);

  std::vector<std::unique_ptr<TVarnelModuleInfo>> FModules;
  std::unique_ptr<TVarnelModulesFormatter> FFormatter;
  bool FCanAddModule = false;
  platform::TModulePlatform& FPlatform;
};

// The lock of the module list, also taken by the debug-information sources
// and the dialogs. Re-entrant: lookups add records from inside Refresh.
platform::TRecursiveLock& ModulesListLock() noexcept;

class TModulesListGuard {
 public:
  TModulesListGuard() noexcept { ModulesListLock().Enter(); }
  ~TModulesListGuard() { ModulesListLock().Leave(); }
  TModulesListGuard(const TModulesListGuard&) = delete;
  TModulesListGuard& operator=(const TModulesListGuard&) = delete;
};

class TVarnelModulesListEx : public TVarnelModulesList {
 public:
  explicit TVarnelModulesListEx(platform::TModulePlatform& platform = platform::SystemModulePlatform());
  ~TVarnelModulesListEx() override;

  void Lock() noexcept { ModulesListLock().Enter(); }
  void Unlock() noexcept { ModulesListLock().Leave(); }

  using TVarnelModulesList::Assign;
  void Assign(TVarnelModulesList& source) override;
  std::wstring GetItemText(int index) override;
  int GetCount() override;
  TVarnelModuleInfo* GetItem(int index) override;
  std::unique_ptr<TVarnelModuleInfo> NewModuleInfo() override;
  bool CanAddModule() override { return true; }
  TVarnelModuleInfo* LoadModuleInfo(std::uintptr_t handle, const std::wstring& file_name, bool loaded) override;
  int Add(std::unique_ptr<TVarnelModuleInfo> module) override;
  void Delete(int index) override;
  void Clear() override;
  // Always partial: other threads may hold pointers to the records.
  void Refresh(bool full_refresh) override;
  std::wstring ToString() override;
  TVarnelModuleInfo* ModuleInfoByHandle(std::uintptr_t module) override;
  TVarnelModuleInfo* ModuleInfoByAddr(std::uintptr_t addr) override;

  TVarnelModuleInfoEx* ModuleInfoByHandleEx(std::uintptr_t module);
  TVarnelModuleInfoEx* ModuleInfoByAddrEx(std::uintptr_t addr);
  TVarnelModuleInfoEx* GetItemEx(int index);

  // Records of unloaded modules get handle 0 and move to the front; they are
  // never freed here.
  void Cleanup();
  // Drops the records whose file changed or went, then refreshes.
  void Purge();

 protected:
  void CopyModuleInfo(TVarnelModuleInfo& dst, const TVarnelModuleInfo& src, bool src_extended) override;
  bool HoldsExtendedRecords() const noexcept override { return true; }
  // The diagnostics data of the module: version word and options.
  virtual void LoadDiagnostics(TVarnelModuleInfoEx& info);

 private:
  bool FInRefresh = false;
};

// --- process-wide -----------------------------------------------------------
// The process's list, created and filled on first use; null once shut-down
// has begun.
TVarnelModulesListEx* GetModulesList();
// The list when it exists; never creates it.
TVarnelModulesListEx* ExistingModulesList() noexcept;
// The options of this library's own record in `list`, which give the report
// tables their customised captions; null when it has none.
const TVarnelModuleOptions* OwnModuleOptions(TVarnelModulesListEx& list);
// The same from the process's list when it exists; never creates it.
const TVarnelModuleOptions* OwnModuleOptions();
// The unit's shut-down: frees the list (the caller sets IsShuttingDown first,
// so that nothing creates it again).
void FreeModulesList();
// The unit's shut-down step: shut-down is flagged, so no list is made again,
// and the list there is goes, with every record.
void EModulesDone();

std::int32_t ModuleDelphiVersion(std::uintptr_t module);
void SetModuleDelphiVersion(std::uintptr_t module, std::int32_t value);
bool IsModuleValid(std::uintptr_t module);
// The module's resource data in place; empty unless the module is valid.
std::span<const std::uint8_t> FindModuleResource(std::uintptr_t module, const wchar_t* name, std::uint16_t type);
bool ModuleHasDiagnosticsData(std::uintptr_t module, const std::wstring& file_name = {});
// The version word of the module's data as stored (no fix-up); 0 without.
std::uint16_t ModuleDiagnosticsVersion(std::uintptr_t module, const std::wstring& file_name = {});

// The module's compilation date: the extended record's CompilationDate when
// set, else the image's stamp; in local time when `local`. False when no
// date was found. Raises EVlDateTimeError when local time is asked for and
// the time zone is unknown.
bool ModuleCompilationDate(std::uintptr_t module, bool local, TDateTime& date);
bool ModuleCompilationDate(TVarnelModulesListEx* list, platform::TModulePlatform& platform, std::uintptr_t module,
                           bool local, TDateTime& date);

// The report's modules text; `header` replaces the caption header while the
// text is built.
std::wstring ModulesListToText(TVarnelModulesList* list, const std::wstring* header = nullptr);

}  // namespace zelvic::diag
