// The system-information unit's start-up and shut-down: it gives the options
// their placeholder expansion and the facility's data folder while it runs.
#pragma once

namespace zelvic::diag {

void ESysInfoInit();
void ESysInfoDone();

}  // namespace zelvic::diag
