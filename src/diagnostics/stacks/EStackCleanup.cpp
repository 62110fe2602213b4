#include "diagnostics/stacks/EStackCleanup.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/EStrings.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

// Fixed names as views of known length: no length count at each comparison.
using namespace std::string_view_literals;

// Unit and routine names: case folded without the user's locale, so that the
// clean-up gives the same answer on every machine.
// Views: a routine name compared with a fixed name makes no copy of either.
bool SameText(std::wstring_view a, std::wstring_view b) noexcept {
  return EqualIgnoringCase(a, b, TCaseFolding::Latin1);
}

bool Is(std::wstring_view name, std::wstring_view expected) noexcept { return SameText(name, expected); }

// Unit and routine of a call site against those of a call's target.
bool SameRoutine(const TVLLocationInfo& a, const TVLLocationInfo& b) noexcept {
  return SameText(a.UnitName, b.UnitName) && SameText(a.ProcedureName, b.ProcedureName);
}

bool LookupLive(void*, std::uint32_t address, TVLLocationInfo& info) {
  return LookupLocationInfo(address, info);
}

// What a walk learnt about one address: whether the lookup found it and
// named a routine, and which item keeps its texts.
struct TKnown {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::uint32_t address = 0;
  bool found = false;
  bool named = false;  // found, with a routine name: what a raw candidate needs
  std::size_t site_holder = kNone;    // an item whose Location is this address's
  std::size_t target_holder = kNone;  // an item whose TargetLocation is
};

// Values by address in one block, for the few hundred addresses a walk or a
// clean-up meets: a node per address would cost the allocator more than the
// work done with it. Entries are never removed.
template <typename T>
class TAddressTable {
 public:
  explicit TAddressTable(std::size_t expected) : slots_(SizeFor(expected)) {}

  // The value of `address`, value-initialised when it was just added. The
  // table may grow, so a value is not kept across the next Find.
  std::pair<T*, bool> Find(std::uint32_t address) {
    // 0 marks an empty slot; its value is kept apart.
    if (address == 0) {
      const bool added = !zero_used_;
      zero_used_ = true;
      return {&zero_, added};
    }
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    TSlot* slot = Slot(address);
    if (slot->key == address) return {&slot->value, false};
    slot->key = address;
    ++used_;
    return {&slot->value, true};
  }

 private:
  struct TSlot {
    std::uint32_t key = 0;
    T value{};
  };
  static std::size_t SizeFor(std::size_t expected) {
    std::size_t size = 64;
    while (size < expected * 2) size *= 2;
    return size;
  }
  TSlot* Slot(std::uint32_t address) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = (address * 2654435761u) & mask;; i = (i + 1) & mask) {
      if (slots_[i].key == address || slots_[i].key == 0) return &slots_[i];
    }
  }
  void Grow() {
    std::vector<TSlot> old(slots_.size() * 2);
    old.swap(slots_);
    for (TSlot& s : old) {
      if (s.key != 0) *Slot(s.key) = std::move(s);
    }
  }

  std::vector<TSlot> slots_;
  std::size_t used_ = 0;
  T zero_{};
  bool zero_used_ = false;
};

struct TCollector {
  TCollector(std::vector<TStackItem>& items_, std::uint32_t offset_, const memory::TMemoryAccess& code_,
             const TLocationLookup& lookup_) noexcept
      : items(items_), offset(offset_), code(code_), lookup(lookup_) {}

  std::vector<TStackItem>& items;
  std::uint32_t offset;
  const memory::TMemoryAccess& code;
  const TLocationLookup& lookup;

  // A stack repeats its call sites (recursion, loops of callbacks): each is
  // looked up once per walk. The lookups write into one scratch record that
  // keeps its buffers, and texts are copied only into items that are kept:
  // most raw candidates are turned away, and every text of a fresh record
  // is a block for the allocator. A later item with the same address copies
  // the texts from the item that kept them first.
  TAddressTable<TKnown> known{512};
  TVLLocationInfo scratch;
  bool scratch_held = false;  // `scratch` holds the texts of `scratch_address`
  std::uint32_t scratch_address = 0;

  void LookUp(std::uint32_t address, TKnown* k) {
    scratch.Clear();
    const bool found = lookup.Lookup != nullptr && lookup.Lookup(lookup.Data, address, scratch);
    scratch.Address = address;
    scratch_address = address;
    scratch_held = true;
    if (k != nullptr) {
      k->found = found;
      k->named = found && !scratch.ProcedureName.empty();
    }
  }

  // The record of `address`, looked up when it is new. The table may grow,
  // so a record is not kept across the next Find.
  TKnown& Find(std::uint32_t address) {
    const auto [k, added] = known.Find(address);
    if (added) {
      k->address = address;
      LookUp(address, k);
    }
    return *k;
  }

  // The texts of an address no item holds yet.
  TVLLocationInfo& Scratch(std::uint32_t address) {
    if (!scratch_held || scratch_address != address) LookUp(address, nullptr);
    return scratch;
  }

  void TakeLocation(TKnown& k, std::size_t index) {
    TVLLocationInfo& to = items[index].Location;
    if (k.site_holder != TKnown::kNone) {
      to = items[k.site_holder].Location;
      return;
    }
    // The item takes the buffers over; the scratch record gets them anew.
    to = std::move(Scratch(k.address));
    scratch_held = false;
    k.site_holder = index;
  }

  void SetTarget(std::size_t index, std::uint32_t site) {
    TStackItem& item = items[index];
    item.Target = site != item.Address ? disasm::GetCallTarget(code, site) : 0;
    // A target outside code has no location; asking would cost the lookup a
    // search of the module list for nothing.
    item.TargetLocation.Clear();
    if (item.Target == 0 || !PageExecutable(item.Target)) return;
    TKnown& k = Find(item.Target);
    if (k.site_holder != TKnown::kNone) {
      CopyRoutine(items[k.site_holder].Location, item.TargetLocation);
    } else if (k.target_holder != TKnown::kNone) {
      CopyRoutine(items[k.target_holder].TargetLocation, item.TargetLocation);
    } else {
      CopyRoutine(Scratch(k.address), item.TargetLocation);
      k.target_holder = index;
    }
  }

  // A target's location is only compared by module, unit and routine; its
  // file names would cost a copy each on every kept item and are never read.
  static void CopyRoutine(const TVLLocationInfo& from, TVLLocationInfo& to) {
    to.Address = from.Address;
    to.Module = from.Module;
    to.UnitName = from.UnitName;
    to.ClassName = from.ClassName;
    to.ProcedureName = from.ProcedureName;
    to.DebugDetail = from.DebugDetail;
  }
};

bool CollectCandidate(std::uint32_t slot, std::uint32_t value, std::uint32_t site, void* data, bool is_frame) {
  TCollector& c = *static_cast<TCollector*>(data);
  if (!is_frame && site == value) return true;
  TKnown& at_site = c.Find(site);
  if (!is_frame && !at_site.named) return true;
  if (!c.items.empty() && c.items.back().Address == value) return true;
  const std::size_t index = c.items.size();
  c.items.emplace_back();
  c.TakeLocation(at_site, index);
  TStackItem& item = c.items.back();
  item.Address = value;
  item.Stack = slot - c.offset;
  item.Protect = is_frame;
  c.SetTarget(index, site);
  // A call that seems to land in its own routine is more likely a shorter
  // instruction read inside a longer one: try the longest call that ends
  // here.
  if (item.Target != 0 && item.Location.Module == item.TargetLocation.Module && SameRoutine(item.Location, item.TargetLocation)) {
    const std::uint32_t longest = disasm::FindLongestCallBefore(c.code, value, site);
    if (longest != site) c.SetTarget(index, longest);
  }
  return true;
}

// The live items' indices.
std::vector<std::size_t> LiveIndices(const std::vector<TStackItem>& items) {
  std::vector<std::size_t> live;
  live.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].Deleted) live.push_back(i);
  }
  return live;
}

bool SameCall(const TStackItem& a, const TStackItem& b) noexcept {
  if (a.Address == b.Address) return true;
  if (a.Location.Address != 0 && a.Location.Address == b.Location.Address) return true;
  if (a.Location.Module != b.Location.Module || !SameText(a.Location.UnitName, b.Location.UnitName)) return false;
  if (a.Location.LineNumber != 0 || b.Location.LineNumber != 0) return a.Location.LineNumber == b.Location.LineNumber;
  // Without lines only a named routine says two sites are one call: two
  // sites of which nothing is known are not the same call.
  return !a.Location.ProcedureName.empty() && SameText(a.Location.ClassName, b.Location.ClassName) &&
         SameText(a.Location.ProcedureName, b.Location.ProcedureName);
}

// A repeated block is looked for at this many earlier occurrences of the
// newest address; more would only find periods that contain one address
// many times, which recursion does not make.
constexpr int kRepeatCandidates = 8;

}  // namespace

TLocationLookup LiveLocationLookup() noexcept { return {LookupLive, nullptr}; }

std::vector<TStackItem> CollectV7(const TStackRange& range, std::uint32_t offset, const memory::TMemoryAccess& code,
                                  const TLocationLookup& lookup) {
  std::vector<TStackItem> items;
  // Room for a common stack's items: an item is large, and each growth
  // moves every item made so far.
  constexpr std::size_t kCommonItems = 256;
  const std::size_t slots = range.Top > range.Start ? (range.Top - range.Start) / 4 : 0;
  items.reserve(std::min(slots, kCommonItems));
  TCollector collector(items, offset, code, lookup);
  // Each live lookup takes the module list's lock; held for the whole walk,
  // a lookup only counts itself in again. Both lists are made before it is
  // taken: making one takes the global lock, which is never taken inside
  // the module list's.
  std::optional<TModulesListGuard> lookups_session;
  if (lookup.Lookup == LookupLive && DebugInfoList() != nullptr &&
      (rt::IsShuttingDown || GetModulesList() != nullptr)) {
    lookups_session.emplace();
  }
  WalkCallSitesV7(CollectCandidate, &collector, range);
  return items;
}

void CutAtThreadStart(std::vector<TStackItem>& items, std::uint32_t call_site) {
  if (call_site == 0) return;
  const std::size_t count = items.size();
  for (std::size_t i = count; i-- > 1;) {
    TStackItem& item = items[i];
    if (item.Deleted || item.Location.Address != call_site) continue;
    if (!item.Protect && !(i + 10 > count && Is(items[i - 1].Location.ProcedureName, L"Initialization"sv))) continue;
    item.Protect = true;
    items.resize(i + 1);
    return;
  }
}

void ProtectAnchors(std::vector<TStackItem>& items, const TCleanupParams& params) {
  const std::size_t count = items.size();
  if (count == 0) return;
  // (a) The call that led to the first address: the nearest target below it.
  if (params.FirstAddress != 0) {
    std::size_t best = count;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t t = items[i].Target;
      if (t != 0 && t < params.FirstAddress && (best == count || t > items[best].Target)) best = i;
    }
    if (best != count) {
      items[best].Protect = true;
      if (best > 1) items[best - 1].Protect = true;
    }
  }
  // (b) Frames of the runtime's own hand-over points.
  for (std::size_t i = 1; i < count; ++i) {
    const TVLLocationInfo& here = items[i].Location;
    const bool auto_exception = Is(here.ProcedureName, L"_HandleAutoException"sv) &&
                                Is(items[i - 1].Location.ProcedureName, L"Free"sv);
    const bool synchronize = (Is(here.ProcedureName, L"CheckSynchronize"sv) || Is(here.ProcedureName, L"Synchronize"sv)) &&
                             (Is(here.UnitName, L"Classes"sv) || Is(here.UnitName, L"System.Classes"sv));
    if (auto_exception || synchronize) items[i - 1].Protect = items[i].Protect = true;
  }
  // (c) A unit's start-up or shut-down code near the bottom of the stack.
  if (count >= 2) {
    const std::size_t last = count - 1;
    const std::size_t lowest = last >= 6 ? last - 6 : 0;
    bool runner_found = false;
    for (std::size_t i = last; i-- > lowest;) {
      const TVLLocationInfo& l = items[i].Location;
      if ((!l.UnitName.empty() && SameText(l.UnitName, l.ProcedureName)) || Is(l.ProcedureName, L"initialization"sv) ||
          Is(l.ProcedureName, L"finalization"sv)) {
        items[i].Protect = true;
        break;
      }
      if (!runner_found && Is(l.UnitName, L"System"sv) &&
          (Is(l.ProcedureName, L"InitUnits"sv) || Is(l.ProcedureName, L"FinalizeUnits"sv))) {
        items[i].Protect = true;
        runner_found = true;
      }
    }
  }
  // (d) The routine that called the allocator.
  if (params.AllocationFrame != 0) {
    for (std::size_t i = count; i-- > 0;) {
      if (items[i].Stack != 0 && items[i].Stack <= params.AllocationFrame) {
        items[i].Protect = true;
        if (i > 0) items[i - 1].Protect = true;
        break;
      }
    }
  }
}

void RemoveNeighbourDuplicates(std::vector<TStackItem>& items) {
  const std::vector<std::size_t> live = LiveIndices(items);
  if (live.empty()) return;
  std::size_t previous = live[0];
  for (std::size_t k = 1; k < live.size(); ++k) {
    TStackItem& a = items[previous];
    TStackItem& b = items[live[k]];
    if (!SameCall(a, b)) {
      previous = live[k];
      continue;
    }
    if (!a.Protect && !(b.Target == 0 && a.Target != 0)) {
      a.Deleted = true;
      previous = live[k];
    } else if (!b.Protect) {
      b.Deleted = true;
    } else {
      previous = live[k];
    }
  }
}

void CheckChainsBetweenAnchors(std::vector<TStackItem>& items) {
  std::vector<std::size_t> live = LiveIndices(items);
  // Forward: each call must land in the routine of the call kept before it.
  // A target whose routine is unknown says nothing and restarts the chain.
  for (std::size_t k = 0; k < live.size(); ++k) {
    if (!items[live[k]].Protect) continue;
    std::size_t kept = live[k];
    for (std::size_t j = k + 1; j < live.size() && !items[live[j]].Protect; ++j) {
      TStackItem& item = items[live[j]];
      if (item.Target == 0 || item.TargetLocation.ProcedureName.empty() ||
          SameRoutine(item.TargetLocation, items[kept].Location)) {
        kept = live[j];
      } else {
        item.Deleted = true;
      }
    }
  }
  // Backward: the items between an anchor and the nearest earlier item in
  // the routine the anchor calls are no calls of this stack. The search stops
  // at the previous anchor, and deletes nothing when it finds no such item.
  live = LiveIndices(items);
  for (std::size_t k = 0; k < live.size(); ++k) {
    const TStackItem& anchor = items[live[k]];
    if (!anchor.Protect || anchor.Target == 0 || anchor.TargetLocation.ProcedureName.empty()) continue;
    std::size_t match = k;
    for (std::size_t j = k; j-- > 0;) {
      if (SameRoutine(items[live[j]].Location, anchor.TargetLocation)) {
        match = j;
        break;
      }
      if (items[live[j]].Protect) break;
    }
    if (match == k) continue;
    for (std::size_t j = match + 1; j < k; ++j) {
      if (!items[live[j]].Protect) items[live[j]].Deleted = true;
    }
  }
}

// One pass from the innermost item outwards, keeping the items kept so far
// on a stack: after each push, a block that repeats the one before it ends
// at the top, and is popped. The top then ends the prefix that was already
// free of repeats, so one pass reaches what repeating the step until nothing
// changes would. Each comparison either fails or is paid for by the items a
// pop removes, which keeps deep recursion linear.
void RemoveRepeatedBlocks(std::vector<TStackItem>& items) {
  const std::vector<std::size_t> live = LiveIndices(items);
  std::vector<std::size_t> kept;            // indices into items
  std::vector<std::ptrdiff_t> earlier;      // per kept position: previous position of the same address
  std::vector<std::size_t> protected_upto;  // per kept position: protected items at or below it
  // Per address, the newest kept position that holds it; -1 for none.
  TAddressTable<std::ptrdiff_t> newest(live.size());
  const auto newest_of = [&newest](std::uint32_t a) -> std::ptrdiff_t& {
    const auto [position, added] = newest.Find(a);
    if (added) *position = -1;
    return *position;
  };
  kept.reserve(live.size());
  earlier.reserve(live.size());
  protected_upto.reserve(live.size());
  const auto address = [&](std::ptrdiff_t p) { return items[kept[static_cast<std::size_t>(p)]].Address; };
  for (const std::size_t index : live) {
    const std::uint32_t a = items[index].Address;
    const std::ptrdiff_t before = newest_of(a);
    const std::size_t protected_below = protected_upto.empty() ? 0 : protected_upto.back();
    kept.push_back(index);
    earlier.push_back(before);
    protected_upto.push_back(protected_below + (items[index].Protect ? 1 : 0));
    newest_of(a) = static_cast<std::ptrdiff_t>(kept.size() - 1);
    const auto top = static_cast<std::ptrdiff_t>(kept.size() - 1);
    std::ptrdiff_t q = before;
    for (int tries = 0; q >= 0 && tries < kRepeatCandidates; ++tries, q = earlier[static_cast<std::size_t>(q)]) {
      const std::ptrdiff_t j = top - q;
      if (q + 1 < j) break;  // farther occurrences only give longer periods
      // The j items up to each occurrence are equal: (q - j, q] repeats as
      // (q, top].
      std::ptrdiff_t i = q - 1;
      while (i > q - j && address(i) == address(i + j)) --i;
      if (i > q - j) continue;
      // A block holding a protected item stays whole.
      if (protected_upto[static_cast<std::size_t>(top)] != protected_upto[static_cast<std::size_t>(q)]) continue;
      for (std::ptrdiff_t p = top; p > q; --p) {
        const std::size_t pos = static_cast<std::size_t>(p);
        items[kept[pos]].Deleted = true;
        const std::uint32_t gone = items[kept[pos]].Address;
        newest_of(gone) = earlier[pos];
        kept.pop_back();
        earlier.pop_back();
        protected_upto.pop_back();
      }
      break;
    }
  }
}

void CleanStackItems(std::vector<TStackItem>& items, const TCleanupParams& params) {
  CutAtThreadStart(items, params.ThreadStartCallSite);
  ProtectAnchors(items, params);
  if (params.MergeNeighbours) RemoveNeighbourDuplicates(items);
  CheckChainsBetweenAnchors(items);
  RemoveRepeatedBlocks(items);
  std::erase_if(items, [](const TStackItem& item) { return item.Deleted; });
}

}  // namespace zelvic::diag
