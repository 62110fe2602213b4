// The facility's internal debug output: its notes go to the debugger output
// only, and named start-up steps pass through the step trace hook.
#pragma once

#include <string>

namespace zelvic::diag {

// Sends a note to the debugger output while the unit is started.
void DebugNote(const std::wstring& text);
// "Dump(Object): " followed by a description of an object.
void DebugDumpObject(const std::wstring& description);

void EDebugOutputInit();
void EDebugOutputDone();

}  // namespace zelvic::diag
