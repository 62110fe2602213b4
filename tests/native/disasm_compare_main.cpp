// disasm_compare: compares the decoder with objdump (and Zydis when built
// with it) outside the unit tests, for tools/disasm/compare_corpus.py.
//
//   disasm_compare FILE BASE          code bytes of FILE placed at BASE (hex)
//   disasm_compare --enumerate        every opcode x ModR/M x all SIB bytes x prefixes
//   disasm_compare --enumerate-zydis  the same against Zydis
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disasm_reference.h"

using namespace zelvic::disasm::reference;

namespace {

int Report(const char* what, const TComparison& c) {
  std::printf("%s: compared %llu, call/jump targets %llu, WAIT fused by the reference %llu, valid only here %llu, "
              "valid only in the reference %llu, mismatches %zu\n",
              what, static_cast<unsigned long long>(c.Compared), static_cast<unsigned long long>(c.CallKindChecked),
              static_cast<unsigned long long>(c.FusedWait),
              static_cast<unsigned long long>(c.OursOnly), static_cast<unsigned long long>(c.ReferenceOnly),
              c.Mismatches.size());
  for (const TMismatch& m : c.Mismatches) std::printf("  %s\n", Describe(m).c_str());
  return c.Mismatches.empty() ? 0 : 1;
}

TCandidateSet Exhaustive() {
  TCandidateSet set;
  set.Prefixes = {{}, {0x66}, {0x67}, {0xF2}, {0xF3}, {0xF0}, {0x66, 0xF2}, {0x66, 0x67}};
  set.FullSib = true;
  return set;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--enumerate") == 0) {
    TComparison c;
    std::string error;
    if (!CompareCandidatesWithObjdump(Exhaustive(), c, error)) {
      std::fprintf(stderr, "disasm_compare: %s\n", error.c_str());
      return 2;
    }
    return Report("objdump enumeration", c);
  }
  if (argc == 2 && std::strcmp(argv[1], "--enumerate-zydis") == 0) {
#if defined(ZELVIC_HAVE_ZYDIS)
    TComparison c;
    CompareCandidatesWithZydis(Exhaustive(), c);
    return Report("zydis enumeration", c);
#else
    std::fprintf(stderr, "disasm_compare: built without Zydis\n");
    return 2;
#endif
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: disasm_compare FILE BASE | --enumerate | --enumerate-zydis\n");
    return 2;
  }
  FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "disasm_compare: cannot open %s\n", argv[1]);
    return 2;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) != 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  const auto base = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16));
  std::vector<TReferenceInstruction> sweep;
  std::string error;
  if (!ObjdumpSweep(bytes, base, sweep, error)) {
    std::fprintf(stderr, "disasm_compare: %s\n", error.c_str());
    return 2;
  }
  TComparison c;
  CompareWithSweep(bytes, base, sweep, c, 50);
  return Report(argv[1], c);
}
