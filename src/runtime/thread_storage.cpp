#include "runtime/thread_storage.h"

#include <windows.h>

#include <array>

namespace zelvic::rt {
namespace {

// Slots register themselves here so that thread detach can release them
// without any allocation. The set is small and fixed.
constexpr std::size_t kMaxSlots = 16;
std::array<TThreadSlot*, kMaxSlots> g_slots{};
CRITICAL_SECTION g_slots_lock;
INIT_ONCE g_slots_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_slots_lock);
  return TRUE;
}

CRITICAL_SECTION& SlotsLock() {
  InitOnceExecuteOnce(&g_slots_once, InitLock, nullptr, nullptr);
  return g_slots_lock;
}

}  // namespace

bool TThreadSlot::Allocate(ReleaseProc release) noexcept {
  if (IsAllocated()) return true;
  const DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return false;
  EnterCriticalSection(&SlotsLock());
  bool registered = false;
  for (auto& s : g_slots) {
    if (s == nullptr) {
      s = this;
      registered = true;
      break;
    }
  }
  LeaveCriticalSection(&SlotsLock());
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
  EnterCriticalSection(&SlotsLock());
  for (auto& s : g_slots) {
    if (s == this) s = nullptr;
  }
  LeaveCriticalSection(&SlotsLock());
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
  EnterCriticalSection(&SlotsLock());
  slots = g_slots;
  LeaveCriticalSection(&SlotsLock());
  for (TThreadSlot* s : slots) {
    if (s != nullptr) s->ReleaseForCurrentThread();
  }
}

}  // namespace zelvic::rt
