// The searches: readability over the region walk, the call site before a
// return address, call targets through jump thunks, and instruction spans.
#include <gtest/gtest.h>

#include "EDisAsm.h"
#include "disasm_fake_memory.h"

namespace zelvic::disasm {
namespace {

using testing::Bytes;
using testing::TFakeProcess;

// ---------------------------------------------------------------------------
// CanRead

TEST(DisasmCanRead, MasksAndRegionState) {
  TFakeProcess p;
  p.Add(0x00500000, std::vector<std::uint8_t>(0x1000), kPageReadWrite);
  p.Add(0x00501000, std::vector<std::uint8_t>(0x1000), kPageExecuteRead);
  p.Add(0x00502000, std::vector<std::uint8_t>(0x1000), kPageExecute);
  p.Add(0x00503000, std::vector<std::uint8_t>(0x1000), kPageReadWrite, 0x2000 /* reserved */);
  p.Add(0x00504000, std::vector<std::uint8_t>(0x1000), kPageNoAccess);
  EXPECT_EQ(p.CanRead(0x00500010, 4, 0), 4u);
  EXPECT_EQ(p.CanRead(0x00500010, 4, kCodeMask), 0u) << "data is not code";
  EXPECT_EQ(p.CanRead(0x00501010, 4, kCodeMask), 4u);
  EXPECT_EQ(p.CanRead(0x00501010, 4, 0), 4u);
  EXPECT_EQ(p.CanRead(0x00502010, 4, 0), 0u) << "execute-only is not readable by default";
  EXPECT_EQ(p.CanRead(0x00502010, 4, kCodeMask), 4u);
  EXPECT_EQ(p.CanRead(0x00503010, 4, 0), 0u) << "only committed memory";
  EXPECT_EQ(p.CanRead(0x00504010, 4, 0), 0u);
  EXPECT_EQ(p.CanRead(0x00500010, 0, 0), 0u);
  // After the start-up probe found execute-only pages readable.
  p.space.DefaultMask = DefaultReadableMask(true);
  EXPECT_EQ(p.space.DefaultMask, 0xFEu);
  EXPECT_EQ(p.CanRead(0x00502010, 4, 0), 4u);
  EXPECT_EQ(DefaultReadableMask(false), 0xEEu);
}

TEST(DisasmCanRead, WalksIntoFollowingRegions) {
  TFakeProcess p;
  p.Add(0x00500000, std::vector<std::uint8_t>(0x1000), kPageReadOnly);
  p.Add(0x00501000, std::vector<std::uint8_t>(0x1000), kPageExecuteRead);
  p.Add(0x00502000, std::vector<std::uint8_t>(0x1000), kPageNoAccess);
  EXPECT_EQ(p.CanRead(0x00500FF0, 0x20, 0), 0x20u) << "two readable regions";
  EXPECT_EQ(p.CanRead(0x00500FF0, 0x1020, 0), 0u) << "one unreadable region fails the whole range";
  EXPECT_EQ(p.CanRead(0x00501FFE, 2, kCodeMask), 2u);
  EXPECT_EQ(p.CanRead(0x00501FFE, 3, kCodeMask), 0u);
  EXPECT_EQ(p.CanRead(0x00500FF0, 0x20, kCodeMask), 0u) << "the mask applies to every region";
}

TEST(DisasmCanRead, ExcludedAddressRanges) {
  TFakeProcess p;
  p.Add(0x00001000, std::vector<std::uint8_t>(0x1000), kPageReadOnly);
  p.Add(0x7FFF1000, std::vector<std::uint8_t>(0x1000), kPageReadOnly);
  p.Add(0x7FFE0000, std::vector<std::uint8_t>(0x1000), kPageReadOnly);
  p.Add(0x80001000, std::vector<std::uint8_t>(0x1000), kPageReadOnly);
  const int before = p.queries;
  EXPECT_EQ(p.CanRead(0x00001010, 4, 0), 0u) << "below 10000h";
  EXPECT_EQ(p.CanRead(0x7FFF1010, 4, 0), 0u) << "the 64 KiB below 2 GiB";
  EXPECT_EQ(p.CanRead(0x80001010, 4, 0), 0u) << "above the application range";
  EXPECT_EQ(p.queries, before) << "excluded ranges are not even queried";
  EXPECT_EQ(p.CanRead(0x7FFE0010, 4, 0), 4u);
  p.space.MaximumApplicationAddress = 0xBFFEFFFF;  // large-address-aware process
  EXPECT_EQ(p.CanRead(0x80001010, 4, 0), 4u);
}

TEST(DisasmCanRead, TopOfTheAddressSpaceDoesNotWrap) {
  TFakeProcess p;
  p.space.MaximumApplicationAddress = 0xFFFFFFFF;
  p.Add(0xFFFFF000, std::vector<std::uint8_t>(0x1000), kPageReadOnly);
  EXPECT_EQ(p.CanRead(0xFFFFFFF0, 0x10, 0), 0x10u);
  EXPECT_EQ(p.CanRead(0xFFFFFFF0, 0x11, 0), 0u);
}

// ---------------------------------------------------------------------------
// FindCallBefore

struct TCallSite {
  const char* code;           // bytes placed at kCode
  std::uint32_t ret;          // return address offset
  std::uint32_t shortest;     // expected start offset, shortest form
  std::uint32_t longest;      // expected start offset, longest form
};

constexpr std::uint32_t kCode = 0x00401000;

TEST(DisasmFindCallBefore, Table) {
  const TCallSite sites[] = {
      // E8 rel32: R - 5
      {"90 90 90 90 90 90 90 90 90 90 90 E8 00 00 00 00 90", 16, 11, 11},
      // FF 15 [abs32]: R - 6
      {"90 90 90 90 90 90 90 90 90 90 FF 15 00 20 40 00 90", 16, 10, 10},
      // FF D0 (CALL EAX): R - 2
      {"90 90 90 90 90 90 90 90 90 90 90 90 90 90 FF D0 90", 16, 14, 14},
      // FF 55 08 (CALL [EBP+8]): R - 3
      {"90 90 90 90 90 90 90 90 90 90 90 90 90 FF 55 08 90", 16, 13, 13},
      // Jcc rel8 counts as a branch
      {"90 90 90 90 90 90 90 90 90 90 90 90 90 90 74 05 90", 16, 14, 14},
      // nothing before the return address
      {"90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 90", 16, 16, 16},
      // a return address right after a plain instruction
      {"90 90 90 90 90 90 90 90 90 90 8B 45 F8 89 45 FC 90", 16, 16, 16},
      // FF 15 whose address bytes end in FF D0: the two-byte CALL EAX is found
      // first; the longest form prefers the real six-byte call
      {"90 90 90 90 90 90 90 90 90 90 FF 15 00 20 FF D0 90", 16, 14, 10},
      // E8 whose displacement ends in FF 10 (CALL [EAX]): the same
      {"90 90 90 90 90 90 90 90 90 90 90 E8 00 00 FF 10 90", 16, 14, 11},
  };
  for (const TCallSite& s : sites) {
    SCOPED_TRACE(s.code);
    TFakeProcess p;
    p.AddCode(kCode, s.code);
    EXPECT_EQ(FindCallBefore(p, kCode + s.ret, false), kCode + s.shortest);
    EXPECT_EQ(FindCallBefore(p, kCode + s.ret, true), kCode + s.longest);
    // Going on from the shortest call gives the longest; without a call
    // there is nothing to go on from, and the full search answers.
    EXPECT_EQ(FindLongestCallBefore(p, kCode + s.ret, kCode + s.shortest), kCode + s.longest);
  }
}

TEST(DisasmFindCallBefore, LongestFormTakesTheFirstLongerMatchOnly) {
  // Ending at R: CALL EAX at R-2 and CALL [abs32] at R-6. Further back,
  // FF 15 at R-10 is a call too, but it ends at R-4.
  TFakeProcess p;
  p.AddCode(kCode, "90 90 90 90 90 FF 15 00 00 FF 15 00 00 FF D0 90");
  const std::uint32_t r = kCode + 15;
  EXPECT_EQ(FindCallBefore(p, r, false), r - 2);
  EXPECT_EQ(FindCallBefore(p, r, true), r - 6);
  EXPECT_EQ(FindLongestCallBefore(p, r, r - 2), r - 6);
  // A shortest answer outside the window the search may start from.
  EXPECT_EQ(FindLongestCallBefore(p, r, r - 40), r - 6);
}

TEST(DisasmFindCallBefore, PartlyUnreadableWindow) {
  // The call sits at the very start of a code region; the bytes before it are
  // not mapped, so the search cannot read its whole window at once.
  TFakeProcess p;
  p.AddCode(0x00401000, "E8 00 00 00 00 90");
  EXPECT_EQ(FindCallBefore(p, 0x00401005, false), 0x00401000u);
  EXPECT_EQ(FindCallBefore(p, 0x00401005, true), 0x00401000u);
  EXPECT_EQ(FindLongestCallBefore(p, 0x00401005, 0x00401000), 0x00401000u);
  // Call bytes in a data page do not count.
  TFakeProcess data;
  data.Add(0x00401000, Bytes("90 90 90 90 90 90 90 90 90 90 90 E8 00 00 00 00 90"), kPageReadWrite);
  EXPECT_EQ(FindCallBefore(data, 0x00401010, false), 0x00401010u);
  // A return address in the first page of memory.
  TFakeProcess low;
  EXPECT_EQ(FindCallBefore(low, 5, true), 5u);
}

// The window fast path and the per-address decode must agree everywhere.
TEST(DisasmFindCallBefore, WindowedAndPerAddressSearchAgree) {
  std::vector<std::uint8_t> code = Bytes(
      "55 8B EC 83 EC 08 E8 10 00 00 00 89 45 FC FF 15 00 20 40 00 8B 4D 08 FF D1 85 C0 74 05 E8 F0 FF FF FF "
      "C9 C3 FF 24 85 00 30 40 00 9A 00 00 00 00 08 00 66 E8 00 00 FF 55 F8 41 FF 10 C3");
  TFakeProcess whole;
  whole.Add(kCode, code, kPageExecuteRead);
  for (std::uint32_t cut = 0; cut < code.size(); ++cut) {
    // The same bytes, the first `cut` of them unmapped.
    TFakeProcess part;
    part.Add(kCode + cut, std::vector<std::uint8_t>(code.begin() + cut, code.end()), kPageExecuteRead);
    for (std::uint32_t r = kCode + cut + 2; r <= kCode + code.size(); ++r) {
      for (bool longest : {false, true}) {
        // Reference: the plain definition, decoding address by address.
        std::uint32_t expected = r;
        std::uint32_t found = 0;
        for (std::uint32_t q = r - 2; q >= r - 15 && q >= 0x10000; --q) {
          const TDisasmInstruction d = DecodeInstruction(part, q, false);
          if (d.Valid && d.End == r && (d.IsCall || d.IsBranch)) {
            if (found == 0) {
              found = q;
              expected = q;
              if (!longest) break;
            } else {
              expected = q;
              break;
            }
          }
        }
        ASSERT_EQ(FindCallBefore(part, r, longest), expected) << "cut " << cut << " r " << std::hex << r;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// GetCallTarget and jump thunks

TEST(DisasmGetCallTarget, DirectAndThroughThunks) {
  TFakeProcess p;
  p.AddCode(0x00401000,
            "E8 FB 0F 00 00 "   // 401000: CALL 402000 (EB thunk)
            "E8 F6 1F 00 00 "   // 401005: CALL 403000 (E9 thunk)
            "E8 F1 2F 00 00 "   // 40100A: CALL 404000 (FF 25 thunk)
            "E8 EC 3F 00 00 "   // 40100F: CALL 405000 (plain code)
            "FF 15 00 70 40 00 " // 401014: CALL [407000] -> 405000
            "90 "                // 40101A: not a call
            "FF D0 "             // 40101B: CALL EAX: target unknown
            "E8 DE 5F 00 00");   // 40101D: CALL 407000 (data, not code)
  p.AddCode(0x00402000, "EB 0E");                 // -> 402010
  p.AddCode(0x00402010, "C3");
  p.AddCode(0x00403000, "E9 FB 1F 00 00");        // -> 405000
  p.AddCode(0x00404000, "FF 25 00 70 40 00");     // -> [407000] = 405000
  p.AddCode(0x00405000, "55 8B EC C3");
  p.Add(0x00407000, Bytes("00 50 40 00"), kPageReadOnly);
  EXPECT_EQ(GetCallTarget(p, 0x00401000), 0x00402010u);
  EXPECT_EQ(GetCallTarget(p, 0x00401005), 0x00405000u);
  EXPECT_EQ(GetCallTarget(p, 0x0040100A), 0x00405000u);
  EXPECT_EQ(GetCallTarget(p, 0x0040100F), 0x00405000u);
  EXPECT_EQ(GetCallTarget(p, 0x00401014), 0x00405000u);
  EXPECT_EQ(GetCallTarget(p, 0x0040101A), 0u);
  EXPECT_EQ(GetCallTarget(p, 0x0040101B), 0u);
  EXPECT_EQ(GetCallTarget(p, 0x0040101D), 0u) << "a target outside code is nil";
  EXPECT_EQ(GetCallTarget(p, 0x00900000), 0u);
}

TEST(DisasmGetCallTarget, ThunkIsFollowedOnceAndOnlyIntoCode) {
  TFakeProcess p;
  p.AddCode(0x00402000, "EB 0E");             // -> 402010, itself a thunk
  p.AddCode(0x00402010, "EB 0E");             // -> 402020
  p.AddCode(0x00402020, "C3");
  p.AddCode(0x00403000, "E9 FB 2F 00 00");    // -> 406000: data
  p.AddCode(0x00404000, "FF 25 00 80 40 00"); // pointer slot unreadable
  p.AddCode(0x00404100, "E9 00");             // cut short: not a thunk
  p.Add(0x00406000, Bytes("00 00"), kPageReadWrite);
  EXPECT_EQ(FollowJumpThunk(p, 0x00402000), 0x00402010u);
  EXPECT_EQ(FollowJumpThunk(p, 0x00403000), 0x00403000u);
  EXPECT_EQ(FollowJumpThunk(p, 0x00404000), 0x00404000u);
  EXPECT_EQ(FollowJumpThunk(p, 0x00404100), 0x00404100u);
  EXPECT_EQ(FollowJumpThunk(p, 0x00402020), 0x00402020u);
}

// ---------------------------------------------------------------------------
// InstructionsSpan

TEST(DisasmInstructionsSpan, Table) {
  struct TRow {
    const char* code;
    std::uint32_t count;
    std::uint32_t span;
  };
  const TRow rows[] = {
      {"55 8B EC 83 EC 08 53 56", 5, 6},       // PUSH EBP / MOV EBP,ESP / SUB ESP,8
      {"55 8B EC 83 EC 08 53 56", 1, 1},
      {"55 8B EC 83 EC 08 53 56", 3, 3},
      {"55 8B EC 83 EC 08 53 56", 4, 6},
      {"55 8B EC 83 EC 08 53 56", 0, 0},
      {"E9 00 10 00 00 90 90", 5, 5},
      {"8B FF 55 8B EC", 5, 5},                // hot-patch prologue
      {"C3 CC CC CC CC CC", 5, 1},             // a return ends the span
      {"33 C0 C2 08 00 CC CC", 5, 5},
      {"55 66 66 90 90 90", 5, 1},             // stops at an invalid instruction
      {"C7 45 F8 10 00 00 00 90", 2, 7},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.code);
    TFakeProcess p;
    p.AddCode(kCode, r.code);
    EXPECT_EQ(InstructionsSpan(p, kCode, r.count), r.span);
  }
}

TEST(DisasmInstructionsSpan, StopsAtTheEndOfCode) {
  TFakeProcess p;
  p.AddCode(kCode, "55 8B EC 83");
  EXPECT_EQ(InstructionsSpan(p, kCode, 6), 3u);
  EXPECT_EQ(InstructionsSpan(p, 0x00900000, 6), 0u);
}

}  // namespace
}  // namespace zelvic::disasm
