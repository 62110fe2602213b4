// Hand-made PE32 images for the tests of the readers: the headers and section
// table written byte by byte at the offsets the format defines, without the
// library's own header structures, so a reader and its test cannot share a
// mistake about the layout.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zelvic::test::pe {

// Where the builder puts things: NT headers at 0x80, the standard 224-byte
// optional header, the section table right after it.
inline constexpr std::uint32_t kNt = 0x80;
inline constexpr std::uint32_t kFileHeader = kNt + 4;
inline constexpr std::uint32_t kOptional = kNt + 24;
inline constexpr std::uint32_t kDataDirs = kOptional + 96;
inline constexpr std::uint32_t kSections = kNt + 248;
inline constexpr std::uint32_t kSectionSize = 40;

// Field offsets inside the optional header and a section header.
inline constexpr std::uint32_t kOptSizeOfImage = 56;
inline constexpr std::uint32_t kSecVirtualSize = 8;
inline constexpr std::uint32_t kSecVirtualAddress = 12;
inline constexpr std::uint32_t kSecRawSize = 16;
inline constexpr std::uint32_t kSecRawOffset = 20;

// Data-directory indices the tests use.
inline constexpr int kDirExport = 0;
inline constexpr int kDirResource = 2;
inline constexpr int kDirDebug = 6;

void Put16(std::vector<std::uint8_t>& b, std::uint32_t at, std::uint16_t v);
void Put32(std::vector<std::uint8_t>& b, std::uint32_t at, std::uint32_t v);
std::uint32_t Get32(const std::vector<std::uint8_t>& b, std::uint32_t at);

struct Section {
  std::string name;  // at most 8 bytes are written
  std::uint32_t rva = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t characteristics = 0;
};

struct Directory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

// The header fields a test may care about; the rest stay zero.
struct Headers {
  std::uint16_t machine = 0x14C;          // i386
  std::uint16_t characteristics = 0x2102;  // executable, 32-bit, DLL
  std::uint32_t time_date_stamp = 0;
  std::uint32_t base_of_code = 0x1000;
  std::uint32_t size_of_code = 0;
  std::uint32_t base_of_data = 0;
  std::uint32_t size_of_initialized_data = 0;
  std::uint32_t size_of_uninitialized_data = 0;
  std::uint32_t image_base = 0x10000000;
  std::uint32_t section_alignment = 0x1000;
  std::uint32_t file_alignment = 0x200;
  std::uint32_t size_of_image = 0;
  std::uint32_t size_of_headers = 0x200;
  std::uint32_t number_of_rva_and_sizes = 16;
  std::array<Directory, 16> directories{};
  std::vector<Section> sections;
};

// `size` bytes, zero but for the DOS stub's "MZ" and e_lfanew, the NT headers
// and the section table.
std::vector<std::uint8_t> WriteHeaders(const Headers& headers, std::size_t size);

// The loader's layout of a file made by WriteHeaders: SizeOfImage bytes, the
// headers, then each section's raw data at its RVA.
std::vector<std::uint8_t> ToImageLayout(const std::vector<std::uint8_t>& file);

}  // namespace zelvic::test::pe
