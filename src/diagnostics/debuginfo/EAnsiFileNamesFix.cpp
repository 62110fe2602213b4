#include "diagnostics/debuginfo/EAnsiFileNamesFix.h"

#include <cstdio>
#include <memory>

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/EFileNames.h"
#include "runtime/never_destroyed.h"

namespace zelvic::diag {
namespace {

class TLockGuard {
 public:
  explicit TLockGuard(platform::TRecursiveLock& lock) noexcept : lock_(lock) { lock_.Enter(); }
  ~TLockGuard() { lock_.Leave(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  platform::TRecursiveLock& lock_;
};

// Ended by the unit's shut-down, never by static destruction: another thread
// may still be naming a file while the process exits.
constinit rt::TNeverDestroyed<std::unique_ptr<TAnsiFileNames>> g_table;

}  // namespace

TAnsiFileNames::TAnsiFileNames(platform::TAnsiNamePlatform& platform) noexcept : platform_(platform) {
  lock_.Create();
}

TAnsiFileNames::~TAnsiFileNames() { lock_.Destroy(); }

std::string TAnsiFileNames::MakeAnsiFileName(const std::wstring& name) {
  if (!hook_installed_) {
    const std::wstring short_name = platform_.ShortPathName(name);
    return platform_.ToAnsi(short_name.empty() ? name : short_name);
  }
  const platform::TGuidValue g = platform_.NewGuid();
  wchar_t guid[40];
  std::swprintf(guid, 40, L"{%.8x-%.4x-%.4x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  std::string alias = platform_.ToAnsi(L"C:\\" + std::wstring(guid) + ExtractFileNamePart(name));
  TLockGuard guard(lock_);
  for (TSlot& slot : slots_) {
    if (slot.Name.empty()) {
      slot.Name = name;
      slot.Alias = alias;
      return alias;
    }
  }
  slots_.push_back({name, alias});
  return alias;
}

void TAnsiFileNames::ReleaseAnsiFileName(const std::wstring& name) {
  if (name.empty()) return;
  TLockGuard guard(lock_);
  for (TSlot& slot : slots_) {
    if (slot.Name == name) {
      slot.Name.clear();
      slot.Alias.clear();
      return;
    }
  }
}

std::optional<std::wstring> TAnsiFileNames::FindByAlias(std::string_view alias) {
  if (alias.empty()) return std::nullopt;
  TLockGuard guard(lock_);
  for (const TSlot& slot : slots_) {
    if (slot.Alias == alias) return slot.Name;
  }
  return std::nullopt;
}

std::vector<TAnsiFileNames::TSlot> TAnsiFileNames::Slots() {
  TLockGuard guard(lock_);
  return slots_;
}

void* TAnsiFileNames::CreateFileA(TCreateFileA original, const char* name, std::uint32_t access, std::uint32_t share,
                                  void* security, std::uint32_t disposition, std::uint32_t flags,
                                  void* template_file) {
  if (name != nullptr) {
    if (const std::optional<std::wstring> real = FindByAlias(name)) {
      return platform::CreateFileWide(*real, access, share, security, disposition, flags, template_file);
    }
  }
  return original(name, access, share, security, disposition, flags, template_file);
}

TAnsiFileNames* AnsiFileNames() noexcept { return g_table->get(); }

void AnsiFileNamesInit() {
  if (*g_table == nullptr) *g_table = std::make_unique<TAnsiFileNames>();
}

void AnsiFileNamesDone() { g_table->reset(); }

std::string MakeAnsiFileName(const std::wstring& name) {
  if (TAnsiFileNames* table = g_table->get()) return table->MakeAnsiFileName(name);
  TAnsiFileNames plain;
  return plain.MakeAnsiFileName(name);
}

void ReleaseAnsiFileName(const std::wstring& name) {
  if (TAnsiFileNames* table = g_table->get()) table->ReleaseAnsiFileName(name);
}

}  // namespace zelvic::diag
