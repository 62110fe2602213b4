// The export source's index: it must name every address exactly as the scan
// over live memory does. Checked on hand-made code (entries out of address
// order, aliases, routines longer than the guess distance, walks cut short),
// on the real system libraries under Wine, and across loader generations.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugExports.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EExportIndex.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "platform/memory_access.h"
#include "platform/modules.h"

namespace zelvic::diag {
namespace {

std::uintptr_t ToAddr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Keeps the loader watch on for a test: without a generation nothing is kept
// and every lookup scans.
class LoaderWatchScope {
 public:
  LoaderWatchScope() { started_ = platform::StartLoaderWatch(); }
  ~LoaderWatchScope() {
    if (started_) platform::StopLoaderWatch();
  }
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

// ------------------------------------------------------------ region snapshot --

// Regions laid end to end from `first`, counting the questions asked.
class ListedRegions : public disasm::TRegionQuery {
 public:
  std::vector<disasm::TRegionInfo> Regions;
  mutable int Asked = 0;
  bool QueryRegion(std::uint32_t address, disasm::TRegionInfo& info) const override {
    ++Asked;
    for (const disasm::TRegionInfo& r : Regions) {
      if (address >= r.BaseAddress && address - r.BaseAddress < r.RegionSize) {
        info = r;
        return true;
      }
    }
    return false;
  }
};

TEST(ExportIndexRegions, SnapshotAnswersWhatItKeptAndAsksForTheRest) {
  ListedRegions inner;
  inner.Regions = {{0x10000, 0x1000, disasm::kMemCommit, disasm::kPageReadOnly},
                   {0x11000, 0x3000, disasm::kMemCommit, disasm::kPageExecuteRead},
                   {0x14000, 0x1000, disasm::kMemCommit, disasm::kPageReadWrite},
                   {0x15000, 0x2000, disasm::kMemCommit, disasm::kPageExecuteRead}};
  TRegionSnapshot snapshot(inner);
  snapshot.Capture(0x10000, 0x15000);
  EXPECT_EQ(snapshot.Count(), 3u);
  const int asked_while_capturing = inner.Asked;

  disasm::TRegionInfo info;
  ASSERT_TRUE(snapshot.QueryRegion(0x12345, info));
  EXPECT_EQ(info.BaseAddress, 0x11000u);
  EXPECT_EQ(info.RegionSize, 0x3000u);
  EXPECT_EQ(info.Protect, disasm::kPageExecuteRead);
  ASSERT_TRUE(snapshot.QueryRegion(0x14FFF, info));
  EXPECT_EQ(info.Protect, disasm::kPageReadWrite);
  EXPECT_EQ(inner.Asked, asked_while_capturing);
  // Past the kept range: the inner query answers.
  ASSERT_TRUE(snapshot.QueryRegion(0x15010, info));
  EXPECT_EQ(info.BaseAddress, 0x15000u);
  EXPECT_EQ(inner.Asked, asked_while_capturing + 1);
  EXPECT_FALSE(snapshot.QueryRegion(0x30000, info));

  // A hole stops the capture; what follows it is asked for later.
  inner.Regions.erase(inner.Regions.begin() + 2);
  snapshot.Capture(0x10000, 0x17000);
  EXPECT_EQ(snapshot.Count(), 2u);
}

// ------------------------------------------------------------ hand-made code --

constexpr std::uint32_t kBase = 0x00400000;
constexpr std::uint32_t kSize = 0x6000;

// One executable region over the buffer, as the buffer memory sees it.
class BufferRegions : public disasm::TRegionQuery {
 public:
  bool QueryRegion(std::uint32_t address, disasm::TRegionInfo& info) const override {
    if (address < kBase || address - kBase >= kSize) return false;
    info = {kBase, kSize, disasm::kMemCommit, disasm::kPageExecuteRead};
    return true;
  }
};

// Code with long runs: a 12 KiB routine, a second one cut by a jump, short
// routines between them and breakpoint filler.
std::vector<std::uint8_t> HandMadeCode() {
  std::vector<std::uint8_t> code(kSize, 0xCC);
  std::fill(code.begin(), code.begin() + 0x3000, 0x90);
  code[0x3000] = 0xC3;
  const std::uint8_t small[] = {0x55, 0x8B, 0xEC, 0x90, 0x90, 0x5D, 0xC3};
  std::memcpy(code.data() + 0x3001, small, sizeof small);
  std::fill(code.begin() + 0x3100, code.begin() + 0x5800, 0x90);
  const std::uint8_t jump[] = {0xE9, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(code.data() + 0x4000, jump, sizeof jump);
  code[0x5800] = 0xC3;
  return code;
}

// In export order, deliberately not in address order.
std::vector<TVLExportName> HandMadeNames() {
  return {{kBase + 0x0000, L"", L"Long"},  {kBase + 0x3100, L"", L"Tail"},   {kBase + 0x0800, L"", L"Inner"},
          {kBase + 0x3001, L"", L"Small"}, {kBase + 0x3001, L"", L"Alias"},  {kBase + 0x5000, L"", L"Late"},
          {kBase + 0x0100, L"", L"Early"}, {kBase - 0x0100, L"", L"Before"}, {kBase + 0x5F00, L"", L"Filler"}};
}

struct Outcomes {
  int inside_far = 0, possible = 0, unnamed = 0;
};

// The index's answer against the scan's for one address; the scan decides
// every entry by decoding the buffer.
void ExpectSameAsScan(const TVLExportIndex& index, std::span<const TVLExportName> names,
                      const disasm::TBufferMemory& memory, std::uintptr_t addr, Outcomes& seen) {
  SCOPED_TRACE(testing::Message() << "address +0x" << std::hex << static_cast<std::int64_t>(addr) - kBase);
  TVLLocationInfo scan;
  const bool named = LocateInExportNames(
      names, addr, [&memory](std::uintptr_t a, std::uintptr_t s) { return IsInsideProcedure(memory, a, s); },
      nullptr, scan);
  const TExportHit hit = index.Locate(names, addr, memory);
  ASSERT_EQ(hit.Answered, named);
  if (hit.Entry < 0) {
    EXPECT_TRUE(scan.ProcedureName.empty());
    return;
  }
  const TVLExportName& entry = names[static_cast<std::size_t>(hit.Entry)];
  EXPECT_EQ(scan.OffsetFromProcName, static_cast<std::int32_t>(addr - entry.Address));
  const bool possible = scan.ProcedureName.starts_with(L" (possible ");
  if (named) {
    EXPECT_EQ(hit.Inside, !possible);
    EXPECT_NE(scan.ProcedureName.find(entry.ProcName), std::wstring::npos) << "scan named " << scan.ProcedureName;
    if (possible) ++seen.possible;
    if (hit.Inside && addr - entry.Address > kMaxExportGuessDistance) ++seen.inside_far;
  } else {
    EXPECT_EQ(scan.ProcedureName, entry.ProcName);
    ++seen.unnamed;
  }
}

TEST(ExportIndexHandMade, EveryAddressNamedAsTheScanNamesIt) {
  const std::vector<std::uint8_t> code = HandMadeCode();
  const std::vector<TVLExportName> names = HandMadeNames();
  const disasm::TBufferMemory memory(code.data(), code.size(), kBase);
  const BufferRegions regions;
  const disasm::TAddressSpace space;
  std::vector<std::uintptr_t> addresses;
  for (std::uintptr_t a = kBase - 0x40; a < kBase + kSize + 0x40; a += 29) addresses.push_back(a);
  // The edges: each entry, the guess distance from it, and the ends of the
  // walks.
  for (const TVLExportName& n : names) {
    for (const std::int64_t d : {0, 1, 2, 3, 10239, 10240, 10241, 10242}) addresses.push_back(n.Address + d);
  }
  for (const std::uint32_t end : {0x3000u, 0x3001u, 0x3002u, 0x4000u, 0x4001u, 0x4002u, 0x5800u, 0x5801u}) {
    addresses.push_back(kBase + end);
  }
  // A walk limit far above every routine, and one that leaves the long
  // routines open so that the live decoder decides past it.
  for (const std::uint32_t limit : {TVLExportIndex::kRoutineWalkLimit, 0x400u}) {
    SCOPED_TRACE(testing::Message() << "walk limit 0x" << std::hex << limit);
    TVLExportIndex index(regions);
    index.Build(names, memory, space, kBase, kBase + kSize, limit);
    EXPECT_EQ(index.Regions().Count(), 1u);
    Outcomes seen;
    for (const std::uintptr_t a : addresses) ExpectSameAsScan(index, names, memory, a, seen);
    // The sample reaches every kind of answer.
    EXPECT_GT(seen.inside_far, 0);
    EXPECT_GT(seen.possible, 0);
    EXPECT_GT(seen.unnamed, 0);
  }
}

TEST(ExportIndexHandMade, AnEmptyTableNamesNothing) {
  const std::vector<std::uint8_t> code = HandMadeCode();
  const disasm::TBufferMemory memory(code.data(), code.size(), kBase);
  const BufferRegions regions;
  TVLExportIndex index(regions);
  index.Build({}, memory, {}, kBase, kBase + kSize);
  const TExportHit hit = index.Locate({}, kBase + 0x10, memory);
  EXPECT_FALSE(hit.Answered);
  EXPECT_EQ(hit.Entry, -1);
}

// ------------------------------------------------------------ system libraries --

// The indexed answer against the scan's, field by field.
void ExpectSameRecord(TVLDebugInfoExports& source, std::uintptr_t addr, int& named) {
  TVLLocationInfo fast, slow;
  const bool fast_named = source.GetLocationInfo(addr, fast);
  const bool slow_named = source.ScanLocationInfo(addr, slow);
  SCOPED_TRACE(testing::Message() << "address 0x" << std::hex << addr);
  ASSERT_EQ(fast_named, slow_named);
  EXPECT_EQ(fast.ProcedureName, slow.ProcedureName);
  EXPECT_EQ(fast.UnitName, slow.UnitName);
  EXPECT_EQ(fast.OffsetFromProcName, slow.OffsetFromProcName);
  EXPECT_EQ(fast.DebugInfo, slow.DebugInfo);
  EXPECT_EQ(fast.Address, slow.Address);
  EXPECT_EQ(fast.BinaryFileName, slow.BinaryFileName);
  EXPECT_EQ(fast.ProcOffsetLine, slow.ProcOffsetLine);
  named += fast_named ? 1 : 0;
}

std::uint32_t ImageSize(std::uintptr_t base) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + static_cast<std::uintptr_t>(dos->e_lfanew));
  return nt->OptionalHeader.SizeOfImage;
}

TEST(ExportIndexLive, SystemLibrariesAreNamedAsTheScanNamesThem) {
  LoaderWatchScope watch;
  ASSERT_TRUE(watch.Started());
  for (const wchar_t* library : {L"kernel32.dll", L"ntdll.dll", L"user32.dll", L"kernelbase.dll", L"gdi32.dll"}) {
    SCOPED_TRACE(testing::Message() << "library " << std::string(library, library + std::wcslen(library)));
    const auto base = ToAddr(LoadLibraryW(library));
    ASSERT_NE(base, 0u);
    TVLDebugInfoExports source(base);
    ASSERT_TRUE(source.InitializeSource());
    const std::vector<TVLExportName>& names = source.Names();
    ASSERT_FALSE(names.empty());
    std::vector<std::uintptr_t> addresses;
    // Around every entry, near and at the guess distance...
    for (const TVLExportName& n : names) {
      for (const std::uintptr_t d : {0u, 3u, 40u, 10240u, 10241u}) addresses.push_back(n.Address + d);
    }
    // ...and spread over the whole image, headers and data included (the
    // scan is slow far from every entry: it decodes from each one below).
    const std::uint32_t size = ImageSize(base);
    for (std::uintptr_t a = base; a < base + size; a += 1009) addresses.push_back(a);
    int named = 0;
    for (const std::uintptr_t a : addresses) ExpectSameRecord(source, a, named);
    EXPECT_GT(named, 0);
    EXPECT_EQ(source.IndexGeneration(), platform::SystemModulePlatform().LoaderGeneration());
  }
}

TEST(ExportIndexLive, WithoutALoaderGenerationEveryLookupScans) {
  const auto base = ToAddr(GetModuleHandleW(L"kernel32.dll"));
  TVLDebugInfoExports source(base);
  ASSERT_TRUE(source.InitializeSource());
  if (platform::SystemModulePlatform().LoaderGeneration() != 0) GTEST_SKIP() << "another user keeps the watch on";
  int named = 0;
  ExpectSameRecord(source, source.Names().front().Address + 3, named);
  EXPECT_EQ(source.IndexGeneration(), 0u);
}

// Keeps the process's registry to the export source for a test.
class ExportsOnlyScope {
 public:
  ExportsOnlyScope() {
    auto& list = TVLDebugInfoList::NeedInfoSourceClassList();
    saved_ = list;
    list = {&TVLDebugInfoExports::Class};
    ClearDebugInfoSources();
  }
  ~ExportsOnlyScope() {
    ClearDebugInfoSources();
    TVLDebugInfoList::NeedInfoSourceClassList() = saved_;
  }

 private:
  std::vector<const TVLDebugInfoSourceClass*> saved_;
};

TEST(ExportIndexLive, ALoadOrUnloadDropsTheIndex) {
  LoaderWatchScope watch;
  ASSERT_TRUE(watch.Started());
  ExportsOnlyScope scope;
  platform::TModulePlatform& system = platform::SystemModulePlatform();
  ASSERT_EQ(GetModuleHandleW(L"wldap32.dll"), nullptr) << "needs a library the process has not loaded";

  // Addresses a few bytes into some of the library's exports, and the source
  // the registry makes for it.
  const auto probe = [](HMODULE library) {
    std::vector<std::uintptr_t> addresses;
    for (const char* name : {"ldap_initW", "ldap_bind_sW", "ldap_search_sW", "ldap_unbind", "ber_free"}) {
      const auto p = ToAddr(reinterpret_cast<const void*>(GetProcAddress(library, name)));
      if (p == 0) continue;
      for (const std::uintptr_t d : {0u, 4u, 9u, 30u}) addresses.push_back(p + d);
    }
    return addresses;
  };
  const auto source_of = [](HMODULE library) {
    return static_cast<TVLDebugInfoExports*>(DebugInfoList()->GetItemFromModule(ToAddr(library)));
  };
  const auto expect_as_scanned = [](TVLDebugInfoExports& source, const std::vector<std::uintptr_t>& addresses) {
    for (const std::uintptr_t a : addresses) {
      TVLLocationInfo looked_up, scanned;
      const bool found = LookupLocationInfo(a, looked_up);
      ASSERT_EQ(found, source.ScanLocationInfo(a, scanned)) << std::hex << a;
      if (!found) continue;
      CompleteLocationInfo(scanned);
      EXPECT_EQ(looked_up.ProcedureName, scanned.ProcedureName) << std::hex << a;
      EXPECT_EQ(looked_up.OffsetFromProcName, scanned.OffsetFromProcName) << std::hex << a;
      EXPECT_EQ(looked_up.DebugInfo, &source);
    }
  };

  HMODULE library = LoadLibraryW(L"wldap32.dll");
  ASSERT_NE(library, nullptr);
  std::vector<std::uintptr_t> addresses = probe(library);
  ASSERT_FALSE(addresses.empty());
  TVLDebugInfoExports* source = source_of(library);
  ASSERT_NE(source, nullptr);
  expect_as_scanned(*source, addresses);
  const std::uint32_t first = source->IndexGeneration();
  EXPECT_EQ(first, system.LoaderGeneration());

  // Another library comes and goes: the same source builds anew.
  HMODULE other = LoadLibraryW(L"mpr.dll");
  ASSERT_NE(other, nullptr);
  FreeLibrary(other);
  ASSERT_NE(system.LoaderGeneration(), first);
  expect_as_scanned(*source, addresses);
  EXPECT_EQ(source->IndexGeneration(), system.LoaderGeneration());
  EXPECT_NE(source->IndexGeneration(), first);

  // The library itself unloaded and loaded again: whichever source answers
  // was built under the new generation, and answers as the scan does.
  FreeLibrary(library);
  ASSERT_EQ(GetModuleHandleW(L"wldap32.dll"), nullptr);
  library = LoadLibraryW(L"wldap32.dll");
  ASSERT_NE(library, nullptr);
  addresses = probe(library);
  expect_as_scanned(*source_of(library), addresses);
  EXPECT_EQ(source_of(library)->IndexGeneration(), system.LoaderGeneration());
  FreeLibrary(library);
}

}  // namespace
}  // namespace zelvic::diag
