// Side-by-side timings of the library against baselines, in one run:
//
//   zelvic_bench.exe <_zelvic.dll> <tinyconst.dll>
//
// Each line prints both costs per call and their ratio (baseline / library:
// above 1 means the library is faster).

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <dbghelp.h>
#include <tlhelp32.h>
#include <span>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/config/EVLData.h"
#include "diagnostics/debuginfo/EDebugExports.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EDebugVL.h"
#include "diagnostics/debuginfo/EDebugVLScanner.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/debuginfo/EPEImage.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/util/EDisAsmUnit.h"

namespace {

using Literal6 = const wchar_t*(__stdcall*)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                            std::uint32_t);
// FormatNumberText(D0, digits = I2), 8 slots.
using NumberText8 = const wchar_t*(__stdcall*)(double, std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                               std::uint32_t, std::uint32_t);
// FormatTimeText(seconds = I1, mode = I2), 3 slots.
using TimeText3 = const wchar_t*(__stdcall*)(std::uint32_t, std::int32_t, std::int32_t);
// FindText(text = P1, part = P0), 2 slots.
using FindText2 = std::int32_t(__stdcall*)(const wchar_t*, const wchar_t*);

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

volatile std::uintptr_t g_sink;

template <typename F>
double Round(long iterations, F& body) {
  const double t0 = Now();
  for (long i = 0; i < iterations; ++i) body(i);
  return (Now() - t0) * 1e9 / static_cast<double>(iterations);
}

// Library and baseline in alternating rounds, best of five each, in
// nanoseconds per iteration; then the line of the report.
template <typename L, typename B>
void Compare(const char* what, const char* baseline, long iterations, L&& library, B&& base) {
  double library_ns = 1e30;
  double baseline_ns = 1e30;
  for (int round = 0; round < 5; ++round) {
    const double b = Round(iterations, base);
    const double l = Round(iterations, library);
    if (b < baseline_ns) baseline_ns = b;
    if (l < library_ns) library_ns = l;
  }
  std::printf("%-34s %9.1f ns   %-30s %9.1f ns   ratio %5.2fx\n", what, library_ns, baseline, baseline_ns,
              baseline_ns / library_ns);
}

template <typename T>
T Proc(HMODULE m, const char* name) {
  auto p = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  if (p == nullptr) {
    std::fprintf(stderr, "missing %s\n", name);
    std::exit(1);
  }
  return p;
}

std::wstring WinePath(const wchar_t* p) {
  std::wstring s = p;
  if (!s.empty() && s[0] == L'/') s = L"Z:" + s;
  return s;
}

// Address-to-name through export tables against the platform's image-help
// library on the same addresses: entries of well-known routines and points a
// few bytes into them.
void CompareLookups() {
  using SymInitializeProc = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
  using SymFromAddrProc = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
  using SymCleanupProc = BOOL(WINAPI*)(HANDLE);
  HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
  if (dbghelp == nullptr) return;
  const auto sym_initialize = reinterpret_cast<SymInitializeProc>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymInitialize")));
  const auto sym_from_addr = reinterpret_cast<SymFromAddrProc>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymFromAddr")));
  const auto sym_cleanup = reinterpret_cast<SymCleanupProc>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymCleanup")));
  if (!sym_initialize || !sym_from_addr || !sym_cleanup) return;

  static const struct {
    const wchar_t* module;
    const char* name;
  } kRoutines[] = {
      {L"kernel32.dll", "CreateFileW"},    {L"kernel32.dll", "ReadFile"},        {L"kernel32.dll", "GetTickCount"},
      {L"kernel32.dll", "VirtualQuery"},   {L"kernel32.dll", "LoadLibraryW"},    {L"kernel32.dll", "Sleep"},
      {L"user32.dll", "MessageBoxW"},      {L"user32.dll", "GetWindowTextW"},    {L"user32.dll", "SendMessageW"},
      {L"ntdll.dll", "RtlAllocateHeap"},   {L"ntdll.dll", "NtQueryInformationThread"}, {L"ntdll.dll", "RtlFreeHeap"},
  };
  std::vector<std::uintptr_t> addresses;
  for (const auto& r : kRoutines) {
    HMODULE m = LoadLibraryW(r.module);
    const auto p = reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(m, r.name)));
    if (p == 0) continue;
    for (std::uintptr_t delta : {0u, 3u, 7u, 12u}) addresses.push_back(p + delta);
  }
  if (addresses.empty()) return;

  zelvic::diag::EDisAsmInit();
  zelvic::diag::EDebugInfoInit();
  zelvic::diag::EDebugExportsInit();
  zelvic::diag::TVLLocationInfo info;
  for (auto a : addresses) zelvic::diag::LookupLocationInfo(a, info);  // warm: modules listed, exports cached

  HANDLE process = GetCurrentProcess();
  sym_initialize(process, nullptr, TRUE);
  alignas(SYMBOL_INFO) unsigned char buffer[sizeof(SYMBOL_INFO) + 256];
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
  auto ours = [&](long i) {
    zelvic::diag::LookupLocationInfo(addresses[static_cast<std::size_t>(i) % addresses.size()], info);
    g_sink = info.ProcedureName.size();
  };
  auto theirs = [&](long i) {
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 255;
    DWORD64 displacement = 0;
    sym_from_addr(process, addresses[static_cast<std::size_t>(i) % addresses.size()], &displacement, symbol);
    g_sink = symbol->NameLen;
  };
  for (long i = 0; i < static_cast<long>(addresses.size()); ++i) theirs(i);  // warm
  Compare("LookupLocationInfo (exports)", "dbghelp SymFromAddr", 20000, ours, theirs);
  sym_cleanup(process);

  auto refresh = [&](long) { zelvic::diag::GetModulesList()->Refresh(true); };
  double refresh_ns = 1e30;
  for (int round = 0; round < 5; ++round) {
    const double ns = Round(20, refresh);
    if (ns < refresh_ns) refresh_ns = ns;
  }
  std::printf("%-34s %9.1f us\n", "module list Refresh (full)", refresh_ns / 1000);
  zelvic::diag::EDebugExportsDone();
  zelvic::diag::EDebugInfoDone();
  zelvic::diag::EDisAsmDone();
}

// The library's own debug information (native source, from VLDATA) against
// the platform's image-help library reading the compiler's DWARF of the plain
// link, loaded at the library's own base: the same addresses, the same code.
void CompareDebugInfo(HMODULE zelvic, const std::wstring& plain_path) {
  using SymInitializeProc = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
  using SymLoadModuleExWProc = DWORD64(WINAPI*)(HANDLE, HANDLE, PCWSTR, PCWSTR, DWORD64, DWORD, PMODLOAD_DATA, DWORD);
  using SymGetLineFromAddr64Proc = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
  using SymCleanupProc = BOOL(WINAPI*)(HANDLE);
  using SymSetOptionsProc = DWORD(WINAPI*)(DWORD);
  HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
  if (dbghelp == nullptr) return;
  auto get = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dbghelp, name)); };
  const auto sym_initialize = reinterpret_cast<SymInitializeProc>(get("SymInitialize"));
  const auto sym_load = reinterpret_cast<SymLoadModuleExWProc>(get("SymLoadModuleExW"));
  const auto sym_line = reinterpret_cast<SymGetLineFromAddr64Proc>(get("SymGetLineFromAddr64"));
  using SymFromAddrProc = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
  const auto sym_from_addr = reinterpret_cast<SymFromAddrProc>(get("SymFromAddr"));
  const auto sym_cleanup = reinterpret_cast<SymCleanupProc>(get("SymCleanup"));
  const auto sym_set_options = reinterpret_cast<SymSetOptionsProc>(get("SymSetOptions"));
  if (!sym_initialize || !sym_load || !sym_line || !sym_from_addr || !sym_cleanup || !sym_set_options) return;

  // Addresses spread over the library's code: every 97th byte of the first
  // 400 KB after the first page.
  const auto base = reinterpret_cast<std::uintptr_t>(zelvic);
  std::vector<std::uintptr_t> addresses;
  for (std::uintptr_t a = base + 0x1000; a < base + 0x1000 + 400 * 1024; a += 97) addresses.push_back(a);

  zelvic::diag::EDisAsmInit();
  zelvic::diag::EDebugInfoInit();
  zelvic::diag::RegisterDebugInfoSourceFirst(&zelvic::diag::TVLDebugInfoNative::Class);
  // The module list is the facility's start-up work (every exception's
  // report needs it), not the debug information's: it is made first and
  // timed on its own.
  {
    const double m0 = Now();
    zelvic::diag::GetModulesList();
    std::printf("%-34s %9.2f ms\n", "module list creation", (Now() - m0) * 1e3);
  }
  zelvic::diag::TVLLocationInfo info;
  const double t0 = Now();
  zelvic::diag::LookupLocationInfo(addresses[0], info);  // inflate the block, build the tables
  const double cold_ms = (Now() - t0) * 1e3;
  // Where a cold start goes: reading the container (inflating the block),
  // then scanning the unit table into the lookup tables.
  {
    struct Receiver final : zelvic::diag::TVLDataReceiver {
      void LoadDebugInfo(std::span<const std::uint8_t> d) override { table.assign(d.begin(), d.end()); }
      std::vector<std::uint8_t> table;
    } receiver;
    const auto data = zelvic::diag::ModuleVLData(base);
    const double p0 = Now();
    const auto result = zelvic::diag::LoadVLData(data.Resource, receiver);
    const double p1 = Now();
    zelvic::diag::TVLDebugScanner scanner(receiver.table, result.Version, L"_zelvic.dll");
    const int units = scanner.Units().Count();
    const double p2 = Now();
    std::printf("%-34s %9.2f ms   %-30s %9.2f ms   (%d units)\n", "  of which: container + inflate",
                (p1 - p0) * 1e3, "scan into tables", (p2 - p1) * 1e3, units);
    // What the library carries against what the compiler wrote: the whole
    // VLDATA resource (options included) and the DWARF sections of the plain
    // link (their long names are kept in the COFF string table: "/4"...).
    zelvic::diag::TVLPeImage plain;
    plain.SetFileName(plain_path);
    std::uint64_t dwarf_bytes = 0;
    for (const auto& section : plain.ImageSections()) {
      if (section.Name.starts_with(L"/") || section.Name.starts_with(L".debug")) {
        dwarf_bytes += section.Header.SizeOfRawData;
      }
    }
    std::printf("%-34s %9zu B    %-30s %9llu B    (%zu B unpacked)\n", "VLDATA resource", data.Resource.size(),
                "compiler debug sections", static_cast<unsigned long long>(dwarf_bytes), receiver.table.size());
  }
  int ours_found = 0;
  for (auto a : addresses) ours_found += zelvic::diag::LookupLocationInfo(a, info) && info.LineNumber > 0;

  HANDLE process = GetCurrentProcess();
  sym_set_options(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
  sym_initialize(process, nullptr, FALSE);
  const double t1 = Now();
  const DWORD64 loaded = sym_load(process, nullptr, plain_path.c_str(), nullptr, base, 0, nullptr, 0);
  IMAGEHLP_LINE64 line{};
  line.SizeOfStruct = sizeof line;
  DWORD displacement = 0;
  sym_line(process, addresses[0], &displacement, &line);
  const double their_cold_ms = (Now() - t1) * 1e3;
  int theirs_found = 0;
  for (auto a : addresses) theirs_found += sym_line(process, a, &displacement, &line) ? 1 : 0;
  std::printf("%-34s %9.2f ms   %-30s %9.2f ms   (module loaded: %s)\n", "debug info cold start (VLDATA)",
              cold_ms, "dbghelp load + first line", their_cold_ms, loaded ? "yes" : "no");
  std::printf("%-34s %9d      %-30s %9d      of %zu addresses with a line\n", "lines found (ours)", ours_found,
              "lines found (dbghelp)", theirs_found, addresses.size());
  auto ours = [&](long i) {
    zelvic::diag::LookupLocationInfo(addresses[static_cast<std::size_t>(i) % addresses.size()], info);
    g_sink = static_cast<std::uintptr_t>(info.LineNumber);
  };
  auto theirs = [&](long i) {
    sym_line(process, addresses[static_cast<std::size_t>(i) % addresses.size()], &displacement, &line);
    g_sink = line.LineNumber;
  };
  Compare("warm line lookup (VLDATA)", "dbghelp SymGetLineFromAddr64", 20000, ours, theirs);
  // A whole location (routine and line) from dbghelp takes both calls.
  alignas(SYMBOL_INFO) unsigned char symbol_buffer[sizeof(SYMBOL_INFO) + 256];
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(symbol_buffer);
  auto theirs_whole = [&](long i) {
    const DWORD64 a = addresses[static_cast<std::size_t>(i) % addresses.size()];
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 255;
    DWORD64 symbol_displacement = 0;
    sym_from_addr(process, a, &symbol_displacement, symbol);
    sym_line(process, a, &displacement, &line);
    g_sink = line.LineNumber + symbol->NameLen;
  };
  Compare("warm location lookup (VLDATA)", "dbghelp SymFromAddr + line", 20000, ours, theirs_whole);
  sym_cleanup(process);
  zelvic::diag::UnRegisterDebugInfoSource(&zelvic::diag::TVLDebugInfoNative::Class);
  zelvic::diag::EDebugInfoDone();
  zelvic::diag::EDisAsmDone();
}

}  // namespace

// The process list's refresh (enumeration, snapshot, each image's name,
// priority, memory and version) against the bare snapshot walk it starts
// from.
void CompareProcessRefresh() {
  Compare("process list Refresh", "bare Toolhelp32 walk", 20,
          ([&](long) {
            zelvic::diag::TVarnelProcessesList list;
            list.Refresh();
            g_sink = static_cast<std::uintptr_t>(list.Count());
          }),
          ([&](long) {
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W e{};
            e.dwSize = sizeof(e);
            std::uintptr_t n = 0;
            for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) ++n;
            CloseHandle(snapshot);
            g_sink = n;
          }));
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zelvic_bench <_zelvic.dll> <tinyconst.dll>\n");
    return 2;
  }
  const std::wstring zelvic_path = WinePath(argv[1]);
  const std::wstring tiny_path = WinePath(argv[2]);
  HMODULE zelvic = LoadLibraryW(zelvic_path.c_str());
  HMODULE tiny = LoadLibraryW(tiny_path.c_str());
  if (zelvic == nullptr || tiny == nullptr) {
    std::fprintf(stderr, "cannot load the libraries\n");
    return 1;
  }

  const auto literal = Proc<Literal6>(zelvic, "Ondrel_55F22C7D_1_1Ii1I1IIii");
  const auto bare = Proc<Literal6>(tiny, "TinyConst");
  const auto number = Proc<NumberText8>(zelvic, "Ondrel_55F22C7D_1_1I1I1iI1I1");
  const auto time_text = Proc<TimeText3>(zelvic, "Ondrel_55F22C7D_1_1Iii11I11i");
  const auto find = Proc<FindText2>(zelvic, "Ondrel_55F22C7D_1_1iiI1iiiii");

  constexpr long kCalls = 20000000;
  Compare("text-literal export", "bare stdcall export", kCalls,
         ( [&](long i) { g_sink = reinterpret_cast<std::uintptr_t>(literal(i, 0, 0, 0, 0, 0)); }),
         ([&](long i) { g_sink = reinterpret_cast<std::uintptr_t>(bare(i, 0, 0, 0, 0, 0)); }));

  // Prices, pips, counts and a few awkward magnitudes, with 0 to 5 decimals.
  std::vector<double> values;
  for (int i = 0; i < 1024; ++i) {
    const double base[] = {1.16235, 25.0, 0.0001, 1234.5, 98765.4321, -0.005, 3.0e9, 1.5e-7};
    values.push_back(base[i % 8] * (1.0 + i / 1024.0));
  }
  constexpr long kFormats = 400000;
  wchar_t buf[128];
  Compare("FormatNumberText (export)", "_snwprintf %.*f", kFormats,
         ( [&](long i) { g_sink = reinterpret_cast<std::uintptr_t>(number(values[i & 1023], i % 6, 0, 0, 0, 0, 0)); }),
         ([&](long i) {
           _snwprintf(buf, 128, L"%.*f", static_cast<int>(i % 6), values[i & 1023]);
           g_sink = buf[0];
         }));

  Compare("FormatTimeText (export)", "_gmtime32 + _snwprintf", kFormats,
         ( [&](long i) { g_sink = reinterpret_cast<std::uintptr_t>(time_text(0, 1765353600 + i * 37, 5)); }),
         ([&](long i) {
           __time32_t t = 1765353600 + i * 37;
           const tm* g = _gmtime32(&t);
           _snwprintf(buf, 128, L"%04d.%02d.%02d %02d:%02d:%02d", g->tm_year + 1900, g->tm_mon + 1, g->tm_mday,
                      g->tm_hour, g->tm_min, g->tm_sec);
           g_sink = buf[0];
         }));

  static const wchar_t* texts[] = {L"arr_up_2025.12.10_08:15", L"NextCandle_EURUSD_M15", L"TakeProfit_123456",
                                   L"Entry_EURUSD_2025.12.10 08:06:37_BUY"};
  static const wchar_t* parts[] = {L"arr_up_", L"M15", L"_999", L"BUY"};
  Compare("FindText (export)", "wcsstr", kCalls / 4,
         ( [&](long i) { g_sink = static_cast<std::uintptr_t>(find(parts[i & 3], texts[i & 3])); }),
         ([&](long i) { g_sink = reinterpret_cast<std::uintptr_t>(std::wcsstr(texts[i & 3], parts[i & 3])); }));

  // One options object: read from the library's own container (inflate and
  // parse), and copied as every exception's record copies it.
  {
    const auto base = reinterpret_cast<std::uintptr_t>(zelvic);
    zelvic::diag::TVarnelModuleOptions loaded(L"_zelvic.dll");
    zelvic::diag::LoadModuleOptions(base, loaded);
    constexpr long kOptions = 2000;
    auto load = [&](long) {
      zelvic::diag::TVarnelModuleOptions o(L"_zelvic.dll");
      zelvic::diag::LoadModuleOptions(base, o);
      g_sink = o.Version();
    };
    auto copy = [&](long) {
      zelvic::diag::TVarnelModuleOptions o(L"_zelvic.dll");
      o.Assign(loaded);
      g_sink = o.Version();
    };
    const double load_ns = Round(kOptions, load);
    const double copy_ns = Round(kOptions, copy);
    std::printf("%-34s %9.1f us   %-30s %9.1f us\n", "options from VLDATA (load)", load_ns / 1000, "options copy (Assign)",
                copy_ns / 1000);
  }

  if (argc > 3) CompareDebugInfo(zelvic, WinePath(argv[3]));
  CompareLookups();
  CompareProcessRefresh();

  FreeLibrary(zelvic);
  FreeLibrary(tiny);
  constexpr long kLoads = 200;
  Compare("LoadLibrary/FreeLibrary _zelvic", "tinyconst.dll", kLoads, ([&](long) {
           HMODULE m = LoadLibraryW(zelvic_path.c_str());
           FreeLibrary(m);
         }),
         ([&](long) {
           HMODULE m = LoadLibraryW(tiny_path.c_str());
           FreeLibrary(m);
         }));
  return 0;
}
