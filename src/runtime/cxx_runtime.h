// The statically linked C++ runtime (libstdc++, libgcc's unwinder and its
// emulated thread-local storage, winpthreads) is built to live as long as the
// process: nothing in it gives back what it takes. Linked into a library
// that the host loads and unloads over and over, that cost a TLS slot and
// two handles per cycle (its memory goes with the image's C heap, see
// crt_heap.h). This unit returns them.
#pragma once

namespace zelvic::rt {

// The C++ runtime unit's shut-down: ends the calling thread's POSIX-thread
// record (its event and thread handles, its values of the runtime's thread
// keys) and gives back the TLS slot the runtime keeps the records in. Runs
// last of all units: nothing of the library may need a thread record
// afterwards.
void CxxRuntimeDone() noexcept;

}  // namespace zelvic::rt
