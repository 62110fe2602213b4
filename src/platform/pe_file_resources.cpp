#include "platform/pe_file_resources.h"

#include <array>
#include <vector>

namespace zelvic::platform {
namespace {

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

bool ReadWhole(const TFileBytesReader& read, std::uint64_t offset, std::span<std::uint8_t> into) {
  return read(offset, into) == into.size();
}

// Images with more sections than this are rare enough to be left to the
// system's query.
constexpr std::uint32_t kMaxSections = 96;
// Root directories of real images list a few dozen types at most.
constexpr std::uint32_t kMaxRootEntries = 4096;

}  // namespace

TResourceTypeListing ListResourceType(const TFileBytesReader& read, std::uint16_t type) {
  constexpr auto kUnknown = TResourceTypeListing::Unknown;
  std::array<std::uint8_t, 64> dos{};
  if (!ReadWhole(read, 0, dos) || dos[0] != 'M' || dos[1] != 'Z') return kUnknown;
  const std::uint32_t nt = Le32(dos, 0x3C);
  if (nt < dos.size() || nt > 0x10000000) return kUnknown;

  // Signature (4), file header (20), then the optional header up to and
  // including the resource directory's entry, whichever form it has.
  std::array<std::uint8_t, 4 + 20 + 112 + 3 * 8> nt_headers{};
  if (!ReadWhole(read, nt, nt_headers)) return kUnknown;
  if (Le32(nt_headers, 0) != 0x00004550) return kUnknown;  // "PE\0\0"
  const std::uint32_t section_count = Le16(nt_headers, 4 + 2);
  const std::uint32_t optional_size = Le16(nt_headers, 4 + 16);
  constexpr std::size_t kOptional = 4 + 20;
  const std::uint16_t magic = Le16(nt_headers, kOptional);
  std::size_t counts_at = 0;  // NumberOfRvaAndSizes, the data directories follow
  if (magic == 0x10B) {
    counts_at = kOptional + 92;
  } else if (magic == 0x20B) {
    counts_at = kOptional + 108;
  } else {
    return kUnknown;
  }
  constexpr std::uint32_t kResourceIndex = 2;
  if (optional_size < counts_at + 4 - kOptional) return kUnknown;
  // Fewer data directories than the resource directory's index: no resources.
  if (Le32(nt_headers, counts_at) <= kResourceIndex) return TResourceTypeListing::NotListed;
  const std::size_t resource_entry = counts_at + 4 + kResourceIndex * 8;
  if (optional_size < resource_entry + 8 - kOptional) return kUnknown;
  const std::uint32_t resource_rva = Le32(nt_headers, resource_entry);
  const std::uint32_t resource_size = Le32(nt_headers, resource_entry + 4);
  if (resource_rva == 0 && resource_size == 0) return TResourceTypeListing::NotListed;
  if (section_count == 0 || section_count > kMaxSections) return kUnknown;

  // The section that holds the directory gives its place in the file.
  std::vector<std::uint8_t> sections(section_count * 40u);
  if (!ReadWhole(read, std::uint64_t{nt} + kOptional + optional_size, sections)) return kUnknown;
  std::uint64_t root = 0;
  bool found = false;
  for (std::uint32_t i = 0; i < section_count && !found; ++i) {
    const std::span<const std::uint8_t> s(sections.data() + i * 40u, 40);
    const std::uint32_t virtual_size = Le32(s, 8), rva = Le32(s, 12);
    const std::uint32_t raw_size = Le32(s, 16), raw_offset = Le32(s, 20);
    const std::uint32_t extent = virtual_size != 0 ? virtual_size : raw_size;
    if (resource_rva >= rva && resource_rva - rva < extent) {
      // The root must lie in the section's bytes on disk.
      if (resource_rva - rva + 16u > raw_size) return kUnknown;
      root = std::uint64_t{raw_offset} + (resource_rva - rva);
      found = true;
    }
  }
  if (!found) return kUnknown;

  std::array<std::uint8_t, 16> header{};
  if (!ReadWhole(read, root, header)) return kUnknown;
  const std::uint32_t named = Le16(header, 12), numbered = Le16(header, 14);
  if (named + numbered > kMaxRootEntries) return kUnknown;
  std::vector<std::uint8_t> entries((named + numbered) * 8u);
  if (!ReadWhole(read, root + header.size(), entries)) return kUnknown;
  // Named entries come first; a numbered entry's name field is the number
  // itself, with the top bit clear.
  for (std::uint32_t i = named; i < named + numbered; ++i) {
    const std::uint32_t id = Le32(entries, i * 8u);
    if ((id & 0x80000000u) == 0 && id == type) return TResourceTypeListing::Listed;
  }
  return TResourceTypeListing::NotListed;
}

}  // namespace zelvic::platform
