// The statically linked C++ runtime (libstdc++, libgcc's unwinder and its
// emulated thread-local storage, winpthreads) is built to live as long as the
// process: nothing in it gives back what it takes. Linked into a library
// that the host loads and unloads over and over, that cost a TLS slot and
// two handles per cycle (its memory goes with the image's C heap, see
// crt_heap.h). This unit returns them.
//
// winpthreads gives a thread a record (an event, a duplicate of the thread's
// handle, its values of the runtime's thread keys) on its first use of the
// runtime, and ends it at thread detach only. The unwinder's frame
// registration makes one for the loading thread before the entry point runs.
#pragma once

namespace zelvic::rt {

// The C++ runtime unit's start-up: learns the TLS slot the runtime keeps its
// records in.
void CxxRuntimeInit();

// Ends the calling thread's record, if it has one; a later use of the
// runtime on the thread makes a new one. Called for the loading thread once
// the library has started: the host may unload the library from another
// thread, and the loading thread may outlive it.
void EndThreadRecord() noexcept;

// For library code that a host thread runs on its own way (a patched system
// entry, a hook): a record the thread did not have when it came in is ended
// when it leaves. A thread's values of the runtime's thread keys live in its
// record, so a thread without one had no such values either, and ending it
// takes only what this visit made. Without this the record would outlive an
// unload on another thread, with its two handles.
class TVisitingThreadScope {
 public:
  TVisitingThreadScope() noexcept;
  ~TVisitingThreadScope();
  TVisitingThreadScope(const TVisitingThreadScope&) = delete;
  TVisitingThreadScope& operator=(const TVisitingThreadScope&) = delete;

 private:
  bool had_record_;
};

// The C++ runtime unit's shut-down: ends the unloading thread's record and
// gives the TLS slot back. Runs last of all units: nothing of the library
// may need a record afterwards.
void CxxRuntimeDone() noexcept;

}  // namespace zelvic::rt
