#include "runtime/block_pool.h"

#include <windows.h>

#include <cstring>

namespace zelvic::rt {
namespace {

struct alignas(8) THeader {
  std::uint32_t SizeClass;
  std::uint32_t Check;
};
static_assert(sizeof(THeader) == 8, "the header keeps the heap's 8-byte alignment");

constexpr std::uint32_t kLargeClass = 0xFFFFFFFFu;
constexpr std::uint32_t kCheckKey = 0x6B1D93A5u;

std::uint32_t CheckFor(const void* block) noexcept {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block)) ^ kCheckKey;
}

THeader* HeaderOf(const void* block) noexcept {
  return const_cast<THeader*>(static_cast<const THeader*>(block) - 1);
}

void* Stamp(void* raw, std::uint32_t size_class) noexcept {
  auto* header = static_cast<THeader*>(raw);
  void* block = header + 1;
  header->SizeClass = size_class;
  header->Check = CheckFor(block);
  return block;
}

// The header of a block handed out and not yet freed; nullptr otherwise.
THeader* LiveHeader(const void* block) noexcept {
  THeader* header = HeaderOf(block);
  if (header->Check != CheckFor(block)) return nullptr;
  if (header->SizeClass != kLargeClass && header->SizeClass >= TBlockPool::kClasses) return nullptr;
  return header;
}

std::size_t Payload(std::uint32_t size_class) noexcept { return (size_class + 1) * TBlockPool::kGranule; }

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "a free list's head is replaced in one step");

void* TopOf(std::uint64_t head) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(head & 0xFFFFFFFFu)); }

std::uint64_t NextHead(std::uint64_t head, void* top) noexcept {
  return ((head >> 32) + 1) << 32 | static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(top));
}

// A free block's first word links it to the next one. Another thread may
// take the top block and write into it between the read of the head and the
// exchange: the link read is then stale, but the block is still pool memory
// (chunks go only at the end), and the changed count makes the exchange fail.
void* Pop(std::atomic<std::uint64_t>& list) noexcept {
  std::uint64_t head = list.load(std::memory_order_acquire);
  for (;;) {
    void* top = TopOf(head);
    if (top == nullptr) return nullptr;
    void* next = *static_cast<void* volatile*>(top);
    if (list.compare_exchange_weak(head, NextHead(head, next), std::memory_order_acquire, std::memory_order_acquire)) {
      return top;
    }
  }
}

void Push(std::atomic<std::uint64_t>& list, void* block) noexcept {
  std::uint64_t head = list.load(std::memory_order_relaxed);
  for (;;) {
    *static_cast<void**>(block) = TopOf(head);
    if (list.compare_exchange_weak(head, NextHead(head, block), std::memory_order_release, std::memory_order_relaxed)) {
      return;
    }
  }
}

}  // namespace

// At the start of each chunk; its size keeps the blocks carved after it on
// the 8-byte alignment of their headers.
struct alignas(8) TBlockPool::TChunk {
  TChunk* Next;
};

void TBlockPool::Lock() const noexcept { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_)); }
void TBlockPool::Unlock() const noexcept { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_)); }

// Under the lock. The tail of a chunk too short for the block is left unused.
void* TBlockPool::Carve(std::uint32_t size_class) noexcept {
  const std::size_t need = sizeof(THeader) + Payload(size_class);
  if (carve_at_ == nullptr || static_cast<std::size_t>(carve_end_ - carve_at_) < need) {
    void* memory = VirtualAlloc(nullptr, kChunkSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == nullptr) return nullptr;
    auto* chunk = static_cast<TChunk*>(memory);
    chunk->Next = chunks_;
    chunks_ = chunk;
    ++chunk_count_;
    carve_at_ = static_cast<std::uint8_t*>(memory) + sizeof(TChunk);
    carve_end_ = static_cast<std::uint8_t*>(memory) + kChunkSize;
  }
  void* raw = carve_at_;
  carve_at_ += need;
  return raw;
}

void* TBlockPool::Get(std::size_t size) noexcept {
  if (size == 0) size = 1;
  if (size <= kLargestSmall && !ended_.load(std::memory_order_acquire)) {
    const auto size_class = static_cast<std::uint32_t>((size - 1) / kGranule);
    void* raw = Pop(free_[size_class]);
    if (raw == nullptr) {
      Lock();
      raw = ended_.load(std::memory_order_relaxed) ? nullptr : Carve(size_class);
      Unlock();
    }
    if (raw != nullptr) return Stamp(raw, size_class);
    if (ended_.load(std::memory_order_acquire)) return Get(size);
    return nullptr;
  }
  if (size > SIZE_MAX - sizeof(THeader)) return nullptr;
  void* raw = HeapAlloc(GetProcessHeap(), 0, size + sizeof(THeader));
  return raw != nullptr ? Stamp(raw, kLargeClass) : nullptr;
}

void* TBlockPool::GetZeroed(std::size_t size) noexcept {
  void* block = Get(size);
  if (block != nullptr) std::memset(block, 0, size == 0 ? 1 : size);
  return block;
}

int TBlockPool::Free(void* block) noexcept {
  if (block == nullptr) return 0;
  // After the end a small block's header went with its chunk.
  if (ended_.load(std::memory_order_acquire)) return 0;
  THeader* header = LiveHeader(block);
  if (header == nullptr) return 1;
  const std::uint32_t size_class = header->SizeClass;
  header->Check = 0;
  if (size_class == kLargeClass) return HeapFree(GetProcessHeap(), 0, header) ? 0 : 1;
  Push(free_[size_class], header);
  return 0;
}

std::size_t TBlockPool::Capacity(const void* block) const noexcept {
  if (block == nullptr || ended_.load(std::memory_order_acquire)) return 0;
  const THeader* header = LiveHeader(block);
  if (header == nullptr) return 0;
  if (header->SizeClass != kLargeClass) return Payload(header->SizeClass);
  const SIZE_T size = HeapSize(GetProcessHeap(), 0, header);
  return size == static_cast<SIZE_T>(-1) || size < sizeof(THeader) ? 0 : size - sizeof(THeader);
}

void* TBlockPool::Resize(void* block, std::size_t size) noexcept {
  if (block == nullptr) return Get(size);
  if (ended_.load(std::memory_order_acquire)) return nullptr;
  THeader* header = LiveHeader(block);
  if (header == nullptr) return nullptr;
  if (size == 0) size = 1;
  if (header->SizeClass == kLargeClass) {
    // A large block stays one, whatever its new size.
    if (size > SIZE_MAX - sizeof(THeader)) return nullptr;
    header->Check = 0;
    void* raw = HeapReAlloc(GetProcessHeap(), 0, header, size + sizeof(THeader));
    if (raw == nullptr) {
      header->Check = CheckFor(block);
      return nullptr;
    }
    return Stamp(raw, kLargeClass);
  }
  const std::size_t capacity = Payload(header->SizeClass);
  if (size <= capacity) return block;
  void* moved = Get(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, capacity);
  Free(block);
  return moved;
}

void TBlockPool::End() noexcept {
  Lock();
  ended_.store(true, std::memory_order_release);
  TChunk* chunk = chunks_;
  chunks_ = nullptr;
  for (std::atomic<std::uint64_t>& head : free_) head.store(0, std::memory_order_relaxed);
  carve_at_ = carve_end_ = nullptr;
  chunk_count_ = 0;
  Unlock();
  while (chunk != nullptr) {
    TChunk* next = chunk->Next;
    VirtualFree(chunk, 0, MEM_RELEASE);
    chunk = next;
  }
}

std::size_t TBlockPool::ChunkCount() const noexcept {
  Lock();
  const std::size_t count = chunk_count_;
  Unlock();
  return count;
}

}  // namespace zelvic::rt
