#include "diagnostics/system/EProcesses.h"

#include <algorithm>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "platform/process.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {
namespace {

std::wstring Translated(const wchar_t* text) {
  const auto& hooks = OptionsHooks();
  return hooks.Translate ? hooks.Translate(text) : std::wstring(text);
}

// Undoes a privilege switch when the scope ends, also when the enumeration
// throws, but only a switch that this scope made.
class TPrivilegeScope {
 public:
  TPrivilegeScope(platform::TSystemFacts& facts, const wchar_t* name)
      : facts_(facts), name_(name), changed_(EnablePrivilege(facts, name_, true)) {}
  ~TPrivilegeScope() {
    if (changed_) EnablePrivilege(facts_, name_, false);
  }
  TPrivilegeScope(const TPrivilegeScope&) = delete;
  TPrivilegeScope& operator=(const TPrivilegeScope&) = delete;

 private:
  platform::TSystemFacts& facts_;
  std::wstring name_;
  bool changed_;
};

}  // namespace

std::uint32_t PriorityClassOfBasePriority(std::int32_t base) noexcept {
  if (base <= 0) return 0;
  if (base <= 5) return kIdlePriorityClass;
  if (base <= 7) return kBelowNormalPriorityClass;
  if (base <= 9) return kNormalPriorityClass;
  if (base <= 12) return kAboveNormalPriorityClass;
  if (base <= 23) return kHighPriorityClass;
  return kRealtimePriorityClass;
}

std::wstring PriorityText(std::uint32_t priority) {
  switch (priority) {
    case 0: return {};
    case kNormalPriorityClass: return Translated(L"Normal");
    case kIdlePriorityClass: return Translated(L"Low");
    case kHighPriorityClass: return Translated(L"High");
    case kRealtimePriorityClass: return Translated(L"Real-Time");
    case kBelowNormalPriorityClass: return Translated(L"Below-Normal");
    case kAboveNormalPriorityClass: return Translated(L"Above-Normal");
    default: return rt::Hex8(priority);
  }
}

std::wstring ThreadsText(std::uint32_t count) { return count == 0 ? Translated(L"??") : std::to_wstring(count); }

std::wstring DevicePathToDrivePath(std::wstring_view path, platform::TSystemFacts& facts) {
  // The device is "\Device\Name": everything before the third "\".
  std::size_t cut = std::wstring_view::npos;
  for (std::size_t i = 0, seen = 0; i < path.size(); ++i) {
    if (path[i] == L'\\' && ++seen == 3) {
      cut = i;
      break;
    }
  }
  const std::wstring_view device = path.substr(0, cut);
  const std::wstring_view rest = cut == std::wstring_view::npos ? std::wstring_view() : path.substr(cut);
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const wchar_t drive[3] = {letter, L':', L'\0'};
    if (EqualIgnoringCase(facts.DosDeviceName(drive), device)) return std::wstring(drive) + std::wstring(rest);
  }
  return {};
}

bool EnablePrivilege(platform::TSystemFacts& facts, const std::wstring& name, bool enable) {
  const platform::TPrivilegeChange change = facts.AdjustPrivilege(name, enable);
  // The platform leaves the privilege out of the previous state when it was
  // already as asked: only a reported, different previous state is a change
  // of ours to undo.
  return change.Succeeded && change.PreviousReported && change.PreviouslyEnabled != enable;
}

// ---- formatters ------------------------------------------------------------

TProcessesFormatter::TProcessesFormatter(TVarnelProcessesList* list) : FProcessesList(list) {
  AssignDefaults();
  if (const TVarnelModuleOptions* own = OwnModuleOptions()) Assign(*own);
  // The report names the table itself.
  CaptionHeader.clear();
}

void TProcessesFormatter::SetProcessesList(TVarnelProcessesList* list) noexcept {
  FProcessesList = list;
  Changed();
}

void TProcessesFormatter::AssignDefaults() {
  CaptionHeader = L"Processes Information";
  CaptionID = L"ID";
  CaptionName = L"Name";
  CaptionDescription = L"Description";
  CaptionVersion = L"Version";
  CaptionMemory = L"Memory";
  CaptionPriority = L"Priority";
  CaptionThreads = L"Threads";
  CaptionPath = L"Path";
  Changed();
}

void TProcessesFormatter::Assign(const TProcessesFormatter& source) {
  CaptionHeader = source.CaptionHeader;
  CaptionID = source.CaptionID;
  CaptionName = source.CaptionName;
  CaptionDescription = source.CaptionDescription;
  CaptionVersion = source.CaptionVersion;
  CaptionMemory = source.CaptionMemory;
  CaptionPriority = source.CaptionPriority;
  CaptionThreads = source.CaptionThreads;
  CaptionPath = source.CaptionPath;
  Changed();
}

void TProcessesFormatter::Assign(const TVarnelModuleOptions& options) {
  CaptionHeader = options.GetCustomizedTexts(mtDialog_ProcessesHeader);
  CaptionID = options.GetCustomizedTexts(mtProcesses_ID);
  CaptionName = options.GetCustomizedTexts(mtProcesses_Name);
  CaptionDescription = options.GetCustomizedTexts(mtProcesses_Description);
  CaptionVersion = options.GetCustomizedTexts(mtProcesses_Version);
  CaptionMemory = options.GetCustomizedTexts(mtProcesses_Memory);
  CaptionPriority = options.GetCustomizedTexts(mtProcesses_Priority);
  CaptionThreads = options.GetCustomizedTexts(mtProcesses_Threads);
  CaptionPath = options.GetCustomizedTexts(mtProcesses_Path);
  Changed();
}

namespace {
void RecordCells(const TVarnelProcessInfo& p, std::wstring (&cells)[8]) {
  const std::wstring name = NormaliseModuleFileName(p.Name, platform::SystemModulePlatform());
  cells[0] = std::to_wstring(p.ProcessID);
  cells[1] = ExtractFileNamePart(name);
  cells[2] = p.Description;
  cells[3] = p.Version;
  cells[4] = std::to_wstring(p.Memory);
  cells[5] = PriorityText(p.Priority);
  cells[6] = ThreadsText(p.Threads);
  cells[7] = ExtractFileDirPart(name);
}
}  // namespace

void TVarnelProcessesFormatter::Calculate() {
  if (FCalculated) return;
  int* widths[kColumns] = {&FMaxID,       &FMaxName,     &FMaxDescription, &FMaxVersion,
                           &FMaxMemory,   &FMaxPriority, &FMaxThreads,     &FMaxPath};
  const std::wstring* captions[kColumns] = {&CaptionID,     &CaptionName,     &CaptionDescription, &CaptionVersion,
                                            &CaptionMemory, &CaptionPriority, &CaptionThreads,     &CaptionPath};
  for (int c = 0; c < kColumns; ++c) *widths[c] = static_cast<int>(captions[c]->size());
  const int count = FProcessesList != nullptr ? FProcessesList->Count() : 0;
  for (int i = 0; i < count; ++i) {
    std::wstring cells[kColumns];
    RecordCells(FProcessesList->GetItem(i), cells);
    for (int c = 0; c < kColumns; ++c) *widths[c] = std::max(*widths[c], static_cast<int>(cells[c].size()));
  }
  FLineLen = kColumns + 1;
  for (int c = 0; c < kColumns; ++c) FLineLen += *widths[c];
  TProcessesFormatter::Calculate();
}

std::wstring TVarnelProcessesFormatter::Row(const std::wstring (&cells)[kColumns]) const {
  if (!FCalculated) throw rt::EAssertionFailed(L"Assertion failure (EProcesses): row before Calculate");
  const int widths[kColumns] = {FMaxID,     FMaxName,     FMaxDescription, FMaxVersion,
                                FMaxMemory, FMaxPriority, FMaxThreads,     FMaxPath};
  std::wstring row = L"|";
  for (int c = 0; c < kColumns; ++c) {
    row += TableCell(cells[c], widths[c]);
    row += L'|';
  }
  return row;
}

std::wstring TVarnelProcessesFormatter::GetItemText(int index) {
  Calculate();
  std::wstring cells[kColumns];
  RecordCells(FProcessesList->GetItem(index), cells);
  return Row(cells);
}

void TVarnelProcessesFormatter::SetText(const std::wstring&) { throw rt::EAssertionFailed(L"Not implemented"); }

const std::vector<std::wstring>& TVarnelProcessesFormatter::GetAsStrings() {
  if (!FModified) return FStr;
  Calculate();
  FStr.clear();
  const int count = FProcessesList != nullptr ? FProcessesList->Count() : 0;
  if (!CaptionHeader.empty()) FStr.push_back(CaptionHeader);
  const std::wstring rule(static_cast<std::size_t>(FLineLen), L'-');
  if (count > 0) {
    const std::wstring captions[kColumns] = {CaptionID,     CaptionName,     CaptionDescription, CaptionVersion,
                                             CaptionMemory, CaptionPriority, CaptionThreads,     CaptionPath};
    FStr.push_back(rule);
    FStr.push_back(Row(captions));
    FStr.push_back(rule);
    for (int i = 0; i < count; ++i) FStr.push_back(GetItemText(i));
  }
  if (count > 0 || !CaptionHeader.empty()) FStr.push_back(rule);
  FModified = false;
  return FStr;
}

// ---- the list --------------------------------------------------------------

TVarnelProcessesList::TVarnelProcessesList(platform::TSystemFacts& facts) : FFacts(facts) {}
TVarnelProcessesList::~TVarnelProcessesList() = default;

void TVarnelProcessesList::Assign(const TVarnelProcessesList& source) {
  if (&source == this) return;
  FProcesses = source.FProcesses;
  Changed();
}

void TVarnelProcessesList::Assign(const TVarnelModuleOptions& options) {
  Formatter().Assign(options);
  Changed();
}

void TVarnelProcessesList::Changed() {
  if (FFormatter) FFormatter->Changed();
}

int TVarnelProcessesList::Add(TVarnelProcessInfo process) {
  FProcesses.push_back(std::move(process));
  Changed();
  return Count() - 1;
}

void TVarnelProcessesList::Insert(int index, TVarnelProcessInfo process) {
  if (index < 0 || index > Count()) throw std::out_of_range("process index");
  FProcesses.insert(FProcesses.begin() + index, std::move(process));
  Changed();
}

void TVarnelProcessesList::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("process index");
  FProcesses.erase(FProcesses.begin() + index);
  Changed();
}

void TVarnelProcessesList::Clear() {
  FProcesses.clear();
  Changed();
}

void TVarnelProcessesList::Sort() {
  std::stable_sort(FProcesses.begin(), FProcesses.end(),
                   [](const TVarnelProcessInfo& a, const TVarnelProcessInfo& b) { return a.ProcessID < b.ProcessID; });
  Changed();
}

void TVarnelProcessesList::Complete(TVarnelProcessInfo& process) {
  const std::wstring exe_name = std::move(process.Name);
  process.Name.clear();
  constexpr platform::TImageNameWay kWays[] = {platform::TImageNameWay::FullImageName,
                                               platform::TImageNameWay::DeviceImageName,
                                               platform::TImageNameWay::MainModuleName};
  for (const platform::TImageNameWay way : kWays) {
    if (!process.Name.empty()) break;
    platform::TProcessFacts facts = FFacts.QueryProcess(process.ProcessID, way);
    if (!facts.Opened) continue;
    process.Priority = facts.PriorityClass;
    if (facts.WorkingSet) process.Memory = *facts.WorkingSet;
    process.Name = way == platform::TImageNameWay::DeviceImageName && !facts.ImageName.empty()
                       ? DevicePathToDrivePath(facts.ImageName, FFacts)
                       : std::move(facts.ImageName);
  }
  if (process.Name.empty()) process.Name = exe_name;
  if (process.Name.empty()) return;
  // Several processes often run one image (service hosts, device hosts):
  // its version resource is read once per refresh.
  for (const TVarnelProcessInfo& earlier : FProcesses) {
    if (earlier.Name == process.Name) {
      process.Description = earlier.Description;
      process.Version = earlier.Version;
      return;
    }
  }
  if (FFacts.FileExists(process.Name)) {
    const platform::TVersionResource version = FFacts.VersionResource(process.Name);
    process.Description = version.FileDescription;
    process.Version = ModuleVersionText(version);
  }
}

void TVarnelProcessesList::Refresh() {
  Clear();
  {
    const TPrivilegeScope debug_privilege(FFacts, L"SeDebugPrivilege");
    const std::optional<std::vector<std::uint32_t>> ids = FFacts.ProcessIds();
    const std::vector<platform::TProcessEntry> snapshot = FFacts.ProcessSnapshot();
    auto from_entry = [](TVarnelProcessInfo& p, const platform::TProcessEntry& e) {
      p.Name = e.ExeName;
      p.Threads = e.Threads;
      p.Priority = PriorityClassOfBasePriority(e.BasePriority);
    };
    if (ids && !ids->empty()) {
      FProcesses.reserve(ids->size());
      for (const std::uint32_t id : *ids) {
        TVarnelProcessInfo p;
        p.ProcessID = id;
        const auto entry = std::find_if(snapshot.begin(), snapshot.end(),
                                        [id](const platform::TProcessEntry& e) { return e.ProcessID == id; });
        if (entry != snapshot.end()) from_entry(p, *entry);
        Complete(p);
        FProcesses.push_back(std::move(p));
      }
    } else {
      FProcesses.reserve(snapshot.size());
      for (const platform::TProcessEntry& e : snapshot) {
        TVarnelProcessInfo p;
        p.ProcessID = e.ProcessID;
        from_entry(p, e);
        Complete(p);
        FProcesses.push_back(std::move(p));
      }
    }
  }
  Sort();
}

TProcessesFormatter& TVarnelProcessesList::Formatter() {
  if (!FFormatter) FFormatter = std::make_unique<TVarnelProcessesFormatter>(this);
  return *FFormatter;
}

void TVarnelProcessesList::SetFormatter(std::unique_ptr<TProcessesFormatter> formatter) {
  if (!formatter) return;
  FFormatter = std::move(formatter);
  FFormatter->SetProcessesList(this);
}

std::wstring ProcessesListToText(TVarnelProcessesList* list, const std::wstring& header) {
  if (list == nullptr) {
    TVarnelProcessesList empty;
    empty.Formatter().CaptionHeader = header;
    empty.Formatter().Changed();
    return empty.ToString();
  }
  if (header.empty()) return list->ToString();
  // The list's own caption comes back however the table ends.
  struct TCaptionSwap {
    TProcessesFormatter& formatter;
    std::wstring saved;
    ~TCaptionSwap() {
      formatter.CaptionHeader = std::move(saved);
      formatter.Changed();
    }
  } swap{list->Formatter(), std::move(list->Formatter().CaptionHeader)};
  swap.formatter.CaptionHeader = header;
  swap.formatter.Changed();
  return list->ToString();
}

}  // namespace zelvic::diag
