// A host that uses _zelvic.dll the way the trading terminal does for the
// indicator script: it loads the library, finds the fragment exports by name
// and calls each with exactly the slots it takes. It plays a few M15 bars of
// EURUSD and prints the alert lines the script would raise.
//
//   zelvic_host.exe <path of _zelvic.dll> [--all | --crash [--on-thread] [--throw]]
//
// --all also prints every export with its result for one fixed set of slots.
// --crash runs a copy of this host that hands one export a wild pointer (the
// text at address 0x10), so that the library faults on the thread that
// loaded it; it then says how the copy ended, where its bug report went and
// shows the report's first lines. With --on-thread the copy makes the call
// on a second thread of its own instead; the library's options decide
// whether the facility watches such a thread. With --throw the copy calls
// the export "ZelvicTestThrow" instead, which only the tests' throwing copy
// of the library has: the library throws a C++ exception nobody catches.

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cwchar>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "slot_call.h"

namespace {

enum class Kind { Text, Int, Int64, Double };

struct Export {
  const char* name;
  int ordinal;
  int slots;
  Kind kind;
};

// Name, ordinal, slot count and result kind of every fragment export.
#define FRAGMENT(suffix, ordinal, slots, type, expression) {"Ondrel_55F22C7D_1_" #suffix, ordinal, slots, Kind::type},
const Export kExports[] = {
#include "fragments/fragment_table.inc"
};
#undef FRAGMENT

class Script {
 public:
  explicit Script(HMODULE lib) : lib_(lib) {}

  // Calls export `suffix` with the slots given (the rest of its slots zero).
  SlotCallResult Call(const char* suffix, std::vector<std::uint32_t> slots = {}) {
    const Export& e = Find(suffix);
    slots.resize(16, 0);
    const void* fn = reinterpret_cast<const void*>(GetProcAddress(lib_, e.name));
    SlotCallResult out{};
    if (fn == nullptr) {
      std::fprintf(stderr, "missing export %s\n", e.name);
      ++failures_;
      return out;
    }
    if (CallWithSlots(fn, slots.data(), static_cast<std::uint32_t>(e.slots), &out, e.kind == Kind::Double) != 0) {
      std::fprintf(stderr, "%s left the stack unbalanced\n", e.name);
      ++failures_;
    }
    return out;
  }

  std::string Text(const char* suffix, std::vector<std::uint32_t> slots = {}) {
    return Narrow(reinterpret_cast<const wchar_t*>(Call(suffix, std::move(slots)).eax));
  }
  std::int32_t Int(const char* suffix, std::vector<std::uint32_t> slots = {}) {
    return static_cast<std::int32_t>(Call(suffix, std::move(slots)).eax);
  }
  double Real(const char* suffix, std::vector<std::uint32_t> slots = {}) { return Call(suffix, std::move(slots)).st0; }

  int failures() const { return failures_; }

  static std::string Narrow(const wchar_t* w) {
    std::string s;
    if (w == nullptr) return "(null)";
    for (; *w; ++w) s.push_back(*w < 128 ? static_cast<char>(*w) : '?');
    return s;
  }

 private:
  static const Export& Find(const char* suffix) {
    for (const Export& e : kExports) {
      if (std::strcmp(e.name + 18, suffix) == 0) return e;
    }
    return kExports[0];
  }

  HMODULE lib_;
  int failures_ = 0;
};

// Slots holding a double starting at slot `at`.
std::vector<std::uint32_t> WithDouble(std::vector<std::uint32_t> slots, std::size_t at, double v) {
  if (slots.size() < at + 2) slots.resize(at + 2, 0);
  std::memcpy(&slots[at], &v, sizeof v);
  return slots;
}

std::uint32_t Word(std::int32_t v) { return static_cast<std::uint32_t>(v); }
std::uint32_t Ptr(const wchar_t* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// FormatNumberText through the export that takes (D0, digits = I2).
std::string Number(Script& s, double v, std::int32_t digits) {
  auto slots = WithDouble({}, 0, v);
  slots.resize(3);
  slots[2] = Word(digits);
  return s.Text("1I1I1iI1I1", slots);
}

void PlayBars(Script& s) {
  const std::int32_t bar_seconds = 15 * 60;
  const std::int32_t start = 1765353600;  // 2025-12-10 08:00:00
  const double point = 0.0001;
  double price = 1.16235;

  std::printf("%s | symbol EURUSD | timeframe %s | bar %d s\n\n", s.Text("1Ii1I1IIii").c_str(),
              s.Text("11iI1iI11i").c_str(), bar_seconds);

  const double moves[] = {0.00042, -0.00013, 0.00067, -0.00091, 0.00024, -0.00055};
  for (int bar = 0; bar < 6; ++bar) {
    const std::int32_t open_time = start + bar * bar_seconds;
    const std::int32_t now = open_time + 397 + bar * 61;  // the tick inside the bar
    const double move = moves[bar];
    price += move;
    const bool buy = move > 0;
    const double sl = buy ? price - 25 * point : price + 25 * point;
    const double tp = buy ? price + 50 * point : price - 50 * point;

    // "Buy Alert EURUSD - Entry @1.16277 - SL @1.16027 - TP @1.16777 - Date & Time: 2025.12.10 08:06:37"
    std::string line = buy ? s.Text("IiIi1I1Iii") : s.Text("I1i111i1I1");
    line += "EURUSD";
    line += s.Text("ii11iiIi1i");                                      // " - Entry @"
    line += Number(s, price, 5);
    line += s.Text("Ii1I111iIi");                                      // " - SL @"
    line += Number(s, sl, 5);
    line += s.Text("iiiI1i1ii1");                                      // " - TP @"
    line += Number(s, tp, 5);
    line += s.Text("iIiIIii1I1");                                      // " - Date & Time: "
    line += s.Text("1Iii11I11i", {0, Word(now), 5});                  // FormatTimeText(I1, I2)
    std::printf("%s\n", line.c_str());

    // Signal arrow object names and the stop distance in pips.
    const std::string arrow = (buy ? s.Text("IIIii11iIi") : s.Text("iIIIi11IIi")) + s.Text("1Iii11I11i", {0, Word(open_time), 1}) +
                              s.Text("IIIiiIIii1") + s.Text("11iiIII1II", {0, Word(open_time), 0, 0, 2});
    const double pips = s.Real("1iI1I1IiiI", WithDouble({0, 0, 0}, 3, std::fabs(price - sl) * 1000));  // D3 * 10.0
    std::printf("    %s  %s  %s%s%s\n", buy ? s.Text("1IIiii1iII").c_str() : s.Text("iIIii1IiIi").c_str(), arrow.c_str(),
                s.Text("Iiii1I111i").c_str(), Number(s, pips, 1).c_str(), s.Text("IiiiII1i1i").c_str());

    // Time left in the candle, through the modulo exports.
    const double into_hour = s.Real("iIiii11iI1", WithDouble({}, 0, now));          // now mod 3600
    const double into_bar = into_hour - bar_seconds * std::floor(into_hour / bar_seconds);
    const double left = bar_seconds - into_bar;
    const std::int32_t minutes = s.Int("ii11i111Ii", WithDouble({0, 0}, 2, left / 60));  // TruncateToInt(D2)
    const double seconds = s.Real("1IiIi1iiII", WithDouble({}, 0, left));              // left mod 60
    std::printf("    %s%d%s%d%s (bar opened %s, tick at %s)\n", s.Text("1II1111I1i").c_str(), minutes,
                s.Text("iI1I11I11I").c_str(), static_cast<int>(seconds), s.Text("I1IIii1ii1").c_str(),
                s.Text("iIiIIIiii1", {0, 0, 2, Word(open_time)}).c_str(), s.Text("iII11I1iIi", {0, Word(now), 4}).c_str());
  }

  // Object-name search, as the script uses it to clean up its arrows.
  const wchar_t* name = L"arr_up_2025.12.10_08:15";
  std::printf("\nFindText(\"%s\", \"arr_up_\") = %d, FindText(..., \"arr_dn_\") = %d\n", Script::Narrow(name).c_str(),
              s.Int("1iiI1iiiii", {Ptr(L"arr_up_"), Ptr(name)}), s.Int("1iiI1iiiii", {Ptr(L"arr_dn_"), Ptr(name)}));
}

void PrintAll(Script& s) {
  // One fixed set of slots for every export: small integers, so that modes,
  // digit counts and seconds are meaningful, and doubles from the pairs.
  std::vector<std::uint32_t> slots = {3, 1765353600, 2, 0x3FF80000, 5, 1, 0x40590000, 2, 0x40240000, 7, 11, 12, 13, 14};
  static const wchar_t kHaystack[] = L"Entry_EURUSD";
  static const wchar_t kNeedle[] = L"USD";
  std::printf("\n%-30s %4s %5s  %s\n", "export", "ord", "slots", "result");
  for (const Export& e : kExports) {
    std::vector<std::uint32_t> v = slots;
    if (std::strcmp(e.name + 18, "I1I1I1111I") == 0 || std::strcmp(e.name + 18, "1iiI1iiiii") == 0) {
      v[0] = Ptr(kNeedle);
      v[1] = Ptr(kHaystack);
    }
    const SlotCallResult r = s.Call(e.name + 18, v);
    char result[160];
    switch (e.kind) {
      case Kind::Text: std::snprintf(result, sizeof result, "\"%s\"", Script::Narrow(reinterpret_cast<const wchar_t*>(r.eax)).c_str()); break;
      case Kind::Int: std::snprintf(result, sizeof result, "%d", static_cast<int>(r.eax)); break;
      case Kind::Int64: std::snprintf(result, sizeof result, "%lld", static_cast<long long>(r.eax | static_cast<std::uint64_t>(r.edx) << 32)); break;
      case Kind::Double: std::snprintf(result, sizeof result, "%.10g", r.st0); break;
    }
    std::printf("%-30s %4d %5d  %s\n", e.name, e.ordinal, e.slots, result);
  }
}


// The copy of --crash: no handler of its own, as a terminal that loads the
// library. FindText reads its text through the pointer and faults.
DWORD WINAPI CallWithWildPointer(void* script) {
  std::printf("calling FindText with the text at address 0x10\n");
  std::fflush(stdout);
  static_cast<Script*>(script)->Int("1iiI1iiiii", {Ptr(L"arr_"), 0x10});
  std::printf("the export returned: no fault was raised\n");
  return 1;
}

HMODULE g_library = nullptr;

DWORD WINAPI CallTheThrowingExport(void*) {
  using TThrow = void (*)(int);
  auto* raise = reinterpret_cast<TThrow>(reinterpret_cast<void*>(GetProcAddress(g_library, "ZelvicTestThrow")));
  if (raise == nullptr) {
    std::printf("this library has no ZelvicTestThrow (only the tests' throwing copy has)\n");
    return 1;
  }
  std::printf("calling ZelvicTestThrow: the library throws a C++ exception nobody catches\n");
  std::fflush(stdout);
  raise(9999);
  std::printf("ZelvicTestThrow returned: nothing was thrown\n");
  return 1;
}

int CrashChild(Script& s, bool on_thread, bool throw_mode) {
  LPTHREAD_START_ROUTINE routine = throw_mode ? CallTheThrowingExport : CallWithWildPointer;
  if (!on_thread) return static_cast<int>(routine(&s));
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, routine, &s, 0, &id);
  if (thread == nullptr) return 1;
  std::printf("on thread %lu, not the one that loaded the library\n", id);
  std::fflush(stdout);
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  // The facility ends a watched thread after its report; the process goes on.
  std::printf("the thread ended with exit code %08lX and this copy goes on\n", code);
  return 1;
}

// The newest report file (*.vl) under `folder`, searched to any depth.
void NewestReport(const std::wstring& folder, std::wstring& best, FILETIME& best_time) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    // A linked folder can lead anywhere, the user's whole home included.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      NewestReport(path, best, best_time);
    } else if (name.size() > 3 && _wcsicmp(name.c_str() + name.size() - 3, L".vl") == 0 &&
               CompareFileTime(&data.ftLastWriteTime, &best_time) > 0) {
      best = path;
      best_time = data.ftLastWriteTime;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

// The newest report under the options' default report folder, which lies
// under the vendor's folder in %APPDATA%.
std::wstring NewestReport(FILETIME& time) {
  wchar_t appdata[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"APPDATA", appdata, MAX_PATH);
  std::wstring report;
  time = FILETIME{};
  if (n > 0 && n < MAX_PATH) NewestReport(std::wstring(appdata) + L"\\Tessaro s.a.s", report, time);
  return report;
}

// Runs the crashing copy and shows what the library left behind.
int ShowCrash(const std::wstring& dll_path, bool on_thread, bool throw_mode) {
  FILETIME before{};
  (void)NewestReport(before);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" \"" + dll_path + L"\" --crash-child";
  if (on_thread) command += L" --on-thread";
  if (throw_mode) command += L" --throw";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "cannot start the crashing copy (error %lu)\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::printf("\nthe crashing copy ended with exit code %08lX\n", code);

  FILETIME newest{};
  const std::wstring report = NewestReport(newest);
  if (report.empty() || CompareFileTime(&newest, &before) <= 0) {
    // A thread the options do not watch is left to the system.
    std::printf("it wrote no new bug report under %%APPDATA%%\\Tessaro s.a.s\n");
    return code == 0xC0000005 ? 0 : 1;
  }
  std::printf("its bug report went to %ls\n\n", report.c_str());
  HANDLE file = CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::vector<char> bytes(1 << 20);
  DWORD got = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  // The file is UTF-16LE after its byte-order mark. Every report begins
  // with the same first line and the newest is the last: show its start.
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), got / 2);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  const std::wstring header = text.substr(0, text.find(L"\r\n"));
  std::size_t start = header.empty() ? 0 : text.rfind(header);
  if (start == std::wstring::npos) start = 0;
  int lines = 0;
  for (std::size_t i = start; i < text.size() && lines < 40; ++i) {
    if (text[i] == L'\r') continue;
    std::putchar(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    if (text[i] == L'\n') ++lines;
  }
  std::printf("...\n");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring path = argc > 1 ? argv[1] : L"_zelvic.dll";
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;  // a path of the build machine under Wine
  bool all = false, crash = false, crash_child = false, on_thread = false, throw_mode = false;
  for (int i = 2; i < argc; ++i) {
    all = all || std::wcscmp(argv[i], L"--all") == 0;
    crash = crash || std::wcscmp(argv[i], L"--crash") == 0;
    crash_child = crash_child || std::wcscmp(argv[i], L"--crash-child") == 0;
    on_thread = on_thread || std::wcscmp(argv[i], L"--on-thread") == 0;
    throw_mode = throw_mode || std::wcscmp(argv[i], L"--throw") == 0;
  }
  if (crash) return ShowCrash(path, on_thread, throw_mode);

  HMODULE lib = LoadLibraryW(path.c_str());
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot load %ls (error %lu)\n", path.c_str(), GetLastError());
    return 1;
  }
  Script script(lib);
  g_library = lib;
  if (crash_child) return CrashChild(script, on_thread, throw_mode);
  PlayBars(script);
  if (all) PrintAll(script);
  FreeLibrary(lib);
  if (script.failures() != 0) {
    std::fprintf(stderr, "%d export calls failed\n", script.failures());
    return 1;
  }
  return 0;
}
