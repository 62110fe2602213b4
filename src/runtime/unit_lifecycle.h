// Ordered start-up and shut-down of the library's units, the guarded step
// that named steps run in, and the lifecycle flags other units read.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zelvic::rt {

// Lifecycle flags: plain bytes, written only while the library starts or
// stops (on the loader's thread), read from anywhere.
extern volatile std::uint8_t IsInitializing;
extern volatile std::uint8_t IsFinalizing;
extern volatile std::uint8_t IsShuttingDown;

using TStepProc = void (*)();
using TStepTraceHook = void (*)(const wchar_t* step_name);
// Called inside the failing step's handler, so std::current_exception() is
// the failure. A handler that returns lets the failure go on.
using TStepFailureHandler = void (*)(TStepProc step, const wchar_t* step_name);

extern TStepTraceHook StepTraceHook;
extern TStepFailureHandler StepFailureHandler;

// A failed start-up or shut-down step ends the process with this code.
inline constexpr std::uint32_t kFatalExitCode = 31;

// Shows the report of a failed step in the form that fits the process. The
// application-kind unit installs it early; the step-failure handlers of
// higher units call it through here, because they sit below that unit.
using TFatalReportProc = void (*)(const std::wstring& text);
extern TFatalReportProc FatalReportProc;

// Shows the report through FatalReportProc, then ends the process with
// kFatalExitCode (also when no form is installed or the form returns).
[[noreturn]] void ShowFatalStepReport(const std::wstring& text) noexcept;

// Runs one named step: trace hook, flags by name ("Init" before "Done",
// case-sensitive), then the procedure; a failure is reported to the debugger
// output and the step-failure handler, then raised again.
void SafeExec(TStepProc step, const wchar_t* step_name);

// One unit: its start-up and shut-down procedures, each optional, each run
// through SafeExec when it has a step name.
struct TUnitEntry {
  TStepProc Init = nullptr;
  const wchar_t* InitStep = nullptr;
  TStepProc Done = nullptr;
  const wchar_t* DoneStep = nullptr;
};

// Observer of every unit procedure the table runs (position, start or stop).
using TUnitTraceHook = void (*)(int position, bool starting);

// Runs a unit table. Each unit has a run-once counter: its start-up works
// only on the 0 -> -1 transition and its shut-down only on -1 -> 0, so a
// unit reached twice still works once.
class TUnitTable {
 public:
  TUnitTable(std::span<const TUnitEntry> entries, std::span<std::int32_t> counters) noexcept
      : entries_(entries), counters_(counters) {}

  // Starts every unit in order. When one fails, the units started so far
  // (the failing one included, so it can undo what it did) are stopped in
  // reverse order and the failure is raised again.
  void Start();
  // Stops the started units, last to first. A failing shut-down procedure is
  // skipped so that the units before it still stop.
  void Stop() noexcept;

  int StartedCount() const noexcept { return started_; }
  void SetTraceHook(TUnitTraceHook hook) noexcept { trace_ = hook; }

 private:
  void RunInit(int position);
  void RunDone(int position);

  std::span<const TUnitEntry> entries_;
  std::span<std::int32_t> counters_;
  int started_ = 0;
  TUnitTraceHook trace_ = nullptr;
};

}  // namespace zelvic::rt
