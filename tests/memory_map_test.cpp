// The memory map of the fast readability test: its answers against
// protections the tests set themselves, and what it keeps.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/memory_access.h"
#include "platform/memory_map.h"

namespace zelvic::platform {
namespace {

std::uint32_t Addr(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

constexpr std::uint32_t kData = memory::kDefaultReadableMask;
constexpr std::uint32_t kCode = memory::kCodeMask;

// Eight pages laid out by hand, each with the protection named below.
class LaidPages {
 public:
  LaidPages() : base_(static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x8000, MEM_RESERVE, PAGE_NOACCESS))) {
    Commit(0, PAGE_READWRITE);
    Commit(1, PAGE_READONLY);
    Commit(2, PAGE_NOACCESS);
    Commit(3, PAGE_READWRITE | PAGE_GUARD);
    Commit(4, PAGE_EXECUTE_READ);
    Commit(5, PAGE_READWRITE);
    // page 6 stays reserved only
    Commit(7, PAGE_EXECUTE_READWRITE);
  }
  ~LaidPages() { VirtualFree(base_, 0, MEM_RELEASE); }
  LaidPages(const LaidPages&) = delete;
  LaidPages& operator=(const LaidPages&) = delete;
  std::uint32_t At(std::uint32_t offset) const { return Addr(base_) + offset; }
  void Protect(int page, DWORD protect) {
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(base_ + 0x1000 * page, 0x1000, protect, &old));
  }

 private:
  void Commit(int n, DWORD protect) { ASSERT_NE(VirtualAlloc(base_ + 0x1000 * n, 0x1000, MEM_COMMIT, protect), nullptr); }
  std::uint8_t* base_;
};

// Counts what reaches the system.
class CountingQuery final : public memory::TRegionQuery {
 public:
  bool QueryRegion(std::uint32_t address, memory::TRegionInfo& info) const override {
    ++asked;
    return system.QueryRegion(address, info);
  }
  TVirtualQueryRegions system;
  mutable int asked = 0;
};

struct MapCase {
  const char* what;
  std::uint32_t offset;
  std::uint32_t size;
  std::uint32_t attributes;
  std::uint32_t valid;  // worked out from the protections above
};

TEST(MemoryMap, CountsTheBytesInConsecutiveRegionsWithTheAskedProtection) {
  const LaidPages pages;
  const MapCase cases[] = {
      {"read-write", 0x10, 0x100, kData, 0x100},
      {"read-write into read-only", 0x800, 0x1000, kData, 0x1000},
      {"read-only into no-access stops there", 0x800, 0x2000, kData, 0x1800},
      {"no-access", 0x2000, 4, kData, 0},
      {"guard", 0x3000, 4, kData, 0},
      {"execute-read as code", 0x4000, 0x10, kCode, 0x10},
      {"execute-read into read-write as code", 0x4FF0, 0x20, kCode, 0x10},
      {"execute-read into read-write as data", 0x4FF0, 0x20, kData, 0x20},
      {"read-only is no code", 0x1000, 4, kCode, 0},
      {"read-write into reserved", 0x5FF8, 0x10, kData, 8},
      {"reserved", 0x6000, 4, kData, 0},
      {"execute-read-write", 0x7000, 8, kCode, 8},
      {"past the reservation", 0x7FFC, 8, kCode, 4},
      {"nothing asked", 0x10, 0, kData, 0},
  };
  CountingQuery query;
  TMemoryMap map(query);
  // Twice: the second round answers partly from what the first one kept.
  for (int round = 0; round < 2; ++round) {
    for (const MapCase& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(map.GetValidAddr(pages.At(c.offset), c.size, c.attributes), c.valid);
    }
  }
}

TEST(MemoryMap, NothingInTheFirstPageOrAtTheTopIsValid) {
  CountingQuery query;
  TMemoryMap map(query);
  EXPECT_EQ(map.GetValidAddr(0, 4, kData), 0u);
  EXPECT_EQ(map.GetValidAddr(0x1000, 4, kData), 0u);
  EXPECT_EQ(map.GetValidAddr(0xFFFFFFF0u, 0x100, kData), 0u);
  EXPECT_EQ(query.asked, 1) << "the first page is never asked about";
}

// An image's regions and unreadable regions are kept; a readable private
// region is asked about every time, because another thread may free it.
TEST(MemoryMap, KeepsOnlyAnswersThatCannotTurnIntoAFault) {
  LaidPages pages;
  CountingQuery query;
  TMemoryMap map(query);
  const std::uint32_t code = Addr(reinterpret_cast<const void*>(&Addr));
  ASSERT_EQ(map.GetValidAddr(code, 4, kCode), 4u);
  ASSERT_EQ(map.GetValidAddr(pages.At(0x2000), 4, kData), 0u);
  ASSERT_EQ(map.GetValidAddr(pages.At(0x10), 4, kData), 4u);
  EXPECT_EQ(query.asked, 3);
  EXPECT_EQ(map.Count(), 2u);
  EXPECT_EQ(map.GetValidAddr(code + 16, 4, kCode), 4u);
  EXPECT_EQ(map.GetValidAddr(pages.At(0x2010), 4, kData), 0u);
  EXPECT_EQ(query.asked, 3) << "image and no-access answers come from the map";
  pages.Protect(0, PAGE_NOACCESS);
  EXPECT_EQ(map.GetValidAddr(pages.At(0x10), 4, kData), 0u) << "a private page is asked about again";
  EXPECT_EQ(query.asked, 4);
  map.Invalidate();
  EXPECT_EQ(map.Count(), 0u);
  EXPECT_EQ(map.GetValidAddr(code, 4, kCode), 4u);
  EXPECT_EQ(query.asked, 5);
}

// A fake address space of 2,000 one-page regions, every other one an image
// page, the rest unreadable: more than the map holds. Asked in a scattered
// order, every answer follows the fake's rule, and the map never holds more
// than its capacity.
class StripedRegions final : public memory::TRegionQuery {
 public:
  static constexpr std::uint32_t kBase = 0x10000000;
  bool QueryRegion(std::uint32_t address, memory::TRegionInfo& info) const override {
    info.BaseAddress = address & ~0xFFFu;
    info.RegionSize = 0x1000;
    info.State = memory::kMemCommit;
    const bool odd = ((address - kBase) >> 12) % 2 == 1;
    info.Protect = odd ? memory::kPageExecuteRead : memory::kPageNoAccess;
    info.Image = odd;
    return true;
  }
};

TEST(MemoryMap, AFullMapStartsAgainAndStillAnswersRight) {
  StripedRegions query;
  TMemoryMap map(query);
  for (std::uint32_t k = 0; k < 2000; ++k) {
    const std::uint32_t page = (k * 769) % 2000;  // 769 is prime to 2000: every page once
    const std::uint32_t address = StripedRegions::kBase + page * 0x1000 + 0x40;
    ASSERT_EQ(map.GetValidAddr(address, 8, kCode), page % 2 == 1 ? 8u : 0u) << page;
    ASSERT_LE(map.Count(), TMemoryMap::kCapacity);
  }
  for (std::uint32_t page = 0; page < 2000; page += 7) {
    const std::uint32_t address = StripedRegions::kBase + page * 0x1000;
    ASSERT_EQ(map.GetValidAddr(address, 4, kCode), page % 2 == 1 ? 4u : 0u) << page;
  }
}

}  // namespace
}  // namespace zelvic::platform
