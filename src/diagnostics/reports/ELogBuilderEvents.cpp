#include "diagnostics/reports/ELogBuilderEvents.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "diagnostics/config/EConfig.h"

namespace zelvic::diag {
namespace {

using TList = std::vector<TLogBuilderHandler>;
// Made on first registration, under the global lock.
std::unique_ptr<std::array<TList, 2>> g_lists;
TLogBuilderEventDispatch g_dispatch = DispatchOwnLogBuilderEvent;

TList* ListOf(int list) {
  if (g_lists == nullptr || (list != kBeforeBuildEvent && list != kAfterBuildEvent)) return nullptr;
  return &(*g_lists)[static_cast<std::size_t>(list - kBeforeBuildEvent)];
}

}  // namespace

void RegisterLogBuilderHandler(int list, TLogBuilderHandler handler, bool first) {
  if (list != kBeforeBuildEvent && list != kAfterBuildEvent) return;
  TGlobalWriteLock lock;
  if (g_lists == nullptr) g_lists = std::make_unique<std::array<TList, 2>>();
  TList& l = *ListOf(list);
  l.insert(first ? l.begin() : l.end(), handler);
}

void UnregisterLogBuilderHandler(int list, TLogBuilderHandler handler) {
  TGlobalWriteLock lock;
  TList* l = ListOf(list);
  if (l == nullptr) return;
  const auto it = std::find(l->begin(), l->end(), handler);
  if (it != l->end()) l->erase(it);
}

TLogBuilderEventDispatch& LogBuilderEventDispatch() noexcept { return g_dispatch; }

void DispatchOwnLogBuilderEvent(int list, TBaseLogBuilder* builder) {
  // Handlers run on a copy, outside the lock: one may register or remove
  // handlers, or build another report.
  TList copy;
  {
    TGlobalReadLock lock;
    if (const TList* l = ListOf(list)) copy = *l;
  }
  for (const TLogBuilderHandler& h : copy) {
    bool call_next = true;
    h.Code(h.Data, builder, call_next);
    if (!call_next) break;
  }
}

void RaiseLogBuilderEvent(int list, TBaseLogBuilder* builder) {
  if (g_dispatch != nullptr) g_dispatch(list, builder);
}

void FreeLogBuilderEvents() noexcept {
  // Nothing registered: the global lock is not made again at shut-down
  // just to find that out.
  if (g_lists == nullptr) return;
  TGlobalWriteLock lock;
  g_lists.reset();
}

}  // namespace zelvic::diag
