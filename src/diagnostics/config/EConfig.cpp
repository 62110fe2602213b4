#include "diagnostics/config/EConfig.h"

#include <atomic>
#include <thread>

#include "diagnostics/config/ENameValues.h"
#include "platform/registry.h"
#include "platform/rwlock.h"

namespace zelvic::diag {

EOSError::EOSError(std::uint32_t code)
    : EVarnelLogGeneralError(L"System Error.  Code: " + std::to_wstring(code) + L".\r\n" +
                             platform::SystemErrorText(code)),
      code_(code) {}

// --- the diagnostics global lock ---------------------------------------------

namespace {

// Constant-initialised: usable before and after static construction.
platform::TReadWriteLock g_global_lock;
// 0 absent, 1 being created or destroyed, 2 ready.
std::atomic<int> g_global_lock_state{0};

platform::TReadWriteLock& GlobalLock() noexcept {
  for (;;) {
    int state = g_global_lock_state.load(std::memory_order_acquire);
    if (state == 2) return g_global_lock;
    if (state == 0 && g_global_lock_state.compare_exchange_strong(state, 1, std::memory_order_acq_rel)) {
      g_global_lock.Create();
      g_global_lock_state.store(2, std::memory_order_release);
      return g_global_lock;
    }
    std::this_thread::yield();
  }
}

}  // namespace

void GlobalLockBeginRead() noexcept { GlobalLock().BeginRead(); }
void GlobalLockEndRead() noexcept { GlobalLock().EndRead(); }
void GlobalLockBeginWrite() noexcept { GlobalLock().BeginWrite(); }
void GlobalLockEndWrite() noexcept { GlobalLock().EndWrite(); }

void DestroyGlobalLock() noexcept {
  int state = 2;
  if (!g_global_lock_state.compare_exchange_strong(state, 1, std::memory_order_acq_rel)) return;
  // Waits for the current holders; nobody new gets in while the state is 1.
  g_global_lock.BeginWrite();
  g_global_lock.EndWrite();
  g_global_lock.Destroy();
  g_global_lock_state.store(0, std::memory_order_release);
}

bool GlobalLockExists() noexcept { return g_global_lock_state.load(std::memory_order_acquire) == 2; }

// --- the per-user settings store -------------------------------------------

namespace {

bool ValidSection(std::wstring_view section) noexcept {
  return !section.empty() && section.find_first_of(L"\\/") == std::wstring_view::npos;
}

bool ParseInt32(const std::wstring& text, std::int32_t& out) noexcept {
  if (!IsInt64Text(text)) return false;
  const long long v = std::stoll(text);
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

// The platform strips one pair of enclosing quotes from profile strings, so a
// value written encoded may come back without them.
std::wstring DecodeProfileValue(const std::wstring& text) {
  if (!text.empty() && text[0] == L'"') return DecodeValue(text);
  if (IsInt64Text(text)) return text;
  const std::wstring quoted = L"\"" + text + L"\"";
  std::wstring decoded = DecodeValue(quoted);
  return decoded == quoted ? text : decoded;
}

}  // namespace

TUserSettingsStore::TUserSettingsStore(bool use_registry, std::wstring root_path)
    : use_registry_(use_registry), root_path_(std::move(root_path)) {}

void TUserSettingsStore::SetRoot(bool use_registry, std::wstring root_path) {
  use_registry_ = use_registry;
  root_path_ = std::move(root_path);
}

std::wstring TUserSettingsStore::ReadText(std::wstring_view section, std::wstring_view key,
                                          std::wstring_view default_value) const {
  if (!ValidSection(section)) return std::wstring(default_value);
  if (use_registry_) {
    auto text = platform::ReadUserRegistryText(root_path_ + L"\\" + std::wstring(section), std::wstring(key));
    return text ? *text : std::wstring(default_value);
  }
  auto text = platform::ReadProfileText(root_path_, std::wstring(section), std::wstring(key), kProfileTextLimit);
  return text ? DecodeProfileValue(*text) : std::wstring(default_value);
}

std::int32_t TUserSettingsStore::ReadInteger(std::wstring_view section, std::wstring_view key,
                                             std::int32_t default_value) const {
  std::int32_t v = default_value;
  return ParseInt32(ReadText(section, key, L""), v) ? v : default_value;
}

void TUserSettingsStore::WriteRaw(std::wstring_view section, std::wstring_view key, const std::wstring& stored) {
  if (!ValidSection(section)) throw EVarnelLogGeneralError(L"Invalid settings section \"" + std::wstring(section) + L"\"");
  std::uint32_t rc = 0;
  if (use_registry_) {
    rc = platform::WriteUserRegistryText(root_path_ + L"\\" + std::wstring(section), std::wstring(key), stored);
  } else {
    if (!platform::FileExists(root_path_)) {
      // A new file starts with the UTF-16 mark so that the platform keeps
      // writing it as UTF-16 and no text is lost to the ANSI code page.
      static constexpr unsigned char kUtf16Mark[] = {0xFF, 0xFE};
      rc = platform::CreateFileWithBytes(root_path_, kUtf16Mark, sizeof kUtf16Mark);
    }
    if (rc == 0) rc = platform::WriteProfileText(root_path_, std::wstring(section), std::wstring(key), stored);
  }
  if (rc != 0) throw EOSError(rc);
}

void TUserSettingsStore::WriteText(std::wstring_view section, std::wstring_view key, const std::wstring& value) {
  WriteRaw(section, key, use_registry_ ? value : EncodeValue(value));
}

void TUserSettingsStore::WriteInteger(std::wstring_view section, std::wstring_view key, std::int32_t value) {
  WriteRaw(section, key, std::to_wstring(value));
}

std::wstring TUserSettingsStore::ReadMultiLineText(std::wstring_view section, std::wstring_view count_key,
                                                   std::wstring_view line_prefix) const {
  const std::int32_t count = ReadInteger(section, count_key, 0);
  std::wstring text;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::wstring key = std::wstring(line_prefix) + std::to_wstring(i);
    std::wstring line;
    if (use_registry_) {
      line = ReadText(section, key, L"");
    } else if (auto raw = platform::ReadProfileText(root_path_, std::wstring(section), key, kProfileTextLimit)) {
      line = *raw;
    }
    if (line.size() >= 2 && line.front() == L'"' && line.back() == L'"') line = line.substr(1, line.size() - 2);
    if (i > 0) text += L"\r\n";
    text += line;
  }
  return text;
}

void TUserSettingsStore::WriteMultiLineText(std::wstring_view section, std::wstring_view count_key,
                                            std::wstring_view line_prefix, const std::wstring& text) {
  const std::vector<std::wstring> lines = SplitLines(text);
  WriteInteger(section, count_key, static_cast<std::int32_t>(lines.size()));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    WriteRaw(section, std::wstring(line_prefix) + std::to_wstring(i), L"\"" + lines[i] + L"\"");
  }
}

TUserSettingsStore& UserSettings() {
  static TUserSettingsStore store(true, kUserSettingsRegistryRoot);
  return store;
}

void ConfigInit() { UserSettings().SetRoot(true, kUserSettingsRegistryRoot); }

std::wstring FacilityDataFolder() {
  std::wstring folder = platform::RoamingAppDataFolder();
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder + L"Tessaro\\VarnelLog\\";
}

std::wstring GetUserEMail() { return UserSettings().ReadText(L"User", L"Email", L""); }

void SetUserEMail(const std::wstring& value) { UserSettings().WriteText(L"User", L"Email", value); }

}  // namespace zelvic::diag
