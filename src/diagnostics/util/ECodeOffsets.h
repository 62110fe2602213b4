// Code offsets: the container's code locations, the debug information and
// the reports name code by its distance from the module's first section,
// which the linkers place at RVA 0x1000, so the numbers do not depend on
// where the module was loaded or on how large its headers are.
#pragma once

#include <cstdint>

namespace zelvic::diag {

inline constexpr std::uint32_t kCodeOffsetBase = 0x1000;

}  // namespace zelvic::diag
