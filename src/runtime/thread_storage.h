// Per-thread storage on the platform's TLS slots. The compiler's
// thread_local is emulated on this target and allocates on a thread's first
// use, which is not allowed inside the allocator, exception handlers or the
// loader lock; these slots never allocate.
#pragma once

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

// Releases the calling thread's values of every allocated slot: called when a
// thread ends and, for the loading thread, when the library unloads.
void ReleaseThreadStorage() noexcept;

}  // namespace zelvic::rt
