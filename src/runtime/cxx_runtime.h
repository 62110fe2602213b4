// The statically linked C++ runtime (libstdc++, libgcc's unwinder and its
// emulated thread-local storage, winpthreads) is built to live as long as the
// process: nothing in it gives back what it takes. Linked into a library
// that the host loads and unloads over and over, that would cost a TLS slot,
// two handles and some 19 KB per cycle. This unit returns it.
#pragma once

namespace zelvic::rt {

// The C++ runtime unit's shut-down: ends the calling thread's POSIX-thread
// record, gives back the TLS slot the runtime keeps the records in, and
// frees the runtime's emergency exception pool. Runs last of all units;
// nothing of the library may need the thread record or throw afterwards.
void CxxRuntimeDone() noexcept;

}  // namespace zelvic::rt
