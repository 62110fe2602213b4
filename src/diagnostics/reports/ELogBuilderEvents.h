// The two event lists of the report builder: before a report is built
// (list 15) and after it was built or failed (list 16). Each handler gets
// the builder and a flag, preset to true, that stops the dispatch when it
// is cleared.
//
// The handlers are kept in the facility's event lists 15 and 16 (EEvents),
// typed here for the builder. The dispatch goes through one slot, so a
// caller can take every raise elsewhere without touching the builder.
#pragma once

#include <cstdint>

namespace zelvic::diag {

class TBaseLogBuilder;

inline constexpr int kBeforeBuildEvent = 15;
inline constexpr int kAfterBuildEvent = 16;

struct TLogBuilderHandler {
  void (*Code)(void* data, TBaseLogBuilder* builder, bool& call_next) = nullptr;
  void* Data = nullptr;
  bool operator==(const TLogBuilderHandler&) const = default;
};

// `first` inserts at the front. Lists other than 15 and 16 are ignored.
void RegisterLogBuilderHandler(int list, TLogBuilderHandler handler, bool first = false);
// Removes the first equal pair.
void UnregisterLogBuilderHandler(int list, TLogBuilderHandler handler);

using TLogBuilderEventDispatch = void (*)(int list, TBaseLogBuilder* builder);
// The dispatch in force; this unit's own lists by default.
TLogBuilderEventDispatch& LogBuilderEventDispatch() noexcept;
void DispatchOwnLogBuilderEvent(int list, TBaseLogBuilder* builder);
void RaiseLogBuilderEvent(int list, TBaseLogBuilder* builder);

}  // namespace zelvic::diag
