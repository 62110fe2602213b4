// Side-by-side timings of the library against baselines, in one run:
//
//   zelvic_bench.exe <_zelvic.dll> <tinyconst.dll>
//
// Each line prints both costs per call and their ratio (baseline / library:
// above 1 means the library is faster). The export lines compare a whole
// location lookup with dbghelp's SymFromAddr, and the export source's index
// with the scan it replaced; the module-list line compares a fresh list made
// with the long path names kept for the loader generation with one that asks
// GetLongPathNameW for every module, as lists were made before.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cwchar>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <dbghelp.h>
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>
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
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/stacks/EStackCapture.h"
#include "diagnostics/stacks/EStackCleanup.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/reports/ELiveReportFacts.h"
#include "diagnostics/reports/ELogBuilder.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/system/EReportFile.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "platform/modules.h"
#include "platform/process.h"
#include "platform/system_facts.h"
#include "runtime/unit_lifecycle.h"
#include "platform/threads.h"
#include "diagnostics/util/EHook.h"
#include "diagnostics/dialogs/EDialog.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/reports/EExceptionReportFacts.h"
#include "diagnostics/reports/ELogManager.h"
#include "diagnostics/exceptions/EExceptionHook.h"
#include "diagnostics/exceptions/EExceptionInfo.h"
#include "diagnostics/exceptions/EExceptionManager.h"
#include "diagnostics/exceptions/EExceptionReaders.h"
#include "diagnostics/threads/EThreadHooks.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "runtime/cxx_exception_points.h"

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

// Library and baseline in alternating rounds, best of `rounds` each (five
// unless a short body needs more to get past a busy machine's pauses), in
// nanoseconds per iteration; then the line of the report.
template <typename L, typename B>
void Compare(const char* what, const char* baseline, long iterations, L&& library, B&& base, int rounds = 5) {
  double library_ns = 1e30;
  double baseline_ns = 1e30;
  for (int round = 0; round < rounds; ++round) {
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

// The system platform, but asking the file system for every long path name:
// the module list as it was made before the names were kept per generation.
class TUncachedLongNames final : public zelvic::platform::TModulePlatform {
 public:
  std::wstring ModuleFileName(std::uintptr_t h) override { return real_.ModuleFileName(h); }
  std::vector<std::uintptr_t> EnumerateModules() override { return real_.EnumerateModules(); }
  std::wstring LongPathName(const std::wstring& path) override {
    const DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return {};
    std::wstring buffer(n, L'\0');
    const DWORD m = GetLongPathNameW(path.c_str(), buffer.data(), n);
    if (m == 0 || m >= n) return {};
    buffer.resize(m);
    return buffer;
  }
  zelvic::platform::TFileFacts FileFacts(const std::wstring& p) override { return real_.FileFacts(p); }
  zelvic::platform::TVersionResource VersionResource(const std::wstring& p) override {
    return real_.VersionResource(p);
  }
  bool ReadMemory(std::uintptr_t a, void* d, std::uint32_t n) override { return real_.ReadMemory(a, d, n); }
  bool HasRcDataResource(std::uintptr_t h, const wchar_t* n) override { return real_.HasRcDataResource(h, n); }
  std::uintptr_t AllocationBase(std::uintptr_t a) override { return real_.AllocationBase(a); }
  std::optional<std::int32_t> TimeZoneBiasMinutes() override { return real_.TimeZoneBiasMinutes(); }
  std::uint32_t LoaderGeneration() noexcept override { return real_.LoaderGeneration(); }

 private:
  zelvic::platform::TModulePlatform& real_ = zelvic::platform::SystemModulePlatform();
};

// A fresh module list of the process (as a report's modules table makes
// one), with the kept long names against a file-system query per module,
// alternating, best of five, in milliseconds.
void CompareModuleLists() {
  TUncachedLongNames uncached;
  auto make = [](zelvic::platform::TModulePlatform& platform) {
    const double t0 = Now();
    zelvic::diag::TVarnelModulesList list(platform);
    list.Refresh(true);
    g_sink = static_cast<std::uintptr_t>(list.GetCount());
    return (Now() - t0) * 1e3;
  };
  double ours_ms = 1e30;
  double theirs_ms = 1e30;
  for (int round = 0; round < 5; ++round) {
    theirs_ms = std::min(theirs_ms, make(uncached));
    ours_ms = std::min(ours_ms, make(zelvic::platform::SystemModulePlatform()));
  }
  std::printf("%-34s %9.2f ms   %-30s %9.2f ms   ratio %5.2fx\n", "module list, names kept", ours_ms,
              "a GetLongPathNameW per module", theirs_ms, theirs_ms / ours_ms);
}

// A group stops the lookup units it started, as the library's shut-down
// does, and a later group starts them again. Their stop marks the shut-down
// begun, after which no registry is made anew: without clearing the mark,
// every later group would look addresses up with no debug information at
// all (as a library loaded anew starts with it clear).
void StopLookupUnits() {
  zelvic::diag::EDebugExportsDone();
  zelvic::diag::EDebugInfoDone();
  zelvic::diag::EDisAsmDone();
  zelvic::rt::IsShuttingDown = 0;
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
  Compare("LookupLocationInfo (exports)", "dbghelp SymFromAddr", 20000, ours, theirs, 15);
  sym_cleanup(process);

  // The source alone: the index against the scan it replaces, on the same
  // addresses (all in kernel32, user32 and ntdll).
  {
    zelvic::diag::TVLDebugInfoList* list = zelvic::diag::DebugInfoList();
    auto source_of = [list](std::uintptr_t a) {
      MEMORY_BASIC_INFORMATION mbi{};
      VirtualQuery(reinterpret_cast<const void*>(a), &mbi, sizeof mbi);
      return static_cast<zelvic::diag::TVLDebugInfoExports*>(
          list->GetItemFromModule(reinterpret_cast<std::uintptr_t>(mbi.AllocationBase)));
    };
    std::vector<zelvic::diag::TVLDebugInfoExports*> sources;
    for (auto a : addresses) sources.push_back(source_of(a));
    Compare("export source, index", "export source, scan", 20000,
            ([&](long i) {
              const auto k = static_cast<std::size_t>(i) % addresses.size();
              g_sink = sources[k]->GetLocationInfo(addresses[k], info);
            }),
            ([&](long i) {
              const auto k = static_cast<std::size_t>(i) % addresses.size();
              g_sink = sources[k]->ScanLocationInfo(addresses[k], info);
            }));
  }

  auto refresh = [&](long) { zelvic::diag::GetModulesList()->Refresh(true); };
  double refresh_ns = 1e30;
  for (int round = 0; round < 5; ++round) {
    const double ns = Round(20, refresh);
    if (ns < refresh_ns) refresh_ns = ns;
  }
  std::printf("%-34s %9.1f us\n", "module list Refresh (full)", refresh_ns / 1000);
  CompareModuleLists();
  StopLookupUnits();
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

// ---- stacks ---------------------------------------------------------------------

// Calls `bottom` from `depth` nested frames of its own.
__attribute__((noinline)) void AtDepth(int depth, void (*bottom)(void*), void* data) {
  if (depth == 0) {
    bottom(data);
    return;
  }
  AtDepth(depth - 1, bottom, data);
  g_sink = g_sink + 1;  // the call above stays a call
}

void CompareFrameWalks(void*) {
  using zelvic::diag::TTraceEntry;
  void* frames[1024];
  const USHORT system_count = RtlCaptureStackBackTrace(0, 1024, frames, nullptr);
  const std::size_t ours_count = zelvic::diag::CollectTrace(6, zelvic::diag::CurrentStackRange()).size();
  std::printf("  frames: method 6 %zu, RtlCaptureStackBackTrace %u\n", ours_count, static_cast<unsigned>(system_count));
  constexpr long kWalks = 2000;
  Compare("method 6 walk (300 deep)", "RtlCaptureStackBackTrace", kWalks,
          ([&](long) { g_sink = zelvic::diag::CollectTrace(6, zelvic::diag::CurrentStackRange()).size(); }),
          ([&](long) { g_sink = RtlCaptureStackBackTrace(0, 1024, frames, nullptr); }));
  static TTraceEntry in_place[1024];
  Compare("in-place frame capture (300 deep)", "RtlCaptureStackBackTrace", kWalks,
          ([&](long) { g_sink = zelvic::diag::CaptureFramesInPlace(in_place); }),
          ([&](long) { g_sink = RtlCaptureStackBackTrace(0, 1024, frames, nullptr); }));
}

// Calls `bottom` from N nested frames, each its own routine: a stack whose
// call sites all differ, which the clean-up has no reason to shorten.
template <int N>
__attribute__((noinline)) void Distinct(void (*bottom)(void*), void* data) {
  if constexpr (N == 0) {
    bottom(data);
  } else {
    Distinct<N - 1>(bottom, data);
    g_sink = g_sink + N;  // the call above stays a call
  }
}

// A v7 build (method 5, call sites located, cleaned) against dbghelp's
// StackWalk64 reading through VirtualQuery-tested copies, per frame each
// reports. On a recursion the clean-up folds the repeated block, so the
// line per reported frame there mostly counts the folding; the stack of
// distinct routines compares like with like. Ours runs as an exception's
// call stack is built: inside a scope of the cached probes.
void CompareV7Builds(void* label) {
  using namespace zelvic::diag;
  std::size_t ours_frames = 0, their_frames = 0;
  auto ours = [&](long) {
    const TCachedProbesScope probes;
    const zelvic::platform::TLiveMemory code(LiveMemory().Space(), zelvic::platform::TRegionCaching::kRecentRegions);
    std::vector<TStackItem> items = CollectV7(CurrentStackRange(), 0, code, LiveLocationLookup());
    CleanStackItems(items, {});
    ours_frames = items.size();
  };
  auto theirs = [&](long) { their_frames = CollectTrace(10, CurrentStackRange()).size(); };
  ours(0);
  theirs(0);
  {
    const zelvic::platform::TLiveMemory code(LiveMemory().Space(), zelvic::platform::TRegionCaching::kRecentRegions);
    // Without lookups no raw slot is taken and every frame looks like a call
    // into its own routine, so a collection without them measures nothing
    // real: the parts are the walk, the collection with its lookups, and
    // the clean-up of what it collected.
    const std::vector<TStackItem> collected = CollectV7(CurrentStackRange(), 0, code, LiveLocationLookup());
    auto with_lookup = [&](long) { g_sink = CollectV7(CurrentStackRange(), 0, code, LiveLocationLookup()).size(); };
    auto walk_only = [&](long) { g_sink = CollectTrace(5, CurrentStackRange()).size(); };
    auto clean_only = [&](long) {
      std::vector<TStackItem> items(collected);
      CleanStackItems(items, {});
      g_sink = items.size();
    };
    auto copy_only = [&](long) {
      std::vector<TStackItem> items(collected);
      g_sink = items.size();
    };
    double walk_ns = 1e30, collect_ns = 1e30, clean_ns = 1e30, copy_ns = 1e30;
    for (int round = 0; round < 3; ++round) {
      walk_ns = std::min(walk_ns, Round(20, walk_only));
      collect_ns = std::min(collect_ns, Round(20, with_lookup));
      clean_ns = std::min(clean_ns, Round(20, clean_only));
      copy_ns = std::min(copy_ns, Round(20, copy_only));
    }
    std::printf("  parts: walk %.1f us, collect+lookups %.1f us (%zu items), clean-up %.1f us (less %.1f us copying its input)\n",
                walk_ns / 1000, collect_ns / 1000, collected.size(), (clean_ns - copy_ns) / 1000, copy_ns / 1000);
    static int lookups = 0;
    static double lookup_seconds = 0;
    TLocationLookup counting{[](void*, std::uint32_t a, TVLLocationInfo& i) {
                               ++lookups;
                               const double t = Now();
                               const bool found = LookupLocationInfo(a, i);
                               lookup_seconds += Now() - t;
                               return found;
                             },
                             nullptr};
    g_sink = CollectV7(CurrentStackRange(), 0, code, counting).size();
    std::printf("  distinct lookups in one collection: %d, %.1f us\n", lookups, lookup_seconds * 1e6);
    TVLLocationInfo info;
    const auto own = reinterpret_cast<std::uintptr_t>(&CompareV7Builds) + 4;
    const auto system = reinterpret_cast<std::uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep")) + 4;
    // A build whose lookups find nothing measures only the walk: such a
    // figure would say nothing about the stacks of a report.
    if (!LookupLocationInfo(system, info) || info.ProcedureName != L"Sleep") {
      std::fprintf(stderr, "the stack lines need the lookups: kernel32's Sleep was not found\n");
      std::exit(1);
    }
    auto own_lookup = [&](long) { g_sink = LookupLocationInfo(own, info); };
    auto system_lookup = [&](long) { g_sink = LookupLocationInfo(system, info); };
    std::printf("  one lookup: in this program %.1f us, in kernel32 %.1f us\n", Round(20, own_lookup) / 1000,
                Round(20, system_lookup) / 1000);
  }
  double ours_ns = 1e30, their_ns = 1e30;
  for (int round = 0; round < 3; ++round) {
    their_ns = std::min(their_ns, Round(5, theirs) / static_cast<double>(their_frames));
    ours_ns = std::min(ours_ns, Round(20, ours) / static_cast<double>(ours_frames));
  }
  std::printf("%-34s %9.1f ns   %-30s %9.1f ns   ratio %5.2fx (%zu and %zu frames)\n",
              static_cast<const char*>(label), ours_ns, "StackWalk64 (tested reads)", their_ns, their_ns / ours_ns,
              ours_frames, their_frames);
  std::printf("  per whole stack: %.1f us against %.1f us, ratio %.2fx\n", ours_ns * static_cast<double>(ours_frames) / 1000,
              their_ns * static_cast<double>(their_frames) / 1000,
              their_ns * static_cast<double>(their_frames) / (ours_ns * static_cast<double>(ours_frames)));
}

// An exception's call stack as the manager's builder makes it (the default
// list, its clean-up, locations and post-processing, inside the builder's
// own probe scope), per entry, against the v7 build of the same stack, the
// line above.
void CompareExceptionStack(void*) {
  using namespace zelvic::diag;
  EExceptionReadersInit();
  EEventsInit();
  CreateExceptionManager();
  TExceptionData data;
  data.ExceptionThreadID = GetCurrentThreadId();
  data.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(GetCurrentInstruction()));
  data.StackTop = reinterpret_cast<void*>(static_cast<std::uintptr_t>(GetCurrentTopOfStack()));
  data.StackPoint = reinterpret_cast<void*>(static_cast<std::uintptr_t>(GetCurrentStackFrame()));
  std::size_t entries = 0, v7_frames = 0;
  auto exception_stack = [&](long) {
    const std::unique_ptr<TVarnelBaseStackList> list = CallStackBuilder()(data, nullptr);
    entries = list ? static_cast<std::size_t>(list->Count()) : 0;
  };
  auto v7 = [&](long) {
    const TCachedProbesScope probes;
    const zelvic::platform::TLiveMemory code(LiveMemory().Space(), zelvic::platform::TRegionCaching::kRecentRegions);
    std::vector<TStackItem> items = CollectV7(CurrentStackRange(), 0, code, LiveLocationLookup());
    CleanStackItems(items, {});
    v7_frames = items.size();
  };
  exception_stack(0);
  v7(0);
  double exception_ns = 1e30, v7_ns = 1e30;
  for (int round = 0; round < 3; ++round) {
    v7_ns = std::min(v7_ns, Round(20, v7) / static_cast<double>(v7_frames));
    exception_ns = std::min(exception_ns, Round(20, exception_stack) / static_cast<double>(entries));
  }
  std::printf("%-34s %9.1f ns   %-30s %9.1f ns   ratio %5.2fx (%zu and %zu entries)\n", "exception call stack per entry",
              exception_ns, "v7 build per frame", v7_ns, v7_ns / exception_ns, entries, v7_frames);
  DestroyExceptionManager();
  EEventsDone();
  EExceptionReadersDone();
}

std::vector<zelvic::diag::TStackItem> Recursion(int depth) {
  using zelvic::diag::TStackItem;
  const auto item = [](std::uint32_t address, const wchar_t* routine, const wchar_t* target) {
    TStackItem i;
    i.Address = address;
    i.Stack = 0x100000 + address;
    i.Location.Address = address - 5;
    i.Location.UnitName = L"Unit";
    i.Location.ProcedureName = routine;
    i.Location.LineNumber = static_cast<std::int32_t>(address);
    if (target != nullptr) {
      i.Target = address + 0x1000;
      i.TargetLocation.UnitName = L"Unit";
      i.TargetLocation.ProcedureName = target;
    }
    return i;
  };
  // Two routines calling each other: every call lands in the routine of the
  // item before it, so only the repeated blocks go.
  std::vector<TStackItem> items{item(0x401000, L"Leaf", nullptr)};
  for (int k = 0; k < depth / 2; ++k) {
    items.push_back(item(0x402000, L"Even", k == 0 ? L"Leaf" : L"Odd"));
    items.push_back(item(0x403000, L"Odd", L"Even"));
  }
  items.push_back(item(0x404000, L"Main", L"Odd"));
  items.front().Protect = true;
  return items;
}

// Each round cleans a fresh copy of the items. The copy goes into a buffer
// kept across rounds, and its own time is taken apart and left out: a fresh
// 2 MB array per round of the deep case would add the system's page faults
// to one side only.
void CompareCleanups() {
  const std::vector<zelvic::diag::TStackItem> deep = Recursion(5000);
  const std::vector<zelvic::diag::TStackItem> shallow = Recursion(500);
  std::vector<zelvic::diag::TStackItem> work;
  work.reserve(deep.size());
  double deep_ns = 1e30, shallow_ns = 1e30, deep_copy_ns = 1e30, shallow_copy_ns = 1e30;
  std::size_t kept = 0;
  const auto cleaning = [&](const std::vector<zelvic::diag::TStackItem>& source, bool clean) {
    return [&source, &work, &kept, clean](long) {
      work.assign(source.begin(), source.end());
      if (clean) zelvic::diag::CleanStackItems(work, {});
      kept = work.size();
    };
  };
  auto clean_shallow = cleaning(shallow, true);
  auto copy_shallow = cleaning(shallow, false);
  auto clean_deep = cleaning(deep, true);
  auto copy_deep = cleaning(deep, false);
  for (int round = 0; round < 7; ++round) {
    shallow_copy_ns = std::min(shallow_copy_ns, Round(200, copy_shallow));
    shallow_ns = std::min(shallow_ns, Round(200, clean_shallow));
    deep_copy_ns = std::min(deep_copy_ns, Round(20, copy_deep));
    deep_ns = std::min(deep_ns, Round(20, clean_deep));
  }
  deep_ns -= deep_copy_ns;
  shallow_ns -= shallow_copy_ns;
  std::printf("%-34s %9.1f us   %-30s %9.1f us   deep/shallow %5.2fx (%zu kept; copies of the input %.1f and %.1f us left out)\n",
              "v7 clean-up (5000 deep)", deep_ns / 1000, "v7 clean-up (500 deep)", shallow_ns / 1000, deep_ns / shallow_ns,
              kept, deep_copy_ns / 1000, shallow_copy_ns / 1000);
}

struct ParkedForBench {
  HANDLE parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

void ParkBottom(void* data) {
  auto& p = *static_cast<ParkedForBench*>(data);
  SetEvent(p.parked);
  WaitForSingleObject(p.release, INFINITE);
}

DWORD WINAPI ParkedBenchThread(void* data) {
  AtDepth(50, ParkBottom, data);
  return 0;
}

// How long a stack capture holds the other thread, against a bare suspend,
// context read and resume of the same parked thread. Under Wine every
// suspend is a round trip through the server, whose pauses on a shared
// machine are as long as the whole hold: the two are taken in pairs, in
// alternating order so neither side always follows the other, in several
// runs; each run gives the ratio of its medians, and the line is the
// median of those ratios with their spread. Each stop waits first until the
// thread is back in its wait: a thread stopped again right after a resume
// is still awake in the system's suspend code and hands its context over at
// once, several times faster, and only the bare stop, which does nothing
// before suspending, came quickly enough to be timed in that state.
void CompareThreadStops() {
  ParkedForBench p;
  HANDLE thread = CreateThread(nullptr, 0, ParkedBenchThread, &p, 0, nullptr);
  WaitForSingleObject(p.parked, INFINITE);
  Sleep(20);
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double us_per_tick = 1e6 / static_cast<double>(zelvic::platform::PerformanceFrequency());
  constexpr int kRuns = 9;
  constexpr int kStops = 100;
  std::vector<double> ratios, run_ours, run_bare, run_whole;
  for (int run = 0; run < kRuns; ++run) {
    std::vector<double> ours, bare, whole;
    for (int i = 0; i < kStops; ++i) {
      const auto take_ours = [&] {
        Sleep(1);
        zelvic::diag::TThreadTrace trace;
        const double t0 = Now();
        zelvic::diag::TraceThread(thread, 1u << 6, trace);
        whole.push_back((Now() - t0) * 1e6);
        ours.push_back(trace.SuspendedSeconds * 1e6);
      };
      const auto take_bare = [&] {
        Sleep(1);
        zelvic::platform::TThreadRegisters registers;
        std::int64_t ticks = 0;
        zelvic::platform::SuspendAndReadContext(thread, registers, ticks);
        bare.push_back(static_cast<double>(ticks) * us_per_tick);
      };
      if ((i & 1) == 0) {
        take_ours();
        take_bare();
      } else {
        take_bare();
        take_ours();
      }
    }
    run_ours.push_back(median(ours));
    run_bare.push_back(median(bare));
    run_whole.push_back(median(whole));
    ratios.push_back(run_ours.back() / run_bare.back());
  }
  SetEvent(p.release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(p.parked);
  CloseHandle(p.release);
  const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
  std::printf("%-34s %9.1f us   %-30s %9.1f us   held/bare %5.2fx (runs %.2fx..%.2fx, whole trace %.1f us)\n",
              "thread held for a stack (median)", median(run_ours), "suspend + context + resume", median(run_bare),
              median(ratios), *low, *high, median(run_whole));
}

// The report table of a list, rendered afresh each time: the text of 2049
// rows against 205 rows should cost about ten times as much, so nothing in a
// render grows faster than the rows (the module cell is kept per module).
std::unique_ptr<zelvic::diag::TVarnelBaseStackList> TableFixture(int rows) {
  auto list = std::make_unique<zelvic::diag::TGenericStackList>();
  const auto exe = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  for (int i = 0; i < rows; ++i) {
    zelvic::diag::TVarnelDebugInfo e;
    e.Location.Address = exe + 0x1000 + 16 * static_cast<std::uint32_t>(i);
    e.Location.Module = exe;
    e.Location.ModuleName = zelvic::platform::ModuleFileName(exe);
    e.Location.UnitName = L"Unit" + std::to_wstring(i % 17);
    e.Location.ProcedureName = L"Routine" + std::to_wstring(i);
    e.Location.LineNumber = 100 + i;
    e.Location.ProcOffsetLine = i % 9;
    e.Location.DebugDetail = zelvic::diag::ddSourceCode;
    e.StackAddr = 0x00120000 + 4 * static_cast<std::uint32_t>(i);
    e.ReturnAddr = static_cast<std::uint32_t>(e.Location.Address) + 5;
    e.Methods = 0x20;
    e.ThreadID = 1;
    e.RunningThread = true;
    list->Add(e);
  }
  list->SetCaptureWCTInfo(false);
  return list;
}

void CompareRendering() {
  auto big = TableFixture(2049);
  auto small = TableFixture(205);
  double big_ns = 1e30, small_ns = 1e30;
  for (int round = 0; round < 5; ++round) {
    auto render_small = [&](long) {
      small->Changed();
      g_sink = small->ToString().size();
    };
    auto render_big = [&](long) {
      big->Changed();
      g_sink = big->ToString().size();
    };
    small_ns = std::min(small_ns, Round(100, render_small));
    big_ns = std::min(big_ns, Round(10, render_big));
  }
  std::printf("%-34s %9.1f us   %-30s %9.1f us   ratio %5.2fx\n", "call-stack table, 2049 rows", big_ns / 1000,
              "call-stack table, 205 rows", small_ns / 1000, big_ns / small_ns);
}

// The units a stack of the library is built with, started here so that the
// whole run measures what the group run does: after the lookups' group has
// stopped them, the walks would otherwise run without debug information,
// the readable mask or the page cache.
void CompareStacks() {
  zelvic::diag::EDisAsmInit();
  zelvic::diag::EDebugInfoInit();
  zelvic::diag::EDebugExportsInit();
  AtDepth(300, CompareFrameWalks, nullptr);
  // The exception manager keeps the cached probes installed while it runs.
  const bool cached = zelvic::diag::InstallCachedTraceProbes();
  AtDepth(300, CompareV7Builds, const_cast<char*>("v7 per frame (300-deep recursion)"));
  Distinct<150>(CompareV7Builds, const_cast<char*>("v7 per frame (150 distinct)"));
  Distinct<150>(CompareExceptionStack, nullptr);
  if (cached) zelvic::diag::RemoveCachedTraceProbes();
  CompareCleanups();
  CompareThreadStops();
  CompareRendering();
  StopLookupUnits();
}

}  // namespace

// Two routines of the same work; distinct results keep the linker from
// folding them into one.
__attribute__((noinline)) int MixHooked(int x) {
  volatile int y = x;
  return y * 3 + 1;
}
__attribute__((noinline)) int MixPlain(int x) {
  volatile int y = x;
  return y * 3 + 2;
}
int (*volatile g_mix_trampoline)(int) = nullptr;
int MixHandler(int x) { return g_mix_trampoline(x); }

using CreateThreadFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
// A hot patch's trampoline is entry + 2, known before the patch: a thread
// created while the bench patches still gets its thread.
CreateThreadFn g_create_trampoline = nullptr;
HANDLE WINAPI CreateThreadHandler(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID arg,
                                  DWORD flags, LPDWORD id) {
  return g_create_trampoline(sa, stack, start, arg, flags, id);
}

// Patching against the bare system calls any code write needs (two
// protection changes and a flush of the same bytes), and a call through a
// detour's trampoline against a direct call.
void ComparePatching() {
  using namespace zelvic::diag;
  EHookInit();
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  void* create = reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateThread"));
  g_create_trampoline = reinterpret_cast<CreateThreadFn>(static_cast<char*>(create) + 2);
  void* mix = reinterpret_cast<void*>(&MixHooked);
  void* handler = reinterpret_cast<void*>(&MixHandler);
  auto bare = [&](void* at) {
    return [at](long) {
      DWORD old = 0;
      VirtualProtect(at, 8, PAGE_EXECUTE_READWRITE, &old);
      VirtualProtect(at, 8, old, &old);
      FlushInstructionCache(GetCurrentProcess(), at, 8);
    };
  };
  Compare("hot patch + unpatch (CreateThread)", "2x VirtualProtect + flush", 20000,
          ([&](long) {
            HookCodeProcedure(create, reinterpret_cast<void*>(&CreateThreadHandler));
            UnhookCodeProcedure(create);
          }),
          bare(create));
  Compare("detour + unpatch", "2x VirtualProtect + flush", 20000,
          ([&](long) {
            HookCodeProcedure(mix, handler);
            UnhookCodeProcedure(mix);
          }),
          bare(mix));

  g_mix_trampoline = reinterpret_cast<int (*)(int)>(HookCodeProcedure(mix, handler));
  if (g_mix_trampoline == reinterpret_cast<int (*)(int)>(mix)) std::fprintf(stderr, "MixHooked not patched\n");
  int (*volatile plain)(int) = &MixPlain;
  Compare("call through a trampoline", "direct call", 20000000,
          ([&](long i) { g_sink = static_cast<std::uintptr_t>(g_mix_trampoline(static_cast<int>(i))); }),
          ([&](long i) { g_sink = static_cast<std::uintptr_t>(plain(static_cast<int>(i))); }));
  EHookDone();
}

// CreateThread and a join, with the creation and exit entries patched
// against the same unpatched: a thread the threads manager only watches go
// by, and one it takes over (every thread enabled: the wrapper, its record
// and the exit event). Patched and unpatched alternate within each round.
DWORD WINAPI NothingToDo(void*) { return 0; }
std::atomic<long> g_wrapped_runs{0};

void CompareThreadCreation() {
  using namespace zelvic::diag;
  EHookInit();
  EThreadsManagerInit();
  constexpr int kThreads = 400;
  auto create_and_join = [] {
    const double t0 = Now();
    for (int i = 0; i < kThreads; ++i) {
      HANDLE t = CreateThread(nullptr, 0, NothingToDo, nullptr, 0, nullptr);
      WaitForSingleObject(t, INFINITE);
      CloseHandle(t);
    }
    return (Now() - t0) * 1e9 / kThreads;
  };
  // Counts the threads that run in the manager's wrapper.
  ThreadHookCallbacks().RunThread = [](std::uint32_t (*invoke)(void*), void* context) {
    ++g_wrapped_runs;
    return invoke(context);
  };
  g_wrapped_runs = 0;
  double plain = 1e30, watched = 1e30, taken = 1e30;
  for (int round = 0; round < 5; ++round) {
    RemoveHooks();
    plain = std::min(plain, create_and_join());
    if (!InstallLowLevelHooks(true)) {
      std::printf("CreateThread + join: the entries could not be patched\n");
      EThreadsManagerDone();
      EHookDone();
      return;
    }
    SetDefaultThreadState(dtsDisabled);
    watched = std::min(watched, create_and_join());
    SetDefaultThreadState(dtsEnabled);
    taken = std::min(taken, create_and_join());
    SetDefaultThreadState(dtsDisabled);
  }
  std::printf("%-34s %9.1f ns   %-30s %9.1f ns   ratio %5.2fx\n", "CreateThread + join, patched", watched,
              "unpatched", plain, plain / watched);
  std::printf("%-34s %9.1f ns   %-30s %9.1f ns   ratio %5.2fx\n", "  taken over (every thread on)", taken,
              "unpatched", plain, plain / taken);
  std::printf("  threads run in the wrapper: %ld of %d taken over\n", g_wrapped_runs.load(), 5 * kThreads);
  ThreadHookCallbacks() = {};
  EThreadsManagerDone();
  EHookDone();
}

// The process list's refresh (enumeration, snapshot, each image's name,
// priority, memory and version) against the bare snapshot walk it starts
// from.
// ---- the exception hooks ----------------------------------------------------------

// A manager that does at a throw what a real one must do at least: keep the
// capture and a snapshot of the thrower's return addresses (the call stack
// itself is built later, when a report needs it).
struct BenchSnapshot {
  zelvic::diag::TThrowCapture capture;
  void* frames[32];
};
BenchSnapshot g_snapshot;
long g_bench_captures = 0;
zelvic::diag::TVarnelExceptionInfo* BenchInfoForThrow(const zelvic::diag::TThrowCapture& capture, bool, bool) {
  ++g_bench_captures;
  g_snapshot.capture = capture;
  g_sink = RtlCaptureStackBackTrace(0, 32, g_snapshot.frames, nullptr);
  return nullptr;
}
void BenchStash(const _EXCEPTION_RECORD* record, const _CONTEXT*) { g_sink = reinterpret_cast<std::uintptr_t>(record); }
bool BenchRelease(void* object, zelvic::diag::TVarnelExceptionInfo*, int) {
  g_sink = reinterpret_cast<std::uintptr_t>(object);
  return false;
}

__attribute__((noinline)) void BenchThrow(long i) { throw std::runtime_error(i < 0 ? "never" : "bench"); }

LONG CALLBACK ContinueBenchRaise(EXCEPTION_POINTERS* p) {
  return p->ExceptionRecord->ExceptionCode == 0xE0BE4C00 ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

void CompareHooks() {
  zelvic::rt::InstallCxxExceptionPoints();
  zelvic::diag::EExceptionHookInit();
  zelvic::diag::SetModuleFilter(true);
  zelvic::diag::TManagerEntries& manager = zelvic::diag::ManagerEntries();
  manager.InfoForThrow = BenchInfoForThrow;
  manager.StashFirstChance = BenchStash;
  manager.Release = BenchRelease;
  const auto previous_state = zelvic::diag::SetDefaultThreadState(zelvic::diag::dtsEnabled);
  zelvic::diag::InstallExceptionHooks({});

  auto caught_throw = [](long i) {
    try {
      BenchThrow(i);
    } catch (const std::exception& e) {
      g_sink = reinterpret_cast<std::uintptr_t>(e.what());
    }
  };
  auto on = [&](long i) {
    zelvic::diag::SetVarnelLogStateInThread(zelvic::diag::kCallingThread, true);
    caught_throw(i);
  };
  auto off = [&](long i) {
    zelvic::diag::SetVarnelLogStateInThread(zelvic::diag::kCallingThread, false);
    caught_throw(i);
  };
  g_bench_captures = 0;
  Compare("caught C++ throw, hooks on", "facility off for the thread", 20000, on, off);
  // Five rounds of 20000 with the facility on: each throw reached the manager.
  std::printf("%-34s %ld of %ld\n", "  throws the manager captured", g_bench_captures, 5 * 20000L);
  zelvic::diag::SetVarnelLogStateInThread(zelvic::diag::kCallingThread, true);

  // Another module's exception, caught by the application: the system's
  // RaiseException is the raising module, and the first-chance hook leaves it
  // to the module filter.
  // The application's handler comes after the facility's, as it does when
  // the application registers its own once the library is loaded.
  auto raise = [](long) { RaiseException(0xE0BE4C00, 0, 0, nullptr); };
  double on_ns = 1e30, off_ns = 1e30;
  void* application = nullptr;
  for (int round = 0; round < 5; ++round) {
    application = AddVectoredExceptionHandler(0, ContinueBenchRaise);
    on_ns = std::min(on_ns, Round(20000, raise));
    zelvic::diag::RemoveExceptionHooks();
    off_ns = std::min(off_ns, Round(20000, raise));
    RemoveVectoredExceptionHandler(application);
    zelvic::diag::InstallExceptionHooks({});
  }
  application = AddVectoredExceptionHandler(0, ContinueBenchRaise);
  std::printf("%-34s %9.1f ns   %-30s %9.1f ns   ratio %5.2fx\n", "first chance, other module, hooked", on_ns,
              "no hooks", off_ns, off_ns / on_ns);
  RemoveVectoredExceptionHandler(application);

  zelvic::diag::EExceptionHookDone();
  manager = zelvic::diag::TManagerEntries{};
  zelvic::diag::SetDefaultThreadState(previous_state);
  zelvic::rt::RemoveCxxExceptionPoints();
}

std::size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  // Wine leaves PrivateUsage at 0; the commit charge is the same figure.
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// Caught C++ throws through the real exception manager: each gets its record,
// and the record ends with its object, so after many throws the live records
// and the private bytes are where they were after the first few.
void MeasureThrows() {
  zelvic::rt::InstallCxxExceptionPoints();
  zelvic::diag::EExceptionHookInit();
  zelvic::diag::EExceptionReadersInit();
  zelvic::diag::EEventsInit();
  zelvic::diag::CreateExceptionManager();
  zelvic::diag::TExceptionManager* manager = zelvic::diag::TExceptionManager::Instance();
  zelvic::diag::SetModuleFilter(true);
  const auto previous_state = zelvic::diag::SetDefaultThreadState(zelvic::diag::dtsEnabled);
  zelvic::diag::InstallExceptionHooks({});
  zelvic::diag::SetVarnelLogStateInThread(zelvic::diag::kCallingThread, true);
  auto caught_throw = [](long i) {
    try {
      BenchThrow(i);
    } catch (const std::exception& e) {
      g_sink = reinterpret_cast<std::uintptr_t>(e.what());
    }
  };
  constexpr long kEarly = 1000, kThrows = 100000;
  const int numbered_before = manager->ExceptionCount();
  const double early_ns = Round(kEarly, caught_throw);
  const int early_live = manager->LiveExceptionCount();
  const std::size_t early_bytes = PrivateBytes();
  Round(kThrows - 2 * kEarly, caught_throw);
  const double late_ns = Round(kEarly, caught_throw);
  const int late_live = manager->LiveExceptionCount();
  const std::size_t late_bytes = PrivateBytes();
  std::printf("%-34s %9.1f us   %-30s %9.1f us   ratio %5.2fx\n", "caught throw, manager (first 1000)", early_ns / 1000,
              "last 1000 of 100000", late_ns / 1000, early_ns / late_ns);
  std::printf("%-34s %d numbered; live records %d early, %d late; private KiB %zu early, %zu late\n",
              "  after 100000 throws", manager->ExceptionCount() - numbered_before, early_live, late_live,
              early_bytes / 1024, late_bytes / 1024);
  zelvic::diag::EExceptionHookDone();
  zelvic::diag::DestroyExceptionManager();
  zelvic::diag::EEventsDone();
  zelvic::diag::EExceptionReadersDone();
  zelvic::diag::ManagerEntries() = zelvic::diag::TManagerEntries{};
  zelvic::diag::SetDefaultThreadState(previous_state);
  zelvic::rt::RemoveCxxExceptionPoints();
}

// A process list as a report gathers it, against a bare walk of the process
// snapshot. The first line is a later report's list: the images' version
// resources are kept from the one before. The second forgets them before
// every refresh, as the first report of a process finds them.
void CompareProcessRefresh() {
  auto toolhelp_walk = [&](long) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    std::uintptr_t n = 0;
    for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) ++n;
    CloseHandle(snapshot);
    g_sink = n;
  };
  auto refresh = [&](long) {
    zelvic::diag::TVarnelProcessesList list;
    list.Refresh();
    g_sink = static_cast<std::uintptr_t>(list.Count());
  };
  Compare("process list Refresh", "bare Toolhelp32 walk", 20, refresh, toolhelp_walk);
  Compare("  versions not kept (first report)", "bare Toolhelp32 walk", 20,
          ([&](long i) {
            zelvic::platform::ForgetFileVersions();
            refresh(i);
          }),
          toolhelp_walk);
}

// The general section of a report with every item on: the first one after the
// system-information unit starts (its kept texts, the virtual-machine answer
// and the image versions all gone) against a rebuild of the same section.
void MeasureGeneralSection() {
  std::unique_ptr<zelvic::diag::TLiveReportFacts> facts =
      zelvic::diag::TLiveReportFacts::CaptureHere(L"EBench", L"the general section");
  zelvic::diag::TVarnelModuleOptions& options = facts->MutableOptions();
  for (const zelvic::diag::TOptionDef& def : zelvic::diag::OptionCatalogue()) {
    if (def.Kind == zelvic::diag::TOptionKind::Bool && std::wstring_view(def.Key).starts_with(L"so")) {
      options.WriteBool(static_cast<zelvic::diag::TOptionId>(&def - zelvic::diag::OptionCatalogue().data()), true);
    }
  }
  zelvic::diag::TLogBuilder builder(facts.get());
  zelvic::diag::ESysInfoInit();
  double cold = 1e30, warm = 1e30;
  std::size_t size = 0;
  for (int round = 0; round < 5; ++round) {
    zelvic::diag::ESysInfoDone();
    zelvic::diag::ESysInfoInit();
    double t = Now();
    size = builder.CreateGeneralText().size();
    cold = std::min(cold, Now() - t);
    for (int i = 0; i < 10; ++i) {
      t = Now();
      g_sink = builder.CreateGeneralText().size();
      warm = std::min(warm, Now() - t);
    }
  }
  zelvic::diag::ESysInfoDone();
  std::printf("%-34s %9.2f ms   %-30s %9.2f ms   ratio %5.2fx   (%zu characters)\n", "general section, cold", cold * 1e3,
              "warm (rebuilt)", warm * 1e3, cold / warm, size);
}

// ResolveOutputFile on a file that does not exist yet: the write test makes
// a probe file and lets it go on close, with no pause; the baseline is that
// probe alone (a new file created and removed on close).
void CompareResolveOutputFile() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"zelvic_bench_resolve_" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  long made = 0;
  auto fresh_name = [&] { return folder + L"\\report" + std::to_wstring(made++) + L".vl"; };
  Compare("ResolveOutputFile, new file", "CreateFileW new, delete on close", 50,
          ([&](long) {
            std::wstring name = fresh_name();
            g_sink = zelvic::diag::ResolveOutputFile(name, false, false) ? name.size() : 0;
          }),
          ([&](long) {
            const std::wstring name = fresh_name();
            HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            g_sink = reinterpret_cast<std::uintptr_t>(h);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
          }));
  // Nothing is left behind: every probe went with its handle.
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*.vl").c_str(), &found);
  std::printf("  files left after %ld probes: %s\n", made, search == INVALID_HANDLE_VALUE ? "none" : "some");
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  RemoveDirectoryW(folder.c_str());
}

// A registry text through the facility's reader (open, size, read, close)
// against the same value read with one open key kept.
void CompareRegistryText() {
  const std::wstring key = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  HKEY opened = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened);
  Compare("registry text read", "RegQueryValueExW on an open key", 20000,
          ([&](long) {
            g_sink = zelvic::diag::ReadRegistryText(zelvic::platform::TRegistryRoot::LocalMachine, key,
                                                    L"Identifier").size();
          }),
          ([&](long) {
            wchar_t text[256];
            DWORD bytes = sizeof(text);
            RegQueryValueExW(opened, L"Identifier", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes);
            g_sink = bytes;
          }));
  if (opened != nullptr) RegCloseKey(opened);
}

// A whole bug report of this process (every section on), the first one
// against a rebuild of the same builder: the first asks the module list,
// the debug information and the process list for the first time.
void MeasureReports() {
  zelvic::diag::EDisAsmInit();
  zelvic::diag::EDebugInfoInit();
  zelvic::diag::EDebugExportsInit();
  zelvic::diag::ELogBuilderInit();
  std::unique_ptr<zelvic::diag::TLiveReportFacts> facts =
      zelvic::diag::TLiveReportFacts::CaptureHere(L"EBench", L"a report for the benchmark");
  zelvic::diag::TVarnelModuleOptions& options = facts->MutableOptions();
  for (const zelvic::diag::TOptionDef& def : zelvic::diag::OptionCatalogue()) {
    const std::wstring_view key = def.Key;
    if (def.Kind == zelvic::diag::TOptionKind::Bool && key.starts_with(L"so")) {
      options.WriteBool(static_cast<zelvic::diag::TOptionId>(&def - zelvic::diag::OptionCatalogue().data()), true);
    }
  }
  options.WriteBool(zelvic::diag::TOptionId::loSaveProcessesSection, true);
  zelvic::diag::TLogBuilder builder(facts.get());
  const double t0 = Now();
  std::size_t size = builder.Report().size();
  const double cold = Now() - t0;
  double warm = 1e30;
  for (int i = 0; i < 20; ++i) {
    builder.Invalidate();
    const double t = Now();
    size = builder.Report().size();
    warm = std::min(warm, Now() - t);
  }
  std::printf("%-34s %9.2f ms   (%zu characters)\n", "whole report, cold (first build)", cold * 1e3, size);
  std::printf("%-34s %9.2f ms   (best of 20)\n", "whole report, warm (rebuild)", warm * 1e3);
  double build_only = 1e30;
  for (int i = 0; i < 20; ++i) {
    const double t = Now();
    g_sink = builder.Build().size();
    build_only = std::min(build_only, Now() - t);
  }
  std::printf("%-34s %9.2f ms   (best of 20)\n", "  Build alone (no events, nesting)", build_only * 1e3);
  const struct {
    const char* name;
    std::wstring (zelvic::diag::TLogBuilder::*section)();
  } sections[] = {{"  general", &zelvic::diag::TLogBuilder::CreateGeneralText},
                  {"  call stack", &zelvic::diag::TLogBuilder::CreateCallStackText},
                  {"  modules", &zelvic::diag::TLogBuilder::CreateModulesText},
                  {"  processes", &zelvic::diag::TLogBuilder::CreateProcessesText},
                  {"  assembler", &zelvic::diag::TLogBuilder::CreateAssemblerText},
                  {"  CPU", &zelvic::diag::TLogBuilder::CreateCPUText}};
  for (const auto& s : sections) {
    double best = 1e30;
    for (int i = 0; i < 10; ++i) {
      const double t = Now();
      g_sink = (builder.*s.section)().size();
      best = std::min(best, Now() - t);
    }
    std::printf("%-34s %9.2f ms\n", s.name, best * 1e3);
  }
  zelvic::diag::ELogBuilderDone();
  StopLookupUnits();
}

// From the raise to the saved report: RaiseException met by a handler in
// the place of the library's unhandled-exception hook, which hands it to the
// real manager; its pipeline runs the null dialog, which saves the report
// to a scratch report file (no window, no sender). The first exception of a
// bug (the report appended to an empty file) and a repeat of it (found by
// its bug identifier, its stored count raised), each against the report
// builder's own time for the same kind of record.
enum class TRaiseMode { Pipeline, BuilderOnly };
TRaiseMode g_raise_mode = TRaiseMode::Pipeline;
std::wstring g_scratch_report;
double g_builder_seconds = 0;
double g_record_seconds = 0;
int g_pipeline_results = 0;

constexpr DWORD kBenchReportCode = 0xE0BEEF01;

LONG CALLBACK BenchUnhandledHook(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != kBenchReportCode) return EXCEPTION_CONTINUE_SEARCH;
  zelvic::diag::TExceptionRecord32 record;
  std::memcpy(static_cast<void*>(&record), pointers->ExceptionRecord, sizeof record);
  zelvic::diag::TContext32 context;
  std::memcpy(static_cast<void*>(&context), pointers->ContextRecord, sizeof context);
  zelvic::diag::TExceptionManager* manager = zelvic::diag::TExceptionManager::Instance();
  if (g_raise_mode == TRaiseMode::Pipeline) {
    if (manager->Handle(record, &context, false, true).SendResult == 0) ++g_pipeline_results;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  const double t0 = Now();
  if (zelvic::diag::TVarnelExceptionInfo* info = manager->Info(record, &context, false, true)) {
    // The call stack is the raise's part; the builder's own time starts
    // with a stack already taken.
    info->CallStack();
    g_record_seconds = Now() - t0;
    const double t = Now();
    zelvic::diag::TExceptionReportFacts facts(*info);
    zelvic::diag::TLogBuilder builder(&facts);
    g_sink = builder.Report().size();
    g_builder_seconds = Now() - t;
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Every record the bench raises saves to the scratch file with the null
// dialog, counts repeats, and never ends the process.
void BenchReportOptions(void*, zelvic::diag::TVarnelExceptionInfo* info, bool&, bool&) {
  zelvic::diag::TVarnelModuleOptions& o = info->Options();
  o.SetOutputPath(g_scratch_report);
  o.SetSaveLogFile(true);
  o.SetPresaveReport(false);
  o.SetloNoDuplicateErrors(true);
  o.SetExceptionDialogType(L"TNullDialog");
  o.SetSenderClasses(L"");
  o.SetAutoCrashOperation(zelvic::diag::tbNone);
  o.SetTerminateBtnOperation(zelvic::diag::tbNone);
  o.SetMiniDumpCreate(false);
}

// Each raise carries its own number: the manager takes an identical record
// raised again on the thread for the same exception, and each raise here is
// a new one (of the same bug).
__attribute__((noinline)) void BenchRaise() {
  static ULONG_PTR raises = 0;
  const ULONG_PTR number = ++raises;
  RaiseException(kBenchReportCode, 0, 1, &number);
}

void MeasureRaiseToReport() {
  zelvic::diag::EDisAsmInit();
  zelvic::diag::EDebugInfoInit();
  zelvic::diag::EDebugExportsInit();
  zelvic::diag::ELogBuilderInit();
  zelvic::diag::EExceptionReadersInit();
  zelvic::diag::EEventsInit();
  zelvic::diag::CreateExceptionManager();
  zelvic::diag::EDialogInit();
  zelvic::diag::SetVarnelLogStateInThread(zelvic::diag::kCallingThread, true);
  const zelvic::diag::TMethod approval{reinterpret_cast<void*>(BenchReportOptions), nullptr};
  zelvic::diag::RegisterEventHandler(zelvic::diag::elProcessingApproval, approval);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"zelvic_bench_reports_" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  g_scratch_report = folder + L"\\app.vl";
  void* hook = AddVectoredExceptionHandler(1, BenchUnhandledHook);

  auto raise_to_report = [](bool fresh_file) {
    if (fresh_file) DeleteFileW(g_scratch_report.c_str());
    g_raise_mode = TRaiseMode::Pipeline;
    const double t = Now();
    BenchRaise();
    return Now() - t;
  };
  auto builder_alone = [] {
    g_raise_mode = TRaiseMode::BuilderOnly;
    BenchRaise();
    return g_builder_seconds;
  };
  constexpr int kRounds = 10;
  std::printf("%-34s %9.2f ms   (the process's first exception)\n", "raise to saved report, cold",
              raise_to_report(true) * 1e3);
  // A window host holds ole32 already; in a bare host the first dialog
  // loads it and keeps it, so that no later exception finds the module list
  // changed. The two sets should agree.
  for (const bool host_holds_ole32 : {false, true}) {
    HMODULE ole32 = host_holds_ole32 ? LoadLibraryW(L"ole32.dll") : nullptr;
    const char* host = host_holds_ole32 ? "host holding ole32" : "bare host";
    double first = 1e30, repeated = 1e30, builder = 1e30, record = 1e30;
    g_pipeline_results = 0;
    for (int round = 0; round < kRounds; ++round) {
      first = std::min(first, raise_to_report(true));
      repeated = std::min(repeated, raise_to_report(false));
      builder = std::min(builder, builder_alone());
      record = std::min(record, g_record_seconds);
    }
    // The last round's repeat is counted in the one stored report.
    int stored = 0;
    std::wstring count;
    {
      zelvic::diag::TReportFileGuard guard;
      zelvic::diag::TLogFile log(g_scratch_report, true);
      stored = log.Count();
      if (stored > 0) count = log.GetItemValue(zelvic::diag::kItemCount, 0);
    }
    std::printf("%s, best of %d each:\n", host, kRounds);
    std::printf("%-34s %9.2f ms   %-30s %9.2f ms   ratio %5.2fx\n", "  raise to saved report, first", first * 1e3,
                "report builder alone", builder * 1e3, builder / first);
    std::printf("%-34s %9.2f ms   %-30s %9.2f ms   ratio %5.2fx\n", "  raise to saved report, repeated",
                repeated * 1e3, "report builder alone", builder * 1e3, builder / repeated);
    std::printf("%-34s %9.2f ms   (in both)\n", "  the record and its call stack", record * 1e3);
    std::printf("%-34s %d of %d answered 0; the file holds %d report(s), count %ls\n", "  pipelines",
                g_pipeline_results, 2 * kRounds, stored, count.c_str());
    if (ole32 != nullptr) FreeLibrary(ole32);
  }

  RemoveVectoredExceptionHandler(hook);
  zelvic::diag::UnregisterEventHandler(zelvic::diag::elProcessingApproval, approval);
  DeleteFileW(g_scratch_report.c_str());
  RemoveDirectoryW(folder.c_str());
  zelvic::diag::SetVarnelLogStateInThread(zelvic::diag::kCallingThread, false);
  zelvic::diag::EDialogDone();
  zelvic::diag::DestroyExceptionManager();
  zelvic::diag::EEventsDone();
  zelvic::diag::EExceptionReadersDone();
  zelvic::diag::ManagerEntries() = zelvic::diag::TManagerEntries{};
  zelvic::diag::ELogBuilderDone();
  StopLookupUnits();
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zelvic_bench <_zelvic.dll> <tinyconst.dll>\n");
    return 2;
  }
  // ZELVIC_BENCH_ONLY=stacks runs the stack lines alone, =hooks the
  // exception hooks' lines.
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "hooks") == 0) {
    CompareHooks();
    return 0;
  }
  // =patching the code patches and the thread creation through them.
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "patching") == 0) {
    ComparePatching();
    CompareThreadCreation();
    return 0;
  }
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "stacks") == 0) {
    CompareStacks();
    return 0;
  }
  // ZELVIC_BENCH_ONLY=system runs the system-information lines alone.
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "system") == 0) {
    CompareProcessRefresh();
    CompareRegistryText();
    MeasureGeneralSection();
    CompareResolveOutputFile();
    return 0;
  }
  // ZELVIC_BENCH_ONLY=throws runs the manager's throw lines alone.
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "throws") == 0) {
    MeasureThrows();
    return 0;
  }
  // ZELVIC_BENCH_ONLY=dialog runs the raise-to-saved-report lines alone.
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "dialog") == 0) {
    MeasureRaiseToReport();
    return 0;
  }
  // ZELVIC_BENCH_ONLY=report runs the report lines alone.
  if (const char* only = std::getenv("ZELVIC_BENCH_ONLY"); only != nullptr && std::strcmp(only, "report") == 0) {
    MeasureReports();
    return 0;
  }
  // Before the library is loaded: once it is, its own patches are on the
  // same entries.
  ComparePatching();
  CompareThreadCreation();
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

  CompareHooks();
  MeasureThrows();
  if (argc > 3) CompareDebugInfo(zelvic, WinePath(argv[3]));
  CompareLookups();
  CompareStacks();
  CompareProcessRefresh();
  CompareRegistryText();
  MeasureGeneralSection();
  CompareResolveOutputFile();
  MeasureReports();
  MeasureRaiseToReport();

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
