#include "pe_sections.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace zelvic::tools {

namespace {

std::uint32_t Le(std::span<const std::uint8_t> b, std::size_t at, int bytes) {
  if (at > b.size() || b.size() - at < static_cast<std::size_t>(bytes)) throw TPeFormatError("PE image truncated");
  std::uint32_t v = 0;
  for (int i = bytes; i-- > 0;) v = v << 8 | b[at + static_cast<std::size_t>(i)];
  return v;
}

}  // namespace

const TPeSection* TPeImage::Find(const std::string& name) const noexcept {
  for (const TPeSection& s : Sections) {
    if (s.Name == name) return &s;
  }
  return nullptr;
}

std::span<const std::uint8_t> TPeImage::SectionData(const std::string& name) const noexcept {
  const TPeSection* s = Find(name);
  return s == nullptr ? std::span<const std::uint8_t>() : s->Data;
}

TPeImage ReadPeImage(std::span<const std::uint8_t> file) {
  if (Le(file, 0, 2) != 0x5A4D) throw TPeFormatError("no MZ header");
  const std::size_t pe = Le(file, 0x3C, 4);
  if (Le(file, pe, 4) != 0x00004550) throw TPeFormatError("no PE signature");
  const std::size_t coff = pe + 4;
  TPeImage image;
  image.Machine = static_cast<std::uint16_t>(Le(file, coff, 2));
  const std::uint32_t section_count = Le(file, coff + 2, 2);
  const std::uint32_t symbol_table = Le(file, coff + 8, 4);
  const std::uint32_t symbol_count = Le(file, coff + 12, 4);
  const std::uint32_t optional_size = Le(file, coff + 16, 2);
  const std::size_t optional = coff + 20;
  const std::uint32_t magic = Le(file, optional, 2);
  if (magic == 0x10B) {
    image.ImageBase = Le(file, optional + 28, 4);
  } else if (magic == 0x20B) {
    image.ImageBase = std::uint64_t{Le(file, optional + 24, 4)} | std::uint64_t{Le(file, optional + 28, 4)} << 32;
  } else {
    throw TPeFormatError("unknown optional header");
  }
  // The string table follows the symbols (18 bytes each); its first word is
  // its own size.
  std::span<const std::uint8_t> strings;
  if (symbol_table != 0) {
    const std::uint64_t at = std::uint64_t{symbol_table} + std::uint64_t{symbol_count} * 18;
    if (at + 4 <= file.size()) {
      const std::uint32_t size = Le(file, static_cast<std::size_t>(at), 4);
      if (size >= 4 && at + size <= file.size()) strings = file.subspan(static_cast<std::size_t>(at), size);
    }
  }
  std::size_t header = optional + optional_size;
  for (std::uint32_t i = 0; i < section_count; ++i, header += 40) {
    if (header + 40 > file.size()) throw TPeFormatError("section table truncated");
    TPeSection s;
    const char* raw_name = reinterpret_cast<const char*>(file.data() + header);
    s.Name.assign(raw_name, strnlen(raw_name, 8));
    if (!s.Name.empty() && s.Name[0] == '/') {
      std::size_t offset = 0;
      for (std::size_t k = 1; k < s.Name.size(); ++k) {
        if (s.Name[k] < '0' || s.Name[k] > '9') throw TPeFormatError("bad long section name");
        offset = offset * 10 + static_cast<std::size_t>(s.Name[k] - '0');
      }
      if (offset >= strings.size()) throw TPeFormatError("long section name outside the string table");
      const char* text = reinterpret_cast<const char*>(strings.data() + offset);
      s.Name.assign(text, strnlen(text, strings.size() - offset));
    }
    s.VirtualSize = Le(file, header + 8, 4);
    s.VirtualAddress = Le(file, header + 12, 4);
    const std::uint32_t raw_size = Le(file, header + 16, 4);
    const std::uint32_t raw_at = Le(file, header + 20, 4);
    s.Characteristics = Le(file, header + 36, 4);
    std::uint32_t size = raw_size;
    if (s.VirtualSize != 0 && s.VirtualSize < size) size = s.VirtualSize;  // the rest is file alignment
    if (raw_at != 0 && size != 0) {
      if (std::uint64_t{raw_at} + size > file.size()) throw TPeFormatError("section data outside the file");
      s.Data = file.subspan(raw_at, size);
    }
    image.Sections.push_back(std::move(s));
  }
  if (symbol_table != 0 && !strings.empty()) {
    for (std::uint32_t i = 0; i < symbol_count; ++i) {
      const std::uint64_t at = std::uint64_t{symbol_table} + std::uint64_t{i} * 18;
      if (at + 18 > file.size()) throw TPeFormatError("symbol table truncated");
      const std::size_t p = static_cast<std::size_t>(at);
      const auto section = static_cast<std::int16_t>(Le(file, p + 12, 2));
      const std::uint32_t type = Le(file, p + 14, 2);
      const std::uint8_t aux = file[p + 17];
      if (section > 0 && static_cast<std::size_t>(section) <= image.Sections.size()) {
        TCoffSymbol sym;
        if (Le(file, p, 4) == 0) {
          const std::uint32_t offset = Le(file, p + 4, 4);
          if (offset >= strings.size()) throw TPeFormatError("symbol name outside the string table");
          const char* text = reinterpret_cast<const char*>(strings.data() + offset);
          sym.Name.assign(text, strnlen(text, strings.size() - offset));
        } else {
          const char* text = reinterpret_cast<const char*>(file.data() + p);
          sym.Name.assign(text, strnlen(text, 8));
        }
        // i386 decorates every C-level name with a leading underscore.
        if (image.Machine == 0x14C && !sym.Name.empty() && sym.Name[0] == '_') sym.Name.erase(0, 1);
        sym.Address = image.ImageBase + image.Sections[static_cast<std::size_t>(section - 1)].VirtualAddress +
                      Le(file, p + 8, 4);
        sym.Function = (type & 0x30) == 0x20;
        image.Symbols.push_back(std::move(sym));
      }
      i += aux;
    }
  }
  return image;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zelvic::tools
