#include "runtime/unit_lifecycle.h"

#include <cwchar>

#include "platform/process.h"

namespace zelvic::rt {

volatile std::uint8_t IsInitializing = 0;
volatile std::uint8_t IsFinalizing = 0;
volatile std::uint8_t IsShuttingDown = 0;

TStepTraceHook StepTraceHook = nullptr;
TStepFailureHandler StepFailureHandler = nullptr;
TFatalReportProc FatalReportProc = nullptr;

void ShowFatalStepReport(const std::wstring& text) noexcept {
  if (const TFatalReportProc show = FatalReportProc) {
    try {
      show(text);
    } catch (...) {
      // Boundary: the process is ending; a failure to show the report must
      // not keep it alive.
    }
  } else {
    platform::DebugOutput(text);
  }
  platform::TerminateCurrentProcess(kFatalExitCode);
}

void SafeExec(TStepProc step, const wchar_t* step_name) {
  if (StepTraceHook != nullptr) StepTraceHook(step_name);
  if (step_name != nullptr) {
    if (std::wcsstr(step_name, L"Init") != nullptr) {
      IsInitializing = 1;
      IsFinalizing = 0;
    } else if (std::wcsstr(step_name, L"Done") != nullptr) {
      IsFinalizing = 1;
      IsInitializing = 0;
    }
  }
  if (step == nullptr) return;
  try {
    step();
  } catch (...) {
    // Boundary of a named step: every failure is reported, then passed on
    // unchanged.
    platform::DebugOutput(L"SafeExec fails");
    platform::DebugOutput(step_name ? step_name : L"");
    if (StepFailureHandler != nullptr) StepFailureHandler(step, step_name);
    throw;
  }
}

void TUnitTable::RunInit(int position) {
  const TUnitEntry& e = entries_[static_cast<std::size_t>(position)];
  std::int32_t& counter = counters_[static_cast<std::size_t>(position)];
  if (counter-- != 0) return;
  if (e.Init == nullptr) return;
  if (trace_ != nullptr) trace_(position, true);
  if (e.InitStep != nullptr) {
    SafeExec(e.Init, e.InitStep);
  } else {
    e.Init();
  }
}

void TUnitTable::RunDone(int position) {
  const TUnitEntry& e = entries_[static_cast<std::size_t>(position)];
  std::int32_t& counter = counters_[static_cast<std::size_t>(position)];
  if (counter++ != -1) return;
  if (e.Done == nullptr) return;
  if (trace_ != nullptr) trace_(position, false);
  if (e.DoneStep != nullptr) {
    SafeExec(e.Done, e.DoneStep);
  } else {
    e.Done();
  }
}

void TUnitTable::Start() {
  const int count = static_cast<int>(entries_.size());
  while (started_ < count) {
    const int position = started_++;
    try {
      RunInit(position);
    } catch (...) {
      // Whatever failed, the units already started (this one included)
      // must stop before the failure goes on.
      Stop();
      throw;
    }
  }
}

void TUnitTable::Stop() noexcept {
  while (started_ > 0) {
    const int position = --started_;
    try {
      RunDone(position);
    } catch (...) {
      // Keep stopping: the units below still hold hooks to put back.
    }
  }
}

}  // namespace zelvic::rt
