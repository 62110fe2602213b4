// Reads the section table and the export directory of a PE file from its
// bytes, independently of the loader and of the library's reader: sections,
// names and ordinals as the file states them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvic::test {

struct PeExport {
  std::string name;  // empty for an export by ordinal only
  std::uint32_t ordinal;
  std::uint32_t rva;
};

struct PeSectionHeader {
  std::uint32_t rva;
  std::uint32_t virtual_size;
  std::uint32_t raw_offset;
  std::uint32_t raw_size;
  std::uint32_t characteristics;
};

// Empty when the bytes are not a PE image; headers cut by the end of the
// bytes are left out.
std::vector<PeSectionHeader> ReadPeSections(const std::vector<std::uint8_t>& file);
// Empty when the bytes are not a PE image with an export directory.
std::vector<PeExport> ReadPeExports(const std::vector<std::uint8_t>& file);
std::vector<std::uint8_t> ReadWholeFile(const std::wstring& path);

}  // namespace zelvic::test
