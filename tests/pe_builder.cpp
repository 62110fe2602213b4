#include "pe_builder.h"

#include <algorithm>
#include <cstring>

namespace zelvic::test::pe {

void Put16(std::vector<std::uint8_t>& b, std::uint32_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<std::uint8_t>& b, std::uint32_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }
std::uint32_t Get32(const std::vector<std::uint8_t>& b, std::uint32_t at) {
  std::uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

std::vector<std::uint8_t> WriteHeaders(const Headers& h, std::size_t size) {
  std::vector<std::uint8_t> b(size, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 60, kNt);
  Put32(b, kNt, 0x00004550);  // "PE\0\0"
  Put16(b, kFileHeader, h.machine);
  Put16(b, kFileHeader + 2, static_cast<std::uint16_t>(h.sections.size()));
  Put32(b, kFileHeader + 4, h.time_date_stamp);
  Put16(b, kFileHeader + 16, kSections - kOptional);  // SizeOfOptionalHeader
  Put16(b, kFileHeader + 18, h.characteristics);
  Put16(b, kOptional, 0x10B);  // PE32
  Put32(b, kOptional + 4, h.size_of_code);
  Put32(b, kOptional + 8, h.size_of_initialized_data);
  Put32(b, kOptional + 12, h.size_of_uninitialized_data);
  Put32(b, kOptional + 20, h.base_of_code);
  Put32(b, kOptional + 24, h.base_of_data);
  Put32(b, kOptional + 28, h.image_base);
  Put32(b, kOptional + 32, h.section_alignment);
  Put32(b, kOptional + 36, h.file_alignment);
  Put32(b, kOptional + kOptSizeOfImage, h.size_of_image);
  Put32(b, kOptional + 60, h.size_of_headers);
  Put32(b, kOptional + 92, h.number_of_rva_and_sizes);
  for (std::size_t i = 0; i < h.directories.size(); ++i) {
    Put32(b, kDataDirs + 8 * static_cast<std::uint32_t>(i), h.directories[i].rva);
    Put32(b, kDataDirs + 8 * static_cast<std::uint32_t>(i) + 4, h.directories[i].size);
  }
  std::uint32_t at = kSections;
  for (const Section& s : h.sections) {
    std::memcpy(&b[at], s.name.data(), std::min<std::size_t>(8, s.name.size()));
    Put32(b, at + kSecVirtualSize, s.virtual_size);
    Put32(b, at + kSecVirtualAddress, s.rva);
    Put32(b, at + kSecRawSize, s.raw_size);
    Put32(b, at + kSecRawOffset, s.raw_offset);
    Put32(b, at + 36, s.characteristics);
    at += kSectionSize;
  }
  return b;
}

std::vector<std::uint8_t> ToImageLayout(const std::vector<std::uint8_t>& file) {
  std::vector<std::uint8_t> image(Get32(file, kOptional + kOptSizeOfImage), 0);
  const std::uint32_t headers = Get32(file, kOptional + 60);
  std::copy_n(file.begin(), std::min<std::size_t>(headers, image.size()), image.begin());
  const std::uint32_t count = file[kFileHeader + 2] | file[kFileHeader + 3] << 8;
  for (std::uint32_t s = 0; s < count; ++s) {
    const std::uint32_t at = kSections + kSectionSize * s;
    const std::uint32_t va = Get32(file, at + kSecVirtualAddress);
    const std::uint32_t raw_size = Get32(file, at + kSecRawSize);
    const std::uint32_t raw = Get32(file, at + kSecRawOffset);
    std::copy_n(file.begin() + raw, raw_size, image.begin() + va);
  }
  return image;
}

}  // namespace zelvic::test::pe
