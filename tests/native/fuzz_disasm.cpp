// Fuzz target for the x86 decoder, the searches and the formatter over
// arbitrary bytes. Built as a libFuzzer target by tools/disasm/run_fuzz.sh;
// with ZELVIC_FUZZ_STANDALONE_DRIVER it has its own main that feeds random
// inputs (and any files named on the command line) for a bounded time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "EDisAsm.h"

using namespace zelvic::disasm;

namespace {

[[noreturn]] void Fail(const char* what, std::uint32_t at) {
  std::fprintf(stderr, "fuzz_disasm: %s at %08X\n", what, at);
  std::abort();
}

// Two code regions separated by a hole, from the fuzzer's bytes: the searches
// meet region edges and unreadable bytes.
class TSplitMemory final : public TMemoryAccess, public TRegionQuery {
 public:
  TSplitMemory(const std::uint8_t* data, std::size_t size, std::uint32_t base, std::size_t split)
      : data_(data), size_(size), base_(base), split_(split) {
    space_.MaximumApplicationAddress = 0xFFFFFFFF;
    space_.MinimumApplicationAddress = 0;
  }
  bool QueryRegion(std::uint32_t address, TRegionInfo& info) const override {
    const std::uint64_t off = std::uint64_t{address} - base_;
    if (address < base_ || off >= size_) {
      info = {address & ~0xFFFu, 0x1000, 0x10000, kPageNoAccess};
      return true;
    }
    // [0, split) is code, [split, split+4) is a no-access hole, the rest code.
    if (off < split_) {
      info = {base_, static_cast<std::uint32_t>(split_), kMemCommit, kPageExecuteRead};
    } else if (off < split_ + 4) {
      info = {static_cast<std::uint32_t>(base_ + split_), 4, kMemCommit, kPageNoAccess};
    } else {
      info = {static_cast<std::uint32_t>(base_ + split_ + 4), static_cast<std::uint32_t>(size_ - split_ - 4),
              kMemCommit, kPageExecuteRead};
    }
    return true;
  }
  std::uint32_t CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const override {
    return CanReadRegions(*this, space_, address, count, mask);
  }
  std::uint32_t Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const override {
    std::uint32_t k = 0;
    for (; k < count; ++k) {
      const std::uint64_t off = std::uint64_t{address} + k - base_;
      if (std::uint64_t{address} + k < base_ || off >= size_ || (off >= split_ && off < split_ + 4)) break;
      dst[k] = data_[off];
    }
    return k;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint32_t base_;
  std::size_t split_;
  TAddressSpace space_;
};

void CheckRecord(const TDisasmInstruction& r, std::uint32_t at, std::size_t available) {
  if (r.Start != at) Fail("Start", at);
  if (!r.Valid) {
    if (r.End != at + 1) Fail("invalid End", at);
    return;
  }
  const std::uint32_t length = r.End - r.Start;
  if (length == 0 || length > 24 || length > available) Fail("valid length", at);
  if ((r.IsCall || r.IsBranch) && r.IsCall == r.IsBranch) Fail("call and branch", at);
  if (r.IsRelative && r.Target != r.End + r.Immediate) Fail("relative target", at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte chooses where the hole goes; the rest is code at a fixed base.
  const std::size_t split = data[0] % (size - 1);
  const std::uint8_t* code = data + 1;
  const std::size_t n = size - 1;
  const std::uint32_t base = 0x00401000;
  const TSplitMemory memory(code, n, base, split);
  const TBufferMemory buffer(code, n, base);
  char line[kMaxLineLength];
  for (std::size_t off = 0; off < n; ++off) {
    const auto at = static_cast<std::uint32_t>(base + off);
    TDisasmInstruction direct;
    DecodeBytes(code + off, n - off, at, direct, nullptr);
    CheckRecord(direct, at, n - off);
    const TDisasmInstruction viaBuffer = DecodeInstruction(buffer, at, true);
    if (viaBuffer.Valid != direct.Valid || viaBuffer.End != direct.End) Fail("buffer decode differs", at);
    const TDisasmInstruction live = DecodeInstruction(memory, at, false);
    if (live.Readable) CheckRecord(live, at, n - off);
    const std::size_t len = FormatInstruction(live, memory, line, sizeof line);
    if (len >= sizeof line || std::strlen(line) != len) Fail("line length", at);
    FormatInstruction(direct, buffer, line, sizeof line);
    const std::uint32_t ret = at + 1;
    for (bool longest : {false, true}) {
      const std::uint32_t site = FindCallBefore(memory, ret, longest);
      if (site != ret && (site > ret - 2 || site < ret - 15)) Fail("FindCallBefore range", at);
    }
    GetCallTarget(memory, at);
    const std::uint32_t span = InstructionsSpan(memory, at, 5);
    if (span > 5 + 24) Fail("InstructionsSpan", at);
  }
  return 0;
}

#if defined(ZELVIC_FUZZ_STANDALONE_DRIVER)
#include <chrono>

int main(int argc, char** argv) {
  std::vector<std::uint8_t> input;
  int files = 0;
  for (int a = 1; a < argc; ++a) {
    if (argv[a][0] == '-') continue;
    FILE* f = std::fopen(argv[a], "rb");
    if (f == nullptr) continue;
    input.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF) input.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++files;
  }
  const char* seconds_env = std::getenv("FUZZ_SECONDS");
  const int seconds = seconds_env != nullptr ? std::atoi(seconds_env) : 10;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::uint64_t runs = 0;
  while (std::chrono::steady_clock::now() < stop) {
    input.resize(2 + next() % 64);
    // Bias towards prefixes and escape bytes, where the decoder branches most.
    static const std::uint8_t kInteresting[] = {0x0F, 0x38, 0x3A, 0x66, 0x67, 0xF0, 0xF2, 0xF3, 0x26, 0x64,
                                                0xFF, 0xE8, 0xD9, 0xDF, 0xC4, 0x8F, 0x00, 0x05, 0x24, 0x25};
    for (auto& b : input) {
      const std::uint64_t v = next();
      b = (v & 3) == 0 ? kInteresting[(v >> 8) % sizeof kInteresting] : static_cast<std::uint8_t>(v >> 16);
    }
    for (int k = 0; k < 64; ++k) LLVMFuzzerTestOneInput(input.data(), input.size());
    runs += 64;
  }
  std::printf("fuzz_disasm: %d files, %llu random inputs, no failure\n", files, static_cast<unsigned long long>(runs));
  return 0;
}
#endif
