// The section table of a PE image file, read from its bytes: enough to find
// the compiler's debug sections of the unstripped link and the code sections.
// Section names longer than eight characters live in the COFF string table
// ("/NN" in the header), which is where the linker puts ".debug_*" names.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvic::tools {

class TPeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TPeSection {
  std::string Name;
  std::uint32_t VirtualAddress = 0;  // relative to the image base
  std::uint32_t VirtualSize = 0;
  std::uint32_t Characteristics = 0;
  std::span<const std::uint8_t> Data;  // the raw bytes, at most VirtualSize of them
  bool IsCode() const noexcept { return (Characteristics & 0x20000020u) != 0; }
};

// A COFF symbol of the image's symbol table (unstripped links keep it).
struct TCoffSymbol {
  std::uint64_t Address = 0;  // absolute, in the image as linked
  std::string Name;           // without the i386 leading underscore
  bool Function = false;      // complex type "function"
};

struct TPeImage {
  std::uint64_t ImageBase = 0;
  std::uint16_t Machine = 0;
  std::vector<TPeSection> Sections;
  std::vector<TCoffSymbol> Symbols;  // symbols defined in a section, in table order
  // nullptr when the image has no such section.
  const TPeSection* Find(const std::string& name) const noexcept;
  std::span<const std::uint8_t> SectionData(const std::string& name) const noexcept;
};

// `file` must outlive the result: sections point into it. Raises
// TPeFormatError on anything that does not fit.
TPeImage ReadPeImage(std::span<const std::uint8_t> file);

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

}  // namespace zelvic::tools
