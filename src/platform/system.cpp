#include "platform/system.h"

#include <windows.h>

#include "platform/dynamic_library.h"

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

bool TRecursiveLock::TryEnter() noexcept {
  if (!created_) return true;
  const std::uint32_t self = GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++depth_;
    return true;
  }
  if (!TryAcquireSRWLockExclusive(Slim(storage_))) return false;
  owner_.store(self, std::memory_order_relaxed);
  depth_ = 1;
  return true;
}

void TRecursiveLock::Leave() noexcept {
  if (!created_ || owner_.load(std::memory_order_relaxed) != GetCurrentThreadId()) return;
  if (--depth_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(Slim(storage_));
  }
}

namespace {

// IDI_APPLICATION: a file without icons shows as an application, not as an error.
constexpr std::uint32_t kApplicationIcon = 32512;

struct TIconSystem {
  TLibrary user32{L"user32.dll"};
  decltype(&::GetSystemMetrics) Metrics = user32.Find<decltype(&::GetSystemMetrics)>("GetSystemMetrics");
  decltype(&::LoadImageW) LoadImage = user32.Find<decltype(&::LoadImageW)>("LoadImageW");
  decltype(&::CopyIcon) Copy = user32.Find<decltype(&::CopyIcon)>("CopyIcon");
  decltype(&::DestroyIcon) Destroy = user32.Find<decltype(&::DestroyIcon)>("DestroyIcon");

  TLoadedIcon Sized(bool large) const noexcept {
    TLoadedIcon icon;
    if (Metrics != nullptr) {
      icon.Width = Metrics(large ? SM_CXICON : SM_CXSMICON);
      icon.Height = Metrics(large ? SM_CYICON : SM_CYSMICON);
    }
    return icon;
  }
};

}  // namespace

TLoadedIcon LoadStandardIcon(std::uint32_t id, bool large) noexcept {
  const TIconSystem system;
  TLoadedIcon icon = system.Sized(large);
  using TScaleDown = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
  const TLibrary comctl(L"comctl32.dll");
  if (const auto scale_down = comctl.Find<TScaleDown>("LoadIconWithScaleDown")) {
    HICON loaded = nullptr;
    if (SUCCEEDED(scale_down(nullptr, MAKEINTRESOURCEW(id), icon.Width, icon.Height, &loaded)) && loaded != nullptr) {
      icon.Handle = reinterpret_cast<std::uintptr_t>(loaded);
      return icon;
    }
  }
  if (system.LoadImage == nullptr || system.Copy == nullptr) return icon;
  // A shared icon belongs to the system: the caller gets its own copy.
  const HANDLE shared = system.LoadImage(nullptr, MAKEINTRESOURCEW(id), IMAGE_ICON, icon.Width, icon.Height, LR_SHARED);
  if (shared != nullptr) icon.Handle = reinterpret_cast<std::uintptr_t>(system.Copy(static_cast<HICON>(shared)));
  return icon;
}

TLoadedIcon LoadFileIcon(const wchar_t* file_name, bool large) noexcept {
  using TExtract = UINT(WINAPI*)(LPCWSTR, int, HICON*, HICON*, UINT);
  const TLibrary shell(L"shell32.dll");
  const auto extract = shell.Find<TExtract>("ExtractIconExW");
  if (extract != nullptr && file_name != nullptr && *file_name != L'\0') {
    HICON found = nullptr;
    if (extract(file_name, 0, large ? &found : nullptr, large ? nullptr : &found, 1) > 0 && found != nullptr) {
      TLoadedIcon icon = TIconSystem().Sized(large);
      icon.Handle = reinterpret_cast<std::uintptr_t>(found);
      return icon;
    }
  }
  return LoadStandardIcon(kApplicationIcon, large);
}

void DestroyLoadedIcon(std::uintptr_t icon) noexcept {
  if (icon == 0) return;
  const TIconSystem system;
  if (system.Destroy != nullptr) system.Destroy(reinterpret_cast<HICON>(icon));
}

}  // namespace zelvic::platform
