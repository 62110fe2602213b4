#include "diagnostics/debuginfo/EAnsiFileNamesFix.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EHook.h"
#include "platform/code_memory.h"
#include "platform/registry.h"
#include "platform/thread_control.h"
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

// The patched routine and the way back to it. The way back stays known
// after the patch is out: its trampoline outlives the patch, and a thread
// that entered the replacement just before may still take it.
void* g_patched = nullptr;
std::atomic<TAnsiFileNames::TCreateFileA> g_original{nullptr};
std::atomic<bool> g_installing{false};
TAnsiFileNames::TCreateFileA g_system = nullptr;

TAnsiFileNames::TCreateFileA WayBack() noexcept {
  TAnsiFileNames::TCreateFileA original = g_original.load();
  // The patch is written before its trampoline is handed back: a caller
  // that arrives in between waits for it rather than take the patched entry
  // again.
  while (original == nullptr && g_installing.load()) {
    platform::YieldThread();
    original = g_original.load();
  }
  return original != nullptr ? original : g_system;
}

void* __stdcall CreateFileAHook(const char* name, std::uint32_t access, std::uint32_t share, void* security,
                                std::uint32_t disposition, std::uint32_t flags, void* template_file) {
  const TAnsiFileNames::TCreateFileA original = WayBack();
  TAnsiFileNames* table = g_table->get();
  if (table == nullptr) return original(name, access, share, security, disposition, flags, template_file);
  try {
    return table->CreateFileA(original, name, access, share, security, disposition, flags, template_file);
  } catch (...) {
    // No exception may reach the system's caller: the plain call decides.
    return original(name, access, share, security, disposition, flags, template_file);
  }
}

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

void AnsiFileNamesDone() {
  RemoveAnsiFileNameHook();
  g_table->reset();
}

bool InstallAnsiFileNameHook() {
  TAnsiFileNames* table = g_table->get();
  if (table == nullptr) return false;
  if (g_patched != nullptr) return true;
  const std::uint32_t target =
      platform::ExportedProcedure(platform::LoadedModuleByName(L"kernel32.dll"), "CreateFileA");
  if (target == 0) return false;
  void* routine = reinterpret_cast<void*>(static_cast<std::uintptr_t>(target));
  g_system = reinterpret_cast<TAnsiFileNames::TCreateFileA>(routine);
  g_installing.store(true);
  void* trampoline = HookCodeProcedure(routine, reinterpret_cast<void*>(&CreateFileAHook));
  if (trampoline != routine) {
    g_original.store(reinterpret_cast<TAnsiFileNames::TCreateFileA>(trampoline));
    g_patched = routine;
  }
  g_installing.store(false);
  if (g_patched == nullptr) return false;
  table->SetHookInstalled(true);
  return true;
}

void RemoveAnsiFileNameHook() {
  if (g_patched == nullptr) return;
  // Aliases made from here on would have nobody to open them.
  if (TAnsiFileNames* table = g_table->get()) table->SetHookInstalled(false);
  if (UnhookCodeProcedure(reinterpret_cast<void*>(&CreateFileAHook))) {
    g_patched = nullptr;
    // From here on the entry is the system's own again.
    g_original.store(nullptr);
  }
}

bool AnsiFileNameHookInstalled() noexcept { return g_patched != nullptr; }

std::string MakeAnsiFileName(const std::wstring& name) {
  if (TAnsiFileNames* table = g_table->get()) return table->MakeAnsiFileName(name);
  TAnsiFileNames plain;
  return plain.MakeAnsiFileName(name);
}

void ReleaseAnsiFileName(const std::wstring& name) {
  if (TAnsiFileNames* table = g_table->get()) table->ReleaseAnsiFileName(name);
}

}  // namespace zelvic::diag
