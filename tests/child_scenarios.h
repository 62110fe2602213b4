// Scenarios that end the process, run in a child copy of the test program.
#pragma once

#include <string>

namespace zelvic::test {

// Runs the named scenario; returns the exit code when it does not end the
// process itself.
int RunChildScenario(const wchar_t* name);

// The load-and-unload cycles of the library named by the environment
// variable ZELVIC_UNLOAD_CHILD_DLL, with threads afterwards.
int RunLoadUnloadCycles();

// The application kind's scenarios: "box:<style>" shows the facility's
// message box with that style (decimal) and ends with the button it
// answers.
int RunAppTypeScenario(const std::wstring& name);

// The dialogs' scenarios: "console" asks with the facility's box in this
// console program (exit 1 when it answered No); "restart" notes on the file
// named by ZELVIC_DIALOG_RESTART_LOG whether it was started as a restart,
// then restarts the process (exit code 0x51).
int RunDialogScenario(const std::wstring& name);

}  // namespace zelvic::test
