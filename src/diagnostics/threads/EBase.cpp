#include "diagnostics/threads/EBase.h"

#include "diagnostics/threads/EThreadsManager.h"
#include "platform/thread_control.h"
#include "platform/threads.h"

namespace zelvic::diag {

void EBaseInit() {
  SetMainThreadID(platform::CurrentThreadId());
  // Taken now, under the loader's lock, so that no thread ever finds the
  // activity test without its slot.
  (void)HasThreadBlock();
  platform::NameThreadForDebugger(L"Main thread", platform::CurrentThreadId());
}

void EBaseDone() {
  ReleaseThreadBlocks();
  SetMainThreadID(0);
}

}  // namespace zelvic::diag
