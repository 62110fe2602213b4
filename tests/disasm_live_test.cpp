// The decoder over the live memory of this process: readability from the
// real page protections, reads that stop short at an unreadable page, real
// code of loaded modules, real return addresses and a real import thunk, and
// the disassembler unit's start-up.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/util/EDisAsm.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "pe_exports.h"
#include "platform/memory_access.h"
#include "runtime/exception_points.h"
#include "test_support.h"

// The import library's thunks ("jmp [__imp__GetTickCount@0]"): windows.h
// declares the functions dllimport, which calls through the import address
// table directly and never reaches a thunk.
extern "C" DWORD __stdcall GetTickCountImportThunk() __asm__("_GetTickCount@0");
extern "C" void __stdcall SetLastErrorImportThunk(DWORD) __asm__("_SetLastError@4");

namespace zelvic::test {
namespace {

using disasm::DecodeInstruction;
using disasm::FormatInstruction;
using disasm::kCodeMask;
using disasm::kDefaultReadableMask;
using disasm::TBufferMemory;
using disasm::TDisasmInstruction;
using platform::TLiveMemory;
using platform::TRegionCaching;

constexpr std::uint32_t kPage = 0x1000;

std::uint32_t Addr(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }
template <typename F>
std::uint32_t FnAddr(F* f) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(f));
}

std::vector<std::uint8_t> Bytes(const char* hex) {
  std::vector<std::uint8_t> out;
  unsigned v = 0;
  int n = 0;
  for (const char* c = hex; *c; ++c) {
    if (*c == ' ') continue;
    v = v * 16 + static_cast<unsigned>(*c <= '9' ? *c - '0' : (*c | 0x20) - 'a' + 10);
    if (++n == 2) {
      out.push_back(static_cast<std::uint8_t>(v));
      v = 0;
      n = 0;
    }
  }
  return out;
}

std::string Hex8(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
  return buf;
}

// The mask this process really has, as the unit's start-up would set it.
std::uint32_t ProcessDefaultMask() {
  static const std::uint32_t mask = disasm::DefaultReadableMask(platform::ExecuteOnlyPagesAreReadable());
  return mask;
}

// A run of pages with chosen protections, adjacent so that a range crosses
// from one region into the next. Bytes are written while every page is still
// read-write; Seal() then gives each page its protection. 0 leaves a page
// reserved but not committed.
class PageRun {
 public:
  explicit PageRun(std::vector<DWORD> protections) : protections_(std::move(protections)) {
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, protections_.size() * kPage, MEM_RESERVE, PAGE_NOACCESS));
    for (std::size_t i = 0; i < protections_.size(); ++i) {
      if (protections_[i] != 0) VirtualAlloc(base_ + i * kPage, kPage, MEM_COMMIT, PAGE_READWRITE);
    }
  }
  ~PageRun() { VirtualFree(base_, 0, MEM_RELEASE); }
  PageRun(const PageRun&) = delete;
  PageRun& operator=(const PageRun&) = delete;

  std::uint32_t Page(std::size_t i) const { return Addr(base_ + i * kPage); }
  void Put(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), bytes.data(), bytes.size());
  }
  void Seal() {
    for (std::size_t i = 0; i < protections_.size(); ++i) {
      DWORD old = 0;
      if (protections_[i] != 0) VirtualProtect(base_ + i * kPage, kPage, protections_[i], &old);
    }
  }
  void Protect(std::size_t i, DWORD protection) {
    DWORD old = 0;
    VirtualProtect(base_ + i * kPage, kPage, protection, &old);
  }
  DWORD ProtectionNow(std::size_t i) const {
    MEMORY_BASIC_INFORMATION mbi{};
    VirtualQuery(base_ + i * kPage, &mbi, sizeof mbi);
    return mbi.Protect;
  }

 private:
  std::vector<DWORD> protections_;
  std::uint8_t* base_ = nullptr;
};

// Each test runs over both forms of the live memory: a fault that only one
// of them has shows up as a difference.
const TRegionCaching kCachings[] = {TRegionCaching::kNone, TRegionCaching::kRecentRegions};
const char* Name(TRegionCaching c) { return c == TRegionCaching::kNone ? "uncached" : "cached"; }

// ---------------------------------------------------------------------------
// Readability and reads

enum { kRw, kRo, kExecRead, kNoAccess, kGuard, kReserved, kRw2, kExecOnly };

TEST(DisasmLive, CanReadFollowsPageProtectionAcrossRegions) {
  PageRun run({PAGE_READWRITE, PAGE_READONLY, PAGE_EXECUTE_READ, PAGE_NOACCESS, PAGE_READWRITE | PAGE_GUARD, 0,
               PAGE_READWRITE, PAGE_EXECUTE});
  run.Seal();
  struct Case {
    std::uint32_t address;
    std::uint32_t count;
    std::uint32_t mask;
    std::uint32_t expected;
    const char* what;
  };
  const std::uint32_t p0 = run.Page(kRw);
  const Case cases[] = {
      {p0, 16, 0, 16, "read-write page"},
      {p0, 0, 0, 0, "nothing asked"},
      {p0 + kPage - 6, 12, 0, 12, "read-write into read-only"},
      {p0 + kPage - 6, 12, disasm::kPageReadWrite, 0, "read-only region fails a read-write mask"},
      {run.Page(kRo) + 4000, 200, 0, 200, "read-only into execute-read"},
      {p0, 3 * kPage, 0, 3 * kPage, "three regions at once"},
      {run.Page(kExecRead), 16, kCodeMask, 16, "execute-read is code"},
      {p0, 16, kCodeMask, 0, "read-write is not code"},
      {run.Page(kRo) + 4000, 200, kCodeMask, 0, "range starting outside code"},
      {run.Page(kExecRead) + kPage - 10, 10, 0, 10, "last bytes before a no-access page"},
      {run.Page(kExecRead) + kPage - 10, 11, 0, 0, "one byte into a no-access page"},
      {run.Page(kNoAccess), 1, 0, 0, "no-access page"},
      {run.Page(kGuard), 1, 0, 0, "guard page"},
      {run.Page(kGuard) - 4, 8, 0, 0, "range ending in a guard page"},
      {run.Page(kReserved), 1, 0, 0, "reserved, not committed"},
      {run.Page(kRw2), 1, 0, 1, "read-write after a reserved page"},
      {run.Page(kExecOnly), 1, kCodeMask, 1, "execute-only page is code"},
      {0, 1, 0, 0, "nil"},
      {0x0000F000, 4, 0, 0, "below 64 KiB"},
      {0x7FFF0000, 4, 0, 0, "the 64 KiB below 2 GiB"},
  };
  for (TRegionCaching caching : kCachings) {
    TLiveMemory live(platform::ApplicationAddressSpace(kDefaultReadableMask), caching);
    for (const Case& c : cases) {
      EXPECT_EQ(live.CanRead(c.address, c.count, c.mask), c.expected) << c.what << ", " << Name(caching);
    }
    // The default mask decides about execute-only pages: the start-up probe widens it.
    EXPECT_EQ(live.CanRead(run.Page(kExecOnly), 4, 0), 0u) << Name(caching);
    TLiveMemory widened(platform::ApplicationAddressSpace(disasm::DefaultReadableMask(true)), caching);
    EXPECT_EQ(widened.CanRead(run.Page(kExecOnly), 4, 0), 4u) << Name(caching);
  }
  // Nothing above touched the guard page: it is still armed.
  EXPECT_NE(run.ProtectionNow(kGuard) & PAGE_GUARD, 0u);
}

TEST(DisasmLive, ReadCopiesUpToTheFirstUnreadablePage) {
  PageRun run({PAGE_READWRITE, PAGE_READONLY, PAGE_EXECUTE_READ, PAGE_NOACCESS, PAGE_READWRITE | PAGE_GUARD});
  std::vector<std::uint8_t> pattern(3 * kPage);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
  run.Put(run.Page(0), pattern);
  run.Seal();
  struct Case {
    std::uint32_t address;
    std::uint32_t count;
    std::uint32_t expected;
    const char* what;
  };
  const Case cases[] = {
      {run.Page(0) + 100, 32, 32, "inside one page"},
      {run.Page(0) + kPage - 50, 300, 300, "across read-write, read-only and execute-read"},
      {run.Page(2) + kPage - 10, 32, 10, "stops where the no-access page begins"},
      {run.Page(3), 32, 0, "no-access page"},
      {run.Page(4), 32, 0, "guard page"},
      {run.Page(4) - 3, 32, 0, "no-access page before a guard page"},
  };
  for (TRegionCaching caching : kCachings) {
    const TLiveMemory live(platform::ApplicationAddressSpace(kDefaultReadableMask), caching);
    for (const Case& c : cases) {
      std::vector<std::uint8_t> got(c.count, 0xCC);
      ASSERT_EQ(live.Read(c.address, got.data(), c.count), c.expected) << c.what << ", " << Name(caching);
      const std::size_t offset = c.address - run.Page(0);
      for (std::uint32_t k = 0; k < c.expected; ++k) {
        ASSERT_EQ(got[k], pattern[offset + k]) << c.what << " byte " << k;
      }
      for (std::uint32_t k = c.expected; k < c.count; ++k) ASSERT_EQ(got[k], 0xCC) << c.what << " byte " << k;
    }
  }
  EXPECT_NE(run.ProtectionNow(4) & PAGE_GUARD, 0u);
}

TEST(DisasmLive, RegionCacheAnswersFromTheRegionsItWasFilledFrom) {
  // Code, then eight regions of a page each (the protections alternate).
  PageRun run({PAGE_EXECUTE_READ, PAGE_EXECUTE_READ, PAGE_READWRITE, PAGE_NOACCESS, PAGE_READWRITE, PAGE_NOACCESS,
               PAGE_READWRITE, PAGE_NOACCESS, PAGE_READWRITE, PAGE_NOACCESS});
  run.Put(run.Page(0), std::vector<std::uint8_t>(2 * kPage, 0x90));
  run.Seal();
  const TLiveMemory cached(platform::ApplicationAddressSpace(kDefaultReadableMask), TRegionCaching::kRecentRegions);
  std::uint32_t at = run.Page(0);
  int decoded = 0;
  while (at < run.Page(2) - 8) {
    const TDisasmInstruction r = DecodeInstruction(cached, at);
    ASSERT_TRUE(r.Valid) << Hex8(at);
    at = r.End;
    ++decoded;
  }
  EXPECT_EQ(decoded, 2 * static_cast<int>(kPage) - 8);
  // One query for the two pages of code and one for the data page the last
  // reads ran into; the decodes after those reads still find the code.
  EXPECT_EQ(cached.CacheMisses(), 2u);
  EXPECT_EQ(cached.CanRead(run.Page(2), 4, kCodeMask), 0u);
  EXPECT_EQ(cached.CanRead(run.Page(2), 4, 0), 4u);
  EXPECT_EQ(cached.CacheMisses(), 2u);
  // A third region joins the two: the code is still answered from the cache.
  EXPECT_EQ(cached.CanRead(run.Page(3), 1, 0), 0u);
  EXPECT_EQ(cached.CacheMisses(), 3u);
  EXPECT_TRUE(DecodeInstruction(cached, run.Page(0)).Valid);
  EXPECT_EQ(cached.CacheMisses(), 3u);
  // Six more make nine: the oldest, the code, is pushed out and asked for
  // again.
  for (std::size_t page = 4; page < 10; ++page) EXPECT_EQ(cached.CanRead(run.Page(page), 1, 0), page % 2 == 0 ? 1u : 0u);
  EXPECT_EQ(cached.CacheMisses(), 9u);
  EXPECT_TRUE(DecodeInstruction(cached, run.Page(0)).Valid);
  EXPECT_EQ(cached.CacheMisses(), 10u);
}

// ---------------------------------------------------------------------------
// Text forms of unreadable bytes

TEST(DisasmLive, UnreadableBytesGiveQuestionMarksAndInvalidForms) {
  PageRun run({PAGE_EXECUTE_READ, PAGE_NOACCESS, PAGE_EXECUTE_READ, PAGE_READWRITE | PAGE_GUARD});
  const std::uint32_t end0 = run.Page(1);
  run.Put(end0 - 2, Bytes("0F 0B"));
  run.Put(run.Page(2), Bytes("8B 45 F8"));
  run.Put(run.Page(2) + kPage - 1, Bytes("E8"));
  run.Seal();
  for (TRegionCaching caching : kCachings) {
    const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()), caching);
    const auto line = [&](std::uint32_t a) { return FormatInstruction(DecodeInstruction(live, a), live); };
    EXPECT_EQ(line(end0 - 2), Hex8(end0 - 2) + "  0F DB $0F ; ???? unknown/invalid instruction") << Name(caching);
    EXPECT_EQ(line(end0 - 1), Hex8(end0 - 1) + "  0B DB $0B ; ???? unknown/invalid instruction") << Name(caching);
    // A call whose displacement lies in the guard page that follows.
    const std::uint32_t cut = run.Page(2) + kPage - 1;
    EXPECT_FALSE(DecodeInstruction(live, cut).Valid);
    EXPECT_EQ(line(cut), Hex8(cut) + "  E8 DB $E8 ; ???? unknown/invalid instruction") << Name(caching);
    EXPECT_EQ(line(end0), Hex8(end0) + "  ?? ; unaccessible location") << Name(caching);
    EXPECT_EQ(line(run.Page(3)), Hex8(run.Page(3)) + "  ?? ; unaccessible location") << Name(caching);
  }
  // A record decoded while its page was readable, shown after it stopped being so.
  const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()));
  const TDisasmInstruction r = DecodeInstruction(live, run.Page(2));
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(FormatInstruction(r, live), Hex8(run.Page(2)) + "  8B45F8 MOV EAX, [EBP-8]");
  run.Protect(2, PAGE_NOACCESS);
  EXPECT_EQ(FormatInstruction(r, live), Hex8(run.Page(2)) + "  ?????? MOV EAX, [EBP-8]");
  EXPECT_NE(run.ProtectionNow(3) & PAGE_GUARD, 0u);
}

// ---------------------------------------------------------------------------
// Real code: loaded modules against their files

struct CodeSection {
  std::uint32_t rva;
  std::uint32_t file_offset;
  std::uint32_t size;
};

std::vector<CodeSection> CodeSections(const std::vector<std::uint8_t>& file) {
  std::vector<CodeSection> out;
  for (const PeSectionHeader& s : ReadPeSections(file)) {
    if ((s.characteristics & IMAGE_SCN_MEM_EXECUTE) == 0 || s.raw_size == 0 || s.raw_offset + s.raw_size > file.size()) {
      continue;
    }
    out.push_back({s.rva, s.raw_offset, s.virtual_size != 0 && s.virtual_size < s.raw_size ? s.virtual_size : s.raw_size});
  }
  return out;
}

// Linear sweep of every code section through live memory and through the
// file's bytes placed at the same addresses. Relocations change absolute
// addresses only, never a length, a kind or a relative target.
void ExpectLiveCodeDecodesLikeFile(HMODULE module, const char* what) {
  ASSERT_NE(module, nullptr) << what;
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  ASSERT_GT(n, 0u) << what;
  const std::vector<std::uint8_t> file = ReadWholeFile(std::wstring(path, n));
  const std::vector<CodeSection> sections = CodeSections(file);
  ASSERT_FALSE(sections.empty()) << what;
  const std::uint32_t base = Addr(module);
  for (TRegionCaching caching : kCachings) {
    const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()), caching);
    std::size_t instructions = 0, valid = 0, differences = 0;
    for (const CodeSection& s : sections) {
      const std::uint32_t start = base + s.rva;
      ASSERT_EQ(live.CanRead(start, s.size, kCodeMask), s.size) << what << ": code section not code";
      const TBufferMemory disk(file.data() + s.file_offset, s.size, start);
      // The last instructions may run past the section's file bytes.
      const std::uint32_t stop = start + s.size - 16;
      for (std::uint32_t at = start; at < stop;) {
        const TDisasmInstruction a = DecodeInstruction(live, at);
        const TDisasmInstruction b = DecodeInstruction(disk, at);
        ++instructions;
        valid += a.Valid;
        const bool same = a.Readable && a.Valid == b.Valid && a.End == b.End && a.OpcodeId == b.OpcodeId &&
                          a.IsCall == b.IsCall && a.IsBranch == b.IsBranch && (!a.IsRelative || a.Target == b.Target);
        if (!same && ++differences <= 5) {
          ADD_FAILURE() << what << " at " << Hex8(at) << " (" << Name(caching) << "): live "
                        << FormatInstruction(a, live) << " / file " << FormatInstruction(b, disk);
        }
        at = a.End;
      }
    }
    EXPECT_EQ(differences, 0u) << what;
    EXPECT_GT(instructions, 10000u) << what;
    // Padding and data in code give some invalid records; real code is mostly valid.
    EXPECT_GT(valid * 100, instructions * 97) << what << ": " << valid << " of " << instructions;
  }
}

TEST(DisasmLive, LoadedLibraryCodeDecodesLikeItsFile) {
  ASSERT_FALSE(DllPath().empty());
  HMODULE lib = LoadLibraryW(DllPath().c_str());
  ExpectLiveCodeDecodesLikeFile(lib, "_zelvic.dll");
  if (lib) FreeLibrary(lib);
}

TEST(DisasmLive, SystemLibraryCodeDecodesLikeItsFile) {
  ExpectLiveCodeDecodesLikeFile(GetModuleHandleW(L"kernel32.dll"), "kernel32.dll");
}

// ---------------------------------------------------------------------------
// Real return addresses and a real import thunk

struct CallChain {
  std::uint32_t returns[3];
};

// noipa: no clone or inlined copy, so the call sites call these very addresses.
__attribute__((noinline, noipa)) void Innermost(CallChain& chain) {
  // The build keeps frame pointers: [ebp] is the caller's frame, [ebp+4] the return address.
  void* const* frame = static_cast<void* const*>(__builtin_frame_address(0));
  for (std::uint32_t& r : chain.returns) {
    r = Addr(frame[1]);
    frame = static_cast<void* const*>(frame[0]);
  }
  asm volatile("" ::: "memory");
}
__attribute__((noinline, noipa)) void Middle(CallChain& chain) {
  Innermost(chain);
  asm volatile("" ::: "memory");
}
__attribute__((noinline, noipa)) void Outer(CallChain& chain) {
  Middle(chain);
  asm volatile("" ::: "memory");
}

TEST(DisasmLive, FindCallBeforeFindsTheCallsOfThisThreadsStack) {
  CallChain chain{};
  Outer(chain);
  asm volatile("" ::: "memory");
  const std::uint32_t callees[3] = {FnAddr(&Innermost), FnAddr(&Middle), FnAddr(&Outer)};
  for (TRegionCaching caching : kCachings) {
    const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()), caching);
    for (int i = 0; i < 3; ++i) {
      const std::uint32_t ret = chain.returns[i];
      for (bool longest : {false, true}) {
        const std::uint32_t site = disasm::FindCallBefore(live, ret, longest);
        ASSERT_NE(site, ret) << "frame " << i << ", " << Name(caching);
        const TDisasmInstruction r = DecodeInstruction(live, site);
        EXPECT_TRUE(r.IsCall) << FormatInstruction(r, live);
        EXPECT_EQ(r.End, ret);
        EXPECT_EQ(disasm::GetCallTarget(live, site), callees[i]) << FormatInstruction(r, live);
      }
    }
  }
}

TEST(DisasmLive, FindCallBeforeRejectsAnAddressNoCallEndsAt) {
  PageRun run({PAGE_EXECUTE_READ});
  std::vector<std::uint8_t> code(kPage, 0x90);
  const std::vector<std::uint8_t> call = Bytes("E8 FB FF FF FF");  // calls itself
  std::memcpy(code.data() + 0x100, call.data(), call.size());
  run.Put(run.Page(0), code);
  run.Seal();
  const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()));
  const std::uint32_t p = run.Page(0);
  EXPECT_EQ(disasm::FindCallBefore(live, p + 0x105, false), p + 0x100);
  EXPECT_EQ(disasm::FindCallBefore(live, p + 0x200, false), p + 0x200);
  EXPECT_EQ(disasm::FindCallBefore(live, p + 0x200, true), p + 0x200);
  // The window before the return address lies in unreadable memory.
  EXPECT_EQ(disasm::FindCallBefore(live, p + 4, false), p + 4);
}

// The search's rule applied one decode at a time: the nearest start from
// R - 2 down to R - 15 that decodes to a call or jump ending exactly at R;
// with the longest form preferred, the next such start below it wins.
std::uint32_t CallBeforeByRule(const TLiveMemory& live, std::uint32_t r, bool longest) {
  const auto qualifies = [&](std::uint32_t at) {
    const TDisasmInstruction d = DecodeInstruction(live, at);
    return d.Valid && d.End == r && (d.IsCall || d.IsBranch);
  };
  for (std::uint32_t p = r - 2; p >= r - 15; --p) {
    if (!qualifies(p)) continue;
    if (longest) {
      for (std::uint32_t q = p - 1; q >= r - 15; --q) {
        if (qualifies(q)) return q;
      }
    }
    return p;
  }
  return r;
}

// Every return address over real code and over bytes dense in prefixes and
// transfer opcodes: the search, which turns most starts away before
// decoding them, must answer as the rule does.
TEST(DisasmLive, FindCallBeforeAnswersAsTheRuleAtEveryAddress) {
  PageRun run({PAGE_EXECUTE_READ});
  std::vector<std::uint8_t> bytes(kPage);
  const std::uint8_t alphabet[] = {0xE8, 0xE9, 0xEB, 0xFF, 0x15, 0x14, 0x24, 0x0F, 0x85, 0x74, 0x9A, 0xEA, 0x66,
                                   0x67, 0xF2, 0xF3, 0x2E, 0x3E, 0x64, 0x38, 0x3A, 0xD0, 0x94, 0x90, 0x00, 0xE3};
  std::uint32_t seed = 12345;
  for (std::uint8_t& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = (seed >> 24) < 160 ? alphabet[(seed >> 16) % sizeof alphabet] : static_cast<std::uint8_t>(seed >> 8);
  }
  run.Put(run.Page(0), bytes);
  run.Seal();
  const auto kernel32 = Addr(GetModuleHandleW(L"kernel32.dll"));
  const auto sleep = Addr(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep")));
  ASSERT_NE(kernel32, 0u);
  const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()), TRegionCaching::kRecentRegions);
  int calls_found = 0;
  for (const auto& [from, to] : {std::pair{run.Page(0) + 16, run.Page(0) + kPage},
                                 std::pair{(sleep & ~0xFFFu), (sleep & ~0xFFFu) + 4 * kPage}}) {
    for (std::uint32_t r = from; r < to; ++r) {
      for (const bool longest : {false, true}) {
        const std::uint32_t expected = CallBeforeByRule(live, r, longest);
        ASSERT_EQ(disasm::FindCallBefore(live, r, longest), expected) << Hex8(r) << (longest ? " longest" : "");
        if (!longest && expected != r) ++calls_found;
      }
    }
  }
  // The bytes hold many calls and jumps to find, not only their absence.
  EXPECT_GT(calls_found, 1000);
}

// Where a jump thunk at `x` leads, read directly: the test's own oracle.
std::uint32_t ThunkDestination(std::uint32_t x) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(x));
  std::int32_t rel = 0;
  if (b[0] == 0xEB) return x + 2 + static_cast<std::int8_t>(b[1]);
  if (b[0] == 0xE9) {
    std::memcpy(&rel, b + 1, 4);
    return x + 5 + rel;
  }
  if (b[0] == 0xFF && b[1] == 0x25) {
    std::uint32_t slot = 0;
    std::memcpy(&slot, b + 2, 4);
    return *reinterpret_cast<const std::uint32_t*>(static_cast<std::uintptr_t>(slot));
  }
  return x;
}

TEST(DisasmLive, GetCallTargetFollowsTheImportThunksOfThisProgram) {
  // Wine 8's kernel32 has GetTickCount itself, while its SetLastError is one
  // more jump thunk (into ntdll): GetCallTarget follows that one too.
  struct Case {
    std::uint32_t thunk;
    const char* name;
  };
  const Case cases[] = {{FnAddr(&GetTickCountImportThunk), "GetTickCount"},
                        {FnAddr(&SetLastErrorImportThunk), "SetLastError"}};
  for (const Case& c : cases) {
    const std::uint32_t imported =
        FnAddr(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), c.name)));
    ASSERT_NE(imported, 0u) << c.name;
    ASSERT_EQ(ThunkDestination(c.thunk), imported) << c.name << ": not a jump through the import table";
    for (TRegionCaching caching : kCachings) {
      const TLiveMemory live(platform::ApplicationAddressSpace(ProcessDefaultMask()), caching);
      const TDisasmInstruction r = DecodeInstruction(live, c.thunk);
      ASSERT_TRUE(r.Valid) << c.name;
      EXPECT_TRUE(r.IsBranch) << c.name;
      EXPECT_FALSE(r.IsCall) << c.name;
      EXPECT_EQ(r.Target, imported) << FormatInstruction(r, live);
      EXPECT_EQ(disasm::FollowJumpThunk(live, c.thunk), imported) << c.name;
      EXPECT_EQ(disasm::GetCallTarget(live, c.thunk), ThunkDestination(imported)) << c.name;
      EXPECT_EQ(disasm::InstructionsSpan(live, c.thunk, 1), 6u) << c.name;
    }
  }
}

// ---------------------------------------------------------------------------
// The unit

struct ProbeSeen {
  bool called = false;
  bool quiet = false;
};
ProbeSeen g_probe_seen;

template <bool kAnswer>
bool FakeProbe() {
  const rt::TExceptionNotificationPoints& p = rt::ExceptionPoints();
  g_probe_seen.called = true;
  g_probe_seen.quiet = p.ExceptObjProc != nullptr && p.ExceptObjProc(nullptr) == nullptr &&
                       p.ExceptObjProc != rt::DefaultExceptionObject && p.ExceptClsProc != nullptr &&
                       p.ExceptClsProc(nullptr) == nullptr && p.ExceptProc != nullptr &&
                       p.ExceptProc != rt::DefaultExceptionPoints().ExceptProc;
  return kAnswer;
}

std::size_t NameFrom(void* context, std::uint32_t address, char* out, std::size_t capacity) {
  const auto* known = static_cast<const std::pair<std::uint32_t, const char*>*>(context);
  if (address != known->first) return 0;
  const std::size_t n = std::min(std::strlen(known->second), capacity);
  std::memcpy(out, known->second, n);
  return n;
}

std::string Ask(std::uint32_t address) {
  const disasm::TAddressNamer current = disasm::SetCodeAddressNamer({});
  disasm::SetCodeAddressNamer(current);
  char buf[64];
  return std::string(buf, disasm::CallNamer(current, address, buf, sizeof buf));
}

TEST(DisasmLive, UnitStartUpSetsTheMaskAndTheDispatchersAndUndoesThem) {
  const std::pair<std::uint32_t, const char*> earlier{0x00401000, "Earlier.Hook"};
  const std::pair<std::uint32_t, const char*> report{0x00402000, "Report.Name"};
  const disasm::TAddressNamer before =
      disasm::SetCodeAddressNamer({NameFrom, const_cast<void*>(static_cast<const void*>(&earlier))});
  const rt::TExceptionNotificationPoints points = rt::ExceptionPoints();
  const disasm::TAddressSpace system = platform::ApplicationAddressSpace(0);
  struct Case {
    diag::TExecuteOnlyProbe probe;
    std::uint32_t mask;
  };
  for (const Case& c : {Case{FakeProbe<true>, kDefaultReadableMask | disasm::kPageExecute},
                        Case{FakeProbe<false>, kDefaultReadableMask}}) {
    g_probe_seen = {};
    const diag::TExecuteOnlyProbe previous = diag::SetExecuteOnlyProbe(c.probe);
    diag::EDisAsmInit();
    EXPECT_TRUE(g_probe_seen.called);
    EXPECT_TRUE(g_probe_seen.quiet) << "the probe ran with the runtime's exception procedures";
    EXPECT_EQ(rt::ExceptionPoints().ExceptObjProc, points.ExceptObjProc);
    EXPECT_EQ(rt::ExceptionPoints().ExceptClsProc, points.ExceptClsProc);
    EXPECT_EQ(rt::ExceptionPoints().ExceptProc, points.ExceptProc);
    EXPECT_EQ(diag::LiveMemory().Space().DefaultMask, c.mask);
    EXPECT_EQ(diag::LiveMemory().Space().MinimumApplicationAddress, system.MinimumApplicationAddress);
    EXPECT_EQ(diag::LiveMemory().Space().MaximumApplicationAddress, system.MaximumApplicationAddress);
    EXPECT_FALSE(diag::LiveMemory().Caching());
    // The dispatcher asks the report's source first, then the hook it replaced.
    EXPECT_EQ(Ask(0x00401000), "Earlier.Hook");
    EXPECT_EQ(Ask(0x00402000), "");
    diag::SetCodeNameSource({NameFrom, const_cast<void*>(static_cast<const void*>(&report))});
    EXPECT_EQ(Ask(0x00402000), "Report.Name");
    EXPECT_EQ(Ask(0x00401000), "Earlier.Hook");
    diag::SetCodeNameSource({});
    diag::EDisAsmDone();
    diag::SetExecuteOnlyProbe(previous);
    EXPECT_EQ(diag::LiveMemory().Space().DefaultMask, kDefaultReadableMask);
    const disasm::TAddressNamer restored = disasm::SetCodeAddressNamer({});
    disasm::SetCodeAddressNamer(restored);
    EXPECT_EQ(restored.Fn, &NameFrom);
    EXPECT_EQ(restored.Context, &earlier);
  }
  disasm::SetCodeAddressNamer(before);
}

// Run only as a child: reads an execute-only page with a plain load. The
// process ends with an access violation when such pages cannot be read.
TEST(DisasmLiveChild, DISABLED_ReadExecuteOnlyPage) {
  void* page = VirtualAlloc(nullptr, kPage, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE);
  ASSERT_NE(page, nullptr);
  const std::uint8_t value = *static_cast<volatile const std::uint8_t*>(page);
  std::printf("execute-only page read: %u\n", static_cast<unsigned>(value));
  std::fflush(stdout);
}

TEST(DisasmLive, ExecuteOnlyProbeAgreesWithAPlainRead) {
  std::string out;
  const std::uint32_t code =
      RunChild(L"--gtest_filter=DisasmLiveChild.DISABLED_ReadExecuteOnlyPage --gtest_also_run_disabled_tests", out);
  const bool plain_read_worked = code == 0 && out.find("execute-only page read: 0") != std::string::npos;
  if (!plain_read_worked) {
    EXPECT_EQ(code, 0xC0000005u) << out;
  }
  EXPECT_EQ(platform::ExecuteOnlyPagesAreReadable(), plain_read_worked) << out;
  // And the unit's real start-up takes the same answer into the mask.
  diag::EDisAsmInit();
  EXPECT_EQ(diag::ExecuteOnlyPagesReadable(), plain_read_worked);
  EXPECT_EQ((diag::LiveMemory().Space().DefaultMask & disasm::kPageExecute) != 0, plain_read_worked);
  diag::EDisAsmDone();
}

}  // namespace
}  // namespace zelvic::test
