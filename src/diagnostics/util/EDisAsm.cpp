#include "EDisAsm.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "EDisAsmTables.h"

namespace zelvic::disasm {

using namespace tables;

// ===========================================================================
// Decoder

namespace {

// Prefix byte -> its slot (1..11), 0 for a byte that is not a prefix.
// Slots 1..6 are the segment overrides in SegmentOverride numbering.
enum : std::uint8_t { kPfx66 = 7, kPfx67 = 8, kPfxF0 = 9, kPfxF2 = 10, kPfxF3 = 11 };
constexpr std::array<std::uint8_t, 256> kPrefixSlot = [] {
  std::array<std::uint8_t, 256> t{};
  t[0x26] = 1;
  t[0x2E] = 2;
  t[0x36] = 3;
  t[0x3E] = 4;
  t[0x64] = 5;
  t[0x65] = 6;
  t[0x66] = kPfx66;
  t[0x67] = kPfx67;
  t[0xF0] = kPfxF0;
  t[0xF2] = kPfxF2;
  t[0xF3] = kPfxF3;
  return t;
}();

// One-byte opcodes whose immediate is not given by the attribute word.
enum : std::uint8_t { kSpecialNone = 0, kSpecialFarPointer, kSpecialMemoryOffset, kSpecialEnter };
constexpr std::array<std::uint8_t, 256> kSpecialImmediate = [] {
  std::array<std::uint8_t, 256> t{};
  t[0x9A] = kSpecialFarPointer;
  t[0xEA] = kSpecialFarPointer;
  t[0xA0] = t[0xA1] = t[0xA2] = t[0xA3] = kSpecialMemoryOffset;
  t[0xC8] = kSpecialEnter;
  return t;
}();

// One-byte opcodes with a sign-extended immediate besides the relative branches.
constexpr bool IsSignedImmediateOpcode(std::uint8_t op) noexcept {
  return (op >= 0x68 && op <= 0x6B) || op == 0x82 || op == 0x83;
}

// Row of kGroupAttributes for a one-byte opcode, -1 when it has none.
constexpr int GroupRow(std::uint8_t op) noexcept {
  if (op == 0xF6) return 0;
  if (op == 0xF7) return 1;
  if (op >= 0xD8 && op <= 0xDF) return 2 + (op - 0xD8);
  return -1;
}

// 0 none, 1 66h, 2 F2h, 3 F3h: which mandatory prefix selects an SSE form.
// F2h and F3h win over 66h because 66h may also be an operand-size prefix.
inline int MandatoryPrefix(const TDisasmInstruction& r) noexcept {
  if (r.RepnePrefix) return 2;
  if (r.RepPrefix) return 3;
  if (r.OperandSizePrefix) return 1;
  return 0;
}

void MakeInvalid(TDisasmInstruction& r, std::uint32_t address, std::uint8_t first_byte) noexcept {
  r = TDisasmInstruction{};
  r.Start = address;
  r.OperandSize = 4;
  r.End = address + 1;
  r.Readable = true;
  r.OpcodeId = first_byte;
}

inline std::uint32_t LoadLE(const std::uint8_t* p, unsigned size) noexcept {
  std::uint32_t v = 0;
  for (unsigned k = 0; k < size && k < 4; ++k) v |= std::uint32_t{p[k]} << (8 * k);
  return v;
}

inline std::int32_t SignExtend(std::uint32_t v, unsigned size) noexcept {
  if (size == 1) return static_cast<std::int8_t>(v);
  if (size == 2) return static_cast<std::int16_t>(v);
  return static_cast<std::int32_t>(v);
}

}  // namespace

void DecodeBytes(const std::uint8_t* p, std::size_t n, std::uint32_t address, TDisasmInstruction& r,
                 const TMemoryAccess* pointers) noexcept {
  r = TDisasmInstruction{};
  r.Start = address;
  r.OperandSize = 4;
  r.End = address + 1;
  if (n == 0) return;
  r.Readable = true;
  // A valid instruction is at most 24 bytes (11 distinct prefixes, 3 opcode
  // bytes, ModR/M, SIB, displacement, immediate); past the buffer everything
  // is unreadable, which the checks below treat as a fault.
  std::size_t i = 0;

  // Prefixes
  std::uint16_t seen = 0;
  for (;;) {
    if (i >= n) return MakeInvalid(r, address, p[0]);
    const std::uint8_t slot = kPrefixSlot[p[i]];
    if (slot == 0) break;
    if (seen & (1u << slot)) return MakeInvalid(r, address, p[0]);
    seen = static_cast<std::uint16_t>(seen | (1u << slot));
    if (slot <= 6) {
      r.SegmentOverride = slot;
    } else if (slot == kPfx66) {
      r.OperandSizePrefix = true;
      r.OperandSize = 2;
    } else if (slot == kPfx67) {
      r.AddressSizePrefix = true;
    } else if (slot == kPfxF0) {
      r.LockPrefix = true;
    } else if (slot == kPfxF2) {
      r.RepnePrefix = true;
    } else {
      r.RepPrefix = true;
    }
    ++i;
  }

  // Opcode
  std::uint8_t op = p[i++];
  std::uint8_t map = 0;
  if (op == 0x0F) {
    if (i >= n) return MakeInvalid(r, address, p[0]);
    op = p[i++];
    map = 1;
    if (op == 0x38 || op == 0x3A) {
      map = op == 0x38 ? 2 : 3;
      if (i >= n) return MakeInvalid(r, address, p[0]);
      op = p[i++];
    }
  }
  static constexpr std::uint32_t kMapBase[4] = {0, 0x0F00, 0x0F3800, 0x0F3A00};
  r.Map = map;
  r.OpcodeByte = op;
  r.OpcodeId = kMapBase[map] + op;
  std::uint16_t a = kAttributes[map][op];
  if (a == kInvalidAttributes) return MakeInvalid(r, address, p[0]);
  r.HasModRM = (a & attr::kModRMBits) != 0;

  // ModR/M, SIB, displacement
  if (r.HasModRM) {
    if (i >= n) return MakeInvalid(r, address, p[0]);
    const std::uint8_t m = p[i++];
    r.ModRMByte = m;
    r.Mod = m >> 6;
    r.Reg = (m >> 3) & 7;
    r.RM = m & 7;
    r.MemoryForm = r.Mod != 3;
    if (map == 0) {
      const int row = GroupRow(op);
      if (row >= 0) {
        a = kGroupAttributes[row][r.MemoryForm ? 0 : 1][r.Reg];
        if (a == kInvalidAttributes) return MakeInvalid(r, address, p[0]);
      }
    }
    if (r.MemoryForm) {
      if (r.Mod == 1) r.DisplacementSize = 1;
      if (r.Mod == 2) r.DisplacementSize = r.AddressSizePrefix ? 2 : 4;
      if (r.AddressSizePrefix) {
        // 16-bit forms: BX+SI, BX+DI, BP+SI, BP+DI, SI, DI, BP (disp16 alone with mod 0), BX.
        static constexpr std::uint8_t kBase16[8] = {3, 3, 5, 5, 6, 7, 5, 3};
        const std::uint8_t rm = r.RM;
        if (rm < 4) {
          r.SibIndex = (rm & 1) ? 7 : 6;
          r.ScaleFactor = 1;
        }
        r.RM = kBase16[rm];
        if (r.Mod == 0 && rm == 6) {
          r.RM = kNoBase;
          r.DisplacementSize = 2;
        }
      } else {
        if (r.RM == 4) {
          if (i >= n) return MakeInvalid(r, address, p[0]);
          const std::uint8_t s = p[i++];
          r.HasSib = true;
          r.SibScale = s >> 6;
          r.SibIndex = (s >> 3) & 7;
          r.SibBase = s & 7;
          r.RM = r.SibBase;
          if (r.SibIndex != 4) r.ScaleFactor = static_cast<std::uint8_t>(1u << r.SibScale);
        }
        if (r.Mod == 0 && r.RM == 5) {
          r.RM = kNoBase;
          r.DisplacementSize = 4;
        }
      }
      if (r.DisplacementSize != 0) {
        if (i + r.DisplacementSize > n) return MakeInvalid(r, address, p[0]);
        r.Displacement = SignExtend(LoadLE(p + i, r.DisplacementSize), r.DisplacementSize);
        i += r.DisplacementSize;
      }
    }
  }

  // Immediate
  if (a & attr::kImmByte) {
    r.ImmediateSize = 1;
  } else if (a & attr::kImmWord) {
    r.ImmediateSize = 2;
  } else if (a & attr::kImmOperand) {
    r.ImmediateSize = r.OperandSize;
  } else if (map == 0) {
    switch (kSpecialImmediate[op]) {
      case kSpecialFarPointer: r.ImmediateSize = static_cast<std::uint8_t>(r.OperandSize + 2); break;
      case kSpecialMemoryOffset: r.ImmediateSize = r.AddressSizePrefix ? 2 : 4; break;
      case kSpecialEnter: r.ImmediateSize = 3; break;
      default: break;
    }
  }
  if (r.ImmediateSize != 0) {
    if (i + r.ImmediateSize > n) return MakeInvalid(r, address, p[0]);
    r.Immediate = LoadLE(p + i, r.ImmediateSize);
    i += r.ImmediateSize;
  }

  // Validity
  const TFormRule& rule = kFormRules[kFormRuleIndex[map][op]];
  if (r.HasModRM) {
    const std::uint8_t allowed = r.MemoryForm ? rule.MemoryRegs : rule.RegisterRegs;
    if (((allowed >> r.Reg) & 1) == 0) return MakeInvalid(r, address, p[0]);
    if (!r.MemoryForm && ((rule.InvalidRegisterForms >> (r.ModRMByte - 0xC0)) & 1))
      return MakeInvalid(r, address, p[0]);
  }
  if (rule.NeedPrefix != 0) {
    const unsigned present = (r.OperandSizePrefix ? 1u : 0u) | (r.RepnePrefix ? 2u : 0u) | (r.RepPrefix ? 4u : 0u);
    if ((present & rule.NeedPrefix) == 0) return MakeInvalid(r, address, p[0]);
  }
  if (r.LockPrefix && !rule.Lockable) return MakeInvalid(r, address, p[0]);
  if (!rule.Exempt && int{r.LockPrefix} + int{r.RepnePrefix} + int{r.RepPrefix} > 1)
    return MakeInvalid(r, address, p[0]);

  r.Valid = true;
  r.End = address + static_cast<std::uint32_t>(i);

  if ((a & attr::kRelative) || (map == 0 && IsSignedImmediateOpcode(op))) {
    r.SignedImmediate = true;
    r.Immediate = static_cast<std::uint32_t>(SignExtend(r.Immediate, r.ImmediateSize));
  }

  // Control transfer
  if (a & attr::kRelative) {
    r.IsRelative = true;
    r.Target = r.End + r.Immediate;
    if (map == 0 && op == 0xE8)
      r.IsCall = true;
    else
      r.IsBranch = true;
  } else if (map == 0) {
    if (op == 0xFF && r.Reg >= 2 && r.Reg <= 5) {
      if (r.Reg <= 3)
        r.IsCall = true;
      else
        r.IsBranch = true;
      if (pointers != nullptr && r.RM == kNoBase && r.ScaleFactor == 0 && r.DisplacementSize == 4) {
        const auto slot = static_cast<std::uint32_t>(r.Displacement);
        std::uint8_t v[4];
        if (pointers->CanRead(slot, 4, 0) == 4 && pointers->Read(slot, v, 4) == 4) r.Target = LoadLE(v, 4);
      }
    } else if (op == 0x9A) {
      r.IsCall = true;
    } else if (op == 0xEA) {
      r.IsBranch = true;
    }
  }

  // Prefixed SSE forms
  if (map != 0) {
    const int mp = MandatoryPrefix(r);
    for (const TAttributeOverride& o : kAttributeOverrides) {
      if (o.OpcodeId == r.OpcodeId) {
        if (o.Words[mp] != kInvalidAttributes) a = o.Words[mp];
        break;
      }
    }
    if (rule.Xmm66 && mp == 1) {
      if ((a & attr::kOperandKindMask) == 5) a = static_cast<std::uint16_t>((a & ~attr::kOperandKindMask) | 7);
      if ((a & attr::kRmSizeMask) == (4 << 3)) a = static_cast<std::uint16_t>((a & ~attr::kRmSizeMask) | (6 << 3));
    }
    // The fences are register forms without an operand; CLFLUSH takes a byte.
    if (r.OpcodeId == 0x0FAE && r.Reg > 4)
      a = static_cast<std::uint16_t>((a & ~attr::kRmSizeMask) | (r.MemoryForm ? (1 << 3) : 0));
  }
  r.Attributes = a;
}

TDisasmInstruction DecodeInstruction(const TMemoryAccess& memory, std::uint32_t address,
                                     bool any_readable_page) noexcept {
  TDisasmInstruction r{};
  r.Start = address;
  r.OperandSize = 4;
  r.End = address + 1;
  if (address == 0 || memory.CanRead(address, 1, any_readable_page ? 0 : kCodeMask) == 0) return r;
  std::uint8_t buf[32];
  const std::uint32_t room = 0xFFFFFFFFu - address + 1u;  // bytes up to the top of the address space
  const std::uint32_t want = room == 0 || room > sizeof buf ? std::uint32_t{sizeof buf} : room;
  const std::uint32_t got = memory.Read(address, buf, want);
  if (got == 0) {
    r.Readable = true;  // readable by the test, yet the read faulted
    return r;
  }
  DecodeBytes(buf, got, address, r, any_readable_page ? nullptr : &memory);
  return r;
}

bool InstructionLength(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t& length) noexcept {
  const TDisasmInstruction r = DecodeInstruction(memory, address, false);
  length = 0;
  if (!r.Valid || r.End <= r.Start) return false;
  length = r.End - r.Start;
  return length >= 1 && length <= 255;
}

namespace {
inline bool QualifiesAsCallSite(const TDisasmInstruction& r, std::uint32_t return_address) noexcept {
  return r.Valid && r.End == return_address && (r.IsCall || r.IsBranch);
}

// Opcodes (per map) that the decoder can mark as a call or a jump: the
// relative branches, FF (its /2 to /5 forms) and the far call and jump. Read
// from the decoder's own attribute table, so the two cannot disagree.
struct TTransferOpcodes {
  std::array<std::array<bool, 256>, 4> Maps{};
  TTransferOpcodes() noexcept {
    for (int map = 0; map < 4; ++map) {
      for (int op = 0; op < 256; ++op) {
        const std::uint16_t a = kAttributes[map][op];
        Maps[map][op] = a != kInvalidAttributes && (a & attr::kRelative) != 0;
      }
    }
    Maps[0][0xFF] = Maps[0][0x9A] = Maps[0][0xEA] = true;
  }
};

// False when the bytes cannot decode to a call or jump: most of the places a
// call-site search tries fail here, without a decode. The prefix and opcode
// rules are the decoder's: bytes that run out before the opcode decode as
// invalid.
bool MayDecodeAsTransfer(const std::uint8_t* p, std::size_t n) noexcept {
  static const TTransferOpcodes transfers;
  std::size_t i = 0;
  while (i < n && kPrefixSlot[p[i]] != 0) ++i;
  if (i >= n) return false;
  // FF is a call or jump only in its /2 to /5 forms: a backward call's
  // displacement (FF FF ..) is not one.
  if (p[i] == 0xFF) return i + 1 < n && ((p[i + 1] >> 3) & 7) >= 2 && ((p[i + 1] >> 3) & 7) <= 5;
  if (p[i] != 0x0F) return transfers.Maps[0][p[i]];
  if (i + 1 >= n) return false;
  const std::uint8_t second = p[i + 1];
  if (second != 0x38 && second != 0x3A) return transfers.Maps[1][second];
  if (i + 2 >= n) return false;
  return transfers.Maps[second == 0x38 ? 2 : 3][p[i + 2]];
}
}  // namespace

namespace {

// The bytes a call that ends at a return address can start in, decoded as
// slices of one read when they are all code. An instruction that would run
// past the return address cannot end there, so cutting the bytes at the
// return address changes no answer.
class TCallWindow {
 public:
  static constexpr std::uint32_t kWindow = 15;

  TCallWindow(const TMemoryAccess& memory, std::uint32_t return_address) noexcept
      : memory_(memory), return_address_(return_address), low_(return_address - kWindow) {
    whole_ = memory.CanRead(low_, kWindow, kCodeMask) == kWindow && memory.Read(low_, window_, kWindow) == kWindow;
  }
  std::uint32_t Low() const noexcept { return low_; }
  bool CallEndsHereFrom(std::uint32_t at) noexcept {
    if (whole_) {
      const std::uint8_t* bytes = window_ + (at - low_);
      if (!MayDecodeAsTransfer(bytes, return_address_ - at)) return false;
      DecodeBytes(bytes, return_address_ - at, at, r_, nullptr);
    } else {
      r_ = DecodeInstruction(memory_, at, false);
    }
    return QualifiesAsCallSite(r_, return_address_);
  }
  // The longest call below `p` that ends at the return address, else `p`.
  std::uint32_t LongestFrom(std::uint32_t p) noexcept {
    for (std::uint32_t q = p; q > low_;) {
      --q;
      if (CallEndsHereFrom(q)) return q;
    }
    return p;
  }

 private:
  const TMemoryAccess& memory_;
  std::uint32_t return_address_;
  std::uint32_t low_;
  std::uint8_t window_[kWindow];
  bool whole_ = false;
  TDisasmInstruction r_;
};

}  // namespace

std::uint32_t FindCallBefore(const TMemoryAccess& memory, std::uint32_t return_address, bool prefer_longest) noexcept {
  if (return_address <= TCallWindow::kWindow) return return_address;
  TCallWindow window(memory, return_address);
  std::uint32_t p = return_address - 2;
  for (;; --p) {
    if (window.CallEndsHereFrom(p)) break;
    if (p == window.Low()) return return_address;
  }
  return prefer_longest ? window.LongestFrom(p) : p;
}

std::uint32_t FindLongestCallBefore(const TMemoryAccess& memory, std::uint32_t return_address,
                                    std::uint32_t shortest) noexcept {
  if (return_address <= TCallWindow::kWindow || shortest >= return_address ||
      return_address - shortest > TCallWindow::kWindow) {
    return FindCallBefore(memory, return_address, true);
  }
  TCallWindow window(memory, return_address);
  return window.LongestFrom(shortest);
}

std::uint32_t FollowJumpThunk(const TMemoryAccess& memory, std::uint32_t x) noexcept {
  // The longest thunk's bytes, read once where they all lie in code; a
  // shorter thunk at the very end of code needs only its own length. The
  // test answers for the whole range or nothing.
  std::uint8_t b[6];
  std::uint32_t n = 0;
  for (const std::uint32_t length : {6u, 5u, 2u}) {
    if (memory.CanRead(x, length, kCodeMask) == length) {
      n = memory.Read(x, b, length) == length ? length : 0;
      break;
    }
  }
  std::uint32_t dest = 0;
  bool found = false;
  if (n >= 2 && b[0] == 0xEB) {
    dest = x + 2 + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(b[1])));
    found = true;
  } else if (n >= 5 && b[0] == 0xE9) {
    dest = x + 5 + LoadLE(b + 1, 4);
    found = true;
  } else if (n >= 6 && b[0] == 0xFF && b[1] == 0x25) {
    const std::uint32_t slot = LoadLE(b + 2, 4);
    std::uint8_t v[4];
    if (memory.CanRead(slot, 4, 0) == 4 && memory.Read(slot, v, 4) == 4) {
      dest = LoadLE(v, 4);
      found = true;
    }
  }
  if (found && memory.CanRead(dest, 1, kCodeMask) == 1) return dest;
  return x;
}

std::uint32_t GetCallTarget(const TMemoryAccess& memory, std::uint32_t address) noexcept {
  const TDisasmInstruction r = DecodeInstruction(memory, address, false);
  if (!r.Valid || !(r.IsCall || r.IsBranch) || r.Target == 0) return 0;
  const std::uint32_t t = FollowJumpThunk(memory, r.Target);
  return memory.CanRead(t, 1, kCodeMask) == 1 ? t : 0;
}

std::uint32_t InstructionsSpan(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t count) noexcept {
  if (count == 0) return 0;
  const std::uint64_t last = std::uint64_t{address} + count - 1;
  std::uint64_t s = address;
  while (s <= last) {
    const TDisasmInstruction r = DecodeInstruction(memory, static_cast<std::uint32_t>(s), false);
    if (!r.Valid || r.End <= s) break;
    s = r.End;
    // A hook copies code up to a return at most: the bytes after it may be data.
    if (r.Map == 0) {
      const std::uint8_t op = r.OpcodeByte;
      if (op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF) break;
    }
  }
  return static_cast<std::uint32_t>(s - address);
}

// ===========================================================================
// Text form

namespace {

TAddressNamer g_code_namer;
TAddressNamer g_data_describer;

// Register names, class * 8 + number.
constexpr const char* kRegisterNames[11][8] = {
    {"AL", "CL", "DL", "BL", "AH", "CH", "DH", "BH"},
    {"AX", "CX", "DX", "BX", "SP", "BP", "SI", "DI"},
    {"EAX", "ECX", "EDX", "EBX", "ESP", "EBP", "ESI", "EDI"},
    {"ES", "CS", "SS", "DS", "FS", "GS", "", ""},
    {"CR0", "CR1", "CR2", "CR3", "CR4", "CR5", "CR6", "CR7"},
    {"DR0", "DR1", "DR2", "DR3", "DR4", "DR5", "DR6", "DR7"},
    {"ST0", "ST1", "ST2", "ST3", "ST4", "ST5", "ST6", "ST7"},
    {"MM0", "MM1", "MM2", "MM3", "MM4", "MM5", "MM6", "MM7"},
    {"XMM0", "XMM1", "XMM2", "XMM3", "XMM4", "XMM5", "XMM6", "XMM7"},
    {"YMM0", "YMM1", "YMM2", "YMM3", "YMM4", "YMM5", "YMM6", "YMM7"},
    {"ZMM0", "ZMM1", "ZMM2", "ZMM3", "ZMM4", "ZMM5", "ZMM6", "ZMM7"},
};
enum : int { kR8, kR16, kR32, kSeg, kCR, kDR, kST, kMM, kXMM, kYMM, kZMM };

constexpr const char* kConditions[16] = {"O", "NO", "B", "NB", "Z", "NZ", "BE", "A",
                                         "S", "NS", "P", "NP", "L", "GE", "LE", "G"};
constexpr const char* kSizeKeywords[8] = {"", "BYTE", "WORD", "DWORD", "QWORD", "TBYTE", "OWORD", "YWORD"};
// r/m size class -> register class of a register form.
constexpr int kRmRegisterClass[8] = {kR32, kR8, kR16, kR32, kMM, kST, kXMM, kYMM};

// Bounded text builder; silently cuts at the capacity (one byte kept for the NUL).
class TLine {
 public:
  TLine(char* out, std::size_t capacity) noexcept : out_(out), cap_(capacity) {}
  void Put(char c) noexcept {
    if (len_ + 1 < cap_) out_[len_++] = c;
  }
  void Put(const char* s) noexcept {
    while (*s) Put(*s++);
  }
  void Put(const char* s, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) Put(s[k]);
  }
  void Hex(std::uint32_t v, int digits) noexcept {
    if (digits == 0) digits = v > 0xFFFFFF ? 8 : (v & 0xFF0000) ? 6 : (v & 0xFF00) ? 4 : 2;
    for (int k = digits - 1; k >= 0; --k) Put(kHexDigits[(v >> (4 * k)) & 0xF]);
  }
  void Dec(std::uint32_t v) noexcept {
    char tmp[10];
    int k = 0;
    do {
      tmp[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k > 0) Put(tmp[--k]);
  }
  std::size_t size() const noexcept { return len_; }
  char* data() noexcept { return out_; }
  void Truncate(std::size_t n) noexcept { len_ = std::min(len_, n); }
  std::size_t Finish() noexcept {
    if (cap_ != 0) out_[std::min(len_, cap_ - 1)] = '\0';
    return len_;
  }
  bool Contains(const char* needle) const noexcept {
    const std::size_t m = std::strlen(needle);
    for (std::size_t k = 0; k + m <= len_; ++k)
      if (std::memcmp(out_ + k, needle, m) == 0) return true;
    return false;
  }

 private:
  char* out_;
  std::size_t cap_;
  std::size_t len_ = 0;
};

struct TSpan {
  const char* p = nullptr;
  std::size_t n = 0;
};

// Alternative number `index` of `s` split at `sep`; empty when there is none.
TSpan Alternative(TSpan s, char sep, unsigned index) noexcept {
  std::size_t start = 0;
  unsigned k = 0;
  for (std::size_t j = 0; j <= s.n; ++j) {
    if (j == s.n || s.p[j] == sep) {
      if (k == index) return {s.p + start, j - start};
      ++k;
      start = j + 1;
    }
  }
  return {s.p, 0};
}

unsigned CountOf(TSpan s, char c) noexcept {
  unsigned k = 0;
  for (std::size_t j = 0; j < s.n; ++j) k += s.p[j] == c;
  return k;
}

bool HasChar(TSpan s, char c) noexcept { return CountOf(s, c) != 0; }

// The mnemonic text of a valid record, markers still unexpanded; empty when
// the opcode has none. `prefix_consumed` tells that F2h/F3h picked an
// alternative, so they are no REPNE/REP prefix words.
TSpan ChooseMnemonic(const TDisasmInstruction& r, bool& prefix_consumed) noexcept {
  prefix_consumed = false;
  if (r.OpcodeId == 0x0F0F) {
    for (const T3DNowRow& row : k3DNow)
      if (row.Suffix == static_cast<std::uint8_t>(r.Immediate)) return {row.Mnemonic, std::strlen(row.Mnemonic)};
    return {};
  }
  const std::uint16_t idx = kTemplateIndex[r.Map][r.OpcodeByte];
  if (idx == kNoTemplate) return {};
  TSpan s{kTemplates[idx], std::strlen(kTemplates[idx])};
  const unsigned bars = CountOf(s, '|');
  if (bars != 0) {
    // x87 templates hold 8 memory-form and 8 register-form alternatives.
    unsigned pick = r.Reg;
    if (bars >= 8 && !r.MemoryForm) pick += 8;
    s = Alternative(s, '|', pick);
  }
  if (HasChar(s, '/')) {
    const int mp = MandatoryPrefix(r);
    const TSpan chosen = Alternative(s, '/', static_cast<unsigned>(mp));
    if (chosen.n != 0) {
      prefix_consumed = mp >= 2;
      s = chosen;
    } else {
      s = Alternative(s, '/', 0);
    }
  }
  if (HasChar(s, ':')) s = Alternative(s, ':', r.MemoryForm ? 1 : 0);
  if (!r.MemoryForm && HasChar(s, '-')) s = Alternative(s, '-', r.RM);
  return s;
}

void PutMnemonic(TLine& line, const TDisasmInstruction& r, TSpan s) noexcept {
  if (r.Map == 0 && r.OpcodeByte >= 0xD8 && r.OpcodeByte <= 0xDF) line.Put('F');
  const bool pd = r.OperandSizePrefix || r.RepnePrefix;
  const bool scalar = r.RepnePrefix || r.RepPrefix;
  for (std::size_t j = 0; j < s.n; ++j) {
    const char c = s.p[j];
    if (c == '%' && j + 2 < s.n) {
      if (s.p[j + 1] == 'C' && s.p[j + 2] == 'S') {
        line.Put(kConditions[r.OpcodeByte & 0xF]);
        j += 2;
        continue;
      }
      if (s.p[j + 1] == 'R' && s.p[j + 2] == 'N') {
        line.Put(kRegisterNames[kSeg][(r.OpcodeByte >> 3) & 7]);
        j += 2;
        continue;
      }
    }
    switch (c) {
      case 's': line.Put(pd ? 'D' : 'S'); break;
      case 'p': line.Put(scalar ? 'S' : 'P'); break;
      case 'q': line.Put((r.Attributes & attr::kRmSizeMask) == (4 << 3) ? 'Q' : 'D'); break;
      default: line.Put(c); break;
    }
  }
}

void PutSignedHex(TLine& line, std::int32_t v, int digits, bool plus_sign) noexcept {
  if (v < 0) {
    line.Put("-$");
    line.Hex(0u - static_cast<std::uint32_t>(v), digits);
  } else {
    line.Put(plus_sign ? "+$" : "$");
    line.Hex(static_cast<std::uint32_t>(v), digits);
  }
}

void PutMemory(TLine& line, const TDisasmInstruction& r, std::uint16_t a) noexcept {
  if (a & attr::kSizeKeyword) {
    int cls = (a >> 3) & 7;
    if (cls == 3 && (a & attr::kNarrowRm) && r.OperandSizePrefix) cls = 2;
    line.Put(kSizeKeywords[cls]);
    line.Put(" PTR ");
  }
  if (r.SegmentOverride != 0) {
    line.Put(kRegisterNames[kSeg][r.SegmentOverride - 1]);
    line.Put(':');
  }
  const int addr_class = r.AddressSizePrefix ? kR16 : kR32;
  const std::size_t open = line.size();
  line.Put('[');
  bool inside = false;
  if (r.RM != kNoBase) {
    line.Put(kRegisterNames[addr_class][r.RM & 7]);
    inside = true;
  }
  if (r.ScaleFactor != 0) {
    line.Put('+');
    line.Put(kRegisterNames[addr_class][r.SibIndex & 7]);
    if (r.ScaleFactor > 1) {
      line.Put('*');
      line.Put(static_cast<char>('0' + r.ScaleFactor));
    }
    inside = true;
  }
  if (r.DisplacementSize != 0) {
    const int digits = 2 * r.DisplacementSize;
    const std::int32_t d = r.Displacement;
    if (inside) {
      if (d >= 1 && d <= 9) {
        line.Put('+');
        line.Dec(static_cast<std::uint32_t>(d));
      } else if (d > 9) {
        line.Put("+$");
        line.Hex(static_cast<std::uint32_t>(d), digits);
      } else if (d <= -1 && d >= -9) {
        line.Put('-');
        line.Dec(static_cast<std::uint32_t>(-d));
      } else if (d < -9) {
        line.Put("-$");
        line.Hex(0u - static_cast<std::uint32_t>(d), digits);
      }
    } else {
      std::uint32_t u = static_cast<std::uint32_t>(d);
      if (r.DisplacementSize < 4) u &= (1u << (8 * r.DisplacementSize)) - 1;
      if (u > 9) {
        line.Put('$');
        line.Hex(u, digits);
      } else {
        line.Dec(u);
      }
    }
  }
  line.Put(']');
  // An index without a base leaves "[+"; the plus is dropped.
  char* text = line.data();
  if (line.size() > open + 1 && text[open + 1] == '+') {
    std::memmove(text + open + 1, text + open + 2, line.size() - open - 2);
    line.Truncate(line.size() - 1);
  }
}

void PutRmOperand(TLine& line, const TDisasmInstruction& r, std::uint16_t a) noexcept {
  if (r.MemoryForm) return PutMemory(line, r, a);
  const int cls = (a >> 3) & 7;
  int reg_class = kRmRegisterClass[cls];
  if (cls == 3 && (a & attr::kNarrowRm) && r.OperandSizePrefix) reg_class = kR16;
  line.Put(kRegisterNames[reg_class][r.RM & 7]);
}

// Register operand `which` (0, or 1 for the second register of the kinds
// without ModR/M that name two) from bits 0-2 of the attribute word.
void PutRegOperand(TLine& line, const TDisasmInstruction& r, std::uint16_t a, int which) noexcept {
  const int kind = a & attr::kOperandKindMask;
  const bool narrow = (a & attr::kNarrowReg) && r.OperandSizePrefix;
  const int wide = narrow ? kR16 : kR32;
  if (r.HasModRM) {
    const std::uint8_t reg = r.Reg;
    switch (kind) {
      case 1: line.Put(kRegisterNames[kR8][reg]); break;
      case 2: line.Put(kRegisterNames[kR16][reg]); break;
      case 3: {
        const int cls = r.Map == 0 ? kSeg : ((r.OpcodeByte & 1) ? kDR : kCR);
        line.Put(kRegisterNames[cls][reg]);
        break;
      }
      case 4: line.Put(kRegisterNames[wide][reg]); break;
      case 5: line.Put(kRegisterNames[kMM][reg]); break;
      case 6: line.Put(kRegisterNames[kST][0]); break;
      default: line.Put(kRegisterNames[kXMM][reg]); break;
    }
    return;
  }
  const std::uint8_t low = r.OpcodeByte & 7;
  switch (kind) {
    case 1: line.Put("AL"); break;
    case 2: line.Put(kRegisterNames[wide][0]); break;
    case 4: line.Put(kRegisterNames[kR8][low]); break;
    case 5: line.Put(kRegisterNames[wide][low]); break;
    case 6: line.Put(kRegisterNames[wide][which == 0 ? 0 : low]); break;
    case 7:
      if (which == 1)
        line.Put("DX");
      else
        line.Put((r.OpcodeByte & 1) ? kRegisterNames[wide][0] : "AL");
      break;
    default: break;
  }
}

// Kinds 6 and 7 without ModR/M name two registers.
inline int RegOperandCount(const TDisasmInstruction& r, std::uint16_t a) noexcept {
  const int kind = a & attr::kOperandKindMask;
  if (kind == 0) return 0;
  return !r.HasModRM && kind >= 6 ? 2 : 1;
}

void PutImmediate(TLine& line, const TDisasmInstruction& r, std::uint16_t a) noexcept {
  const std::uint8_t op = r.OpcodeByte;
  if (r.Map == 0 && kSpecialImmediate[op] != kSpecialNone && !(a & (attr::kImmByte | attr::kImmWord | attr::kImmOperand))) {
    switch (kSpecialImmediate[op]) {
      case kSpecialMemoryOffset:
        if (r.SegmentOverride != 0) {
          line.Put(kRegisterNames[kSeg][r.SegmentOverride - 1]);
          line.Put(':');
        }
        line.Put("[$");
        line.Hex(r.Immediate, 2 * r.ImmediateSize);
        line.Put(']');
        return;
      case kSpecialEnter:
        line.Put('$');
        line.Hex(r.Immediate & 0xFFFF, 4);
        line.Put(", $");
        line.Hex((r.Immediate >> 16) & 0xFF, 2);
        return;
      default: break;  // far pointer: written by the caller, which has the bytes
    }
  }
  if (r.SignedImmediate) {
    const auto v = static_cast<std::int32_t>(r.Immediate);
    if (v >= -9 && v <= 9) {
      if (v < 0) {
        line.Put('-');
        line.Dec(static_cast<std::uint32_t>(-v));
      } else {
        if (r.IsRelative && v > 0) line.Put('+');
        line.Dec(static_cast<std::uint32_t>(v));
      }
    } else {
      PutSignedHex(line, v, 0, r.IsRelative);
    }
    return;
  }
  if (r.Immediate <= 9) {
    line.Dec(r.Immediate);
  } else {
    line.Put('$');
    line.Hex(r.Immediate, 2 * r.ImmediateSize);
  }
}

// Writes the mnemonic and the operands; false when the record has no template.
bool PutBody(TLine& line, const TDisasmInstruction& r, const TMemoryAccess* memory) noexcept {
  bool consumed = false;
  const TSpan mnemonic = ChooseMnemonic(r, consumed);
  if (mnemonic.n == 0) return false;
  if (r.LockPrefix) line.Put("LOCK ");
  if (r.Map == 0 && !consumed) {
    if (r.RepnePrefix) line.Put("REPNE ");
    if (r.RepPrefix) line.Put("REP ");
  }
  PutMnemonic(line, r, mnemonic);

  const std::uint16_t a = r.Attributes;
  // Up to three operands, rendered into small buffers so that the first two
  // can change places.
  char buf[3][96];
  std::size_t len[3] = {0, 0, 0};
  int count = 0;
  auto operand = [&](auto&& write) {
    TLine o(buf[count], sizeof buf[count]);
    write(o);
    len[count] = o.size();
    ++count;
  };
  for (int k = 0; k < RegOperandCount(r, a); ++k) operand([&](TLine& o) { PutRegOperand(o, r, a, k); });
  if (r.HasModRM && (a & attr::kRmSizeMask) != 0) operand([&](TLine& o) { PutRmOperand(o, r, a); });
  const bool is_3dnow = r.OpcodeId == 0x0F0F;
  if (r.ImmediateSize != 0 && !is_3dnow) {
    operand([&](TLine& o) {
      if (r.Map == 0 && kSpecialImmediate[r.OpcodeByte] == kSpecialFarPointer) {
        std::uint32_t segment = r.Immediate >> 16;
        std::uint32_t offset = r.Immediate & 0xFFFF;
        if (r.ImmediateSize == 6) {
          offset = r.Immediate;
          std::uint8_t b[2] = {0, 0};
          if (memory != nullptr) memory->Read(r.End - 2, b, 2);
          segment = b[0] | (std::uint32_t{b[1]} << 8);
        }
        o.Put('$');
        o.Hex(segment, 4);
        o.Put(":$");
        o.Hex(offset, r.ImmediateSize == 6 ? 8 : 4);
      } else {
        PutImmediate(o, r, a);
      }
    });
  }
  if ((a & attr::kReversed) && count >= 2) {
    char tmp[96];
    std::memcpy(tmp, buf[0], len[0]);
    std::memcpy(buf[0], buf[1], len[1]);
    std::memcpy(buf[1], tmp, len[0]);
    std::swap(len[0], len[1]);
  }
  for (int k = 0; k < count; ++k) {
    line.Put(k == 0 ? " " : ", ");
    line.Put(buf[k], len[k]);
  }
  if (r.Map == 0) {
    if (r.OpcodeByte == 0xD0 || r.OpcodeByte == 0xD1) line.Put(", 1");
    if (r.OpcodeByte == 0xD2 || r.OpcodeByte == 0xD3) line.Put(", CL");
  } else if (r.OpcodeId == 0x0FA5 || r.OpcodeId == 0x0FAD) {
    line.Put(", CL");
  } else if (r.OpcodeId == 0x0F3810 || r.OpcodeId == 0x0F3814 || r.OpcodeId == 0x0F3815) {
    line.Put(", XMM0");
  }
  return true;
}

bool ReadPointer(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t& value) noexcept {
  std::uint8_t v[4];
  if (memory.CanRead(address, 4, 0) != 4 || memory.Read(address, v, 4) != 4) return false;
  value = LoadLE(v, 4);
  return true;
}

// "($A) name" or "($A->P) name"; nothing when the namer knows no name.
// With `no_name_too` the bare "($A)" stands in for a missing name.
void PutCodeName(TLine& comment, const TMemoryAccess& memory, std::uint32_t a, bool through_pointer,
                 bool no_name_too) noexcept {
  std::uint32_t p = a;
  if (through_pointer) ReadPointer(memory, a, p);
  char name[256];
  const std::size_t n = CallNamer(g_code_namer, p, name, sizeof name);
  if (n == 0 && !no_name_too) return;
  comment.Put(" ($");
  comment.Hex(a, 8);
  if (p != a && n != 0) {
    comment.Put("->");
    comment.Hex(p, 8);
  }
  comment.Put(')');
  if (n != 0) {
    comment.Put(' ');
    comment.Put(name, n);
  }
}

bool PutDataDescription(TLine& comment, const TMemoryAccess& memory, std::uint32_t a) noexcept {
  std::uint32_t p = a;
  ReadPointer(memory, a, p);
  char text[256];
  const std::size_t n = CallNamer(g_data_describer, p, text, sizeof text);
  if (n == 0) return false;
  comment.Put(' ');
  comment.Put(text, n);
  return true;
}

void PutComment(TLine& comment, const TDisasmInstruction& r, const TMemoryAccess& memory) noexcept {
  if (r.IsRelative && r.Target != 0) {
    PutCodeName(comment, memory, r.Target, false, true);
    return;
  }
  if (comment.Contains("($")) return;
  const bool memory_address = r.MemoryForm && r.DisplacementSize == 4;
  const bool immediate_address = r.ImmediateSize == 4;
  const bool offset = r.Map == 0 && kSpecialImmediate[r.OpcodeByte] == kSpecialMemoryOffset;
  const std::size_t before = comment.size();
  if (memory_address) PutCodeName(comment, memory, static_cast<std::uint32_t>(r.Displacement), true, false);
  if (comment.size() == before && immediate_address) PutCodeName(comment, memory, r.Immediate, offset, false);
  bool described = false;
  if (memory_address) described = PutDataDescription(comment, memory, static_cast<std::uint32_t>(r.Displacement));
  if (!described && immediate_address) PutDataDescription(comment, memory, r.Immediate);
}

}  // namespace

TAddressNamer SetCodeAddressNamer(TAddressNamer namer) noexcept {
  const TAddressNamer previous = g_code_namer;
  g_code_namer = namer;
  return previous;
}

TAddressNamer SetDataAddressDescriber(TAddressNamer describer) noexcept {
  const TAddressNamer previous = g_data_describer;
  g_data_describer = describer;
  return previous;
}

std::size_t CallNamer(const TAddressNamer& namer, std::uint32_t address, char* out, std::size_t capacity) noexcept {
  if (namer.Fn == nullptr || capacity == 0) return 0;
  return std::min(namer.Fn(namer.Context, address, out, capacity), capacity);
}

std::size_t FormatMnemonicAndOperands(const TDisasmInstruction& ins, const TMemoryAccess* memory, char* out,
                                      std::size_t capacity) noexcept {
  TLine line(out, capacity);
  if (ins.Valid) PutBody(line, ins, memory);
  return line.Finish();
}

std::size_t FormatInstruction(const TDisasmInstruction& r, const TMemoryAccess& memory, char* out,
                              std::size_t capacity) noexcept {
  TLine line(out, capacity);
  line.Hex(r.Start, 8);
  line.Put("  ");
  std::uint8_t bytes[32];
  const std::uint32_t length = r.End - r.Start;
  const std::uint32_t shown = std::min<std::uint32_t>(length, sizeof bytes);
  const std::uint32_t got = r.Readable ? memory.Read(r.Start, bytes, shown) : 0;
  for (std::uint32_t k = 0; k < shown; ++k) {
    if (k < got)
      line.Hex(bytes[k], 2);
    else
      line.Put("??");
  }
  line.Put(' ');
  if (r.Valid) {
    if (PutBody(line, r, &memory)) {
      char comment_buf[kMaxLineLength];
      TLine comment(comment_buf, sizeof comment_buf);
      PutComment(comment, r, memory);
      if (comment.size() != 0 && !(comment.size() == 1 && comment_buf[0] == ' ')) {
        line.Put(comment_buf[0] == ' ' ? " ;" : " ; ");
        line.Put(comment_buf, comment.size());
      }
    } else if (line.Contains("??")) {
      line.Put("; unaccessible location");
    } else {
      line.Put("DB $");
      line.Hex(got != 0 ? bytes[0] : (r.OpcodeId & 0xFF), 2);
      line.Put(" ; ???? unknown/invalid instruction");
    }
  } else if (r.Readable) {
    line.Put("DB $");
    line.Hex(r.OpcodeId & 0xFF, 2);
    line.Put(" ; ???? unknown/invalid instruction");
  } else {
    line.Put("; unaccessible location");
  }
  return line.Finish();
}

std::string FormatInstruction(const TDisasmInstruction& ins, const TMemoryAccess& memory) {
  char buf[kMaxLineLength];
  const std::size_t n = FormatInstruction(ins, memory, buf, sizeof buf);
  return std::string(buf, std::min(n, sizeof buf - 1));
}

}  // namespace zelvic::disasm
