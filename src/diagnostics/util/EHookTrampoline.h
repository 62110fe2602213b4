// The platform-neutral half of code patching: where a jump chain ends, what
// kind of entry a routine has, and the bytes of a detour's trampoline page.
//
// Everything reads code through memory::TMemoryAccess and writes only into
// the caller's buffer, so it is tested on fixed bytes; the patching engine
// (EHook) runs it over the live memory and does the writes.
#pragma once

#include <cstdint>
#include <span>

#include "platform/memory_regions.h"

namespace zelvic::diag {

// E9 rel32: the entry's jump and every pad.
inline constexpr std::uint32_t kJumpSize = 5;
// A hot patch: E9 rel32 in the five bytes of padding before the entry and
// EB F9 at the entry.
inline constexpr std::uint32_t kHotPatchSize = 7;
// The longest copy: at most four bytes of whole instructions short of five,
// then one instruction of at most 15 bytes.
inline constexpr std::uint32_t kMaxCopiedSize = 19;
// One page holds a detour's trampoline and its pads.
inline constexpr std::uint32_t kTrampolinePageSize = 0x1000;
// Jump chains longer than this are not thunks but something else.
inline constexpr int kMaxJumpSteps = 16;

// Where a chain of jumps that starts at `address` ends: short and near
// jumps and jumps through a pointer (FF 25) are followed while their targets
// are readable. The walk stops at an entry that is already hot-patched (it
// starts with a jump of its own), before a step that would land on
// `stop_before`, on an address it has seen already (EB FE, two thunks that
// point at each other) and after kMaxJumpSteps steps.
std::uint32_t FollowJumps(const memory::TMemoryAccess& memory, std::uint32_t address,
                          std::uint32_t stop_before) noexcept;

// EB F9 at the entry and E9 five bytes before it, all readable.
bool IsHotPatched(const memory::TMemoryAccess& memory, std::uint32_t entry) noexcept;

enum class TEntryKind : std::uint8_t {
  kUnreadable,    // the entry byte cannot be read
  kBreakpoint,    // CC: a debugger's, or padding
  kHotPatchable,  // 8B FF after five 90
  kHotPatched,    // someone else's hot patch: chain to it
  kDetour,        // whole instructions covering five bytes, copied to a trampoline
  kUnhookable,    // an invalid instruction or a return before five bytes
};

struct TEntryClass {
  TEntryKind Kind = TEntryKind::kUnreadable;
  // kDetour: bytes of the whole instructions copied (5..kMaxCopiedSize).
  std::uint32_t Length = 0;
  // kHotPatched: where the present hot patch leads.
  std::uint32_t ChainTarget = 0;
};

// The hot-patch forms need the eight bytes from entry - 5 readable (they are
// written with one 8-byte store); where the five bytes before the entry are
// not readable the entry is classified as a detour. A detour needs eight
// readable bytes at the entry for the same reason.
TEntryClass ClassifyEntry(const memory::TMemoryAccess& memory, std::uint32_t entry) noexcept;

enum class TTrampolineResult : std::uint8_t {
  kBuilt,
  kInvalidInstruction,
  kTargetInsideCopy,   // a copied jump leads into the bytes the entry's jump replaces
  kSixteenBitBranch,   // 66-prefixed relative branch: its target wraps at 64 KiB
  kNoPadSlot,
  kBadArguments,
};

// Fills `page` (kTrampolinePageSize bytes, to be placed at `block`) with the
// trampoline for a detour of `length` bytes at `entry`: the copied
// instructions at the start, E9 at block + length back to entry + length,
// 90 elsewhere. Every copied relative jump or call keeps its target through
// a pad, an E9 at a 16-byte-aligned slot: pads of 8-bit branches downward
// from block + 112 (the slot still in their reach), pads of 32-bit ones
// downward from the end of the page.
TTrampolineResult BuildTrampoline(const memory::TMemoryAccess& memory, std::uint32_t entry, std::uint32_t length,
                                  std::uint32_t block, std::span<std::uint8_t> page) noexcept;

// All `count` bytes at `address`, or false when any of them is unreadable.
bool ReadExact(const memory::TMemoryAccess& memory, std::uint32_t address, std::uint8_t* out,
               std::uint32_t count) noexcept;
// A little-endian 32-bit value, as code and PE structures store them.
std::uint32_t LoadLE32(const std::uint8_t* p) noexcept;

// E9 at `from` that lands on `to`, as its five bytes.
void PutJump(std::span<std::uint8_t, kJumpSize> out, std::uint32_t from, std::uint32_t to) noexcept;

}  // namespace zelvic::diag
