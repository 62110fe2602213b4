// Per-thread storage on the platform's TLS slots. The compiler's
// thread_local is emulated on this target and allocates on a thread's first
// use, which is not allowed inside the allocator, exception handlers or the
// loader lock; these slots never allocate.
#pragma once

#include <atomic>
#include <cstdint>

namespace zelvic::rt {

class TThreadSlot {
 public:
  using ReleaseProc = void (*)(void* value);

  // Takes a TLS index; `release` is called with a thread's non-null value when
  // that thread's storage is released. Returns false when no index is left.
  bool Allocate(ReleaseProc release) noexcept;
  // Releases the calling thread's value and gives the index back. Values of
  // other threads are the owner's to release (it alone can reach them).
  void Free() noexcept;

  bool IsAllocated() const noexcept { return index_ != kNoIndex; }
  // The system's TLS index, for the system's own view of the value.
  std::uint32_t Index() const noexcept { return index_; }
  void* Get() const noexcept;
  void Set(void* value) noexcept;

  // Calls the release procedure for the calling thread's value, if any.
  void ReleaseForCurrentThread() noexcept;

 private:
  static constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
  std::uint32_t index_ = kNoIndex;
  ReleaseProc release_ = nullptr;
};

// A slot taken on first use by whichever thread gets there first, so that it
// answers before the units start (and in programs that link the objects
// without the unit table); the others wait the few instructions that takes.
class TLazyThreadSlot {
 public:
  using PrepareProc = void (*)(void* context);

  explicit TLazyThreadSlot(TThreadSlot::ReleaseProc release = nullptr) noexcept : release_(release) {}
  TLazyThreadSlot(const TLazyThreadSlot&) = delete;
  TLazyThreadSlot& operator=(const TLazyThreadSlot&) = delete;

  // Takes the slot if it is not taken yet; `prepare` runs first, once, by
  // the thread that takes it. False when no index was left.
  bool Ready(PrepareProc prepare = nullptr, void* context = nullptr) noexcept;
  // Whether the slot is taken, without taking it.
  bool IsReady() const noexcept { return state_.load(std::memory_order_acquire) == kReady; }
  TThreadSlot& Slot() noexcept { return slot_; }
  // Gives a taken slot back; `after` runs once the index is free and before
  // the slot may be taken again. Meanwhile the slot answers "not ready" to
  // other threads at once: they neither use the freed index nor wait on a
  // release that may need a lock they hold.
  void Release(PrepareProc after = nullptr, void* context = nullptr) noexcept;

 private:
  enum : int { kNone, kClaimed, kReady, kFailed, kReleasing };
  TThreadSlot slot_;
  TThreadSlot::ReleaseProc release_;
  std::atomic<int> state_{kNone};
};

// Releases the calling thread's values of every allocated slot: called when a
// thread ends and, for the loading thread, when the library unloads.
void ReleaseThreadStorage() noexcept;

}  // namespace zelvic::rt
