#include "diagnostics/threads/EThreadsManager.h"

#include <atomic>
#include <memory>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "platform/threads.h"
#include "runtime/thread_storage.h"

namespace zelvic::diag {
namespace {

// ------------------------------------------------------------ thread blocks --

enum : std::uint32_t { kStateUndecided = 0, kStateOff = 1, kStateOn = 2 };

struct TThreadBlock {
  std::uint32_t ActivityState = kStateUndecided;
  bool CreateBusy = false;
  bool Exiting = false;
};

void ReleaseBlock(void* value) { std::unique_ptr<TThreadBlock> gone(static_cast<TThreadBlock*>(value)); }

// The slot is taken on first use by whichever thread gets there first, so
// that the switch answers before the unit starts (and in programs that link
// the objects without the unit table); the unit's shut-down gives it back.
class TBlockSlot {
 public:
  TThreadBlock* Get(bool create) noexcept {
    if (!Ready()) return nullptr;
    auto* block = static_cast<TThreadBlock*>(slot_.Get());
    if (block != nullptr || !create) return block;
    try {
      auto made = std::make_unique<TThreadBlock>();
      slot_.Set(made.get());
      return made.release();
    } catch (...) {
      return nullptr;  // no memory: the thread has no block, the facility stays off in it
    }
  }
  void Free() noexcept {
    if (state_.load(std::memory_order_acquire) != kReady) return;
    slot_.Free();
    state_.store(kNone, std::memory_order_release);
  }

 private:
  enum : int { kNone, kAllocating, kReady, kFailed };
  bool Ready() noexcept {
    int s = state_.load(std::memory_order_acquire);
    if (s == kNone) {
      int expected = kNone;
      if (state_.compare_exchange_strong(expected, kAllocating)) {
        s = slot_.Allocate(ReleaseBlock) ? kReady : kFailed;
        state_.store(s, std::memory_order_release);
      }
    }
    while ((s = state_.load(std::memory_order_acquire)) == kAllocating) {
    }
    return s == kReady;
  }
  rt::TThreadSlot slot_;
  std::atomic<int> state_{kNone};
};

TBlockSlot g_blocks;
std::atomic<TVarnelLogThreadState> g_default_state{dtsDisabled};

bool IsCallingThread(std::uint32_t thread_id) noexcept {
  return thread_id == kCallingThread || thread_id == kCallingThreadToo || thread_id == kFindOwnThread ||
         thread_id == platform::CurrentThreadId();
}

std::uint32_t StateFor(bool active) noexcept { return active ? kStateOn : kStateOff; }

}  // namespace

bool IsVarnelLogActiveInThread(std::uint32_t thread_id) {
  if (IsCallingThread(thread_id)) {
    TThreadBlock* block = g_blocks.Get(true);
    if (block == nullptr) return false;
    if (block->ActivityState == kStateUndecided) {
      // Only an explicit "enabled" switches a thread on by itself; the
      // run-time-library-only default needs the thread's record to tell.
      block->ActivityState = StateFor(g_default_state.load() == dtsEnabled);
    }
    return block->ActivityState == kStateOn;
  }
  return g_default_state.load() == dtsEnabled;
}

void SetVarnelLogStateInThread(std::uint32_t thread_id, bool activate) {
  if (IsCallingThread(thread_id)) {
    if (TThreadBlock* block = g_blocks.Get(true)) block->ActivityState = StateFor(activate);
  }
}

TVarnelLogThreadState SetDefaultThreadState(TVarnelLogThreadState state) noexcept {
  return g_default_state.exchange(state);
}

TVarnelLogThreadState DefaultThreadState() noexcept { return g_default_state.load(); }

std::uint32_t GetNestingCounter() noexcept { return ThreadsNestingCount(); }
void SetNestingCounter(std::uint32_t value) noexcept { SetThreadsNestingCount(value); }

}  // namespace zelvic::diag
