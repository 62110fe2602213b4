// The build-time writer of the debug information: a model of units, routines
// and lines made into a unit table, the container's block, or a ".vldbg"
// file. It shares the string and record codecs with the reader.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugVLFormat.h"

namespace zelvic::diag {

struct TDebugVLLineModel {
  std::int32_t No = 0;
  std::uint32_t Addr = 0;
};
struct TDebugVLProcModel {
  std::wstring Name;  // as stored: "Class.Method", "Method", ".Method" (the previous class) or empty
  std::uint32_t Addr = 0;
  // Ascending addresses; when present the first starts at Addr.
  std::vector<TDebugVLLineModel> Lines;
};
struct TDebugVLUnitModel {
  std::wstring FileName;
  std::wstring Name;  // empty: the file name alone is stored
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  std::vector<TDebugVLProcModel> Procs;  // ascending addresses
};

struct TDebugVLWriteOptions {
  std::uint16_t Version = kDebugVLCurrentVersion;
  bool StoreProcNames = true;  // false: csoDoNotStoreProcNames
  bool EncipherWithPassword = false;
  std::wstring Password;
  std::uint32_t SkippedWord = 0;
};

// The unit table (the L bytes the scanner reads).
std::vector<std::uint8_t> WriteDebugVLUnitTable(const std::vector<TDebugVLUnitModel>& units,
                                                const TDebugVLWriteOptions& options);
// The inflated block: L, then the L bytes.
std::vector<std::uint8_t> WriteDebugVLBlock(const std::vector<TDebugVLUnitModel>& units,
                                            const TDebugVLWriteOptions& options);
// A ".vldbg" file around a unit table.
std::vector<std::uint8_t> WriteVLDbgFile(const std::wstring& module_name, std::span<const std::uint8_t> unit_table,
                                         std::uint16_t version, bool with_checksum);
// A caller-supplied unit table in the same header: the given version (the
// current one for 0), the unit table at offset 23, no checksum, no module
// name. Such data is read as having a valid password.
std::vector<std::uint8_t> WrapExternalDebugVLStream(std::span<const std::uint8_t> unit_table,
                                                    std::uint16_t version = 0);

}  // namespace zelvic::diag
