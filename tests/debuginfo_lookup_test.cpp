// The location lookup: the export-table source against Wine's modules and
// _zelvic.dll, the source registry with hand-made source classes, the naming
// rules, the printed forms, the name unmangler and the per-thread counters.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/image_help.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugExports.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EDebugVLScanner.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/debuginfo/EUnmangling.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "runtime/hex_text.h"
#include "runtime/unit_lifecycle.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

std::uintptr_t ToAddr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::wstring FilePart(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

std::wstring ModulePath(std::uintptr_t base) {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(base), buf, MAX_PATH);
  return std::wstring(buf, n);
}

std::uintptr_t AllocationBaseOf(std::uintptr_t addr) {
  MEMORY_BASIC_INFORMATION mbi{};
  VirtualQuery(reinterpret_cast<void*>(addr), &mbi, sizeof mbi);
  return ToAddr(mbi.AllocationBase);
}

// Keeps the process's registry as the test found it: only the classes a test
// registers are asked, and no source outlives the test.
class RegistryScope {
 public:
  explicit RegistryScope(std::vector<const TVLDebugInfoSourceClass*> classes) {
    auto& list = TVLDebugInfoList::NeedInfoSourceClassList();
    saved_ = list;
    list = std::move(classes);
    ClearDebugInfoSources();
  }
  ~RegistryScope() {
    ClearDebugInfoSources();
    TVLDebugInfoList::NeedInfoSourceClassList() = saved_;
  }

 private:
  std::vector<const TVLDebugInfoSourceClass*> saved_;
};

// ===================================================== export-table source ==

class DebugInfoLookupExports : public ::testing::Test {
 protected:
  RegistryScope scope_{{&TVLDebugInfoExports::Class}};
};

// The code of kernel32's CreateFileW: Wine's kernel32 entry may be a stub
// that jumps to kernelbase, and the lookup names the code it reaches.
std::uintptr_t CreateFileWCode() {
  const auto stub = ToAddr(reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
  return disasm::FollowJumpThunk(LiveMemory(), static_cast<std::uint32_t>(stub));
}

TEST_F(DebugInfoLookupExports, KernelCreateFileWResolvesThroughExportTable) {
  const std::uintptr_t code = CreateFileWCode();
  ASSERT_NE(code, 0u);
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(code, info));
  const std::uintptr_t module = AllocationBaseOf(code);
  const std::wstring file = FilePart(ModulePath(module));
  EXPECT_EQ(info.ProcedureName, L"CreateFileW");
  EXPECT_EQ(info.ClassName, L"");
  EXPECT_EQ(info.OffsetFromProcName, 0);
  EXPECT_EQ(info.Address, code);
  EXPECT_EQ(info.Module, module);
  EXPECT_EQ(info.Offset, code - module);
  EXPECT_EQ(FilePart(info.ModuleName), file);
  EXPECT_EQ(info.BinaryFileName, info.ModuleName);
  // No unit in an export name: the binary stands for it.
  EXPECT_EQ(info.SourceName, file);
  EXPECT_EQ(info.UnitName, file.substr(0, file.rfind(L'.')));
  EXPECT_EQ(info.LineNumber, 0);
  EXPECT_EQ(info.ProcOffsetLine, -1);
  EXPECT_EQ(info.DebugDetail, ddProcedure);
  ASSERT_NE(info.DebugInfo, nullptr);
  EXPECT_EQ(&info.DebugInfo->SourceClass(), &TVLDebugInfoExports::Class);
  EXPECT_EQ(info.ModuleType, mtLibrary);
}

TEST_F(DebugInfoLookupExports, AddressAFewInstructionsIntoAnExportGivesTheOffset) {
  const std::uintptr_t code = CreateFileWCode();
  // Two whole instructions in, checked to be neither a return nor a jump away.
  std::uint32_t at = static_cast<std::uint32_t>(code);
  for (int i = 0; i < 2; ++i) {
    const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(LiveMemory(), at);
    ASSERT_TRUE(ins.Valid);
    ASSERT_FALSE(ins.IsBranch && !ins.IsCall);
    ASSERT_NE(ins.OpcodeByte, 0xC3);
    at = ins.End;
  }
  const std::int32_t offset = static_cast<std::int32_t>(at - code);
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(at, info));
  EXPECT_EQ(info.ProcedureName, L"CreateFileW");
  EXPECT_EQ(info.OffsetFromProcName, offset);
  const std::wstring text = FormatLocationInfo(info, false, true, true, false, false, false);
  EXPECT_EQ(text, info.UnitName + L".CreateFileW + $" + std::to_wstring(offset));  // offset < 10: one digit
}

TEST_F(DebugInfoLookupExports, JumpStubEntriesAreFollowedToTheirCode) {
  const auto kernel32 = ToAddr(GetModuleHandleW(L"kernel32.dll"));
  TVLDebugInfoExports source(kernel32);
  ASSERT_TRUE(source.InitializeSource());
  TVLPeImage image;
  image.AttachLoadedModule(kernel32);
  ASSERT_TRUE(image.StatusOK());
  std::vector<std::pair<std::wstring, std::uintptr_t>> expected;
  int stubs = 0;
  for (int i = 0; i < image.ExportList().Count(); ++i) {
    const TVLPeExportFuncItem* item = image.ExportList().GetItems(i);
    if (item->Name().empty() || item->IsForwarded()) continue;
    const std::uint32_t entry = static_cast<std::uint32_t>(kernel32 + item->Address());
    const std::uint32_t followed = disasm::FollowJumpThunk(LiveMemory(), entry);
    if (followed != entry) ++stubs;
    expected.emplace_back(item->Name(), followed);
  }
  ASSERT_GT(stubs, 0) << "kernel32 has no jump stubs to follow";
  const std::vector<TVLExportName>& names = source.Names();
  ASSERT_EQ(names.size(), expected.size());
  for (const auto& [name, address] : expected) {
    auto it = std::find_if(names.begin(), names.end(), [&](const TVLExportName& n) { return n.ProcName == name; });
    ASSERT_NE(it, names.end()) << std::string(name.begin(), name.end());
    EXPECT_EQ(it->Address, address) << std::string(name.begin(), name.end());
  }
}

TEST_F(DebugInfoLookupExports, ZelvicFragmentExportIsNamed) {
  HMODULE lib = LoadLibraryW(test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  const auto entry = ToAddr(reinterpret_cast<const void*>(GetProcAddress(lib, "Ondrel_55F22C7D_1_Iii1i1111I")));
  ASSERT_NE(entry, 0u);
  const std::uintptr_t code = disasm::FollowJumpThunk(LiveMemory(), static_cast<std::uint32_t>(entry));
  TVLLocationInfo info;
  EXPECT_TRUE(LookupLocationInfo(code, info));
  EXPECT_EQ(info.ProcedureName, L"Ondrel_55F22C7D_1_Iii1i1111I");
  EXPECT_EQ(info.UnitName, L"_zelvic");
  EXPECT_EQ(info.SourceName, L"_zelvic.dll");
  EXPECT_EQ(info.Module, ToAddr(lib));
  EXPECT_EQ(info.DebugDetail, ddProcedure);
  EXPECT_EQ(LocationInfoText(code), L"(" + rt::Hex8(static_cast<std::uint32_t>(code - ToAddr(lib))) +
                                        L") {_zelvic.dll }[" + rt::Hex8(static_cast<std::uint32_t>(code)) +
                                        L"] _zelvic.Ondrel_55F22C7D_1_Iii1i1111I + $0");
  ClearDebugInfoSources();
  FreeLibrary(lib);
}

TEST_F(DebugInfoLookupExports, AddressInNoModuleHoldsOnlyTheAddress) {
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  ASSERT_NE(page, nullptr);
  for (const std::uintptr_t addr : {ToAddr(page) + 16, std::uintptr_t{0x10}, std::uintptr_t{0}}) {
    TVLLocationInfo info;
    EXPECT_FALSE(LookupLocationInfo(addr, info));
    EXPECT_EQ(info.DebugDetail, ddNone);
    EXPECT_EQ(info.Address, addr);
    info.Address = 0;
    EXPECT_TRUE(info.IsEmpty()) << std::hex << addr;
    EXPECT_EQ(FormatLocationInfo(info, false, true, true, false, false, false), L"");
  }
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(DebugInfoLookupExports, ModuleWithoutExportsGivesTheModuleOnly) {
  // The test program exports nothing: no class accepts it.
  const auto code = ToAddr(reinterpret_cast<const void*>(&CreateFileWCode));
  const std::uintptr_t module = AllocationBaseOf(code);
  TVLLocationInfo info;
  EXPECT_FALSE(LookupLocationInfo(code, info));
  EXPECT_EQ(info.DebugDetail, ddModule);
  EXPECT_EQ(info.Module, module);
  EXPECT_EQ(info.Offset, code - module);
  EXPECT_EQ(info.ModuleName, ModulePath(module));
  EXPECT_EQ(info.BinaryFileName, info.ModuleName);
  EXPECT_EQ(info.ProcedureName, L"");
  EXPECT_EQ(info.UnitName, L"");
  EXPECT_EQ(info.DebugInfo, nullptr);
  EXPECT_EQ(LookupUnitName(code), L"");
}

struct ThreadLookups {
  std::uintptr_t code = 0;
  int wrong = 0;
};

DWORD WINAPI LookUpManyTimes(void* arg) {
  auto* job = static_cast<ThreadLookups*>(arg);
  for (int i = 0; i < 200; ++i) {
    TVLLocationInfo info;
    if (!LookupLocationInfo(job->code + (i % 3), info) || info.ProcedureName != L"CreateFileW" ||
        info.OffsetFromProcName != i % 3) {
      ++job->wrong;
    }
  }
  return 0;
}

TEST_F(DebugInfoLookupExports, ThreadsLookingUpAtOnceShareOneSourcePerModule) {
  ThreadLookups jobs[4];
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) {
    jobs[i].code = CreateFileWCode();
    threads[i] = CreateThread(nullptr, 0, LookUpManyTimes, &jobs[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (int i = 0; i < 4; ++i) {
    CloseHandle(threads[i]);
    EXPECT_EQ(jobs[i].wrong, 0) << "thread " << i;
  }
  EXPECT_EQ(DebugInfoList()->Count(), 1);
}

// ------------------------------------------------------- the export scan --

struct ScanCase {
  const char* what;
  std::vector<TVLExportName> names;
  std::uintptr_t addr;
  bool inside;
  bool answer;
  const wchar_t* proc;  // when answered
  std::int32_t offset;
};

TEST(DebugInfoLookupExportScan, NamesTheNearestLowerExportWithinTheLimit) {
  const std::vector<TVLExportName> two = {{0x20000, L"", L"Alpha"}, {0x30000, L"", L"Beta"}};
  const ScanCase cases[] = {
      {"inside", two, 0x30010, true, true, L"Beta", 0x10},
      {"at entry", two, 0x30000, true, true, L"Beta", 0},
      {"100 past, not inside", two, 0x30064, false, true, L" (possible Beta+100)", 100},
      {"10240 past", two, 0x30000 + 10240, false, true, L" (possible Beta+10240)", 10240},
      {"10241 past", two, 0x30000 + 10241, false, false, nullptr, 0},
      {"below every export", two, 0x1FFFF, true, false, nullptr, 0},
      // Followed stubs break the order: the scan goes on past an entry that is
      // too far to one that is near.
      {"next lower entry", {{0x25000, L"", L"Near"}, {0x10000, L"", L"Far"}}, 0x25100, false, true,
       L" (possible Near+256)", 0x100},
      {"percent in name", {{0x20000, L"", L"A%sB"}}, 0x20002, false, true, L" (possible A%sB+2)", 2},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.what);
    TVLLocationInfo info;
    const bool inside = c.inside;
    const bool answer = LocateInExportNames(c.names, c.addr, [inside](std::uintptr_t, std::uintptr_t) { return inside; },
                                            nullptr, info);
    EXPECT_EQ(answer, c.answer);
    if (c.answer) {
      EXPECT_EQ(info.ProcedureName, c.proc);
      EXPECT_EQ(info.OffsetFromProcName, c.offset);
    }
  }
}

TEST(DebugInfoLookupExportScan, PossibleNamePrintsRightAfterTheUnit) {
  TVLLocationInfo info;
  info.Address = 0x7B401064;
  info.ModuleName = L"C:\\windows\\system32\\kernel32.dll";
  info.BinaryFileName = info.ModuleName;
  info.UnitName = L"kernel32";
  info.SourceName = L"kernel32.dll";
  info.ProcedureName = L" (possible CreateFileW+100)";
  info.OffsetFromProcName = 100;
  info.DebugDetail = ddProcedure;
  EXPECT_EQ(FormatLocationInfo(info, false, true, true, true, false, false),
            L"[7B401064] kernel32 (possible CreateFileW+100) + $64");
}

struct InsideCase {
  const char* what;
  std::vector<std::uint8_t> code;
  std::uint32_t addr_offset;
  bool inside;
};

TEST(DebugInfoLookupExportScan, IsInsideProcedureDecodesFromTheStart) {
  constexpr std::uint32_t kBase = 0x00400000;
  const InsideCase cases[] = {
      {"plain body", {0x55, 0x8B, 0xEC, 0x90, 0x90, 0x90, 0x5D, 0xC3}, 6, true},
      {"at the start", {0xC3}, 0, true},
      {"past a return", {0x55, 0x90, 0xC3, 0x90, 0x90, 0x90}, 5, false},
      {"past ret imm16", {0x90, 0xC2, 0x08, 0x00, 0x90, 0x90, 0x90}, 6, false},
      {"past a breakpoint", {0x90, 0xCC, 0x90, 0x90, 0x90}, 4, false},
      {"past a near jump", {0xE9, 0x00, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90}, 7, false},
      {"past a jump through a pointer", {0xFF, 0x25, 0x00, 0x10, 0x40, 0x00, 0x90, 0x90}, 7, false},
      {"over a short jump", {0xEB, 0x00, 0x90, 0x90, 0x90}, 4, true},
      {"over a conditional jump", {0x74, 0x00, 0x90, 0x90, 0x90}, 4, true},
      {"over a call", {0xE8, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xD0, 0x90, 0x90}, 8, true},
      // Decoding stops before Addr - 1: a return there is not reached.
      {"return just before", {0x90, 0x90, 0xC3, 0x90}, 3, true},
      {"end past the bytes", {0x90, 0x90}, 16, false},
  };
  for (const InsideCase& c : cases) {
    SCOPED_TRACE(c.what);
    disasm::TBufferMemory memory(c.code.data(), c.code.size(), kBase);
    EXPECT_EQ(IsInsideProcedure(memory, kBase + c.addr_offset, kBase), c.inside);
  }
  const std::uint8_t nops[4] = {0x90, 0x90, 0x90, 0x90};
  disasm::TBufferMemory low(nops, 4, 0x1000);
  EXPECT_FALSE(IsInsideProcedure(low, 0x1002, 0x1000));  // below 0x10000
  disasm::TBufferMemory mem(nops, 4, kBase);
  EXPECT_FALSE(IsInsideProcedure(mem, kBase, kBase + 2));  // before the start
}

TEST(DebugInfoLookupExportScan, IsInsideProcedureNeedsExecutableBytes) {
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(page, nullptr);
  std::memset(page, 0x90, 64);
  const auto start = ToAddr(page);
  EXPECT_FALSE(IsInsideProcedure(start + 8, start));
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_EXECUTE_READ, &old));
  EXPECT_TRUE(IsInsideProcedure(start + 8, start));
  VirtualFree(page, 0, MEM_RELEASE);
}

// =============================================================== registry ==

// Hand-made sources over the test program's own module.
struct FakeState {
  int created = 0;
  int destroyed = 0;
  std::vector<std::wstring> asked;  // class names, in asking order
  std::uint32_t facility_nesting = 0, threads_nesting = 0;
  std::uint32_t nested_facility = 0, nested_threads = 0, after_nested = 0;
  bool throw_in_lookup = false;
  bool stale_first = false;  // the first source sees another file name
  std::uintptr_t nested_lookup = 0;
};
FakeState g_fake;

template <bool Accept, bool Heuristic, int Tag>
class FakeSource : public TVLDebugInfoSource {
 public:
  explicit FakeSource(std::uintptr_t module) : TVLDebugInfoSource(module) {
    if (g_fake.stale_first && g_fake.created == 0) FLastFileName = L"C:\\gone\\other.dll";
    ++g_fake.created;
  }
  ~FakeSource() override { ++g_fake.destroyed; }
  bool InitializeSource() override {
    g_fake.asked.push_back(Class.Name);
    return Accept;
  }
  bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) override {
    const std::uint32_t facility = FacilityNestingCount(), threads = ThreadsNestingCount();
    if (g_fake.nested_lookup != 0) {
      const std::uintptr_t a = g_fake.nested_lookup;
      g_fake.nested_lookup = 0;
      TVLLocationInfo inner;
      LookupLocationInfo(a, inner);  // records what the inner call saw
      g_fake.nested_facility = g_fake.facility_nesting;
      g_fake.nested_threads = g_fake.threads_nesting;
      g_fake.after_nested = FacilityNestingCount();
    }
    g_fake.facility_nesting = facility;
    g_fake.threads_nesting = threads;
    if (g_fake.throw_in_lookup) throw std::runtime_error("lookup failed");
    info.Address = addr;
    info.UnitName = L"FakeUnit";
    info.ProcedureName = Class.Name;
    info.DebugInfo = this;
    return true;
  }
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return Class; }
  static const TVLDebugInfoSourceClass Class;
};

template <bool A, bool H, int T>
const TVLDebugInfoSourceClass FakeSource<A, H, T>::Class = {
    T == 0 ? L"Exact" : T == 1 ? L"Guess" : T == 2 ? L"Refuses" : L"Throws", H,
    &MakeDebugInfoSource<FakeSource<A, H, T>>};

using ExactSource = FakeSource<true, false, 0>;
using GuessSource = FakeSource<true, true, 1>;
using RefusingSource = FakeSource<false, false, 2>;

class ThrowingSource : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  bool InitializeSource() override { throw std::runtime_error("bad data"); }
  bool GetLocationInfo(std::uintptr_t, TVLLocationInfo&) override { return false; }
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return Class; }
  static const TVLDebugInfoSourceClass Class;
};
const TVLDebugInfoSourceClass ThrowingSource::Class = {L"Throwing", false, &MakeDebugInfoSource<ThrowingSource>};

std::uintptr_t OwnCode() { return ToAddr(reinterpret_cast<const void*>(&OwnCode)); }

class DebugInfoLookupRegistry : public ::testing::Test {
 protected:
  void SetUp() override { g_fake = FakeState(); }
  void TearDown() override {
    ClearDebugInfoSources();
    EXPECT_EQ(g_fake.created, g_fake.destroyed);
  }
};

TEST_F(DebugInfoLookupRegistry, ExactSourcesAreAskedBeforeHeuristicOnes) {
  RegistryScope scope({&GuessSource::Class, &RefusingSource::Class, &ExactSource::Class});
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(g_fake.asked, (std::vector<std::wstring>{L"Refuses", L"Exact"}));
  EXPECT_EQ(info.ProcedureName, L"Exact");
  EXPECT_EQ(g_fake.created - g_fake.destroyed, 1);  // the refusing one is freed
  // The module's source is made once.
  ASSERT_TRUE(LookupLocationInfo(OwnCode() + 1, info));
  EXPECT_EQ(g_fake.asked.size(), 2u);
  EXPECT_EQ(DebugInfoList()->Count(), 1);
}

TEST_F(DebugInfoLookupRegistry, RegistrationKeepsOneEntryPerClassInOrder) {
  RegistryScope scope({});
  RegisterDebugInfoSource(&GuessSource::Class);
  RegisterDebugInfoSource(&ExactSource::Class);
  RegisterDebugInfoSource(&GuessSource::Class);
  RegisterDebugInfoSourceFirst(&RefusingSource::Class);
  RegisterDebugInfoSourceFirst(&ExactSource::Class);
  EXPECT_EQ(TVLDebugInfoList::NeedInfoSourceClassList(),
            (std::vector<const TVLDebugInfoSourceClass*>{&RefusingSource::Class, &GuessSource::Class,
                                                         &ExactSource::Class}));
  UnRegisterDebugInfoSource(&GuessSource::Class);
  UnRegisterDebugInfoSource(&GuessSource::Class);
  EXPECT_EQ(TVLDebugInfoList::NeedInfoSourceClassList(),
            (std::vector<const TVLDebugInfoSourceClass*>{&RefusingSource::Class, &ExactSource::Class}));
}

TEST_F(DebugInfoLookupRegistry, SourceOfAnUnloadedModuleIsReplaced) {
  RegistryScope scope({&ExactSource::Class});
  g_fake.stale_first = true;
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(g_fake.created, 1);
  // The first source remembers another file than the module has now.
  ASSERT_TRUE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(g_fake.created, 2);
  EXPECT_EQ(DebugInfoList()->Count(), 2);
  EXPECT_EQ(info.DebugInfo, DebugInfoList()->GetItems(1));
  EXPECT_EQ(DebugInfoList()->GetItemFromModule(AllocationBaseOf(OwnCode())), DebugInfoList()->GetItems(1));
  // Destroying a source takes it out of the list.
  DebugInfoList()->GetItems(0)->DestroySource();
  EXPECT_EQ(DebugInfoList()->Count(), 1);
  EXPECT_EQ(DebugInfoList()->GetItemFromModule(0), nullptr);
}

// A list destroys each source it holds once, and only after taking it out:
// a NotifyDelete listener sees the list without it.
TEST_F(DebugInfoLookupRegistry, ListDestroysItsSourcesOnceAndOutOfTheList) {
  struct Heard {
    TVLDebugInfoList* list = nullptr;
    std::vector<TVLDebugInfoSource*> sources;
    std::vector<int> counts;  // the list's count at each call
  };
  struct {
    const char* way;
    void (*destroy)(TVLDebugInfoList& list, TVLDebugInfoSource* source);
  } const cases[] = {
      {"the source's DestroySource", [](TVLDebugInfoList&, TVLDebugInfoSource* s) { s->DestroySource(); }},
      {"the list's DestroySource", [](TVLDebugInfoList& l, TVLDebugInfoSource* s) { l.DestroySource(s); }},
      {"Clear", [](TVLDebugInfoList& l, TVLDebugInfoSource*) { l.Clear(); }},
  };
  RegistryScope scope({&ExactSource::Class});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.way);
    g_fake = FakeState();
    TVLDebugInfoList list;
    Heard heard;
    heard.list = &list;
    TVLDebugInfoSource* source = list.GetItemFromModule(AllocationBaseOf(OwnCode()));
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(list.Count(), 1);
    source->NotifyDelete = {[](void* data, TVLDebugInfoSource* s) {
                              auto* h = static_cast<Heard*>(data);
                              h->sources.push_back(s);
                              h->counts.push_back(h->list->Count());
                            },
                            &heard};
    c.destroy(list, source);
    EXPECT_EQ(heard.sources, std::vector<TVLDebugInfoSource*>{source});
    EXPECT_EQ(heard.counts, std::vector<int>{0});
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(g_fake.destroyed, 1);
    // The module gets a new source on the next use.
    EXPECT_NE(list.GetItemFromModule(AllocationBaseOf(OwnCode())), nullptr);
    EXPECT_EQ(g_fake.created, 2);
  }
}

// DestroySource leaves alone a source that the list does not hold: one held
// by another list, or by whoever made it.
TEST_F(DebugInfoLookupRegistry, DestroySourceLeavesOtherOwnersSourcesAlone) {
  RegistryScope scope({&ExactSource::Class});
  TVLDebugInfoList mine, other;
  TVLDebugInfoSource* theirs = other.GetItemFromModule(AllocationBaseOf(OwnCode()));
  ASSERT_NE(theirs, nullptr);
  mine.DestroySource(theirs);
  mine.DestroySource(nullptr);
  EXPECT_EQ(other.Count(), 1);
  EXPECT_EQ(g_fake.destroyed, 0);

  std::unique_ptr<TVLDebugInfoSource> made = ExactSource::Class.Create(AllocationBaseOf(OwnCode()));
  made->DestroySource();
  EXPECT_EQ(g_fake.destroyed, 0);
  made.reset();
  EXPECT_EQ(g_fake.destroyed, 1);
  EXPECT_EQ(other.GetItems(0), theirs);
}

TEST_F(DebugInfoLookupRegistry, NoAcceptingClassGivesAnEmptySource) {
  RegistryScope scope({&RefusingSource::Class});
  TVLLocationInfo info;
  EXPECT_FALSE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(info.DebugDetail, ddModule);
  ASSERT_EQ(DebugInfoList()->Count(), 1);
  EXPECT_EQ(&DebugInfoList()->GetItems(0)->SourceClass(), &TEmptyDebugInfoSource::Class);
  EXPECT_FALSE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(g_fake.asked.size(), 1u);  // not asked again
}

TEST_F(DebugInfoLookupRegistry, FailuresInsideASourceNeverEscape) {
  {
    RegistryScope scope({&ThrowingSource::Class, &ExactSource::Class});
    TVLLocationInfo info;
    EXPECT_FALSE(LookupLocationInfo(OwnCode(), info));
    EXPECT_EQ(info.Address, OwnCode());
    EXPECT_EQ(info.ProcedureName, L"");
    EXPECT_EQ(info.DebugDetail, ddModule);
    EXPECT_EQ(DebugInfoList()->Count(), 0);
  }
  RegistryScope scope({&ExactSource::Class});
  g_fake.throw_in_lookup = true;
  TVLLocationInfo info;
  EXPECT_FALSE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(info.ProcedureName, L"");
  EXPECT_EQ(info.DebugInfo, nullptr);
  EXPECT_EQ(FacilityNestingCount(), 0u);
  EXPECT_EQ(ThreadsNestingCount(), 0u);
}

DWORD WINAPI ReadNestingOnThread(void* out) {
  *static_cast<DWORD*>(out) = FacilityNestingCount();
  return 0;
}

TEST_F(DebugInfoLookupRegistry, LookupRaisesBothNestingCountersForItsDuration) {
  RegistryScope scope({&ExactSource::Class});
  EXPECT_EQ(FacilityNestingCount(), 0u);
  EXPECT_EQ(ThreadsNestingCount(), 0u);
  g_fake.nested_lookup = OwnCode() + 2;
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(OwnCode(), info));
  EXPECT_EQ(g_fake.facility_nesting, 1u);
  EXPECT_EQ(g_fake.threads_nesting, 1u);
  EXPECT_EQ(g_fake.nested_facility, 2u);
  EXPECT_EQ(g_fake.nested_threads, 2u);
  EXPECT_EQ(g_fake.after_nested, 1u);
  EXPECT_EQ(FacilityNestingCount(), 0u);
  EXPECT_EQ(ThreadsNestingCount(), 0u);
  // Per thread: another thread starts at 0 while this one is inside.
  TFacilityNesting inside;
  DWORD seen = 99;
  HANDLE t = CreateThread(nullptr, 0, ReadNestingOnThread, &seen, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(FacilityNestingCount(), 1u);
}

// The real process through a platform that counts the address queries and
// reports a loader generation the test sets.
class CountingPlatform final : public platform::TModulePlatform {
 public:
  std::wstring ModuleFileName(std::uintptr_t h) override { return real_.ModuleFileName(h); }
  std::vector<std::uintptr_t> EnumerateModules() override { return real_.EnumerateModules(); }
  std::wstring LongPathName(const std::wstring& p) override { return real_.LongPathName(p); }
  platform::TFileFacts FileFacts(const std::wstring& p) override { return real_.FileFacts(p); }
  platform::TVersionResource VersionResource(const std::wstring& p) override { return real_.VersionResource(p); }
  bool ReadMemory(std::uintptr_t a, void* d, std::uint32_t n) override { return real_.ReadMemory(a, d, n); }
  bool HasRcDataResource(std::uintptr_t h, const wchar_t* n) override { return real_.HasRcDataResource(h, n); }
  std::uintptr_t AllocationBase(std::uintptr_t a) override {
    ++queries;
    return real_.AllocationBase(a);
  }
  std::optional<std::int32_t> TimeZoneBiasMinutes() override { return real_.TimeZoneBiasMinutes(); }
  std::uint32_t LoaderGeneration() noexcept override { return generation; }

  int queries = 0;
  std::uint32_t generation = 0;

 private:
  platform::TModulePlatform& real_ = platform::SystemModulePlatform();
};

// While the loader generation holds, a module's source and facts are kept:
// no address query, the same answer as the full path. A new generation, a
// destroyed source or a platform that cannot tell makes the list ask again.
TEST_F(DebugInfoLookupRegistry, ModuleFactsAreKeptWhileTheLoaderGenerationHolds) {
  RegistryScope scope({&ExactSource::Class});
  CountingPlatform counting;
  TVLDebugInfoList list(counting);
  TVLLocationInfo slow, fast;
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), slow));
  ASSERT_TRUE(list.GetLocationInfo(OwnCode() + 1, slow));
  EXPECT_EQ(counting.queries, 2);  // generation 0: nothing kept
  EXPECT_EQ(slow.Module, 0u);      // left to the completion

  counting.generation = 5;
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), fast));  // learns
  const int after_learning = counting.queries;
  ASSERT_TRUE(list.GetLocationInfo(OwnCode() + 3, fast));
  EXPECT_EQ(counting.queries, after_learning);
  EXPECT_EQ(fast.Address, OwnCode() + 3);
  EXPECT_EQ(fast.ProcedureName, L"Exact");
  EXPECT_EQ(fast.Module, AllocationBaseOf(OwnCode()));
  EXPECT_EQ(fast.ModuleName, ModulePath(fast.Module));
  // Completing either record gives the same facts.
  TVLLocationInfo completed_slow = slow, completed_fast = fast;
  completed_slow.Address = fast.Address;
  CompleteLocationInfo(completed_slow);
  CompleteLocationInfo(completed_fast);
  EXPECT_EQ(completed_fast.Module, completed_slow.Module);
  EXPECT_EQ(completed_fast.ModuleName, completed_slow.ModuleName);
  EXPECT_EQ(completed_fast.ModuleType, completed_slow.ModuleType);
  EXPECT_EQ(completed_fast.Offset, completed_slow.Offset);

  // An address outside the image is not answered from the kept module.
  TVLLocationInfo outside;
  EXPECT_FALSE(list.GetLocationInfo(ToAddr(&outside), outside));
  EXPECT_EQ(counting.queries, after_learning + 1);

  counting.generation = 6;  // a module came or went
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), fast));
  EXPECT_EQ(counting.queries, after_learning + 2);
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), fast));
  EXPECT_EQ(counting.queries, after_learning + 2);

  // A destroyed source is forgotten, never called.
  ASSERT_EQ(list.Count(), 1);
  list.GetItems(0)->DestroySource();
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), fast));
  EXPECT_EQ(counting.queries, after_learning + 3);
  EXPECT_EQ(list.Count(), 1);
}

// A module no source can name is kept as such: a call stack asks for its
// addresses over and over, and each answer is the one the full path gives.
TEST_F(DebugInfoLookupRegistry, ModuleWithoutSourceIsKeptAndAnsweredAsBefore) {
  RegistryScope scope({});
  CountingPlatform counting;
  TVLDebugInfoList list(counting);
  TVLLocationInfo full;
  EXPECT_FALSE(list.GetLocationInfo(OwnCode() + 3, full));  // generation 0: the full path
  CompleteLocationInfo(full);

  counting.generation = 9;
  TVLLocationInfo kept;
  EXPECT_FALSE(list.GetLocationInfo(OwnCode(), kept));  // learns
  const int after_learning = counting.queries;
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(list.GetLocationInfo(OwnCode() + 3, kept));
    EXPECT_EQ(counting.queries, after_learning);
    EXPECT_EQ(kept.Address, OwnCode() + 3);
    EXPECT_EQ(kept.Module, AllocationBaseOf(OwnCode()));
    EXPECT_EQ(kept.ModuleName, ModulePath(kept.Module));
    EXPECT_TRUE(kept.ProcedureName.empty());
    CompleteLocationInfo(kept);
    EXPECT_EQ(kept.Module, full.Module);
    EXPECT_EQ(kept.ModuleName, full.ModuleName);
    EXPECT_EQ(kept.ModuleType, full.ModuleType);
    EXPECT_EQ(kept.Offset, full.Offset);
    EXPECT_EQ(kept.BinaryFileName, full.BinaryFileName);
    EXPECT_EQ(kept.DebugDetail, full.DebugDetail);
  }
  // A source that goes may leave room for one that names the module.
  ASSERT_GE(list.Count(), 1);
  list.GetItems(0)->DestroySource();
  EXPECT_FALSE(list.GetLocationInfo(OwnCode() + 3, kept));
  EXPECT_EQ(counting.queries, after_learning + 1);
}

TEST_F(DebugInfoLookupRegistry, SourceMadeForAnotherFileIsNeverKept) {
  RegistryScope scope({&ExactSource::Class});
  g_fake.stale_first = true;
  CountingPlatform counting;
  counting.generation = 1;
  TVLDebugInfoList list(counting);
  TVLLocationInfo info;
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), info));
  ASSERT_TRUE(list.GetLocationInfo(OwnCode(), info));
  EXPECT_EQ(g_fake.created, 2);  // the stale one was replaced, as without keeping
}

TEST(DebugInfoLookupLoaderWatch, GenerationMovesWithLoadsAndUnloads) {
  platform::TModulePlatform& system = platform::SystemModulePlatform();
  ASSERT_TRUE(platform::StartLoaderWatch());
  const std::uint32_t before = system.LoaderGeneration();
  EXPECT_NE(before, 0u);
  ASSERT_EQ(GetModuleHandleW(L"mpr.dll"), nullptr) << "needs a library the process has not loaded";
  HMODULE m = LoadLibraryW(L"mpr.dll");
  ASSERT_NE(m, nullptr);
  const std::uint32_t loaded = system.LoaderGeneration();
  EXPECT_NE(loaded, before);
  FreeLibrary(m);
  EXPECT_NE(system.LoaderGeneration(), loaded);
  // Counted: a nested start and stop leave the watch on.
  ASSERT_TRUE(platform::StartLoaderWatch());
  platform::StopLoaderWatch();
  EXPECT_NE(system.LoaderGeneration(), 0u);
  platform::StopLoaderWatch();
  EXPECT_EQ(system.LoaderGeneration(), 0u);
  // A later start never brings an old generation back.
  ASSERT_TRUE(platform::StartLoaderWatch());
  EXPECT_NE(system.LoaderGeneration(), before);
  EXPECT_NE(system.LoaderGeneration(), loaded);
  platform::StopLoaderWatch();
}

// ============================================================= completion ==

struct CompleteCase {
  const char* what;
  const wchar_t *unit, *cls, *proc, *source;
  const wchar_t *want_unit, *want_cls, *want_proc, *want_source;
  TVarnelDebugDetail detail;
};

TEST(DebugInfoLookupComplete, NamingRulesApplyInOrder) {
  const CompleteCase cases[] = {
      {"unit.class.method", L"", L"", L"Unit1.TFoo.Bar", L"", L"Unit1", L"TFoo", L"Bar", L"Unit1.pas", ddProcedure},
      {"c++ scopes", L"", L"", L"ns::Cls::go()", L"", L"app", L"ns", L"Cls.go()", L"app.exe", ddProcedure},
      {"plain export", L"", L"", L"CreateFileW", L"", L"app", L"", L"CreateFileW", L"app.exe", ddProcedure},
      {"unit start-up", L"Project1", L"", L"Project1", L"Project1.dpr", L"Project1", L"", L"Initialization",
       L"Project1.dpr", ddProcedure},
      {"unit start-up, class = unit", L"Main", L"Main", L"Main", L"Main.pas", L"Main", L"", L"Initialization",
       L"Main.pas", ddProcedure},
      {"DllMain stays", L"DllMain", L"", L"DllMain", L"DllMain.c", L"DllMain", L"", L"DllMain", L"DllMain.c",
       ddProcedure},
      {"source only", L"", L"", L"", L"util.cpp", L"util", L"", L"", L"util.cpp", ddUnit},
      {"unit = source with .inc", L"defs.inc", L"", L"", L"defs.inc", L"defs", L"", L"", L"defs.inc", ddUnit},
      {"unit = source, other extension", L"x.h", L"", L"", L"x.h", L"x.h", L"", L"", L"x.h", ddUnit},
      {"unit without source", L"SysUtils", L"", L"", L"", L"SysUtils", L"", L"", L"SysUtils.pas", ddUnit},
      {"module only", L"", L"", L"", L"", L"", L"", L"", L"", ddModule},
  };
  for (const CompleteCase& c : cases) {
    SCOPED_TRACE(c.what);
    TVLLocationInfo info;
    info.Module = 0x00400000;
    info.Address = 0x00401000;
    info.ModuleName = L"C:\\dir\\app.exe";
    info.ModuleType = mtProgram;
    info.UnitName = c.unit;
    info.ClassName = c.cls;
    info.ProcedureName = c.proc;
    info.SourceName = c.source;
    CompleteLocationInfo(info);
    EXPECT_EQ(info.UnitName, c.want_unit);
    EXPECT_EQ(info.ClassName, c.want_cls);
    EXPECT_EQ(info.ProcedureName, c.want_proc);
    EXPECT_EQ(info.SourceName, c.want_source);
    EXPECT_EQ(info.DebugDetail, c.detail);
    EXPECT_EQ(info.Offset, 0x1000u);
    EXPECT_EQ(info.BinaryFileName, L"C:\\dir\\app.exe");
  }
  TVLLocationInfo nothing;
  CompleteLocationInfo(nothing);
  EXPECT_EQ(nothing.DebugDetail, ddNone);
}

// Answers line 10 at 0x500000 and line 30 at 0x500100.
class LineSource : public TVLDebugInfoSource {
 public:
  LineSource() : TVLDebugInfoSource(0) {}
  bool InitializeSource() override { return true; }
  bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) override {
    if (addr == 0x500000) info.LineNumber = 10;
    else if (addr == 0x500100) info.LineNumber = 30;
    else return false;
    return true;
  }
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return TEmptyDebugInfoSource::Class; }
};

TEST(DebugInfoLookupComplete, LinesFromTheRoutinesFirstLine) {
  LineSource source;
  struct {
    std::uintptr_t proc_start;
    std::int32_t line, preset, want;
  } const cases[] = {
      {0x500000, 15, -1, 5},   // first line 10
      {0x500100, 15, -1, 0},   // first line 30 is after the line
      {0x500200, 15, -1, 0},   // routine start unknown
      {0x500000, 15, 2, 2},    // already computed
  };
  for (const auto& c : cases) {
    TVLLocationInfo info;
    info.Address = 0x500040;
    info.OffsetFromProcName = static_cast<std::int32_t>(info.Address - c.proc_start);
    info.LineNumber = c.line;
    info.ProcOffsetLine = c.preset;
    info.DebugInfo = &source;
    info.ModuleName = L"m.dll";
    info.Module = 0x400000;
    info.ModuleType = mtLibrary;
    CompleteLocationInfo(info);
    EXPECT_EQ(info.ProcOffsetLine, c.want) << std::hex << c.proc_start;
    EXPECT_EQ(info.DebugDetail, ddSourceCode);
  }
}

// ============================================================= formatting ==

TVLLocationInfo LineRecord() {
  TVLLocationInfo info;
  info.Address = 0x00401234;
  info.Offset = 0x1234;
  info.Module = 0x00400000;
  info.ModuleName = L"C:\\app\\Project1.exe";
  info.UnitName = L"Main";
  info.ClassName = L"TForm1";
  info.ProcedureName = L"Button1Click";
  info.OffsetFromProcName = 0x1A;
  info.LineNumber = 42;
  info.ProcOffsetLine = 3;
  info.OffsetFromLineNumber = 6;
  info.SourceName = L"Main.pas";
  info.BinaryFileName = info.ModuleName;
  info.DebugDetail = ddSourceCode;
  return info;
}

TEST(DebugInfoLookupFormat, FixedRecordsPrintExactly) {
  struct Case {
    const char* what;
    TVLLocationInfo info;
    bool module, byte_offset, line, address, offset, line_offset;
    const wchar_t* want;
  };
  TVLLocationInfo negative = LineRecord();
  negative.OffsetFromLineNumber = -0x1F;
  TVLLocationInfo proc = LineRecord();
  proc.LineNumber = 0;
  proc.DebugDetail = ddProcedure;
  TVLLocationInfo no_unit = proc;
  no_unit.UnitName.clear();
  no_unit.ClassName.clear();
  no_unit.ProcedureName = L"Foo";
  TVLLocationInfo prefixed = proc;
  prefixed.ClassName.clear();
  prefixed.ProcedureName = L"Main.Helper";
  TVLLocationInfo none;
  none.Address = 0x0BADF00D;
  TVLLocationInfo module_only;
  module_only.Address = 0x00400010;
  module_only.Offset = 0x10;
  module_only.ModuleName = L"C:\\a\\x.dll";
  module_only.BinaryFileName = module_only.ModuleName;
  module_only.DebugDetail = ddModule;
  const Case cases[] = {
      {"every part", LineRecord(), true, true, true, true, true, true,
       L"(00001234) {Project1.exe}[00401234] Main.TForm1.Button1Click (Line 42, \"Main.pas\" + 3) + $6"},
      {"location text", LineRecord(), true, true, true, true, true, false,
       L"(00001234) {Project1.exe}[00401234] Main.TForm1.Button1Click (Line 42, \"Main.pas\") + $6"},
      {"line only", LineRecord(), false, false, true, false, false, false,
       L"Main.TForm1.Button1Click (Line 42, \"Main.pas\")"},
      {"negative line offset", negative, false, true, true, false, false, false,
       L"Main.TForm1.Button1Click (Line 42, \"Main.pas\") - $1F"},
      {"line not shown", LineRecord(), false, true, false, true, false, false, L"[00401234] Main.TForm1.Button1Click + $1A"},
      {"module without offset", proc, true, false, false, false, false, false, L"{Project1.exe}Main.TForm1.Button1Click"},
      {"unit from the module", no_unit, false, true, true, false, false, false, L"Project1.Foo + $1A"},
      {"unit prefix dropped", prefixed, false, false, true, false, false, false, L"Main.Helper"},
      {"no detail, address", none, false, true, true, true, false, false, L"(00000000) [0BADF00D]"},
      {"no detail, nothing", none, false, true, true, false, false, false, L""},
      {"no detail, module", none, true, false, false, false, false, false, L"{            }"},
      {"module only", module_only, true, true, true, true, true, false, L"(00000010) {x.dll       }[00400010]  + $0"},  // "[%p] %s%s" with an empty name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FormatLocationInfo(c.info, c.module, c.byte_offset, c.line, c.address, c.offset, c.line_offset), c.want);
  }
}

// ============================================================ unit step ==

TEST(DebugInfoLookupUnit, FailureReportNamesTheLocation) {
  RegistryScope scope({&TVLDebugInfoExports::Class});
  const std::uintptr_t code = CreateFileWCode();
  const std::wstring report = DebugInfoFailureReport(L"Step exploded", L"Boom.Init", code);
  EXPECT_EQ(report, L"Step exploded\r\n\r\nBoom.Init (Location: " + LocationInfoText(code) +
                        L")\r\n\r\n(report generated by EDebugInfo.DebugInfoInitDoneErrorHandler)\r\n"
                        L"Press Ctrl + C to copy report to clipboard");
  EXPECT_NE(report.find(L".CreateFileW + $0)"), std::wstring::npos);
}

TEST(DebugInfoLookupUnit, StepPushesItsHandlerAndPutsThePreviousBack) {
  const rt::TStepFailureHandler before = rt::StepFailureHandler;
  const rt::TStepFailureHandler marker = [](rt::TStepProc, const wchar_t*) {};
  rt::StepFailureHandler = marker;
  const TFilterLocationLookup lookup_before = FilterLocationLookup;
  EDebugInfoInit();
  EXPECT_NE(rt::StepFailureHandler, marker);
  EXPECT_NE(rt::StepFailureHandler, nullptr);
  EXPECT_NE(DebugInfoList(), nullptr);
  // The filters place exceptions by location through this unit's lookup.
  EXPECT_EQ(FilterLocationLookup, &LookupFilterLocation);
  EDebugInfoDone();
  EXPECT_EQ(rt::StepFailureHandler, marker);
  EXPECT_EQ(FilterLocationLookup, lookup_before);
  rt::StepFailureHandler = before;
}

// ========================================================= ParseClassName ==

TEST(DebugInfoLookupNames, ParseClassNameSplitsClassAndMethod) {
  struct {
    const wchar_t *unit, *name, *cls, *method;
  } const cases[] = {
      {L"", L"TList<TPair<A.B,C>>.Add", L"TList<TPair<A.B,C>>", L"Add"},
      {L"", L"TDictionary<String, TList<Integer >>.TKeys.Add", L"TDictionary<String,TList<Integer>>.TKeys", L"Add"},
      {L"", L"TFoo.TFoo", L"TFoo", L"Create"},
      {L"", L"TFoo.~TFoo", L"TFoo", L"Destroy"},
      {L"", L"ns::TBar::~TBar", L"ns.TBar", L"Destroy"},
      {L"", L"ns::TBar::TBar", L"ns.TBar", L"Create"},
      {L"Unit1", L"unit1.TFoo.Bar", L"TFoo", L"Bar"},
      {L"", L"Run(a.b)", L"", L"Run(a.b)"},
      {L"", L"Outer.Call{x.y}", L"Outer", L"Call{x.y}"},
      {L"", L"", L"", L"?"},
      {L"", L".", L"", L"?"},
      {L"", L"..", L"", L"?"},
      {L"", L".TFoo", L"TFoo", L""},
      {L"", L"TFoo.", L"TFoo", L""},
      {L"Project1", L"project1", L"", L"Initialization"},
      {L"DllMain", L"DllMain", L"", L"DllMain"},
      {L"", L"@Sys@Get", L"", L"_Sys_Get"},
      {L"", L"@Sys.Get", L"_Sys", L"Get"},
  };
  for (const auto& c : cases) {
    std::wstring cls = L"junk";
    const std::wstring method = ParseClassName(c.unit, c.name, cls);
    EXPECT_EQ(cls, c.cls) << std::string(c.name, c.name + std::wcslen(c.name));
    EXPECT_EQ(method, c.method) << std::string(c.name, c.name + std::wcslen(c.name));
  }
}

// ============================================================ unmangling ==

TEST(Unmangle, NamesByScheme) {
  struct {
    const wchar_t* name;
    TNameMangling kind;
    const wchar_t *unit, *qualified;
  } const cases[] = {
      {L"_Z3fooi", nmItanium, L"", L"foo(int)"},
      {L"_ZN3foo3barEv", nmItanium, L"", L"foo::bar()"},
      {L"_ZN5OuterIiE5InnerC1Ev", nmItanium, L"", L"Outer<int>::Inner::Inner()"},
      {L"_ZN3FooD2Ev", nmItanium, L"", L"Foo::~Foo()"},
      {L"_ZN3FooplERKS_", nmItanium, L"", L"Foo::operator+(Foo const&)"},
      {L"_Z3maxIiET_S0_S0_", nmItanium, L"", L"int max<int>(int, int)"},
      {L"_ZN6zelvic4diag11ComposeNameEv", nmItanium, L"", L"zelvic::diag::ComposeName()"},
      // Const methods and operators fail the first-characters test but are
      // still Itanium names.
      {L"_ZNK3Foo3getEv", nmItanium, L"", L"Foo::get() const"},
      {L"_ZdlPv", nmItanium, L"", L"operator delete(void*)"},
      {L"  _Z3fooi  ", nmItanium, L"", L"foo(int)"},
      {L"_Z1x", nmPlain, L"", L"_Z1x"},        // too short
      {L"_Z9brokenXX", nmItanium, L"", L"_Z9brokenXX"},  // refused: unchanged
      {L"CreateFileW", nmPlain, L"", L"CreateFileW"},
      {L" Ondrel_55F22C7D_1_Iii1i1111I ", nmPlain, L"", L"Ondrel_55F22C7D_1_Iii1i1111I"},
      {L"_start", nmPlain, L"", L"_start"},
      {L"$weird", nmUnknown, L"", L"$weird"},
      {L"", nmUnknown, L"", L""},
      {L"@System@TObject@$bctr$qqrv", nmBorland, L"System", L"TObject.Create"},
      {L"@Classes@TList@$bdtr$qqrv", nmBorland, L"Classes", L"TList.Destroy"},
      {L"@Sysutils@Format$qqrx20System@UnicodeStringpx14System@TVarRecxi", nmBorland, L"Sysutils", L"Format"},
      {L"@Unit1@TVec@$badd$qqrrx4TVec", nmBorland, L"Unit1", L"TVec.operator +"},
      {L"@Unit1@Outer@Inner@Run$qqrv", nmBorland, L"Unit1", L"Outer.Inner.Run"},
      {L"@Unit1@__tpdsc__", nmBorland, L"Unit1", L"TypeDescriptor"},
      {L"?foo@@YAXXZ", nmMicrosoft, L"", L"?foo@@YAXXZ"},  // no undecorator plugged in
  };
  for (const auto& c : cases) {
    std::wstring unit = L"junk", qualified;
    const std::string trace(c.name, c.name + std::wcslen(c.name));
    EXPECT_EQ(UnmangleName(c.name, unit, qualified), c.kind) << trace;
    EXPECT_EQ(unit, c.unit) << trace;
    EXPECT_EQ(qualified, c.qualified) << trace;
  }
}

TEST(Unmangle, ClassifiesByTheFirstCharacters) {
  EXPECT_EQ(ClassifyMangledName(L"_ZN3foo3barEv"), nmItanium);  // fourth character a digit
  EXPECT_EQ(ClassifyMangledName(L"_Z3fooi"), nmItanium);        // third
  EXPECT_EQ(ClassifyMangledName(L"_ZN0x"), nmPlain);            // 0 is not 1 to 9
  EXPECT_EQ(ClassifyMangledName(L"@A@B"), nmBorland);
  EXPECT_EQ(ClassifyMangledName(L"?A@@"), nmMicrosoft);
  EXPECT_EQ(ClassifyMangledName(L"9lives"), nmUnknown);
}

TEST(Unmangle, MicrosoftNamesGoThroughThePlatformUndecorator) {
  const TMicrosoftUndecorator previous = SetMicrosoftUndecorator([](const std::wstring& in, std::wstring& out) {
    if (in == L"?Run@Cls@ns@@QAEXXZ") out = L"ns::Cls::Run";
    else if (in == L"?foo@@YAXXZ") out = L"foo";
    else if (in == L"?x@@") out = L".x";
    else return false;
    return true;
  });
  struct {
    const wchar_t *name, *unit, *qualified;
  } const cases[] = {
      {L"?Run@Cls@ns@@QAEXXZ", L"ns", L"Cls.Run"},
      {L"?foo@@YAXXZ", L"", L"foo"},
      {L"?x@@", L"", L".x"},  // a dot first: no unit
      {L"?bad", L"", L"?bad"},
  };
  for (const auto& c : cases) {
    std::wstring unit, qualified;
    EXPECT_EQ(UnmangleName(c.name, unit, qualified), nmMicrosoft);
    EXPECT_EQ(unit, c.unit);
    EXPECT_EQ(qualified, c.qualified);
  }
  SetMicrosoftUndecorator(previous);
}

TEST(Unmangle, PlatformUndecoratorOfImageHelp) {
  std::wstring out;
  ASSERT_TRUE(platform::UndecorateMicrosoftName(L"?Run@Cls@ns@@QAEXXZ", out));
  EXPECT_EQ(out, L"ns::Cls::Run");
  EXPECT_FALSE(platform::UndecorateMicrosoftName(L"", out));
  const TMicrosoftUndecorator previous = SetMicrosoftUndecorator(platform::UndecorateMicrosoftName);
  std::wstring unit, qualified;
  EXPECT_EQ(UnmangleName(L"?Run@Cls@ns@@QAEXXZ", unit, qualified), nmMicrosoft);
  EXPECT_EQ(unit, L"ns");
  EXPECT_EQ(qualified, L"Cls.Run");
  SetMicrosoftUndecorator(previous);
}

}  // namespace
}  // namespace zelvic::diag
