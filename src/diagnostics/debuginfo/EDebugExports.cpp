#include "diagnostics/debuginfo/EDebugExports.h"

#include "diagnostics/debuginfo/EUnmangling.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

// A resource string of the facility.
constexpr wchar_t kPossibleFormat[] = L"(possible %s%s%d)";

std::wstring PossibleText(const std::wstring& proc_name, std::int64_t distance) {
  std::wstring text = kPossibleFormat;
  const auto put = [&text](const std::wstring& value) {
    const std::size_t at = text.find(L'%');
    text.replace(at, 2, value);
    return at + value.size();
  };
  // Filled left to right; a "%" inside the name is past the cursor.
  std::size_t cursor = put(proc_name);
  const std::wstring sign = distance > 0 ? L"+" : L"";
  std::size_t at = text.find(L"%s", cursor);
  text.replace(at, 2, sign);
  cursor = at + sign.size();
  at = text.find(L"%d", cursor);
  text.replace(at, 2, std::to_wstring(distance));
  return text;
}

}  // namespace

bool IsInsideProcedure(const disasm::TMemoryAccess& memory, std::uintptr_t addr, std::uintptr_t start) noexcept {
  if (addr == start) return true;
  if (addr < 0x10000 || addr < start || addr - start >= 0x7FFFFFFE) return false;
  const auto first = static_cast<std::uint32_t>(start);
  const auto count = static_cast<std::uint32_t>(addr - start + 1);
  if (memory.CanRead(first, count, disasm::kCodeMask) != count) return false;
  std::uint32_t p = first;
  const auto stop = static_cast<std::uint32_t>(addr - 1);
  while (p < stop) {
    const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(memory, p, false);
    if (!ins.Valid || !ins.Readable || ins.End <= ins.Start) return false;
    if (ins.Map == 0) {
      const std::uint8_t op = ins.OpcodeByte;
      if (op == 0xC2 || op == 0xC3 || op == 0xCC) return false;
      if (ins.IsBranch && !ins.IsCall && (op == 0xE9 || op == 0xFF)) return false;
    }
    p = ins.End;
  }
  return true;
}

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
    info.DebugInfo = source;
    info.OffsetFromProcName = static_cast<std::int32_t>(addr - entry.Address);
    info.UnitName = entry.UnitName;
    info.ProcedureName = entry.ProcName;
    result = true;
    if (inside(addr, entry.Address)) break;
    const std::int64_t distance = static_cast<std::int64_t>(addr) - static_cast<std::int64_t>(entry.Address);
    if (distance > kMaxExportGuessDistance || -distance > kMaxExportGuessDistance) {
      result = false;
      continue;
    }
    info.ProcedureName = L" " + PossibleText(entry.ProcName, distance);
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

bool TVLDebugInfoExports::GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) {
  TModulesListGuard guard;
  if (!FCached) BuildNameCache();
  info.Clear();
  info.Address = addr;
  info.ProcOffsetLine = -1;
  info.OffsetFromProcName = 0;
  info.OffsetFromLineNumber = 0;
  // The registry confirmed this name for the module just before asking.
  info.BinaryFileName = LastFileName().empty() ? FileName() : LastFileName();
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
