// Module resources and file contents, read-only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/pe_file_resources.h"

namespace zelvic::platform {

// The bytes of a module's resource (numeric type, string name), in place and
// valid while the module is loaded; empty when there is none.
std::span<const std::uint8_t> ModuleResource(std::uintptr_t module_base, const wchar_t* name, std::uint16_t type) noexcept;

// The last `count` bytes of a file; empty when the file cannot be read or is
// shorter.
std::vector<std::uint8_t> ReadFileTail(const std::wstring& path, std::size_t count);

// `count` bytes from `offset` of a file, with the file's size; empty bytes
// when the range cannot be read whole.
struct TFileRange {
  std::vector<std::uint8_t> Bytes;
  std::uint64_t FileSize = 0;
};
TFileRange ReadFileRange(const std::wstring& path, std::uint64_t offset, std::size_t count);
// Size of a file, or 0 when it cannot be opened.
std::uint64_t FileSizeOf(const std::wstring& path);

// Whether the PE file at `path` lists the numeric resource type `type`;
// Unknown when it cannot be opened or read as one.
TResourceTypeListing ListFileResourceType(const std::wstring& path, std::uint16_t type);

}  // namespace zelvic::platform
