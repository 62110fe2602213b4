// Decode throughput of the library's x86 decoder under Wine over the code of
// the loaded _zelvic.dll: through live memory (every byte behind a
// VirtualQuery-based readability test), with and without the recent-regions
// cache, against the same bytes in a buffer.
//
//   tools/wine-run.sh build/bench/disasm_live_bench.exe build/src/_zelvic.dll [ROUNDS]

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/util/EDisAsm.h"
#include "platform/memory_access.h"
#include "platform/pe_access.h"

namespace {

using zelvic::disasm::TBufferMemory;
using zelvic::disasm::TMemoryAccess;
using zelvic::platform::TLiveMemory;
using zelvic::platform::TRegionCaching;

double Now() {
  static LARGE_INTEGER f = [] {
    LARGE_INTEGER v;
    QueryPerformanceFrequency(&v);
    return v;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

std::wstring WinePath(const wchar_t* arg) {
  std::wstring p(arg);
  if (!p.empty() && p[0] == L'/') p = L"Z:" + p;
  return p;
}

struct Code {
  std::uint32_t start = 0;
  std::uint32_t size = 0;
};

// The first executable section of a loaded image, from its own headers.
Code FirstCodeSection(HMODULE module) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const std::optional<zelvic::platform::TLoadedImageHeaders> headers =
      zelvic::platform::ReadLoadedImageHeaders(reinterpret_cast<std::uintptr_t>(module));
  if (!headers) return {};
  const auto* s = reinterpret_cast<const IMAGE_SECTION_HEADER*>(headers->FirstSection);
  for (unsigned i = 0; i < headers->NumberOfSections; ++i, ++s) {
    if (s->Characteristics & IMAGE_SCN_MEM_EXECUTE) {
      const std::uint32_t size = std::min<std::uint32_t>(s->Misc.VirtualSize, s->SizeOfRawData);
      return {static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(base + s->VirtualAddress)), size};
    }
  }
  return {};
}

struct Sweep {
  std::uint32_t instructions = 0;
  std::uint32_t valid = 0;
  double seconds = 0;
};

// One linear pass over the code, decoding every instruction.
Sweep Decode(const TMemoryAccess& memory, const Code& code) {
  Sweep s;
  const double t0 = Now();
  const std::uint32_t stop = code.start + code.size - 16;
  for (std::uint32_t at = code.start; at < stop;) {
    const zelvic::disasm::TDisasmInstruction r = zelvic::disasm::DecodeInstruction(memory, at);
    ++s.instructions;
    s.valid += r.Valid;
    at = r.End;
  }
  s.seconds = Now() - t0;
  return s;
}

// Best of `rounds` passes; `make` builds the memory afresh for each pass so
// that a cache starts empty every time.
template <typename Make>
Sweep Best(const Code& code, int rounds, Make make) {
  Sweep best;
  for (int i = 0; i < rounds; ++i) {
    const auto memory = make();
    const Sweep s = Decode(*memory, code);
    if (i == 0 || s.seconds < best.seconds) best = s;
  }
  return best;
}

double NsPer(double seconds, double count) { return seconds * 1e9 / count; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: disasm_live_bench _zelvic.dll [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
  HMODULE lib = LoadLibraryW(WinePath(argv[1]).c_str());
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot load the library (error %lu)\n", GetLastError());
    return 1;
  }
  const Code code = FirstCodeSection(lib);
  if (code.size < 4096) {
    std::fprintf(stderr, "no code section\n");
    return 1;
  }
  const std::uint32_t mask = zelvic::disasm::DefaultReadableMask(zelvic::platform::ExecuteOnlyPagesAreReadable());
  const auto space = zelvic::platform::ApplicationAddressSpace(mask);
  const std::vector<std::uint8_t> copy(reinterpret_cast<const std::uint8_t*>(code.start),
                                       reinterpret_cast<const std::uint8_t*>(code.start) + code.size);

  const Sweep buffer =
      Best(code, rounds, [&] { return std::make_unique<TBufferMemory>(copy.data(), copy.size(), code.start); });
  const Sweep cached =
      Best(code, rounds, [&] { return std::make_unique<TLiveMemory>(space, TRegionCaching::kRecentRegions); });
  const Sweep live = Best(code, rounds, [&] { return std::make_unique<TLiveMemory>(space, TRegionCaching::kNone); });

  // The cost of the query itself, over the same addresses.
  constexpr int kQueries = 200000;
  MEMORY_BASIC_INFORMATION mbi;
  double query_seconds = 0;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = Now();
    for (int i = 0; i < kQueries; ++i) {
      VirtualQuery(reinterpret_cast<const void*>(code.start + (i * 4099u) % code.size), &mbi, sizeof mbi);
    }
    const double t = Now() - t0;
    if (r == 0 || t < query_seconds) query_seconds = t;
  }
  const TLiveMemory one_pass(space, TRegionCaching::kRecentRegions);
  Decode(one_pass, code);

  const double n = buffer.instructions;
  std::printf("_zelvic.dll code: %u bytes at %08X, %u instructions (%u valid), best of %d passes\n", code.size,
              code.start, buffer.instructions, buffer.valid, rounds);
  std::printf("%-34s %10s %10s %12s\n", "decoder over", "ns/instr", "MB/s", "vs buffer");
  const auto row = [&](const char* name, const Sweep& s) {
    std::printf("%-34s %10.1f %10.1f %11.2fx\n", name, NsPer(s.seconds, s.instructions), code.size / s.seconds / 1e6,
                s.seconds / buffer.seconds);
  };
  row("buffer (TBufferMemory)", buffer);
  row("live memory, recent-regions cache", cached);
  row("live memory, VirtualQuery each", live);
  const double query_ns = NsPer(query_seconds, kQueries);
  const double extra_ns = NsPer(live.seconds - buffer.seconds, n);
  std::printf(
      "VirtualQuery: %.1f ns per call; uncached live memory spends %.1f ns/instr more than the buffer,\n"
      "  about %.2f queries per instruction (%.0f%% of its time)\n",
      query_ns, extra_ns, extra_ns / query_ns, 100.0 * extra_ns / NsPer(live.seconds, n));
  std::printf("cache: %u queries for the whole pass; uncached/cached %.2fx\n", one_pass.CacheMisses(),
              live.seconds / cached.seconds);
  if (buffer.instructions != live.instructions || buffer.instructions != cached.instructions ||
      buffer.valid != live.valid || buffer.valid != cached.valid) {
    std::printf("MISMATCH: the passes decoded different instruction streams\n");
    return 1;
  }
  FreeLibrary(lib);
  return 0;
}
