// The export table of a module as a debug-information source: a heuristic
// that names an address after the nearest exported routine below it, and says
// "possible" when it cannot show that the address lies inside that routine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EExportIndex.h"
#include "diagnostics/debuginfo/EPEImage.h"
#include "diagnostics/util/EDisAsm.h"
#include "platform/memory_access.h"

namespace zelvic::diag {

// The same test over the process's live memory.
bool IsInsideProcedure(std::uintptr_t addr, std::uintptr_t start) noexcept;

// The scan of the export source over entries in export order: fills the
// name fields of `info` and answers whether the address is named.
using TInsideTest = std::function<bool(std::uintptr_t addr, std::uintptr_t start)>;
bool LocateInExportNames(std::span<const TVLExportName> names, std::uintptr_t addr, const TInsideTest& inside,
                         TVLDebugInfoSource* source, TVLLocationInfo& info);

class TVLDebugInfoExports : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  ~TVLDebugInfoExports() override;

  bool InitializeSource() override;
  // Through the index while the loader generation holds, else by the scan.
  bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) override;
  // The scan over every entry, deciding each with live memory: what the index
  // must answer.
  bool ScanLocationInfo(std::uintptr_t addr, TVLLocationInfo& info);
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return Class; }

  // The entries, built on first use.
  const std::vector<TVLExportName>& Names();
  // The loader generation the index was built under; 0 when there is none.
  std::uint32_t IndexGeneration() const noexcept { return FIndexGeneration; }

  static const TVLDebugInfoSourceClass Class;

 private:
  void BuildNameCache();
  // The record's fields every answer starts from.
  void StartRecord(std::uintptr_t addr, TVLLocationInfo& info) const;
  const TVLExportIndex& Index(std::uint32_t generation);

  std::unique_ptr<TVLPeBorImage> FBorImage;
  std::vector<TVLExportName> FNames;
  bool FCached = false;
  platform::TVirtualQueryRegions FRegionQuery;
  TVLExportIndex FIndex{FRegionQuery};
  std::uint32_t FIndexGeneration = 0;
};

// The unit's steps: register and unregister the export source.
void EDebugExportsInit();
void EDebugExportsDone();

}  // namespace zelvic::diag
