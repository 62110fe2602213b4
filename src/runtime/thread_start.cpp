#include "runtime/thread_start.h"

#include <windows.h>

#include <utility>

#include "runtime/exceptions.h"

namespace zelvic::rt {

TThreadParameterHook ThreadParameterHook = nullptr;

namespace {

struct TStartBlock {
  TThreadFunc Func;
  void* Parameter;
  HMODULE Module;
};

DWORD WINAPI ThreadWrapper(void* block) {
  const TStartBlock start = *static_cast<TStartBlock*>(block);
  delete static_cast<TStartBlock*>(block);
  std::uint32_t code = 1;
  // Nothing may unwind into the system's thread-start frames: a routine
  // that fails ends its thread with exit code 1.
  try {
    code = start.Func(start.Parameter);
  } catch (...) {
  }
  // Returning would run the caller's code in this module after the
  // reference is gone; this call drops it and never comes back here.
  FreeLibraryAndExitThread(start.Module, code);
}

}  // namespace

const void* ThreadStartRoutine() noexcept { return reinterpret_cast<const void*>(&ThreadWrapper); }

void* BeginThread(TThreadFunc func, void* parameter, std::uint32_t& thread_id, std::wstring_view name,
                  TBeginThreadOptions options) {
  TThreadStart start{func, parameter};
  if (ThreadParameterHook != nullptr) ThreadParameterHook(start, name);
  // The reference is taken by the creator, before the thread exists: a
  // FreeLibrary between CreateThread and the thread's first instruction
  // must not unmap the wrapper.
  // The block first: a failed allocation then leaves no reference behind.
  TStartBlock* block = nullptr;
  try {
    block = new TStartBlock{start.Func, start.Parameter, nullptr};
  } catch (...) {
    if (start.Discard != nullptr) start.Discard(start.Parameter);
    throw;
  }
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadWrapper),
                          &block->Module)) {
    const DWORD error = GetLastError();
    delete block;
    if (start.Discard != nullptr) start.Discard(start.Parameter);
    SetLastError(error);
    return nullptr;
  }
  HMODULE module = block->Module;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, options.StackSize, ThreadWrapper, block,
                               options.Suspended ? CREATE_SUSPENDED : 0, &id);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    delete block;
    FreeLibrary(module);
    if (start.Discard != nullptr) start.Discard(start.Parameter);
    SetLastError(error);
    return nullptr;
  }
  thread_id = id;
  return thread;
}

TThread::TThread(std::wstring_view name, const void* anonymous_caller)
    : name_(name), anonymous_caller_(anonymous_caller) {
  handle_ = BeginThread(ThreadProc, this, thread_id_, name_, {0, true});
  if (handle_ == nullptr) {
    throw Exception(L"Thread creation error: system error " + std::to_wstring(GetLastError()));
  }
}

TThread::~TThread() {
  if (handle_ == nullptr) return;
  if (!finished_ && GetCurrentThreadId() != thread_id_) {
    Terminate();
    // A thread never started is let go so that it ends (without Execute)
    // and gives its module reference back. It must not free this object:
    // this destructor is already doing so.
    free_on_terminate_ = false;
    if (!started_) Start();
    WaitForSingleObject(handle_, INFINITE);
  }
  CloseHandle(handle_);
}

void TThread::Start() noexcept {
  if (started_.exchange(true)) return;
  ResumeThread(handle_);
}

std::uint32_t TThread::WaitFor() noexcept {
  WaitForSingleObject(handle_, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(handle_, &code);
  return code;
}

std::uint32_t TThread::ThreadProc(void* self) {
  auto* thread = static_cast<TThread*>(self);
  std::uint32_t code = 0;
  if (!thread->terminated_) {
    try {
      thread->Execute();
      code = thread->return_value_;
    } catch (...) {
      thread->fatal_exception_ = std::current_exception();
      code = 1;
    }
  }
  const bool free_it = thread->free_on_terminate_;
  thread->finished_ = true;
  if (free_it) delete thread;
  return code;
}

namespace {

class TAnonymousThread final : public TThread {
 public:
  TAnonymousThread(std::function<void()> proc, std::wstring_view name, const void* caller)
      : TThread(name, caller), proc_(std::move(proc)) {
    SetFreeOnTerminate(true);
  }

 protected:
  void Execute() override { proc_(); }

 private:
  std::function<void()> proc_;
};

}  // namespace

// Not inlined: its return address is the caller the thread is credited to.
__attribute__((noinline)) TThread* TThread::CreateAnonymousThread(std::function<void()> proc,
                                                                  std::wstring_view name) {
  return new TAnonymousThread(std::move(proc), name, __builtin_return_address(0));
}

}  // namespace zelvic::rt
