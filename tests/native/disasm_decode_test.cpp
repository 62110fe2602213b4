// Decoding: length, validity, control-transfer kind and target, and the
// mnemonic-and-operands text, over tables of byte sequences. The expected
// texts are written from the IA-32 opcode maps and the formatting rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EDisAsm.h"
#include "disasm_fake_memory.h"

namespace zelvic::disasm {
namespace {

using testing::Bytes;

constexpr std::uint32_t kAt = 0x00401000;

enum TKind { kNone, kCall, kBranch };

struct TCase {
  const char* bytes;
  int length;  // 0: invalid
  const char* text;
  TKind kind = kNone;
  std::uint32_t target = 0;
};

TDisasmInstruction Decode(const std::vector<std::uint8_t>& b) {
  TBufferMemory m(b.data(), b.size(), kAt);
  return DecodeInstruction(m, kAt, false);
}

std::string Body(const TDisasmInstruction& r, const TMemoryAccess& m) {
  char buf[kMaxLineLength];
  FormatMnemonicAndOperands(r, &m, buf, sizeof buf);
  return buf;
}

void Check(const TCase& c) {
  SCOPED_TRACE(c.bytes);
  const auto b = Bytes(c.bytes);
  const TBufferMemory m(b.data(), b.size(), kAt);
  const TDisasmInstruction r = Decode(b);
  EXPECT_TRUE(r.Readable);
  EXPECT_EQ(r.Start, kAt);
  if (c.length == 0) {
    EXPECT_FALSE(r.Valid);
    EXPECT_EQ(r.End, kAt + 1);
    EXPECT_EQ(r.OpcodeId, b[0]) << "an invalid record keeps the first byte";
    return;
  }
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.End - r.Start, static_cast<std::uint32_t>(c.length));
  EXPECT_EQ(Body(r, m), c.text);
  EXPECT_EQ(r.IsCall, c.kind == kCall);
  EXPECT_EQ(r.IsBranch, c.kind == kBranch);
  if (c.kind != kNone) {
    EXPECT_EQ(r.Target, c.target);
  }
}

// --- one-byte map: registers, memory forms, displacements --------------------
const TCase kOneByteMap[] = {
    {"90", 1, "NOP"},
    {"55", 1, "PUSH EBP"},
    {"66 55", 2, "PUSH BP"},
    {"5F", 1, "POP EDI"},
    {"40", 1, "INC EAX"},
    {"4E", 1, "DEC ESI"},
    {"89 E5", 2, "MOV EBP, ESP"},
    {"8B EC", 2, "MOV EBP, ESP"},
    {"01 D8", 2, "ADD EAX, EBX"},
    {"03 04 24", 3, "ADD EAX, [ESP]"},
    {"8B 44 24 04", 4, "MOV EAX, [ESP+4]"},
    {"8B 45 F8", 3, "MOV EAX, [EBP-8]"},
    {"8B 45 F0", 3, "MOV EAX, [EBP-$10]"},
    {"8B 45 09", 3, "MOV EAX, [EBP+9]"},
    {"8B 45 0A", 3, "MOV EAX, [EBP+$0A]"},
    {"8B 45 F7", 3, "MOV EAX, [EBP-9]"},
    {"8B 45 F6", 3, "MOV EAX, [EBP-$0A]"},
    {"8B 85 00 01 00 00", 6, "MOV EAX, [EBP+$00000100]"},
    {"8B 85 F0 FF FF FF", 6, "MOV EAX, [EBP-$00000010]"},
    {"8B 05 00 10 40 00", 6, "MOV EAX, [$00401000]"},
    {"8B 05 09 00 00 00", 6, "MOV EAX, [9]"},
    {"8B 04 8D 00 20 40 00", 7, "MOV EAX, [ECX*4+$00402000]"},
    {"8B 04 4B", 3, "MOV EAX, [EBX+ECX*2]"},
    {"8B 44 4B 08", 4, "MOV EAX, [EBX+ECX*2+8]"},
    {"8B 04 0B", 3, "MOV EAX, [EBX+ECX]"},
    {"8B 44 25 08", 4, "MOV EAX, [EBP+8]"},
    {"8B 04 25 00 10 00 00", 7, "MOV EAX, [$00001000]"},
    {"8B 04 E5 00 10 00 00", 7, "MOV EAX, [$00001000]"},  // SIB without index or base
    {"8B 84 C8 00 01 00 00", 7, "MOV EAX, [EAX+ECX*8+$00000100]"},
    {"8B 44 00 00", 4, "MOV EAX, [EAX+EAX]"},  // a zero displacement prints nothing
    {"88 C4", 2, "MOV AH, AL"},
    {"8A 07", 2, "MOV AL, [EDI]"},
    {"66 89 C8", 3, "MOV AX, CX"},
    {"66 8B 45 08", 4, "MOV AX, [EBP+8]"},
    {"8C D8", 2, "MOV AX, DS"},
    {"8E D8", 2, "MOV DS, AX"},
    {"8D 45 F8", 3, "LEA EAX, [EBP-8]"},
    {"84 C0", 2, "TEST AL, AL"},
    {"85 C9", 2, "TEST ECX, ECX"},
    {"87 D9", 2, "XCHG ECX, EBX"},
    {"91", 1, "XCHG EAX, ECX"},
    {"66 93", 2, "XCHG AX, BX"},
    {"63 C8", 2, "ARPL AX, CX"},
    {"62 00", 2, "BOUND EAX, [EAX]"},
    {"C4 00", 2, "LES EAX, [EAX]"},
    {"C5 08", 2, "LDS ECX, [EAX]"},
    {"06", 1, "PUSH ES"},
    {"0E", 1, "PUSH CS"},
    {"16", 1, "PUSH SS"},
    {"1F", 1, "POP DS"},
    {"27", 1, "DAA"},
    {"60", 1, "PUSHAD"},
    {"66 60", 2, "PUSHA"},
    {"61", 1, "POPAD"},
    {"98", 1, "CWDE"},
    {"66 98", 2, "CBW"},
    {"99", 1, "CDQ"},
    {"66 99", 2, "CWD"},
    {"9C", 1, "PUSHFD"},
    {"66 9D", 2, "POPF"},
    {"9B", 1, "WAIT"},
    {"A4", 1, "MOVSB"},
    {"A5", 1, "MOVSD"},
    {"66 A5", 2, "MOVSW"},
    {"F3 A5", 2, "REP MOVSD"},
    {"F3 AB", 2, "REP STOSD"},
    {"F2 AE", 2, "REPNE SCASB"},
    {"F3 A6", 2, "REP CMPSB"},
    {"AC", 1, "LODSB"},
    {"6D", 1, "INSD"},
    {"6E", 1, "OUTSB"},
    {"D7", 1, "XLAT"},
    {"C9", 1, "LEAVE"},
    {"CC", 1, "INT 3"},
    {"CD 2E", 2, "INT $2E"},
    {"CE", 1, "INTO"},
    {"CF", 1, "IRETD"},
    {"66 CF", 2, "IRET"},
    {"F4", 1, "HLT"},
    {"F5", 1, "CMC"},
    {"FC", 1, "CLD"},
    {"D4 0A", 2, "AAM $0A"},
    {"2E 8B 00", 3, "MOV EAX, CS:[EAX]"},
    {"64 8B 0D 00 00 00 00", 7, "MOV ECX, FS:[0]"},
    {"64 FF 35 00 00 00 00", 7, "PUSH DWORD PTR FS:[0]"},
    {"26 88 07", 3, "MOV ES:[EDI], AL"},
};
TEST(DisasmDecode, OneByteMap) {
  for (const TCase& c : kOneByteMap) Check(c);
}

// --- 16-bit addressing (67h) -------------------------------------------------
const TCase kAddress16[] = {
    {"67 8B 00", 3, "MOV EAX, [BX+SI]"},
    {"67 8B 01", 3, "MOV EAX, [BX+DI]"},
    {"67 8B 02", 3, "MOV EAX, [BP+SI]"},
    {"67 8B 43 FE", 4, "MOV EAX, [BP+DI-2]"},
    {"67 8B 04", 3, "MOV EAX, [SI]"},
    {"67 8B 05", 3, "MOV EAX, [DI]"},
    {"67 8B 46 08", 4, "MOV EAX, [BP+8]"},
    {"67 8B 07", 3, "MOV EAX, [BX]"},
    {"67 8B 06 34 12", 5, "MOV EAX, [$1234]"},
    {"67 8B 87 00 01", 5, "MOV EAX, [BX+$0100]"},
    {"67 8B 04 24", 3, "MOV EAX, [SI]"},  // no SIB byte in 16-bit addressing
    {"67 A0 34 12", 4, "MOV AL, [$1234]"},
};
TEST(DisasmDecode, SixteenBitAddressing) {
  for (const TCase& c : kAddress16) Check(c);
}

// --- immediates of every size -----------------------------------------------
const TCase kImmediates[] = {
    {"04 05", 2, "ADD AL, 5"},
    {"05 00 01 00 00", 5, "ADD EAX, $00000100"},
    {"66 05 00 01", 4, "ADD AX, $0100"},
    {"A8 80", 2, "TEST AL, $80"},
    {"B0 41", 2, "MOV AL, $41"},
    {"B7 09", 2, "MOV BH, 9"},
    {"B8 01 00 00 00", 5, "MOV EAX, 1"},
    {"BC 00 00 10 00", 5, "MOV ESP, $00100000"},
    {"66 B8 34 12", 4, "MOV AX, $1234"},
    {"C7 45 F8 10 00 00 00", 7, "MOV DWORD PTR [EBP-8], $00000010"},
    {"C6 00 09", 3, "MOV BYTE PTR [EAX], 9"},
    {"C6 00 0A", 3, "MOV BYTE PTR [EAX], $0A"},
    {"66 C7 00 34 12", 5, "MOV WORD PTR [EAX], $1234"},
    {"80 38 00", 3, "CMP BYTE PTR [EAX], 0"},
    {"80 C1 FF", 3, "ADD CL, $FF"},  // 80h is not sign-extended
    {"82 C1 FF", 3, "ADD CL, -1"},   // 82h is
    {"83 C4 10", 3, "ADD ESP, $10"},
    {"83 C0 FF", 3, "ADD EAX, -1"},
    {"83 E8 F0", 3, "SUB EAX, -$10"},
    {"83 7D 08 09", 4, "CMP DWORD PTR [EBP+8], 9"},
    {"66 83 C0 80", 4, "ADD AX, -$80"},
    {"81 EC 00 01 00 00", 6, "SUB ESP, $00000100"},
    {"81 E1 FF FF FF 7F", 6, "AND ECX, $7FFFFFFF"},
    {"6A 09", 2, "PUSH 9"},
    {"6A 0A", 2, "PUSH $0A"},
    {"6A FF", 2, "PUSH -1"},
    {"6A 80", 2, "PUSH -$80"},
    {"68 00 10 40 00", 5, "PUSH $401000"},
    {"68 00 00 00 80", 5, "PUSH -$80000000"},
    {"68 FE FF FF FF", 5, "PUSH -2"},
    {"66 68 34 12", 4, "PUSH $1234"},
    {"6B C0 0C", 3, "IMUL EAX, EAX, $0C"},
    {"69 C0 00 01 00 00", 6, "IMUL EAX, EAX, $0100"},
    {"69 C9 00 00 01 00", 6, "IMUL ECX, ECX, $010000"},
    {"C2 08 00", 3, "RET 8"},
    {"C2 10 00", 3, "RET $0010"},
    {"C3", 1, "RET"},
    {"CA 04 00", 3, "RETF 4"},
    {"CB", 1, "RETF"},
    {"C8 10 00 01", 4, "ENTER $0010, $01"},
    {"E4 60", 2, "IN AL, $60"},
    {"E5 60", 2, "IN EAX, $60"},
    {"E6 80", 2, "OUT $80, AL"},
    {"66 E7 80", 3, "OUT $80, AX"},
    {"EC", 1, "IN AL, DX"},
    {"ED", 1, "IN EAX, DX"},
    {"EE", 1, "OUT DX, AL"},
    {"66 EF", 2, "OUT DX, AX"},
    {"A1 00 10 40 00", 5, "MOV EAX, [$00401000]"},
    {"A3 00 10 40 00", 5, "MOV [$00401000], EAX"},
    {"A2 78 56 34 12", 5, "MOV [$12345678], AL"},
    {"66 A1 00 10 40 00", 6, "MOV AX, [$00401000]"},
    {"64 A1 18 00 00 00", 6, "MOV EAX, FS:[$00000018]"},
    {"C0 E0 04", 3, "SHL AL, 4"},
    {"C1 F8 1F", 3, "SAR EAX, $1F"},
    {"D1 E0", 2, "SHL EAX, 1"},
    {"D0 00", 2, "ROL BYTE PTR [EAX], 1"},
    {"D3 E8", 2, "SHR EAX, CL"},
    {"D2 C9", 2, "ROR CL, CL"},
    {"F6 C1 01", 3, "TEST CL, 1"},
    {"F6 0D 00 10 40 00 80", 7, "TEST BYTE PTR [$00401000], $80"},  // F6 /1 is TEST too
    {"F7 05 00 10 40 00 01 00 00 00", 10, "TEST DWORD PTR [$00401000], 1"},
    {"66 F7 C1 00 80", 5, "TEST CX, $8000"},
    {"F7 D8", 2, "NEG EAX"},
    {"F7 F1", 2, "DIV ECX"},
    {"F6 2E", 2, "IMUL BYTE PTR [ESI]"},
    {"F7 D0", 2, "NOT EAX"},
    {"FE C0", 2, "INC AL"},
    {"FE 08", 2, "DEC BYTE PTR [EAX]"},
    {"FF 30", 2, "PUSH DWORD PTR [EAX]"},
    {"FF 00", 2, "INC DWORD PTR [EAX]"},
    {"66 FF 00", 3, "INC WORD PTR [EAX]"},
    {"8F 00", 2, "POP DWORD PTR [EAX]"},
};
TEST(DisasmDecode, Immediates) {
  for (const TCase& c : kImmediates) Check(c);
}

// --- calls and jumps ---------------------------------------------------------
const TCase kTransfers[] = {
    {"74 05", 2, "JZ +5", kBranch, kAt + 2 + 5},
    {"75 FE", 2, "JNZ -2", kBranch, kAt},
    {"EB 10", 2, "JMP +$10", kBranch, kAt + 2 + 0x10},
    {"7C F0", 2, "JL -$10", kBranch, kAt + 2 - 0x10},
    {"70 00", 2, "JO 0", kBranch, kAt + 2},
    {"7F 09", 2, "JG +9", kBranch, kAt + 2 + 9},
    {"72 0A", 2, "JB +$0A", kBranch, kAt + 2 + 10},
    {"0F 84 00 01 00 00", 6, "JZ +$0100", kBranch, kAt + 6 + 0x100},
    {"0F 8F FA FF FF FF", 6, "JG -6", kBranch, kAt},
    {"0F 83 00 00 01 00", 6, "JNB +$010000", kBranch, kAt + 6 + 0x10000},
    {"E8 00 00 00 00", 5, "CALL 0", kCall, kAt + 5},
    {"E8 FB FF FF FF", 5, "CALL -5", kCall, kAt},
    {"E8 00 00 00 01", 5, "CALL +$01000000", kCall, kAt + 5 + 0x01000000},
    {"E9 FB FE FF FF", 5, "JMP -$0105", kBranch, kAt + 5 - 0x105},
    {"66 E8 00 01", 4, "CALL +$0100", kCall, kAt + 4 + 0x100},
    {"E3 02", 2, "JECXZ +2", kBranch, kAt + 4},
    {"E2 FE", 2, "LOOP -2", kBranch, kAt},
    {"E0 FE", 2, "LOOPNE -2", kBranch, kAt},
    {"FF D0", 2, "CALL EAX", kCall, 0},
    {"FF E0", 2, "JMP EAX", kBranch, 0},
    {"FF 10", 2, "CALL DWORD PTR [EAX]", kCall, 0},
    {"FF 18", 2, "CALL DWORD PTR [EAX]", kCall, 0},  // far, through memory
    {"FF 28", 2, "JMP DWORD PTR [EAX]", kBranch, 0},
    {"FF 24 85 00 20 40 00", 7, "JMP DWORD PTR [EAX*4+$00402000]", kBranch, 0},
    {"9A 78 56 34 12 08 00", 7, "CALL $0008:$12345678", kCall, 0},
    {"EA 78 56 34 12 1B 00", 7, "JMP $001B:$12345678", kBranch, 0},
    {"66 9A 34 12 08 00", 6, "CALL $0008:$1234", kCall, 0},
    {"C3", 1, "RET", kNone, 0},
};
TEST(DisasmDecode, CallsAndJumps) {
  for (const TCase& c : kTransfers) Check(c);
}

TEST(DisasmDecode, RelativeBranchRecordFields) {
  const auto b = Bytes("0F 85 10 00 00 00");
  const TDisasmInstruction r = Decode(b);
  EXPECT_TRUE(r.IsRelative);
  EXPECT_TRUE(r.SignedImmediate);
  EXPECT_EQ(r.Map, 1);
  EXPECT_EQ(r.OpcodeByte, 0x85);
  EXPECT_EQ(r.OpcodeId, 0x0F85u);
  EXPECT_EQ(r.ImmediateSize, 4);
  EXPECT_EQ(r.Immediate, 0x10u);
  EXPECT_FALSE(r.HasModRM);
}

TEST(DisasmDecode, MemoryFormRecordFields) {
  const auto b = Bytes("3E 8B 84 B3 78 56 34 12");  // MOV EAX, DS:[EBX+ESI*4+$12345678]
  const TDisasmInstruction r = Decode(b);
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.SegmentOverride, 4);
  EXPECT_TRUE(r.HasModRM);
  EXPECT_TRUE(r.HasSib);
  EXPECT_TRUE(r.MemoryForm);
  EXPECT_EQ(r.Mod, 2);
  EXPECT_EQ(r.Reg, 0);
  EXPECT_EQ(r.RM, 3);  // the SIB base
  EXPECT_EQ(r.SibScale, 2);
  EXPECT_EQ(r.SibIndex, 6);
  EXPECT_EQ(r.SibBase, 3);
  EXPECT_EQ(r.ScaleFactor, 4);
  EXPECT_EQ(r.ModRMByte, 0x84);
  EXPECT_EQ(r.DisplacementSize, 4);
  EXPECT_EQ(r.Displacement, 0x12345678);
  EXPECT_EQ(r.OperandSize, 4);
  EXPECT_EQ(Body(r, TBufferMemory(b.data(), b.size(), kAt)), "MOV EAX, DS:[EBX+ESI*4+$12345678]");

  const auto nobase = Bytes("8B 05 00 10 40 00");
  EXPECT_EQ(Decode(nobase).RM, kNoBase);
  const auto noindex = Bytes("8B 44 24 08");
  EXPECT_EQ(Decode(noindex).ScaleFactor, 0);
  const auto prefixed = Bytes("66 8B C0");
  EXPECT_EQ(Decode(prefixed).OperandSize, 2);
  EXPECT_TRUE(Decode(prefixed).OperandSizePrefix);
}

// --- map 0F --------------------------------------------------------------------
const TCase kMap0F[] = {
    {"0F B6 C0", 3, "MOVZX EAX, AL"},
    {"0F B6 45 08", 4, "MOVZX EAX, BYTE PTR [EBP+8]"},
    {"0F BF 06", 3, "MOVSX EAX, WORD PTR [ESI]"},
    {"66 0F B6 C0", 4, "MOVZX AX, AL"},
    {"0F 94 C0", 3, "SETZ AL"},
    {"0F 97 00", 3, "SETA BYTE PTR [EAX]"},
    {"0F 9C C1", 3, "SETL CL"},
    {"0F 45 C1", 3, "CMOVNZ EAX, ECX"},
    {"0F 42 C1", 3, "CMOVB EAX, ECX"},
    {"0F A2", 2, "CPUID"},
    {"0F 31", 2, "RDTSC"},
    {"0F AF C1", 3, "IMUL EAX, ECX"},
    {"0F A3 C8", 3, "BT EAX, ECX"},
    {"0F AB 08", 3, "BTS [EAX], ECX"},
    {"0F A4 C2 04", 4, "SHLD EDX, EAX, 4"},
    {"0F A5 C2", 3, "SHLD EDX, EAX, CL"},
    {"0F AD C2", 3, "SHRD EDX, EAX, CL"},
    {"0F BA E0 03", 4, "BT EAX, 3"},
    {"0F BA 28 1F", 4, "BTS DWORD PTR [EAX], $1F"},
    {"0F BC C1", 3, "BSF EAX, ECX"},
    {"F3 0F BC C1", 4, "TZCNT EAX, ECX"},
    {"F3 0F B8 C1", 4, "POPCNT EAX, ECX"},
    {"0F B1 0A", 3, "CMPXCHG [EDX], ECX"},
    {"0F C1 C8", 3, "XADD EAX, ECX"},
    {"0F C8", 2, "BSWAP EAX"},
    {"0F CF", 2, "BSWAP EDI"},
    {"0F A0", 2, "PUSH FS"},
    {"0F A9", 2, "POP GS"},
    {"0F 20 C0", 3, "MOV EAX, CR0"},
    {"0F 22 D8", 3, "MOV CR3, EAX"},
    {"0F 21 C8", 3, "MOV EAX, DR1"},
    {"0F 23 F8", 3, "MOV DR7, EAX"},
    {"0F 00 C0", 3, "SLDT AX"},
    {"0F 00 18", 3, "LTR WORD PTR [EAX]"},
    {"0F 01 10", 3, "LGDT [EAX]"},
    {"0F 01 E0", 3, "SMSW AX"},
    {"0F 01 38", 3, "INVLPG [EAX]"},
    {"0F 02 C1", 3, "LAR EAX, CX"},
    {"0F B2 00", 3, "LSS EAX, [EAX]"},
    {"0F B4 00", 3, "LFS EAX, [EAX]"},
    {"0F 18 08", 3, "PREFETCHT0 [EAX]"},
    {"0F 18 00", 3, "PREFETCHNTA [EAX]"},
    {"0F 0D 08", 3, "PREFETCHW [EAX]"},
    {"0F 1F 00", 3, "NOP DWORD PTR [EAX]"},
    {"0F 1F 44 00 00", 5, "NOP DWORD PTR [EAX+EAX]"},
    {"66 0F 1F 44 00 00", 6, "NOP WORD PTR [EAX+EAX]"},
    {"0F 1F 80 00 00 00 00", 7, "NOP DWORD PTR [EAX]"},
    {"0F 06", 2, "CLTS"},
    {"0F 34", 2, "SYSENTER"},
    {"0F 37", 2, "GETSEC"},
    {"0F C7 0E", 3, "CMPXCHG8B QWORD PTR [ESI]"},
    {"0F AE 00", 3, "FXSAVE [EAX]"},
    {"0F AE 18", 3, "STMXCSR [EAX]"},
    {"0F AE 38", 3, "CLFLUSH [EAX]"},
    {"0F AE E8", 3, "LFENCE"},
    {"0F AE F0", 3, "MFENCE"},
    {"0F AE F8", 3, "SFENCE"},
    {"0F C3 00", 3, "MOVNTI [EAX], EAX"},
    {"0F 77", 2, "EMMS"},
    {"0F 0E", 2, "FEMMS"},
};
TEST(DisasmDecode, Map0F) {
  for (const TCase& c : kMap0F) Check(c);
}

// --- SSE forms chosen by the mandatory prefix ----------------------------------
const TCase kSse[] = {
    {"0F 28 C1", 3, "MOVAPS XMM0, XMM1"},
    {"66 0F 28 C1", 4, "MOVAPD XMM0, XMM1"},
    {"0F 29 45 E0", 4, "MOVAPS [EBP-$20], XMM0"},
    {"0F 10 C1", 3, "MOVUPS XMM0, XMM1"},
    {"F3 0F 10 45 08", 5, "MOVSS XMM0, [EBP+8]"},
    {"F2 0F 11 00", 4, "MOVSD [EAX], XMM0"},
    {"0F 58 C1", 3, "ADDPS XMM0, XMM1"},
    {"66 0F 58 C1", 4, "ADDPD XMM0, XMM1"},
    {"F2 0F 58 C1", 4, "ADDSD XMM0, XMM1"},
    {"F3 0F 58 C1", 4, "ADDSS XMM0, XMM1"},
    {"F3 0F 5E C1", 4, "DIVSS XMM0, XMM1"},
    {"0F 57 C0", 3, "XORPS XMM0, XMM0"},
    {"66 0F 54 C1", 4, "ANDPD XMM0, XMM1"},
    {"0F 2E C1", 3, "UCOMISS XMM0, XMM1"},
    {"66 0F 2F C1", 4, "COMISD XMM0, XMM1"},
    {"F3 0F 52 C1", 4, "RSQRTSS XMM0, XMM1"},
    {"0F 50 C1", 3, "MOVMSKPS EAX, XMM1"},
    {"66 0F 50 C1", 4, "MOVMSKPD EAX, XMM1"},
    {"F3 0F 2A C0", 4, "CVTSI2SS XMM0, EAX"},
    {"F2 0F 2A 00", 4, "CVTSI2SD XMM0, [EAX]"},
    {"0F 2A C1", 3, "CVTPI2PS XMM0, MM1"},
    {"66 0F 2A C1", 4, "CVTPI2PD XMM0, MM1"},
    {"F2 0F 2C C0", 4, "CVTTSD2SI EAX, XMM0"},
    {"F3 0F 2D C1", 4, "CVTSS2SI EAX, XMM1"},
    {"0F 2D C1", 3, "CVTPS2PI MM0, XMM1"},
    {"0F 5A C1", 3, "CVTPS2PD XMM0, XMM1"},
    {"F3 0F 5A C1", 4, "CVTSS2SD XMM0, XMM1"},
    {"F3 0F 5B C1", 4, "CVTTPS2DQ XMM0, XMM1"},
    {"F3 0F E6 C1", 4, "CVTDQ2PD XMM0, XMM1"},
    {"66 0F E6 C1", 4, "CVTTPD2DQ XMM0, XMM1"},
    {"F2 0F E6 C1", 4, "CVTPD2DQ XMM0, XMM1"},
    {"0F 12 C1", 3, "MOVHLPS XMM0, XMM1"},
    {"0F 12 00", 3, "MOVLPS XMM0, [EAX]"},
    {"66 0F 12 00", 4, "MOVLPD XMM0, [EAX]"},
    {"F2 0F 12 C1", 4, "MOVDDUP XMM0, XMM1"},
    {"F3 0F 12 C1", 4, "MOVSLDUP XMM0, XMM1"},
    {"0F 16 C1", 3, "MOVLHPS XMM0, XMM1"},
    {"0F 16 00", 3, "MOVHPS XMM0, [EAX]"},
    {"F3 0F 16 C1", 4, "MOVSHDUP XMM0, XMM1"},
    {"0F 17 00", 3, "MOVHPS [EAX], XMM0"},
    {"0F C2 C1 01", 4, "CMPPS XMM0, XMM1, 1"},
    {"F2 0F C2 C1 01", 5, "CMPSD XMM0, XMM1, 1"},
    {"66 0F C6 C1 1B", 5, "SHUFPD XMM0, XMM1, $1B"},
    {"0F EF C0", 3, "PXOR MM0, MM0"},
    {"66 0F EF C0", 4, "PXOR XMM0, XMM0"},
    {"66 0F FE 45 00", 5, "PADDD XMM0, [EBP]"},
    {"0F 6E C0", 3, "MOVD MM0, EAX"},
    {"66 0F 6E C0", 4, "MOVD XMM0, EAX"},
    {"0F 7E C0", 3, "MOVD EAX, MM0"},
    {"66 0F 7E C0", 4, "MOVD EAX, XMM0"},
    {"F3 0F 7E C1", 4, "MOVQ XMM0, XMM1"},
    {"0F 6F C1", 3, "MOVQ MM0, MM1"},
    {"66 0F 6F C1", 4, "MOVDQA XMM0, XMM1"},
    {"F3 0F 6F 00", 4, "MOVDQU XMM0, [EAX]"},
    {"F3 0F 7F 00", 4, "MOVDQU [EAX], XMM0"},
    {"0F 7F 08", 3, "MOVQ [EAX], MM1"},
    {"66 0F D6 C1", 4, "MOVQ XMM1, XMM0"},
    {"F2 0F D6 C1", 4, "MOVDQ2Q MM0, XMM1"},
    {"F3 0F D6 C1", 4, "MOVQ2DQ XMM0, MM1"},
    {"0F 70 C1 1B", 4, "PSHUFW MM0, MM1, $1B"},
    {"66 0F 70 C1 1B", 5, "PSHUFD XMM0, XMM1, $1B"},
    {"F2 0F 70 C1 1B", 5, "PSHUFLW XMM0, XMM1, $1B"},
    {"F3 0F 70 C1 1B", 5, "PSHUFHW XMM0, XMM1, $1B"},
    {"0F 71 D0 04", 4, "PSRLW MM0, 4"},
    {"66 0F 72 E1 04", 5, "PSRAD XMM1, 4"},
    {"66 0F 73 D8 08", 5, "PSRLDQ XMM0, 8"},
    {"66 0F 73 F8 08", 5, "PSLLDQ XMM0, 8"},
    {"0F C5 C1 02", 4, "PEXTRW EAX, MM1, 2"},
    {"66 0F C5 C1 02", 5, "PEXTRW EAX, XMM1, 2"},
    {"0F C4 C1 02", 4, "PINSRW MM0, ECX, 2"},
    {"66 0F D7 C1", 4, "PMOVMSKB EAX, XMM1"},
    {"0F E7 00", 3, "MOVNTQ [EAX], MM0"},
    {"66 0F E7 00", 4, "MOVNTDQ [EAX], XMM0"},
    {"0F F7 C1", 3, "MASKMOVQ MM0, MM1"},
    {"66 0F F7 C1", 4, "MASKMOVDQU XMM0, XMM1"},
    {"66 0F 6C C1", 4, "PUNPCKLQDQ XMM0, XMM1"},
    {"66 0F 7C C1", 4, "HADDPD XMM0, XMM1"},
    {"F2 0F 7C C1", 4, "HADDPS XMM0, XMM1"},
    {"66 0F D0 C1", 4, "ADDSUBPD XMM0, XMM1"},
    {"F2 0F F0 00", 4, "LDDQU XMM0, [EAX]"},
    {"0F 2B 00", 3, "MOVNTPS [EAX], XMM0"},
    // 3DNow!: the mnemonic comes from the byte after the operands
    {"0F 0F C1 9E", 4, "PFADD MM0, MM1"},
    {"0F 0F 00 B4", 4, "PFMUL MM0, [EAX]"},
    {"0F 0F CA 0D", 4, "PI2FD MM1, MM2"},
    {"0F 0F C1 BF", 4, "PAVGUSB MM0, MM1"},
};
TEST(DisasmDecode, SseFormsFollowThePrefix) {
  for (const TCase& c : kSse) Check(c);
}

// --- maps 0F 38 and 0F 3A --------------------------------------------------------
const TCase kThreeByteMaps[] = {
    {"0F 38 00 C1", 4, "PSHUFB MM0, MM1"},
    {"66 0F 38 00 C1", 5, "PSHUFB XMM0, XMM1"},
    {"66 0F 38 1E C1", 5, "PABSD XMM0, XMM1"},
    {"66 0F 38 10 C1", 5, "PBLENDVB XMM0, XMM1, XMM0"},
    {"66 0F 38 15 C1", 5, "BLENDVPD XMM0, XMM1, XMM0"},
    {"66 0F 38 17 C1", 5, "PTEST XMM0, XMM1"},
    {"66 0F 38 20 C1", 5, "PMOVSXBW XMM0, XMM1"},
    {"66 0F 38 35 C1", 5, "PMOVZXDQ XMM0, XMM1"},
    {"66 0F 38 2A 00", 5, "MOVNTDQA XMM0, [EAX]"},
    {"66 0F 38 40 C1", 5, "PMULLD XMM0, XMM1"},
    {"66 0F 38 41 C1", 5, "PHMINPOSUW XMM0, XMM1"},
    {"66 0F 38 80 00", 5, "INVEPT EAX, [EAX]"},
    {"0F 38 F0 00", 4, "MOVBE EAX, [EAX]"},
    {"0F 38 F1 00", 4, "MOVBE [EAX], EAX"},
    {"66 0F 38 F1 08", 5, "MOVBE [EAX], CX"},
    {"F2 0F 38 F0 C1", 5, "CRC32 EAX, CL"},
    {"F2 0F 38 F0 00", 5, "CRC32 EAX, BYTE PTR [EAX]"},
    {"F2 0F 38 F1 C1", 5, "CRC32 EAX, ECX"},
    {"66 F2 0F 38 F1 C1", 6, "CRC32 EAX, CX"},
    {"0F 3A 0F C1 04", 5, "PALIGNR MM0, MM1, 4"},
    {"66 0F 3A 0F C1 04", 6, "PALIGNR XMM0, XMM1, 4"},
    {"66 0F 3A 0B C1 04", 6, "ROUNDSD XMM0, XMM1, 4"},
    {"66 0F 3A 16 C0 01", 6, "PEXTRD EAX, XMM0, 1"},
    {"66 0F 3A 14 00 01", 6, "PEXTRB [EAX], XMM0, 1"},
    {"66 0F 3A 20 C1 02", 6, "PINSRB XMM0, ECX, 2"},
    {"66 0F 3A 21 C1 10", 6, "INSERTPS XMM0, XMM1, $10"},
    {"66 0F 3A 63 C1 0C", 6, "PCMPISTRI XMM0, XMM1, $0C"},
};
TEST(DisasmDecode, ThreeByteMaps) {
  for (const TCase& c : kThreeByteMaps) Check(c);
}

TEST(DisasmDecode, OpcodeIdPerMap) {
  EXPECT_EQ(Decode(Bytes("90")).OpcodeId, 0x90u);
  EXPECT_EQ(Decode(Bytes("0F A2")).OpcodeId, 0x0FA2u);
  EXPECT_EQ(Decode(Bytes("66 0F 38 00 C1")).OpcodeId, 0x0F3800u);
  EXPECT_EQ(Decode(Bytes("66 0F 3A 0F C1 04")).OpcodeId, 0x0F3A0Fu);
  EXPECT_EQ(Decode(Bytes("66 0F 3A 0F C1 04")).Map, 3);
  EXPECT_EQ(Decode(Bytes("66 0F 38 00 C1")).Map, 2);
}

// --- x87 -------------------------------------------------------------------------
const TCase kX87[] = {
    {"D9 E8", 2, "FLD1"},
    {"D9 EE", 2, "FLDZ"},
    {"D9 C1", 2, "FLD ST1"},
    {"D9 C9", 2, "FXCH ST1"},
    {"D9 D0", 2, "FNOP"},
    {"D9 E0", 2, "FCHS"},
    {"D9 E1", 2, "FABS"},
    {"D9 E4", 2, "FTST"},
    {"D9 E5", 2, "FXAM"},
    {"D9 F0", 2, "F2XM1"},
    {"D9 FA", 2, "FSQRT"},
    {"D9 FF", 2, "FCOS"},
    {"D8 C1", 2, "FADD ST0, ST1"},
    {"D8 D1", 2, "FCOM ST1"},
    {"D8 F9", 2, "FDIVR ST0, ST1"},
    {"DC C1", 2, "FADD ST1, ST0"},
    {"DC E9", 2, "FSUB ST1, ST0"},
    {"DC E1", 2, "FSUBR ST1, ST0"},
    {"DE C1", 2, "FADDP ST1, ST0"},
    {"DE E9", 2, "FSUBP ST1, ST0"},
    {"DE F9", 2, "FDIVP ST1, ST0"},
    {"DE D9", 2, "FCOMPP"},
    {"DA E9", 2, "FUCOMPP"},
    {"DA C1", 2, "FCMOVB ST0, ST1"},
    {"DB E2", 2, "FNCLEX"},
    {"DB E3", 2, "FNINIT"},
    {"DB E9", 2, "FUCOMI ST0, ST1"},
    {"DF F1", 2, "FCOMIP ST0, ST1"},
    {"DF E0", 2, "FNSTSW  AX"},
    {"DD D9", 2, "FSTP ST1"},
    {"DD C1", 2, "FFREE ST1"},
    {"DD E1", 2, "FUCOM ST1"},
    {"D9 45 08", 3, "FLD DWORD PTR [EBP+8]"},
    {"DD 45 08", 3, "FLD QWORD PTR [EBP+8]"},
    {"DD 5D F8", 3, "FSTP QWORD PTR [EBP-8]"},
    {"DB 2D 00 10 40 00", 6, "FLD TBYTE PTR [$00401000]"},
    {"DB 3C 24", 3, "FSTP TBYTE PTR [ESP]"},
    {"DF 6D F0", 3, "FILD QWORD PTR [EBP-$10]"},
    {"DF 38", 2, "FISTP QWORD PTR [EAX]"},
    {"DE 00", 2, "FIADD WORD PTR [EAX]"},
    {"DA 00", 2, "FIADD DWORD PTR [EAX]"},
    {"DB 08", 2, "FISTTP DWORD PTR [EAX]"},
    {"DD 08", 2, "FISTTP QWORD PTR [EAX]"},
    {"D9 7D FE", 3, "FNSTCW WORD PTR [EBP-2]"},
    {"D9 6D FE", 3, "FLDCW WORD PTR [EBP-2]"},
    {"DD 7D FE", 3, "FNSTSW WORD PTR [EBP-2]"},
    {"D9 30", 2, "FNSTENV [EAX]"},
    {"DD 30", 2, "FNSAVE [EAX]"},
    {"DD 20", 2, "FRSTOR [EAX]"},
    {"DF 20", 2, "FBLD TBYTE PTR [EAX]"},
    {"D8 0D 00 10 40 00", 6, "FMUL DWORD PTR [$00401000]"},
};
TEST(DisasmDecode, X87) {
  for (const TCase& c : kX87) Check(c);
}

// --- validity rules ----------------------------------------------------------------
const TCase kValidity[] = {
    // prefixes
    {"66 66 90", 0, ""},   // the same prefix twice
    {"F3 F3 A4", 0, ""},
    {"2E 2E 8B 00", 0, ""},
    {"F0 90", 0, ""},      // LOCK before an opcode that cannot be locked
    {"F0 8B 00", 0, ""},
    {"F0 FF 00", 0, ""},   // not on the lockable list
    {"F0 01 01", 3, "LOCK ADD [ECX], EAX"},
    {"F0 87 01", 3, "LOCK XCHG [ECX], EAX"},
    {"F0 01 C1", 3, "LOCK ADD ECX, EAX"},  // the destination form is not tested
    {"F0 0F C1 01", 4, "LOCK XADD [ECX], EAX"},
    {"F0 0F C7 0E", 4, "LOCK CMPXCHG8B QWORD PTR [ESI]"},
    {"F0 0F BA 28 01", 5, "LOCK BTS DWORD PTR [EAX], 1"},
    {"F0 F2 01 01", 0, ""},  // at most one of F0h, F2h, F3h
    {"F2 F3 90", 0, ""},
    {"2E 3E 90", 3, "NOP"},  // two different segment prefixes are allowed
    {"F2 F3 FF 10", 4, "REPNE REP CALL DWORD PTR [EAX]", kCall, 0},  // FFh has its own form rules
    // forms of the one-byte map
    {"62 C0", 0, ""},
    {"8D C0", 0, ""},
    {"C4 C0", 0, ""},
    {"C5 C0", 0, ""},
    {"8C F0", 0, ""},
    {"8E 38", 0, ""},
    {"D9 D1", 0, ""},
    {"D9 E2", 0, ""},
    {"D9 E7", 0, ""},
    {"D9 EF", 0, ""},
    {"D9 08", 0, ""},
    {"DA E8", 0, ""},
    {"DA EA", 0, ""},
    {"DB E5", 0, ""},
    {"DB E7", 0, ""},
    {"DF E1", 0, ""},
    {"DF E7", 0, ""},
    {"FE 10", 0, ""},
    {"FF 38", 0, ""},
    {"FF F8", 0, ""},
    {"FF D8", 0, ""},  // far call needs memory
    {"FF E8", 0, ""},  // far jump needs memory
    {"D6", 0, ""},
    {"F1", 0, ""},
    // forms of map 0F
    {"0F 00 30", 0, ""},
    {"0F 01 28", 0, ""},
    {"0F 01 C8", 0, ""},
    {"0F 01 D8", 0, ""},
    {"0F 0D C0", 0, ""},
    {"0F 0D 10", 0, ""},
    {"0F 18 C8", 0, ""},
    {"0F 18 20", 0, ""},
    {"0F 20 00", 0, ""},
    {"0F 23 00", 0, ""},
    {"0F 6C C1", 0, ""},
    {"0F 71 C0 04", 0, ""},
    {"0F 71 10 04", 0, ""},
    {"0F 72 D8 04", 0, ""},
    {"0F 73 E0 04", 0, ""},
    {"0F 7C C1", 0, ""},
    {"F3 0F 7C C1", 0, ""},
    {"0F D0 C1", 0, ""},
    {"0F AE 20", 0, ""},
    {"0F AE 28", 0, ""},
    {"0F AE C0", 0, ""},
    {"0F AE E0", 0, ""},
    {"0F B2 C0", 0, ""},
    {"0F C3 C0", 0, ""},
    {"0F C7 C8", 0, ""},
    {"0F BA C0 03", 0, ""},
    {"0F BA 18 03", 0, ""},
    {"0F D6 C1", 0, ""},
    {"0F E6 C1", 0, ""},
    {"0F F0 00", 0, ""},
    {"66 0F F0 00", 0, ""},
    {"F2 F3 0F 58 C1", 0, ""},  // map 0F: at most one of F0h, F2h, F3h
    {"0F 0B", 0, ""},           // UD2
    {"0F 0F", 0, ""},           // cut short
    // maps 0F 38 / 0F 3A
    {"0F 38 10 C1", 0, ""},
    {"0F 38 17 C1", 0, ""},
    {"0F 38 41 C1", 0, ""},
    {"0F 3A 08 C1 00", 0, ""},
    {"0F 3A 63 C1 0C", 0, ""},
    {"F2 F3 0F 38 F0 00", 0, ""},
    {"0F 38 FF C1", 0, ""},
    {"0F 3A FF C1 00", 0, ""},
};
TEST(DisasmDecode, ValidityRules) {
  for (const TCase& c : kValidity) Check(c);
}

// Every cut of a valid instruction is invalid: a decode never reads past
// what is readable and never reports a length it could not read.
TEST(DisasmDecode, TruncatedInstructionsAreInvalid) {
  const char* const kSamples[] = {"8B 84 B3 78 56 34 12", "C7 45 F8 10 00 00 00", "66 0F 3A 0F C1 04",
                                  "9A 78 56 34 12 08 00", "E8 00 00 00 00",        "DB 2D 00 10 40 00",
                                  "C8 10 00 01",          "67 8B 06 34 12",        "A1 00 10 40 00"};
  for (const char* s : kSamples) {
    const auto full = Bytes(s);
    for (std::size_t cut = 1; cut < full.size(); ++cut) {
      SCOPED_TRACE(std::string(s) + " cut at " + std::to_string(cut));
      const std::vector<std::uint8_t> part(full.begin(), full.begin() + static_cast<long>(cut));
      const TDisasmInstruction r = Decode(part);
      EXPECT_FALSE(r.Valid);
      EXPECT_TRUE(r.Readable);
      EXPECT_EQ(r.End, kAt + 1);
      EXPECT_EQ(r.OpcodeId, full[0]);
    }
  }
}

TEST(DisasmDecode, InvalidRecordIsZeroedExceptItsFrame) {
  const auto b = Bytes("66 66 0F 58 C1");
  const TDisasmInstruction r = Decode(b);
  EXPECT_FALSE(r.Valid);
  EXPECT_TRUE(r.Readable);
  EXPECT_EQ(r.OperandSize, 4);
  EXPECT_FALSE(r.OperandSizePrefix);
  EXPECT_EQ(r.Attributes, 0);
  EXPECT_EQ(r.Map, 0);
  EXPECT_EQ(r.OpcodeId, 0x66u);
  EXPECT_FALSE(r.HasModRM);
}

TEST(DisasmDecode, UnreadableFirstByteGivesAnUnreadableRecord) {
  const auto b = Bytes("90");
  TBufferMemory m(b.data(), b.size(), kAt);
  const TDisasmInstruction r = DecodeInstruction(m, kAt + 0x100, true);
  EXPECT_FALSE(r.Readable);
  EXPECT_FALSE(r.Valid);
  EXPECT_EQ(r.Start, kAt + 0x100);
  EXPECT_EQ(r.End, kAt + 0x101);
  EXPECT_EQ(r.OperandSize, 4);
  const TDisasmInstruction nil = DecodeInstruction(m, 0, true);
  EXPECT_FALSE(nil.Readable);
}

TEST(DisasmDecode, CodeMaskDecidesReadabilityUnlessAnyPageIsAccepted) {
  testing::TFakeProcess p;
  p.Add(0x00500000, Bytes("FF 15 00 00 60 00"), kPageReadWrite);  // data page
  p.Add(0x00600000, Bytes("00 10 40 00"), kPageReadOnly);
  EXPECT_FALSE(DecodeInstruction(p, 0x00500000, false).Readable);
  const TDisasmInstruction any = DecodeInstruction(p, 0x00500000, true);
  EXPECT_TRUE(any.Valid);
  EXPECT_TRUE(any.IsCall);
  EXPECT_EQ(any.Target, 0u) << "the pointer is read only when code is asked for";
}

TEST(DisasmDecode, IndirectCallThroughPointerGetsItsContents) {
  testing::TFakeProcess p;
  p.AddCode(0x00401000, "FF 15 00 20 40 00 FF 25 04 20 40 00 FF 15 00 00 70 00 FF 14 85 00 20 40 00");
  p.Add(0x00402000, Bytes("78 56 34 12 21 43 65 87"), kPageReadOnly);
  EXPECT_EQ(DecodeInstruction(p, 0x00401000, false).Target, 0x12345678u);
  const TDisasmInstruction jmp = DecodeInstruction(p, 0x00401006, false);
  EXPECT_TRUE(jmp.IsBranch);
  EXPECT_EQ(jmp.Target, 0x87654321u);
  const TDisasmInstruction unreadable = DecodeInstruction(p, 0x0040100C, false);
  EXPECT_TRUE(unreadable.Valid);
  EXPECT_EQ(unreadable.Target, 0u);
  const TDisasmInstruction indexed = DecodeInstruction(p, 0x00401012, false);
  EXPECT_TRUE(indexed.IsCall);
  EXPECT_EQ(indexed.Target, 0u) << "an index register makes the slot unknown";
}

TEST(DisasmDecode, InstructionLength) {
  testing::TFakeProcess p;
  p.AddCode(0x00401000, "8B 84 B3 78 56 34 12 66 66 90");
  std::uint32_t length = 0;
  EXPECT_TRUE(InstructionLength(p, 0x00401000, length));
  EXPECT_EQ(length, 7u);
  EXPECT_FALSE(InstructionLength(p, 0x00401007, length));
  EXPECT_FALSE(InstructionLength(p, 0x00900000, length));
}

}  // namespace
}  // namespace zelvic::disasm
