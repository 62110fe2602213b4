// The facility's internal debug output: named start-up steps pass through the
// step trace hook.
#pragma once

#include <string_view>

namespace zelvic::diag {

// A line on the facility's internal debug output, in the form its readers
// look for: Dump(String): "line".
void DumpString(std::wstring_view line);

void EDebugOutputInit();
void EDebugOutputDone();

}  // namespace zelvic::diag
