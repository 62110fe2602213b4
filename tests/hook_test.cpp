// The patching engine: the neutral entry classification, jump walk and
// trampoline builder on fixed bytes whose expected results were worked out
// by hand; then live patches of routines of known shapes in this program,
// of kernel32 and ntdll routines, and of this program's import table.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "diagnostics/util/EDisAsm.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "diagnostics/util/EHook.h"
#include "diagnostics/util/EHookTrampoline.h"
#include "platform/code_memory.h"
#include "pe_builder.h"
#include "pe_exports.h"
#include "test_support.h"

extern "C" {
int hook_shape_hot(int);
int hook_shape_hot2(int);
int hook_shape_call();
int hook_shape_forty();
int hook_shape_ret();
int hook_shape_thunk();
int hook_shape_seven();
int hook_shape_jecxz(int);
int hook_shape_inside();
int hook_shape_int3();
}

namespace zelvic::diag {
namespace {

using memory::TBufferMemory;
namespace pe = test::pe;

template <typename F>
std::uint32_t A(F* f) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(f));
}
template <typename F>
void* V(F* f) {
  return reinterpret_cast<void*>(f);
}
template <typename F>
F* As(std::uint32_t a) {
  return reinterpret_cast<F*>(static_cast<std::uintptr_t>(a));
}

std::vector<std::uint8_t> Live(std::uint32_t address, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::memcpy(out.data(), reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), size);
  return out;
}

DWORD Protection(std::uint32_t address) {
  MEMORY_BASIC_INFORMATION mbi{};
  VirtualQuery(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), &mbi, sizeof mbi);
  return mbi.Protect;
}

// ===========================================================================
// Fixed bytes

constexpr std::uint32_t kBase = 0x00401000;

TEST(HookEntry, Classification) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::uint32_t entry_offset;
    TEntryKind kind;
    std::uint32_t length;
    std::uint32_t chain;  // offset from the entry
  } cases[] = {
      {"padded 8B FF", {0x90, 0x90, 0x90, 0x90, 0x90, 0x8B, 0xFF, 0x55, 0x8B, 0xEC}, 5, TEntryKind::kHotPatchable, 0, 0},
      // E9 +0x100 at entry - 5 lands at entry + 0x100.
      {"hot-patched", {0xE9, 0x00, 0x01, 0x00, 0x00, 0xEB, 0xF9, 0x55, 0x8B, 0xEC}, 5, TEntryKind::kHotPatched, 0, 0x100},
      // Nothing readable before the entry: the same bytes are a detour of
      // mov edi,edi (2) push ebp (1) mov ebp,esp (2).
      {"8B FF at the buffer start", {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x90, 0x90, 0x90}, 0, TEntryKind::kDetour, 5, 0},
      // Padding of 90 but not 8B FF: push ebp (1), mov ebp,esp (2), sub esp,10h (3).
      {"plain prologue", {0x90, 0x90, 0x90, 0x90, 0x90, 0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0xC9, 0xC3}, 5, TEntryKind::kDetour, 6, 0},
      // lea ecx,[esp+4] (4), and esp,-16 (3): RtlExitUserThread's entry.
      {"lea then and", {0x8D, 0x4C, 0x24, 0x04, 0x83, 0xE4, 0xF0, 0x90}, 0, TEntryKind::kDetour, 7, 0},
      {"relative call first", {0xE8, 0x10, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90}, 0, TEntryKind::kDetour, 5, 0},
      {"breakpoint", {0xCC, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90}, 0, TEntryKind::kBreakpoint, 0, 0},
      {"lone return", {0xC3, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90}, 0, TEntryKind::kUnhookable, 0, 0},
      {"return after two bytes", {0x31, 0xC0, 0xC3, 0x90, 0x90, 0x90, 0x90, 0x90}, 0, TEntryKind::kUnhookable, 0, 0},
      {"invalid opcode", {0x90, 0x0F, 0x04, 0x90, 0x90, 0x90, 0x90, 0x90}, 0, TEntryKind::kUnhookable, 0, 0},
      // A five-byte call whose following bytes are not there: the entry's
      // jump is stored with eight bytes.
      {"too close to the end", {0xE8, 0x10, 0x00, 0x00, 0x00, 0x90}, 0, TEntryKind::kUnhookable, 0, 0},
  };
  for (const auto& c : cases) {
    const TBufferMemory memory(c.bytes.data(), c.bytes.size(), kBase);
    const std::uint32_t entry = kBase + c.entry_offset;
    const TEntryClass got = ClassifyEntry(memory, entry);
    EXPECT_EQ(got.Kind, c.kind) << c.what;
    if (c.kind == TEntryKind::kDetour) {
      EXPECT_EQ(got.Length, c.length) << c.what;
    }
    if (c.kind == TEntryKind::kHotPatched) {
      EXPECT_EQ(got.ChainTarget, entry + c.chain) << c.what;
    }
  }
  const std::uint8_t one = 0x90;
  EXPECT_EQ(ClassifyEntry(TBufferMemory(&one, 1, kBase), kBase + 1).Kind, TEntryKind::kUnreadable);
}

TEST(HookEntry, FollowJumps) {
  // A table of thunks at fixed offsets; each case starts somewhere in it.
  std::vector<std::uint8_t> b(0x100, 0x90);
  auto put = [&](std::uint32_t at, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + at);
  };
  put(0x00, {0xEB, 0x0E});                          // -> 0x10
  put(0x10, {0xE9, 0x0B, 0x00, 0x00, 0x00});        // -> 0x20
  put(0x20, {0xFF, 0x25, 0xF0, 0x10, 0x40, 0x00});  // -> [0x4010F0] = 0x401030
  put(0xF0, {0x30, 0x10, 0x40, 0x00});
  put(0x30, {0x55, 0x8B, 0xEC});                    // the routine
  put(0x40, {0xEB, 0xFE});                          // jumps to itself
  put(0x50, {0xE9, 0x0B, 0x00, 0x00, 0x00});        // -> 0x60
  put(0x60, {0xE9, 0xEB, 0xFF, 0xFF, 0xFF});        // -> 0x50
  put(0x70, {0xE9, 0x00, 0x10, 0x00, 0x00});        // -> outside the buffer
  put(0x78, {0xE9, 0x00, 0x00, 0x00, 0x00, 0xEB, 0xF9});  // hot-patched entry at 0x7D
  put(0xA0, {0xFF, 0x25, 0x00, 0x00, 0x00, 0x10});  // pointer slot unreadable
  for (std::uint32_t at = 0xB0; at < 0xF0; at += 2) put(at, {0xEB, 0x00});  // 32 jumps to the next one
  const TBufferMemory memory(b.data(), b.size(), kBase);
  const struct {
    std::uint32_t from, stop_before, expected;
  } cases[] = {
      {0x00, 0, 0x30},      // three kinds of jump in a row
      {0x00, 0x401020, 0x10},  // stops before the handler
      {0x30, 0, 0x30},      // no jump
      {0x40, 0, 0x40},      // EB FE
      {0x50, 0, 0x60},      // two thunks pointing at each other
      {0x70, 0, 0x70},      // unreadable target
      {0x7D, 0, 0x7D},      // someone's hot patch is where the walk ends
      {0xA0, 0, 0xA0},      // unreadable pointer
      {0xB0, 0, 0xB0 + 2 * kMaxJumpSteps},  // bounded
  };
  for (const auto& c : cases) {
    const std::uint32_t stop = c.stop_before;
    EXPECT_EQ(FollowJumps(memory, kBase + c.from, stop), kBase + c.expected) << std::hex << c.from;
  }
}

constexpr std::uint32_t kBlock = 0x10000000;

struct Built {
  TTrampolineResult result;
  std::vector<std::uint8_t> page;
};

Built Build(const std::vector<std::uint8_t>& code, std::uint32_t length) {
  const TBufferMemory memory(code.data(), code.size(), kBase);
  Built b{TTrampolineResult::kBadArguments, std::vector<std::uint8_t>(kTrampolinePageSize)};
  b.result = BuildTrampoline(memory, kBase, length, kBlock, b.page);
  return b;
}

// The page but for the listed bytes is 90.
void ExpectPage(const std::vector<std::uint8_t>& page,
                std::initializer_list<std::pair<std::uint32_t, std::vector<std::uint8_t>>> parts) {
  std::vector<std::uint8_t> expected(kTrampolinePageSize, 0x90);
  for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), expected.begin() + at);
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(page[i], expected[i]) << "offset " << std::hex << i;
}

TEST(HookTrampoline, RelativeCallGoesThroughAFarPad) {
  // call 0x402000 from 0x401000: rel32 = 0x402000 - 0x401005 = 0xFFB.
  const Built b = Build({0xE8, 0xFB, 0x0F, 0x00, 0x00, 0x90, 0x90, 0x90}, 5);
  ASSERT_EQ(b.result, TTrampolineResult::kBuilt);
  ExpectPage(b.page, {
                         // call to the pad at 0xFF0: 0xFF0 - 5 = 0xFEB
                         {0, {0xE8, 0xEB, 0x0F, 0x00, 0x00}},
                         // back to 0x401005 from 0x1000000A: 0xF0400FFB
                         {5, {0xE9, 0xFB, 0x0F, 0x40, 0xF0}},
                         // the pad: 0x402000 - 0x10000FF5 = 0xF040100B
                         {0xFF0, {0xE9, 0x0B, 0x10, 0x40, 0xF0}},
                     });
}

TEST(HookTrampoline, NearConditionalJumpGoesThroughAFarPad) {
  // jz rel32 +0x100 from 0x401006: target 0x401106; then the page ends the copy at 6.
  const Built b = Build({0x0F, 0x84, 0x00, 0x01, 0x00, 0x00, 0x90, 0x90}, 6);
  ASSERT_EQ(b.result, TTrampolineResult::kBuilt);
  ExpectPage(b.page, {
                         {0, {0x0F, 0x84, 0xEA, 0x0F, 0x00, 0x00}},  // 0xFF0 - 6
                         {6, {0xE9, 0xFB, 0x0F, 0x40, 0xF0}},        // 0x401006 - 0x1000000B
                         {0xFF0, {0xE9, 0x11, 0x01, 0x40, 0xF0}},    // 0x401106 - 0x10000FF5
                     });
}

TEST(HookTrampoline, ShortBranchesGoThroughNearPadsDownward) {
  // jz +5 (to 0x401007), jnz +3 (to 0x401007), nop: five bytes.
  const Built b = Build({0x74, 0x05, 0x75, 0x03, 0x90, 0x90, 0x90, 0x90}, 5);
  ASSERT_EQ(b.result, TTrampolineResult::kBuilt);
  ExpectPage(b.page, {
                         {0, {0x74, 0x6E}},                           // 0x70 - 2
                         {2, {0x75, 0x5C}},                           // 0x60 - 4
                         {5, {0xE9, 0xFB, 0x0F, 0x40, 0xF0}},         // back to 0x401005
                         {0x60, {0xE9, 0xA2, 0x0F, 0x40, 0xF0}},      // 0x401007 - 0x10000065
                         {0x70, {0xE9, 0x92, 0x0F, 0x40, 0xF0}},      // 0x401007 - 0x10000075
                     });
}

TEST(HookTrampoline, RefusesWhatCannotRunElsewhere) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> code;
    std::uint32_t length;
    TTrampolineResult expected;
  } cases[] = {
      {"jz into the copy", {0x85, 0xC0, 0x74, 0x00, 0x90, 0x90}, 5, TTrampolineResult::kTargetInsideCopy},
      {"loop back to the entry", {0x90, 0x90, 0x90, 0xE2, 0xFB, 0x90}, 5, TTrampolineResult::kTargetInsideCopy},
      {"16-bit jump", {0x66, 0xE9, 0x10, 0x00, 0x90, 0x90}, 5, TTrampolineResult::kSixteenBitBranch},
      {"invalid", {0x0F, 0x04, 0x90, 0x90, 0x90, 0x90}, 5, TTrampolineResult::kInvalidInstruction},
      {"too short", {0x90, 0x90, 0x90, 0x90, 0x90, 0x90}, 4, TTrampolineResult::kBadArguments},
  };
  for (const auto& c : cases) EXPECT_EQ(Build(c.code, c.length).result, c.expected) << c.what;
}

// The library's decoder walks the built trampolines: every instruction is
// whole and valid, their lengths are the hand-counted ones, and the jump
// after the copy lands at entry + L.
TEST(HookTrampoline, DecodesToTheCopyAndTheJumpBack) {
  const struct {
    std::vector<std::uint8_t> code;
    std::uint32_t length;
    std::vector<std::uint32_t> lengths;
  } cases[] = {
      {{0xE8, 0xFB, 0x0F, 0x00, 0x00, 0x90, 0x90, 0x90}, 5, {5}},
      {{0x8D, 0x4C, 0x24, 0x04, 0x83, 0xE4, 0xF0, 0x90}, 7, {4, 3}},
      {{0x74, 0x05, 0x75, 0x03, 0x90, 0x90, 0x90, 0x90}, 5, {2, 2, 1}},
      {{0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0xC3, 0x90}, 6, {1, 2, 3}},
  };
  for (const auto& c : cases) {
    const Built b = Build(c.code, c.length);
    ASSERT_EQ(b.result, TTrampolineResult::kBuilt);
    const TBufferMemory page(b.page.data(), b.page.size(), kBlock);
    std::uint32_t at = kBlock;
    for (const std::uint32_t expected : c.lengths) {
      const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(page, at, true);
      ASSERT_TRUE(ins.Valid);
      EXPECT_EQ(ins.End - ins.Start, expected);
      at = ins.End;
    }
    const disasm::TDisasmInstruction back = disasm::DecodeInstruction(page, at, true);
    ASSERT_TRUE(back.Valid && back.IsBranch && back.IsRelative);
    EXPECT_EQ(back.Target, kBase + c.length);
  }
}

// ===========================================================================
// Live patches

class Hook : public ::testing::Test {
 protected:
  void SetUp() override { EHookInit(); }
  void TearDown() override { EHookDone(); }
};

using IntFn = int(int);
using VoidFn = int();

IntFn* g_int_trampoline = nullptr;
VoidFn* g_void_trampoline = nullptr;
int g_handler_calls = 0;

int TimesTenHandler(int x) {
  ++g_handler_calls;
  return g_int_trampoline(x) * 10;
}
int PlusHundredHandler() {
  ++g_handler_calls;
  return g_void_trampoline() + 100;
}

// Bytes and the protection around an entry, before and after.
struct Snapshot {
  explicit Snapshot(std::uint32_t entry) : bytes(Live(entry - 8, 32)), protection(Protection(entry)) {}
  bool operator==(const Snapshot&) const = default;
  std::vector<std::uint8_t> bytes;
  DWORD protection;
};

TEST_F(Hook, HotPatchChangesSevenBytesAndUnhookRestoresThem) {
  const std::uint32_t entry = A(&hook_shape_hot);
  const Snapshot before(entry);
  g_handler_calls = 0;
  void* t = HookCodeProcedure(V(&hook_shape_hot), V(&TimesTenHandler));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_EQ(A(t), entry + 2);
  g_int_trampoline = reinterpret_cast<IntFn*>(t);
  EXPECT_EQ(hook_shape_hot(4), 50);
  EXPECT_EQ(g_handler_calls, 1);
  EXPECT_EQ(g_int_trampoline(4), 5);

  // Exactly entry - 5 .. entry + 1 changed: E9 to the handler, EB F9.
  std::vector<std::uint8_t> expected = before.bytes;
  const std::uint32_t rel = A(&TimesTenHandler) - entry;
  const std::uint8_t patch[] = {0xE9, static_cast<std::uint8_t>(rel), static_cast<std::uint8_t>(rel >> 8),
                                static_cast<std::uint8_t>(rel >> 16), static_cast<std::uint8_t>(rel >> 24), 0xEB, 0xF9};
  std::copy(std::begin(patch), std::end(patch), expected.begin() + 3);
  EXPECT_EQ(Live(entry - 8, 32), expected);

  EXPECT_TRUE(UnhookCodeProcedure(V(&hook_shape_hot)));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(Snapshot(entry), before);
  EXPECT_EQ(hook_shape_hot(4), 5);
  EXPECT_EQ(HookedProcedures()->Count(), 0u);
}

TEST_F(Hook, DetoursRunThroughTheirTrampolines) {
  const struct {
    const char* what;
    void* routine;
    std::uint32_t patched;  // after the thunks
    bool takes_int;
    int arg, direct, hooked;
    std::uint32_t length;
  } cases[] = {
      {"relative call first", V(&hook_shape_call), A(&hook_shape_call), false, 0, 42, 142, 5},
      {"thunk in front", V(&hook_shape_thunk), A(&hook_shape_seven), false, 0, 7, 107, 8},
      {"jecxz taken", V(&hook_shape_jecxz), A(&hook_shape_jecxz), true, 0, 2, 20, 6},
      {"jecxz not taken", V(&hook_shape_jecxz), A(&hook_shape_jecxz), true, 3, 1, 10, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Snapshot before(c.patched);
    const Snapshot thunk_before(A(c.routine));
    g_handler_calls = 0;
    void* handler = c.takes_int ? V(&TimesTenHandler) : V(&PlusHundredHandler);
    void* t = HookCodeProcedure(c.routine, handler);
    ASSERT_EQ(GetLastError(), 0u);
    ASSERT_NE(t, c.routine);
    ASSERT_EQ(HookedProcedures()->Count(), 1u);
    const THookedProcedure& h = HookedProcedures()->GetItem(0);
    EXPECT_EQ(h.Procedure, c.patched);
    EXPECT_EQ(h.Root, A(c.routine));
    EXPECT_EQ(h.SavedSize, c.length);
    EXPECT_EQ(h.Block, A(t));
    // Only the jump was written; the instructions after it are the original ones.
    const std::vector<std::uint8_t> now = Live(c.patched - 8, 32);
    EXPECT_EQ(now[8], 0xE9);
    EXPECT_EQ(std::vector<std::uint8_t>(now.begin() + 13, now.end()),
              std::vector<std::uint8_t>(before.bytes.begin() + 13, before.bytes.end()));
    EXPECT_EQ(Protection(A(t)), static_cast<DWORD>(PAGE_EXECUTE_READ));
    // The decoder walks the live trampoline: whole valid instructions over
    // the copied bytes, then the jump back to the routine after them.
    std::uint32_t at = A(t);
    while (at < A(t) + c.length) {
      const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(LiveMemory(), at);
      ASSERT_TRUE(ins.Valid) << std::hex << at;
      at = ins.End;
    }
    EXPECT_EQ(at, A(t) + c.length);
    const disasm::TDisasmInstruction back = disasm::DecodeInstruction(LiveMemory(), at);
    EXPECT_TRUE(back.Valid && back.IsBranch && back.IsRelative);
    EXPECT_EQ(back.Target, c.patched + c.length);
    if (c.takes_int) {
      g_int_trampoline = reinterpret_cast<IntFn*>(t);
      EXPECT_EQ(reinterpret_cast<IntFn*>(c.routine)(c.arg), c.hooked);
      EXPECT_EQ(g_int_trampoline(c.arg), c.direct);
    } else {
      g_void_trampoline = reinterpret_cast<VoidFn*>(t);
      EXPECT_EQ(reinterpret_cast<VoidFn*>(c.routine)(), c.hooked);
      EXPECT_EQ(g_void_trampoline(), c.direct);
    }
    EXPECT_EQ(g_handler_calls, 1);
    // Unhooking by the trampoline's address works as by the routine's.
    EXPECT_TRUE(UnhookCodeProcedure(t));
    EXPECT_EQ(Snapshot(c.patched), before);
    EXPECT_EQ(Snapshot(A(c.routine)), thunk_before);
    // A thread may still be inside the trampoline (a handler that has
    // just called it): it stays whole and runs the routine until the
    // engine ends.
    EXPECT_EQ(Protection(A(t)), static_cast<DWORD>(PAGE_EXECUTE_READ));
    EXPECT_EQ(c.takes_int ? g_int_trampoline(c.arg) : g_void_trampoline(), c.direct);
  }
  EXPECT_EQ(HookedProcedures()->RetiredCount(), std::size(cases));
}

// Patching and unpatching in a loop keeps only the newest retired pages:
// once as many are kept as the bound allows, the oldest is taken again for
// the next trampoline, so the pages near the code never run out and the
// system is not asked for a page per patch; the newest trampoline, on a
// page used before, still runs the routine.
TEST_F(Hook, RetiredPagesAreBoundedWhenPatchedInALoop) {
  const std::size_t kept = THookedProcedures::kRetiredKept;
  void* t = nullptr;
  std::vector<std::uint32_t> pages;
  for (std::size_t i = 0; i < kept + 40; ++i) {
    t = HookCodeProcedure(V(&hook_shape_call), V(&PlusHundredHandler));
    ASSERT_NE(A(t), A(&hook_shape_call)) << i;
    EXPECT_EQ(reinterpret_cast<VoidFn*>(t)(), 42) << i;
    pages.push_back(A(t) & ~0xFFFu);
    if (i >= kept) {
      EXPECT_EQ(pages[i], pages[i - kept]) << "patch " << i << " did not take the oldest retired page";
    }
    ASSERT_TRUE(UnhookCodeProcedure(t)) << i;
  }
  EXPECT_EQ(HookedProcedures()->RetiredCount(), kept);
  EXPECT_EQ(reinterpret_cast<VoidFn*>(t)(), 42);
  EXPECT_EQ(hook_shape_call(), 42);
}

// Blocks go to the first free granules above the routine's module: two at
// once get two of them. An unhooked one stays taken (a thread may still run
// in it) until the engine ends, which releases them all.
TEST_F(Hook, TrampolineBlocksLieAboveTheirModule) {
  const std::uint32_t module_end = [] {
    MEMORY_BASIC_INFORMATION mbi{};
    VirtualQuery(reinterpret_cast<void*>(&hook_shape_call), &mbi, sizeof mbi);
    const auto base = reinterpret_cast<const std::uint8_t*>(mbi.AllocationBase);
    const std::uint32_t nt = *reinterpret_cast<const std::uint32_t*>(base + 60);
    return A(mbi.AllocationBase) + *reinterpret_cast<const std::uint32_t*>(base + nt + 80);
  }();
  const std::uint32_t first = A(HookCodeProcedure(V(&hook_shape_call), V(&PlusHundredHandler)));
  const std::uint32_t second = A(HookCodeProcedure(V(&hook_shape_jecxz), V(&TimesTenHandler)));
  EXPECT_GE(first, module_end);
  EXPECT_GE(second, module_end);
  EXPECT_NE(first, second);
  EXPECT_EQ(first % 0x10000, 0u);
  ASSERT_TRUE(UnhookCodeProcedure(As<void>(first)));
  const std::uint32_t third = A(HookCodeProcedure(V(&hook_shape_call), V(&PlusHundredHandler)));
  EXPECT_NE(third, first);
  EXPECT_NE(third, second);
  g_void_trampoline = As<VoidFn>(third);
  EXPECT_EQ(hook_shape_call(), 142);
  EHookDone();
  for (std::uint32_t block : {first, second, third}) {
    MEMORY_BASIC_INFORMATION mbi{};
    VirtualQuery(As<void>(block), &mbi, sizeof mbi);
    EXPECT_EQ(mbi.State, static_cast<DWORD>(MEM_FREE)) << block;
  }
  EHookInit();
}

TEST_F(Hook, HookingTwiceGivesTheFirstTrampoline) {
  void* first = HookCodeProcedure(V(&hook_shape_hot), V(&TimesTenHandler));
  void* again = HookCodeProcedure(V(&hook_shape_hot), V(&TimesTenHandler));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(again, first);
  // The handler is taken already: a second routine gets the same answer.
  EXPECT_EQ(HookCodeProcedure(V(&hook_shape_hot2), V(&TimesTenHandler)), first);
  EXPECT_EQ(HookedProcedures()->Count(), 1u);
}

IntFn* g_outer_trampoline = nullptr;
int OuterHandler(int x) { return g_outer_trampoline(x) + 1000; }

TEST_F(Hook, SomeoneElsesHotPatchIsChainedTo) {
  const Snapshot before(A(&hook_shape_hot));
  THookedProcedures someone_else;
  const THookResult inner = someone_else.HookProcedure(A(&hook_shape_hot), A(&TimesTenHandler), A(&hook_shape_hot));
  ASSERT_EQ(inner.Error, 0u);
  g_int_trampoline = As<IntFn>(inner.Address);
  void* t = HookCodeProcedure(V(&hook_shape_hot), V(&OuterHandler));
  ASSERT_EQ(GetLastError(), 0u);
  EXPECT_EQ(A(t), A(&TimesTenHandler)) << "the trampoline is the other patch's target";
  g_outer_trampoline = reinterpret_cast<IntFn*>(t);
  EXPECT_EQ(hook_shape_hot(4), 1050);
  EXPECT_TRUE(UnhookCodeProcedure(V(&hook_shape_hot)));
  EXPECT_EQ(hook_shape_hot(4), 50);
  EXPECT_EQ(someone_else.UnhookProcedure(A(&hook_shape_hot)).Error, 0u);
  EXPECT_EQ(Snapshot(A(&hook_shape_hot)), before);
}

TEST_F(Hook, ErrorCodes) {
  void* noaccess = VirtualAlloc(nullptr, 0x1000, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  // Hookable bytes, but in no loaded image.
  auto* heap_code = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x1000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  ASSERT_TRUE(noaccess && heap_code);
  const std::uint8_t prologue[] = {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0xC9, 0xC3};
  std::memcpy(heap_code, prologue, sizeof prologue);
  const struct {
    const char* what;
    void* procedure;
    void* handler;
    DWORD error;
  } cases[] = {
      {"null routine", nullptr, V(&TimesTenHandler), ERROR_INVALID_PARAMETER},
      {"null handler", V(&hook_shape_hot), nullptr, ERROR_INVALID_PARAMETER},
      {"routine is handler", V(&hook_shape_hot), V(&hook_shape_hot), ERROR_INVALID_PARAMETER},
      {"unreadable", noaccess, V(&TimesTenHandler), ERROR_INVALID_PARAMETER},
      {"outside every image", heap_code, V(&TimesTenHandler), ERROR_INVALID_PARAMETER},
      {"lone return", V(&hook_shape_ret), V(&TimesTenHandler), ERROR_GEN_FAILURE},
      {"breakpoint", V(&hook_shape_int3), V(&TimesTenHandler), ERROR_GEN_FAILURE},
      {"branch into the copy", V(&hook_shape_inside), V(&TimesTenHandler), ERROR_GEN_FAILURE},
  };
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> ret_bytes = Live(A(&hook_shape_ret), 16);
    SetLastError(12345);
    EXPECT_EQ(HookCodeProcedure(c.procedure, c.handler), c.procedure) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_EQ(Live(A(&hook_shape_ret), 16), ret_bytes);
  }
  EXPECT_EQ(std::memcmp(heap_code, prologue, sizeof prologue), 0);
  EXPECT_EQ(HookedProcedures()->Count(), 0u);

  EXPECT_FALSE(UnhookCodeProcedure(V(&hook_shape_hot)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_FALSE(UnhookCodeProcedure(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  VirtualFree(noaccess, 0, MEM_RELEASE);
  VirtualFree(heap_code, 0, MEM_RELEASE);
}

// The engine's code writes, on a routine of this program that nothing calls.
TEST(CodeMemory, AtomicWriteKeepsTheBytesAfterAndChecksTheBytesBefore) {
  const std::uint32_t at = A(&hook_shape_int3);
  const std::vector<std::uint8_t> original = Live(at, 8);  // CC 31 C0 90 90 90 C3 ..
  const DWORD protection = Protection(at);
  const std::uint8_t stored[] = {0xE9, 0x01, 0x02, 0x03, 0x04};
  const std::uint8_t wrong[] = {0xCC, 0x31, 0xC0, 0x90, 0x91};
  EXPECT_EQ(platform::WriteCodeAtomic(at, stored, wrong), static_cast<std::uint32_t>(ERROR_INVALID_DATA));
  EXPECT_EQ(Live(at, 8), original);
  EXPECT_EQ(platform::WriteCodeAtomic(at, stored, std::span(original).first(5)), 0u);
  std::vector<std::uint8_t> expected = original;
  std::copy(std::begin(stored), std::end(stored), expected.begin());
  EXPECT_EQ(Live(at, 8), expected);
  EXPECT_EQ(Protection(at), protection);
  EXPECT_EQ(platform::WriteCodeAtomic(at, std::span(original).first(5)), 0u);
  EXPECT_EQ(Live(at, 8), original);
  // Outside every image: refused, and the bytes stay.
  std::uint8_t buffer[16] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(platform::WriteCodeAtomic(A(buffer), stored), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(platform::WriteCode(A(buffer), stored), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(buffer[0], 1);
}

TEST(HookUnit, NothingWorksBeforeInitOrAfterDone) {
  ASSERT_EQ(HookedProcedures(), nullptr);
  EXPECT_EQ(HookCodeProcedure(V(&hook_shape_hot), V(&TimesTenHandler)), V(&hook_shape_hot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ENVIRONMENT));
  EXPECT_FALSE(UnhookCodeProcedure(V(&hook_shape_hot)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ENVIRONMENT));
  const std::wstring_view self[] = {L""};
  void* original = nullptr;
  EXPECT_FALSE(HookImportedProcedure(self, L"kernel32.dll", "GetTickCount", V(&TimesTenHandler), &original));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ENVIRONMENT));
  EXPECT_FALSE(UnhookImportedProcedure(V(&TimesTenHandler)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ENVIRONMENT));
}

// ---------------------------------------------------------------------------
// Import tables

int g_tick_calls = 0;
DWORD(WINAPI* g_tick_original)() = nullptr;
DWORD WINAPI TickHandler() {
  ++g_tick_calls;
  return g_tick_original();
}

// Through this program's import address table.
__attribute__((noinline)) DWORD TickThroughImports() { return GetTickCount(); }

TEST_F(Hook, ImportPatchRedirectsThisProgramsCalls) {
  g_tick_calls = 0;
  const std::wstring_view self[] = {L"", L"no-such-module.dll"};
  void* original = nullptr;
  // The module's name in any letter case.
  ASSERT_TRUE(HookImportedProcedure(self, L"kErNeL32.DlL", "GetTickCount", V(&TickHandler), &original));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(original, reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount")));
  g_tick_original = reinterpret_cast<DWORD(WINAPI*)()>(original);
  TickThroughImports();
  EXPECT_EQ(g_tick_calls, 1);
  ASSERT_EQ(HookedDLLProcedures()->Count(), 1u);
  EXPECT_EQ(HookedDLLProcedures()->GetItem(0).ExportModule, L"kErNeL32.DlL");

  EXPECT_TRUE(UnhookImportedProcedure(V(&TickHandler)));
  EXPECT_EQ(GetLastError(), 0u);
  TickThroughImports();
  EXPECT_EQ(g_tick_calls, 1);
  EXPECT_EQ(HookedDLLProcedures()->Count(), 0u);
  EXPECT_FALSE(UnhookImportedProcedure(V(&TickHandler)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(Hook, ImportPatchErrorCodes) {
  const std::wstring_view self[] = {L""};
  const struct {
    const char* what;
    const wchar_t* export_module;
    const char* name;
    DWORD error;
  } cases[] = {
      {"module not loaded", L"no-such-module.dll", "GetTickCount", ERROR_INVALID_PARAMETER},
      {"no such export", L"kernel32.dll", "NoSuchRoutine", ERROR_INVALID_PARAMETER},
      // Exported by kernel32 but not imported by this program.
      {"not imported", L"kernel32.dll", "Beep", ERROR_INVALID_FUNCTION},
  };
  for (const auto& c : cases) {
    void* original = nullptr;
    EXPECT_FALSE(HookImportedProcedure(self, c.export_module, c.name, V(&TickHandler), &original)) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(HookedDLLProcedures()->Count(), 0u);
}

// Images laid out in memory, not loaded: the walk must fail cleanly on each
// lie before it reaches a write.
TEST_F(Hook, LyingImportDirectoriesFailCleanly) {
  constexpr std::uint32_t kSize = 0x3000;
  pe::Headers h;
  h.size_of_image = kSize;
  h.sections = {{".idata", 0x1000, 0x1000, 0x400, 0x1000, 0xC0000040}};
  h.directories[1] = {0x1000, 40};
  const std::vector<std::uint8_t> good = pe::WriteHeaders(h, 0x1400);
  struct Lie {
    const char* what;
    void (*change)(std::vector<std::uint8_t>&);
    DWORD error;
  };
  const Lie lies[] = {
      {"no MZ", [](std::vector<std::uint8_t>& b) { b[0] = 'X'; }, ERROR_BAD_FORMAT},
      {"no PE", [](std::vector<std::uint8_t>& b) { b[pe::kNt] = 'X'; }, ERROR_BAD_FORMAT},
      {"header far away", [](std::vector<std::uint8_t>& b) { pe::Put32(b, 60, 0x7FFF0000); }, ERROR_BAD_FORMAT},
      {"directory past the image", [](std::vector<std::uint8_t>& b) { pe::Put32(b, pe::kNt + 128, 0x5000); },
       ERROR_BAD_FORMAT},
      {"directory size past the image", [](std::vector<std::uint8_t>& b) { pe::Put32(b, pe::kNt + 132, 0x7FFFFFFF); },
       ERROR_BAD_FORMAT},
      // The descriptor's name lies in the image's last page, left uncommitted.
      {"name unreadable", [](std::vector<std::uint8_t>& b) { pe::Put32(b, 0x400 + 12, 0x2100); }, ERROR_BAD_FORMAT},
      {"name without end",
       [](std::vector<std::uint8_t>& b) {
         pe::Put32(b, 0x400 + 12, 0x1C00);
         std::fill(b.begin() + 0x400 + 0xC00, b.begin() + 0x1400, std::uint8_t{'a'});
       },
       ERROR_BAD_FORMAT},
      {"address table unreadable",
       [](std::vector<std::uint8_t>& b) {
         pe::Put32(b, 0x400 + 12, 0x1100);
         std::memcpy(b.data() + 0x400 + 0x100, "KERNEL32.dll", 13);
         pe::Put32(b, 0x400 + 16, 0x2800);
       },
       ERROR_BAD_FORMAT},
      {"address table without end",
       [](std::vector<std::uint8_t>& b) {
         pe::Put32(b, 0x400 + 12, 0x1100);
         std::memcpy(b.data() + 0x400 + 0x100, "KERNEL32.dll", 13);
         pe::Put32(b, 0x400 + 16, 0x1200);
         for (std::uint32_t at = 0x400 + 0x200; at < 0x1400; at += 4) pe::Put32(b, at, 0x11111111);
       },
       ERROR_BAD_FORMAT},
      // A match: the write is refused, since this is no loaded image.
      {"match outside every image",
       [](std::vector<std::uint8_t>& b) {
         pe::Put32(b, 0x400 + 12, 0x1100);
         std::memcpy(b.data() + 0x400 + 0x100, "KERNEL32.dll", 13);
         pe::Put32(b, 0x400 + 16, 0x1200);
         pe::Put32(b, 0x400 + 0x200, 0x22222222);
       },
       ERROR_INVALID_PARAMETER},
  };
  for (const Lie& lie : lies) {
    std::vector<std::uint8_t> file = good;
    lie.change(file);
    const std::vector<std::uint8_t> image = pe::ToImageLayout(file);
    auto* mem = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kSize, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(mem, nullptr);
    VirtualAlloc(mem, 0x2000, MEM_COMMIT, PAGE_READWRITE);
    std::memcpy(mem, image.data(), 0x2000);
    THookedDLLProcedures list;
    const THookResult r = list.HookDLLProcedure(reinterpret_cast<std::uintptr_t>(mem), L"kernel32.dll", 0x22222222,
                                                0x33333333, false);
    EXPECT_EQ(r.Address, 0u) << lie.what;
    EXPECT_EQ(r.Error, lie.error) << lie.what;
    EXPECT_EQ(list.Count(), 0u);
    VirtualFree(mem, 0, MEM_RELEASE);
  }
}

// A hand-made DLL, mapped by the loader without its imports resolved, so
// its import address tables hold the values the file gives them: two
// descriptors naming the same module, the first with the value twice.
TEST_F(Hook, ImportPatchChangesOnlyTheFirstMatchingEntry) {
  pe::Headers h;
  h.size_of_image = 0x2000;
  h.image_base = 0x5A000000;
  h.sections = {{".idata", 0x1000, 0x1000, 0x200, 0x400, 0xC0000040}};
  h.directories[1] = {0x1000, 60};
  std::vector<std::uint8_t> file = pe::WriteHeaders(h, 0x600);
  pe::Put16(file, pe::kOptional + 40, 4);  // operating system version
  pe::Put16(file, pe::kOptional + 48, 4);  // subsystem version
  pe::Put16(file, pe::kOptional + 68, 2);  // GUI subsystem
  constexpr std::uint32_t kRaw = 0x200 - 0x1000;  // file offset of an .idata RVA
  const std::uint32_t kIat1 = 0x1200, kIat2 = 0x1300;
  pe::Put32(file, kRaw + 0x1000 + 12, 0x1100);
  pe::Put32(file, kRaw + 0x1000 + 16, kIat1);
  pe::Put32(file, kRaw + 0x1014 + 12, 0x1120);
  pe::Put32(file, kRaw + 0x1014 + 16, kIat2);
  std::memcpy(file.data() + kRaw + 0x1100, "HOOKFAKE.dll", 13);
  std::memcpy(file.data() + kRaw + 0x1120, "hookfake.DLL", 13);
  const std::uint32_t first[] = {0x11111111, 0x22222222, 0x11111111, 0};
  for (std::uint32_t i = 0; i < 4; ++i) pe::Put32(file, kRaw + kIat1 + 4 * i, first[i]);
  pe::Put32(file, kRaw + kIat2, 0x11111111);

  wchar_t dir[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, dir);
  const std::wstring path = std::wstring(dir) + L"zelvic_hook_fake.dll";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(f, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
  CloseHandle(f);
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(module, nullptr) << GetLastError();
  const std::uint32_t base = A(reinterpret_cast<void*>(module));
  auto slot = [&](std::uint32_t rva) { return *As<const std::uint32_t>(base + rva); };
  ASSERT_EQ(slot(kIat1), 0x11111111u);

  THookedDLLProcedures& list = *HookedDLLProcedures();
  const THookResult r =
      list.HookDLLProcedure(reinterpret_cast<std::uintptr_t>(module), L"HookFake.dll", 0x11111111, 0x33333333, false);
  EXPECT_EQ(r.Error, 0u);
  EXPECT_EQ(r.Address, 0x11111111u);
  EXPECT_EQ(slot(kIat1), 0x33333333u);
  EXPECT_EQ(slot(kIat1 + 4), 0x22222222u);
  EXPECT_EQ(slot(kIat1 + 8), 0x11111111u);
  EXPECT_EQ(slot(kIat2), 0x11111111u);
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.GetItem(0).ExportModule, L"HookFake.dll");
  EXPECT_EQ(list.GetItem(0).ImportModule, reinterpret_cast<std::uintptr_t>(module));

  EXPECT_TRUE(UnhookImportedProcedure(As<void>(0x33333333)));
  EXPECT_EQ(slot(kIat1), 0x11111111u);
  EXPECT_EQ(list.Count(), 0u);
  FreeLibrary(module);
  DeleteFileW(path.c_str());
}

TEST(HookUnit, DoneUndoesEveryPatch) {
  EHookInit();
  const Snapshot hot(A(&hook_shape_hot)), call(A(&hook_shape_call)), seven(A(&hook_shape_seven));
  ASSERT_NE(HookCodeProcedure(V(&hook_shape_hot), V(&TimesTenHandler)), V(&hook_shape_hot));
  ASSERT_NE(HookCodeProcedure(V(&hook_shape_call), V(&PlusHundredHandler)), V(&hook_shape_call));
  ASSERT_NE(HookCodeProcedure(V(&hook_shape_thunk), V(&OuterHandler)), V(&hook_shape_thunk));
  const std::wstring_view self[] = {L""};
  void* original = nullptr;
  ASSERT_TRUE(HookImportedProcedure(self, L"kernel32.dll", "GetTickCount", V(&TickHandler), &original));
  g_tick_original = reinterpret_cast<DWORD(WINAPI*)()>(original);
  const std::uint32_t block = HookedProcedures()->GetItem(1).Block;
  EHookDone();
  EXPECT_EQ(HookedProcedures(), nullptr);
  EXPECT_EQ(Snapshot(A(&hook_shape_hot)), hot);
  EXPECT_EQ(Snapshot(A(&hook_shape_call)), call);
  EXPECT_EQ(Snapshot(A(&hook_shape_seven)), seven);
  g_tick_calls = 0;
  TickThroughImports();
  EXPECT_EQ(g_tick_calls, 0);
  MEMORY_BASIC_INFORMATION mbi{};
  VirtualQuery(As<void>(block), &mbi, sizeof mbi);
  EXPECT_EQ(mbi.State, static_cast<DWORD>(MEM_FREE));
  EXPECT_EQ(hook_shape_hot(1), 2);
  EXPECT_EQ(hook_shape_call(), 42);
}

// ---------------------------------------------------------------------------
// The system's own routines

// The bytes of a system DLL's routine as its file holds them, or empty.
std::vector<std::uint8_t> FileBytes(const wchar_t* dll, std::uint32_t rva, std::size_t count) {
  wchar_t dir[MAX_PATH] = {};
  GetSystemDirectoryW(dir, MAX_PATH);
  const std::vector<std::uint8_t> file = test::ReadWholeFile(std::wstring(dir) + L"\\" + dll);
  for (const test::PeSectionHeader& s : test::ReadPeSections(file)) {
    if (rva >= s.rva && rva + count <= s.rva + std::min(s.raw_size, s.virtual_size) &&
        s.raw_offset + (rva - s.rva) + count <= file.size())
      return {file.begin() + s.raw_offset + (rva - s.rva), file.begin() + s.raw_offset + (rva - s.rva) + count};
  }
  return {};
}

using CreateThreadFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
using ExitThreadFn = VOID(WINAPI*)(DWORD);
CreateThreadFn g_create_trampoline = nullptr;
ExitThreadFn volatile g_exit_trampoline = nullptr;
volatile LONG g_creates = 0;
volatile DWORD g_exit_thread_id = 0;

HANDLE WINAPI CreateThreadHandler(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID arg,
                                  DWORD flags, LPDWORD id) {
  InterlockedIncrement(&g_creates);
  return g_create_trampoline(sa, stack, start, arg, flags, id);
}

VOID WINAPI ExitThreadHandler(DWORD code) {
  // A thread of the system's may end between the patch and the moment the
  // test stores the trampoline.
  while (g_exit_trampoline == nullptr) YieldProcessor();
  // Only the test's own thread changes its code: others pass through.
  g_exit_trampoline(GetCurrentThreadId() == g_exit_thread_id ? code + 100 : code);
}

DWORD WINAPI ReturnsSeven(LPVOID) { return 7; }
DWORD WINAPI ExitsWithFive(LPVOID) {
  g_exit_thread_id = GetCurrentThreadId();
  ExitThread(5);
}

DWORD RunThread(LPTHREAD_START_ROUTINE routine) {
  HANDLE t = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
  if (t == nullptr) return 0xFFFFFFFF;
  WaitForSingleObject(t, 20000);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  return code;
}

TEST_F(Hook, SystemRoutinesHotPatchAndDetour) {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const std::uint32_t create = A(reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateThread")));
  // A forwarder: GetProcAddress gives ntdll's routine.
  const std::uint32_t exit = A(reinterpret_cast<void*>(GetProcAddress(kernel32, "ExitThread")));
  ASSERT_EQ(exit, A(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlExitUserThread"))));
  const Snapshot create_before(create), exit_before(exit);

  // A hot patch's trampoline is entry + 2: set before the patch, for a
  // thread that another part of the process creates meanwhile.
  g_create_trampoline = As<std::remove_pointer_t<CreateThreadFn>>(create + 2);
  void* t = HookCodeProcedure(As<void>(create), V(&CreateThreadHandler));
  ASSERT_EQ(GetLastError(), 0u);
  EXPECT_EQ(A(t), create + 2) << "a hot patch";
  t = HookCodeProcedure(As<void>(exit), V(&ExitThreadHandler));
  ASSERT_EQ(GetLastError(), 0u);
  ASSERT_EQ(HookedProcedures()->GetItem(1).SavedSize, 7u) << "a detour of lea and and";
  g_exit_trampoline = reinterpret_cast<ExitThreadFn>(t);

  g_creates = 0;
  EXPECT_EQ(RunThread(&ReturnsSeven), 7u);
  EXPECT_EQ(g_creates, 1);
  EXPECT_EQ(RunThread(&ExitsWithFive), 105u);

  EXPECT_TRUE(UnhookCodeProcedure(As<void>(exit)));
  EXPECT_TRUE(UnhookCodeProcedure(As<void>(create)));
  EXPECT_EQ(Snapshot(create), create_before);
  EXPECT_EQ(Snapshot(exit), exit_before);
  g_creates = 0;
  EXPECT_EQ(RunThread(&ExitsWithFive), 5u);
  EXPECT_EQ(g_creates, 0);

  // The code bytes in the files on disk, where they can be read.
  const struct {
    const wchar_t* dll;
    HMODULE module;
    std::uint32_t at, from, count;
  } files[] = {{L"kernel32.dll", kernel32, create, create - 5, 10}, {L"ntdll.dll", ntdll, exit, exit, 7}};
  for (const auto& f : files) {
    const std::vector<std::uint8_t> on_disk = FileBytes(f.dll, f.from - A(f.module), f.count);
    if (on_disk.empty()) {
      ADD_FAILURE() << "cannot read the code of " << std::string(f.dll, f.dll + std::wcslen(f.dll));
      continue;
    }
    EXPECT_EQ(Live(f.from, f.count), on_disk);
  }
}

// Trampolines for a disassembler that shares nothing with the library: each
// one's bytes go to hook_trampolines/<name>.bin next to this program, with
// <name>.txt naming its address, the instruction starts the library's
// decoder found and where the jump back must land. The CTest step
// hook_trampolines_objdump has objdump decode the same bytes and compares.
TEST_F(Hook, TrampolinesForTheIndependentDisassembler) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const struct {
    const char* name;
    void* routine;
    void* handler;
  } cases[] = {
      // Nothing calls these while they are patched.
      {"relative_call", V(&hook_shape_call), V(&PlusHundredHandler)},
      {"thunk_target", V(&hook_shape_thunk), V(&PlusHundredHandler)},
      {"jecxz", V(&hook_shape_jecxz), V(&PlusHundredHandler)},
      // Any thread that ends meanwhile does.
      {"RtlExitUserThread", reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlExitUserThread")), V(&ExitThreadHandler)},
  };
  const std::wstring self = test::SelfPath();
  const std::wstring folder = self.substr(0, self.find_last_of(L"\\/") + 1) + L"hook_trampolines";
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_exit_trampoline = nullptr;
    void* t = HookCodeProcedure(c.routine, c.handler);
    ASSERT_EQ(GetLastError(), 0u);
    g_exit_trampoline = reinterpret_cast<ExitThreadFn>(t);
    const THookedProcedure& h = HookedProcedures()->GetItem(HookedProcedures()->Count() - 1);
    const std::vector<std::uint8_t> bytes = Live(A(t), h.SavedSize + kJumpSize);
    std::string text = "vma " + std::to_string(A(t)) + "\nstarts";
    for (std::uint32_t at = A(t); at < A(t) + h.SavedSize;) {
      text += " " + std::to_string(at - A(t));
      const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(LiveMemory(), at);
      ASSERT_TRUE(ins.Valid);
      at = ins.End;
    }
    text += " " + std::to_string(h.SavedSize) + "\njump_to " + std::to_string(h.Procedure + h.SavedSize) + "\n";
    // By the trampoline: a patch is found by what was patched, not by the
    // thunk in front of it.
    EXPECT_TRUE(UnhookCodeProcedure(t));
    const std::wstring base = folder + L"\\" + std::wstring(c.name, c.name + std::strlen(c.name));
    for (const auto& [suffix, data] : {std::pair{L".bin", std::string(bytes.begin(), bytes.end())}, std::pair{L".txt", text}}) {
      HANDLE f = CreateFileW((base + suffix).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      ASSERT_NE(f, INVALID_HANDLE_VALUE);
      DWORD written = 0;
      WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
      CloseHandle(f);
    }
  }
}

}  // namespace
}  // namespace zelvic::diag
