// The facility's base unit ("EBase.Init" / "EBase.Done"): it fixes which
// thread is the main one (the thread that loads the library) before any
// record is made, and gives the per-thread block slot back last.
#pragma once

namespace zelvic::diag {

void EBaseInit();
void EBaseDone();

}  // namespace zelvic::diag
