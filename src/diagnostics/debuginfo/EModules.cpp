#include "diagnostics/debuginfo/EModules.h"

#include <algorithm>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/config/EVLData.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "runtime/never_destroyed.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {

// --- base list -----------------------------------------------------------------

TVarnelModulesList::TVarnelModulesList(platform::TModulePlatform& platform) : FPlatform(platform) {}

TVarnelModulesList::~TVarnelModulesList() = default;

void TVarnelModulesList::Assign(TVarnelModulesList& source) {
  if (&source == this) return;
  Clear();
  for (int i = 0, n = source.GetCount(); i < n; ++i) {
    std::unique_ptr<TVarnelModuleInfo> copy = NewModuleInfo();
    CopyModuleInfo(*copy, *source.GetItem(i), source.HoldsExtendedRecords());
    FModules.push_back(std::move(copy));
  }
  Changed();
}

void TVarnelModulesList::Assign(const TVarnelModuleOptions& options) {
  Formatter().Assign(options);
  Changed();
}

void TVarnelModulesList::CopyModuleInfo(TVarnelModuleInfo& dst, const TVarnelModuleInfo& src, bool) {
  dst = src;
}

std::wstring TVarnelModulesList::GetItemText(int index) { return Formatter().GetItemText(index); }
int TVarnelModulesList::GetCount() { return static_cast<int>(FModules.size()); }
TVarnelModuleInfo* TVarnelModulesList::GetItem(int index) {
  return index >= 0 && index < static_cast<int>(FModules.size()) ? FModules[static_cast<std::size_t>(index)].get()
                                                                 : nullptr;
}

void TVarnelModulesList::Changed() {
  if (FFormatter) FFormatter->Changed();
}

std::unique_ptr<TVarnelModuleInfo> TVarnelModulesList::NewModuleInfo() {
  return std::make_unique<TVarnelModuleInfo>();
}

int TVarnelModulesList::FindModuleIndex(std::uintptr_t handle) const noexcept {
  auto it = std::upper_bound(
      FModules.begin(), FModules.end(), handle,
      [](std::uintptr_t h, const std::unique_ptr<TVarnelModuleInfo>& m) { return h < m->Handle; });
  return static_cast<int>(it - FModules.begin()) - 1;
}

int TVarnelModulesList::Add(std::unique_ptr<TVarnelModuleInfo> module) {
  const int index = FindModuleIndex(module->Handle) + 1;
  FModules.insert(FModules.begin() + index, std::move(module));
  Changed();
  return index;
}

void TVarnelModulesList::Delete(int index) {
  if (index < 0 || index >= static_cast<int>(FModules.size())) return;
  // Out of the list before it is destroyed: a record's options may notify
  // someone who reads the list.
  std::unique_ptr<TVarnelModuleInfo> gone = std::move(FModules[static_cast<std::size_t>(index)]);
  FModules.erase(FModules.begin() + index);
  gone.reset();
  Changed();
}

void TVarnelModulesList::Clear() {
  std::vector<std::unique_ptr<TVarnelModuleInfo>> old;
  old.swap(FModules);
  old.clear();
  Changed();
}

TVarnelModuleInfo* TVarnelModulesList::LoadModuleInfo(std::uintptr_t handle, const std::wstring& file_name, bool) {
  const std::wstring loader_name = FPlatform.ModuleFileName(handle);
  if (loader_name.empty()) return nullptr;
  const int index = FindModuleIndex(handle);
  const bool reuse = index >= 0 && FModules[static_cast<std::size_t>(index)]->Handle == handle;
  // A reused record is blanked in place: whoever holds it keeps a valid one.
  std::unique_ptr<TVarnelModuleInfo> made = reuse ? nullptr : NewModuleInfo();
  TVarnelModuleInfo* info = reuse ? FModules[static_cast<std::size_t>(index)].get() : made.get();
  if (reuse) CopyModuleInfo(*info, *NewModuleInfo(), HoldsExtendedRecords());
  info->Handle = handle;
  info->Name = file_name.empty() ? NormaliseModuleFileName(loader_name, FPlatform) : file_name;
  const platform::TFileFacts facts = FPlatform.FileFacts(info->Name);
  info->LastModified = facts.Found ? facts.LastModifiedLocal : 0;
  info->Size = facts.Found && facts.Size <= 0xFFFFFFFFull ? static_cast<std::uint32_t>(facts.Size) : 0;
  const platform::TVersionResource version = FPlatform.VersionResource(info->Name);
  if (version.FileDescription.size() > 1) info->Description = version.FileDescription;
  info->Version = ModuleVersionText(version);
  const TModuleImageFacts image = ReadModuleImageFacts(FPlatform, info->Handle);
  info->ModuleType = image.ModuleType;
  info->VirtualSize = image.VirtualSize;
  info->CodeBegin = image.CodeBegin;
  info->CodeEnd = image.CodeEnd;
  info->DataBegin = image.DataBegin;
  info->DataEnd = image.DataEnd;
  if (!reuse) Add(std::move(made));
  Changed();
  return info;
}

TVarnelModuleInfo* TVarnelModulesList::ModuleInfoByHandleUnlocked(std::uintptr_t module) {
  if (module == 0) return nullptr;
  const int index = FindModuleIndex(module);
  if (index >= 0 && FModules[static_cast<std::size_t>(index)]->Handle == module) {
    return FModules[static_cast<std::size_t>(index)].get();
  }
  if (!CanAddModule()) return nullptr;
  return LoadModuleInfo(module, {}, true);
}

TVarnelModuleInfo* TVarnelModulesList::ModuleInfoByHandle(std::uintptr_t module) {
  return ModuleInfoByHandleUnlocked(module);
}

TVarnelModuleInfo* TVarnelModulesList::ModuleInfoByAddr(std::uintptr_t addr) {
  return ModuleInfoByHandle(FPlatform.AllocationBase(addr));
}

void TVarnelModulesList::RefreshUnlocked(bool full_refresh) {
  const bool could_add = FCanAddModule;
  FCanAddModule = true;
  if (full_refresh) {
    Clear();
  } else {
    // Records already cleaned up (handle 0) stay: someone may still hold them.
    for (int i = GetCount() - 1; i >= 0; --i) {
      const std::uintptr_t handle = FModules[static_cast<std::size_t>(i)]->Handle;
      if (handle != 0 && FPlatform.ModuleFileName(handle).empty()) Delete(i);
    }
  }
  for (std::uintptr_t handle : FPlatform.EnumerateModules()) ModuleInfoByHandleUnlocked(handle);
  FCanAddModule = could_add;
}

void TVarnelModulesList::Refresh(bool full_refresh) { RefreshUnlocked(full_refresh); }

std::wstring TVarnelModulesList::ToString() { return Formatter().ToString(); }

TVarnelModulesFormatter& TVarnelModulesList::Formatter() {
  if (!FFormatter) FFormatter = std::make_unique<TVarnelModulesFormatter>(this);
  return *FFormatter;
}

void TVarnelModulesList::SetFormatter(const TModulesFormatter& formatter) { Formatter().Assign(formatter); }

// --- extended list -----------------------------------------------------------------

platform::TRecursiveLock& ModulesListLock() noexcept {
  struct TOwnedLock {
    TOwnedLock() noexcept { lock.Create(); }
    platform::TRecursiveLock lock;
  };
  // Never destroyed: the debug-information sources and the dialogs may
  // still take it while the library unloads.
  static rt::TNeverDestroyed<TOwnedLock> owned;
  return owned->lock;
}

TVarnelModulesListEx::TVarnelModulesListEx(platform::TModulePlatform& platform) : TVarnelModulesList(platform) {}

TVarnelModulesListEx::~TVarnelModulesListEx() {
  TModulesListGuard guard;
  TVarnelModulesList::Clear();
}

void TVarnelModulesListEx::Assign(TVarnelModulesList& source) {
  TModulesListGuard guard;
  TVarnelModulesList::Assign(source);
}

std::wstring TVarnelModulesListEx::GetItemText(int index) {
  TModulesListGuard guard;
  return TVarnelModulesList::GetItemText(index);
}

int TVarnelModulesListEx::GetCount() {
  TModulesListGuard guard;
  return TVarnelModulesList::GetCount();
}

TVarnelModuleInfo* TVarnelModulesListEx::GetItem(int index) {
  TModulesListGuard guard;
  return TVarnelModulesList::GetItem(index);
}

TVarnelModuleInfoEx* TVarnelModulesListEx::GetItemEx(int index) { return static_cast<TVarnelModuleInfoEx*>(GetItem(index)); }

std::unique_ptr<TVarnelModuleInfo> TVarnelModulesListEx::NewModuleInfo() {
  return std::make_unique<TVarnelModuleInfoEx>();
}

void TVarnelModulesListEx::CopyModuleInfo(TVarnelModuleInfo& dst, const TVarnelModuleInfo& src,
                                          bool src_extended) {
  auto& d = static_cast<TVarnelModuleInfoEx&>(dst);
  const auto* s = src_extended ? static_cast<const TVarnelModuleInfoEx*>(&src) : nullptr;
  d.BaseInfo() = src;
  if (s != nullptr) {
    d.FunctionsList = s->FunctionsList ? std::make_unique<TVarnelFunctionsList>(*s->FunctionsList) : nullptr;
    d.ExtraInformation = s->ExtraInformation;
  } else {
    d.FunctionsList.reset();
    d.ExtraInformation = {};
  }
}

void TVarnelModulesListEx::LoadDiagnostics(TVarnelModuleInfoEx& info) {
  info.ExtraInformation.VarnelVersion = ModuleDiagnosticsVersion(info.Handle, info.Name);
  if (ModuleHasDiagnosticsData(info.Handle, info.Name)) {
    auto options = std::make_shared<TVarnelModuleOptions>(info.Name);
    LoadModuleOptions(info.Handle, *options);
    info.ExtraInformation.Options = std::move(options);
  }
}

TVarnelModuleInfo* TVarnelModulesListEx::LoadModuleInfo(std::uintptr_t handle, const std::wstring& file_name,
                                                        bool loaded) {
  TModulesListGuard guard;
  auto* info = static_cast<TVarnelModuleInfoEx*>(TVarnelModulesList::LoadModuleInfo(handle, file_name, loaded));
  if (info == nullptr) return nullptr;
  info->ExtraInformation.CompilationDate = 0;
  info->ExtraInformation.DebugInformation.reset();
  info->ExtraInformation.Encrypted = false;
  LoadDiagnostics(*info);
  return info;
}

int TVarnelModulesListEx::Add(std::unique_ptr<TVarnelModuleInfo> module) {
  TModulesListGuard guard;
  return TVarnelModulesList::Add(std::move(module));
}

void TVarnelModulesListEx::Delete(int index) {
  TModulesListGuard guard;
  TVarnelModulesList::Delete(index);
}

void TVarnelModulesListEx::Clear() {
  TModulesListGuard guard;
  TVarnelModulesList::Clear();
}

void TVarnelModulesListEx::Refresh(bool) {
  TModulesListGuard guard;
  if (FInRefresh) return;
  // A refresh that fails still ends: the next one must run.
  struct TRefreshing {
    bool& flag;
    explicit TRefreshing(bool& f) noexcept : flag(f) { flag = true; }
    ~TRefreshing() { flag = false; }
  } refreshing(FInRefresh);
  RefreshUnlocked(false);
}

std::wstring TVarnelModulesListEx::ToString() {
  TModulesListGuard guard;
  return TVarnelModulesList::ToString();
}

TVarnelModuleInfo* TVarnelModulesListEx::ModuleInfoByHandle(std::uintptr_t module) {
  TModulesListGuard guard;
  return ModuleInfoByHandleUnlocked(module);
}

TVarnelModuleInfo* TVarnelModulesListEx::ModuleInfoByAddr(std::uintptr_t addr) {
  TModulesListGuard guard;
  return TVarnelModulesList::ModuleInfoByAddr(addr);
}

TVarnelModuleInfoEx* TVarnelModulesListEx::ModuleInfoByHandleEx(std::uintptr_t module) {
  return static_cast<TVarnelModuleInfoEx*>(ModuleInfoByHandle(module));
}

TVarnelModuleInfoEx* TVarnelModulesListEx::ModuleInfoByAddrEx(std::uintptr_t addr) {
  return static_cast<TVarnelModuleInfoEx*>(ModuleInfoByAddr(addr));
}

void TVarnelModulesListEx::Cleanup() {
  TModulesListGuard guard;
  for (const std::unique_ptr<TVarnelModuleInfo>& m : FModules) {
    if (m->Handle != 0 && FPlatform.ModuleFileName(m->Handle).empty()) m->Handle = 0;
  }
  // Handle 0 sorts first, so the order by handle still holds.
  std::stable_partition(FModules.begin(), FModules.end(),
                        [](const std::unique_ptr<TVarnelModuleInfo>& m) { return m->Handle == 0; });
  Changed();
}

void TVarnelModulesListEx::Purge() {
  TModulesListGuard guard;
  for (int i = static_cast<int>(FModules.size()) - 1; i >= 0; --i) {
    const TVarnelModuleInfo& m = *FModules[static_cast<std::size_t>(i)];
    const platform::TFileFacts facts = FPlatform.FileFacts(m.Name);
    if ((facts.Found ? facts.LastModifiedLocal : 0) != m.LastModified) Delete(i);
  }
  Refresh(false);
}

// --- process-wide ----------------------------------------------------------------------

namespace {
// Ended only by FreeModulesList: lookups during unload still read it.
constinit rt::TNeverDestroyed<std::unique_ptr<TVarnelModulesListEx>> g_modules_list;
}

TVarnelModulesListEx* ExistingModulesList() noexcept { return g_modules_list->get(); }

const TVarnelModuleOptions* OwnModuleOptions(TVarnelModulesListEx& list) {
  auto* own = list.ModuleInfoByHandleEx(platform::ThisModuleBase());
  return own != nullptr ? own->ExtraInformation.Options.get() : nullptr;
}

const TVarnelModuleOptions* OwnModuleOptions() {
  TVarnelModulesListEx* list = ExistingModulesList();
  return list != nullptr ? OwnModuleOptions(*list) : nullptr;
}

TVarnelModulesListEx* GetModulesList() {
  if (TVarnelModulesListEx* list = g_modules_list->get(); list != nullptr || rt::IsShuttingDown) return list;
  TGlobalWriteLock write;
  if (*g_modules_list == nullptr && !rt::IsShuttingDown) {
    // Published before the refresh: the formatter's constructor asks for the
    // list, and modules found while refreshing may ask again.
    *g_modules_list = std::make_unique<TVarnelModulesListEx>();
    TVarnelModulesListEx& list = **g_modules_list;
    list.Refresh(true);
    if (const TVarnelModuleOptions* own = OwnModuleOptions(list)) list.Assign(*own);
    list.Formatter().CaptionHeader.clear();
    list.Changed();
  }
  return g_modules_list->get();
}

void FreeModulesList() {
  TGlobalWriteLock write;
  // Unpublished before it is destroyed, so nothing reaches it half gone.
  g_modules_list->reset();
}

void EModulesDone() {
  rt::IsShuttingDown = 1;
  FreeModulesList();
}

std::int32_t ModuleDelphiVersion(std::uintptr_t module) {
  TVarnelModulesListEx* list = GetModulesList();
  if (list == nullptr) return 0;
  TModulesListGuard guard;
  const TVarnelModuleInfo* info = list->ModuleInfoByHandle(module);
  return info != nullptr ? info->DelphiVersion : 0;
}

void SetModuleDelphiVersion(std::uintptr_t module, std::int32_t value) {
  TVarnelModulesListEx* list = GetModulesList();
  if (list == nullptr) return;
  TModulesListGuard guard;
  if (TVarnelModuleInfo* info = list->ModuleInfoByHandle(module)) info->DelphiVersion = value;
}

bool IsModuleValid(std::uintptr_t module) {
  if (TVarnelModulesListEx* list = GetModulesList()) return list->ModuleInfoByHandle(module) != nullptr;
  return !platform::SystemModulePlatform().ModuleFileName(module).empty();
}

std::span<const std::uint8_t> FindModuleResource(std::uintptr_t module, const wchar_t* name, std::uint16_t type) {
  if (!IsModuleValid(module)) return {};
  return platform::ModuleResource(module, name, type);
}

bool ModuleHasDiagnosticsData(std::uintptr_t module, const std::wstring& file_name) {
  return HasDiagnosticsData(module, file_name);
}

std::uint16_t ModuleDiagnosticsVersion(std::uintptr_t module, const std::wstring& file_name) {
  const TModuleVLData data = ModuleVLData(module, file_name);
  if (data.Resource.size() >= 6) return static_cast<std::uint16_t>(data.Resource[4] | data.Resource[5] << 8);
  if (data.AppendedBlock.size() >= 2) {
    return static_cast<std::uint16_t>(data.AppendedBlock[0] | data.AppendedBlock[1] << 8);
  }
  return 0;
}

bool ModuleCompilationDate(TVarnelModulesListEx* list, platform::TModulePlatform& p, std::uintptr_t module,
                           bool local, TDateTime& date) {
  date = 0;
  if (list != nullptr) {
    TModulesListGuard guard;
    if (const TVarnelModuleInfoEx* info = list->ModuleInfoByHandleEx(module)) {
      date = info->ExtraInformation.CompilationDate;
    }
  }
  if (date == 0) date = ImageTimeStamp(p, module);
  if (date == 0) return false;
  if (local) {
    const std::optional<std::int32_t> bias = p.TimeZoneBiasMinutes();
    if (!bias) throw EVlDateTimeError(L"Error converting UTC<->Local time. Time zone could not be determined");
    date -= *bias / 1440.0;
  }
  return true;
}

bool ModuleCompilationDate(std::uintptr_t module, bool local, TDateTime& date) {
  return ModuleCompilationDate(GetModulesList(), platform::SystemModulePlatform(), module, local, date);
}

std::wstring ModulesListToText(TVarnelModulesList* list, const std::wstring* header) {
  if (list == nullptr) {
    TVarnelModulesList empty;
    if (header != nullptr) empty.Formatter().CaptionHeader = *header;
    empty.Formatter().Changed();
    return empty.ToString();
  }
  // The caption is borrowed: nobody may print the list meanwhile.
  TModulesListGuard guard;
  TVarnelModulesFormatter& formatter = list->Formatter();
  const std::wstring saved = formatter.CaptionHeader;
  if (header != nullptr) {
    formatter.CaptionHeader = *header;
    formatter.Changed();
  }
  std::wstring text = list->ToString();
  if (header != nullptr) {
    formatter.CaptionHeader = saved;
    formatter.Changed();
  }
  return text;
}

}  // namespace zelvic::diag
