#include "runtime/cxx_runtime.h"

#include <windows.h>

#include <pthread.h>

// winpthreads: its TLS callback (the thread-detach path ends a thread's
// record: key destructors, its event and thread handles) and the lookup of a
// record by thread identifier. Both are global symbols of the static library.
extern "C" const PIMAGE_TLS_CALLBACK __xl_f;
extern "C" void* __pth_gpointer_locked(pthread_t id);

namespace zelvic::rt {
namespace {

// Every TLS index a process can hold: the 64 in the thread block and the
// expansion slots.
constexpr DWORD kTlsIndexCount = TLS_MINIMUM_AVAILABLE + 1024;

// winpthreads keeps its TLS index to itself; the index is the one whose value
// on this thread is this thread's record.
DWORD RecordIndex(const void* record) noexcept {
  for (DWORD i = 0; i < kTlsIndexCount; ++i) {
    if (TlsGetValue(i) == record) return i;
  }
  return TLS_OUT_OF_INDEXES;
}

}  // namespace

void CxxRuntimeDone() noexcept {
  // The unwinder's frame registration made a record for the loading thread
  // before the entry point ran; winpthreads ends records at thread detach
  // only, and its process detach frees nothing. Threads that end while the
  // library is loaded have ended theirs already.
  void* record = __pth_gpointer_locked(pthread_self());
  const DWORD index = record != nullptr ? RecordIndex(record) : TLS_OUT_OF_INDEXES;
  if (index != TLS_OUT_OF_INDEXES && __xl_f != nullptr) {
    __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
    // The ended record's memory waits in winpthreads' pool; it goes with the
    // image's C heap.
    if (TlsGetValue(index) == nullptr) TlsFree(index);
  }
}

}  // namespace zelvic::rt
