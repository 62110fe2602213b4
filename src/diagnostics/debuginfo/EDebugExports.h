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
#include "diagnostics/debuginfo/EPEImage.h"
#include "diagnostics/util/EDisAsm.h"

namespace zelvic::diag {

// Past this many bytes from the nearest export, and not provably inside it,
// an address is not named after it.
inline constexpr std::int64_t kMaxExportGuessDistance = 10240;

struct TVLExportName {
  // Entry address after following a jump stub.
  std::uintptr_t Address = 0;
  std::wstring UnitName;
  std::wstring ProcName;
};

// Addr lies in the routine that begins at Start: every byte between them is
// executable and decoding from Start reaches Addr - 1 without a return, a
// breakpoint or a jump that leaves (E9, FF).
bool IsInsideProcedure(const disasm::TMemoryAccess& memory, std::uintptr_t addr, std::uintptr_t start) noexcept;
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
  bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) override;
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return Class; }

  // The entries, built on first use.
  const std::vector<TVLExportName>& Names();

  static const TVLDebugInfoSourceClass Class;

 private:
  void BuildNameCache();

  std::unique_ptr<TVLPeBorImage> FBorImage;
  std::vector<TVLExportName> FNames;
  bool FCached = false;
};

// The unit's steps: register and unregister the export source.
void EDebugExportsInit();
void EDebugExportsDone();

}  // namespace zelvic::diag
