#include "platform/dialog_services.h"

#include <windows.h>
#include <dbghelp.h>
#include <objbase.h>
#include <shlobj.h>

#include <atomic>
#include <cstring>

#include "platform/dynamic_library.h"
#include "platform/module_loads.h"

namespace zelvic::platform {
namespace {

// A look-up per call: a process-wide object would free its library from the
// static destructors, after the loader has begun taking the process apart.
void* User32Proc(const char* name) noexcept { return TLibrary(L"user32.dll").FindProc(name); }

template <typename F>
F User32Find(const char* name) noexcept {
  return reinterpret_cast<F>(User32Proc(name));
}

// How long an owner's thread has to answer before it counts as not
// answering.
constexpr UINT kOwnerAnswerMs = 500;

}  // namespace

bool IsUsableOwnerWindow(std::uintptr_t window) noexcept {
  if (window == 0) return false;
  const auto is_window = User32Find<BOOL(WINAPI*)(HWND)>("IsWindow");
  const auto is_visible = User32Find<BOOL(WINAPI*)(HWND)>("IsWindowVisible");
  const auto send = User32Find<LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR)>(
      "SendMessageTimeoutW");
  const HWND hwnd = reinterpret_cast<HWND>(window);
  if (is_window == nullptr || is_visible == nullptr || send == nullptr || !is_window(hwnd) || !is_visible(hwnd)) {
    return false;
  }
  // The owner's thread must answer now: a box disables its owner with a
  // message sent to that thread, and a thread held a moment ago is not yet
  // "hung" to the system (that takes seconds without a message read).
  DWORD_PTR answer = 0;
  return send(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, kOwnerAnswerMs, &answer) != 0;
}

namespace {
std::atomic<HMODULE> g_held_ole32{nullptr};
}  // namespace

void HoldComLibrary() noexcept {
  if (g_held_ole32.load() != nullptr) return;
  HMODULE ole32 = LoadSystemModule(L"ole32.dll");
  HMODULE none = nullptr;
  if (ole32 != nullptr && !g_held_ole32.compare_exchange_strong(none, ole32)) FreeLibrary(ole32);
}

void ReleaseComLibrary() noexcept {
  if (HMODULE ole32 = g_held_ole32.exchange(nullptr)) FreeLibrary(ole32);
}

TComScope::TComScope() noexcept {
  // ole32 stays loaded for as long as the thread is initialised.
  HMODULE ole32 = LoadSystemModule(L"ole32.dll");
  if (ole32 == nullptr) return;
  const auto init =
      reinterpret_cast<HRESULT(WINAPI*)(void*, DWORD)>(reinterpret_cast<void*>(GetProcAddress(ole32, "CoInitializeEx")));
  initialised_ = init != nullptr && init(nullptr, COINIT_APARTMENTTHREADED) == S_OK;
  if (initialised_) {
    ole32_ = ole32;
  } else {
    FreeLibrary(ole32);
  }
}

TComScope::~TComScope() {
  if (ole32_ == nullptr) return;
  const auto done = reinterpret_cast<void(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(ole32_), "CoUninitialize")));
  if (done != nullptr) done();
  FreeLibrary(static_cast<HMODULE>(ole32_));
}

void WaitServingSentMessages(void* thread) noexcept {
  const auto wait = User32Find<DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD, DWORD)>("MsgWaitForMultipleObjects");
  const auto peek = User32Find<BOOL(WINAPI*)(MSG*, HWND, UINT, UINT, UINT)>("PeekMessageW");
  if (wait == nullptr || peek == nullptr) {
    WaitForSingleObject(thread, INFINITE);
    return;
  }
  const HANDLE handles[1] = {thread};
  for (;;) {
    const DWORD result = wait(1, handles, FALSE, INFINITE, QS_SENDMESSAGE);
    if (result != WAIT_OBJECT_0 + 1) break;
    // A look that removes nothing still delivers the messages sent to
    // this thread.
    MSG msg;
    peek(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

std::uint32_t LastError() noexcept { return GetLastError(); }

void Beep() noexcept {
  if (const auto beep = User32Find<BOOL(WINAPI*)(UINT)>("MessageBeep")) beep(MB_ICONHAND);
}

namespace {

HGLOBAL GlobalCopy(const void* data, std::size_t size) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (block == nullptr) return nullptr;
  void* target = GlobalLock(block);
  if (target == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  std::memcpy(target, data, size);
  GlobalUnlock(block);
  return block;
}

}  // namespace

bool CopyToClipboard(const std::wstring& text, const std::wstring& file) {
  const auto open = User32Find<BOOL(WINAPI*)(HWND)>("OpenClipboard");
  const auto empty = User32Find<BOOL(WINAPI*)()>("EmptyClipboard");
  const auto set = User32Find<HANDLE(WINAPI*)(UINT, HANDLE)>("SetClipboardData");
  const auto close = User32Find<BOOL(WINAPI*)()>("CloseClipboard");
  if (open == nullptr || empty == nullptr || set == nullptr || close == nullptr || !open(nullptr)) return false;
  empty();
  // The clipboard owns what it accepts; what it refuses is ours to free.
  const auto put = [set](UINT format, HGLOBAL block) {
    if (block != nullptr && set(format, block) == nullptr) GlobalFree(block);
  };
  put(CF_UNICODETEXT, GlobalCopy(text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
  const LCID locale = GetUserDefaultLCID();
  put(CF_LOCALE, GlobalCopy(&locale, sizeof locale));
  if (!file.empty()) {
    std::vector<std::uint8_t> drop(sizeof(DROPFILES) + (file.size() + 2) * sizeof(wchar_t), 0);
    auto* header = reinterpret_cast<DROPFILES*>(drop.data());
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    std::memcpy(drop.data() + sizeof(DROPFILES), file.c_str(), file.size() * sizeof(wchar_t));
    put(CF_HDROP, GlobalCopy(drop.data(), drop.size()));
  }
  close();
  return true;
}

std::uint32_t OpenAddress(const std::wstring& address) {
  const TLibrary shell32(L"shell32.dll");
  const auto open =
      shell32.Find<HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT)>("ShellExecuteW");
  if (open == nullptr) return ERROR_PROC_NOT_FOUND;
  const auto result = reinterpret_cast<std::intptr_t>(open(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWDEFAULT));
  // ShellExecuteW answers a number above 32 on success, else an error.
  return result > 32 ? 0 : static_cast<std::uint32_t>(result == 0 ? ERROR_OUTOFMEMORY : result);
}

std::wstring NewGuidText() {
  const TLibrary ole32(L"ole32.dll");
  const auto create = ole32.Find<HRESULT(WINAPI*)(GUID*)>("CoCreateGuid");
  GUID guid{};
  if (create == nullptr || create(&guid) != S_OK) return {};
  wchar_t text[40];
  swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2, guid.Data3,
           guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
           guid.Data4[7]);
  return text;
}

bool CreateFolder(const std::wstring& path) noexcept {
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool MoveFileTo(const std::wstring& from, const std::wstring& to) noexcept {
  return MoveFileW(from.c_str(), to.c_str()) != 0;
}

void DeleteFolderTree(const std::wstring& path) noexcept {
  if (path.empty()) return;
  std::wstring folder = path;
  if (folder.back() != L'\\') folder += L'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteFolderTree(folder + name);
      } else {
        SetFileAttributesW((folder + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((folder + name).c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

std::wstring CurrentFolder() {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return {};
  std::wstring out(n, L'\0');
  const DWORD got = GetCurrentDirectoryW(n, out.data());
  out.resize(got < n ? got : 0);
  return out;
}

void SetCurrentFolder(const std::wstring& path) noexcept {
  if (!path.empty()) SetCurrentDirectoryW(path.c_str());
}

std::uintptr_t ForegroundWindow() noexcept {
  const auto get = User32Find<HWND(WINAPI*)()>("GetForegroundWindow");
  return get != nullptr ? reinterpret_cast<std::uintptr_t>(get()) : 0;
}

void BringToForeground(std::uintptr_t window) noexcept {
  const auto set = User32Find<BOOL(WINAPI*)(HWND)>("SetForegroundWindow");
  if (set != nullptr && window != 0) set(reinterpret_cast<HWND>(window));
}

std::wstring EnvironmentVariable(const std::wstring& name) {
  const DWORD n = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (n == 0) return {};
  std::wstring out(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(name.c_str(), out.data(), n);
  out.resize(got < n ? got : 0);
  return out;
}

bool SetProcessEnvironmentVariable(const std::wstring& name, const std::wstring& value) noexcept {
  return SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str()) != 0;
}

std::uint64_t SystemTimeNow() noexcept {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::uint32_t StartSelfAgain(const std::wstring& start_folder) {
  wchar_t exe[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH * 4);
  if (n == 0 || n >= MAX_PATH * 4) return GetLastError() != 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
  // CreateProcessW may write into its command line: it gets a copy.
  const wchar_t* command = GetCommandLineW();
  std::vector<wchar_t> line(command, command + wcslen(command) + 1);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exe, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr,
                      start_folder.empty() ? nullptr : start_folder.c_str(), &startup, &info)) {
    return GetLastError();
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 0;
}

bool WriteMemoryDump(const std::wstring& file, std::uint32_t thread_id, const void* exception_pointers,
                     std::uint32_t dump_type) {
  // From the system folder only: a dbghelp.dll next to the host is not
  // the system's and must not be loaded by a crashing process.
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  const std::wstring path = std::wstring(system) + L"\\dbghelp.dll";
  HMODULE dbghelp = LoadSystemModule(path.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
  if (dbghelp == nullptr) return false;
  using TWriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                   PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
  const auto write = reinterpret_cast<TWriteDump>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  bool ok = false;
  if (write != nullptr) {
    HANDLE out = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      MINIDUMP_EXCEPTION_INFORMATION exception{};
      exception.ThreadId = thread_id;
      exception.ExceptionPointers = static_cast<PEXCEPTION_POINTERS>(const_cast<void*>(exception_pointers));
      exception.ClientPointers = FALSE;
      ok = write(GetCurrentProcess(), GetCurrentProcessId(), out, static_cast<MINIDUMP_TYPE>(dump_type),
                 exception_pointers != nullptr ? &exception : nullptr, nullptr, nullptr) != 0;
      CloseHandle(out);
      if (!ok) DeleteFileW(file.c_str());
    }
  }
  FreeLibrary(dbghelp);
  return ok;
}

}  // namespace zelvic::platform
