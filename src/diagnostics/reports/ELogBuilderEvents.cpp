#include "diagnostics/reports/ELogBuilderEvents.h"

#include "diagnostics/exceptions/EEvents.h"

namespace zelvic::diag {
namespace {

using TCode = decltype(TLogBuilderHandler::Code);

TLogBuilderEventDispatch g_dispatch = DispatchOwnLogBuilderEvent;

bool IsBuilderList(int list) { return list == kBeforeBuildEvent || list == kAfterBuildEvent; }

TMethod AsMethod(const TLogBuilderHandler& handler) {
  return {reinterpret_cast<void*>(handler.Code), handler.Data};
}

}  // namespace

void RegisterLogBuilderHandler(int list, TLogBuilderHandler handler, bool first) {
  if (IsBuilderList(list)) RegisterEventHandler(static_cast<TEventListId>(list), AsMethod(handler), first);
}

void UnregisterLogBuilderHandler(int list, TLogBuilderHandler handler) {
  if (IsBuilderList(list)) UnregisterEventHandler(static_cast<TEventListId>(list), AsMethod(handler));
}

TLogBuilderEventDispatch& LogBuilderEventDispatch() noexcept { return g_dispatch; }

void DispatchOwnLogBuilderEvent(int list, TBaseLogBuilder* builder) {
  if (!IsBuilderList(list)) return;
  // The handlers as they were when the event came (a copy made under the
  // lock): one may register or remove handlers, or build another report.
  for (const TMethod& m : EventHandlers(static_cast<TEventListId>(list))) {
    bool call_next = true;
    reinterpret_cast<TCode>(m.Code)(m.Data, builder, call_next);
    if (!call_next) break;
  }
}

void RaiseLogBuilderEvent(int list, TBaseLogBuilder* builder) {
  if (g_dispatch != nullptr) g_dispatch(list, builder);
}

}  // namespace zelvic::diag
