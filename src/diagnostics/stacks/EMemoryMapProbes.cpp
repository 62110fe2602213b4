#include "diagnostics/stacks/EMemoryMapProbes.h"

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "platform/modules.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kHeaderPage = 0x1000;

const platform::TVirtualQueryRegions g_system;
platform::TMemoryMap g_map(g_system);
std::atomic<std::uint32_t> g_generation{0};

TTraceProbes g_before{};
bool g_installed = false;

// An image's regions stay until it is unloaded: the map is kept for one
// loader generation, and not at all while the loader is not watched.
void FollowLoader() noexcept {
  const std::uint32_t generation = platform::SystemModulePlatform().LoaderGeneration();
  if (generation == 0 || g_generation.exchange(generation, std::memory_order_acq_rel) != generation) {
    g_map.Invalidate();
  }
}

// The module list's answer. A record can outlive its module until the list
// is cleaned up, so the module's header page must still be an image region
// that the map knows readable (one query per module and generation).
bool InKnownModule(std::uint32_t address, std::uint32_t count, bool code) noexcept {
  TVarnelModulesListEx* list = ExistingModulesList();
  if (list == nullptr) return false;
  const std::uint64_t end = std::uint64_t{address} + count;
  std::uintptr_t handle = 0;
  bool inside = false;
  {
    // A thread held by a dialog may own the list's lock: then the map
    // answers alone, rather than the walk waiting for it.
    platform::TRecursiveLock& lock = ModulesListLock();
    if (!lock.TryEnter()) return false;
    struct TLeave {
      platform::TRecursiveLock& lock;
      ~TLeave() { lock.Leave(); }
    } leave{lock};
    // Sorted by handle: the last record at or below the address.
    int low = 0, high = list->GetCount();
    while (low < high) {
      const int mid = low + (high - low) / 2;
      if (list->GetItem(mid)->Handle <= address) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    if (low == 0) return false;
    const TVarnelModuleInfo& m = *list->GetItem(low - 1);
    if (m.Handle == 0) return false;
    handle = m.Handle;
    const auto within = [&](std::uintptr_t begin, std::uintptr_t stop) {
      return begin != 0 && address >= begin && end <= stop;
    };
    inside = within(m.CodeBegin, m.CodeEnd) ||
             (!code && (within(m.Handle, m.Handle + kHeaderPage) || within(m.DataBegin, m.DataEnd)));
  }
  return inside && g_map.GetValidAddr(static_cast<std::uint32_t>(handle), 1, memory::kDefaultReadableMask) == 1;
}

bool MapCovers(std::uint32_t address, std::uint32_t count, std::uint32_t mask) noexcept {
  return count != 0 && g_map.GetValidAddr(address, count, mask) >= count;
}

}  // namespace

bool MemoryMapReadable(std::uint32_t address, std::uint32_t count) noexcept {
  FollowLoader();
  return InKnownModule(address, count, false) || MapCovers(address, count, LiveMemory().Space().DefaultMask);
}

bool MemoryMapExecutable(std::uint32_t address, std::uint32_t count) noexcept {
  FollowLoader();
  return InKnownModule(address, count, true) || MapCovers(address, count, memory::kCodeMask);
}

platform::TMemoryMap& ProcessMemoryMap() noexcept { return g_map; }
void InvalidateMemoryMap() noexcept { g_map.Invalidate(); }

bool InstallMemoryMapProbes() noexcept {
  if (g_installed) return false;
  g_map.Invalidate();
  g_before = SetTraceProbes({MemoryMapReadable, MemoryMapExecutable});
  g_installed = true;
  return true;
}

void RemoveMemoryMapProbes() noexcept {
  if (!g_installed) return;
  const TTraceProbes current = SetTraceProbes(g_before);
  // Whoever replaced the map's probes since keeps the slot.
  if (current.Readable != MemoryMapReadable || current.Executable != MemoryMapExecutable) SetTraceProbes(current);
  g_installed = false;
  g_map.Invalidate();
}

bool MemoryMapProbesInstalled() noexcept { return g_installed; }

void InstallStackProbes(bool slow_and_safe) noexcept {
  // Without a thread slot the walks keep the live probes: slower, not wrong.
  if (slow_and_safe) {
    InstallCachedTraceProbes();
  } else {
    InstallMemoryMapProbes();
  }
}

void RemoveStackProbes() noexcept {
  RemoveMemoryMapProbes();
  RemoveCachedTraceProbes();
}

}  // namespace zelvic::diag
