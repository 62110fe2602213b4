#include "platform/memory_access.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace zelvic::platform {

using memory::TRegionInfo;

namespace {

// x86 pages are 4 KiB whatever GetSystemInfo says about allocation; a page
// is the unit protection applies to, so one test covers one page.
constexpr std::uint32_t kPageSize = 0x1000;

inline const void* AsPointer(std::uint32_t address) noexcept {
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
}

}  // namespace

bool TVirtualQueryRegions::QueryRegion(std::uint32_t address, TRegionInfo& info) const {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(AsPointer(address), &mbi, sizeof mbi) != sizeof mbi) return false;
  info.BaseAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress));
  info.RegionSize = static_cast<std::uint32_t>(mbi.RegionSize);
  info.State = mbi.State;
  info.Protect = (mbi.Protect & PAGE_GUARD) != 0 ? PAGE_NOACCESS : mbi.Protect;
  info.Image = mbi.Type == MEM_IMAGE;
  return true;
}

memory::TAddressSpace ApplicationAddressSpace(std::uint32_t default_mask) noexcept {
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  memory::TAddressSpace space;
  space.MinimumApplicationAddress =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(si.lpMinimumApplicationAddress));
  space.MaximumApplicationAddress =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(si.lpMaximumApplicationAddress));
  space.DefaultMask = default_mask;
  return space;
}

std::uint32_t TLiveMemory::CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const {
  return memory::CanReadRegions(Query(), space_, address, count, mask);
}

std::uint32_t TLiveMemory::Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const {
  const memory::TRegionQuery& query = Query();
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint64_t at = std::uint64_t{address} + done;
    if (at > 0xFFFFFFFFull) break;
    const auto a = static_cast<std::uint32_t>(at);
    const std::uint32_t n = std::min(count - done, kPageSize - (a & (kPageSize - 1)));
    if (memory::CanReadRegions(query, space_, a, n, 0) != n) break;
    std::memcpy(dst + done, AsPointer(a), n);
    done += n;
  }
  return done;
}

bool ExecuteOnlyPagesAreReadable() noexcept {
  void* page = VirtualAlloc(nullptr, kPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE);
  if (page == nullptr) return false;
  bool readable = false;
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(page, &mbi, sizeof mbi) == sizeof mbi && mbi.State == MEM_COMMIT) {
    if ((mbi.Protect & memory::kDefaultReadableMask) != 0) {
      readable = true;  // the system granted more than execute-only
    } else if ((mbi.Protect & 0xFF) == PAGE_EXECUTE) {
      readable = IsBadReadPtr(page, kPageSize) == FALSE;
    }
  }
  VirtualFree(page, 0, MEM_RELEASE);
  return readable;
}

bool QueryCodeRegion(std::uint32_t address, TCodeRegion& region) noexcept {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(AsPointer(address), &mbi, sizeof mbi) != sizeof mbi) return false;
  region.BaseAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress));
  region.RegionSize = static_cast<std::uint32_t>(mbi.RegionSize);
  // The execute kinds are bits of their own; PAGE_NOCACHE and the other
  // modifiers sit above them and say nothing about execution.
  region.Executable = mbi.State == MEM_COMMIT && (mbi.Protect & memory::kCodeMask) != 0 && (mbi.Protect & PAGE_GUARD) == 0;
  region.Image = mbi.Type == MEM_IMAGE;
  return true;
}

}  // namespace zelvic::platform
