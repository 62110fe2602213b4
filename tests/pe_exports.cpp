#include "pe_exports.h"

#include <cstdio>
#include <cstring>

namespace zelvic::test {
namespace {

struct Reader {
  const std::vector<std::uint8_t>& b;
  bool ok = true;
  std::uint32_t U32(std::size_t at) {
    if (at + 4 > b.size()) return ok = false, 0;
    std::uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
  }
  std::uint16_t U16(std::size_t at) {
    if (at + 2 > b.size()) return ok = false, 0;
    std::uint16_t v;
    std::memcpy(&v, &b[at], 2);
    return v;
  }
};

}  // namespace

std::vector<std::uint8_t> ReadWholeFile(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return bytes;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

std::vector<PeSectionHeader> ReadPeSections(const std::vector<std::uint8_t>& file) {
  Reader r{file};
  std::vector<PeSectionHeader> out;
  if (r.U16(0) != 0x5A4D) return out;
  const std::uint32_t nt = r.U32(0x3C);
  if (!r.ok || r.U32(nt) != 0x00004550) return out;
  const std::uint16_t count = r.U16(nt + 6);
  const std::size_t table = nt + 24 + r.U16(nt + 20);
  for (std::uint16_t i = 0; i < count && r.ok; ++i) {
    const std::size_t s = table + i * 40u;
    const PeSectionHeader h{r.U32(s + 12), r.U32(s + 8), r.U32(s + 20), r.U32(s + 16), r.U32(s + 36)};
    if (r.ok) out.push_back(h);
  }
  return out;
}

std::vector<PeExport> ReadPeExports(const std::vector<std::uint8_t>& file) {
  Reader r{file};
  std::vector<PeExport> out;
  if (r.U16(0) != 0x5A4D) return out;
  const std::uint32_t nt = r.U32(0x3C);
  if (r.U32(nt) != 0x00004550) return out;
  const std::size_t opt = nt + 24;
  if (r.U16(opt) != 0x10B) return out;  // PE32
  const std::uint32_t export_rva = r.U32(opt + 96);
  const std::vector<PeSectionHeader> sections = ReadPeSections(file);
  auto to_offset = [&](std::uint32_t rva) -> std::size_t {
    for (const PeSectionHeader& s : sections) {
      const std::uint32_t size = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
      if (rva >= s.rva && rva < s.rva + size) return s.raw_offset + (rva - s.rva);
    }
    return file.size();
  };
  const std::size_t dir = to_offset(export_rva);
  const std::uint32_t base = r.U32(dir + 16);
  const std::uint32_t functions = r.U32(dir + 20);
  const std::uint32_t names = r.U32(dir + 24);
  const std::size_t function_table = to_offset(r.U32(dir + 28));
  const std::size_t name_table = to_offset(r.U32(dir + 32));
  const std::size_t ordinal_table = to_offset(r.U32(dir + 36));
  if (!r.ok || functions > 65536 || names > functions) return {};
  for (std::uint32_t i = 0; i < functions; ++i) out.push_back({"", base + i, r.U32(function_table + 4u * i)});
  for (std::uint32_t i = 0; i < names; ++i) {
    const std::size_t name_at = to_offset(r.U32(name_table + 4u * i));
    const std::uint16_t index = r.U16(ordinal_table + 2u * i);
    if (index >= out.size() || name_at >= file.size()) return {};
    std::string name;
    for (std::size_t p = name_at; p < file.size() && file[p] != 0; ++p) name.push_back(static_cast<char>(file[p]));
    out[index].name = name;
  }
  return r.ok ? out : std::vector<PeExport>{};
}

}  // namespace zelvic::test
