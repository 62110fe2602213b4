// Facility-wide configuration that sits beside the module options: the
// diagnostics global lock and the per-user settings store (values kept
// between runs for the current user, in the registry or in an
// initialisation file).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "diagnostics/util/EVarnelLogErrors.h"

namespace zelvic::diag {

// A failed operating-system call, with the system's text for its code.
class EOSError : public EVarnelLogGeneralError {
 public:
  explicit EOSError(std::uint32_t code);
  const wchar_t* ClassName() const noexcept override { return L"EOSError"; }
  std::uint32_t ErrorCode() const noexcept { return code_; }

 private:
  std::uint32_t code_;
};

// --- the diagnostics global lock ---------------------------------------------
// One process-wide multi-reader, single-writer lock around the registries of
// the facility (module list, debug-information sources, event lists). It is
// created on first use and takes no memory from the memory manager, so the
// memory filter may look at those registries while holding it. A thread may
// re-enter it (read in read, read or write in write, write in a sole read).
void GlobalLockBeginRead() noexcept;
void GlobalLockEndRead() noexcept;
void GlobalLockBeginWrite() noexcept;
void GlobalLockEndWrite() noexcept;
// Taken for writing and destroyed when the memory filter begins or ends its
// leak check, so that it is not counted as a leak; a later use creates it
// again.
void DestroyGlobalLock() noexcept;
bool GlobalLockExists() noexcept;

class TGlobalReadLock {
 public:
  TGlobalReadLock() noexcept { GlobalLockBeginRead(); }
  ~TGlobalReadLock() { GlobalLockEndRead(); }
  TGlobalReadLock(const TGlobalReadLock&) = delete;
  TGlobalReadLock& operator=(const TGlobalReadLock&) = delete;
};

class TGlobalWriteLock {
 public:
  TGlobalWriteLock() noexcept { GlobalLockBeginWrite(); }
  ~TGlobalWriteLock() { GlobalLockEndWrite(); }
  TGlobalWriteLock(const TGlobalWriteLock&) = delete;
  TGlobalWriteLock& operator=(const TGlobalWriteLock&) = delete;
};

// --- the per-user settings store -------------------------------------------
inline constexpr wchar_t kUserSettingsRegistryRoot[] = L"\\Software\\Tessaro\\VarnelLog\\7.0";
// Profile strings longer than this are cut.
inline constexpr std::size_t kProfileTextLimit = 10240;

class TUserSettingsStore {
 public:
  // Registry mode: `root_path` is a key path under HKEY_CURRENT_USER. File
  // mode: `root_path` names an initialisation file.
  TUserSettingsStore(bool use_registry, std::wstring root_path);

  bool UseRegistry() const noexcept { return use_registry_; }
  const std::wstring& RootPath() const noexcept { return root_path_; }
  void SetRoot(bool use_registry, std::wstring root_path);

  // `section` is a single name (no "\" or "/"); an invalid one reads as
  // absent and cannot be written.
  std::wstring ReadText(std::wstring_view section, std::wstring_view key, std::wstring_view default_value) const;
  std::int32_t ReadInteger(std::wstring_view section, std::wstring_view key, std::int32_t default_value) const;
  void WriteText(std::wstring_view section, std::wstring_view key, const std::wstring& value);
  void WriteInteger(std::wstring_view section, std::wstring_view key, std::int32_t value);

  // File mode: the count key holds the number of lines, each line i is the
  // key `line_prefix` + i.
  std::wstring ReadMultiLineText(std::wstring_view section, std::wstring_view count_key,
                                 std::wstring_view line_prefix) const;
  void WriteMultiLineText(std::wstring_view section, std::wstring_view count_key, std::wstring_view line_prefix,
                          const std::wstring& text);

 private:
  void WriteRaw(std::wstring_view section, std::wstring_view key, const std::wstring& stored);
  bool use_registry_;
  std::wstring root_path_;
};

// The process's store: the registry root once the "EConfig.Init" step ran.
TUserSettingsStore& UserSettings();
// The "EConfig.Init" step: the per-user settings live in the registry.
void ConfigInit();

// The facility's per-user folder (roaming application data + maker +
// facility), with a trailing delimiter.
std::wstring FacilityDataFolder();

// The user's e-mail address as the dialogs remember it.
std::wstring GetUserEMail();
void SetUserEMail(const std::wstring& value);

}  // namespace zelvic::diag
