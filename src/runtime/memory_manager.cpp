#include "runtime/memory_manager.h"

#include <cstdint>
#include <new>

#include "runtime/block_pool.h"

namespace zelvic::rt {
namespace {

// Small blocks from free lists, larger ones from the process heap. Constant
// initialised: operator new may run before any constructor of the image.
constinit TBlockPool g_pool;

void* PoolGet(std::size_t size) { return g_pool.Get(size); }
int PoolFree(void* p) { return g_pool.Free(p); }
void* PoolResize(void* p, std::size_t size) { return g_pool.Resize(p, size); }
void* PoolGetZeroed(std::size_t size) { return g_pool.GetZeroed(size); }

constexpr TMemoryManager kDefault{PoolGet, PoolFree, PoolResize, PoolGetZeroed};
TMemoryManager g_current = kDefault;

}  // namespace

const TMemoryManager& GetMemoryManager() noexcept { return g_current; }
void SetMemoryManager(const TMemoryManager& manager) noexcept { g_current = manager; }
const TMemoryManager& DefaultMemoryManager() noexcept { return kDefault; }
void EndDefaultMemoryManager() noexcept { g_pool.End(); }

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
