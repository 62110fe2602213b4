// A small fake address space for decoder tests: committed regions with bytes
// and a protection each, served through the same region walk the platform
// adapter uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "EDisAsm.h"

namespace zelvic::disasm::testing {

// "E8 FB FF FF FF" or "e8fbffffff" -> bytes.
inline std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  int hi = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

class TFakeProcess final : public TMemoryAccess, public TRegionQuery {
 public:
  struct TRegion {
    std::uint32_t Base;
    std::vector<std::uint8_t> Data;
    std::uint32_t Protect;
    std::uint32_t State = kMemCommit;
  };

  // Adds a region; regions must not overlap. Returns its base.
  std::uint32_t Add(std::uint32_t base, std::vector<std::uint8_t> data, std::uint32_t protect,
                    std::uint32_t state = kMemCommit) {
    regions_.push_back({base, std::move(data), protect, state});
    return base;
  }
  std::uint32_t AddCode(std::uint32_t base, const std::string& hex) {
    return Add(base, Bytes(hex), kPageExecuteRead);
  }
  void Poke32(std::uint32_t address, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) *At(address + k) = static_cast<std::uint8_t>(value >> (8 * k));
  }

  TAddressSpace space;
  mutable int queries = 0;

  bool QueryRegion(std::uint32_t address, TRegionInfo& info) const override {
    ++queries;
    for (const TRegion& r : regions_) {
      if (address >= r.Base && address - r.Base < r.Data.size()) {
        info.BaseAddress = r.Base;
        info.RegionSize = static_cast<std::uint32_t>(r.Data.size());
        info.State = r.State;
        info.Protect = r.Protect;
        return true;
      }
    }
    // Free memory: one region up to the next mapped one, as the platform reports it.
    info.BaseAddress = address & ~0xFFFu;
    info.RegionSize = 0x1000;
    info.State = 0x10000;  // free
    info.Protect = kPageNoAccess;
    return true;
  }

  std::uint32_t CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const override {
    return CanReadRegions(*this, space, address, count, mask);
  }

  std::uint32_t Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const override {
    std::uint32_t k = 0;
    for (; k < count; ++k) {
      const std::uint8_t* b = Find(address + k);
      if (b == nullptr) break;
      dst[k] = *b;
    }
    return k;
  }

 private:
  const std::uint8_t* Find(std::uint32_t address) const {
    for (const TRegion& r : regions_)
      if (address >= r.Base && address - r.Base < r.Data.size() && r.State == kMemCommit &&
          (r.Protect & (kDefaultReadableMask | kPageExecute)) != 0)
        return &r.Data[address - r.Base];
    return nullptr;
  }
  std::uint8_t* At(std::uint32_t address) {
    for (TRegion& r : regions_)
      if (address >= r.Base && address - r.Base < r.Data.size()) return &r.Data[address - r.Base];
    return nullptr;
  }
  std::vector<TRegion> regions_;
};

}  // namespace zelvic::disasm::testing
