// What every part of the module's compressed debug information shares: the
// format's constants, the version rules, the byte appenders of the writer
// side and the assertion the readers raise on inconsistent data. The parts
// are units of their own: EDebugVLTables (the unit, routine and line tables
// with their search index), EDebugVLStrings and EDebugVLDelta (the string and
// record codecs), EDebugVLScanner (reading a unit table or a ".vldbg" file,
// and lookups) and EDebugVLWriter (the build-time writer). Writer and reader
// share the codecs, so a round trip pins them together. Nothing here touches
// the platform: the data is a byte span wherever it came from.
//
// "Offset" is always a code offset: address - module base - kCodeOffsetBase.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/util/ECodeOffsets.h"

namespace zelvic::diag {

inline constexpr std::uint16_t kDebugVLCurrentVersion = 7007;
// From this version on: 16-bit string headers with the password and "."
// flags, stored unit sizes and routine line counts.
inline constexpr std::uint16_t kDebugVLVersion7 = 7000;
inline constexpr std::uint32_t kDebugVLStringMaxBytes = 0x1FFF;
inline constexpr std::uint16_t kDebugVLStringContinued = 0x8000;
inline constexpr std::uint16_t kDebugVLStringPassword = 0x4000;
inline constexpr std::uint16_t kDebugVLStringDot = 0x2000;
// The 4-byte record word (new-routine bit clear) that announces two full
// 32-bit deltas; it is the one value the 4-byte form gives up.
inline constexpr std::uint32_t kDebugVLEscape = 0xFFEFFFEB;
// Strings of data older than version 500 are only XORed with this byte.
inline constexpr std::uint8_t kDebugVLOldXor = 0xA5;
inline constexpr std::size_t kVLDbgHeaderSize = 19;
inline constexpr char kVLDbgSignature[4] = {'J', 'D', 'B', 'G'};

// Data before version 7000: 8-bit string headers, no unit sizes, no routine
// line counts, and lines that may be stored out of order.
constexpr bool IsOldDebugVLVersion(std::uint16_t version) noexcept { return version < kDebugVLVersion7; }
// The escape record (two full deltas) exists from version 423 on.
constexpr bool DebugVLHasEscape(std::uint16_t version) noexcept { return version > 422; }
// Versions 405 to 499 put a skipped block before the unit count.
constexpr bool DebugVLHasPreamble(std::uint16_t version) noexcept { return version >= 405 && version <= 499; }

// Called before an assertion is raised, so that an attached debugger stops
// where the data went wrong; the platform layer installs it.
using TDebugVLBreakHook = void (*)();
void SetDebugVLBreakHook(TDebugVLBreakHook hook) noexcept;
// Raises rt::EAssertionFailed with `text`, after the break hook.
[[noreturn]] void RaiseDebugVLAssertion(const std::wstring& text);
// Raises EInvalidDebugInformationVersion for data newer than this reader.
[[noreturn]] void RaiseDebugVLVersionTooNew(std::uint16_t version);

// Little-endian appenders of the writer side.
inline void PutDebugVLU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutDebugVLU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  PutDebugVLU16(out, v & 0xFFFF);
  PutDebugVLU16(out, v >> 16);
}

}  // namespace zelvic::diag
