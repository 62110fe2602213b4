#include "disasm_reference.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "EDisAsm.h"
#include "EDisAsmTables.h"

#if defined(ZELVIC_HAVE_ZYDIS)
#include <Zydis/Zydis.h>
#endif

namespace zelvic::disasm::reference {

namespace {

struct TPipeCloser {
  void operator()(FILE* f) const { pclose(f); }
};

class TTempFile {
 public:
  TTempFile() {
    char name[] = "/tmp/zelvic_disasm_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) {
      close(fd);
      path_ = name;
    }
  }
  ~TTempFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  const std::string& path() const { return path_; }
  bool Write(const std::vector<std::uint8_t>& bytes) const {
    FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
  }

 private:
  std::string path_;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "  7b601000:\t55                \tpush   ebp"
bool ParseObjdumpLine(const char* line, TReferenceInstruction& out) {
  const char* p = line;
  while (*p == ' ') ++p;
  std::uint32_t address = 0;
  int digits = 0;
  for (; HexValue(*p) >= 0; ++p, ++digits) address = address * 16 + static_cast<std::uint32_t>(HexValue(*p));
  if (digits == 0 || *p != ':' || p[1] != '\t') return false;
  p += 2;
  std::uint32_t length = 0;
  while (*p != '\0' && *p != '\t' && *p != '\n') {
    if (HexValue(p[0]) >= 0 && HexValue(p[1]) >= 0) {
      ++length;
      p += 2;
    } else {
      ++p;
    }
  }
  std::string text;
  if (*p == '\t') {
    ++p;
    text = p;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  }
  if (length == 0) return false;
  out.Address = address;
  out.Length = length;
  out.Text = text;
  out.Valid = !(text.rfind("(bad)", 0) == 0 || text.rfind(".byte", 0) == 0 || text.find("(bad)") != std::string::npos);
  return true;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The mnemonic word of an objdump line, prefixes like "lock", "rep", "data16",
// "addr16", "cs", "bnd", "notrack" skipped.
std::string Mnemonic(const std::string& text) {
  static const char* const kPrefixWords[] = {"lock", "rep",  "repz", "repnz", "repe", "repne", "data16", "addr16",
                                             "cs",   "ds",   "es",   "ss",    "fs",   "gs",    "bnd",    "notrack",
                                             "xacquire", "xrelease", "data32", "addr32"};
  std::size_t pos = 0;
  for (;;) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    std::size_t end = pos;
    while (end < text.size() && text[end] != ' ') ++end;
    const std::string word = text.substr(pos, end - pos);
    bool is_prefix = false;
    for (const char* w : kPrefixWords) is_prefix = is_prefix || word == w;
    if (!is_prefix || end >= text.size()) return word;
    pos = end;
  }
}

bool ParseTargetOperand(const std::string& text, std::uint32_t& target) {
  const std::size_t at = text.find("0x");
  if (at == std::string::npos) return false;
  std::uint64_t v = 0;
  std::size_t k = at + 2;
  int digits = 0;
  for (; k < text.size() && HexValue(text[k]) >= 0; ++k, ++digits) v = v * 16 + static_cast<std::uint64_t>(HexValue(text[k]));
  if (digits == 0) return false;
  target = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string s;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (k != 0) s += ' ';
    s += kDigits[bytes[k] >> 4];
    s += kDigits[bytes[k] & 15];
  }
  return s;
}

std::string Describe(const TMismatch& m) {
  char head[64];
  std::snprintf(head, sizeof head, "%08X ours=%u ref=%u: ", m.Address, m.OurLength, m.ReferenceLength);
  return std::string(head) + Hex(m.Bytes) + "  [ref: " + m.ReferenceText + "]  [ours: " + m.OurText + "]";
}

bool ObjdumpAvailable() {
  std::unique_ptr<FILE, TPipeCloser> p(popen("objdump --help 2>/dev/null", "r"));
  if (!p) return false;
  char buf[4096];
  bool i386 = false;
  while (std::fgets(buf, sizeof buf, p.get()) != nullptr)
    if (std::strstr(buf, "i386") != nullptr) i386 = true;
  return i386;
}

bool ObjdumpSweep(const std::vector<std::uint8_t>& bytes, std::uint32_t base, std::vector<TReferenceInstruction>& out,
                  std::string& error) {
  TTempFile file;
  if (file.path().empty() || !file.Write(bytes)) {
    error = "cannot write a temporary file";
    return false;
  }
  char command[512];
  std::snprintf(command, sizeof command,
                "objdump -D -b binary -m i386 -M intel --insn-width=16 --adjust-vma=0x%08X '%s' 2>&1", base,
                file.path().c_str());
  std::unique_ptr<FILE, TPipeCloser> pipe(popen(command, "r"));
  if (!pipe) {
    error = "cannot run objdump";
    return false;
  }
  out.clear();
  char line[1024];
  TReferenceInstruction ins;
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr)
    if (ParseObjdumpLine(line, ins)) out.push_back(ins);
  if (out.empty()) {
    error = "objdump printed no instruction";
    return false;
  }
  return true;
}

void CompareWithSweep(const std::vector<std::uint8_t>& bytes, std::uint32_t base,
                      const std::vector<TReferenceInstruction>& sweep, TComparison& result, std::size_t max_mismatches) {
  const TBufferMemory memory(bytes.data(), bytes.size(), base);
  auto record = [&](const TReferenceInstruction& ref, const TDisasmInstruction& ours) {
    if (result.Mismatches.size() >= max_mismatches) return;
    TMismatch m;
    m.Address = ref.Address;
    const std::uint32_t offset = ref.Address - base;
    for (std::uint32_t k = offset; k < bytes.size() && k < offset + 16; ++k) m.Bytes.push_back(bytes[k]);
    m.OurLength = ours.Valid ? ours.End - ours.Start : 0;
    m.ReferenceLength = ref.Length;
    m.ReferenceText = ref.Text;
    char text[kMaxLineLength];
    FormatMnemonicAndOperands(ours, &memory, text, sizeof text);
    m.OurText = text;
    result.Mismatches.push_back(std::move(m));
  };
  for (const TReferenceInstruction& ref : sweep) {
    if (ref.Address < base || ref.Address - base >= bytes.size()) continue;
    const TDisasmInstruction ours = DecodeInstruction(memory, ref.Address, true);
    // An instruction cut by the end of the buffer is unknown to both.
    if (ref.Address - base + ref.Length >= bytes.size() && !ours.Valid) continue;
    if (!ref.Valid) {
      if (ours.Valid) ++result.OursOnly;
      continue;
    }
    if (!ours.Valid) {
      ++result.ReferenceOnly;
      continue;
    }
    ++result.Compared;
    if (ours.End - ours.Start != ref.Length) {
      // objdump fuses WAIT (9Bh) with the x87 instruction after it into the
      // assembler's waiting form (FSTSW = WAIT + FNSTSW); the processor and
      // this decoder see two instructions.
      if (ours.Map == 0 && ours.OpcodeByte == 0x9B && !ours.OperandSizePrefix) {
        const TDisasmInstruction next = DecodeInstruction(memory, ours.End, true);
        if (next.Valid && next.Map == 0 && next.OpcodeByte >= 0xD8 && next.OpcodeByte <= 0xDF &&
            1 + (next.End - next.Start) == ref.Length) {
          ++result.FusedWait;
          continue;
        }
      }
      record(ref, ours);
      continue;
    }
    const std::string mnemonic = Mnemonic(ref.Text);
    const bool ref_call = StartsWith(mnemonic, "call") || StartsWith(mnemonic, "lcall");
    const bool ref_jump = (StartsWith(mnemonic, "j") || StartsWith(mnemonic, "loop") || StartsWith(mnemonic, "ljmp"));
    if (ref_call != ours.IsCall || ref_jump != ours.IsBranch) {
      record(ref, ours);
      continue;
    }
    if (ours.IsRelative && !ours.OperandSizePrefix) {
      std::uint32_t target = 0;
      if (!ParseTargetOperand(ref.Text, target) || target != ours.Target) {
        record(ref, ours);
        continue;
      }
      ++result.CallKindChecked;
    }
  }
}

void ForEachCandidate(const TCandidateSet& set,
                      const std::function<void(const std::uint8_t* bytes, std::size_t size)>& visit) {
  static const std::uint8_t kSibSample[] = {0x00, 0x05, 0x24, 0x25, 0x4D, 0x65, 0x8C, 0xA5, 0xC8, 0xE5, 0xFD};
  std::uint8_t buf[40];
  for (const auto& prefix : set.Prefixes) {
    for (int map = 0; map < 4; ++map) {
      for (int op = 0; op < 256; ++op) {
        if (map == 0 && (op == 0x0F || tables::kAttributes[0][op] == kInvalidAttributes)) continue;
        if (map != 0 && tables::kAttributes[map][op] == kInvalidAttributes) continue;
        std::size_t n = 0;
        for (std::uint8_t b : prefix) buf[n++] = b;
        if (map >= 1) buf[n++] = 0x0F;
        if (map == 2) buf[n++] = 0x38;
        if (map == 3) buf[n++] = 0x3A;
        buf[n++] = static_cast<std::uint8_t>(op);
        const std::size_t modrm_at = n;
        const bool has_modrm = (tables::kAttributes[map][op] & attr::kModRMBits) != 0;
        for (int modrm = 0; modrm < 256; modrm += has_modrm ? set.ModRMStep : 256) {
          std::size_t k = modrm_at;
          if (has_modrm) buf[k++] = static_cast<std::uint8_t>(modrm);
          const bool sib = has_modrm && (modrm >> 6) != 3 && (modrm & 7) == 4 &&
                           !(prefix.size() == 1 && prefix[0] == 0x67);
          const int sib_count = !sib ? 1 : set.FullSib ? 256 : static_cast<int>(sizeof kSibSample);
          for (int s = 0; s < sib_count; ++s) {
            std::size_t j = k;
            if (sib) buf[j++] = set.FullSib ? static_cast<std::uint8_t>(s) : kSibSample[s];
            for (std::size_t f = j; f < sizeof buf; ++f) buf[f] = 0x0D;
            visit(buf, sizeof buf);
          }
        }
      }
    }
  }
}

bool CompareCandidatesWithObjdump(const TCandidateSet& set, TComparison& result, std::string& error) {
  // Each candidate is followed by 16 zero bytes and F8h: objdump prints a
  // run of zeros as "..." and skips it in steps of four, and whatever zeros
  // it leaves (0-3) pair up with F8h into a register-form ADD, so the sweep
  // is back in step at the next candidate even after a disagreement.
  constexpr std::uint32_t kBase = 0x00400000;
  std::vector<std::uint8_t> image;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> slots;  // offset, our length
  ForEachCandidate(set, [&](const std::uint8_t* bytes, std::size_t size) {
    TDisasmInstruction r;
    DecodeBytes(bytes, size, kBase, r, nullptr);
    if (!r.Valid || r.End - r.Start > 15) return;
    const std::uint32_t length = r.End - r.Start;
    slots.emplace_back(static_cast<std::uint32_t>(image.size()), length);
    image.insert(image.end(), bytes, bytes + length);
    // A candidate of zeros only would merge with the zero run into one "...".
    const bool all_zero = std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0; });
    image.insert(image.end(), 16, all_zero ? 0x90 : 0x00);
    image.push_back(0xF8);
  });
  std::vector<TReferenceInstruction> sweep;
  if (!ObjdumpSweep(image, kBase, sweep, error)) return false;
  std::size_t at = 0;
  const TBufferMemory memory(image.data(), image.size(), kBase);
  for (const auto& [offset, length] : slots) {
    const std::uint32_t address = kBase + offset;
    while (at < sweep.size() && sweep[at].Address < address) ++at;
    const bool found = at < sweep.size() && sweep[at].Address == address;
    if (found && !sweep[at].Valid) {
      ++result.OursOnly;
      continue;
    }
    if (found && sweep[at].Length == length) {
      ++result.Compared;
      continue;
    }
    if (result.Mismatches.size() < 50) {
      TMismatch m;
      m.Address = address;
      m.Bytes.assign(image.begin() + offset, image.begin() + offset + length);
      m.OurLength = length;
      m.ReferenceLength = found ? sweep[at].Length : 0;
      m.ReferenceText = found ? sweep[at].Text : "(no instruction starts here)";
      const TDisasmInstruction r = DecodeInstruction(memory, address, true);
      char text[kMaxLineLength];
      FormatMnemonicAndOperands(r, &memory, text, sizeof text);
      m.OurText = text;
      result.Mismatches.push_back(std::move(m));
    }
  }
  return true;
}

#if defined(ZELVIC_HAVE_ZYDIS)
std::uint32_t ZydisLength(const std::uint8_t* bytes, std::size_t size) {
  static const ZydisDecoder decoder = [] {
    ZydisDecoder d;
    ZydisDecoderInit(&d, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    return d;
  }();
  ZydisDecodedInstruction ins;
  if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder, nullptr, bytes, size < 15 ? size : 15, &ins))) return 0;
  return ins.length;
}

void CompareCandidatesWithZydis(const TCandidateSet& set, TComparison& result) {
  ForEachCandidate(set, [&](const std::uint8_t* bytes, std::size_t size) {
    TDisasmInstruction r;
    DecodeBytes(bytes, size, 0x00400000, r, nullptr);
    if (!r.Valid || r.End - r.Start > 15) return;
    const std::uint32_t ours = r.End - r.Start;
    const std::uint32_t ref = ZydisLength(bytes, size);
    if (ref == 0) {
      ++result.OursOnly;
      return;
    }
    ++result.Compared;
    if (ref != ours && result.Mismatches.size() < 50) {
      TMismatch m;
      m.Address = 0x00400000;
      m.Bytes.assign(bytes, bytes + 15);
      m.OurLength = ours;
      m.ReferenceLength = ref;
      char text[kMaxLineLength];
      FormatMnemonicAndOperands(r, nullptr, text, sizeof text);
      m.OurText = text;
      result.Mismatches.push_back(std::move(m));
    }
  });
}
#endif

}  // namespace zelvic::disasm::reference
