#include "dwarf_reader.h"

#include <cstring>
#include <map>
#include <optional>
#include <unordered_map>

namespace zelvic::tools {

namespace {

// DWARF constants used here (DWARF 4 and 5, plus the GNU forms GCC emits).
enum : std::uint32_t {
  DW_TAG_compile_unit = 0x11,
  DW_TAG_partial_unit = 0x3c,
  DW_TAG_subprogram = 0x2e,
  DW_TAG_inlined_subroutine = 0x1d,
  DW_TAG_class_type = 0x02,
  DW_TAG_structure_type = 0x13,
  DW_TAG_union_type = 0x17,
  DW_TAG_namespace = 0x39,
  DW_AT_name = 0x03,
  DW_AT_stmt_list = 0x10,
  DW_AT_low_pc = 0x11,
  DW_AT_high_pc = 0x12,
  DW_AT_comp_dir = 0x1b,
  DW_AT_abstract_origin = 0x31,
  DW_AT_declaration = 0x3c,
  DW_AT_decl_file = 0x3a,
  DW_AT_call_file = 0x58,
  DW_AT_call_line = 0x59,
  DW_AT_declaration_link = 0x47,  // a definition naming its declaration
  DW_AT_ranges = 0x55,
  DW_AT_linkage_name = 0x6e,
  DW_AT_str_offsets_base = 0x72,
  DW_AT_addr_base = 0x73,
  DW_AT_rnglists_base = 0x74,
  DW_AT_MIPS_linkage_name = 0x2007,
};

enum : std::uint32_t {
  DW_FORM_addr = 0x01, DW_FORM_block2 = 0x03, DW_FORM_block4 = 0x04, DW_FORM_data2 = 0x05,
  DW_FORM_data4 = 0x06, DW_FORM_data8 = 0x07, DW_FORM_string = 0x08, DW_FORM_block = 0x09,
  DW_FORM_block1 = 0x0a, DW_FORM_data1 = 0x0b, DW_FORM_flag = 0x0c, DW_FORM_sdata = 0x0d,
  DW_FORM_strp = 0x0e, DW_FORM_udata = 0x0f, DW_FORM_ref_addr = 0x10, DW_FORM_ref1 = 0x11,
  DW_FORM_ref2 = 0x12, DW_FORM_ref4 = 0x13, DW_FORM_ref8 = 0x14, DW_FORM_ref_udata = 0x15,
  DW_FORM_indirect = 0x16, DW_FORM_sec_offset = 0x17, DW_FORM_exprloc = 0x18, DW_FORM_flag_present = 0x19,
  DW_FORM_strx = 0x1a, DW_FORM_addrx = 0x1b, DW_FORM_ref_sup4 = 0x1c, DW_FORM_strp_sup = 0x1d,
  DW_FORM_data16 = 0x1e, DW_FORM_line_strp = 0x1f, DW_FORM_ref_sig8 = 0x20, DW_FORM_implicit_const = 0x21,
  DW_FORM_loclistx = 0x22, DW_FORM_rnglistx = 0x23, DW_FORM_ref_sup8 = 0x24, DW_FORM_strx1 = 0x25,
  DW_FORM_strx2 = 0x26, DW_FORM_strx3 = 0x27, DW_FORM_strx4 = 0x28, DW_FORM_addrx1 = 0x29,
  DW_FORM_addrx2 = 0x2a, DW_FORM_addrx3 = 0x2b, DW_FORM_addrx4 = 0x2c,
  DW_FORM_GNU_addr_index = 0x1f01, DW_FORM_GNU_str_index = 0x1f02, DW_FORM_GNU_ref_alt = 0x1f20,
  DW_FORM_GNU_strp_alt = 0x1f21,
};

class TCursor {
 public:
  TCursor(std::span<const std::uint8_t> data, const char* what, std::size_t at = 0) : d_(data), at_(at), what_(what) {
    if (at > data.size()) Fail();
  }
  std::size_t Pos() const noexcept { return at_; }
  std::size_t Size() const noexcept { return d_.size(); }
  bool AtEnd() const noexcept { return at_ >= d_.size(); }
  void Seek(std::uint64_t at) {
    if (at > d_.size()) Fail();
    at_ = static_cast<std::size_t>(at);
  }
  void Skip(std::uint64_t n) {
    if (n > d_.size() - at_) Fail();
    at_ += static_cast<std::size_t>(n);
  }
  std::uint64_t Fixed(int bytes) {
    if (static_cast<std::size_t>(bytes) > d_.size() - at_) Fail();
    std::uint64_t v = 0;
    for (int i = bytes; i-- > 0;) v = v << 8 | d_[at_ + static_cast<std::size_t>(i)];
    at_ += static_cast<std::size_t>(bytes);
    return v;
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Fixed(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Fixed(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Fixed(4)); }
  std::uint64_t ULeb() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t b = U8();
      if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
      if ((b & 0x80) == 0) return v;
    }
  }
  std::int64_t SLeb() {
    std::int64_t v = 0;
    int shift = 0;
    std::uint8_t b;
    do {
      b = U8();
      if (shift < 64) v |= static_cast<std::int64_t>(std::uint64_t{b & 0x7Fu} << shift);
      shift += 7;
    } while (b & 0x80);
    if (shift < 64 && (b & 0x40)) v |= -(std::int64_t{1} << shift);
    return v;
  }
  std::string CString() {
    if (at_ >= d_.size()) Fail();  // also keeps a null data pointer from memchr
    const void* end = std::memchr(d_.data() + at_, 0, d_.size() - at_);
    if (end == nullptr) Fail();
    const std::size_t n = static_cast<const std::uint8_t*>(end) - (d_.data() + at_);
    std::string s(reinterpret_cast<const char*>(d_.data() + at_), n);
    at_ += n + 1;
    return s;
  }
  // A unit's initial length: 32-bit, or 0xFFFFFFFF and 64-bit.
  std::uint64_t InitialLength(int& offset_size) {
    std::uint64_t len = U32();
    offset_size = 4;
    if (len == 0xFFFFFFFFu) {
      len = Fixed(8);
      offset_size = 8;
    } else if (len >= 0xFFFFFFF0u) {
      Fail();
    }
    if (len > d_.size() - at_) Fail();
    return len;
  }
  [[noreturn]] void Fail() const { throw TDwarfFormatError(std::string(what_) + ": offset or length out of bounds"); }

 private:
  std::span<const std::uint8_t> d_;
  std::size_t at_;
  const char* what_;
};

std::string StringAt(std::span<const std::uint8_t> section, std::uint64_t offset, const char* what) {
  TCursor c(section, what);
  c.Seek(offset);
  return c.CString();
}

bool IsAbsolute(const std::string& p) {
  return (!p.empty() && (p[0] == '/' || p[0] == '\\')) || (p.size() > 1 && p[1] == ':');
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || IsAbsolute(name)) return name;
  if (dir.back() == '/' || dir.back() == '\\') return dir + name;
  return dir + "/" + name;
}

struct TAbbrevAttr {
  std::uint32_t Attr, Form;
  std::int64_t Implicit;
};
struct TAbbrev {
  std::uint32_t Tag = 0;
  bool Children = false;
  std::vector<TAbbrevAttr> Attrs;
};
using TAbbrevTable = std::unordered_map<std::uint64_t, TAbbrev>;

TAbbrevTable ReadAbbrevs(std::span<const std::uint8_t> section, std::uint64_t offset) {
  TCursor c(section, ".debug_abbrev");
  c.Seek(offset);
  TAbbrevTable table;
  while (true) {
    const std::uint64_t code = c.ULeb();
    if (code == 0) break;
    TAbbrev a;
    a.Tag = static_cast<std::uint32_t>(c.ULeb());
    a.Children = c.U8() != 0;
    while (true) {
      const auto attr = static_cast<std::uint32_t>(c.ULeb());
      const auto form = static_cast<std::uint32_t>(c.ULeb());
      if (attr == 0 && form == 0) break;
      const std::int64_t implicit = form == DW_FORM_implicit_const ? c.SLeb() : 0;
      a.Attrs.push_back({attr, form, implicit});
    }
    table.emplace(code, std::move(a));
  }
  return table;
}

// One attribute value: a number (constant, address, offset, reference made
// section-relative) or a string; `Form` tells which.
struct TValue {
  std::uint32_t Form = 0;
  std::uint64_t Number = 0;
  std::string Text;
  bool IsText = false;
  bool IsIndex = false;  // strx/addrx/rnglistx: resolved once the unit's bases are known
};

struct TUnitContext {
  std::uint64_t Offset = 0;
  std::uint16_t Version = 0;
  int OffsetSize = 4;
  int AddressSize = 4;
  std::uint64_t StrOffsetsBase = 0;
  std::uint64_t AddrBase = 0;
  std::uint64_t RngListsBase = 0;
  bool HasRngListsBase = false;
};

TValue ReadForm(TCursor& c, std::uint32_t form, std::int64_t implicit, const TUnitContext& u,
                const TDwarfSections& s) {
  TValue v;
  v.Form = form;
  switch (form) {
    case DW_FORM_addr: v.Number = c.Fixed(u.AddressSize); break;
    case DW_FORM_block2: c.Skip(c.U16()); break;
    case DW_FORM_block4: c.Skip(c.U32()); break;
    case DW_FORM_data2: v.Number = c.U16(); break;
    case DW_FORM_data4: v.Number = c.U32(); break;
    case DW_FORM_data8: v.Number = c.Fixed(8); break;
    case DW_FORM_data16: c.Skip(16); break;
    case DW_FORM_string: v.Text = c.CString(); v.IsText = true; break;
    case DW_FORM_block:
    case DW_FORM_exprloc: c.Skip(c.ULeb()); break;
    case DW_FORM_block1: c.Skip(c.U8()); break;
    case DW_FORM_data1:
    case DW_FORM_flag: v.Number = c.U8(); break;
    case DW_FORM_sdata: v.Number = static_cast<std::uint64_t>(c.SLeb()); break;
    case DW_FORM_udata: v.Number = c.ULeb(); break;
    case DW_FORM_strp: v.Text = StringAt(s.Str, c.Fixed(u.OffsetSize), ".debug_str"); v.IsText = true; break;
    case DW_FORM_line_strp:
      v.Text = StringAt(s.LineStr, c.Fixed(u.OffsetSize), ".debug_line_str");
      v.IsText = true;
      break;
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_strp_alt:
    case DW_FORM_GNU_ref_alt:
    case DW_FORM_ref_sup4: c.Skip(form == DW_FORM_ref_sup4 ? 4 : static_cast<std::uint64_t>(u.OffsetSize)); break;
    case DW_FORM_ref_sup8:
    case DW_FORM_ref_sig8: c.Skip(8); break;
    case DW_FORM_ref_addr: v.Number = c.Fixed(u.Version <= 2 ? u.AddressSize : u.OffsetSize); break;
    case DW_FORM_ref1: v.Number = u.Offset + c.U8(); break;
    case DW_FORM_ref2: v.Number = u.Offset + c.U16(); break;
    case DW_FORM_ref4: v.Number = u.Offset + c.U32(); break;
    case DW_FORM_ref8: v.Number = u.Offset + c.Fixed(8); break;
    case DW_FORM_ref_udata: v.Number = u.Offset + c.ULeb(); break;
    case DW_FORM_indirect: {
      const auto real = static_cast<std::uint32_t>(c.ULeb());
      if (real == DW_FORM_indirect) c.Fail();
      return ReadForm(c, real, implicit, u, s);
    }
    case DW_FORM_sec_offset: v.Number = c.Fixed(u.OffsetSize); break;
    case DW_FORM_flag_present: v.Number = 1; break;
    case DW_FORM_implicit_const: v.Number = static_cast<std::uint64_t>(implicit); break;
    case DW_FORM_strx:
    case DW_FORM_addrx:
    case DW_FORM_loclistx:
    case DW_FORM_rnglistx:
    case DW_FORM_GNU_addr_index:
    case DW_FORM_GNU_str_index: v.Number = c.ULeb(); v.IsIndex = true; break;
    case DW_FORM_strx1:
    case DW_FORM_addrx1: v.Number = c.U8(); v.IsIndex = true; break;
    case DW_FORM_strx2:
    case DW_FORM_addrx2: v.Number = c.U16(); v.IsIndex = true; break;
    case DW_FORM_strx3:
    case DW_FORM_addrx3: v.Number = c.Fixed(3); v.IsIndex = true; break;
    case DW_FORM_strx4:
    case DW_FORM_addrx4: v.Number = c.U32(); v.IsIndex = true; break;
    default: throw TDwarfFormatError("unknown attribute form " + std::to_string(form));
  }
  return v;
}

bool IsStrIndexForm(std::uint32_t f) {
  return f == DW_FORM_strx || (f >= DW_FORM_strx1 && f <= DW_FORM_strx4) || f == DW_FORM_GNU_str_index;
}
bool IsAddrIndexForm(std::uint32_t f) {
  return f == DW_FORM_addrx || (f >= DW_FORM_addrx1 && f <= DW_FORM_addrx4) || f == DW_FORM_GNU_addr_index;
}

std::string IndexedString(const TDwarfSections& s, const TUnitContext& u, std::uint64_t index) {
  TCursor c(s.StrOffsets, ".debug_str_offsets");
  c.Seek(u.StrOffsetsBase + index * static_cast<std::uint64_t>(u.OffsetSize));
  return StringAt(s.Str, c.Fixed(u.OffsetSize), ".debug_str");
}

std::uint64_t IndexedAddress(const TDwarfSections& s, const TUnitContext& u, std::uint64_t index) {
  TCursor c(s.Addr, ".debug_addr");
  c.Seek(u.AddrBase + index * static_cast<std::uint64_t>(u.AddressSize));
  return c.Fixed(u.AddressSize);
}

std::string TextOf(const TValue& v, const TDwarfSections& s, const TUnitContext& u) {
  if (v.IsText) return v.Text;
  if (IsStrIndexForm(v.Form)) return IndexedString(s, u, v.Number);
  return {};
}

std::uint64_t AddressOf(const TValue& v, const TDwarfSections& s, const TUnitContext& u) {
  return IsAddrIndexForm(v.Form) ? IndexedAddress(s, u, v.Number) : v.Number;
}

std::vector<TDwarfRange> ReadRanges(const TDwarfSections& s, const TUnitContext& u, const TValue& attr,
                                    std::uint64_t base) {
  std::vector<TDwarfRange> out;
  const std::uint64_t max_address = u.AddressSize == 4 ? 0xFFFFFFFFull : ~0ull;
  if (u.Version < 5) {
    TCursor c(s.Ranges, ".debug_ranges");
    c.Seek(attr.Number);
    while (true) {
      const std::uint64_t a = c.Fixed(u.AddressSize), b = c.Fixed(u.AddressSize);
      if (a == 0 && b == 0) break;
      if (a == max_address) {
        base = b;
        continue;
      }
      if (b > a) out.push_back({base + a, base + b});
    }
    return out;
  }
  std::uint64_t offset = attr.Number;
  if (attr.Form == DW_FORM_rnglistx) {
    if (!u.HasRngListsBase) throw TDwarfFormatError("rnglistx without DW_AT_rnglists_base");
    TCursor t(s.RngLists, ".debug_rnglists");
    t.Seek(u.RngListsBase + attr.Number * static_cast<std::uint64_t>(u.OffsetSize));
    offset = u.RngListsBase + t.Fixed(u.OffsetSize);
  }
  TCursor c(s.RngLists, ".debug_rnglists");
  c.Seek(offset);
  while (true) {
    const std::uint8_t kind = c.U8();
    std::uint64_t a = 0, b = 0;
    switch (kind) {
      case 0: return out;  // end_of_list
      case 1: base = IndexedAddress(s, u, c.ULeb()); continue;  // base_addressx
      case 2: a = IndexedAddress(s, u, c.ULeb()); b = IndexedAddress(s, u, c.ULeb()); break;
      case 3: a = IndexedAddress(s, u, c.ULeb()); b = a + c.ULeb(); break;
      case 4: a = base + c.ULeb(); b = base + c.ULeb(); break;  // offset_pair
      case 5: base = c.Fixed(u.AddressSize); continue;
      case 6: a = c.Fixed(u.AddressSize); b = c.Fixed(u.AddressSize); break;
      case 7: a = c.Fixed(u.AddressSize); b = a + c.ULeb(); break;
      default: throw TDwarfFormatError("unknown range list entry");
    }
    if (b > a) out.push_back({a, b});
  }
}

// What naming needs of any DIE: its own names and where they may come from.
struct TDieNames {
  std::string Name, LinkageName;
  std::string Scope;  // enclosing namespaces and classes, "::"-joined
  std::int64_t DeclFile = -1;
  std::size_t Unit = 0;
  std::uint64_t Origin = 0;  // declaration or abstract origin, section offset; 0: none
};

struct TPendingRoutine {
  TDwarfRoutine Routine;
  std::uint64_t Origin = 0;
};

}  // namespace

TDwarfLineTable ReadLineProgram(const TDwarfSections& s, std::uint64_t offset, const std::string& comp_dir,
                                const std::string& unit_name) {
  TDwarfLineTable table;
  TCursor c(s.Line, ".debug_line");
  c.Seek(offset);
  int offset_size = 4;
  const std::uint64_t length = c.InitialLength(offset_size);
  const std::size_t end = c.Pos() + static_cast<std::size_t>(length);
  const std::uint16_t version = c.U16();
  if (version < 2 || version > 5) throw TDwarfFormatError("unsupported line table version " + std::to_string(version));
  int address_size = 4;
  if (version >= 5) {
    address_size = c.U8();
    c.U8();  // segment selector size
  }
  const std::uint64_t header_length = c.Fixed(offset_size);
  const std::size_t program = c.Pos() + static_cast<std::size_t>(header_length);
  if (program > end) c.Fail();
  const std::uint8_t min_inst = c.U8();
  if (version >= 4) c.U8();  // maximum operations per instruction: 1 on x86
  const bool default_is_stmt = c.U8() != 0;
  (void)default_is_stmt;
  const auto line_base = static_cast<std::int8_t>(c.U8());
  const std::uint8_t line_range = c.U8();
  const std::uint8_t opcode_base = c.U8();
  if (line_range == 0) throw TDwarfFormatError("line_range 0");
  std::vector<std::uint8_t> std_lengths(opcode_base > 0 ? opcode_base - 1 : 0);
  for (auto& n : std_lengths) n = c.U8();

  std::vector<std::string> dirs;
  if (version < 5) {
    dirs.push_back(comp_dir);
    while (true) {
      std::string d = c.CString();
      if (d.empty()) break;
      dirs.push_back(JoinPath(comp_dir, d));
    }
    table.Files.push_back(JoinPath(comp_dir, unit_name));  // file 0: the unit's primary file
    while (true) {
      std::string name = c.CString();
      if (name.empty()) break;
      const std::uint64_t dir = c.ULeb();
      c.ULeb();
      c.ULeb();
      table.Files.push_back(JoinPath(dir < dirs.size() ? dirs[dir] : comp_dir, name));
    }
  } else {
    TUnitContext u;
    u.Version = version;
    u.OffsetSize = offset_size;
    u.AddressSize = address_size;
    auto entries = [&](bool with_dirs) {
      const std::uint8_t format_count = c.U8();
      std::vector<std::pair<std::uint64_t, std::uint64_t>> formats(format_count);
      for (auto& f : formats) {
        f.first = c.ULeb();
        f.second = c.ULeb();
      }
      const std::uint64_t count = c.ULeb();
      for (std::uint64_t i = 0; i < count; ++i) {
        std::string path;
        std::uint64_t dir = 0;
        for (const auto& [content, form] : formats) {
          const TValue v = ReadForm(c, static_cast<std::uint32_t>(form), 0, u, s);
          if (content == 1) path = TextOf(v, s, u);
          else if (content == 2) dir = v.Number;
        }
        if (with_dirs) {
          dirs.push_back(i == 0 ? JoinPath(comp_dir, path) : JoinPath(dirs.empty() ? comp_dir : dirs[0], path));
        } else {
          table.Files.push_back(JoinPath(dir < dirs.size() ? dirs[dir] : comp_dir, path));
        }
      }
    };
    entries(true);
    entries(false);
  }

  c.Seek(program);
  std::vector<TDwarfLineRow> seq;
  TDwarfLineRow row;
  auto reset = [&] {
    row = TDwarfLineRow{};
    row.File = 1;
    row.Line = 1;
  };
  reset();
  auto emit = [&] {
    seq.push_back(row);
    if (row.EndSequence) {
      table.Sequences.push_back(std::move(seq));
      seq.clear();
      reset();
    }
  };
  while (c.Pos() < end) {
    const std::uint8_t op = c.U8();
    if (op >= opcode_base) {
      const int adjusted = op - opcode_base;
      row.Addr += static_cast<std::uint64_t>(adjusted / line_range) * min_inst;
      row.Line += line_base + adjusted % line_range;
      emit();
      continue;
    }
    switch (op) {
      case 0: {
        const std::uint64_t len = c.ULeb();
        if (len == 0 || len > end - c.Pos()) c.Fail();
        const std::size_t next = c.Pos() + static_cast<std::size_t>(len);
        const std::uint8_t sub = c.U8();
        if (sub == 1) {
          row.EndSequence = true;
          emit();
        } else if (sub == 2) {
          row.Addr = c.Fixed(static_cast<int>(len - 1 <= 8 ? len - 1 : 8));
        } else if (sub == 3) {
          std::string name = c.CString();
          const std::uint64_t dir = c.ULeb();
          table.Files.push_back(JoinPath(dir < dirs.size() ? dirs[dir] : comp_dir, name));
        }
        c.Seek(next);
        break;
      }
      case 1: emit(); break;
      case 2: row.Addr += c.ULeb() * min_inst; break;
      case 3: row.Line += static_cast<std::int32_t>(c.SLeb()); break;
      case 4: row.File = static_cast<std::uint32_t>(c.ULeb()); break;
      case 5: c.ULeb(); break;
      case 6: case 7: case 10: case 11: break;
      case 8: row.Addr += static_cast<std::uint64_t>((255 - opcode_base) / line_range) * min_inst; break;
      case 9: row.Addr += c.U16(); break;
      default:
        for (std::uint8_t i = 0; i < std_lengths[op - 1]; ++i) c.ULeb();
        break;
    }
  }
  for (auto& sq : table.Sequences) {
    for (auto& r : sq) {
      if (r.File >= table.Files.size()) r.File = 0;
    }
  }
  return table;
}

TDwarfInfo ReadDwarf(const TDwarfSections& s) {
  TDwarfInfo info;
  std::unordered_map<std::uint64_t, TDieNames> names;
  std::vector<TPendingRoutine> pending;
  TCursor c(s.Info, ".debug_info");
  std::map<std::uint64_t, TAbbrevTable> abbrev_cache;
  while (!c.AtEnd()) {
    TUnitContext u;
    u.Offset = c.Pos();
    const std::uint64_t length = c.InitialLength(u.OffsetSize);
    const std::size_t end = c.Pos() + static_cast<std::size_t>(length);
    u.Version = c.U16();
    if (u.Version < 2 || u.Version > 5) throw TDwarfFormatError("unsupported unit version");
    std::uint64_t abbrev_offset;
    std::uint8_t unit_type = 1;
    if (u.Version >= 5) {
      unit_type = c.U8();
      u.AddressSize = c.U8();
      abbrev_offset = c.Fixed(u.OffsetSize);
      if (unit_type == 2 || unit_type == 6) c.Skip(8 + static_cast<std::uint64_t>(u.OffsetSize));  // type units
      else if (unit_type == 4 || unit_type == 5) c.Skip(8);  // skeleton / split
    } else {
      abbrev_offset = c.Fixed(u.OffsetSize);
      u.AddressSize = c.U8();
    }
    if (u.AddressSize != 4 && u.AddressSize != 8) throw TDwarfFormatError("unsupported address size");
    auto found = abbrev_cache.find(abbrev_offset);
    if (found == abbrev_cache.end()) found = abbrev_cache.emplace(abbrev_offset, ReadAbbrevs(s.Abbrev, abbrev_offset)).first;
    const TAbbrevTable& abbrevs = found->second;

    // DIEs are read in one pass; index-form values wait until the unit DIE
    // has given the bases, which it always does first.
    TDwarfCompileUnit unit;
    unit.Offset = u.Offset;
    unit.Version = u.Version;
    std::uint64_t unit_low = 0;
    std::optional<std::uint64_t> stmt_list;
    const std::size_t unit_index = info.Units.size();
    int depth = 0;
    bool first = true;
    // The qualified scope of the DIEs at each depth (children of the unit:
    // the global scope).
    std::vector<std::string> scopes;
    // Per depth: whether the DIEs there sit directly in a routine's code
    // (1), in an inlined call (2) or elsewhere (0); lexical blocks pass it on.
    std::vector<int> owners;
    while (c.Pos() < end) {
      const std::uint64_t die_offset = c.Pos();
      const std::uint64_t code = c.ULeb();
      if (code == 0) {
        if (--depth <= 0) {
          c.Seek(end);
          break;
        }
        if (!scopes.empty()) scopes.pop_back();
        if (!owners.empty()) owners.pop_back();
        continue;
      }
      const auto a = abbrevs.find(code);
      if (a == abbrevs.end()) throw TDwarfFormatError("unknown abbreviation code");
      const TAbbrev& ab = a->second;
      std::vector<std::pair<std::uint32_t, TValue>> values;
      values.reserve(ab.Attrs.size());
      for (const TAbbrevAttr& at : ab.Attrs) {
        TValue v = ReadForm(c, at.Form, at.Implicit, u, s);
        switch (at.Attr) {
          case DW_AT_name: case DW_AT_linkage_name: case DW_AT_MIPS_linkage_name: case DW_AT_declaration_link:
          case DW_AT_abstract_origin: case DW_AT_low_pc: case DW_AT_high_pc: case DW_AT_ranges:
          case DW_AT_stmt_list: case DW_AT_comp_dir: case DW_AT_str_offsets_base: case DW_AT_addr_base:
          case DW_AT_rnglists_base: case DW_AT_declaration: case DW_AT_decl_file:
          case DW_AT_call_file: case DW_AT_call_line:
            values.emplace_back(at.Attr, std::move(v));
            break;
          default: break;
        }
      }
      if (first) {
        first = false;
        for (const auto& [attr, v] : values) {
          if (attr == DW_AT_str_offsets_base) u.StrOffsetsBase = v.Number;
          if (attr == DW_AT_addr_base) u.AddrBase = v.Number;
          if (attr == DW_AT_rnglists_base) u.RngListsBase = v.Number, u.HasRngListsBase = true;
        }
      }
      TDieNames die;
      const TValue* low = nullptr;
      const TValue* high = nullptr;
      const TValue* ranges = nullptr;
      bool declaration = false;
      std::int64_t call_file = -1, call_line = 0;
      for (const auto& [attr, v] : values) {
        switch (attr) {
          case DW_AT_name: die.Name = TextOf(v, s, u); break;
          case DW_AT_linkage_name:
          case DW_AT_MIPS_linkage_name: die.LinkageName = TextOf(v, s, u); break;
          case DW_AT_declaration_link:
          case DW_AT_abstract_origin: die.Origin = v.Number; break;
          case DW_AT_low_pc: low = &v; break;
          case DW_AT_high_pc: high = &v; break;
          case DW_AT_ranges: ranges = &v; break;
          case DW_AT_stmt_list: stmt_list = v.Number; break;
          case DW_AT_comp_dir: unit.CompDir = TextOf(v, s, u); break;
          case DW_AT_declaration: declaration = v.Number != 0; break;
          case DW_AT_decl_file: die.DeclFile = static_cast<std::int64_t>(v.Number); break;
          case DW_AT_call_file: call_file = static_cast<std::int64_t>(v.Number); break;
          case DW_AT_call_line: call_line = static_cast<std::int64_t>(v.Number); break;
          default: break;
        }
      }
      if (ab.Tag == DW_TAG_compile_unit || ab.Tag == DW_TAG_partial_unit) {
        unit.Name = die.Name;
        if (low != nullptr) unit_low = AddressOf(*low, s, u);
      }
      die.Scope = scopes.empty() ? std::string() : scopes.back();
      die.Unit = unit_index;
      if (!die.Name.empty() || !die.LinkageName.empty() || die.Origin != 0) names.emplace(die_offset, die);
      auto code_ranges = [&]() {
        std::vector<TDwarfRange> out;
        if (low != nullptr && high != nullptr) {
          const std::uint64_t lo = AddressOf(*low, s, u);
          // high_pc of a constant class is a length (DWARF 4 and later).
          const bool is_length = high->Form != DW_FORM_addr && !IsAddrIndexForm(high->Form);
          const std::uint64_t hi = is_length ? lo + high->Number : AddressOf(*high, s, u);
          if (hi > lo) out.push_back({lo, hi});
        } else if (ranges != nullptr) {
          out = ReadRanges(s, u, *ranges, unit_low);
        }
        return out;
      };
      const int owner = owners.empty() ? 0 : owners.back();
      if (ab.Tag == DW_TAG_inlined_subroutine && owner == 1 && call_file >= 0) {
        TDwarfInlinedCall call;
        call.Ranges = code_ranges();
        call.CallFile = call_file;
        call.CallLine = static_cast<std::int32_t>(call_line);
        call.Unit = unit_index;
        if (!call.Ranges.empty()) info.InlinedCalls.push_back(std::move(call));
      }
      bool has_code = false;
      if (ab.Tag == DW_TAG_subprogram && !declaration) {
        TPendingRoutine p;
        p.Routine.Unit = unit_index;
        p.Routine.Name = die.Name;
        p.Routine.LinkageName = die.LinkageName;
        p.Routine.Scope = die.Scope;
        p.Routine.DeclFile = die.DeclFile;
        p.Routine.DeclUnit = unit_index;
        p.Origin = die.Origin;
        p.Routine.Ranges = code_ranges();
        has_code = !p.Routine.Ranges.empty();
        if (has_code) pending.push_back(std::move(p));
      }
      if (ab.Children) {
        std::string inner = scopes.empty() ? std::string() : scopes.back();
        const bool is_scope = ab.Tag == DW_TAG_namespace || ab.Tag == DW_TAG_class_type ||
                              ab.Tag == DW_TAG_structure_type || ab.Tag == DW_TAG_union_type;
        if (is_scope) {
          const std::string part = !die.Name.empty()              ? die.Name
                                   : ab.Tag == DW_TAG_namespace ? "(anonymous namespace)"
                                                                  : "(anonymous)";
          inner = inner.empty() ? part : inner + "::" + part;
        }
        if (depth > 0) scopes.push_back(std::move(inner));
        else scopes.push_back(std::string());
        owners.push_back(ab.Tag == DW_TAG_subprogram          ? (has_code ? 1 : 0)
                         : ab.Tag == DW_TAG_inlined_subroutine ? 2
                         : is_scope                            ? 0
                                                               : owner);
        ++depth;
      } else if (depth == 0) {
        c.Seek(end);
        break;
      }
    }
    c.Seek(end);
    if (unit_type == 1 || unit_type == 3) {
      if (stmt_list) {
        unit.Lines = ReadLineProgram(s, *stmt_list, unit.CompDir, unit.Name);
        unit.HasLines = true;
      }
      info.Units.push_back(std::move(unit));
    }
  }
  // Names through declaration/abstract origin chains (bounded: a cycle in
  // hostile data must not hang the build).
  for (TPendingRoutine& p : pending) {
    std::uint64_t origin = p.Origin;
    for (int hops = 0; origin != 0 && hops < 16; ++hops) {
      const auto it = names.find(origin);
      if (it == names.end()) break;
      if (p.Routine.Name.empty()) p.Routine.Name = it->second.Name;
      if (p.Routine.LinkageName.empty()) p.Routine.LinkageName = it->second.LinkageName;
      // The declaration sits in the class or namespace.
      if (!it->second.Scope.empty()) p.Routine.Scope = it->second.Scope;
      if (p.Routine.DeclFile < 0 && it->second.DeclFile >= 0) {
        p.Routine.DeclFile = it->second.DeclFile;
        p.Routine.DeclUnit = it->second.Unit;
      }
      origin = it->second.Origin;
    }
    info.Routines.push_back(std::move(p.Routine));
  }
  return info;
}

}  // namespace zelvic::tools
