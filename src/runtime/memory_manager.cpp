#include "runtime/memory_manager.h"

#include <windows.h>

#include <cstdint>
#include <new>

namespace zelvic::rt {
namespace {

// A zero-byte request still returns a unique block, as operator new must.
std::size_t RoundUp(std::size_t size) { return size == 0 ? 1 : size; }

void* HeapGet(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, RoundUp(size)); }
int HeapFreeBlock(void* p) { return (p == nullptr || HeapFree(GetProcessHeap(), 0, p)) ? 0 : 1; }
void* HeapRealloc(void* p, std::size_t size) {
  if (p == nullptr) return HeapGet(size);
  return HeapReAlloc(GetProcessHeap(), 0, p, RoundUp(size));
}
void* HeapZeroGet(std::size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, RoundUp(size)); }

constexpr TMemoryManager kDefault{HeapGet, HeapFreeBlock, HeapRealloc, HeapZeroGet};
TMemoryManager g_current = kDefault;

}  // namespace

const TMemoryManager& GetMemoryManager() noexcept { return g_current; }
void SetMemoryManager(const TMemoryManager& manager) noexcept { g_current = manager; }
const TMemoryManager& DefaultMemoryManager() noexcept { return kDefault; }

void* GetMem(std::size_t size) noexcept { return g_current.GetMem(size); }
void* AllocMem(std::size_t size) noexcept { return g_current.AllocMem(size); }
void* ReallocMem(void* p, std::size_t size) noexcept { return g_current.ReallocMem(p, size); }
void FreeMem(void* p) noexcept {
  if (p != nullptr) g_current.FreeMem(p);
}

}  // namespace zelvic::rt

// The library's code allocates only through the record above. These
// replacements bind every new/delete inside the image, including those of
// the statically linked C++ library.
namespace {
void* NewOrThrow(std::size_t size) {
  if (void* p = zelvic::rt::GetMem(size)) return p;
  throw std::bad_alloc();
}
void* NewAligned(std::size_t size, std::align_val_t al) {
  // Over-allocate and keep the raw pointer just below the aligned block.
  const std::size_t a = static_cast<std::size_t>(al) < sizeof(void*) ? sizeof(void*) : static_cast<std::size_t>(al);
  void* raw = zelvic::rt::GetMem(size + a + sizeof(void*));
  if (raw == nullptr) return nullptr;
  auto base = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
  auto aligned = (base + a - 1) & ~(static_cast<std::uintptr_t>(a) - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}
void DeleteAligned(void* p) {
  if (p != nullptr) zelvic::rt::FreeMem(static_cast<void**>(p)[-1]);
}
}  // namespace

void* operator new(std::size_t size) { return NewOrThrow(size); }
void* operator new[](std::size_t size) { return NewOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return zelvic::rt::GetMem(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return zelvic::rt::GetMem(size); }
void operator delete(void* p) noexcept { zelvic::rt::FreeMem(p); }
void operator delete[](void* p) noexcept { zelvic::rt::FreeMem(p); }
void operator delete(void* p, std::size_t) noexcept { zelvic::rt::FreeMem(p); }
void operator delete[](void* p, std::size_t) noexcept { zelvic::rt::FreeMem(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { zelvic::rt::FreeMem(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { zelvic::rt::FreeMem(p); }

void* operator new(std::size_t size, std::align_val_t al) {
  if (void* p = NewAligned(size, al)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t al) { return operator new(size, al); }
void operator delete(void* p, std::align_val_t) noexcept { DeleteAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { DeleteAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { DeleteAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { DeleteAligned(p); }
