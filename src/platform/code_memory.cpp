#include "platform/code_memory.h"

#include "platform/process.h"
#include "platform/system.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstring>

namespace zelvic::platform {

namespace {

void* Ptr(std::uint32_t address) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)); }

constexpr std::uint32_t kPage = 0x1000;

// Makes the pages under a range writable for the life of the object and puts
// back each page's own protection afterwards: the bytes of one write can
// straddle two pages that were protected differently, and one VirtualProtect
// over both would give the second page the first one's protection.
class TWritableCode {
 public:
  TWritableCode(std::uint32_t address, std::uint32_t size) noexcept {
    const std::uint32_t first = address & ~(kPage - 1);
    const std::uint32_t last = (address + size - 1) & ~(kPage - 1);
    for (std::uint32_t page = first;; page += kPage) {
      if (count_ == old_.size()) {
        error_ = ERROR_INVALID_PARAMETER;
        return;
      }
      DWORD old = 0;
      if (!VirtualProtect(Ptr(page), kPage, PAGE_EXECUTE_READWRITE, &old)) {
        error_ = GetLastError();
        return;
      }
      old_[count_++] = {page, old};
      if (page == last) break;
    }
  }
  ~TWritableCode() {
    for (std::size_t i = 0; i < count_; ++i) {
      DWORD ignored = 0;
      VirtualProtect(Ptr(old_[i].Page), kPage, old_[i].Protect, &ignored);
    }
  }
  TWritableCode(const TWritableCode&) = delete;
  TWritableCode& operator=(const TWritableCode&) = delete;
  std::uint32_t Error() const noexcept { return error_; }

 private:
  struct TOld {
    std::uint32_t Page;
    DWORD Protect;
  };
  std::array<TOld, 4> old_{};
  std::size_t count_ = 0;
  std::uint32_t error_ = 0;
};

// An image's pages are one run of the address space: bytes within one page
// need one question.
// The allocation a walk for a trampoline block started in (high half) and
// the block it found (low half), as one value so that a reader never pairs
// one walk's start with another's result.
std::atomic<std::uint64_t> g_last_walk{0};

bool InImages(std::uint32_t address, std::uint32_t size) noexcept {
  const std::uint32_t last = address + size - 1;
  if (ModuleBaseOf(Ptr(address)) == 0) return false;
  return (address & ~(kPage - 1)) == (last & ~(kPage - 1)) || ModuleBaseOf(Ptr(last)) != 0;
}

}  // namespace

std::uint32_t CodeProtection(std::uint32_t address) noexcept {
  MEMORY_BASIC_INFORMATION mbi{};
  if (VirtualQuery(Ptr(address), &mbi, sizeof mbi) != sizeof mbi) return 0;
  return mbi.Protect;
}

std::uint32_t WriteCode(std::uint32_t address, std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty()) return 0;
  const auto size = static_cast<std::uint32_t>(bytes.size());
  if (!InImages(address, size)) return ERROR_INVALID_PARAMETER;
  {
    TWritableCode writable(address, size);
    if (writable.Error() != 0) return writable.Error();
    std::memcpy(Ptr(address), bytes.data(), bytes.size());
  }
  FlushInstructionCache(GetCurrentProcess(), Ptr(address), size);
  return 0;
}

std::uint32_t WriteCodeAtomic(std::uint32_t address, std::span<const std::uint8_t> bytes,
                              std::span<const std::uint8_t> expected) noexcept {
  if (bytes.empty() || bytes.size() > 8 || expected.size() > bytes.size()) return ERROR_INVALID_PARAMETER;
  if (!InImages(address, 8)) return ERROR_INVALID_PARAMETER;
  bool changed = false;
  {
    TWritableCode writable(address, 8);
    if (writable.Error() != 0) return writable.Error();
    // lock cmpxchg8b: the one 8-byte store an i386 has. The first read may
    // tear; the exchange then fails and hands back the whole current value.
    // It is atomic across a cache-line boundary too, only slower.
    auto* where = static_cast<volatile std::uint64_t*>(Ptr(address));
    std::uint64_t seen = *where;
    for (;;) {
      if (!expected.empty() && std::memcmp(&seen, expected.data(), expected.size()) != 0) {
        changed = true;
        break;
      }
      std::uint64_t wanted = seen;
      std::memcpy(&wanted, bytes.data(), bytes.size());
      const std::uint64_t was = __sync_val_compare_and_swap(where, seen, wanted);
      if (was == seen) break;
      seen = was;
    }
  }
  if (changed) return ERROR_INVALID_DATA;
  FlushInstructionCache(GetCurrentProcess(), Ptr(address), static_cast<SIZE_T>(bytes.size()));
  return 0;
}

std::uint32_t AllocateCodeBlock(std::uint32_t nearby, std::uint32_t size) noexcept {
  static const TSystemBasics system = QuerySystemBasics();
  const std::uint32_t granule = system.AllocationGranularity;
  const auto top = static_cast<std::uint32_t>(system.MaximumApplicationAddress);
  if (size == 0 || size > granule) return 0;

  // Above a module's code lie its other sections and, often, a long run of
  // reserved regions: the walk from one allocation ends on the same free
  // granule the next time, unless it is taken, so that is tried first.
  MEMORY_BASIC_INFORMATION first{};
  std::uint32_t origin = 0;
  if (VirtualQuery(Ptr(nearby), &first, sizeof first) == sizeof first)
    origin = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(first.AllocationBase));
  const std::uint64_t last = g_last_walk.load(std::memory_order_relaxed);
  if (origin != 0 && static_cast<std::uint32_t>(last >> 32) == origin && static_cast<std::uint32_t>(last) > nearby) {
    if (void* p = VirtualAlloc(Ptr(static_cast<std::uint32_t>(last)), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
      return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
  }

  // A free region's start is granule-aligned only by chance; VirtualAlloc
  // wants the allocation base on a granule boundary.
  std::uint32_t at = nearby;
  for (int regions = 0; regions < 65536 && at < top; ++regions) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (VirtualQuery(Ptr(at), &mbi, sizeof mbi) != sizeof mbi) break;
    const auto base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress));
    const std::uint64_t end = std::uint64_t{base} + mbi.RegionSize;
    if (mbi.State == MEM_FREE) {
      const std::uint64_t start = (std::uint64_t{at} + granule - 1) / granule * granule;
      if (start + size <= end && start + size <= top) {
        if (void* p = VirtualAlloc(Ptr(static_cast<std::uint32_t>(start)), size, MEM_RESERVE | MEM_COMMIT,
                                   PAGE_READWRITE)) {
          const auto block = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
          if (origin != 0) g_last_walk.store(std::uint64_t{origin} << 32 | block, std::memory_order_relaxed);
          return block;
        }
      }
    }
    if (end <= at || end > 0xFFFFFFFFull) break;
    at = static_cast<std::uint32_t>(end);
  }
  // A 32-bit relative jump reaches every address of a 32-bit space (the sum
  // wraps), so a block anywhere still works; near only keeps it tidy.
  void* p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

bool SealCodeBlock(std::uint32_t block, std::uint32_t size) noexcept {
  DWORD old = 0;
  if (!VirtualProtect(Ptr(block), size, PAGE_EXECUTE_READ, &old)) return false;
  FlushInstructionCache(GetCurrentProcess(), Ptr(block), size);
  return true;
}

bool UnsealCodeBlock(std::uint32_t block, std::uint32_t size) noexcept {
  DWORD old = 0;
  return VirtualProtect(Ptr(block), size, PAGE_READWRITE, &old) != 0;
}

void FreeCodeBlock(std::uint32_t block) noexcept {
  if (block != 0) VirtualFree(Ptr(block), 0, MEM_RELEASE);
}

std::uint32_t ExportedProcedure(std::uintptr_t module, const char* name) noexcept {
  if (module == 0 || name == nullptr) return 0;
  FARPROC p = GetProcAddress(reinterpret_cast<HMODULE>(module), name);
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

void SetLastErrorCode(std::uint32_t code) noexcept { SetLastError(code); }

std::uint32_t LastErrorCode() noexcept { return GetLastError(); }

}  // namespace zelvic::platform
