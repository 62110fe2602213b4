// The text line: address, bytes, mnemonic and operands, the comment built
// from the naming hooks, and the forms for invalid and unreadable code.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "EDisAsm.h"
#include "disasm_fake_memory.h"

namespace zelvic::disasm {
namespace {

using testing::Bytes;
using testing::TFakeProcess;

// Installs namers that answer from a map and restores the previous hooks,
// which the chaining rule requires of every installer.
class TNamers {
 public:
  TNamers() {
    prev_code_ = SetCodeAddressNamer({&Answer, &code_});
    prev_data_ = SetDataAddressDescriber({&Answer, &data_});
  }
  ~TNamers() {
    SetCodeAddressNamer(prev_code_);
    SetDataAddressDescriber(prev_data_);
  }
  std::map<std::uint32_t, std::string> code_, data_;

 private:
  static std::size_t Answer(void* context, std::uint32_t address, char* out, std::size_t capacity) {
    const auto& names = *static_cast<std::map<std::uint32_t, std::string>*>(context);
    const auto it = names.find(address);
    if (it == names.end()) return 0;
    const std::size_t n = std::min(capacity, it->second.size());
    std::memcpy(out, it->second.data(), n);
    return n;
  }
  TAddressNamer prev_code_, prev_data_;
};

std::string Line(const TMemoryAccess& m, std::uint32_t at) { return FormatInstruction(DecodeInstruction(m, at), m); }

TEST(DisasmFormat, AddressBytesAndText) {
  TFakeProcess p;
  p.AddCode(0x00401000, "55 8B EC 83 EC 08 C7 45 F8 10 00 00 00 66 66 90");
  EXPECT_EQ(Line(p, 0x00401000), "00401000  55 PUSH EBP");
  EXPECT_EQ(Line(p, 0x00401001), "00401001  8BEC MOV EBP, ESP");
  EXPECT_EQ(Line(p, 0x00401003), "00401003  83EC08 SUB ESP, 8");
  EXPECT_EQ(Line(p, 0x00401006), "00401006  C745F810000000 MOV DWORD PTR [EBP-8], $00000010");
  EXPECT_EQ(Line(p, 0x0040100D), "0040100D  66 DB $66 ; ???? unknown/invalid instruction");
}

TEST(DisasmFormat, RelativeBranchAnnotatesTheTarget) {
  TFakeProcess p;
  p.AddCode(0x00401000, "E8 FB FF FF FF 74 05 EB F9");
  EXPECT_EQ(Line(p, 0x00401000), "00401000  E8FBFFFFFF CALL -5 ; ($00401000)");
  EXPECT_EQ(Line(p, 0x00401005), "00401005  7405 JZ +5 ; ($0040100C)");
  TNamers names;
  names.code_[0x00401000] = "Unit1.TForm1.Button1Click";
  EXPECT_EQ(Line(p, 0x00401000), "00401000  E8FBFFFFFF CALL -5 ; ($00401000) Unit1.TForm1.Button1Click");
  EXPECT_EQ(Line(p, 0x00401007), "00401007  EBF9 JMP -7 ; ($00401002)");
}

TEST(DisasmFormat, MemoryOperandNamesThePointerStoredThere) {
  TFakeProcess p;
  p.AddCode(0x00401000, "FF 15 00 20 40 00 A1 04 20 40 00 68 00 30 40 00 8B 05 08 20 40 00");
  p.Add(0x00402000, Bytes("00 50 40 00 00 30 40 00 44 33 22 11"), kPageReadOnly);
  p.Add(0x00403000, Bytes("48 65 6C 6C 6F 00"), kPageReadOnly);
  p.Add(0x00405000, Bytes("C3"), kPageExecuteRead);
  // Without names there is no comment at all.
  EXPECT_EQ(Line(p, 0x00401000), "00401000  FF1500204000 CALL DWORD PTR [$00402000]");
  TNamers names;
  names.code_[0x00405000] = "kernel32.Sleep";
  names.data_[0x00403000] = "'Hello'";
  EXPECT_EQ(Line(p, 0x00401000), "00401000  FF1500204000 CALL DWORD PTR [$00402000] ; ($00402000->00405000) kernel32.Sleep");
  // A memory offset: the pointer stored at the offset is described.
  EXPECT_EQ(Line(p, 0x00401006), "00401006  A104204000 MOV EAX, [$00402004] ; 'Hello'");
  // An immediate address: its own text (no pointer is stored there).
  names.code_[0x00403000] = "Unit1.SHello";
  EXPECT_EQ(Line(p, 0x0040100B), "0040100B  6800304000 PUSH $403000 ; ($00403000) Unit1.SHello");
  // Nothing known about the address or its contents.
  EXPECT_EQ(Line(p, 0x00401010), "00401010  8B0508204000 MOV EAX, [$00402008]");
}

TEST(DisasmFormat, HooksChainToThePreviousValue) {
  TNamers outer;
  outer.code_[0x00401000] = "Outer.Name";
  static std::map<std::uint32_t, std::string> inner_names{{0x00402000, "Inner.Name"}};
  static TAddressNamer previous;
  previous = SetCodeAddressNamer({[](void*, std::uint32_t address, char* out, std::size_t capacity) -> std::size_t {
                                    const auto it = inner_names.find(address);
                                    if (it == inner_names.end()) return CallNamer(previous, address, out, capacity);
                                    std::memcpy(out, it->second.data(), it->second.size());
                                    return it->second.size();
                                  },
                                  nullptr});
  char buf[64];
  const TAddressNamer current = SetCodeAddressNamer(previous);  // read the installed hook back
  SetCodeAddressNamer(current);
  EXPECT_EQ(std::string(buf, CallNamer(current, 0x00402000, buf, sizeof buf)), "Inner.Name");
  EXPECT_EQ(std::string(buf, CallNamer(current, 0x00401000, buf, sizeof buf)), "Outer.Name");
  EXPECT_EQ(CallNamer(current, 0x00403000, buf, sizeof buf), 0u);
  EXPECT_EQ(SetCodeAddressNamer(previous).Fn, current.Fn);
}

TEST(DisasmFormat, UnreadableAndInvalidForms) {
  TFakeProcess p;
  p.AddCode(0x00401000, "0F 0B");  // followed by unmapped memory
  p.AddCode(0x00402000, "0F");
  p.AddCode(0x00403000, "0F 0F C1 FF");
  EXPECT_EQ(Line(p, 0x00401000), "00401000  0F DB $0F ; ???? unknown/invalid instruction");
  EXPECT_EQ(Line(p, 0x00402000), "00402000  0F DB $0F ; ???? unknown/invalid instruction");
  EXPECT_EQ(Line(p, 0x00500000), "00500000  ?? ; unaccessible location");
  // Valid, but the 3DNow! table has no mnemonic for FFh.
  EXPECT_EQ(Line(p, 0x00403000), "00403000  0F0FC1FF DB $0F ; ???? unknown/invalid instruction");
}

TEST(DisasmFormat, ValidRecordWhoseBytesCannotBeReadShowsQuestionMarks) {
  const auto b = Bytes("8B 45 F8");
  TBufferMemory m(b.data(), b.size(), 0x00401000);
  TDisasmInstruction r = DecodeInstruction(m, 0x00401000);
  ASSERT_TRUE(r.Valid);
  const auto other = Bytes("90");
  TBufferMemory elsewhere(other.data(), other.size(), 0x00600000);
  EXPECT_EQ(FormatInstruction(r, elsewhere), "00401000  ?????? MOV EAX, [EBP-8]");
  r.OpcodeId = 0x0F0F;  // a record with no template
  r.Map = 1;
  r.OpcodeByte = 0x0F;
  r.Immediate = 0xFF;
  EXPECT_EQ(FormatInstruction(r, elsewhere), "00401000  ?????? ; unaccessible location");
}

TEST(DisasmFormat, PrefixWords) {
  TFakeProcess p;
  p.AddCode(0x00401000, "F0 0F B1 0A F3 A4 F2 AE F3 0F 58 C1 F3 90");
  EXPECT_EQ(Line(p, 0x00401000), "00401000  F00FB10A LOCK CMPXCHG [EDX], ECX");
  EXPECT_EQ(Line(p, 0x00401004), "00401004  F3A4 REP MOVSB");
  EXPECT_EQ(Line(p, 0x00401006), "00401006  F2AE REPNE SCASB");
  // F3h in map 0F selects the scalar form and is no prefix word.
  EXPECT_EQ(Line(p, 0x00401008), "00401008  F30F58C1 ADDSS XMM0, XMM1");
  EXPECT_EQ(Line(p, 0x0040100C), "0040100C  F390 PAUSE");
}

TEST(DisasmFormat, HexDigitCounts) {
  struct TRow {
    const char* bytes;
    const char* text;
  };
  // displacement digits follow its size; sign-extended immediates the value;
  // other immediates the immediate's size.
  const TRow rows[] = {
      {"8B 45 F0", "MOV EAX, [EBP-$10]"},
      {"8B 85 F0 FF FF FF", "MOV EAX, [EBP-$00000010]"},
      {"67 8B 86 F0 FF", "MOV EAX, [BP-$0010]"},
      {"67 8B 06 0A 00", "MOV EAX, [$000A]"},
      {"67 8B 06 09 00", "MOV EAX, [9]"},
      {"6A F7", "PUSH -9"},
      {"6A F6", "PUSH -$0A"},
      {"68 FF FF 00 00", "PUSH $FFFF"},
      {"68 00 00 FF 00", "PUSH $FF0000"},
      {"68 00 00 00 01", "PUSH $01000000"},
      {"68 00 FF FF FF", "PUSH -$0100"},
      {"B8 0A 00 00 00", "MOV EAX, $0000000A"},
      {"66 B8 0A 00", "MOV AX, $000A"},
      {"CD 03", "INT 3"},
      {"CD 0A", "INT $0A"},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.bytes);
    const auto b = Bytes(r.bytes);
    TBufferMemory m(b.data(), b.size(), 0x00401000);
    char buf[kMaxLineLength];
    FormatMnemonicAndOperands(DecodeInstruction(m, 0x00401000), &m, buf, sizeof buf);
    EXPECT_STREQ(buf, r.text);
  }
}

TEST(DisasmFormat, OutputIsCutAtTheCapacity) {
  const auto b = Bytes("C7 45 F8 10 00 00 00");
  TBufferMemory m(b.data(), b.size(), 0x00401000);
  const TDisasmInstruction r = DecodeInstruction(m, 0x00401000);
  char small[12];
  std::memset(small, 'x', sizeof small);
  FormatInstruction(r, m, small, sizeof small);
  EXPECT_STREQ(small, "00401000  C");
  char none[1] = {'x'};
  FormatInstruction(r, m, none, sizeof none);
  EXPECT_EQ(none[0], '\0');
}

}  // namespace
}  // namespace zelvic::disasm
