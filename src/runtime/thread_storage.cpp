#include "runtime/thread_storage.h"

#include <windows.h>

#include <array>

namespace zelvic::rt {
namespace {

// Slots register themselves here so that thread detach can release them
// without any allocation. The set is small and fixed.
constexpr std::size_t kMaxSlots = 16;
std::array<TThreadSlot*, kMaxSlots> g_slots{};
// A slim lock: statically initialised and holding no system resource, so
// nothing is left to delete when the library unloads.
SRWLOCK g_slots_lock = SRWLOCK_INIT;

class TSlotsGuard {
 public:
  TSlotsGuard() noexcept { AcquireSRWLockExclusive(&g_slots_lock); }
  ~TSlotsGuard() { ReleaseSRWLockExclusive(&g_slots_lock); }
  TSlotsGuard(const TSlotsGuard&) = delete;
  TSlotsGuard& operator=(const TSlotsGuard&) = delete;
};

}  // namespace

bool TThreadSlot::Allocate(ReleaseProc release) noexcept {
  if (IsAllocated()) return true;
  const DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return false;
  bool registered = false;
  {
    TSlotsGuard guard;
    for (auto& s : g_slots) {
      if (s == nullptr) {
        s = this;
        registered = true;
        break;
      }
    }
  }
  if (!registered) {
    TlsFree(index);
    return false;
  }
  index_ = index;
  release_ = release;
  return true;
}

void TThreadSlot::Free() noexcept {
  if (!IsAllocated()) return;
  ReleaseForCurrentThread();
  {
    TSlotsGuard guard;
    for (auto& s : g_slots) {
      if (s == this) s = nullptr;
    }
  }
  TlsFree(index_);
  index_ = kNoIndex;
  release_ = nullptr;
}

void* TThreadSlot::Get() const noexcept { return IsAllocated() ? TlsGetValue(index_) : nullptr; }

void TThreadSlot::Set(void* value) noexcept {
  if (IsAllocated()) TlsSetValue(index_, value);
}

void TThreadSlot::ReleaseForCurrentThread() noexcept {
  if (!IsAllocated()) return;
  void* value = TlsGetValue(index_);
  if (value == nullptr) return;
  TlsSetValue(index_, nullptr);
  if (release_ != nullptr) release_(value);
}

void ReleaseThreadStorage() noexcept {
  // Copy under the lock, release outside it: a release procedure may take
  // locks of its own.
  std::array<TThreadSlot*, kMaxSlots> slots{};
  {
    TSlotsGuard guard;
    slots = g_slots;
  }
  for (TThreadSlot* s : slots) {
    if (s != nullptr) s->ReleaseForCurrentThread();
  }
}

}  // namespace zelvic::rt
