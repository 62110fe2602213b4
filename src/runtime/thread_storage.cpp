#include "runtime/thread_storage.h"

#include <windows.h>
#include <intrin.h>

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

bool TLazyThreadSlot::Ready(PrepareProc prepare, void* context) noexcept {
  int s = state_.load(std::memory_order_acquire);
  if (s == kNone) {
    int expected = kNone;
    if (state_.compare_exchange_strong(expected, kClaimed)) {
      if (prepare != nullptr) prepare(context);
      s = slot_.Allocate(release_) ? kReady : kFailed;
      state_.store(s, std::memory_order_release);
    }
  }
  while ((s = state_.load(std::memory_order_acquire)) == kClaimed) {
  }
  return s == kReady;
}

void TLazyThreadSlot::Release(PrepareProc after, void* context) noexcept {
  int expected = kReady;
  if (!state_.compare_exchange_strong(expected, kReleasing)) return;
  slot_.Free();
  if (after != nullptr) after(context);
  state_.store(kNone, std::memory_order_release);
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

namespace {

// The first 64 indexes are slots of the thread's own block (TEB + 0xE10 on
// x86), where TlsGetValue and TlsSetValue read and write them. Reaching them
// there spares two calls per access, and the facility's nesting counters
// are read on every location lookup. Higher indexes go through the system.
constexpr std::uint32_t kTebTlsSlots = 0xE10;

}  // namespace

void* TThreadSlot::Get() const noexcept {
  if (!IsAllocated()) return nullptr;
  if (index_ < TLS_MINIMUM_AVAILABLE) return reinterpret_cast<void*>(__readfsdword(kTebTlsSlots + index_ * 4));
  return TlsGetValue(index_);
}

void TThreadSlot::Set(void* value) noexcept {
  if (!IsAllocated()) return;
  if (index_ < TLS_MINIMUM_AVAILABLE) {
    __writefsdword(kTebTlsSlots + index_ * 4, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(value)));
    return;
  }
  TlsSetValue(index_, value);
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
