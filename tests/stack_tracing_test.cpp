// The stack walkers against what the system and the compiler say about the
// same stacks: RtlCaptureStackBackTrace, the return addresses the compiler
// gives each routine, hand-laid call instructions and fake stacks whose
// frames the test placed itself.
//
// This file is built without sibling calls: the call chains below are the
// known depths the walks are checked against.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/stacks/EMemoryMapProbes.h"
#include "diagnostics/stacks/EStackCapture.h"
#include "diagnostics/stacks/EStackCleanup.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/util/EDisAsm.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "platform/modules.h"
#include "platform/threads.h"
#include "runtime/memory_manager.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

std::uint32_t Addr(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// A page of code the test writes itself.
class ExecutableBuffer {
 public:
  explicit ExecutableBuffer(DWORD protect = PAGE_EXECUTE_READWRITE)
      : bytes_(static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, protect))) {}
  ~ExecutableBuffer() { VirtualFree(bytes_, 0, MEM_RELEASE); }
  ExecutableBuffer(const ExecutableBuffer&) = delete;
  ExecutableBuffer& operator=(const ExecutableBuffer&) = delete;
  std::uint8_t* data() const { return bytes_; }
  std::uint32_t base() const { return Addr(bytes_); }

 private:
  std::uint8_t* bytes_;
};

// ---- the call-before test -----------------------------------------------------

struct CallBeforeCase {
  const char* what;
  std::vector<std::uint8_t> before;  // the bytes that end at the return address
  bool is_call;
  std::uint32_t length;
};

// Lengths from the instruction set's encodings: opcode, ModRM, SIB,
// displacement and immediate bytes counted by hand.
const CallBeforeCase kCallBeforeCases[] = {
    {"call rel32", {0xE8, 0x10, 0x20, 0x00, 0x00}, true, 5},
    {"call [ebx]", {0xFF, 0x13}, true, 2},
    {"call eax", {0xFF, 0xD0}, true, 2},
    {"call edi", {0xFF, 0xD7}, true, 2},
    {"call [esp]", {0xFF, 0x14, 0x24}, true, 3},
    {"call [eax+8]", {0xFF, 0x50, 0x08}, true, 3},
    {"call [esp+8]", {0xFF, 0x54, 0x24, 0x08}, true, 4},
    {"call [disp32]", {0xFF, 0x15, 0x00, 0x10, 0x40, 0x00}, true, 6},
    {"call [eax+disp32]", {0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}, true, 6},
    {"call [esp+disp32]", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, true, 7},
    {"call far ptr16:32", {0x9A, 0x00, 0x10, 0x40, 0x00, 0x23, 0x00}, true, 7},
    // The table's order decides: an indirect call through a pointer whose
    // first byte is E8 is still the six-byte form.
    {"call [disp32] with E8 in the pointer", {0xFF, 0x15, 0xE8, 0x10, 0x40, 0x00}, true, 6},
    // A real overlap: call [eax+ebp*8+disp32] has E8 as its SIB byte, five
    // bytes before its end, and reads as the five-byte form first.
    {"call [SIB+disp32] with SIB E8", {0xFF, 0x94, 0xE8, 0x00, 0x01, 0x00, 0x00}, true, 5},
    {"jmp [esp]", {0xFF, 0x24}, false, 0},
    {"jmp eax", {0xFF, 0xE0}, false, 0},
    {"push [eax]", {0xFF, 0x30}, false, 0},
    // mod 00 with r/m 4 or 5 needs a SIB byte or a displacement after it.
    {"FF 14 as the last two bytes", {0xFF, 0x14}, false, 0},
    {"FF 15 as the last two bytes", {0xFF, 0x15}, false, 0},
    // mod 01 with r/m 4 needs a SIB byte.
    {"FF 54 as the last three bytes", {0xFF, 0x54, 0x08}, false, 0},
    {"ret", {0xC3}, false, 0},
};

TEST(StackCallBefore, RecognisesTheTenCallFormsAndNothingElse) {
  ExecutableBuffer code;
  ASSERT_NE(code.data(), nullptr);
  for (const CallBeforeCase& c : kCallBeforeCases) {
    SCOPED_TRACE(c.what);
    std::memset(code.data(), 0x90, 64);  // nop before and after
    const std::uint32_t ret = code.base() + 32;
    std::memcpy(code.data() + 32 - c.before.size(), c.before.data(), c.before.size());
    std::uint32_t length = 99;
    EXPECT_EQ(IsCallBefore(ret, IsExecutable, length), c.is_call);
    EXPECT_EQ(length, c.length);
  }
}

TEST(StackCallBefore, TheDecoderSeesTheOverlappingCallWhole) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 64);
  const std::uint8_t call[] = {0xFF, 0x94, 0xE8, 0x00, 0x01, 0x00, 0x00};
  std::memcpy(code.data() + 25, call, sizeof call);
  std::uint32_t length = 0;
  ASSERT_TRUE(disasm::InstructionLength(LiveMemory(), code.base() + 25, length));
  EXPECT_EQ(length, 7u);  // the call ends at the return address the test above checks
}

TEST(StackCallBefore, NeedsEightCodeBytesBeforeTheAddress) {
  ExecutableBuffer data(PAGE_READWRITE);
  std::memset(data.data(), 0x90, 64);
  data.data()[27] = 0xE8;
  std::uint32_t length;
  EXPECT_FALSE(IsCallBefore(data.base() + 32, IsExecutable, length)) << "data pages hold no calls";
  EXPECT_TRUE(IsCallBefore(data.base() + 32, CanReadStack, length)) << "the probe decides";
  EXPECT_FALSE(IsCallBefore(8, CanReadStack, length));
  ExecutableBuffer code;
  code.data()[0] = 0xE8;  // a call at the very start of the page: the bytes before it are not code
  EXPECT_FALSE(IsCallBefore(code.base() + 5, IsExecutable, length));
}

// ---- the executable-page cache ------------------------------------------------

TEST(StackPageCache, TestsTheExecuteBitsNotTheProtectionValue) {
  // 0x204 (read-write, no cache) is above 0x10 and runs no code.
  void* uncached = VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_NOCACHE);
  ASSERT_NE(uncached, nullptr);
  MEMORY_BASIC_INFORMATION mbi{};
  ASSERT_EQ(VirtualQuery(uncached, &mbi, sizeof mbi), sizeof mbi);
  ASSERT_GE(mbi.Protect, 0x10u) << "the modifier is what this case is about";
  EXPECT_FALSE(PageExecutable(Addr(uncached)));
  VirtualFree(uncached, 0, MEM_RELEASE);
  EXPECT_TRUE(PageExecutable(Addr(reinterpret_cast<const void*>(&PageExecutable))));
  ExecutableBuffer data(PAGE_READWRITE);
  EXPECT_FALSE(PageExecutable(data.base()));
}

TEST(StackPageCache, RunTimeCodeIsAskedAboutEveryTime) {
  platform::StartLoaderWatch();
  ExecutableBuffer code;
  EXPECT_TRUE(PageExecutable(code.base()));
  DWORD old;
  ASSERT_TRUE(VirtualProtect(code.data(), 0x1000, PAGE_READWRITE, &old));
  EXPECT_FALSE(PageExecutable(code.base()));
  platform::StopLoaderWatch();
}

TEST(StackPageCache, AnUnloadedModulesPagesStopBeingCode) {
  platform::StartLoaderWatch();
  HMODULE lib = LoadLibraryW(test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  const std::uint32_t code = Addr(reinterpret_cast<const void*>(GetProcAddress(lib, "GetVarnelLog")));
  ASSERT_NE(code, 0u);
  EXPECT_TRUE(PageExecutable(code));
  std::uint32_t length;
  (void)IsValidCachedReturn(code + 16);  // fills the cache for the image
  ASSERT_TRUE(FreeLibrary(lib));
  MEMORY_BASIC_INFORMATION mbi{};
  ASSERT_EQ(VirtualQuery(reinterpret_cast<void*>(static_cast<std::uintptr_t>(code)), &mbi, sizeof mbi), sizeof mbi);
  ASSERT_NE(mbi.State, static_cast<DWORD>(MEM_COMMIT)) << "the image is gone";
  EXPECT_FALSE(PageExecutable(code));
  EXPECT_FALSE(IsCallBefore(code + 16, PageCacheProbe, length));
  platform::StopLoaderWatch();
}

// ---- the cached probes --------------------------------------------------------

// Pages the test lays out itself, with the answers each probe must give,
// worked out from the protections: readable means one of the readable
// protections and committed, executable one of the four execute protections.
class ProbePages {
 public:
  ProbePages() : base_(static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x6000, MEM_RESERVE, PAGE_NOACCESS))) {
    Commit(0, PAGE_READWRITE);
    Commit(1, PAGE_NOACCESS);
    Commit(2, PAGE_READWRITE | PAGE_GUARD);
    Commit(3, PAGE_EXECUTE_READ);
    Commit(4, PAGE_READONLY);
    // page 5 stays reserved only
  }
  ~ProbePages() { VirtualFree(base_, 0, MEM_RELEASE); }
  ProbePages(const ProbePages&) = delete;
  ProbePages& operator=(const ProbePages&) = delete;
  std::uint32_t Page(int n) const { return Addr(base_) + 0x1000u * static_cast<std::uint32_t>(n); }

 private:
  void Commit(int n, DWORD protect) {
    ASSERT_NE(VirtualAlloc(base_ + 0x1000 * n, 0x1000, MEM_COMMIT, protect), nullptr);
  }
  std::uint8_t* base_;
};

struct ProbeCase {
  const char* what;
  std::uint32_t address;
  std::uint32_t count;
  bool readable;
  bool executable;
};

std::vector<ProbeCase> ProbeCases(const ProbePages& pages, std::uint32_t own_stack) {
  return {
      {"read-write page", pages.Page(0) + 16, 64, true, false},
      {"no-access page", pages.Page(1), 4, false, false},
      {"guard page", pages.Page(2) + 8, 4, false, false},
      {"execute-read page", pages.Page(3) + 100, 8, true, true},
      {"read-only page", pages.Page(4), 4, true, false},
      {"reserved page", pages.Page(5), 4, false, false},
      {"read-write into no-access", pages.Page(1) - 4, 8, false, false},
      {"execute-read into read-only", pages.Page(4) - 4, 8, true, false},
      {"this program's code", Addr(reinterpret_cast<const void*>(&ProbeCases)), 8, true, true},
      {"the own stack", own_stack, 16, true, false},
      {"the null page", 0x10, 4, false, false},
      {"the top of the address space", 0xFFFFF000u, 4, false, false},
  };
}

TEST(StackCachedProbes, AnswerAsTheLiveProbesDo) {
  const ProbePages pages;
  std::uint32_t local = 0;
  const TTraceProbes live = DefaultTraceProbes();
  const TCachedProbesScope scope;
  // Twice: the second round answers from the regions the first one met.
  for (int round = 0; round < 2; ++round) {
    for (const ProbeCase& c : ProbeCases(pages, Addr(&local))) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(scope.Readable(c.address, c.count), c.readable);
      EXPECT_EQ(scope.Executable(c.address, c.count), c.executable);
      EXPECT_EQ(live.Readable(c.address, c.count), c.readable);
      EXPECT_EQ(live.Executable(c.address, c.count), c.executable);
    }
  }
}

TEST(StackCachedProbes, AScopeAsksTheSystemOncePerRegion) {
  const ProbePages pages;
  const TCachedProbesScope scope;
  for (std::uint32_t offset = 0; offset < 0x1000; offset += 64) ASSERT_TRUE(scope.Readable(pages.Page(0) + offset, 8));
  for (std::uint32_t offset = 0; offset < 0x1000; offset += 64) ASSERT_TRUE(scope.Executable(pages.Page(3) + offset, 8));
  EXPECT_EQ(scope.SystemQueries(), 2u);
}

DWORD WINAPI ProbeFromAnotherThread(void* address) {
  return CanReadStack(Addr(address), 4) ? 1 : 0;
}

TEST(StackCachedProbes, OnlyTheScopesThreadAnswersFromItsRegions) {
  const bool installed_before = CachedTraceProbesInstalled();
  ASSERT_TRUE(InstallCachedTraceProbes());
  const ProbePages pages;
  void* page = reinterpret_cast<void*>(static_cast<std::uintptr_t>(pages.Page(0)));
  {
    const TCachedProbesScope scope;
    ASSERT_TRUE(CanReadStack(pages.Page(0), 4));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page, 0x1000, PAGE_NOACCESS, &old));
    // The scope keeps what it saw for its short job ...
    EXPECT_TRUE(CanReadStack(pages.Page(0), 4));
    // ... while another thread, which holds no scope, is answered live.
    HANDLE thread = CreateThread(nullptr, 0, ProbeFromAnotherThread, page, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 2;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(code, 0u);
  }
  // Past the scope the same thread is answered live too.
  EXPECT_FALSE(CanReadStack(pages.Page(0), 4));
  if (!installed_before) {
    RemoveCachedTraceProbes();
    EXPECT_FALSE(CachedTraceProbesInstalled());
    const TTraceProbes now = SetTraceProbes(DefaultTraceProbes());
    EXPECT_EQ(now.Readable, DefaultTraceProbes().Readable);
    EXPECT_EQ(now.Executable, DefaultTraceProbes().Executable);
  }
}

TEST(StackCachedProbes, NestedScopesGiveBackTheOuterOne) {
  const bool installed_before = CachedTraceProbesInstalled();
  ASSERT_TRUE(InstallCachedTraceProbes());
  const ProbePages pages;
  void* page = reinterpret_cast<void*>(static_cast<std::uintptr_t>(pages.Page(4)));
  {
    const TCachedProbesScope outer;
    ASSERT_TRUE(CanReadStack(pages.Page(4), 4));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page, 0x1000, PAGE_NOACCESS, &old));
    {
      const TCachedProbesScope inner;
      EXPECT_FALSE(CanReadStack(pages.Page(4), 4)) << "a new scope asks afresh";
    }
    EXPECT_TRUE(CanReadStack(pages.Page(4), 4)) << "the outer scope answers again";
  }
  if (!installed_before) RemoveCachedTraceProbes();
}


// ---- the memory map's probes ------------------------------------------------------

TEST(StackMemoryMapProbes, AnswerAsTheLiveProbesDo) {
  const ProbePages pages;
  std::uint32_t local = 0;
  InvalidateMemoryMap();
  for (int round = 0; round < 2; ++round) {
    for (const ProbeCase& c : ProbeCases(pages, Addr(&local))) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(MemoryMapReadable(c.address, c.count), c.readable);
      EXPECT_EQ(MemoryMapExecutable(c.address, c.count), c.executable);
    }
  }
}

// An image's regions are kept for one loader generation (and not at all
// without a loader watch); a private page is asked about every time.
TEST(StackMemoryMapProbes, ImagesAreKeptForOneLoaderGenerationPrivatePagesNever) {
  const ProbePages pages;
  const std::uint32_t code = Addr(reinterpret_cast<const void*>(&ProbeCases));
  const platform::TMemoryMap& map = ProcessMemoryMap();
  ASSERT_TRUE(platform::StartLoaderWatch());
  ASSERT_TRUE(MemoryMapExecutable(code, 8));
  ASSERT_TRUE(MemoryMapReadable(pages.Page(0), 4));
  std::uint32_t queries = map.SystemQueries();
  EXPECT_TRUE(MemoryMapExecutable(code + 64, 8));
  EXPECT_EQ(map.SystemQueries(), queries);
  HMODULE lib = LoadLibraryW(test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  FreeLibrary(lib);
  EXPECT_TRUE(MemoryMapExecutable(code + 64, 8));
  EXPECT_EQ(map.SystemQueries(), queries + 1) << "a load or unload drops the map";
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(reinterpret_cast<void*>(static_cast<std::uintptr_t>(pages.Page(0))), 0x1000,
                             PAGE_NOACCESS, &old));
  EXPECT_FALSE(MemoryMapReadable(pages.Page(0), 4));
  platform::StopLoaderWatch();
  queries = map.SystemQueries();
  EXPECT_TRUE(MemoryMapExecutable(code, 8));
  EXPECT_TRUE(MemoryMapExecutable(code, 8));
  EXPECT_EQ(map.SystemQueries(), queries + 2) << "without a loader watch no image answer is kept";
}

// With the option on (the default) the unit's probes are the cached ones,
// as before; off, the memory map's; either way the slot gets back what it
// held.
TEST(StackMemoryMapProbes, TheOptionChoosesWhichProbesGoIntoTheSlot) {
  ASSERT_FALSE(CachedTraceProbesInstalled());
  ASSERT_FALSE(MemoryMapProbesInstalled());
  const TTraceProbes before = SetTraceProbes(DefaultTraceProbes());
  SetTraceProbes(before);
  InstallStackProbes(false);
  EXPECT_TRUE(MemoryMapProbesInstalled());
  EXPECT_FALSE(CachedTraceProbesInstalled());
  TTraceProbes now = SetTraceProbes(before);
  EXPECT_EQ(now.Readable, &MemoryMapReadable);
  EXPECT_EQ(now.Executable, &MemoryMapExecutable);
  SetTraceProbes(now);
  RemoveStackProbes();
  EXPECT_FALSE(MemoryMapProbesInstalled());
  now = SetTraceProbes(before);
  EXPECT_EQ(now.Readable, before.Readable);
  InstallStackProbes(true);
  EXPECT_TRUE(CachedTraceProbesInstalled());
  EXPECT_FALSE(MemoryMapProbesInstalled());
  RemoveStackProbes();
  EXPECT_FALSE(CachedTraceProbesInstalled());
  now = SetTraceProbes(before);
  EXPECT_EQ(now.Readable, before.Readable);
  EXPECT_EQ(now.Executable, before.Executable);
}

// ---- fake stacks ----------------------------------------------------------------

// Frames the test lays out in a buffer: frame k at words [k * stride], its
// link to frame k + 1 and its return value next to it.
struct FakeStack {
  std::vector<std::uint32_t> words;
  std::vector<std::uint32_t> frames;  // addresses

  FakeStack(std::size_t frame_count, std::size_t stride_words, std::size_t extra_words = 4)
      : words(frame_count * stride_words + extra_words, 0) {
    for (std::size_t k = 0; k < frame_count; ++k) frames.push_back(Addr(&words[k * stride_words]));
    for (std::size_t k = 0; k < frame_count; ++k) {
      words[k * stride_words] = k + 1 < frame_count ? frames[k + 1] : 0;
      words[k * stride_words + 1] = 0x00401000 + static_cast<std::uint32_t>(k) * 16;
    }
  }
  std::uint32_t start() const { return Addr(words.data()); }
  std::uint32_t top() const { return Addr(words.data() + words.size()); }
};

TEST(StackFakeWalks, FrameWalkersFollowEveryFrameOfAFiveThousandDeepChain) {
  FakeStack stack(5000, 3);
  for (const int method : {1, 6}) {
    SCOPED_TRACE(method);
    const std::vector<TTraceEntry> found = CollectTrace(method, MakeStackRange(stack.start(), 0, stack.top()));
    ASSERT_EQ(found.size(), 5000u);
    for (std::size_t k = 0; k < found.size(); k += 499) {
      EXPECT_EQ(found[k].StackPointer, stack.frames[k] + 4);
      EXPECT_EQ(found[k].ReturnAddress, 0x00401000 + k * 16);
    }
  }
}

TEST(StackFakeWalks, NothingIsWalkedFromAnUnreadableStartOrAnInvertedRange) {
  FakeStack stack(10, 3);
  EXPECT_EQ(TraceStack(1u << 6, MakeStackRange(stack.start(), 0, stack.top()), 0).size(), 10u);
  EXPECT_TRUE(TraceStack(1u << 6, MakeStackRange(stack.top(), 0, stack.start()), 0).empty());
  EXPECT_TRUE(TraceStack((1u << 6) | (1u << 5), MakeStackRange(0x1000, 0, 0x2000), 0).empty());
}

TEST(StackFakeWalks, TheScanEndsAtTheCap) {
  // Frames 1000 bytes apart over 700,000 bytes: the frames whose return
  // lies below Start + 512,000 are those with k * 1000 + 8 <= 512,000.
  FakeStack stack(700, 250);
  const TStackRange range = MakeStackRange(stack.start(), 0, stack.top());
  EXPECT_EQ(range.Top - range.Start, 512000u);
  EXPECT_EQ(CollectTrace(6, range).size(), 512u);
}

TEST(StackFakeWalks, AFrameLinkedToItselfEndsTheWalk) {
  FakeStack stack(3, 4);
  stack.words[4] = stack.frames[1];  // frame 1 links to itself
  // Method 8 wants executable returns.
  const std::uint32_t code = Addr(reinterpret_cast<const void*>(&CollectTrace));
  for (std::size_t k = 0; k < 3; ++k) stack.words[k * 4 + 1] = code + static_cast<std::uint32_t>(k);
  for (const int method : {1, 6, 8}) {
    SCOPED_TRACE(method);
    const std::vector<TTraceEntry> found = CollectTrace(method, MakeStackRange(stack.start(), 0, stack.top()));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].StackPointer, stack.frames[1] + 4);
  }
}

TEST(StackFakeWalks, TwoMethodsNameTheSameFrameBySameSlot) {
  FakeStack stack(40, 5);
  const TStackRange range = MakeStackRange(stack.start(), 0, stack.top());
  const std::vector<TTracedEntry> merged = TraceStack((1u << 1) | (1u << 6), range, 0);
  ASSERT_EQ(merged.size(), 40u);
  for (std::size_t k = 0; k < merged.size(); ++k) {
    EXPECT_EQ(merged[k].StackAddr, stack.frames[k] + 4);
    EXPECT_EQ(merged[k].Methods, (1u << 1) | (1u << 6));
  }
  // A walk of a copy at another place names the original slots.
  std::vector<std::uint32_t> copy(stack.words);
  const std::uint32_t offset = Addr(copy.data()) - stack.start();
  RelocateStackCopy(copy, stack.start(), offset);
  const std::vector<TTracedEntry> from_copy =
      TraceStack(1u << 6, MakeStackRange(Addr(copy.data()), 0, Addr(copy.data() + copy.size())), offset);
  ASSERT_EQ(from_copy.size(), 40u);
  EXPECT_EQ(from_copy.back().StackAddr, stack.frames.back() + 4);
}

TEST(StackFakeWalks, MergingOrdersBySlotAndMatchesSlotlessEntriesByAddress) {
  constexpr std::uint32_t kOffset = 0x10000;  // the walks ran over a copy this far away
  std::vector<TTracedEntry> trace;
  const TTraceEntry first[] = {{kOffset + 0x100, 0xA}, {kOffset + 0x108, 0xB}};
  const TTraceEntry second[] = {{kOffset + 0x104, 0xC}, {kOffset + 0x108, 0xB}, {kOffset + 0x200, 0xD},
                                {kOffset, 0xE}};
  const TTraceEntry third[] = {{kOffset, 0xE}, {kOffset, 0xF}};
  MergeTrace(trace, first, 1, kOffset);
  MergeTrace(trace, second, 6, kOffset);
  MergeTrace(trace, third, 8, kOffset);
  const std::vector<std::array<std::uint32_t, 3>> expected{
      {0, 0xE, (1u << 6) | (1u << 8)}, {0, 0xF, 1u << 8},        {0x100, 0xA, 1u << 1},
      {0x104, 0xC, 1u << 6},            {0x108, 0xB, (1u << 1) | (1u << 6)}, {0x200, 0xD, 1u << 6}};
  ASSERT_EQ(trace.size(), expected.size());
  for (std::size_t k = 0; k < trace.size(); ++k) {
    EXPECT_EQ((std::array<std::uint32_t, 3>{trace[k].StackAddr, trace[k].ReturnAddr, trace[k].Methods}), expected[k])
        << k;
  }
}

// The ten forms laid out in one page, each with its return point, and slots
// holding those points among values that are no return addresses.
TEST(StackFakeWalks, RawWalkersKeepOnlyValuesBehindACall) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 0x1000);
  std::vector<std::uint32_t> returns;
  std::uint32_t at = 16;
  for (const CallBeforeCase& c : kCallBeforeCases) {
    if (!c.is_call) continue;
    std::memcpy(code.data() + at, c.before.data(), c.before.size());
    at += static_cast<std::uint32_t>(c.before.size());
    returns.push_back(code.base() + at);
    at += 16;
  }
  std::vector<std::uint32_t> stack;
  for (const std::uint32_t r : returns) {
    stack.push_back(0x12345678);      // data
    stack.push_back(code.base() + 8);  // code, behind no call
    stack.push_back(r);
  }
  stack.push_back(0);
  const TStackRange range = MakeStackRange(Addr(stack.data()), Addr(stack.data() + stack.size() - 1),
                                           Addr(stack.data() + stack.size()));
  const std::vector<TTraceEntry> found = CollectTrace(7, range);
  ASSERT_EQ(found.size(), returns.size());
  for (std::size_t k = 0; k < found.size(); ++k) {
    EXPECT_EQ(found[k].ReturnAddress, returns[k]);
    EXPECT_EQ(found[k].StackPointer, Addr(&stack[k * 3 + 2]));
  }
}

struct SiteReport {
  std::uint32_t slot, value, site;
  bool is_frame;
  bool operator==(const SiteReport&) const = default;
};

bool KeepSite(std::uint32_t slot, std::uint32_t value, std::uint32_t site, void* data, bool is_frame) {
  static_cast<std::vector<SiteReport>*>(data)->push_back({slot, value, site, is_frame});
  return true;
}

// A page of 500 calls, each return address twice on the stack, the second
// time in reverse order: more distinct values than the walk remembers, so
// later values take the places of earlier ones. Every report must carry the
// call site of its own value, 5 bytes back, and the walk must report what
// method 5 does.
TEST(StackFakeWalks, TheSiteWalkHandsOnEachValuesOwnCallSite) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 0x1000);
  constexpr std::uint32_t kCalls = 500;
  std::vector<std::uint32_t> returns;
  for (std::uint32_t k = 1; k <= kCalls; ++k) {
    const std::uint8_t call[] = {0xE8, 0, 0, 0, 0};  // call to the next instruction
    std::memcpy(code.data() + 8 * k, call, sizeof call);
    returns.push_back(code.base() + 8 * k + 5);
  }
  std::vector<std::uint32_t> stack;
  for (const std::uint32_t r : returns) {
    stack.push_back(r);
    stack.push_back(r + 1);  // code behind no call
  }
  for (auto r = returns.rbegin(); r != returns.rend(); ++r) stack.push_back(*r);
  stack.push_back(0);
  const TStackRange range = MakeStackRange(Addr(stack.data()), Addr(stack.data() + stack.size() - 1),
                                           Addr(stack.data() + stack.size()));
  std::vector<SiteReport> reports;
  WalkCallSitesV7(KeepSite, &reports, range);
  std::vector<SiteReport> expected;
  for (std::size_t i = 0; i < stack.size(); ++i) {
    const bool is_return = i < 2 * kCalls ? i % 2 == 0 : stack[i] != 0;
    if (is_return) expected.push_back({Addr(&stack[i]), stack[i], stack[i] - 5, false});
  }
  EXPECT_EQ(reports, expected);
  const std::vector<TTraceEntry> method5 = CollectTrace(5, range);
  ASSERT_EQ(method5.size(), expected.size());
  for (std::size_t k = 0; k < method5.size(); ++k) EXPECT_EQ(method5[k].StackPointer, expected[k].slot);
}

TEST(StackFakeWalks, TheV6ScanReportsEachCallsTargetBeforeItsReturn) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 0x1000);
  // call rel32 to +0x800, and call eax (no target known).
  const std::uint8_t direct[] = {0xE8, 0xF0, 0x07, 0x00, 0x00};
  std::memcpy(code.data() + 0x0B, direct, sizeof direct);  // ends at +0x10: target +0x800
  code.data()[0x2E] = 0xFF;
  code.data()[0x2F] = 0xD0;
  std::vector<std::uint32_t> stack{0x12345678, code.base() + 0x10, code.base() + 8, code.base() + 0x30, 0};
  struct Seen {
    std::uint32_t slot, value;
    bool is_frame;
  };
  std::vector<Seen> seen;
  Walk(
      3,
      [](std::uint32_t slot, std::uint32_t value, void* data, bool is_frame) {
        static_cast<std::vector<Seen>*>(data)->push_back({slot, value, is_frame});
        return true;
      },
      &seen, MakeStackRange(Addr(stack.data()), 0, Addr(stack.data() + stack.size())));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].value, code.base() + 0x800);
  EXPECT_TRUE(seen[0].is_frame);
  EXPECT_EQ(seen[0].slot, Addr(&stack[1]));
  EXPECT_EQ(seen[1].value, code.base() + 0x10);
  EXPECT_FALSE(seen[1].is_frame);
  EXPECT_EQ(seen[2].value, code.base() + 0x30);
  EXPECT_EQ(seen[2].slot, Addr(&stack[3]));
}

// ---- the live stack ---------------------------------------------------------------

struct LiveWalk {
  USHORT backtrace_count = 0;
  void* backtrace[64] = {};
  std::vector<TTraceEntry> frames;
  std::uint32_t recursion_return = 0;
};

__attribute__((noinline)) void Descend(int depth, LiveWalk& walk) {
  if (depth == 0) {
    walk.backtrace_count = RtlCaptureStackBackTrace(0, 64, walk.backtrace, nullptr);
    walk.frames = CollectTrace(6, CurrentStackRange());
    walk.recursion_return = Addr(__builtin_return_address(0));
    return;
  }
  Descend(depth - 1, walk);
  walk.backtrace_count += 0;  // keeps the call above a call
}

TEST(StackLiveWalks, FrameWalkMatchesTheSystemBacktrace) {
  for (const int depth : {1, 7, 20}) {
    SCOPED_TRACE(depth);
    LiveWalk walk;
    Descend(depth, walk);
    ASSERT_GT(walk.backtrace_count, depth);
    ASSERT_FALSE(walk.frames.empty());
    // The backtrace starts inside the deepest call, the walk with its return.
    const auto first = std::find(walk.backtrace, walk.backtrace + walk.backtrace_count,
                                 reinterpret_cast<void*>(static_cast<std::uintptr_t>(walk.frames[0].ReturnAddress)));
    ASSERT_NE(first, walk.backtrace + walk.backtrace_count);
    const std::size_t common = std::min<std::size_t>(walk.frames.size(), walk.backtrace + walk.backtrace_count - first);
    ASSERT_GT(common, static_cast<std::size_t>(depth));
    for (std::size_t k = 0; k < common; ++k) EXPECT_EQ(walk.frames[k].ReturnAddress, Addr(first[k])) << k;
    // Every recursive call returns to the same place, once per level.
    EXPECT_EQ(std::count_if(walk.frames.begin(), walk.frames.end(),
                            [&](const TTraceEntry& e) { return e.ReturnAddress == walk.recursion_return; }),
              depth);
  }
}

__attribute__((noinline)) std::uint32_t AskCaller(int level, std::uint32_t& ret) {
  ret = Addr(__builtin_return_address(0));
  return Caller(level);
}

__attribute__((noinline)) std::uint32_t AskCallerFromMiddle(std::uint32_t& ret) {
  std::uint32_t inner;
  const std::uint32_t site = AskCaller(1, inner);
  ret = Addr(__builtin_return_address(0));
  return site;
}

TEST(StackLiveWalks, CallerNamesTheCallInstruction) {
  std::uint32_t ret = 0;
  const std::uint32_t site = AskCaller(0, ret);
  ASSERT_EQ(*reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(ret - 5)), 0xE8);
  EXPECT_EQ(site, ret - 5);
  const std::uint32_t outer = AskCallerFromMiddle(ret);
  EXPECT_EQ(outer, ret - 5);
  EXPECT_EQ(Caller(100000), 0u);
}

TEST(StackLiveWalks, StackQueriesAnswerForTheirCaller) {
  EXPECT_EQ(GetCurrentStackFrame(), Addr(__builtin_frame_address(0)));
  const std::uint32_t local = Addr(&local);
  EXPECT_LT(GetCurrentStackPointer(), Addr(__builtin_frame_address(0)));
  EXPECT_LT(local, GetCurrentTopOfStack());
  const std::uint32_t here = GetCurrentInstruction();
  std::uint32_t length = 0;
  EXPECT_TRUE(IsCallBefore(here, IsExecutable, length));
}

// ---- the allocator's mode ------------------------------------------------------

std::uint32_t g_allocations = 0;
std::uint32_t g_probe_calls = 0;
rt::TMemoryManager g_previous_manager{};

void* CountingGetMem(std::size_t size) {
  ++g_allocations;
  return g_previous_manager.GetMem(size);
}
void* CountingAllocMem(std::size_t size) {
  ++g_allocations;
  return g_previous_manager.AllocMem(size);
}
void* CountingReallocMem(void* p, std::size_t size) {
  ++g_allocations;
  return g_previous_manager.ReallocMem(p, size);
}

bool CountingReadable(std::uint32_t address, std::uint32_t count) noexcept {
  ++g_probe_calls;
  return DefaultTraceProbes().Readable(address, count);
}
bool CountingExecutable(std::uint32_t address, std::uint32_t count) noexcept {
  ++g_probe_calls;
  return DefaultTraceProbes().Executable(address, count);
}

__attribute__((noinline)) std::size_t CaptureInPlaceFromDepth(int depth, std::span<TTraceEntry> out,
                                                              std::vector<TTraceEntry>& checked) {
  if (depth > 0) {
    const std::size_t n = CaptureInPlaceFromDepth(depth - 1, out, checked);
    return n;
  }
  const TTraceProbes saved = SetTraceProbes({CountingReadable, CountingExecutable});
  g_probe_calls = 0;
  g_previous_manager = rt::GetMemoryManager();
  rt::SetMemoryManager({CountingGetMem, g_previous_manager.FreeMem, CountingReallocMem, CountingAllocMem});
  g_allocations = 0;
  const std::size_t n = CaptureFramesInPlace(out);
  const std::uint32_t allocations = g_allocations;
  const std::uint32_t probes = g_probe_calls;
  rt::SetMemoryManager(g_previous_manager);
  SetTraceProbes(saved);
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(probes, 0u);
  checked = CollectTrace(6, CurrentStackRange());
  return n;
}

TEST(StackInPlace, CapturesTheFrameChainWithoutAllocatingOrAskingTheSystem) {
  TTraceEntry buffer[256];
  std::vector<TTraceEntry> checked;
  const std::size_t n = CaptureInPlaceFromDepth(12, buffer, checked);
  ASSERT_GE(n, 13u);
  // Both walks start with the return into the routine that asked.
  ASSERT_GE(checked.size(), n);
  for (std::size_t k = 0; k < n; ++k) {
    EXPECT_EQ(buffer[k].ReturnAddress, checked[k].ReturnAddress) << k;
    EXPECT_EQ(buffer[k].StackPointer, checked[k].StackPointer) << k;
  }
  TTraceEntry small[3];
  EXPECT_EQ(CaptureInPlaceFromDepth(12, small, checked), 3u) << "never past the caller's buffer";
}

// ---- another thread ---------------------------------------------------------------

struct Parked {
  test::Event parked;
  test::Event release;
  std::uint32_t wait_return = 0;     // the return into ParkHere from its wait
  std::uint32_t local = 0;           // an address on the thread's stack
  USHORT backtrace_count = 0;
  void* backtrace[64] = {};
};

__attribute__((noinline)) void WaitParked(Parked& p) {
  p.wait_return = Addr(__builtin_return_address(0));
  p.local = Addr(&p);
  p.backtrace_count = RtlCaptureStackBackTrace(0, 64, p.backtrace, nullptr);
  p.parked.Set();
  p.release.WaitFor(test::kDeadlockMs);
}

__attribute__((noinline)) void ParkHere(Parked& p) {
  WaitParked(p);
  p.local += 0;  // keeps the call above a call
}

DWORD WINAPI ParkedThread(void* data) {
  ParkHere(*static_cast<Parked*>(data));
  return 0;
}

std::uint32_t ExportAddress(const wchar_t* module, const char* name) {
  return Addr(reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

TEST(StackOtherThread, AParkedThreadsStackHoldsItsCallsUpToTheThreadStart) {
  Parked p;
  HANDLE thread = CreateThread(nullptr, 0, ParkedThread, &p, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(p.parked.WaitFor(test::kDeadlockMs));
  Sleep(20);  // let it reach the wait inside the system
  TThreadTrace trace;
  const bool ok = TraceThreadById(GetThreadId(thread), (1u << 5) | (1u << 6), trace);
  p.release.Set();
  WaitForSingleObject(thread, test::kDeadlockMs);
  CloseHandle(thread);
  ASSERT_TRUE(ok);
  EXPECT_GT(trace.SuspendedSeconds, 0.0);
  EXPECT_NE(trace.FirstAddress, 0u);

  std::vector<std::uint32_t> frames;
  for (const TTracedEntry& e : trace.Entries) {
    EXPECT_GT(e.StackAddr, p.local - 0x10000) << "slots are named in the thread's own stack";
    if ((e.Methods & (1u << 6)) != 0) frames.push_back(e.ReturnAddr);
  }
  const auto holds = [&](std::uint32_t value) {
    return std::find_if(trace.Entries.begin(), trace.Entries.end(),
                        [&](const TTracedEntry& e) { return e.ReturnAddr == value; }) != trace.Entries.end();
  };
  EXPECT_TRUE(holds(p.wait_return));
  const std::uint32_t thunk = ExportAddress(L"kernel32.dll", "BaseThreadInitThunk");
  ASSERT_NE(thunk, 0u);
  EXPECT_TRUE(std::any_of(trace.Entries.begin(), trace.Entries.end(), [&](const TTracedEntry& e) {
    return e.ReturnAddr > thunk && e.ReturnAddr < thunk + 0x100;
  }));
  // The thread's own backtrace from its wait routine outwards to the thread
  // start is the frame walk's, in order. (Past the thread start the system's
  // backtrace reads on into whatever the start-up code left.)
  ASSERT_GT(p.backtrace_count, 2);
  auto at = frames.begin();
  bool reached_start = false;
  for (USHORT k = 1; k < p.backtrace_count && !reached_start; ++k) {
    const std::uint32_t ret = Addr(p.backtrace[k]);
    at = std::find(at, frames.end(), ret);
    EXPECT_NE(at, frames.end()) << "backtrace frame " << k;
    if (at == frames.end()) break;
    reached_start = ret > thunk && ret < thunk + 0x100;
  }
  EXPECT_TRUE(reached_start);
}

// Asked by the walk: how often the thread under study was found stopped.
HANDLE g_watched = nullptr;
std::uint32_t g_found_stopped = 0;
std::uint32_t g_watch_calls = 0;

bool ReadableWhileWatching(std::uint32_t address, std::uint32_t count) noexcept {
  ++g_watch_calls;
  const DWORD previous = SuspendThread(g_watched);
  if (previous != static_cast<DWORD>(-1)) {
    if (previous != 0) ++g_found_stopped;
    ResumeThread(g_watched);
  }
  return DefaultTraceProbes().Readable(address, count);
}

TEST(StackOtherThread, TheWalkRunsOnlyOnceTheThreadRunsAgain) {
  Parked p;
  HANDLE thread = CreateThread(nullptr, 0, ParkedThread, &p, 0, nullptr);
  ASSERT_TRUE(p.parked.WaitFor(test::kDeadlockMs));
  g_watched = thread;
  g_found_stopped = g_watch_calls = 0;
  const TTraceProbes saved = SetTraceProbes({ReadableWhileWatching, DefaultTraceProbes().Executable});
  TThreadTrace trace;
  const bool ok = TraceThread(thread, (1u << 5) | (1u << 6), trace);
  SetTraceProbes(saved);
  p.release.Set();
  WaitForSingleObject(thread, test::kDeadlockMs);
  CloseHandle(thread);
  ASSERT_TRUE(ok);
  EXPECT_GT(g_watch_calls, 0u);
  EXPECT_EQ(g_found_stopped, 0u);
  EXPECT_FALSE(trace.Entries.empty());
}

TEST(StackOtherThread, ItsOwnIdGivesTheCurrentStack) {
  TThreadTrace trace;
  ASSERT_TRUE(TraceThreadById(GetCurrentThreadId(), 1u << 6, trace));
  EXPECT_EQ(trace.SuspendedSeconds, 0.0);
  const std::uint32_t here = Addr(__builtin_frame_address(0));
  EXPECT_TRUE(std::any_of(trace.Entries.begin(), trace.Entries.end(),
                          [&](const TTracedEntry& e) { return e.StackAddr == here + 4; }));
}

TEST(StackOtherThread, TheHandleMaySuspend) {
  EXPECT_EQ(platform::kThreadStackAccess,
            static_cast<std::uint32_t>(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION));
  Parked p;
  HANDLE thread = CreateThread(nullptr, 0, ParkedThread, &p, 0, nullptr);
  ASSERT_TRUE(p.parked.WaitFor(test::kDeadlockMs));
  {
    const platform::TThreadHandle h = platform::TThreadHandle::Open(GetThreadId(thread));
    ASSERT_TRUE(h);
    EXPECT_NE(SuspendThread(h.get()), static_cast<DWORD>(-1));
    EXPECT_NE(ResumeThread(h.get()), static_cast<DWORD>(-1));
  }
  p.release.Set();
  WaitForSingleObject(thread, test::kDeadlockMs);
  CloseHandle(thread);
}

TEST(StackOtherThread, ThreadThatCannotBeSuspendedGivesNothing) {
  TThreadTrace trace;
  EXPECT_FALSE(TraceThreadById(0xFFFFFFF0u, 1u << 6, trace));
  // A handle without the right to suspend.
  Parked p;
  HANDLE thread = CreateThread(nullptr, 0, ParkedThread, &p, 0, nullptr);
  ASSERT_TRUE(p.parked.WaitFor(test::kDeadlockMs));
  HANDLE weak = OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, GetThreadId(thread));
  ASSERT_NE(weak, nullptr);
  EXPECT_FALSE(TraceThread(weak, 1u << 6, trace));
  CloseHandle(weak);
  p.release.Set();
  WaitForSingleObject(thread, test::kDeadlockMs);
  CloseHandle(thread);
}

// ---- the image-help walker -----------------------------------------------------

__attribute__((noinline)) void WalkWithImageHelp(LiveWalk& walk, platform::TThreadRegisters& context,
                                                 platform::TThreadRegisters& after) {
  context = platform::CaptureCurrentRegisters();
  TStackRange range = CurrentStackRange();
  range.Context = &context;
  const platform::TThreadRegisters before = context;
  walk.frames = CollectTrace(10, range);
  after = context;
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the walker's context is a copy";
  walk.backtrace_count = RtlCaptureStackBackTrace(0, 64, walk.backtrace, nullptr);
}

TEST(StackImageHelp, WalksTheSameFramesAsTheSystemBacktrace) {
  LiveWalk walk;
  platform::TThreadRegisters context, after;
  WalkWithImageHelp(walk, context, after);
  ASSERT_GE(walk.frames.size(), 3u);
  // The backtrace, taken in the same routine, begins inside it; its next
  // entries are the routine's callers, which the walk reports too.
  for (USHORT k = 1; k < 4 && k < walk.backtrace_count; ++k) {
    EXPECT_TRUE(std::any_of(walk.frames.begin(), walk.frames.end(),
                            [&](const TTraceEntry& e) { return e.ReturnAddress == Addr(walk.backtrace[k]); }))
        << k;
  }
}

// ---- the method table ---------------------------------------------------------------

TEST(StackMethods, TableNamesAndDefaults) {
  EXPECT_EQ(TracerName(5), L"VarnelLog RAW v7");
  EXPECT_EQ(TracerName(12), L"MadExcept RAW");
  EXPECT_EQ(TracerName(4), L"#4");
  EXPECT_EQ(TracerListKind(5), TTracerListKind::kV7);
  EXPECT_EQ(TracerListKind(3), TTracerListKind::kV6);
  EXPECT_EQ(TracerListKind(8), TTracerListKind::kGeneric);
  EXPECT_EQ(TracerListKind(12), TTracerListKind::kNone);
  EXPECT_THROW(TracerMethod(32), rt::EAssertionFailed);
  int data = 0;
  EXPECT_THROW(Walk(12, [](std::uint32_t, std::uint32_t, void*, bool) { return true; }, &data, {}),
               rt::EAssertionFailed);
  EXPECT_THROW(Walk(6, nullptr, &data, {}), rt::EAssertionFailed);
  const std::uint32_t saved = EnabledMethods();
  SetEnabledMethods((1u << 8) | (1u << 6) | 1u);
  EXPECT_EQ(DefaultTracer(), 6);
  SetEnabledMethods(1u);
  EXPECT_EQ(DefaultTracer(), 0);
  SetEnabledMethods(saved);
}

// ---- the clean-up ------------------------------------------------------------------

// Items of a fixed stack: each names its routine (unit "U") and, when it has
// one, the routine its call lands in.
TStackItem Item(std::uint32_t address, const wchar_t* routine, const wchar_t* target = nullptr, bool protect = false) {
  TStackItem item;
  item.Address = address;
  item.Stack = 0x1000 + address;
  item.Location.Address = address - 5;
  item.Location.UnitName = L"U";
  item.Location.ProcedureName = routine;
  if (target != nullptr) {
    item.Target = 0x9000 + address;
    item.TargetLocation.UnitName = L"U";
    item.TargetLocation.ProcedureName = target;
  }
  item.Protect = protect;
  return item;
}

std::vector<std::uint32_t> LiveAddresses(const std::vector<TStackItem>& items) {
  std::vector<std::uint32_t> out;
  for (const TStackItem& i : items) {
    if (!i.Deleted) out.push_back(i.Address);
  }
  return out;
}

TEST(StackCleanup, ChainsKeepCallsThatLandInTheRoutineBelow) {
  std::vector<TStackItem> items{Item(1, L"A", nullptr, true), Item(2, L"B", L"A"), Item(3, L"X", L"Z"),
                                Item(4, L"C", L"B"), Item(5, L"D")};
  CheckChainsBetweenAnchors(items);
  EXPECT_EQ(LiveAddresses(items), (std::vector<std::uint32_t>{1, 2, 4, 5}));
}

TEST(StackCleanup, BackwardFromAnAnchorStopsAtTheRoutineItCalls) {
  std::vector<TStackItem> items{Item(1, L"A", nullptr, true), Item(2, L"B"), Item(3, L"junk1"), Item(4, L"junk2"),
                                Item(5, L"C", L"B", true)};
  CheckChainsBetweenAnchors(items);
  EXPECT_EQ(LiveAddresses(items), (std::vector<std::uint32_t>{1, 2, 5}));
}

TEST(StackCleanup, AnchorsWithoutATargetOrAMatchDeleteNothing) {
  // No target: nothing to go back to.
  std::vector<TStackItem> items{Item(1, L"A"), Item(2, L"B"), Item(3, L"C", nullptr, true), Item(4, L"D")};
  CheckChainsBetweenAnchors(items);
  EXPECT_EQ(LiveAddresses(items), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  // A target no earlier item is in, up to the previous anchor (which stays).
  std::vector<TStackItem> unmatched{Item(1, L"B"), Item(2, L"P", nullptr, true), Item(3, L"x"),
                                    Item(4, L"C", L"B", true)};
  CheckChainsBetweenAnchors(unmatched);
  EXPECT_EQ(LiveAddresses(unmatched), (std::vector<std::uint32_t>{1, 2, 3, 4}));
}

TEST(StackCleanup, RepeatedBlocksOfADeepRecursionLeaveOneRound) {
  const auto recursion = [](int rounds) {
    std::vector<TStackItem> items{Item(100, L"leaf")};
    for (int i = 0; i < rounds; ++i) {
      items.push_back(Item(200, L"f"));
      items.push_back(Item(300, L"g"));
    }
    items.push_back(Item(400, L"main"));
    items.push_back(Item(500, L"start"));
    return items;
  };
  // Best of three, so that a busy machine does not decide.
  const auto timed = [&](int rounds) {
    long long best = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::vector<TStackItem> items = recursion(rounds);
      const auto t0 = std::chrono::steady_clock::now();
      RemoveRepeatedBlocks(items);
      const long long spent = (std::chrono::steady_clock::now() - t0).count();
      EXPECT_EQ(LiveAddresses(items), (std::vector<std::uint32_t>{100, 200, 300, 400, 500}));
      if (best < 0 || spent < best) best = spent;
    }
    return std::max<long long>(best, 1);
  };
  const long long deep = timed(10000);  // 20,003 items
  const long long shallow = timed(1000);
  // Linear: ten times the depth costs about ten times as much, a quadratic
  // pass a hundred.
  EXPECT_LT(deep, 40 * shallow);
}

TEST(StackCleanup, RepeatedBlocksOfOtherShapes) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> addresses;
    std::vector<std::uint32_t> protect;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"direct recursion", {1, 2, 2, 2, 2, 3}, {}, {1, 2, 3}},
      {"period three", {1, 2, 3, 4, 2, 3, 4, 2, 3, 4, 5}, {}, {1, 2, 3, 4, 5}},
      {"a block holding a protected item stays", {1, 2, 3, 2, 3, 4}, {3}, {1, 2, 3, 2, 3, 4}},
      {"no repeat", {1, 2, 3, 1, 4}, {}, {1, 2, 3, 1, 4}},
      {"nested", {1, 2, 2, 3, 2, 2, 3, 9}, {}, {1, 2, 3, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TStackItem> items;
    for (std::size_t k = 0; k < c.addresses.size(); ++k) {
      items.push_back(Item(c.addresses[k], L"r"));
      // Only the second occurrence of a protected address is protected.
      if (std::count(c.protect.begin(), c.protect.end(), c.addresses[k]) != 0 &&
          std::count(c.addresses.begin(), c.addresses.begin() + static_cast<std::ptrdiff_t>(k), c.addresses[k]) == 1) {
        items.back().Protect = true;
      }
    }
    RemoveRepeatedBlocks(items);
    EXPECT_EQ(LiveAddresses(items), c.expected);
  }
}

TEST(StackCleanup, NeighbourDuplicates) {
  struct Case {
    const char* what;
    TStackItem first, second;
    std::vector<std::uint32_t> expected;
  };
  TStackItem same_line_a = Item(10, L"r");
  TStackItem same_line_b = Item(20, L"r");
  same_line_a.Location.LineNumber = same_line_b.Location.LineNumber = 42;
  TStackItem unknown_a, unknown_b;
  unknown_a.Address = 10;
  unknown_b.Address = 20;
  unknown_a.Location.Address = 5;
  unknown_b.Location.Address = 15;
  const Case cases[] = {
      {"same return address: the first goes", Item(10, L"r"), Item(10, L"r"), {10}},
      {"a protected first stays", Item(10, L"r", nullptr, true), Item(10, L"r"), {10}},
      {"the one with a target stays", Item(10, L"r", L"t"), Item(20, L"r"), {10}},
      {"same module, unit and line", same_line_a, same_line_b, {20}},
      {"both protected stay", Item(10, L"r", nullptr, true), Item(20, L"r", nullptr, true), {10, 20}},
      {"other routines stay", Item(10, L"r"), Item(20, L"s"), {10, 20}},
      {"nothing known is no match", unknown_a, unknown_b, {10, 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TStackItem> items{c.first, c.second};
    RemoveNeighbourDuplicates(items);
    EXPECT_EQ(LiveAddresses(items), c.expected);
  }
}

TEST(StackCleanup, ThreadStartCutsTheOuterItems) {
  std::vector<TStackItem> items{Item(10, L"a"), Item(20, L"b", nullptr, true), Item(30, L"c"), Item(40, L"d")};
  CutAtThreadStart(items, 20 - 5);
  EXPECT_EQ(LiveAddresses(items), (std::vector<std::uint32_t>{10, 20}));
  // Unprotected, it is taken only behind an initialization routine.
  std::vector<TStackItem> raw{Item(10, L"a"), Item(20, L"b"), Item(30, L"c")};
  CutAtThreadStart(raw, 20 - 5);
  EXPECT_EQ(raw.size(), 3u);
  std::vector<TStackItem> behind_init{Item(10, L"Initialization"), Item(20, L"b"), Item(30, L"c")};
  CutAtThreadStart(behind_init, 20 - 5);
  EXPECT_EQ(LiveAddresses(behind_init), (std::vector<std::uint32_t>{10, 20}));
  EXPECT_TRUE(behind_init[1].Protect);
}

TEST(StackCleanup, AnchorsAtTheFirstAddressAndTheUnitRunner) {
  std::vector<TStackItem> items{Item(10, L"a", L"x"), Item(20, L"b", L"y"), Item(30, L"c", L"z"), Item(40, L"d"),
                                Item(50, L"e")};
  items[0].Target = 0x1000;
  items[1].Target = 0x5000;
  items[2].Target = 0x3000;
  items[4].Location.UnitName = L"System";
  items[4].Location.ProcedureName = L"InitUnits";
  items[3].Location.UnitName = L"Main";
  items[3].Location.ProcedureName = L"Main";
  TCleanupParams params;
  params.FirstAddress = 0x4000;
  ProtectAnchors(items, params);
  // Nearest target below 0x4000 is item 2's; item 1 is the one before it.
  EXPECT_TRUE(items[2].Protect);
  EXPECT_TRUE(items[1].Protect);
  EXPECT_FALSE(items[0].Protect);
  // From the second-to-last item down, the unit's own code ends the scan;
  // the last item is outside it.
  EXPECT_TRUE(items[3].Protect);
  EXPECT_FALSE(items[4].Protect);
}

TEST(StackCleanup, CleaningKeepsTheLiveItemsInOrder) {
  std::vector<TStackItem> items{Item(10, L"a", nullptr, true), Item(20, L"b", L"a"), Item(30, L"b", L"a"),
                                Item(40, L"q", L"zz"), Item(50, L"c", L"b", true)};
  CleanStackItems(items, {});
  std::vector<std::uint32_t> kept;
  for (const TStackItem& i : items) kept.push_back(i.Address);
  // 20 and 30 are one call (same routine, no lines): the first goes; 40
  // lands in no routine of this stack.
  EXPECT_EQ(kept, (std::vector<std::uint32_t>{10, 30, 50}));
}

// ---- the v7 collector over a laid-out stack ----------------------------------------

struct FakeLocations {
  std::uint32_t named_site;
};

bool LookupFake(void* data, std::uint32_t address, TVLLocationInfo& info) {
  const auto& f = *static_cast<const FakeLocations*>(data);
  if (address != f.named_site) return false;
  info.UnitName = L"U";
  info.ProcedureName = L"named";
  return true;
}

TEST(StackCollectV7, RawSlotsNeedANamedCallSiteFramesDoNot) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 0x1000);
  // Two calls: E8 rel32 at +0x20 and +0x40 (targets inside the page).
  const std::uint8_t call[] = {0xE8, 0x00, 0x01, 0x00, 0x00};
  std::memcpy(code.data() + 0x20, call, sizeof call);
  std::memcpy(code.data() + 0x40, call, sizeof call);
  const std::uint32_t named = code.base() + 0x25;
  const std::uint32_t unnamed = code.base() + 0x45;
  // One frame whose return is the unnamed site, raw slots below it.
  std::vector<std::uint32_t> stack{named, unnamed, named, 0, 0, 0, 0, 0};
  stack[4] = Addr(&stack[6]);  // frame at [4]: link to [6], return at [5]
  stack[5] = unnamed;
  stack[6] = Addr(&stack[7]);
  const TStackRange range =
      MakeStackRange(Addr(stack.data()), Addr(&stack[4]), Addr(stack.data() + stack.size()));
  FakeLocations locations{named - 5};
  const std::vector<TStackItem> items = CollectV7(range, 0, LiveMemory(), {LookupFake, &locations});
  // Slot 1 has no named call site; slot 2 repeats the item before it.
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].Address, named);
  EXPECT_EQ(items[0].Stack, Addr(&stack[0]));
  EXPECT_FALSE(items[0].Protect);
  EXPECT_EQ(items[1].Address, unnamed) << "a frame's return needs no name";
  EXPECT_TRUE(items[1].Protect);
  EXPECT_EQ(items[1].Stack, Addr(&stack[5]));
  EXPECT_EQ(items[0].Target, code.base() + 0x125);
  EXPECT_EQ(items[0].Location.ProcedureName, L"named");
}

// Every site named after its offset, with texts long enough to live on the
// heap: an item that meets a site already kept by an earlier item must get
// the same location, not what was left after the first one took it.
bool LookupByOffset(void* data, std::uint32_t address, TVLLocationInfo& info) {
  const std::uint32_t base = *static_cast<const std::uint32_t*>(data);
  if (address < base || address >= base + 0x1000) return false;
  info.ModuleName = L"C:\\a folder long enough for the heap\\module.dll";
  info.UnitName = L"a unit name long enough for the heap";
  info.ProcedureName = L"routine_at_" + std::to_wstring(address - base);
  info.LineNumber = static_cast<std::int32_t>(address - base);
  info.DebugDetail = ddSourceCode;
  return true;
}

TEST(StackCollectV7, ASiteMetAgainGetsTheSameLocation) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 0x1000);
  const std::uint8_t call[] = {0xE8, 0x00, 0x01, 0x00, 0x00};
  std::memcpy(code.data() + 0x20, call, sizeof call);
  std::memcpy(code.data() + 0x40, call, sizeof call);
  const std::uint32_t first = code.base() + 0x25;
  const std::uint32_t second = code.base() + 0x45;
  std::vector<std::uint32_t> stack{first, second, first, second, 0};
  const TStackRange range = MakeStackRange(Addr(stack.data()), Addr(&stack[4]), Addr(stack.data() + stack.size()));
  std::uint32_t base = code.base();
  const std::vector<TStackItem> items = CollectV7(range, 0, LiveMemory(), {LookupByOffset, &base});
  ASSERT_EQ(items.size(), 4u);
  for (std::size_t k = 0; k < items.size(); ++k) {
    SCOPED_TRACE(k);
    const std::uint32_t offset = k % 2 == 0 ? 0x20 : 0x40;
    const TVLLocationInfo& l = items[k].Location;
    EXPECT_EQ(l.Address, code.base() + offset);
    EXPECT_EQ(l.ProcedureName, L"routine_at_" + std::to_wstring(offset));
    EXPECT_EQ(l.LineNumber, static_cast<std::int32_t>(offset));
    EXPECT_EQ(l.ModuleName, L"C:\\a folder long enough for the heap\\module.dll");
    EXPECT_EQ(l.UnitName, L"a unit name long enough for the heap");
    // Each call lands 0x100 bytes past its return address, in this page.
    EXPECT_EQ(items[k].Target, code.base() + offset + 0x105);
    EXPECT_EQ(items[k].TargetLocation.ProcedureName, L"routine_at_" + std::to_wstring(offset + 0x105));
  }
}


// Offset 0x60 is found, but in no named routine: a module's texts only.
bool LookupWithUnnamedSite(void* data, std::uint32_t address, TVLLocationInfo& info) {
  const std::uint32_t base = *static_cast<const std::uint32_t*>(data);
  if (address != base + 0x60) return LookupByOffset(data, address, info);
  info.ModuleName = L"C:\\another folder long enough for the heap\\unnamed.dll";
  return true;
}

// Texts are learnt once per address and kept by the first item that needs
// them; an address met again in another role must still get its own.
TEST(StackCollectV7, AnAddressMetInAnotherRoleGetsItsOwnTexts) {
  ExecutableBuffer code;
  std::memset(code.data(), 0x90, 0x1000);
  // +0x20 calls +0x40, which is itself a call (to +0x245); +0x60 calls +0x265.
  const std::uint8_t to_0x40[] = {0xE8, 0x1B, 0x00, 0x00, 0x00};
  const std::uint8_t call[] = {0xE8, 0x00, 0x02, 0x00, 0x00};
  std::memcpy(code.data() + 0x20, to_0x40, sizeof to_0x40);
  std::memcpy(code.data() + 0x40, call, sizeof call);
  std::memcpy(code.data() + 0x60, call, sizeof call);
  std::uint32_t base = code.base();
  const auto expect_site = [&](const TStackItem& item, std::uint32_t offset) {
    EXPECT_EQ(item.Location.Address, base + offset);
    EXPECT_EQ(item.Location.ProcedureName, L"routine_at_" + std::to_wstring(offset));
    EXPECT_EQ(item.Location.LineNumber, static_cast<std::int32_t>(offset));
    EXPECT_EQ(item.Location.ModuleName, L"C:\\a folder long enough for the heap\\module.dll");
  };
  {
    SCOPED_TRACE("a target that was a kept call site, and a call site that was a target");
    for (const bool site_first : {true, false}) {
      std::vector<std::uint32_t> stack{base + 0x45, base + 0x25, 0};
      if (!site_first) std::swap(stack[0], stack[1]);
      const TStackRange range = MakeStackRange(Addr(stack.data()), Addr(&stack[2]), Addr(stack.data() + stack.size()));
      const std::vector<TStackItem> items = CollectV7(range, 0, LiveMemory(), {LookupByOffset, &base});
      ASSERT_EQ(items.size(), 2u);
      const TStackItem& caller = items[site_first ? 1 : 0];
      const TStackItem& callee = items[site_first ? 0 : 1];
      expect_site(caller, 0x20);
      expect_site(callee, 0x40);
      EXPECT_EQ(caller.Target, base + 0x40);
      EXPECT_EQ(caller.TargetLocation.ProcedureName, L"routine_at_64");
      EXPECT_EQ(caller.TargetLocation.UnitName, L"a unit name long enough for the heap");
      EXPECT_EQ(callee.TargetLocation.ProcedureName, L"routine_at_" + std::to_wstring(0x245));
    }
  }
  {
    SCOPED_TRACE("a site turned away as a raw slot, then a frame's return");
    // Raw slots [0] and [1], then the frame at [2] returning to +0x65.
    std::vector<std::uint32_t> stack{base + 0x65, base + 0x25, 0, base + 0x65, 0};
    stack[2] = Addr(&stack[4]);
    const TStackRange range = MakeStackRange(Addr(stack.data()), Addr(&stack[2]), Addr(stack.data() + stack.size()));
    const std::vector<TStackItem> items = CollectV7(range, 0, LiveMemory(), {LookupWithUnnamedSite, &base});
    ASSERT_EQ(items.size(), 2u);
    expect_site(items[0], 0x20);
    EXPECT_FALSE(items[0].Protect);
    EXPECT_EQ(items[1].Address, base + 0x65);
    EXPECT_TRUE(items[1].Protect);
    EXPECT_EQ(items[1].Location.Address, base + 0x60);
    EXPECT_EQ(items[1].Location.ModuleName, L"C:\\another folder long enough for the heap\\unnamed.dll");
    EXPECT_EQ(items[1].Location.ProcedureName, L"");
    EXPECT_EQ(items[1].TargetLocation.ProcedureName, L"routine_at_" + std::to_wstring(0x265));
  }
}

}  // namespace
}  // namespace zelvic::diag
