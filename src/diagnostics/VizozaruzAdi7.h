// The facility's top unit: its start-up step reads this library's options,
// decides whether the facility switches on and hands the memory options to
// the filters.
#pragma once

#include <cstdint>
#include <memory>

#include "diagnostics/config/EVLData.h"

namespace zelvic::diag {

class TVarnelModuleOptions;

enum class TTextEncoding : std::uint8_t { teAnsi, teUTF8 };
// The call-stack list the facility builds, chosen from the allowed methods.
enum class TStackListKind : std::uint8_t { slGeneric, slVersion6, slVersion7 };

struct TVizozaruzAdi7State {
  std::uint8_t VarnelLogStarted = 0;
  bool Enabled = false;
  bool DiagnosticsDataFound = false;
  bool OptionsPrepared = false;
  bool ActiveForThread = false;
  bool HooksInstalled = false;
  TTextEncoding TextEncoding = TTextEncoding::teUTF8;
  TStackListKind StackListKind = TStackListKind::slGeneric;
  std::int32_t MaxLeaks = 0;
  std::int32_t MinLeakSize = 0;
  // The record last handed to the memory and resource-leak filters.
  TMemoryFilterOptions MemoryOptions;
  // The options of the module the step ran for; none without diagnostics data.
  std::shared_ptr<TVarnelModuleOptions> Options;
};

const TVizozaruzAdi7State& VizozaruzAdi7State() noexcept;

// The start-up and shut-down steps "VizozaruzAdi7.Init" and ".Done" for this
// library.
void VizozaruzAdi7Init();
void VizozaruzAdi7Done();
// The start-up step for the module at `module_base`.
void VizozaruzAdi7InitFor(std::uintptr_t module_base);

}  // namespace zelvic::diag
