#include "diagnostics/util/EHookTrampoline.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/util/EDisAsm.h"

namespace zelvic::diag {

namespace {

using memory::TMemoryAccess;

void Store32(std::uint8_t* p, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The destination of the jump at `address`, or false when there is none.
bool JumpTarget(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t& target) noexcept {
  std::uint8_t b[6];
  if (!ReadExact(memory, address, b, 1)) return false;
  if (b[0] == 0xEB) {
    if (!ReadExact(memory, address, b, 2)) return false;
    target = address + 2 + static_cast<std::uint32_t>(static_cast<std::int8_t>(b[1]));
    return true;
  }
  if (b[0] == 0xE9) {
    if (!ReadExact(memory, address, b, 5)) return false;
    target = address + 5 + LoadLE32(b + 1);
    return true;
  }
  if (b[0] == 0xFF) {
    if (!ReadExact(memory, address, b, 6) || b[1] != 0x25) return false;
    std::uint8_t slot[4];
    if (!ReadExact(memory, LoadLE32(b + 2), slot, 4)) return false;
    target = LoadLE32(slot);
    return true;
  }
  return false;
}

}  // namespace

bool ReadExact(const TMemoryAccess& memory, std::uint32_t address, std::uint8_t* out, std::uint32_t count) noexcept {
  return memory.CanRead(address, count, 0) == count && memory.Read(address, out, count) == count;
}

std::uint32_t LoadLE32(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void PutJump(std::span<std::uint8_t, kJumpSize> out, std::uint32_t from, std::uint32_t to) noexcept {
  out[0] = 0xE9;
  Store32(out.data() + 1, to - (from + kJumpSize));
}

bool IsHotPatched(const TMemoryAccess& memory, std::uint32_t entry) noexcept {
  std::uint8_t b[kHotPatchSize];
  return ReadExact(memory, entry - 5, b, kHotPatchSize) && b[0] == 0xE9 && b[5] == 0xEB && b[6] == 0xF9;
}

std::uint32_t FollowJumps(const TMemoryAccess& memory, std::uint32_t address, std::uint32_t stop_before) noexcept {
  std::uint32_t seen[kMaxJumpSteps + 1];
  int count = 0;
  seen[count++] = address;
  while (count <= kMaxJumpSteps) {
    if (IsHotPatched(memory, address)) break;
    std::uint32_t next = 0;
    if (!JumpTarget(memory, address, next) || next == stop_before || memory.CanRead(next, 1, 0) != 1) break;
    if (std::find(seen, seen + count, next) != seen + count) break;
    seen[count++] = next;
    address = next;
  }
  return address;
}

TEntryClass ClassifyEntry(const TMemoryAccess& memory, std::uint32_t entry) noexcept {
  TEntryClass c;
  std::uint8_t b[8];
  if (!ReadExact(memory, entry, b, 1)) return c;
  // The eight bytes from entry - 5 are what the hot patch's one store covers.
  if (ReadExact(memory, entry - 5, b, 8)) {
    static constexpr std::uint8_t kPadded[] = {0x90, 0x90, 0x90, 0x90, 0x90, 0x8B, 0xFF};
    if (std::memcmp(b, kPadded, sizeof kPadded) == 0) {
      c.Kind = TEntryKind::kHotPatchable;
      return c;
    }
    if (b[0] == 0xE9 && b[5] == 0xEB && b[6] == 0xF9) {
      c.Kind = TEntryKind::kHotPatched;
      c.ChainTarget = entry + LoadLE32(b + 1);
      return c;
    }
  }
  ReadExact(memory, entry, b, 1);
  if (b[0] == 0xCC) {
    c.Kind = TEntryKind::kBreakpoint;
    return c;
  }
  const std::uint32_t span = disasm::InstructionsSpan(memory, entry, kJumpSize);
  if (span < kJumpSize || span > kMaxCopiedSize || memory.CanRead(entry, std::max<std::uint32_t>(span, 8), 0) < std::max<std::uint32_t>(span, 8)) {
    c.Kind = TEntryKind::kUnhookable;
    return c;
  }
  c.Kind = TEntryKind::kDetour;
  c.Length = span;
  return c;
}

TTrampolineResult BuildTrampoline(const TMemoryAccess& memory, std::uint32_t entry, std::uint32_t length,
                                  std::uint32_t block, std::span<std::uint8_t> page) noexcept {
  if (page.size() != kTrampolinePageSize || length < kJumpSize || length > kMaxCopiedSize)
    return TTrampolineResult::kBadArguments;
  std::fill(page.begin(), page.end(), std::uint8_t{0x90});
  if (!ReadExact(memory, entry, page.data(), length)) return TTrampolineResult::kBadArguments;
  PutJump(page.subspan(length).first<kJumpSize>(), block + length, entry + length);

  // Slots above the copy and its jump back.
  const std::uint32_t lowest_slot = (length + kJumpSize + 15) & ~15u;
  std::uint32_t near_slot = 112;
  std::uint32_t far_slot = kTrampolinePageSize - 16;

  for (std::uint32_t at = 0; at < length;) {
    const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(memory, entry + at, true);
    if (!ins.Valid || ins.End <= ins.Start || ins.End - entry > length) return TTrampolineResult::kInvalidInstruction;
    const std::uint32_t size = ins.End - ins.Start;
    if (ins.IsRelative) {
      if (ins.ImmediateSize == 2 || ins.OperandSizePrefix) return TTrampolineResult::kSixteenBitBranch;
      if (ins.Target - entry < length) return TTrampolineResult::kTargetInsideCopy;
      const bool short_form = ins.ImmediateSize == 1;
      std::uint32_t& slot = short_form ? near_slot : far_slot;
      if (slot < lowest_slot || (!short_form && slot < 128)) return TTrampolineResult::kNoPadSlot;
      const std::uint32_t pad = slot;
      slot -= 16;
      PutJump(page.subspan(pad).first<kJumpSize>(), block + pad, ins.Target);
      // The displacement is the instruction's last field.
      const std::uint32_t field = at + size - ins.ImmediateSize;
      const std::uint32_t displacement = pad - (at + size);
      if (short_form)
        page[field] = static_cast<std::uint8_t>(displacement);
      else
        Store32(page.data() + field, displacement);
    }
    at += size;
  }
  return TTrampolineResult::kBuilt;
}

}  // namespace zelvic::diag
