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

}  // namespace zelvic::test
