// The decoder against independent disassemblers: wherever it calls an
// instruction valid, its length (and for calls and jumps its kind and
// target) must be the reference's. objdump runs as a child process; Zydis is
// linked in when libzydis-dev is installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "EDisAsm.h"
#include "disasm_fake_memory.h"
#include "disasm_reference.h"

namespace zelvic::disasm {
namespace {

using namespace reference;
using testing::Bytes;

std::string Failures(const TComparison& c) {
  std::string s;
  for (const TMismatch& m : c.Mismatches) s += "\n  " + Describe(m);
  return s;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::vector<std::uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  std::uint8_t buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) != 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

// objdump is the oracle here: without it the comparison cannot run, and a
// check that cannot run must not pass.
constexpr const char* kNoObjdump = "objdump for i386 is not installed: install binutils (tools/bootstrap.sh)";

// Code cut from Wine's i386 DLLs (tools/disasm/compare_corpus.py
// --extract-ci-corpus); the file name carries the load address.
const char* const kCorpus[] = {"kernel32_7b613000.bin", "ntdll_7bc11000.bin", "msvcrt_65689000.bin",
                               "user32_688a1000.bin"};

TEST(DisasmReference, CorpusAgainstObjdump) {
  ASSERT_TRUE(ObjdumpAvailable()) << kNoObjdump;
  std::uint64_t targets = 0;
  for (const char* name : kCorpus) {
    SCOPED_TRACE(name);
    const std::vector<std::uint8_t> bytes = ReadFile(std::string(ZELVIC_DISASM_DATA_DIR) + "/" + name);
    ASSERT_GT(bytes.size(), 1000u);
    const std::string file = name;
    const auto base = static_cast<std::uint32_t>(std::stoul(file.substr(file.find('_') + 1, 8), nullptr, 16));
    std::vector<TReferenceInstruction> sweep;
    std::string error;
    ASSERT_TRUE(ObjdumpSweep(bytes, base, sweep, error)) << error;
    TComparison c;
    CompareWithSweep(bytes, base, sweep, c);
    EXPECT_TRUE(c.Mismatches.empty()) << Failures(c);
    EXPECT_GT(c.Compared, 900u);
    EXPECT_EQ(c.OursOnly, 0u) << "real code that objdump rejects";
    targets += c.CallKindChecked;
  }
  EXPECT_GT(targets, 300u) << "the corpus must exercise calls and jumps";
}

// Every opcode of the four maps x every ModR/M byte x a sample of SIB bytes,
// with no prefix, 66h, 67h, F2h and F3h, in one objdump run.
TEST(DisasmReference, EnumerationAgainstObjdump) {
  ASSERT_TRUE(ObjdumpAvailable()) << kNoObjdump;
  TCandidateSet set;
  TComparison c;
  std::string error;
  ASSERT_TRUE(CompareCandidatesWithObjdump(set, c, error)) << error;
  EXPECT_TRUE(c.Mismatches.empty()) << Failures(c);
  EXPECT_GT(c.Compared, 450000u);
}

#if defined(ZELVIC_HAVE_ZYDIS)
// Exhaustive: all 256 SIB bytes and more prefix combinations.
TEST(DisasmReference, ExhaustiveEnumerationAgainstZydis) {
  TCandidateSet set;
  set.Prefixes = {{}, {0x66}, {0x67}, {0xF2}, {0xF3}, {0xF0}, {0x66, 0xF2}, {0x66, 0x67}};
  set.FullSib = true;
  TComparison c;
  CompareCandidatesWithZydis(set, c);
  EXPECT_TRUE(c.Mismatches.empty()) << Failures(c);
  EXPECT_GT(c.Compared, 5000000u);
}
#endif

// Where this decoder's validity rules and the references differ. Each row is
// checked against the references too, so a row that stops being a
// difference shows up.
struct TValidityDifference {
  const char* bytes;
  bool ours;
  bool objdump;
  bool zydis;
  const char* why;
};
const TValidityDifference kDifferences[] = {
    {"66 66 90", false, true, true, "the same prefix twice is rejected here"},
    {"F3 F3 A4", false, true, true, "the same prefix twice is rejected here"},
    {"F0 90", false, true, false, "LOCK only before the lockable opcodes"},
    {"F0 FF 00", false, true, true, "INC/DEC are not on the lockable list"},
    {"F0 F7 18", false, true, true, "NEG is not on the lockable list"},
    {"F2 F3 90", false, true, true, "at most one of F0h, F2h, F3h"},
    {"0F 0B", false, true, true, "UD2 is shown as an invalid instruction"},
    {"F1", false, true, true, "INT1 is not in the table"},
    {"0F 05", false, true, true, "SYSCALL is not in the table"},
    {"F0 01 C1", true, true, false, "the form of a locked destination is not tested"},
    {"C6 C8 05", true, false, false, "C6h is MOV whatever Reg says"},
    {"8F C8", true, false, false, "8Fh is POP whatever Reg says"},
    {"DE D8", true, false, false, "DE D8-DF all read as FCOMPP"},
    {"0F 0F C1 FF", true, false, false, "a 3DNow! suffix outside the table: valid, no mnemonic"},
    {"0F 73 D8 08", true, false, false, "PSRLDQ is accepted without 66h"},
};

TEST(DisasmReference, ValidityDifferencesTable) {
  const bool objdump = ObjdumpAvailable();
  for (const TValidityDifference& d : kDifferences) {
    SCOPED_TRACE(std::string(d.bytes) + ": " + d.why);
    std::vector<std::uint8_t> b = Bytes(d.bytes);
    const std::size_t length = b.size();
    b.resize(16, 0x90);
    TDisasmInstruction r;
    DecodeBytes(b.data(), b.size(), 0x00400000, r, nullptr);
    EXPECT_EQ(r.Valid, d.ours);
    if (r.Valid) {
      EXPECT_EQ(r.End - r.Start, length);
    }
    if (objdump) {
      std::vector<TReferenceInstruction> sweep;
      std::string error;
      ASSERT_TRUE(ObjdumpSweep(b, 0x00400000, sweep, error)) << error;
      ASSERT_FALSE(sweep.empty());
      EXPECT_EQ(sweep[0].Valid && sweep[0].Length == length, d.objdump) << sweep[0].Text;
    }
#if defined(ZELVIC_HAVE_ZYDIS)
    EXPECT_EQ(ZydisLength(b.data(), b.size()) == length, d.zydis);
#endif
  }
}

}  // namespace
}  // namespace zelvic::disasm
