#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "child_scenarios.h"
#include "fragments/result_buffers.h"
#include "fragments/runtime_helpers.h"
#include "runtime/format_settings.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

std::wstring g_dll_path;

std::mutex g_debug_mutex;
std::vector<std::string> g_debug_lines;
int g_recorders = 0;

constexpr DWORD kDbgPrint = 0x40010006;
constexpr DWORD kDbgPrintWide = 0x4001000A;

LONG CALLBACK RecordDebugOutput(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if ((r->ExceptionCode != kDbgPrint && r->ExceptionCode != kDbgPrintWide) || r->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  std::string line;
  if (r->ExceptionCode == kDbgPrint) {
    line.assign(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
  } else {
    for (auto w = reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]); *w; ++w) line.push_back(static_cast<char>(*w));
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(g_debug_mutex);
  g_debug_lines.push_back(line);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

const std::wstring& DllPath() { return g_dll_path; }

std::wstring WatchAllDllPath() {
  const std::size_t slash = g_dll_path.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"" : g_dll_path.substr(0, slash + 1);
  return folder + L"watch-all\\_zelvic.dll";
}

namespace {
std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(c < 128 ? static_cast<char>(c) : '?');
  return s;
}
}  // namespace

Event::Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
Event::~Event() { CloseHandle(handle_); }
void Event::Set() { SetEvent(handle_); }
bool Event::WaitFor(std::uint32_t ms) const { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

LoadedLibrary::LoadedLibrary(const std::wstring& path) {
  if (path.empty()) {
    error_ = "no library named: pass the path of the built _zelvic.dll as the program's argument";
    return;
  }
  module_ = LoadLibraryW(path.c_str());
  if (module_ == nullptr) {
    const DWORD code = GetLastError();
    error_ = "cannot load " + Narrow(path) + " (error " + std::to_string(code) + ")";
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) error_ += ": the file does not exist";
  }
}

LoadedLibrary::~LoadedLibrary() {
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
}

const void* LoadedLibrary::Proc(const char* name) const {
  if (module_ == nullptr) return nullptr;
  return reinterpret_cast<const void*>(GetProcAddress(static_cast<HMODULE>(module_), name));
}

std::vector<std::uint8_t> ReadLibraryOptionsText() {
  // The tests' __FILE__ is their absolute path on the build machine, which
  // Wine reaches through the drive for "/".
  std::string path = __FILE__;
  path = path.substr(0, path.find_last_of("/\\")) + "/../src/diagnostics/config/zelvic_options.txt";
  std::wstring wide(path.begin(), path.end());
  if (!wide.empty() && wide[0] == L'/') wide = L"Z:" + wide;
  std::vector<std::uint8_t> bytes;
  if (std::FILE* f = _wfopen(wide.c_str(), L"rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
  }
  return bytes;
}

std::wstring SelfPath() {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  return std::wstring(buf, n);
}

DebugOutputRecorder::DebugOutputRecorder() {
  std::lock_guard<std::mutex> lock(g_debug_mutex);
  g_debug_lines.clear();
  ++g_recorders;
  handler_ = AddVectoredExceptionHandler(1, RecordDebugOutput);
}

DebugOutputRecorder::~DebugOutputRecorder() {
  RemoveVectoredExceptionHandler(handler_);
  std::lock_guard<std::mutex> lock(g_debug_mutex);
  --g_recorders;
}

std::vector<std::string> DebugOutputRecorder::Lines() const {
  std::lock_guard<std::mutex> lock(g_debug_mutex);
  return g_debug_lines;
}

std::uint32_t RunChild(const std::wstring& args, std::string& output) {
  // The desktop first, from here: under Wine the process that first needs
  // it starts the desktop process, which would inherit the child's output
  // pipe and keep it open, so that reading the output never ended.
  GetDesktopWindow();
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &sa, 0)) return 0xFFFFFFFF;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write_end;
  si.hStdError = write_end;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + SelfPath() + L"\" " + args;
  // A child that runs tests needs the library as much as this run does.
  if (!g_dll_path.empty()) cmd += L" \"" + g_dll_path + L"\"";
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(read_end);
    CloseHandle(write_end);
    return 0xFFFFFFFF;
  }
  CloseHandle(write_end);
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buf, sizeof buf, &got, nullptr) && got > 0) output.append(buf, got);
  CloseHandle(read_end);
  WaitForSingleObject(pi.hProcess, 30000);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

// The tests of the real exports and of the library's own data need the built
// library: without it the run fails once, saying so, instead of letting those
// tests vanish.
class BuiltLibraryPresent : public testing::Environment {
 public:
  void SetUp() override {
    if (g_dll_path.empty()) {
      ADD_FAILURE() << "no library named: run the program with the path of the built _zelvic.dll";
    } else if (GetFileAttributesW(g_dll_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      ADD_FAILURE() << "the built library " << Narrow(g_dll_path) << " does not exist: build it first";
    }
  }
};

}  // namespace zelvic::test

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"--child") == 0) return zelvic::test::RunChildScenario(argv[i + 1]);
  }
  // The helpers are linked into this program too: give them the state the
  // library's start-up gives them.
  static const zelvic::rt::TFormatSettings en_us = zelvic::rt::FormatSettingsForLocale(L"en-US");
  zelvic::rt::InitDefaultFormatSettings();
  zelvic::fragments::EnUsFormatSettings = &en_us;
  zelvic::fragments::ModuloRoutine = zelvic::fragments::FloatModulo;
  zelvic::fragments::StartResultBuffers();

  std::vector<std::string> narrow;
  for (int i = 0; i < argc; ++i) {
    std::string s;
    for (const wchar_t* w = argv[i]; *w; ++w) s.push_back(static_cast<char>(*w));
    narrow.push_back(s);
  }
  std::vector<char*> args;
  for (auto& s : narrow) args.push_back(s.data());
  int n = static_cast<int>(args.size());
  testing::InitGoogleTest(&n, args.data());
  for (int i = 1; i < n; ++i) {
    std::wstring path;
    for (const char* c = args[i]; *c; ++c) path.push_back(static_cast<unsigned char>(*c));
    // A path of the build machine: reach it through Wine's drive for "/".
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    zelvic::test::g_dll_path = path;
  }
  // GoogleTest owns its environments.
  testing::AddGlobalTestEnvironment(std::make_unique<zelvic::test::BuiltLibraryPresent>().release());
  return RUN_ALL_TESTS();
}
