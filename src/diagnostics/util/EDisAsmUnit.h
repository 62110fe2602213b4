// The disassembler's unit: its start-up step "EDisAsm.Init" and the live
// memory every other diagnostics unit decodes through.
#pragma once

#include <cstdint>

#include "diagnostics/util/EDisAsm.h"
#include "platform/memory_access.h"

namespace zelvic::diag {

// The process's memory for the decoder, without a region cache (it is shared
// by every thread). Before the unit starts, and after it stops, it uses the
// default readable mask without execute-only pages.
platform::TLiveMemory& LiveMemory() noexcept;

// What the start-up probe found; false before the unit starts.
bool ExecuteOnlyPagesReadable() noexcept;

// The sources the naming dispatchers ask first; the report builder fills
// them. An empty source passes the address on to the hook the dispatcher
// replaced. Returns the previous source.
disasm::TAddressNamer SetCodeNameSource(disasm::TAddressNamer source) noexcept;
disasm::TAddressNamer SetDataDescriptionSource(disasm::TAddressNamer source) noexcept;

// The probe behind the default mask; replaceable so that a test can drive
// both answers. Returns the previous probe.
using TExecuteOnlyProbe = bool (*)();
TExecuteOnlyProbe SetExecuteOnlyProbe(TExecuteOnlyProbe probe) noexcept;

void EDisAsmInit();
void EDisAsmDone();

}  // namespace zelvic::diag
