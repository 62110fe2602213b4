// The delta records of the line tables: each moves the address and line
// accumulators and may start a routine. Four record forms of 1, 2, 4 and
// 8 or 12 bytes; the writer takes the smallest that holds the delta.
#pragma once

#include <cstdint>
#include <vector>

#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/debuginfo/EDebugVLFormat.h"

namespace zelvic::diag {

// One delta record as the reader sees it.
struct TDebugVLDelta {
  std::int64_t DA = 0;  // address delta (applied modulo 2^32)
  std::int64_t DL = 0;  // line delta (applied modulo 2^32)
  bool NewRoutine = false;
};
// The smallest record form of a version that carries the delta.
void WriteDebugVLDelta(std::vector<std::uint8_t>& out, const TDebugVLDelta& delta, std::uint16_t version);
// Reads one record; raises EInvalidDebugInformation past the end.
TDebugVLDelta ReadDebugVLDelta(TByteReader& reader, std::uint16_t version);
// Size in bytes of the form WriteDebugVLDelta chooses.
std::size_t DebugVLDeltaSize(const TDebugVLDelta& delta, std::uint16_t version);

}  // namespace zelvic::diag
