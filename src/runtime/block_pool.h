// Small blocks for the library's memory-manager record.
//
// The library's texts and records are mostly small and short-lived: a call
// stack's locations, a report's cells. Under Wine a heap allocation and its
// release cost about 90 ns together, and a stack of 150 frames made 360 of
// them. Blocks of up to 256 bytes therefore come from free lists of sixteen
// sizes, carved from 64 KiB chunks; larger blocks come from the process heap.
// The free lists take no lock: each is a stack whose head word pairs the top
// block with a count of changes, replaced by one compare-exchange, so a head
// that was popped and pushed back meanwhile is not mistaken for the one read.
// Only carving a new block takes a lock.
//
// Every block, small or large, carries an 8-byte header in front of it: its
// size class and a check word (the block's address under a key), cleared
// when the block is freed. A free of a block whose header does not check (a
// second free, a foreign pointer) is refused and changes nothing.
//
// Freed small blocks stay in the pool for reuse; the chunks go back to the
// system only when the pool ends. After its end the pool hands out heap
// blocks and ignores every free: whatever is still freed then went with the
// chunks or is left to the process's end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zelvic::rt {

class TBlockPool {
 public:
  static constexpr std::size_t kGranule = 16;
  static constexpr std::size_t kClasses = 16;
  static constexpr std::size_t kLargestSmall = kGranule * kClasses;
  static constexpr std::size_t kChunkSize = 64 * 1024;

  constexpr TBlockPool() noexcept = default;
  TBlockPool(const TBlockPool&) = delete;
  TBlockPool& operator=(const TBlockPool&) = delete;
  // A pool object lives as long as the image; only End gives its chunks back.
  ~TBlockPool() = default;

  // nullptr when out of memory. A zero-byte request gets a unique block.
  void* Get(std::size_t size) noexcept;
  void* GetZeroed(std::size_t size) noexcept;
  // 0 on success (and for nullptr); 1 when the block is refused.
  int Free(void* block) noexcept;
  // nullptr when out of memory or refused; the block then stays valid.
  void* Resize(void* block, std::size_t size) noexcept;

  // Gives the chunks back; later frees are ignored and blocks come from the
  // heap. Only when nothing else uses the pool (the image's last exit
  // procedure, a test's own pool).
  void End() noexcept;

  // The bytes a block can hold; 0 for a block that does not check.
  std::size_t Capacity(const void* block) const noexcept;
  // Chunks taken from the system and not given back.
  std::size_t ChunkCount() const noexcept;

 private:
  struct TChunk;
  void* Carve(std::uint32_t size_class) noexcept;
  void Lock() const noexcept;
  void Unlock() const noexcept;

  // A slim lock, kept as storage so that this header needs no windows.h.
  mutable void* lock_ = nullptr;
  // Per size class: the top free block (low half) and the change count.
  std::atomic<std::uint64_t> free_[kClasses] = {};
  TChunk* chunks_ = nullptr;  // newest first
  std::uint8_t* carve_at_ = nullptr;
  std::uint8_t* carve_end_ = nullptr;
  std::size_t chunk_count_ = 0;
  std::atomic<bool> ended_{false};
};

}  // namespace zelvic::rt
