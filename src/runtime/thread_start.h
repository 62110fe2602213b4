// The runtime's thread start: plain threads (BeginThread), thread objects
// (TThread with its Execute) and anonymous threads. Every thread started here
// holds a reference on the module that holds this code and ends with
// FreeLibraryAndExitThread, so a thread still running after the host's
// FreeLibrary keeps the code under it until it has returned from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace zelvic::rt {

// A thread routine; what it returns is the thread's exit code.
using TThreadFunc = std::uint32_t (*)(void* parameter);

// What a new thread will run. The parameter hook may replace both before the
// thread is made: the threads manager puts its own start wrapper and start
// block there, keeping the routine and parameter it was given in the block.
struct TThreadStart {
  TThreadFunc Func = nullptr;
  void* Parameter = nullptr;
  // Set by a hook that put a block of its own in Parameter: called with it
  // when no thread could be made, so that the block does not leak.
  void (*Discard)(void* parameter) = nullptr;
};
using TThreadParameterHook = void (*)(TThreadStart& start, std::wstring_view name);
// Empty until the threads manager starts; called on the creating thread.
extern TThreadParameterHook ThreadParameterHook;

struct TBeginThreadOptions {
  std::uint32_t StackSize = 0;  // 0: the image's default
  bool Suspended = false;
};

// Runs func(parameter) on a new thread. Returns its handle, which the caller
// closes, and its ID; nullptr with the platform's last error when no thread
// could be made (the module reference is then given back).
void* BeginThread(TThreadFunc func, void* parameter, std::uint32_t& thread_id, std::wstring_view name = {},
                  TBeginThreadOptions options = {});

// The routine BeginThread hands to the platform's thread creation: a thread
// whose start address is this one was started by this runtime.
const void* ThreadStartRoutine() noexcept;

// A thread object: the thread is made suspended with the object and runs
// Execute once started. Destroying an object whose thread was never started
// lets the thread end without Execute; destroying a running one asks it to
// terminate and waits for it.
class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  void Start() noexcept;
  // Sets the flag that Execute is expected to poll; stops nothing by itself.
  void Terminate() noexcept { terminated_ = true; }
  // Waits for the thread's end; its exit code (the return value).
  std::uint32_t WaitFor() noexcept;

  bool Terminated() const noexcept { return terminated_; }
  bool Finished() const noexcept { return finished_; }
  std::uint32_t ThreadID() const noexcept { return thread_id_; }
  void* Handle() const noexcept { return handle_; }
  const std::wstring& Name() const noexcept { return name_; }
  // An object that frees itself must not be touched once started.
  void SetFreeOnTerminate(bool value) noexcept { free_on_terminate_ = value; }
  // What escaped Execute, if anything; the thread's exit code is then 1.
  const std::exception_ptr& FatalException() const noexcept { return fatal_exception_; }

  // A suspended thread object that runs `proc` and frees itself; it runs once
  // Start is called on it.
  static TThread* CreateAnonymousThread(std::function<void()> proc, std::wstring_view name = {});

  // The routine every thread object's thread is begun with (its parameter is
  // the object): how a parameter hook tells a thread object's start.
  static const void* ObjectRoutine() noexcept { return reinterpret_cast<const void*>(&ThreadProc); }

  // The code that asked for an anonymous thread (the return address of its
  // CreateAnonymousThread call); null for other objects, whose creator the
  // parameter hook reads from the stack. Set before the thread is begun.
  const void* AnonymousCaller() const noexcept { return anonymous_caller_; }

 protected:
  // `name` goes to the parameter hook with the thread's start.
  explicit TThread(std::wstring_view name = {}, const void* anonymous_caller = nullptr);
  virtual void Execute() = 0;
  void SetReturnValue(std::uint32_t value) noexcept { return_value_ = value; }

 private:
  static std::uint32_t ThreadProc(void* self);

  void* handle_ = nullptr;
  std::uint32_t thread_id_ = 0;
  std::wstring name_;
  const void* anonymous_caller_ = nullptr;
  std::exception_ptr fatal_exception_;
  std::uint32_t return_value_ = 0;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  bool free_on_terminate_ = false;
};

}  // namespace zelvic::rt
