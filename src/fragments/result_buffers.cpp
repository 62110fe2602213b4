#include "fragments/result_buffers.h"

#include <atomic>

#include "fragments/runtime_helpers.h"
#include "runtime/memory_manager.h"
#include "runtime/thread_storage.h"

namespace zelvic::fragments {
namespace {

// Buffers are linked so that unloading can free those of threads that are
// still running: only the owning thread can reach its TLS value.
struct Buffer {
  Buffer* prev;
  Buffer* next;
  wchar_t text[kMaxHelperText];
};

rt::TThreadSlot g_slot;
Buffer* g_buffers = nullptr;
// Taken only when a thread gets or gives back its buffer; a spin lock needs
// no set-up and never allocates.
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;

struct Guard {
  Guard() noexcept {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Guard() { g_lock.clear(std::memory_order_release); }
};

void Unlink(Buffer* b) noexcept {
  if (b->prev) b->prev->next = b->next; else g_buffers = b->next;
  if (b->next) b->next->prev = b->prev;
}

void ReleaseBuffer(void* value) noexcept {
  auto* b = static_cast<Buffer*>(value);
  {
    Guard g;
    Unlink(b);
  }
  rt::FreeMem(b);
}

}  // namespace

bool StartResultBuffers() noexcept { return g_slot.Allocate(ReleaseBuffer); }

void StopResultBuffers() noexcept {
  g_slot.Free();  // the calling thread's buffer
  Buffer* rest;
  {
    Guard g;
    rest = g_buffers;
    g_buffers = nullptr;
  }
  while (rest != nullptr) {
    Buffer* next = rest->next;
    rt::FreeMem(rest);
    rest = next;
  }
}

wchar_t* ThreadResultBuffer() noexcept {
  auto* b = static_cast<Buffer*>(g_slot.Get());
  if (b != nullptr) return b->text;
  if (!g_slot.IsAllocated()) return nullptr;
  b = static_cast<Buffer*>(rt::AllocMem(sizeof(Buffer)));
  if (b == nullptr) return nullptr;
  {
    Guard g;
    b->prev = nullptr;
    b->next = g_buffers;
    if (g_buffers) g_buffers->prev = b;
    g_buffers = b;
  }
  g_slot.Set(b);
  return b->text;
}

}  // namespace zelvic::fragments
