// The threads manager: the per-thread activity switch and nesting counter,
// the thread records against Toolhelp32, the creation hooks with real
// threads, and the thread-facts export of the built library.

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

using diag::TVarnelLogThreadState;

// Puts the process-wide default back whatever a test set.
class DefaultStateScope {
 public:
  explicit DefaultStateScope(TVarnelLogThreadState state) : previous_(diag::SetDefaultThreadState(state)) {}
  ~DefaultStateScope() { diag::SetDefaultThreadState(previous_); }
  DefaultStateScope(const DefaultStateScope&) = delete;
  DefaultStateScope& operator=(const DefaultStateScope&) = delete;

 private:
  TVarnelLogThreadState previous_;
};

// Runs `body` on a fresh platform thread and waits for it: a thread whose
// per-thread state nobody has touched yet.
void OnFreshThread(const std::function<void()>& body) {
  auto run = [](void* p) WINAPI -> DWORD {
    (*static_cast<const std::function<void()>*>(p))();
    return 0;
  };
  HANDLE t = CreateThread(nullptr, 0, run, const_cast<std::function<void()>*>(&body), 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, kDeadlockMs), WAIT_OBJECT_0);
  CloseHandle(t);
}

TEST(ThreadActivity, AnUndecidedThreadFollowsTheDefaultWhenItIsFirstAsked) {
  const struct {
    TVarnelLogThreadState state;
    bool active;
  } cases[] = {{diag::dtsDisabled, false}, {diag::dtsEnabled, true}};
  for (const auto& c : cases) {
    DefaultStateScope scope(c.state);
    bool seen = !c.active;
    bool later = !c.active;
    OnFreshThread([&] {
      seen = diag::IsVarnelLogActiveInThread(0);
      // Decided once: a later change of the default leaves the thread alone.
      diag::SetDefaultThreadState(c.active ? diag::dtsDisabled : diag::dtsEnabled);
      later = diag::IsVarnelLogActiveInThread(0);
    });
    EXPECT_EQ(seen, c.active) << int(c.state);
    EXPECT_EQ(later, c.active) << int(c.state);
  }
}

TEST(ThreadActivity, EveryNameOfTheCallingThreadSwitchesTheSameState) {
  DefaultStateScope scope(diag::dtsDisabled);
  OnFreshThread([] {
    const std::uint32_t own = GetCurrentThreadId();
    for (std::uint32_t setter : {0u, 0xFFFFFFFFu, own}) {
      diag::SetVarnelLogStateInThread(setter, true);
      for (std::uint32_t asker : {0u, 0xFFFFFFFFu, own}) EXPECT_TRUE(diag::IsVarnelLogActiveInThread(asker));
      diag::SetVarnelLogStateInThread(setter, false);
      for (std::uint32_t asker : {0u, 0xFFFFFFFFu, own}) EXPECT_FALSE(diag::IsVarnelLogActiveInThread(asker));
    }
  });
}

TEST(ThreadActivity, AThreadsSwitchIsItsOwn) {
  DefaultStateScope scope(diag::dtsDisabled);
  diag::SetVarnelLogStateInThread(0, false);
  OnFreshThread([] { diag::SetVarnelLogStateInThread(0, true); });
  EXPECT_FALSE(diag::IsVarnelLogActiveInThread(0));
  bool other = true;
  OnFreshThread([&] { other = diag::IsVarnelLogActiveInThread(0); });
  EXPECT_FALSE(other);
}

TEST(ThreadActivity, SettingTheDefaultAnswersThePreviousOne) {
  const TVarnelLogThreadState first = diag::SetDefaultThreadState(diag::dtsRTLEnabled);
  EXPECT_EQ(diag::SetDefaultThreadState(diag::dtsEnabled), diag::dtsRTLEnabled);
  EXPECT_EQ(diag::DefaultThreadState(), diag::dtsEnabled);
  EXPECT_EQ(diag::SetDefaultThreadState(first), diag::dtsEnabled);
}

TEST(ThreadNesting, TheCounterIsTheLookupsOwnAndPerThread) {
  const std::uint32_t before = diag::GetNestingCounter();
  {
    diag::TThreadsNesting lookup;  // what a location lookup raises
    EXPECT_EQ(diag::GetNestingCounter(), before + 1);
    std::uint32_t on_other = 99;
    OnFreshThread([&] { on_other = diag::GetNestingCounter(); });
    EXPECT_EQ(on_other, 0u);
  }
  diag::SetNestingCounter(before + 5);
  EXPECT_EQ(diag::ThreadsNestingCount(), before + 5);
  diag::SetNestingCounter(before);
  EXPECT_EQ(diag::GetNestingCounter(), before);
}

}  // namespace
}  // namespace zelvic::test
