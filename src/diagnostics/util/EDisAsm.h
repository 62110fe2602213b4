// x86 (32-bit) instruction decoder, the searches built on it, and the text
// form of a decoded instruction.
//
// The decoder reads code only through TMemoryAccess, so the same code decodes
// a byte buffer in a test, a fuzzer input, or the live memory of the process
// through the platform adapter. Decoding never allocates and never fails: an
// unreadable or malformed byte sequence gives the invalid record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/memory_regions.h"

namespace zelvic::disasm {

// The memory interfaces and protection constants the decoder reads through
// live in the neutral header shared with the platform's live adapter.
using memory::kPageExecute;
using memory::kPageExecuteRead;
using memory::kPageExecuteReadWrite;
using memory::kPageExecuteWriteCopy;
using memory::kPageReadOnly;
using memory::kPageReadWrite;
using memory::kPageWriteCopy;
using memory::kPageNoAccess;
using memory::kMemCommit;
using memory::kDefaultReadableMask;
using memory::kCodeMask;
using memory::TMemoryAccess;
using memory::TBufferMemory;
using memory::TRegionInfo;
using memory::TRegionQuery;
using memory::TAddressSpace;
using memory::DefaultReadableMask;
using memory::CanReadRegions;

// ---------------------------------------------------------------------------
// The decoded instruction. Plain record, zero-filled before every decode.

struct TDisasmInstruction {
  std::uint32_t Start;
  bool Readable;
  bool Valid;
  std::uint8_t SegmentOverride;  // 0 none, 1 ES, 2 CS, 3 SS, 4 DS, 5 FS, 6 GS
  bool OperandSizePrefix;        // 66h
  bool AddressSizePrefix;        // 67h
  bool LockPrefix;               // F0h
  bool RepnePrefix;              // F2h
  bool RepPrefix;                // F3h
  std::uint32_t OpcodeId;        // b, 0F00h+b, 0F3800h+b, 0F3A00h+b
  std::uint8_t Map;              // 0 one-byte, 1 0F, 2 0F 38, 3 0F 3A
  std::uint8_t OpcodeByte;
  std::uint8_t OperandSize;      // 4, or 2 with 66h
  std::uint16_t Attributes;      // FFFFh: invalid opcode
  bool MemoryForm;
  bool HasSib;
  bool HasModRM;
  bool SignedImmediate;
  std::uint8_t Mod;
  std::uint8_t Reg;
  std::uint8_t RM;  // base register number, kNoBase when there is none
  std::uint8_t SibScale;
  std::uint8_t SibIndex;
  std::uint8_t SibBase;
  std::uint8_t ScaleFactor;  // 1, 2, 4, 8 with an index register, else 0
  std::uint8_t ModRMByte;
  bool IsBranch;
  bool IsCall;
  bool IsRelative;
  std::uint8_t DisplacementSize;  // 0, 1, 2, 4
  std::int32_t Displacement;
  std::uint8_t ImmediateSize;  // 0, 1, 2, 3, 4, 6
  std::uint32_t Immediate;     // low 32 bits of a 6-byte immediate
  std::uint32_t Target;        // destination of a call or jump when known
  std::uint32_t End;           // byte after the instruction; Start+1 when invalid
};

inline constexpr std::uint8_t kNoBase = 128;
inline constexpr std::uint16_t kInvalidAttributes = 0xFFFF;

// Attribute word bits.
namespace attr {
inline constexpr std::uint16_t kOperandKindMask = 0x0007;
inline constexpr std::uint16_t kRmSizeMask = 0x0038;
inline constexpr std::uint16_t kNarrowReg = 0x0040;
inline constexpr std::uint16_t kNarrowRm = 0x0080;
inline constexpr std::uint16_t kImmByte = 0x0100;
inline constexpr std::uint16_t kImmWord = 0x0200;
inline constexpr std::uint16_t kImmOperand = 0x0400;
inline constexpr std::uint16_t kGroup = 0x0800;
inline constexpr std::uint16_t kSizeKeyword = 0x1000;
inline constexpr std::uint16_t kReversed = 0x2000;
inline constexpr std::uint16_t kRelative = 0x4000;
// Bits whose presence means a ModR/M byte follows the opcode.
inline constexpr std::uint16_t kModRMBits = 0x0838;
}  // namespace attr

// Decodes the bytes at `address` read through `memory`. With
// `any_readable_page` false the first byte must lie in code (kCodeMask), and
// an indirect call or jump through an absolute pointer gets the pointer's
// contents as its Target when they are readable.
TDisasmInstruction DecodeInstruction(const TMemoryAccess& memory, std::uint32_t address,
                                     bool any_readable_page = false) noexcept;

// Decodes from bytes already in hand: `bytes[0..available)` are the bytes at
// `address`, anything beyond counts as unreadable. `pointers` (may be null)
// serves the Target of indirect calls through an absolute pointer; pass null
// for the behaviour of `any_readable_page`.
void DecodeBytes(const std::uint8_t* bytes, std::size_t available, std::uint32_t address,
                 TDisasmInstruction& out, const TMemoryAccess* pointers = nullptr) noexcept;

// Length of the valid instruction at `address`; false when it is not valid.
bool InstructionLength(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t& length) noexcept;

// Start of the call or jump that ends exactly at `return_address`, or
// `return_address` itself when there is none.
std::uint32_t FindCallBefore(const TMemoryAccess& memory, std::uint32_t return_address,
                             bool prefer_longest) noexcept;
// FindCallBefore(memory, return_address, true) for a caller that has the
// shortest answer already (`shortest`, not the return address): the search
// goes on below it instead of starting again.
std::uint32_t FindLongestCallBefore(const TMemoryAccess& memory, std::uint32_t return_address,
                                    std::uint32_t shortest) noexcept;

// The destination at `address` after following one jump thunk, when its first
// byte is code; else `address`.
std::uint32_t FollowJumpThunk(const TMemoryAccess& memory, std::uint32_t address) noexcept;

// Destination of the call or jump at `address` (one jump thunk followed), or 0.
std::uint32_t GetCallTarget(const TMemoryAccess& memory, std::uint32_t address) noexcept;

// Bytes taken by the whole instructions that cover at least `count` bytes from
// `address`; stops after a return and at the first invalid instruction.
std::uint32_t InstructionsSpan(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t count) noexcept;

// ---------------------------------------------------------------------------
// Text form.

// A naming hook writes a text for an address into `out` (at most `capacity`
// bytes, no terminator needed) and returns its length, 0 when it knows none.
// Installed hooks keep the value they replaced and call it for addresses they
// do not know.
struct TAddressNamer {
  std::size_t (*Fn)(void* context, std::uint32_t address, char* out, std::size_t capacity) = nullptr;
  void* Context = nullptr;
};

// Code-address namer: procedure names for the report. Returns the previous hook.
TAddressNamer SetCodeAddressNamer(TAddressNamer namer) noexcept;
// Data-address describer: e.g. the quoted contents of a string. Returns the previous hook.
TAddressNamer SetDataAddressDescriber(TAddressNamer describer) noexcept;
// Call a hook; 0 when none is installed.
std::size_t CallNamer(const TAddressNamer& namer, std::uint32_t address, char* out, std::size_t capacity) noexcept;

// Longest line FormatInstruction writes, terminator included.
inline constexpr std::size_t kMaxLineLength = 512;

// Writes the line into `out` (NUL-terminated, cut at `capacity`); returns its
// length. `memory` supplies the instruction bytes and the pointers the
// comment reads.
std::size_t FormatInstruction(const TDisasmInstruction& ins, const TMemoryAccess& memory, char* out,
                              std::size_t capacity) noexcept;
std::string FormatInstruction(const TDisasmInstruction& ins, const TMemoryAccess& memory);

// The mnemonic with its prefix words and the operands, without the address,
// bytes and comment. `memory` (may be null) supplies the segment of a
// 6-byte far pointer, which the record does not hold.
std::size_t FormatMnemonicAndOperands(const TDisasmInstruction& ins, const TMemoryAccess* memory, char* out,
                                      std::size_t capacity) noexcept;

}  // namespace zelvic::disasm
