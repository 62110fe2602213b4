// The system services behind code patching: protections, loaded images,
// writes into code and the trampoline blocks that patched code jumps to.
//
// Failures come back as the system's error code (0 for success) or as 0 for
// an address; nothing here throws.
#pragma once

#include <cstdint>
#include <span>

namespace zelvic::platform {

// The protection VirtualQuery reports for the page holding `address`; 0 when
// the address cannot be queried.
std::uint32_t CodeProtection(std::uint32_t address) noexcept;

// Writes `bytes` over code at `address`: the pages become writable for the
// copy and get their previous protection back, and exactly the written bytes
// are flushed from the instruction cache. ERROR_INVALID_PARAMETER when the
// bytes lie in no image the loader mapped (ModuleBaseOf): the engine patches
// modules' code and import tables, never data or someone's private buffer.
std::uint32_t WriteCode(std::uint32_t address, std::span<const std::uint8_t> bytes) noexcept;

// The same for at most 8 bytes, stored at once: a thread running the code
// sees either all the old bytes or all the new ones. The 8 bytes from
// `address` must be readable; those after `bytes` keep whatever they hold at
// the moment of the store. With `expected`, the store happens only while the
// bytes it replaces are those (ERROR_INVALID_DATA otherwise): a patch never
// lands on code that someone changed since it was read.
std::uint32_t WriteCodeAtomic(std::uint32_t address, std::span<const std::uint8_t> bytes,
                              std::span<const std::uint8_t> expected = {}) noexcept;

// A read-write block of `size` bytes (at most one allocation granule) as
// close above `nearby` as the address space allows, else anywhere; 0 when none.
std::uint32_t AllocateCodeBlock(std::uint32_t nearby, std::uint32_t size) noexcept;
// Makes a filled block read-execute and flushes it.
bool SealCodeBlock(std::uint32_t block, std::uint32_t size) noexcept;
// Makes a sealed block read-write again, to be filled anew.
bool UnsealCodeBlock(std::uint32_t block, std::uint32_t size) noexcept;
void FreeCodeBlock(std::uint32_t block) noexcept;

// GetProcAddress: the address of the export `name` of a loaded module, or 0.
// A forwarded export gives the address in the module it forwards to.
std::uint32_t ExportedProcedure(std::uintptr_t module, const char* name) noexcept;

// The calling thread's last-error value, as callers of the patching engine
// read it.
void SetLastErrorCode(std::uint32_t code) noexcept;
std::uint32_t LastErrorCode() noexcept;

}  // namespace zelvic::platform
