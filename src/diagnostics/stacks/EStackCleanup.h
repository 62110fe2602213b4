// The v7 collector and its clean-up: a walk of method 5 turned into located
// items, then cleaned of what a raw scan finds that is no call of this stack
// (stale return addresses, repeated blocks of a recursion).
//
// The clean-up is a plain function over an item array; a call-stack list
// calls it with its own first address and thread facts, and tests call it
// with fixed items.
#pragma once

#include <cstdint>
#include <vector>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/util/EDisAsm.h"

namespace zelvic::diag {

struct TStackItem {
  std::uint32_t Address = 0;  // the return address found
  std::uint32_t Stack = 0;    // its slot, less the stack offset
  std::uint32_t Target = 0;   // the call's target, 0 when unknown
  TVLLocationInfo Location;        // of the call site
  // The target's address, module, unit, class and routine; empty without a
  // target.
  TVLLocationInfo TargetLocation;
  bool Protect = false;
  bool Deleted = false;
};

// Where the collector learns locations; the live one is LookupLocationInfo.
struct TLocationLookup {
  bool (*Lookup)(void* data, std::uint32_t address, TVLLocationInfo& info) = nullptr;
  void* Data = nullptr;
};
TLocationLookup LiveLocationLookup() noexcept;

// Walks `range` with method 5 and makes the items: a raw candidate needs a
// call site before it with a located, named routine; a frame's return is
// always taken. `code` is the memory the call sites are decoded from.
std::vector<TStackItem> CollectV7(const TStackRange& range, std::uint32_t offset, const memory::TMemoryAccess& code,
                                  const TLocationLookup& lookup);

struct TCleanupParams {
  // The exact first address of the list, 0 when none.
  std::uint32_t FirstAddress = 0;
  // The call site inside the platform's thread-start routine, 0 when
  // unknown.
  std::uint32_t ThreadStartCallSite = 0;
  // The frame of an allocation in progress on this thread, 0 when none.
  std::uint32_t AllocationFrame = 0;
  // The requested details name more than the module: neighbours of the same
  // call are merged.
  bool MergeNeighbours = true;
};

// The six clean-up steps. The items that remain are the live ones, in
// order; the entry of the first address is the list's to add.
void CleanStackItems(std::vector<TStackItem>& items, const TCleanupParams& params);

// The steps one by one, for tests; each works on the live items.
void CutAtThreadStart(std::vector<TStackItem>& items, std::uint32_t call_site);
void ProtectAnchors(std::vector<TStackItem>& items, const TCleanupParams& params);
void RemoveNeighbourDuplicates(std::vector<TStackItem>& items);
void CheckChainsBetweenAnchors(std::vector<TStackItem>& items);
void RemoveRepeatedBlocks(std::vector<TStackItem>& items);

}  // namespace zelvic::diag
