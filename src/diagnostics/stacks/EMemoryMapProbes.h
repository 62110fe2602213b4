// The fast readability tests of option SlowAndSafe = false: the walkers'
// probes answer first from the module list (an address inside a known
// module's headers, code or data), then from the process's memory map.
//
// The exception manager's unit installs them at start-up in place of the
// cached probes when the option is off, and drops the map at each exception
// it is told of.
#pragma once

#include <cstdint>

#include "platform/memory_map.h"

namespace zelvic::diag {

// Readable: the module's first page, code or data range holds the bytes, or
// the map finds them all in readable regions. Executable: the module's code
// range holds them, or the map finds them all in regions with an execute
// protection. Before the module list exists only the map answers.
bool MemoryMapReadable(std::uint32_t address, std::uint32_t count) noexcept;
bool MemoryMapExecutable(std::uint32_t address, std::uint32_t count) noexcept;

// The map behind them; it is dropped whenever the loader's generation moves.
platform::TMemoryMap& ProcessMemoryMap() noexcept;
void InvalidateMemoryMap() noexcept;

// Puts the probes into the walkers' probe slot; false when they are in
// already.
bool InstallMemoryMapProbes() noexcept;
// Gives the slot back what it held, unless someone replaced the probes since.
void RemoveMemoryMapProbes() noexcept;
bool MemoryMapProbesInstalled() noexcept;

// What the exception manager's unit puts into the probe slot for its
// lifetime: the cached probes, or with `slow_and_safe` off the memory map's.
void InstallStackProbes(bool slow_and_safe) noexcept;
void RemoveStackProbes() noexcept;

}  // namespace zelvic::diag
