#include "diagnostics/debuginfo/EModules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/config/EVLData.h"
#include "diagnostics/debuginfo/EPEImage.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "runtime/never_destroyed.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {

// --- pure rules ---------------------------------------------------------------

std::wstring NormaliseModuleFileName(std::wstring name, platform::TModulePlatform& platform) {
  if (name.starts_with(L"\\??\\")) name.erase(0, 4);
  if (name.starts_with(L"\\\\?\\")) name.erase(0, 4);
  // An NT path such as "\SystemRoot\...?C:\..." or "\Device\?\C:\...": the
  // DOS path begins at the drive letter before the ":" behind the "?".
  const std::size_t question = name.find(L'?');
  if (question != std::wstring::npos) {
    const std::size_t colon = name.find(L':', question + 1);
    if (colon != std::wstring::npos && colon > 0) name.erase(0, colon - 1);
  }
  for (std::size_t at; (at = name.find(L"\\.\\")) != std::wstring::npos;) name.replace(at, 3, L"\\");
  std::wstring long_name = platform.LongPathName(name);
  return long_name.empty() ? name : long_name;
}

std::wstring ModuleVersionText(const platform::TVersionResource& version) {
  if (!version.Present) return {};
  const std::wstring text = std::to_wstring(version.FileVersionMS >> 16) + L"." +
                            std::to_wstring(version.FileVersionMS & 0xFFFF) + L"." +
                            std::to_wstring(version.FileVersionLS >> 16) + L"." +
                            std::to_wstring(version.FileVersionLS & 0xFFFF);
  return text == L"0.0.0.0" ? std::wstring() : text;
}

std::wstring FormatModuleDateTime(TDateTime value) {
  double day = std::floor(value);
  long long ms = std::llround(std::fabs(value - day) * 86400000.0);
  if (ms >= 86400000LL) {
    ms -= 86400000LL;
    day += 1;
  }
  // Days since 1970-01-01, then the civil date (proleptic Gregorian).
  long long z = static_cast<long long>(day) - 25569 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  const long long seconds = ms / 1000;
  wchar_t buffer[40];
  std::swprintf(buffer, 40, L"%04lld-%02lld-%02lld %02lld:%02lld:%02lld", y, m, d, seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return buffer;
}

namespace {
// A plain loop: find_last_of asks the C library once per character, and
// every location lookup's completion comes here.
std::size_t LastDelimiter(std::wstring_view path) noexcept {
  for (std::size_t i = path.size(); i-- > 0;) {
    if (path[i] == L'\\' || path[i] == L':') return i;
  }
  return std::wstring_view::npos;
}
}  // namespace

std::wstring ExtractFileNamePart(std::wstring_view path) { return std::wstring(FileNamePartOf(path)); }

std::wstring_view FileNamePartOf(std::wstring_view path) noexcept {
  const std::size_t at = LastDelimiter(path);
  return at == std::wstring_view::npos ? path : path.substr(at + 1);
}

std::wstring ExtractFileDirPart(std::wstring_view path) {
  const std::size_t at = LastDelimiter(path);
  return at == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, at + 1));
}

// --- formatter ------------------------------------------------------------------

TModulesFormatter::TModulesFormatter(TVarnelModulesList* list) : FModulesList(list) {
  AssignDefaults();
  // The report names the table itself; the list's own text carries none.
  if (TVarnelModulesListEx* global = ExistingModulesList()) {
    if (auto* own = global->ModuleInfoByHandleEx(platform::ThisModuleBase());
        own != nullptr && own->ExtraInformation.Options) {
      Assign(*own->ExtraInformation.Options);
    }
  }
  CaptionHeader.clear();
}

void TModulesFormatter::SetModulesList(TVarnelModulesList* list) noexcept {
  FModulesList = list;
  Changed();
}

void TModulesFormatter::AssignDefaults() {
  CaptionHeader = L"Modules Information";
  CaptionHandle = L"Handle";
  CaptionName = L"Name";
  CaptionDescription = L"Description";
  CaptionVersion = L"Version";
  CaptionSize = L"Size";
  CaptionLastModified = L"Modified";
  CaptionPath = L"Path";
  Changed();
}

void TModulesFormatter::Assign(const TModulesFormatter& source) {
  CaptionHeader = source.CaptionHeader;
  CaptionHandle = source.CaptionHandle;
  CaptionName = source.CaptionName;
  CaptionDescription = source.CaptionDescription;
  CaptionVersion = source.CaptionVersion;
  CaptionSize = source.CaptionSize;
  CaptionLastModified = source.CaptionLastModified;
  CaptionPath = source.CaptionPath;
  Changed();
}

void TModulesFormatter::Assign(const TVarnelModuleOptions& options) {
  CaptionHeader = options.GetCustomizedTexts(mtDialog_ModulesHeader);
  CaptionHandle = options.GetCustomizedTexts(mtModules_Handle);
  CaptionName = options.GetCustomizedTexts(mtModules_Name);
  CaptionDescription = options.GetCustomizedTexts(mtModules_Description);
  CaptionVersion = options.GetCustomizedTexts(mtModules_Version);
  CaptionSize = options.GetCustomizedTexts(mtModules_Size);
  CaptionLastModified = options.GetCustomizedTexts(mtModules_LastModified);
  CaptionPath = options.GetCustomizedTexts(mtModules_Path);
  Changed();
}

void TModulesFormatter::SetText(const std::wstring&) {
  throw EFormatterAssertion(L"Unsuppported (EModules)");
}

namespace {
void RecordCells(const TVarnelModuleInfo& m, std::wstring (&cells)[7]) {
  wchar_t handle[16];
  std::swprintf(handle, 16, L"%.8X", static_cast<unsigned>(m.Handle));
  cells[0] = handle;
  cells[1] = ExtractFileNamePart(m.Name);
  cells[2] = m.Description;
  cells[3] = m.Version;
  cells[4] = std::to_wstring(m.Size);
  cells[5] = FormatModuleDateTime(m.LastModified);
  cells[6] = ExtractFileDirPart(m.Name);
}
}  // namespace

void TVarnelModulesFormatter::Calculate() {
  if (FCalculated) return;
  FMaxHandle = std::max<int>(static_cast<int>(CaptionHandle.size()), 8);
  FMaxName = static_cast<int>(CaptionName.size());
  FMaxDescription = static_cast<int>(CaptionDescription.size());
  FMaxVersion = static_cast<int>(CaptionVersion.size());
  FMaxSize = static_cast<int>(CaptionSize.size());
  FMaxLastModified = static_cast<int>(CaptionLastModified.size());
  FMaxPath = static_cast<int>(CaptionPath.size());
  const int count = FModulesList != nullptr ? FModulesList->GetCount() : 0;
  for (int i = 0; i < count; ++i) {
    std::wstring cells[7];
    RecordCells(*FModulesList->GetItem(i), cells);
    int* widths[7] = {&FMaxHandle, &FMaxName, &FMaxDescription, &FMaxVersion, &FMaxSize, &FMaxLastModified, &FMaxPath};
    for (int c = 0; c < 7; ++c) *widths[c] = std::max(*widths[c], static_cast<int>(cells[c].size()));
  }
  FLineLen = FMaxHandle + FMaxName + FMaxDescription + FMaxVersion + FMaxSize + FMaxPath + FMaxLastModified + 8;
  TModulesFormatter::Calculate();
}

std::wstring TVarnelModulesFormatter::Row(const std::wstring (&cells)[7]) const {
  const int widths[7] = {FMaxHandle, FMaxName, FMaxDescription, FMaxVersion, FMaxSize, FMaxLastModified, FMaxPath};
  std::wstring row = L"|";
  for (int c = 0; c < 7; ++c) {
    row += TableCell(cells[c], widths[c]);
    row += L'|';
  }
  return row;
}

std::wstring TVarnelModulesFormatter::GetItemText(int index) {
  Calculate();
  std::wstring cells[7];
  RecordCells(*FModulesList->GetItem(index), cells);
  return Row(cells);
}

const std::vector<std::wstring>& TVarnelModulesFormatter::GetAsStrings() {
  if (!FModified) return FStr;
  Calculate();
  FStr.clear();
  const int count = FModulesList != nullptr ? FModulesList->GetCount() : 0;
  if (!CaptionHeader.empty()) FStr.push_back(CaptionHeader);
  const std::wstring rule(static_cast<std::size_t>(FLineLen), L'-');
  if (count > 0) {
    const std::wstring captions[7] = {CaptionHandle,       CaptionName, CaptionDescription, CaptionVersion,
                                      CaptionSize, CaptionLastModified, CaptionPath};
    FStr.push_back(rule);
    FStr.push_back(Row(captions));
    FStr.push_back(rule);
    for (int i = 0; i < count; ++i) FStr.push_back(GetItemText(i));
  }
  if (count > 0 || !CaptionHeader.empty()) FStr.push_back(rule);
  FModified = false;
  return FStr;
}

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

namespace {
template <typename T>
bool ReadAt(platform::TModulePlatform& p, std::uintptr_t address, T& out) {
  return p.ReadMemory(address, &out, sizeof(T));
}

// The address of a loaded image's NT headers, with its file header; 0 when
// they cannot be read or are not a PE image's.
std::uintptr_t NtHeadersOf(platform::TModulePlatform& p, std::uintptr_t base, TImageFileHeader& file) {
  TImageDosHeader dos{};
  if (!ReadAt(p, base, dos) || dos.e_magic != kImageDosSignature || dos.e_lfanew == 0) return 0;
  const std::uintptr_t nt = base + static_cast<std::uint32_t>(dos.e_lfanew);
  std::uint32_t signature = 0;
  if (!ReadAt(p, nt, signature) || signature != kImageNtSignature || !ReadAt(p, nt + 4, file)) return 0;
  return nt;
}
}  // namespace

std::uint32_t LoadedImageSize(platform::TModulePlatform& platform, std::uintptr_t module) {
  TImageFileHeader file{};
  const std::uintptr_t nt = NtHeadersOf(platform, module, file);
  if (nt == 0) return 0;
  if (file.Machine == kMachineAmd64) {
    TImageOptionalHeader64 h{};
    return ReadAt(platform, nt + 24, h) ? h.SizeOfImage : 0;
  }
  TImageOptionalHeader32 h{};
  return ReadAt(platform, nt + 24, h) ? h.SizeOfImage : 0;
}

void TVarnelModulesList::FillFromImage(TVarnelModuleInfo& info) {
  // Handles of resource-only loads carry flags in their two low bits.
  const std::uintptr_t base = info.Handle & ~static_cast<std::uintptr_t>(3);
  info.ModuleType = mtUnknown;
  TImageFileHeader file{};
  const std::uintptr_t nt = NtHeadersOf(FPlatform, base, file);
  if (nt == 0) return;
  const std::uintptr_t optional = nt + 24;
  std::uint32_t size_of_image = 0, base_of_code = 0, size_of_code = 0, base_of_data = 0, init_data = 0,
                uninit_data = 0;
  if (file.Machine == kMachineAmd64) {
    TImageOptionalHeader64 h{};
    if (!ReadAt(FPlatform, optional, h)) return;
    size_of_image = h.SizeOfImage;
    base_of_code = h.BaseOfCode;
    size_of_code = h.SizeOfCode;
  } else {
    TImageOptionalHeader32 h{};
    if (!ReadAt(FPlatform, optional, h)) return;
    size_of_image = h.SizeOfImage;
    base_of_code = h.BaseOfCode;
    size_of_code = h.SizeOfCode;
    base_of_data = h.BaseOfData;
    init_data = h.SizeOfInitializedData;
    uninit_data = h.SizeOfUninitializedData;
  }
  if ((file.Characteristics & 0x2000) == 0) {
    info.ModuleType = mtProgram;
  } else if (FPlatform.HasRcDataResource(info.Handle, L"PACKAGEINFO") &&
             FPlatform.HasRcDataResource(info.Handle, L"PACKAGEOPTIONS")) {
    info.ModuleType = mtPackage;
  } else {
    info.ModuleType = mtLibrary;
  }
  info.VirtualSize = size_of_image;

  TImageSectionHeader sections[2]{};
  const std::uintptr_t first_section = optional + file.SizeOfOptionalHeader;
  const int section_count = std::min<int>(file.NumberOfSections, 2);
  if (section_count > 0 &&
      !FPlatform.ReadMemory(first_section, sections, static_cast<std::uint32_t>(section_count * sizeof(sections[0])))) {
    return;
  }
  const TImageSectionHeader& s = sections[0];
  const bool s_code = section_count > 0 && (s.Characteristics & 0x20) != 0;
  // UPX packs the code into a first section that carries no code flag.
  const bool upx = section_count > 0 && (s.Characteristics & 0x7FFFFFFFu) == 0x60000080u &&
                   std::memcmp(s.Name, "UPX0", 5) == 0;
  if (s_code || upx) {
    info.CodeBegin = base + s.VirtualAddress;
    info.CodeEnd = info.CodeBegin + s.VirtualSize;
    if (s_code && section_count > 1 && (sections[1].Characteristics & 0x20) != 0) {
      info.CodeEnd = base + sections[1].VirtualAddress + sections[1].VirtualSize;
    }
  } else {
    info.CodeBegin = base + base_of_code;
    info.CodeEnd = info.CodeBegin + size_of_code;
  }
  if (base_of_data != 0) {
    info.DataBegin = base + base_of_data;
    info.DataEnd = info.DataBegin + init_data + uninit_data;
  }
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
  FillFromImage(*info);
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
  FInRefresh = true;
  try {
    RefreshUnlocked(false);
  } catch (...) {
    FInRefresh = false;
    throw;
  }
  FInRefresh = false;
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

TVarnelModulesListEx* GetModulesList() {
  if (TVarnelModulesListEx* list = g_modules_list->get(); list != nullptr || rt::IsShuttingDown) return list;
  TGlobalWriteLock write;
  if (*g_modules_list == nullptr && !rt::IsShuttingDown) {
    // Published before the refresh: the formatter's constructor asks for the
    // list, and modules found while refreshing may ask again.
    *g_modules_list = std::make_unique<TVarnelModulesListEx>();
    TVarnelModulesListEx& list = **g_modules_list;
    list.Refresh(true);
    if (auto* own = list.ModuleInfoByHandleEx(platform::ThisModuleBase());
        own != nullptr && own->ExtraInformation.Options) {
      list.Assign(*own->ExtraInformation.Options);
    }
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

TDateTime PackedFileDateToDateTime(std::uint32_t packed) noexcept {
  const int day = static_cast<int>(packed >> 16 & 0x1F);
  const int month = static_cast<int>(packed >> 21 & 0x0F);
  const int year = static_cast<int>(packed >> 25) + 1980;
  const int seconds = static_cast<int>(packed & 0x1F) * 2;
  const int minutes = static_cast<int>(packed >> 5 & 0x3F);
  const int hours = static_cast<int>(packed >> 11 & 0x1F);
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
      hours > 23 || minutes > 59 || seconds > 59) {
    return 0;
  }
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int days_since_1970 = era * 146097 + doe - 719468;
  return days_since_1970 + 25569.0 + (hours * 3600 + minutes * 60 + seconds) / 86400.0;
}

TDateTime ImageTimeStamp(platform::TModulePlatform& p, std::uintptr_t module) {
  const std::uintptr_t base = module & ~static_cast<std::uintptr_t>(3);
  TImageFileHeader file{};
  const std::uintptr_t nt = NtHeadersOf(p, base, file);
  if (nt == 0) return 0;
  TImageDataDirectory resources{};
  std::uint32_t directories = 0;
  if (file.Machine == kMachineAmd64) {
    if (file.TimeDateStamp != 0) return file.TimeDateStamp / 86400.0 + 25569.0;
    TImageOptionalHeader64 h{};
    if (!ReadAt(p, nt + 24, h)) return 0;
    directories = h.NumberOfRvaAndSizes;
    resources = h.DataDirectory[2];
  } else if (file.Machine == kMachineI386) {
    TImageOptionalHeader32 h{};
    if (!ReadAt(p, nt + 24, h)) return 0;
    directories = h.NumberOfRvaAndSizes;
    resources = h.DataDirectory[2];
  } else {
    return 0;
  }
  if (directories <= 1 || resources.VirtualAddress == 0 || resources.Size == 0) return 0;
  std::uint32_t packed = 0;
  if (!ReadAt(p, base + resources.VirtualAddress + 4, packed) || packed == 0) return 0;
  const TDateTime local = PackedFileDateToDateTime(packed);
  if (local == 0) return 0;
  const std::optional<std::int32_t> bias = p.TimeZoneBiasMinutes();
  return local + (bias ? *bias : 0) / 1440.0;
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
