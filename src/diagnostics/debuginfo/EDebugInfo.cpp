#include "diagnostics/debuginfo/EDebugInfo.h"

#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"

#include "diagnostics/debuginfo/EUnmangling.h"
#include "platform/image_help.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string_view>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/util/EFatalReportText.h"
#include "platform/process.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"
#include "runtime/never_destroyed.h"
#include "runtime/thread_storage.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

// ------------------------------------------------------------ text helpers --

std::wstring HexNoZeros(std::uint32_t value) {
  std::wstring s = rt::Hex8(value);
  const std::size_t first = s.find_first_not_of(L'0');
  return first == std::wstring::npos ? L"0" : s.substr(first);
}

std::wstring PaddedRight(std::wstring s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), L' ');
  return s;
}

// ---------------------------------------------------------- nesting counts --

// A counter lives in its thread's slot as the value itself, so counting
// never allocates.
class TNestingCounter {
 public:
  // Reading takes no slot: a thread that never counted is at 0, and asking
  // (the creation hook asks at every thread start) must not cost the
  // process a TLS index.
  std::uint32_t Get() noexcept {
    return slot_.IsReady() ? static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(slot_.Slot().Get())) : 0;
  }
  void Free() noexcept { slot_.Release(); }
  void Set(std::uint32_t value) noexcept {
    if (slot_.Ready()) slot_.Slot().Set(reinterpret_cast<void*>(static_cast<std::uintptr_t>(value)));
  }
  void Add(std::int32_t delta) noexcept {
    if (!slot_.Ready()) return;
    const auto v = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(slot_.Slot().Get()));
    slot_.Slot().Set(reinterpret_cast<void*>(static_cast<std::uintptr_t>(v + static_cast<std::uint32_t>(delta))));
  }

 private:
  rt::TLazyThreadSlot slot_;
};

TNestingCounter g_facility_nesting;
TNestingCounter g_threads_nesting;

// --------------------------------------------------------------- registries --

// Ended by the unit's shut-down, never by static destruction: other threads
// and other modules' detach may still look up while the process exits.
using TClassList = std::vector<const TVLDebugInfoSourceClass*>;
constinit rt::TNeverDestroyed<std::unique_ptr<TClassList>> g_class_list;
constinit rt::TNeverDestroyed<std::unique_ptr<TVLDebugInfoList>> g_source_list_owner;
// The owner's list as lookups read it, without a lock.
std::atomic<TVLDebugInfoList*> g_source_list{nullptr};

rt::TStepFailureHandler g_previous_handler = nullptr;
TMicrosoftUndecorator g_previous_undecorator = nullptr;
TFilterLocationLookup g_previous_filter_lookup = nullptr;

void DebugInfoInitDoneErrorHandler(rt::TStepProc step, const wchar_t* step_name) {
  const std::wstring message = rt::CurrentExceptionMessage(L"General internal error.");
  // Our own exception classes record where they were raised; anything else is
  // placed at the step that failed.
  void* address = rt::CurrentExceptionAddress();
  if (address == nullptr) address = reinterpret_cast<void*>(step);
  if (platform::IsDebuggerAttached()) platform::BreakIntoDebugger();
  rt::ShowFatalStepReport(DebugInfoFailureReport(message, step_name, reinterpret_cast<std::uintptr_t>(address)));
}

}  // namespace

// ------------------------------------------------------------------ record --

void TVLLocationInfo::Clear() noexcept {
  // A lookup clears the record at each level it passes; the test keeps the
  // second and third clearing of a text from calling into the library.
  const auto clear = [](std::wstring& text) noexcept {
    if (!text.empty()) text.clear();
  };
  Address = 0;
  Offset = 0;
  Module = 0;
  clear(ModuleName);
  ModuleType = mtUnknown;
  clear(UnitName);
  clear(ClassName);
  clear(ProcedureName);
  OffsetFromProcName = 0;
  ProcOffsetLine = 0;
  LineNumber = 0;
  OffsetFromLineNumber = 0;
  clear(SourceName);
  DebugInfo = nullptr;
  clear(BinaryFileName);
  DebugDetail = ddNone;
}

bool TVLLocationInfo::IsEmpty() const noexcept {
  return Address == 0 && Offset == 0 && Module == 0 && ModuleName.empty() && ModuleType == mtUnknown &&
         UnitName.empty() && ClassName.empty() && ProcedureName.empty() && OffsetFromProcName == 0 &&
         ProcOffsetLine == 0 && LineNumber == 0 && OffsetFromLineNumber == 0 && SourceName.empty() &&
         DebugInfo == nullptr && BinaryFileName.empty() && DebugDetail == ddNone;
}

// ------------------------------------------------------------------ source --

TVLDebugInfoSource::TVLDebugInfoSource(std::uintptr_t module) : FModule(module), FLastFileName(FileName()) {}

TVLDebugInfoSource::~TVLDebugInfoSource() {
  if (NotifyDelete.Code != nullptr) NotifyDelete.Code(NotifyDelete.Data, this);
}

platform::TModulePlatform& TVLDebugInfoSource::Platform() noexcept { return platform::SystemModulePlatform(); }

std::wstring TVLDebugInfoSource::GetUnitInfoByAddr(std::uintptr_t addr) {
  TVLLocationInfo info;
  return GetLocationInfo(addr, info) ? info.UnitName : std::wstring();
}

std::wstring TVLDebugInfoSource::FileName() const {
  return FModule == 0 ? std::wstring() : Platform().ModuleFileName(FModule);
}

bool TVLDebugInfoSource::StillLoaded() { return StillLoadedAs(FileName()); }

bool TVLDebugInfoSource::StillLoadedAs(const std::wstring& current_file_name) {
  if (FLastFileName.empty()) {
    FLastFileName = current_file_name;
    return true;
  }
  return SameFileName(current_file_name, FLastFileName);
}

void TVLDebugInfoSource::DestroySource() {
  if (FOwner != nullptr) FOwner->DestroySource(this);
}

const TVLDebugInfoSourceClass TEmptyDebugInfoSource::Class = {L"TEmptyDebugInfoSource", true,
                                                              &MakeDebugInfoSource<TEmptyDebugInfoSource>};

// -------------------------------------------------------------------- list --

TVLDebugInfoList::TVLDebugInfoList(platform::TModulePlatform& platform) : FPlatform(platform) {}

TVLDebugInfoList::~TVLDebugInfoList() { Clear(); }

void TVLDebugInfoList::Lock() noexcept { ModulesListLock().Enter(); }
void TVLDebugInfoList::Unlock() noexcept { ModulesListLock().Leave(); }

void TVLDebugInfoList::Clear() {
  TModulesListGuard guard;
  Forget(nullptr);
  // One at a time, each out of the list before its destructor runs: the
  // destructor calls the source's NotifyDelete listener, which may read the
  // list.
  while (!FItems.empty()) {
    std::unique_ptr<TVLDebugInfoSource> item = std::move(FItems.back());
    FItems.pop_back();
    item->FOwner = nullptr;
  }
}

TVLDebugInfoSource* TVLDebugInfoList::GetItems(int index) const {
  return index >= 0 && index < Count() ? FItems[static_cast<std::size_t>(index)].get() : nullptr;
}

void TVLDebugInfoList::DestroySource(TVLDebugInfoSource* source) {
  std::unique_ptr<TVLDebugInfoSource> gone;
  {
    TModulesListGuard guard;
    const auto at = std::find_if(FItems.begin(), FItems.end(), [source](const std::unique_ptr<TVLDebugInfoSource>& item) {
      return item.get() == source;
    });
    if (at == FItems.end()) return;
    Forget(source);
    gone = std::move(*at);
    FItems.erase(at);
    gone->FOwner = nullptr;
  }
  // Destroyed outside the lock: nothing can reach it any more.
}

std::unique_ptr<TVLDebugInfoSource> TVLDebugInfoList::CreateSource(std::uintptr_t module) {
  // Copied: a class may register another while it is being asked.
  const std::vector<const TVLDebugInfoSourceClass*> classes = NeedInfoSourceClassList();
  for (const bool heuristic : {false, true}) {
    for (const TVLDebugInfoSourceClass* c : classes) {
      if (c == nullptr || c->Create == nullptr || c->Heuristic != heuristic) continue;
      std::unique_ptr<TVLDebugInfoSource> source = c->Create(module);
      if (source != nullptr && source->InitializeSource()) return source;
    }
  }
  return TEmptyDebugInfoSource::Class.Create(module);
}

TVLDebugInfoSource* TVLDebugInfoList::GetItemFromModule(std::uintptr_t module) {
  if (module == 0) return nullptr;
  // One read of the module's name serves both tests: loaded at all, and
  // still the module a source was made for.
  const std::wstring file_name = FPlatform.ModuleFileName(module);
  if (file_name.empty()) return nullptr;
  TModulesListGuard guard;
  for (const std::unique_ptr<TVLDebugInfoSource>& item : FItems) {
    if (item->Module() == module && item->StillLoadedAs(file_name)) {
      return &item->SourceClass() == &TEmptyDebugInfoSource::Class ? nullptr : item.get();
    }
  }
  std::unique_ptr<TVLDebugInfoSource> made = CreateSource(module);
  TVLDebugInfoSource* source = made.get();
  FItems.push_back(std::move(made));
  source->FOwner = this;
  return &source->SourceClass() == &TEmptyDebugInfoSource::Class ? nullptr : source;
}

TVLDebugInfoList::TKnownModule* TVLDebugInfoList::FindKnown(std::uintptr_t addr, std::uint32_t generation) noexcept {
  for (TKnownModule& known : FKnown) {
    if (known.Generation == generation && known.Base <= addr && addr < known.End) return &known;
  }
  return nullptr;
}


TVLDebugInfoList::TKnownModule* TVLDebugInfoList::Remember(std::uintptr_t module, TVLDebugInfoSource* source,
                                                           std::uint32_t generation) {
  const std::uint32_t size = LoadedImageSize(FPlatform, module);
  if (size == 0 || module + size < module) return nullptr;
  TKnownModule& known = FKnown[FKnownNext];
  FKnownNext = (FKnownNext + 1) % FKnown.size();
  known.Generation = 0;  // invalid until complete
  known.FileName = FPlatform.ModuleFileName(module);
  // Only a source made for the module as it is now may skip the name test.
  // A module without a source is remembered as such: its name was read just
  // before, and asking again at every lookup finds the same empty answer.
  if (known.FileName.empty()) return nullptr;
  if (source != nullptr && !SameFileName(known.FileName, source->LastFileName())) return nullptr;
  known.Base = module;
  known.End = module + size;
  known.Source = source;
  known.Type = mtUnknown;
  known.Generation = generation;
  return &known;
}

void TVLDebugInfoList::Forget(const TVLDebugInfoSource* source) noexcept {
  for (TKnownModule& known : FKnown) {
    // A module without a source may get one once a source goes.
    if (source == nullptr || known.Source == source || known.Source == nullptr) known.Generation = 0;
  }
}

bool TVLDebugInfoList::GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) {
  TThreadsNesting nesting;
  TModulesListGuard guard;
  info.Clear();
  // Read before anything is learnt: a module loaded meanwhile makes what is
  // learnt now look old, never the other way round.
  const std::uint32_t generation = FPlatform.LoaderGeneration();
  TKnownModule* known = generation != 0 ? FindKnown(addr, generation) : nullptr;
  const std::uintptr_t module = known != nullptr ? known->Base : FPlatform.AllocationBase(addr);
  if (module == 0) {
    info.Address = addr;
    return false;
  }
  if (FPasswordChanged) {
    TVarnelModulesListEx* modules = ExistingModulesList();
    TVarnelModuleInfoEx* record = modules ? modules->ModuleInfoByHandleEx(module) : nullptr;
    if (record != nullptr && record->ExtraInformation.Encrypted) {
      FPasswordChanged = false;
      // Through a copy: a reset may ask for the password, and whatever runs
      // meanwhile may look up and so add sources.
      std::vector<TVLDebugInfoSource*> items;
      items.reserve(FItems.size());
      for (const std::unique_ptr<TVLDebugInfoSource>& item : FItems) items.push_back(item.get());
      for (TVLDebugInfoSource* item : items) item->ResetPassword();
    }
  }
  TVLDebugInfoSource* source = nullptr;
  if (known != nullptr) {
    source = known->Source;
  } else {
    source = GetItemFromModule(module);
    if (generation != 0) known = Remember(module, source, generation);
  }
  const bool found = source != nullptr && source->GetLocationInfo(addr, info);
  if (!found) {
    info.Clear();
    info.Address = addr;
  }
  if (known != nullptr) {
    // What the completion would ask the platform and the module list for,
    // found or not: an address no source names still lies in the module.
    if (info.Module == 0) info.Module = known->Base;
    if (info.ModuleName.empty()) info.ModuleName = known->FileName;
    if (known->Type == mtUnknown) {
      // Only a list that exists: making one takes the global lock, which
      // must not be taken inside the module list's lock.
      if (TVarnelModulesListEx* modules = ExistingModulesList()) {
        if (const TVarnelModuleInfo* record = modules->ModuleInfoByHandle(known->Base)) known->Type = record->ModuleType;
      }
    }
    if (info.ModuleType == mtUnknown && info.Module == known->Base) info.ModuleType = known->Type;
  }
  return found;
}

std::wstring TVLDebugInfoList::GetUnitInfoByAddr(std::uintptr_t addr) {
  TThreadsNesting nesting;
  TModulesListGuard guard;
  TVLDebugInfoSource* source = GetItemFromModule(FPlatform.AllocationBase(addr));
  return source ? source->GetUnitInfoByAddr(addr) : std::wstring();
}

std::vector<const TVLDebugInfoSourceClass*>& TVLDebugInfoList::NeedInfoSourceClassList() {
  TModulesListGuard guard;
  std::unique_ptr<TClassList>& classes = *g_class_list;
  if (classes == nullptr) classes = std::make_unique<TClassList>();
  return *classes;
}

void TVLDebugInfoList::RegisterDebugInfoSource(const TVLDebugInfoSourceClass* source_class) {
  TModulesListGuard guard;
  auto& list = NeedInfoSourceClassList();
  if (std::find(list.begin(), list.end(), source_class) == list.end()) list.push_back(source_class);
}

void TVLDebugInfoList::RegisterDebugInfoSourceFirst(const TVLDebugInfoSourceClass* source_class) {
  TModulesListGuard guard;
  auto& list = NeedInfoSourceClassList();
  if (std::find(list.begin(), list.end(), source_class) == list.end()) list.insert(list.begin(), source_class);
}

void TVLDebugInfoList::UnRegisterDebugInfoSource(const TVLDebugInfoSourceClass* source_class) {
  TModulesListGuard guard;
  if (TClassList* classes = g_class_list->get()) {
    classes->erase(std::remove(classes->begin(), classes->end(), source_class), classes->end());
  }
}

// ------------------------------------------------------------ process-wide --

void RegisterDebugInfoSource(const TVLDebugInfoSourceClass* c) { TVLDebugInfoList::RegisterDebugInfoSource(c); }
void RegisterDebugInfoSourceFirst(const TVLDebugInfoSourceClass* c) {
  TVLDebugInfoList::RegisterDebugInfoSourceFirst(c);
}
void UnRegisterDebugInfoSource(const TVLDebugInfoSourceClass* c) { TVLDebugInfoList::UnRegisterDebugInfoSource(c); }

TVLDebugInfoList* DebugInfoList() {
  TVLDebugInfoList* list = g_source_list.load(std::memory_order_acquire);
  if (list != nullptr || rt::IsShuttingDown) return list;
  TGlobalWriteLock lock;
  TModulesListGuard guard;
  list = g_source_list.load(std::memory_order_acquire);
  if (list == nullptr && !rt::IsShuttingDown) {
    *g_source_list_owner = std::make_unique<TVLDebugInfoList>();
    list = g_source_list_owner->get();
    g_source_list.store(list, std::memory_order_release);
  }
  return list;
}

void ClearDebugInfoSources() {
  TGlobalWriteLock lock;
  TModulesListGuard guard;
  if (TVLDebugInfoList* list = g_source_list.load(std::memory_order_acquire)) list->Clear();
}

bool LookupLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) noexcept {
  info.Clear();
  TFacilityNesting nesting;
  bool result = false;
  try {
    TVLDebugInfoList* list = DebugInfoList();
    if (list == nullptr) {
      info.Address = addr;
      info.DebugDetail = ddNone;
      return false;
    }
    result = list->GetLocationInfo(addr, info);
  } catch (...) {
    // Lookups run while something else already went wrong (reports, hooks,
    // filters): a source that fails answers "not found".
    info.Clear();
    info.Address = addr;
    result = false;
  }
  try {
    CompleteLocationInfo(info);
  } catch (...) {
    // Out of memory while naming: the record keeps what it has.
  }
  return result;
}

std::wstring LookupUnitName(std::uintptr_t addr) noexcept {
  TFacilityNesting nesting;
  try {
    TVLDebugInfoList* list = DebugInfoList();
    return list ? list->GetUnitInfoByAddr(addr) : std::wstring();
  } catch (...) {
    // As LookupLocationInfo: a failing source knows no unit.
    return {};
  }
}

// ------------------------------------------------------------ completion --

void CompleteLocationInfo(TVLLocationInfo& info, platform::TModulePlatform& platform) {
  // The names are completed in this order because each rule reads what the
  // ones before it settled. First the module: the allocation holding the
  // address, when that is a loaded module.
  if (info.Module == 0 && info.Address != 0) {
    const std::uintptr_t base = platform.AllocationBase(info.Address);
    if (base != 0 && !platform.ModuleFileName(base).empty()) info.Module = base;
  }
  if (info.Offset == 0 && info.Module != 0 && info.Module < info.Address) info.Offset = info.Address - info.Module;
  if (info.ModuleName.empty() && info.Module != 0) info.ModuleName = platform.ModuleFileName(info.Module);
  if (info.ModuleType == mtUnknown && info.Module != 0) {
    if (TVarnelModulesListEx* modules = rt::IsShuttingDown ? ExistingModulesList() : GetModulesList()) {
      TModulesListGuard guard;
      if (const TVarnelModuleInfo* record = modules->ModuleInfoByHandle(info.Module)) {
        info.ModuleType = record->ModuleType;
      }
    }
  }
  if (info.BinaryFileName.empty()) info.BinaryFileName = info.ModuleName;
  // The steps below change only a name with a dot or a colon; one plain
  // pass spares the searches for the many that have none (exported C names).
  const bool qualified = std::any_of(info.ProcedureName.begin(), info.ProcedureName.end(),
                                     [](wchar_t c) { return c == L'.' || c == L':'; });
  // A qualified routine name without a unit: its first part is the unit.
  if (qualified && info.UnitName.empty()) {
    if (const std::size_t dot = info.ProcedureName.find(L'.'); dot != std::wstring::npos) {
      info.UnitName = Trim(std::wstring_view(info.ProcedureName).substr(0, dot));
      info.ProcedureName = Trim(std::wstring_view(info.ProcedureName).substr(dot + 1));
    }
  }
  // C++ scopes read as the facility's dotted names.
  if (qualified) ReplaceAll(info.ProcedureName, L"::", L".");
  // What is still qualified names the class.
  if (qualified && info.ClassName.empty()) {
    if (const std::size_t dot = info.ProcedureName.find(L'.'); dot != std::wstring::npos) {
      info.ClassName = Trim(std::wstring_view(info.ProcedureName).substr(0, dot));
      info.ProcedureName = Trim(std::wstring_view(info.ProcedureName).substr(dot + 1));
    }
  }
  // A routine without unit or source belongs to the binary. Texts are
  // assigned from views: a record reused for a call stack keeps its buffers.
  if (!info.ProcedureName.empty() && info.UnitName.empty() && info.SourceName.empty()) {
    info.SourceName.assign(FileNamePartOf(info.BinaryFileName));
    info.UnitName.assign(StemOf(info.SourceName));
  }
  // Source and unit complete each other: a unit without a source is a
  // Pascal unit of that name; a missing unit, or one spelt as the source
  // with a known source extension, becomes the source's name without it.
  if (info.SourceName != info.UnitName && !info.UnitName.empty()) {
    if (info.SourceName.empty()) info.SourceName = info.UnitName + L".pas";
  } else {
    const std::wstring_view ext = ExtractFileExtPart(info.SourceName);
    if (info.UnitName.empty() || ext == L".pas" || ext == L".dpr" || ext == L".c" || ext == L".cpp" ||
        ext == L".inc") {
      info.UnitName.assign(StemOf(info.SourceName));
    }
  }
  // A routine named after its unit is the unit's start-up code.
  if (!info.UnitName.empty() && (info.UnitName == info.ClassName || info.ClassName.empty()) &&
      info.UnitName == info.ProcedureName && info.UnitName != L"DllMain" && info.UnitName != L"dllmain") {
    info.ClassName.clear();
    info.ProcedureName = L"Initialization";
  }
  // The line's distance from the routine's first line, when the source did
  // not give it: the line at the routine's start is looked up.
  if (info.LineNumber != 0 && info.ProcOffsetLine < 0) {
    const std::uintptr_t start = info.Address - static_cast<std::uintptr_t>(info.OffsetFromProcName);
    TVLLocationInfo first;
    bool found = false;
    if (info.DebugInfo != nullptr) {
      try {
        found = info.DebugInfo->GetLocationInfo(start, first);
      } catch (...) {
        // A failing source only costs the line offset.
        found = false;
      }
    } else {
      found = LookupLocationInfo(start, first);
    }
    info.ProcOffsetLine =
        found && first.LineNumber > 0 && first.LineNumber < info.LineNumber ? info.LineNumber - first.LineNumber : 0;
  }
  // How much the location says: its most detailed fact.
  if (info.LineNumber != 0) info.DebugDetail = ddSourceCode;
  else if (!info.ProcedureName.empty()) info.DebugDetail = ddProcedure;
  else if (!info.UnitName.empty()) info.DebugDetail = ddUnit;
  else if (!info.BinaryFileName.empty()) info.DebugDetail = ddModule;
  else info.DebugDetail = ddNone;
}

// ------------------------------------------------------------- formatting --

std::wstring ComposeName(const std::wstring& class_name, const std::wstring& method_name) {
  return class_name.empty() ? method_name : class_name + L"." + method_name;
}

std::wstring FormatLocationInfo(const TVLLocationInfo& info, bool show_module, bool show_byte_offset, bool show_line,
                                bool show_address, bool show_offset, bool show_line_offset) {
  const std::wstring address = rt::Hex8(static_cast<std::uint32_t>(info.Address));
  std::wstring text;
  if (info.DebugDetail != ddNone) {
    std::wstring unit = info.UnitName;
    if (unit.empty() && (!info.ClassName.empty() || !info.ProcedureName.empty())) {
      unit = WithoutExtension(ExtractFileNamePart(info.ModuleName));
    }
    std::wstring name = ComposeName(info.ClassName, info.ProcedureName);
    if (!info.UnitName.empty() && name.starts_with(info.UnitName + L".")) {
      name.erase(0, info.UnitName.size() + 1);
    } else if (!unit.empty() && name.starts_with(unit + L".")) {
      name.erase(0, unit.size() + 1);
    }
    if (!name.empty() && name[0] != L' ') name = L"." + name;
    const std::wstring at = show_address ? L"[" + address + L"] " : L"";
    if (info.LineNumber > 0 && show_line) {
      const std::wstring lines = show_line_offset ? L" + " + std::to_wstring(info.ProcOffsetLine) : L"";
      std::wstring bytes;
      if (show_byte_offset) {
        bytes = info.OffsetFromLineNumber < 0
                    ? L" - $" + HexNoZeros(static_cast<std::uint32_t>(-static_cast<std::int64_t>(info.OffsetFromLineNumber)))
                    : L" + $" + HexNoZeros(static_cast<std::uint32_t>(info.OffsetFromLineNumber));
      }
      text = at + unit + name + L" (Line " + std::to_wstring(static_cast<std::uint32_t>(info.LineNumber)) + L", \"" +
             info.SourceName + L"\"" + lines + L")" + bytes;
    } else {
      const std::wstring bytes =
          show_byte_offset ? L" + $" + HexNoZeros(static_cast<std::uint32_t>(info.OffsetFromProcName)) : L"";
      text = at + unit + name + bytes;
    }
  } else if (show_address) {
    text = L"[" + address + L"]";
    show_offset = true;
  }
  if (show_offset) text = L"(" + rt::Hex8(static_cast<std::uint32_t>(info.Offset)) + L") " + text;
  if (show_module) {
    const std::wstring module = L"{" + PaddedRight(ExtractFileNamePart(info.ModuleName), 12) + L"}";
    text.insert(show_offset ? 11 : 0, module);
  }
  return text;
}

std::wstring LocationInfoText(std::uintptr_t addr) noexcept {
  try {
    TVLLocationInfo info;
    LookupLocationInfo(addr, info);
    return FormatLocationInfo(info, true, true, true, true, true, false);
  } catch (...) {
    // Used inside fatal reports: no memory for the text gives an empty one.
    return {};
  }
}

std::wstring DebugInfoFailureReport(const std::wstring& message, const wchar_t* step_name, std::uintptr_t address) {
  return WithReportFooter(message + L"\r\n\r\n" + std::wstring(step_name ? step_name : L"") + L" (Location: " +
                              LocationInfoText(address) + L")\r\n\r\n",
                          L"EDebugInfo.DebugInfoInitDoneErrorHandler");
}

// ----------------------------------------------------------------- nesting --

std::uint32_t FacilityNestingCount() noexcept { return g_facility_nesting.Get(); }
std::uint32_t ThreadsNestingCount() noexcept { return g_threads_nesting.Get(); }
void SetThreadsNestingCount(std::uint32_t value) noexcept { g_threads_nesting.Set(value); }
void ReleaseNestingCounts() noexcept {
  g_facility_nesting.Free();
  g_threads_nesting.Free();
}
TFacilityNesting::TFacilityNesting() noexcept { g_facility_nesting.Add(1); }
TFacilityNesting::~TFacilityNesting() { g_facility_nesting.Add(-1); }
TThreadsNesting::TThreadsNesting() noexcept { g_threads_nesting.Add(1); }
TThreadsNesting::~TThreadsNesting() { g_threads_nesting.Add(-1); }

void LookupFilterLocation(std::uintptr_t address, TFilterLocation& location) {
  TVLLocationInfo info;
  (void)LookupLocationInfo(address, info);
  location.ModuleName = std::move(info.ModuleName);
  location.UnitName = std::move(info.UnitName);
  location.ClassName = std::move(info.ClassName);
  location.ProcedureName = std::move(info.ProcedureName);
}

// -------------------------------------------------------------------- unit --

void EDebugInfoInit() {
  g_previous_handler = rt::StepFailureHandler;
  rt::StepFailureHandler = DebugInfoInitDoneErrorHandler;
  g_previous_undecorator = SetMicrosoftUndecorator(platform::UndecorateMicrosoftName);
  g_previous_filter_lookup = FilterLocationLookup;
  FilterLocationLookup = LookupFilterLocation;
  // Lets the source list keep module facts between lookups.
  platform::StartLoaderWatch();
  DebugInfoList();
}

void EDebugInfoDone() {
  rt::StepFailureHandler = g_previous_handler;
  g_previous_handler = nullptr;
  SetMicrosoftUndecorator(g_previous_undecorator);
  g_previous_undecorator = nullptr;
  FilterLocationLookup = g_previous_filter_lookup;
  g_previous_filter_lookup = nullptr;
  TGlobalWriteLock lock;
  TModulesListGuard guard;
  // Unpublished before it is destroyed.
  g_source_list.store(nullptr, std::memory_order_release);
  g_source_list_owner->reset();
  // The class list stays while classes are registered: their units stop
  // after this one.
  if (*g_class_list != nullptr && (*g_class_list)->empty()) g_class_list->reset();
  platform::StopLoaderWatch();
}

namespace {
TNameHook g_name_hook = nullptr;
}  // namespace

TNameHook SetNameHook(TNameHook hook) noexcept {
  const TNameHook old = g_name_hook;
  g_name_hook = hook;
  return old;
}

std::wstring PrepareName(const std::wstring& name, bool has_encrypted_data) {
  return g_name_hook != nullptr ? g_name_hook(name, has_encrypted_data) : name;
}

bool IsEncryptedName(const std::wstring& name) noexcept {
  return name.size() > 2 && name[0] == L'?' && name[1] == L'p';
}

}  // namespace zelvic::diag
