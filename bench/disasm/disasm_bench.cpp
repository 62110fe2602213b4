// Decoder benchmark, one native run side by side:
//   decode throughput    this decoder vs Zydis 4 (decode only) vs Capstone 4 (detail off)
//   formatting           this decoder's line vs Capstone's text (and Zydis' formatter)
//   FindCallBefore       100,000 candidate return addresses
//
//   disasm_bench [PE-FILE]   (default: Wine's kernelbase.dll, else the test corpus)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "EDisAsm.h"

#if defined(ZELVIC_HAVE_ZYDIS)
#include <Zydis/Zydis.h>
#endif
#if defined(ZELVIC_HAVE_CAPSTONE)
#include <capstone/capstone.h>
#endif

using namespace zelvic::disasm;
using Clock = std::chrono::steady_clock;

namespace {

struct TCode {
  std::vector<std::uint8_t> bytes;
  std::uint32_t base = 0;
  std::string name;
};

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::vector<std::uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) != 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

std::uint32_t Le32(const std::vector<std::uint8_t>& d, std::size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (std::uint32_t{d[at + 3]} << 24);
}

// First executable section of a 32-bit PE file.
bool LoadPeCode(const std::string& path, TCode& code) {
  const std::vector<std::uint8_t> d = ReadFile(path);
  if (d.size() < 0x200 || d[0] != 'M' || d[1] != 'Z') return false;
  const std::uint32_t pe = Le32(d, 0x3C);
  if (pe + 0x100 > d.size() || Le32(d, pe) != 0x00004550) return false;
  const unsigned sections = d[pe + 6] | (d[pe + 7] << 8);
  const unsigned opt_size = d[pe + 20] | (d[pe + 21] << 8);
  const std::uint32_t image_base = Le32(d, pe + 24 + 28);
  for (unsigned k = 0; k < sections; ++k) {
    const std::size_t s = pe + 24 + opt_size + 40 * k;
    if (s + 40 > d.size()) return false;
    const std::uint32_t vsize = Le32(d, s + 8), va = Le32(d, s + 12), raw_size = Le32(d, s + 16),
                        raw_ptr = Le32(d, s + 20), flags = Le32(d, s + 36);
    if ((flags & 0x20000000) && raw_size != 0 && raw_ptr + raw_size <= d.size()) {
      const std::uint32_t size = std::min(vsize != 0 ? vsize : raw_size, raw_size);
      code.bytes.assign(d.begin() + raw_ptr, d.begin() + raw_ptr + size);
      code.base = image_base + va;
      code.name = path;
      return true;
    }
  }
  return false;
}

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct TResult {
  double seconds = 0;
  std::uint64_t instructions = 0;
  std::uint64_t bytes = 0;
  std::uint64_t checksum = 0;
};

template <class F>
TResult Best(int repeats, F&& run) {
  TResult best;
  best.seconds = 1e9;
  for (int k = 0; k < repeats; ++k) {
    TResult r;
    const auto t0 = Clock::now();
    run(r);
    r.seconds = Seconds(t0, Clock::now());
    if (r.seconds < best.seconds) best = r;
  }
  return best;
}

void Print(const char* name, const TResult& r) {
  std::printf("  %-34s %8.1f M instr/s %8.1f MB/s  (%llu instr, check %llx)\n", name,
              r.instructions / r.seconds / 1e6, r.bytes / r.seconds / 1e6,
              static_cast<unsigned long long>(r.instructions), static_cast<unsigned long long>(r.checksum));
}

double Rate(const TResult& r) { return r.instructions / r.seconds; }

}  // namespace

int main(int argc, char** argv) {
  TCode code;
  const std::string path = argc > 1 ? argv[1] : "/usr/lib/i386-linux-gnu/wine/i386-windows/kernelbase.dll";
  if (!LoadPeCode(path, code)) {
    std::fprintf(stderr, "disasm_bench: cannot read code from %s\n", path.c_str());
    return 2;
  }
  // Repeat small inputs so that each pass takes measurable time.
  const std::vector<std::uint8_t> one = code.bytes;
  while (code.bytes.size() < (4u << 20)) code.bytes.insert(code.bytes.end(), one.begin(), one.end());
  const std::uint8_t* p = code.bytes.data();
  const std::size_t n = code.bytes.size();
  std::printf("code: %s, %zu bytes (section %zu bytes)\n\n", code.name.c_str(), n, one.size());
  const int kRepeats = 5;

  std::printf("decode (linear sweep, length and kind only):\n");
  const TResult ours = Best(kRepeats, [&](TResult& r) {
    TDisasmInstruction ins;
    for (std::size_t off = 0; off < n;) {
      DecodeBytes(p + off, n - off, code.base + static_cast<std::uint32_t>(off), ins, nullptr);
      const std::uint32_t len = ins.End - ins.Start;
      r.checksum += len + ins.IsCall;
      off += len;
      ++r.instructions;
    }
    r.bytes = n;
  });
  Print("zelvic DecodeBytes", ours);
#if defined(ZELVIC_HAVE_ZYDIS)
  ZydisDecoder zydis;
  ZydisDecoderInit(&zydis, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
  const TResult zy = Best(kRepeats, [&](TResult& r) {
    ZydisDecodedInstruction ins;
    for (std::size_t off = 0; off < n;) {
      if (ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&zydis, nullptr, p + off, n - off, &ins))) {
        off += ins.length;
        r.checksum += ins.length;
      } else {
        off += 1;
        r.checksum += 1;
      }
      ++r.instructions;
    }
    r.bytes = n;
  });
  Print("Zydis 4 DecodeInstruction", zy);
  std::printf("  ratio zelvic/Zydis: %.2f\n", Rate(ours) / Rate(zy));
#endif
#if defined(ZELVIC_HAVE_CAPSTONE)
  csh capstone;
  if (cs_open(CS_ARCH_X86, CS_MODE_32, &capstone) != CS_ERR_OK) return 2;
  cs_option(capstone, CS_OPT_DETAIL, CS_OPT_OFF);
  cs_insn* cins = cs_malloc(capstone);
  const TResult cs = Best(kRepeats, [&](TResult& r) {
    const std::uint8_t* code_ptr = p;
    std::size_t size = n;
    std::uint64_t address = code.base;
    while (size != 0) {
      if (cs_disasm_iter(capstone, &code_ptr, &size, &address, cins)) {
        r.checksum += cins->size;
      } else {
        ++code_ptr;
        --size;
        ++address;
        r.checksum += 1;
      }
      ++r.instructions;
    }
    r.bytes = n;
  });
  Print("Capstone 4 cs_disasm_iter", cs);
  std::printf("  ratio zelvic/Capstone: %.2f\n", Rate(ours) / Rate(cs));
#endif

  std::printf("\nformat (decode + text of every instruction):\n");
  const TBufferMemory memory(p, n, code.base);
  const TResult fmt = Best(kRepeats, [&](TResult& r) {
    TDisasmInstruction ins;
    char line[kMaxLineLength];
    for (std::size_t off = 0; off < n;) {
      DecodeBytes(p + off, n - off, code.base + static_cast<std::uint32_t>(off), ins, nullptr);
      r.checksum += FormatMnemonicAndOperands(ins, &memory, line, sizeof line);
      off += ins.End - ins.Start;
      ++r.instructions;
    }
    r.bytes = n;
  });
  Print("zelvic mnemonic + operands", fmt);
  const TResult line = Best(kRepeats, [&](TResult& r) {
    TDisasmInstruction ins;
    char text[kMaxLineLength];
    for (std::size_t off = 0; off < n;) {
      DecodeBytes(p + off, n - off, code.base + static_cast<std::uint32_t>(off), ins, nullptr);
      r.checksum += FormatInstruction(ins, memory, text, sizeof text);
      off += ins.End - ins.Start;
      ++r.instructions;
    }
    r.bytes = n;
  });
  Print("zelvic full report line", line);
#if defined(ZELVIC_HAVE_CAPSTONE)
  // Capstone always renders text in cs_disasm_iter; the decode figure above is its formatting figure.
  Print("Capstone 4 text (cs_disasm_iter)", cs);
  std::printf("  ratio zelvic/Capstone (mnemonic + operands): %.2f\n", Rate(fmt) / Rate(cs));
  std::printf("  ratio zelvic/Capstone (full line with address and bytes): %.2f\n", Rate(line) / Rate(cs));
#endif
#if defined(ZELVIC_HAVE_ZYDIS)
  ZydisFormatter formatter;
  ZydisFormatterInit(&formatter, ZYDIS_FORMATTER_STYLE_INTEL);
  const TResult zyf = Best(kRepeats, [&](TResult& r) {
    ZydisDecodedInstruction ins;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
    char text[256];
    for (std::size_t off = 0; off < n;) {
      if (ZYAN_SUCCESS(ZydisDecoderDecodeFull(&zydis, p + off, n - off, &ins, ops))) {
        ZydisFormatterFormatInstruction(&formatter, &ins, ops, ins.operand_count_visible, text, sizeof text,
                                        code.base + off, nullptr);
        r.checksum += std::strlen(text);
        off += ins.length;
      } else {
        off += 1;
      }
      ++r.instructions;
    }
    r.bytes = n;
  });
  Print("Zydis 4 decode full + format", zyf);
  std::printf("  ratio zelvic/Zydis (mnemonic + operands): %.2f\n", Rate(fmt) / Rate(zyf));
#endif

  std::printf("\nFindCallBefore, 100,000 candidate return addresses:\n");
  std::vector<std::uint32_t> candidates;
  std::uint64_t state = 12345;
  while (candidates.size() < 100000) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const std::size_t off = 16 + (state >> 33) % (one.size() - 16);
    candidates.push_back(code.base + static_cast<std::uint32_t>(off));
  }
  const TBufferMemory section(one.data(), one.size(), code.base);
  for (bool longest : {false, true}) {
    std::uint64_t found = 0;
    const auto t0 = Clock::now();
    for (std::uint32_t r : candidates) found += FindCallBefore(section, r, longest) != r;
    const double s = Seconds(t0, Clock::now());
    std::printf("  %-8s form: %7.1f ms total, %6.0f ns per candidate, %llu call sites found\n",
                longest ? "longest" : "shortest", s * 1e3, s * 1e9 / candidates.size(),
                static_cast<unsigned long long>(found));
  }
#if defined(ZELVIC_HAVE_CAPSTONE)
  cs_free(cins, 1);
  cs_close(&capstone);
#endif
  return 0;
}
