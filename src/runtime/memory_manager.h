// The library's memory-manager record. Every allocation made by the
// library's own code (operator new/delete, and through them every container
// and string) goes through the record installed here, so a checking manager
// can be slotted in later by swapping the record and chaining to the old one.
#pragma once

#include <cstddef>

namespace zelvic::rt {

struct TMemoryManager {
  void* (*GetMem)(std::size_t size);                 // nullptr when out of memory
  int (*FreeMem)(void* p);                           // 0 on success
  void* (*ReallocMem)(void* p, std::size_t size);    // nullptr when out of memory; p stays valid
  void* (*AllocMem)(std::size_t size);               // zero-filled GetMem
};

// The record in force. Reading it is a plain load: swaps happen only while
// the library starts or stops, on the loader's thread.
const TMemoryManager& GetMemoryManager() noexcept;
void SetMemoryManager(const TMemoryManager& manager) noexcept;

// The record the library starts with: small blocks from the pool of
// block_pool.h, larger ones from the process heap.
const TMemoryManager& DefaultMemoryManager() noexcept;
// Gives the default record's small-block chunks back to the system. Only the
// image's last exit procedure calls it; afterwards frees are ignored.
void EndDefaultMemoryManager() noexcept;

// Shorthands through the record in force.
void* GetMem(std::size_t size) noexcept;
void* AllocMem(std::size_t size) noexcept;
void* ReallocMem(void* p, std::size_t size) noexcept;
void FreeMem(void* p) noexcept;

}  // namespace zelvic::rt
