#include "diagnostics/reports/EReportFacts.h"

#include <algorithm>
#include <cstring>

namespace zelvic::diag {

// The blocks as the decoder's memory: every byte of a committed block with
// a readable protection counts as readable, anything else not.
class TFixedReportFacts::TBlocksMemory final : public memory::TMemoryAccess {
 public:
  explicit TBlocksMemory(const std::vector<TBlock>& blocks) : blocks_(blocks) {}

  std::uint32_t CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const override {
    if (mask == 0) mask = memory::kDefaultReadableMask;
    const TBlock* block = Find(address);
    if (block == nullptr || (block->Region.Protect & mask) == 0 || block->Region.State != memory::kMemCommit) return 0;
    // As the live test: a range that does not fit wholly reads as nothing.
    const std::uint64_t end = static_cast<std::uint64_t>(address) + count;
    return end <= static_cast<std::uint64_t>(block->Base) + block->Bytes.size() ? count : 0;
  }

  std::uint32_t Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const override {
    std::uint32_t done = 0;
    while (done < count) {
      const TBlock* block = Find(address + done);
      if (block == nullptr) break;
      const std::uint32_t from = address + done - block->Base;
      const std::uint32_t n =
          std::min<std::uint32_t>(count - done, static_cast<std::uint32_t>(block->Bytes.size()) - from);
      std::memcpy(dst + done, block->Bytes.data() + from, n);
      done += n;
    }
    return done;
  }

  const TBlock* Find(std::uint32_t address) const noexcept {
    for (const TBlock& b : blocks_) {
      if (address >= b.Base && address - b.Base < b.Bytes.size()) return &b;
    }
    return nullptr;
  }

 private:
  const std::vector<TBlock>& blocks_;
};

TFixedReportFacts::TFixedReportFacts()
    : OptionsValue(std::make_unique<TVarnelModuleOptions>()), memory_(std::make_unique<TBlocksMemory>(Blocks)) {}

TFixedReportFacts::~TFixedReportFacts() = default;

const memory::TMemoryAccess& TFixedReportFacts::Memory() { return *memory_; }

std::wstring TFixedReportFacts::ResolveVariable(const std::wstring& name) {
  const auto it = Variables.find(name);
  return it == Variables.end() ? std::wstring() : it->second;
}

bool TFixedReportFacts::NetworkInfo(TNetworkTexts& texts) {
  ++NetworkQueries;
  texts = Network.value_or(TNetworkTexts{});
  return Network.has_value();
}

bool TFixedReportFacts::QueryRegion(std::uint32_t address, TReportRegion& region) {
  const TBlock* block = memory_->Find(address);
  if (block == nullptr) {
    // Outside every block: free address space up to the next block.
    region = {};
    region.BaseAddress = address & ~0xFFFu;
    region.State = 0x10000;
    region.Protect = memory::kPageNoAccess;
    region.RegionSize = 0x1000;
    return true;
  }
  region = block->Region;
  return true;
}

bool TFixedReportFacts::Locate(std::uint32_t address, TVLLocationInfo& location) {
  location = {};
  location.Address = address;
  return Locator && Locator(address, location);
}

std::wstring TFixedReportFacts::ObjectClassName(std::uint32_t address) {
  const auto it = Objects.find(address);
  return it == Objects.end() ? std::wstring() : it->second;
}

}  // namespace zelvic::diag
