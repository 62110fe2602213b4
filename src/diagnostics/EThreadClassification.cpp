#include "diagnostics/EThreadClassification.h"

#include <atomic>
#include <memory>
#include <vector>

#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "platform/file_stream.h"
#include "platform/thread_control.h"
#include "runtime/thread_start.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kWaitMs = 200;
constexpr std::size_t kOutermost = 5;

std::atomic<std::uint32_t> g_routine_site{0}, g_routine_return{0};
std::atomic<std::uint32_t> g_execute_site{0}, g_execute_return{0};

// What a helper thread hands back: the return address one frame above the
// routine the helper runs. Shared, because a helper that is late is not
// waited for and must find its block still there.
struct TSiteSearch {
  std::atomic<std::uint32_t> Return{0};
  std::atomic<bool> Done{false};
};

// The call instruction a return address comes back from: at most 16 bytes
// before it, by the call-before test's forms.
TCallSite CallBefore(std::uint32_t return_address) noexcept {
  std::uint32_t length = 0;
  if (return_address == 0 || !IsCallBefore(return_address, PageCacheProbe, length) || length == 0 || length > 16) {
    return {};
  }
  return {return_address - length, return_address};
}

bool WaitForSearch(const TSiteSearch& search) noexcept {
  for (std::uint32_t waited = 0; !search.Done.load() && waited < kWaitMs; ++waited) platform::SleepMs(1);
  return search.Done.load();
}

using TSharedSearch = std::shared_ptr<TSiteSearch>;

__attribute__((noinline)) std::uint32_t NoteRoutineCaller(void* parameter) {
  const std::unique_ptr<TSharedSearch> search(static_cast<TSharedSearch*>(parameter));
  (*search)->Return = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  (*search)->Done = true;
  return 0;
}

class TSiteThread final : public rt::TThread {
 public:
  explicit TSiteThread(std::shared_ptr<TSiteSearch> search) : search_(std::move(search)) { SetFreeOnTerminate(true); }

 protected:
  __attribute__((noinline)) void Execute() override {
    search_->Return = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    search_->Done = true;
  }

 private:
  std::shared_ptr<TSiteSearch> search_;
};

// The helpers are started as the runtime starts any thread, but with the
// creation marked busy: the threads manager's wrappers stay out, so the
// call sites found are the runtime's own.
class TBusyCreation {
 public:
  TBusyCreation() noexcept : was_(ThreadCreateBusy()) { SetThreadCreateBusy(true); }
  ~TBusyCreation() { SetThreadCreateBusy(was_); }
  TBusyCreation(const TBusyCreation&) = delete;
  TBusyCreation& operator=(const TBusyCreation&) = delete;

 private:
  bool was_;
};

TCallSite FindRoutineSite() {
  auto search = std::make_shared<TSiteSearch>();
  auto handed = std::make_unique<TSharedSearch>(search);
  std::uint32_t id = 0;
  void* thread = nullptr;
  {
    TBusyCreation busy;
    thread = rt::BeginThread(NoteRoutineCaller, handed.get(), id);
  }
  if (thread == nullptr) return {};
  (void)handed.release();  // the helper's now
  platform::CloseThreadHandle(thread);
  return WaitForSearch(*search) ? CallBefore(search->Return) : TCallSite{};
}

TCallSite FindExecuteSite() {
  auto search = std::make_shared<TSiteSearch>();
  std::unique_ptr<TSiteThread> thread;
  {
    TBusyCreation busy;
    thread = std::make_unique<TSiteThread>(search);
  }
  // Frees itself when done; one that is late is left to finish alone.
  thread.release()->Start();
  return WaitForSearch(*search) ? CallBefore(search->Return) : TCallSite{};
}

bool SearchAllowed() noexcept {
  return rt::IsInitializing == 0 && rt::IsFinalizing == 0 && !platform::LoaderLockHeldByThisThread();
}

}  // namespace

int ClassifyStack(std::span<const std::uint32_t> addresses, const TThreadStartSites& sites) noexcept {
  if (!sites.Routine.Known()) return 1;
  const std::size_t n = addresses.size();
  const std::size_t first = n > kOutermost ? n - kOutermost : 0;
  for (std::size_t i = n; i-- > first;) {
    if (!sites.Routine.Matches(addresses[i])) continue;
    for (std::size_t k = i; k-- > first;) {
      if (sites.Execute.Matches(addresses[k])) return 3;
    }
    return 2;
  }
  return 1;
}

TThreadStartSites ThreadStartSites() {
  TThreadStartSites sites{{g_routine_site.load(), g_routine_return.load()},
                          {g_execute_site.load(), g_execute_return.load()}};
  if (!sites.Routine.Known() && SearchAllowed()) {
    sites.Routine = FindRoutineSite();
    g_routine_return = sites.Routine.Return;
    g_routine_site = sites.Routine.Address;
  }
  if (sites.Routine.Known() && !sites.Execute.Known() && SearchAllowed()) {
    sites.Execute = FindExecuteSite();
    g_execute_return = sites.Execute.Return;
    g_execute_site = sites.Execute.Address;
  }
  return sites;
}

void ForgetThreadStartSites() noexcept {
  g_routine_site = g_routine_return = 0;
  g_execute_site = g_execute_return = 0;
}

int ClassifyCallingThread() {
  try {
    const TThreadStartSites sites = ThreadStartSites();
    std::unique_ptr<TVarnelBaseStackList> stack = GetCurrentCallStack(0);
    if (!stack) return 0;
    std::vector<std::uint32_t> addresses;
    addresses.reserve(static_cast<std::size_t>(stack->Count()));
    for (int i = 0; i < stack->Count(); ++i) {
      addresses.push_back(static_cast<std::uint32_t>(stack->Item(i).Location.Address));
    }
    return ClassifyStack(addresses, sites);
  } catch (...) {
    // No memory, no helper thread: the kind stays unknown and is asked
    // again for the next thread.
    return 0;
  }
}

}  // namespace zelvic::diag
