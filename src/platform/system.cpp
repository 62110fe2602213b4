#include "platform/system.h"

#include <windows.h>

namespace zelvic::platform {

static_assert(sizeof(CRITICAL_SECTION) <= 48, "lock storage too small");

TSystemBasics QuerySystemBasics() noexcept {
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  return {si.dwPageSize, si.dwAllocationGranularity, si.dwNumberOfProcessors,
          reinterpret_cast<std::uintptr_t>(si.lpMinimumApplicationAddress),
          reinterpret_cast<std::uintptr_t>(si.lpMaximumApplicationAddress)};
}

void TRecursiveLock::Create() noexcept {
  if (created_) return;
  InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
  created_ = true;
}

void TRecursiveLock::Destroy() noexcept {
  if (!created_) return;
  DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
  created_ = false;
}

void TRecursiveLock::Enter() noexcept {
  if (created_) EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}

void TRecursiveLock::Leave() noexcept {
  if (created_) LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}

}  // namespace zelvic::platform
