#include "runtime/crt_heap.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace {

// Blocks carry a tag in front of them: the C library hands out blocks of its
// own (_strdup inside msvcrt) that reach free here, and those go back to it.
// The tag is the block's address under a key, so a foreign block's header
// bytes cannot pass for one by accident of content.
struct alignas(8) TTag {
  std::uintptr_t Check;
  std::uintptr_t Unused;
};
static_assert(sizeof(TTag) == 8, "the tag keeps the heap's 8-byte alignment");

constexpr std::uintptr_t kTagKey = 0x5A3C96E1u;

// Empty until the first allocation, which comes before any constructor runs
// (the unwinder registers the image's frames from the C start-up code);
// destroyed by the last exit procedure.
std::atomic<HANDLE> g_heap{nullptr};
std::atomic<bool> g_destroyed{false};

HANDLE Heap() noexcept {
  HANDLE heap = g_heap.load(std::memory_order_acquire);
  if (heap != nullptr || g_destroyed.load(std::memory_order_acquire)) return heap;
  HANDLE created = HeapCreate(0, 0, 0);
  if (created == nullptr) return nullptr;
  if (!g_heap.compare_exchange_strong(heap, created, std::memory_order_acq_rel)) {
    HeapDestroy(created);
    return heap;
  }
  return created;
}

void* Tagged(void* raw) noexcept {
  if (raw == nullptr) return nullptr;
  auto* tag = static_cast<TTag*>(raw);
  void* block = tag + 1;
  tag->Check = reinterpret_cast<std::uintptr_t>(block) ^ kTagKey;
  tag->Unused = 0;
  return block;
}

TTag* TagOf(void* block) noexcept {
  TTag* tag = static_cast<TTag*>(block) - 1;
  return tag->Check == (reinterpret_cast<std::uintptr_t>(block) ^ kTagKey) ? tag : nullptr;
}

// No heap (none could be made, or the image is going): the C library's own
// block, which free recognises as foreign.
void* Allocate(std::size_t size, DWORD flags) noexcept {
  HANDLE heap = Heap();
  if (heap == nullptr) {
    void* block = __real_malloc(size);
    if (block != nullptr && (flags & HEAP_ZERO_MEMORY) != 0) __builtin_memset(block, 0, size);
    return block;
  }
  if (size > SIZE_MAX - sizeof(TTag)) return nullptr;
  return Tagged(HeapAlloc(heap, flags, size + sizeof(TTag)));
}

// The last exit procedure: registered before any other, so the start-up
// code runs it after every other one (the unwinder's frame deregistration
// among them, which still takes a runtime mutex).
void DestroyHeap() {
  g_destroyed.store(true, std::memory_order_release);
  if (HANDLE heap = g_heap.exchange(nullptr, std::memory_order_acq_rel)) HeapDestroy(heap);
}

int RegisterHeapEnd() {
  std::atexit(DestroyHeap);
  return 0;
}

// A C initializer (.CRT$XIB runs before the C++ constructors and before the
// frame registration registers its exit procedure).
__attribute__((section(".CRT$XIB"), used)) int (*g_register_heap_end)() = RegisterHeapEnd;

}  // namespace

extern "C" {

void* __wrap_malloc(std::size_t size) { return Allocate(size, 0); }

void* __wrap_calloc(std::size_t count, std::size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return Allocate(count * size, HEAP_ZERO_MEMORY);
}

void* __wrap_realloc(void* block, std::size_t size) {
  if (block == nullptr) return __wrap_malloc(size);
  // After the heap is gone no block can be told apart or moved safely: the
  // caller keeps its block, as after any failed realloc.
  if (g_destroyed.load(std::memory_order_acquire)) return nullptr;
  TTag* tag = TagOf(block);
  if (tag == nullptr) return __real_realloc(block, size);
  if (size == 0) {
    __wrap_free(block);
    return nullptr;
  }
  if (size > SIZE_MAX - sizeof(TTag)) return nullptr;
  return Tagged(HeapReAlloc(g_heap.load(std::memory_order_acquire), 0, tag, size + sizeof(TTag)));
}

void __wrap_free(void* block) {
  if (block == nullptr) return;
  // After the heap is gone its blocks are gone with it; an exit procedure
  // that frees one late has nothing left to do.
  if (g_destroyed.load(std::memory_order_acquire)) return;
  if (TTag* tag = TagOf(block)) {
    tag->Check = 0;
    HeapFree(g_heap.load(std::memory_order_acquire), 0, tag);
  } else {
    __real_free(block);
  }
}

}  // extern "C"
