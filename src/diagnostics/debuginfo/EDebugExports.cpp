#include "diagnostics/debuginfo/EDebugExports.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "diagnostics/debuginfo/EUnmangling.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

// A resource string of the facility.
constexpr wchar_t kPossibleFormat[] = L"(possible %s%s%d)";

// " " and the text, written over `out`: one lookup after another reuses its
// buffer. The directives take, in order, the routine's name, the sign and the
// distance; a "%" inside the name is not a directive.
void PutPossibleText(const std::wstring& proc_name, std::int64_t distance, std::wstring& out) {
  wchar_t digits[24];
  std::size_t digit_count = 0;
  {
    char narrow[24];
    const std::to_chars_result number = std::to_chars(narrow, narrow + sizeof narrow, distance);
    for (const char* c = narrow; c != number.ptr; ++c) digits[digit_count++] = static_cast<wchar_t>(*c);
  }
  const std::wstring_view format = kPossibleFormat;
  out.assign(1, L' ');
  std::size_t from = 0;
  for (int directive = 0; directive < 3; ++directive) {
    const std::size_t at = format.find(L'%', from);
    if (at == std::wstring_view::npos || at + 1 >= format.size()) break;
    out.append(format.substr(from, at - from));
    if (directive == 0) {
      out.append(proc_name);
    } else if (directive == 1) {
      if (distance > 0) out.push_back(L'+');
    } else {
      out.append(digits, digit_count);
    }
    from = at + 2;
  }
  out.append(format.substr(from));
}

// The fields an entry gives the record, whether or not it ends the scan.
void NameAfter(const TVLExportName& entry, std::uintptr_t addr, TVLDebugInfoSource* source, TVLLocationInfo& info) {
  info.DebugInfo = source;
  info.OffsetFromProcName = static_cast<std::int32_t>(addr - entry.Address);
  info.UnitName = entry.UnitName;
  info.ProcedureName = entry.ProcName;
}

void MarkPossible(const TVLExportName& entry, std::int64_t distance, TVLLocationInfo& info) {
  PutPossibleText(entry.ProcName, distance, info.ProcedureName);
}

}  // namespace

bool IsInsideProcedure(std::uintptr_t addr, std::uintptr_t start) noexcept {
  // One walk reads the same code pages over and over: a private view that
  // remembers its last regions spares a region query per instruction. It is
  // private because another thread may change protections between walks.
  const platform::TLiveMemory memory(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  return IsInsideProcedure(memory, addr, start);
}

bool LocateInExportNames(std::span<const TVLExportName> names, std::uintptr_t addr, const TInsideTest& inside,
                         TVLDebugInfoSource* source, TVLLocationInfo& info) {
  bool result = false;
  for (std::size_t i = names.size(); i-- > 0;) {
    const TVLExportName& entry = names[i];
    if (addr < entry.Address) continue;
    NameAfter(entry, addr, source, info);
    result = true;
    if (inside(addr, entry.Address)) break;
    const std::int64_t distance = static_cast<std::int64_t>(addr) - static_cast<std::int64_t>(entry.Address);
    if (distance > kMaxExportGuessDistance || -distance > kMaxExportGuessDistance) {
      result = false;
      continue;
    }
    MarkPossible(entry, distance, info);
    break;
  }
  return result;
}

TVLDebugInfoExports::~TVLDebugInfoExports() = default;

const TVLDebugInfoSourceClass TVLDebugInfoExports::Class = {L"TVLDebugInfoExports", true,
                                                            &MakeDebugInfoSource<TVLDebugInfoExports>};

bool TVLDebugInfoExports::InitializeSource() {
  FBorImage = std::make_unique<TVLPeBorImage>(true);
  FBorImage->AttachLoadedModule(FModule, FileName());
  if (!FBorImage->StatusOK()) return false;
  TVLPeExportFuncList& exports = FBorImage->ExportList();
  for (int i = 0; i < exports.Count(); ++i) {
    const TVLPeExportFuncItem* item = exports.GetItems(i);
    if (item != nullptr && !item->Name().empty()) return true;
  }
  return false;
}

void TVLDebugInfoExports::BuildNameCache() {
  FCached = true;
  FNames.clear();
  if (!FBorImage || !FBorImage->StatusOK()) return;
  TVLPeExportFuncList& exports = FBorImage->ExportList();
  exports.SortList(esAddress, false);
  FNames.reserve(static_cast<std::size_t>(exports.Count()));
  for (int i = 0; i < exports.Count(); ++i) {
    const TVLPeExportFuncItem* item = exports.GetItems(i);
    // A forwarder's address is its text in the export directory, not code.
    if (item == nullptr || item->Name().empty() || item->IsForwarded()) continue;
    TVLExportName entry;
    UnmangleName(item->Name(), entry.UnitName, entry.ProcName);
    entry.Address = disasm::FollowJumpThunk(LiveMemory(), static_cast<std::uint32_t>(FModule + item->Address()));
    FNames.push_back(std::move(entry));
  }
}

const std::vector<TVLExportName>& TVLDebugInfoExports::Names() {
  TModulesListGuard guard;
  if (!FCached) BuildNameCache();
  return FNames;
}

void TVLDebugInfoExports::StartRecord(std::uintptr_t addr, TVLLocationInfo& info) const {
  info.Clear();
  info.Address = addr;
  info.ProcOffsetLine = -1;
  info.OffsetFromProcName = 0;
  info.OffsetFromLineNumber = 0;
  // The registry confirmed this name for the module just before asking.
  // Copied into the record's buffer, not through a temporary.
  if (LastFileName().empty()) {
    info.BinaryFileName = FileName();
  } else {
    info.BinaryFileName = LastFileName();
  }
}

const TVLExportIndex& TVLDebugInfoExports::Index(std::uint32_t generation) {
  if (FIndexGeneration == generation && FIndex.Built()) return FIndex;
  // Unusable until complete: a failure while building leaves no index.
  FIndexGeneration = 0;
  std::uint32_t image_end = static_cast<std::uint32_t>(FModule);
  if (FBorImage && FBorImage->StatusOK() && FBorImage->Target() == taWin32) {
    image_end = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{FModule} + FBorImage->OptionalHeader32().SizeOfImage, 0xFFFFFFFFull));
  }
  const platform::TLiveMemory memory(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  FIndex.Build(FNames, memory, LiveMemory().Space(), static_cast<std::uint32_t>(FModule), image_end);
  FIndexGeneration = generation;
  return FIndex;
}

bool TVLDebugInfoExports::GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) {
  TModulesListGuard guard;
  if (!FCached) BuildNameCache();
  // Read before the index is built: a load meanwhile makes it look old.
  const std::uint32_t generation = Platform().LoaderGeneration();
  if (generation == 0) return ScanLocationInfo(addr, info);
  const TVLExportIndex& index = Index(generation);
  StartRecord(addr, info);
  // Only consulted for what the index did not learn.
  const platform::TLiveMemory live(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  const TExportHit hit = index.Locate(FNames, addr, live);
  if (hit.Entry < 0) return false;
  const TVLExportName& entry = FNames[static_cast<std::size_t>(hit.Entry)];
  NameAfter(entry, addr, this, info);
  if (hit.Answered && !hit.Inside) {
    MarkPossible(entry, static_cast<std::int64_t>(addr) - static_cast<std::int64_t>(entry.Address), info);
  }
  return hit.Answered;
}

bool TVLDebugInfoExports::ScanLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) {
  TModulesListGuard guard;
  if (!FCached) BuildNameCache();
  StartRecord(addr, info);
  // One view with a region cache for the whole scan: an address that is not
  // inside its nearest export makes the scan test entry after entry.
  const platform::TLiveMemory memory(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  return LocateInExportNames(
      FNames, addr, [&memory](std::uintptr_t a, std::uintptr_t s) { return IsInsideProcedure(memory, a, s); }, this,
      info);
}

void EDebugExportsInit() { RegisterDebugInfoSource(&TVLDebugInfoExports::Class); }

void EDebugExportsDone() {
  // From here on no registry of the facility is made anew.
  rt::IsShuttingDown = 1;
  UnRegisterDebugInfoSource(&TVLDebugInfoExports::Class);
}

}  // namespace zelvic::diag
