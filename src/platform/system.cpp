#include "platform/system.h"

#include <windows.h>

namespace zelvic::platform {

static_assert(sizeof(SRWLOCK) <= 8, "lock storage too small");

namespace {
SRWLOCK* Slim(unsigned char* p) { return reinterpret_cast<SRWLOCK*>(p); }
}  // namespace

TSystemBasics QuerySystemBasics() noexcept {
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  return {si.dwPageSize, si.dwAllocationGranularity, si.dwNumberOfProcessors,
          reinterpret_cast<std::uintptr_t>(si.lpMinimumApplicationAddress),
          reinterpret_cast<std::uintptr_t>(si.lpMaximumApplicationAddress)};
}

void TRecursiveLock::Create() noexcept {
  if (created_) return;
  InitializeSRWLock(Slim(storage_));
  owner_.store(0, std::memory_order_relaxed);
  depth_ = 0;
  created_ = true;
}

void TRecursiveLock::Destroy() noexcept { created_ = false; }

void TRecursiveLock::Enter() noexcept {
  if (!created_) return;
  const std::uint32_t self = GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++depth_;
    return;
  }
  AcquireSRWLockExclusive(Slim(storage_));
  owner_.store(self, std::memory_order_relaxed);
  depth_ = 1;
}

void TRecursiveLock::Leave() noexcept {
  if (!created_ || owner_.load(std::memory_order_relaxed) != GetCurrentThreadId()) return;
  if (--depth_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(Slim(storage_));
  }
}

}  // namespace zelvic::platform
