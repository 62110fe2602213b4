// The constant tables: their shape, the template markers, and the mnemonics
// of the one-byte map checked against a listing written from the IA-32
// opcode map (not from another disassembler's spelling).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "EDisAsm.h"
#include "EDisAsmTables.h"
#include "disasm_fake_memory.h"

namespace zelvic::disasm {
namespace {

using namespace tables;

TEST(DisasmTables, Shape) {
  EXPECT_EQ(kTemplateCount, 313);
  EXPECT_STREQ(kHexDigits, "0123456789ABCDEF");
  std::set<std::string> unique;
  for (const char* t : kTemplates) unique.insert(t);
  EXPECT_EQ(unique.size(), 313u) << "templates are stored once and shared by index";
  std::vector<bool> used(kTemplateCount, false);
  for (int map = 0; map < 4; ++map) {
    for (int op = 0; op < 256; ++op) {
      const std::uint16_t idx = kTemplateIndex[map][op];
      if (idx == kNoTemplate) continue;
      ASSERT_LT(idx, kTemplateCount);
      used[idx] = true;
      EXPECT_NE(kAttributes[map][op], kInvalidAttributes) << map << " " << op << ": a template for an invalid opcode";
    }
  }
  for (int k = 0; k < kTemplateCount; ++k) EXPECT_TRUE(used[k]) << kTemplates[k];
}

// Templates whose exact text the template language was designed around.
TEST(DisasmTables, KnownTemplatesAreStoredVerbatim) {
  const char* const kKnown[] = {"ADD", "CMOV%CS", "J%CS", "SET%CS", "ADDps", "CVTpI2ps", "CWDE/CBW", "POP %RN",
                                "PUSHAD/PUSHA", "MOVSD/MOVSW", "MOVD///MOVQ", "MOVQ//MOVDQ2Q/MOVQ2DQ",
                                "PSHUFW/PSHUFD/PSHUFLW/PSHUFHW", "ADD|OR|ADC|SBB|AND|SUB|XOR|CMP",
                                "INC|DEC|CALL|CALL|JMP|JMP|PUSH", "ROL|ROR|RCL|RCR|SHL|SHR|SAL|SAR",
                                "TEST|TEST|NOT|NEG|MUL|IMUL|DIV|IDIV", "SGDT|SIDT|LGDT|LIDT|SMSW||LMSW|INVLPG",
                                "MOVHLps:MOVLps/MOVLps/MOVDDUP/MOVSLDUP",
                                "FXSAVE|FXRSTOR|LDMXCSR|STMXCSR||LFENCE|MFENCE|SFENCE:CLFLUSH", "INT 3"};
  for (const char* k : kKnown) {
    bool found = false;
    for (const char* t : kTemplates) found = found || std::strcmp(t, k) == 0;
    EXPECT_TRUE(found) << k;
  }
  // The x87 store of the status word into AX keeps its two blanks.
  const std::string df = kTemplates[kTemplateIndex[0][0xDF]];
  EXPECT_NE(df.find("|NSTSW  AX|"), std::string::npos) << df;
}

TEST(DisasmTables, GroupOpcodesHaveAlternativesPerReg) {
  for (int map = 0; map < 4; ++map) {
    for (int op = 0; op < 256; ++op) {
      const std::uint16_t a = kAttributes[map][op];
      if (a == kInvalidAttributes || !(a & attr::kGroup)) continue;
      const std::uint16_t idx = kTemplateIndex[map][op];
      ASSERT_NE(idx, kNoTemplate);
      const std::string t = kTemplates[idx];
      EXPECT_NE(t.find('|'), std::string::npos) << t;
      EXPECT_NE(a & attr::kModRMBits, 0) << "a group opcode reads ModR/M";
    }
  }
  // The x87 rows carry 8 memory and 8 register alternatives.
  for (int op = 0xD8; op <= 0xDF; ++op) {
    const std::string t = kTemplates[kTemplateIndex[0][op]];
    EXPECT_EQ(std::count(t.begin(), t.end(), '|'), 15) << t;
  }
}

TEST(DisasmTables, MarkersAreWellFormed) {
  for (const char* t : kTemplates) {
    const std::string s = t;
    for (std::size_t k = 0; k < s.size(); ++k) {
      const char c = s[k];
      if (c == '%') {
        const std::string marker = s.substr(k, 3);
        EXPECT_TRUE(marker == "%CS" || marker == "%RN") << s;
        k += 2;
        continue;
      }
      const bool upper = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      const bool marker = std::strchr("|/:- spq", c) != nullptr;
      EXPECT_TRUE(upper || marker) << s << " has " << c;
    }
  }
  // Every marker of the template language is in use.
  const char* const kMarkers[] = {"|", "/", ":", "-", "%CS", "%RN", "s", "p", "q"};
  for (const char* m : kMarkers) {
    bool found = false;
    for (const char* t : kTemplates) found = found || std::strstr(t, m) != nullptr;
    EXPECT_TRUE(found) << m;
  }
}

TEST(DisasmTables, OnlyGroupOpcodesOfTheOneByteMapHaveGroupRows) {
  for (int row = 0; row < 10; ++row) {
    for (int form = 0; form < 2; ++form) {
      for (int reg = 0; reg < 8; ++reg) {
        const std::uint16_t a = kGroupAttributes[row][form][reg];
        if (a == kInvalidAttributes) continue;
        EXPECT_EQ(a & attr::kGroup, 0) << "a group row word selects one alternative";
        if (row < 2) {
          EXPECT_EQ((a >> 3) & 7, row == 0 ? 1 : 3) << "F6 is byte-sized, F7 dword";
        }
      }
    }
  }
  // F6/F7 /0 and /1 take an immediate, the rest do not.
  for (int row = 0; row < 2; ++row)
    for (int reg = 0; reg < 8; ++reg)
      EXPECT_EQ((kGroupAttributes[row][0][reg] & (attr::kImmByte | attr::kImmOperand)) != 0, reg < 2);
}

TEST(DisasmTables, ThreeDNowTable) {
  std::set<int> seen;
  for (const T3DNowRow& row : k3DNow) {
    EXPECT_TRUE(seen.insert(row.Suffix).second);
    EXPECT_EQ(row.Mnemonic[0], 'P');
  }
  EXPECT_EQ(seen.size(), 24u);
}

// Mnemonics of the one-byte map, register forms, with no prefix, as the
// IA-32 opcode map names them; "." marks a prefix, an escape, an invalid
// byte or a group (checked below).
const char* const kOneByteMnemonics[16] = {
    "ADD ADD ADD ADD ADD ADD PUSH POP OR OR OR OR OR OR PUSH .",
    "ADC ADC ADC ADC ADC ADC PUSH POP SBB SBB SBB SBB SBB SBB PUSH POP",
    "AND AND AND AND AND AND . DAA SUB SUB SUB SUB SUB SUB . DAS",
    "XOR XOR XOR XOR XOR XOR . AAA CMP CMP CMP CMP CMP CMP . AAS",
    "INC INC INC INC INC INC INC INC DEC DEC DEC DEC DEC DEC DEC DEC",
    "PUSH PUSH PUSH PUSH PUSH PUSH PUSH PUSH POP POP POP POP POP POP POP POP",
    "PUSHAD POPAD BOUND ARPL . . . . PUSH IMUL PUSH IMUL INSB INSD OUTSB OUTSD",
    "JO JNO JB JNB JZ JNZ JBE JA JS JNS JP JNP JL JGE JLE JG",
    ". . . . TEST TEST XCHG XCHG MOV MOV MOV MOV MOV LEA MOV POP",
    "NOP XCHG XCHG XCHG XCHG XCHG XCHG XCHG CWDE CDQ CALL WAIT PUSHFD POPFD SAHF LAHF",
    "MOV MOV MOV MOV MOVSB MOVSD CMPSB CMPSD TEST TEST STOSB STOSD LODSB LODSD SCASB SCASD",
    "MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV MOV",
    ". . RET RET LES LDS MOV MOV ENTER LEAVE RETF RETF INT INT INTO IRETD",
    ". . . . AAM AAD . XLAT . . . . . . . .",
    "LOOPNE LOOPE LOOP JECXZ IN IN OUT OUT CALL JMP JMP JMP IN IN OUT OUT",
    ". . . . HLT CMC . . CLC STC CLI STI CLD STD . .",
};

// Reg-selected mnemonics of the group opcodes (register forms unless noted).
struct TGroupRow {
  std::uint8_t opcode;
  const char* names;  // 8 names, "." for invalid
};
const TGroupRow kGroups[] = {
    {0x80, "ADD OR ADC SBB AND SUB XOR CMP"},
    {0x81, "ADD OR ADC SBB AND SUB XOR CMP"},
    {0x83, "ADD OR ADC SBB AND SUB XOR CMP"},
    {0xC0, "ROL ROR RCL RCR SHL SHR SAL SAR"},
    {0xD1, "ROL ROR RCL RCR SHL SHR SAL SAR"},
    {0xD3, "ROL ROR RCL RCR SHL SHR SAL SAR"},
    {0xF6, "TEST TEST NOT NEG MUL IMUL DIV IDIV"},
    {0xF7, "TEST TEST NOT NEG MUL IMUL DIV IDIV"},
    {0xFE, "INC DEC . . . . . ."},
    {0xFF, "INC DEC CALL . JMP . PUSH ."},
};

std::string FirstWord(const std::string& s) { return s.substr(0, s.find(' ')); }

std::string Mnemonic(const std::vector<std::uint8_t>& bytes) {
  TBufferMemory m(bytes.data(), bytes.size(), 0x00401000);
  const TDisasmInstruction r = DecodeInstruction(m, 0x00401000, true);
  if (!r.Valid) return ".";
  char buf[kMaxLineLength];
  FormatMnemonicAndOperands(r, &m, buf, sizeof buf);
  return FirstWord(buf);
}

TEST(DisasmTables, OneByteMapMnemonicsFollowTheOpcodeMap) {
  for (int row = 0; row < 16; ++row) {
    std::istringstream names(kOneByteMnemonics[row]);
    for (int col = 0; col < 16; ++col) {
      std::string expected;
      names >> expected;
      const auto op = static_cast<std::uint8_t>(row * 16 + col);
      if (expected == ".") continue;
      // Operands: a register-form ModR/M and enough bytes for any immediate.
      const std::vector<std::uint8_t> bytes = {op, 0xC0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
      std::vector<std::uint8_t> mem = bytes;
      mem[1] = 0x00;  // memory form for the opcodes that need one
      std::string got = Mnemonic(bytes);
      if (got == ".") got = Mnemonic(mem);
      EXPECT_EQ(got, expected) << std::hex << int{op};
    }
  }
}

TEST(DisasmTables, GroupMnemonicsFollowTheOpcodeMap) {
  for (const TGroupRow& g : kGroups) {
    std::istringstream names(g.names);
    for (int reg = 0; reg < 8; ++reg) {
      std::string expected;
      names >> expected;
      const std::vector<std::uint8_t> bytes = {g.opcode, static_cast<std::uint8_t>(0xC0 | (reg << 3)), 1, 2, 3, 4};
      EXPECT_EQ(Mnemonic(bytes), expected) << std::hex << int{g.opcode} << " /" << reg;
    }
  }
}

// The x87 escape opcodes: memory forms by Reg, and the register forms that
// the opcode map names one by one.
TEST(DisasmTables, X87MnemonicsFollowTheOpcodeMap) {
  const TGroupRow memory[] = {
      {0xD8, "FADD FMUL FCOM FCOMP FSUB FSUBR FDIV FDIVR"},
      {0xD9, "FLD . FST FSTP FLDENV FLDCW FNSTENV FNSTCW"},
      {0xDA, "FIADD FIMUL FICOM FICOMP FISUB FISUBR FIDIV FIDIVR"},
      {0xDB, "FILD FISTTP FIST FISTP . FLD . FSTP"},
      {0xDC, "FADD FMUL FCOM FCOMP FSUB FSUBR FDIV FDIVR"},
      {0xDD, "FLD FISTTP FST FSTP FRSTOR . FNSAVE FNSTSW"},
      {0xDE, "FIADD FIMUL FICOM FICOMP FISUB FISUBR FIDIV FIDIVR"},
      {0xDF, "FILD FISTTP FIST FISTP FBLD FILD FBSTP FISTP"},
  };
  for (const TGroupRow& g : memory) {
    std::istringstream names(g.names);
    for (int reg = 0; reg < 8; ++reg) {
      std::string expected;
      names >> expected;
      EXPECT_EQ(Mnemonic({g.opcode, static_cast<std::uint8_t>(reg << 3)}), expected)
          << std::hex << int{g.opcode} << " /" << reg;
    }
  }
  const char* const kD9Register[8] = {"FLD FLD FLD FLD FLD FLD FLD FLD",
                                      "FXCH FXCH FXCH FXCH FXCH FXCH FXCH FXCH",
                                      "FNOP . . . . . . .",
                                      nullptr,
                                      "FCHS FABS . . FTST FXAM . .",
                                      "FLD1 FLDL2T FLDL2E FLDPI FLDLG2 FLDLN2 FLDZ .",
                                      "F2XM1 FYL2X FPTAN FPATAN FXTRACT FPREM1 FDECSTP FINCSTP",
                                      "FPREM FYL2XP1 FSQRT FSINCOS FRNDINT FSCALE FSIN FCOS"};
  for (int reg = 0; reg < 8; ++reg) {
    if (kD9Register[reg] == nullptr) continue;
    std::istringstream names(kD9Register[reg]);
    for (int rm = 0; rm < 8; ++rm) {
      std::string expected;
      names >> expected;
      EXPECT_EQ(Mnemonic({0xD9, static_cast<std::uint8_t>(0xC0 | (reg << 3) | rm)}), expected)
          << "D9 " << std::hex << (0xC0 | (reg << 3) | rm);
    }
  }
  const TGroupRow registers[] = {
      {0xD8, "FADD FMUL FCOM FCOMP FSUB FSUBR FDIV FDIVR"},
      {0xDA, "FCMOVB FCMOVE FCMOVBE FCMOVU . . . ."},
      {0xDB, "FCMOVNB FCMOVNE FCMOVNBE FCMOVNU . FUCOMI FCOMI ."},
      {0xDC, "FADD FMUL FCOM2 FCOMP3 FSUBR FSUB FDIVR FDIV"},
      {0xDD, "FFREE FXCH4 FST FSTP FUCOM FUCOMP . ."},
      {0xDE, "FADDP FMULP FCOMP5 . FSUBRP FSUBP FDIVRP FDIVP"},
      {0xDF, "FFREEP FXCH7 FSTP8 FSTP9 . FUCOMIP FCOMIP ."},
  };
  for (const TGroupRow& g : registers) {
    std::istringstream names(g.names);
    for (int reg = 0; reg < 8; ++reg) {
      std::string expected;
      names >> expected;
      if (expected == ".") {
        continue;  // single-form rows, checked by the decode tests
      }
      EXPECT_EQ(Mnemonic({g.opcode, static_cast<std::uint8_t>(0xC1 | (reg << 3))}), expected)
          << std::hex << int{g.opcode} << " /" << reg;
    }
  }
}

}  // namespace
}  // namespace zelvic::disasm
