// Shared helpers of the test program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "slot_call.h"

namespace zelvic::test {

// Path of the built _zelvic.dll, from the command line.
const std::wstring& DllPath();
// The same library built with options that watch every thread
// (DefaultThreadState=1), beside it in "watch-all".
std::wstring WatchAllDllPath();
// Loads a library for the life of the object; error() says why it could not.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::wstring& path);
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  bool ok() const { return module_ != nullptr; }
  void* get() const { return module_; }
  const void* Proc(const char* name) const;
  const std::string& error() const { return error_; }

 private:
  void* module_ = nullptr;
  std::string error_;
};

// A manual-reset event for handshakes between a test and its threads: one
// side sets it once it has reached a point, the other waits for that.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  // True once set; false when `ms` milliseconds pass first.
  bool WaitFor(std::uint32_t ms) const;

 private:
  void* handle_;
};

// How long a handshake waits before it counts as a deadlock. Only a hung
// thread gets anywhere near it.
inline constexpr std::uint32_t kDeadlockMs = 20000;
// How long a test lets a thread that should now be blocked run on before it
// releases the lock. No check depends on it: a thread records, whenever it
// gets in, whether the lock was released yet; this only gives a lock that lets
// it in too early the time to do so.
inline constexpr std::uint32_t kBlockedGraceMs = 100;

// Path of this test program.
std::wstring SelfPath();
// The checked-in options text of the library (src/diagnostics/config), read
// from the source tree; empty when it cannot be read.
std::vector<std::uint8_t> ReadLibraryOptionsText();

// Runs this program again with `args` and the library's path, capturing
// standard output; returns the exit code.
std::uint32_t RunChild(const std::wstring& args, std::string& output);

// Collects the debugger-output lines the process sends while it lives.
class DebugOutputRecorder {
 public:
  DebugOutputRecorder();
  ~DebugOutputRecorder();
  DebugOutputRecorder(const DebugOutputRecorder&) = delete;
  DebugOutputRecorder& operator=(const DebugOutputRecorder&) = delete;
  std::vector<std::string> Lines() const;

 private:
  void* handler_;
};

using CallResult = SlotCallResult;

}  // namespace zelvic::test
