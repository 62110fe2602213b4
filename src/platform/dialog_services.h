// What the dialog framework asks of the platform around a dialog: the owner
// window's state, the component model, waiting for a thread while serving
// sent messages, the work folder, the clipboard, the shell, restarting the
// process, and the memory dump. user32, shell32, ole32 and dbghelp are
// looked up when first needed, never imported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvic::platform {

// A window that may own a dialog: it exists, is visible and its thread
// answers messages (not hung).
bool IsUsableOwnerWindow(std::uintptr_t window) noexcept;

// Keeps ole32 loaded from the first dialog until the dialogs stop: loaded and
// unloaded around every dialog in a host that has not loaded it, it changes
// the module list under every later call stack and report.
void HoldComLibrary() noexcept;
void ReleaseComLibrary() noexcept;

// CoInitializeEx for the calling thread; CoUninitialize at the end only when
// this call initialised it (S_OK).
class TComScope {
 public:
  TComScope() noexcept;
  ~TComScope();
  TComScope(const TComScope&) = delete;
  TComScope& operator=(const TComScope&) = delete;
  bool Initialised() const noexcept { return initialised_; }

 private:
  bool initialised_ = false;
  void* ole32_ = nullptr;
};

// Waits for a thread's end; messages sent to the calling thread's windows
// by other threads meanwhile are served, so a dialog thread that sends to a
// window of this thread never deadlocks. Posted messages stay queued.
void WaitServingSentMessages(void* thread) noexcept;

std::uint32_t LastError() noexcept;

void Beep() noexcept;
// Puts the text on the clipboard as Unicode text with the user's locale,
// and `file` (when not empty) as a dropped file; false when the clipboard
// could not be opened.
bool CopyToClipboard(const std::wstring& text, const std::wstring& file);
// Opens an address with the shell (SW_SHOWDEFAULT); 0 or the error code.
std::uint32_t OpenAddress(const std::wstring& address);

// A new GUID as "{...}" text; empty when none can be made.
std::wstring NewGuidText();
bool CreateFolder(const std::wstring& path) noexcept;
bool MoveFileTo(const std::wstring& from, const std::wstring& to) noexcept;
// Deletes a folder with everything in it.
void DeleteFolderTree(const std::wstring& path) noexcept;
std::wstring CurrentFolder();
void SetCurrentFolder(const std::wstring& path) noexcept;
std::uintptr_t ForegroundWindow() noexcept;
void BringToForeground(std::uintptr_t window) noexcept;

// The environment of this process (read and write).
std::wstring EnvironmentVariable(const std::wstring& name);
bool SetProcessEnvironmentVariable(const std::wstring& name, const std::wstring& value) noexcept;
// Coordinated universal time as 100 ns units since 1601.
std::uint64_t SystemTimeNow() noexcept;

// Starts the process's executable again with the command line it was given,
// in `start_folder`, no inheritance, a new process group, this process's
// start-up information. 0 on success, else the system's error code.
std::uint32_t StartSelfAgain(const std::wstring& start_folder);

// Writes a memory dump of this process into `file` (dbghelp from the system
// folder). `exception_pointers` may be null; `thread_id` is the thread that
// raised it. False when dbghelp is missing or the call failed (the file is
// then deleted).
bool WriteMemoryDump(const std::wstring& file, std::uint32_t thread_id, const void* exception_pointers,
                     std::uint32_t dump_type);

}  // namespace zelvic::platform
