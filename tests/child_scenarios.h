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

// The facility's message box in a console process with the given style
// (decimal); the button it answers is the exit code.
int RunAppTypeBoxScenario(const std::wstring& style_text);

}  // namespace zelvic::test
