// The facility's top unit: its start-up step decides whether the facility
// switches on and hands the memory options to the filters.
#pragma once

#include <cstdint>

#include "diagnostics/config/EVLData.h"

namespace zelvic::diag {

enum class TTextEncoding : std::uint8_t { teAnsi, teUTF8 };

struct TVizozaruzAdi7State {
  std::uint8_t VarnelLogStarted = 0;
  bool Enabled = false;
  bool DiagnosticsDataFound = false;
  TTextEncoding TextEncoding = TTextEncoding::teUTF8;
  // The record last handed to the memory and resource-leak filters.
  TMemoryFilterOptions MemoryOptions;
};

const TVizozaruzAdi7State& VizozaruzAdi7State() noexcept;

// The start-up and shut-down steps "VizozaruzAdi7.Init" and ".Done".
void VizozaruzAdi7Init();
void VizozaruzAdi7Done();

}  // namespace zelvic::diag
