// The facility's internal debug output: named start-up steps pass through the
// step trace hook.
#pragma once

namespace zelvic::diag {

void EDebugOutputInit();
void EDebugOutputDone();

}  // namespace zelvic::diag
