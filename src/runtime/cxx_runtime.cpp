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

DWORD g_record_index = TLS_OUT_OF_INDEXES;

// winpthreads keeps its TLS index to itself; the index is the one whose value
// on this thread is this thread's record.
DWORD RecordIndex(const void* record) noexcept {
  for (DWORD i = 0; i < kTlsIndexCount; ++i) {
    if (TlsGetValue(i) == record) return i;
  }
  return TLS_OUT_OF_INDEXES;
}

}  // namespace

void CxxRuntimeInit() {
  // Makes the record if the thread has none yet, so that the index exists.
  const void* record = __pth_gpointer_locked(pthread_self());
  g_record_index = record != nullptr ? RecordIndex(record) : TLS_OUT_OF_INDEXES;
}

void EndThreadRecord() noexcept {
  if (g_record_index == TLS_OUT_OF_INDEXES || __xl_f == nullptr) return;
  if (TlsGetValue(g_record_index) != nullptr) __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
}

// Both ends keep the thread's last error: the visit sits in the middle of a
// system call whose caller reads it.
TVisitingThreadScope::TVisitingThreadScope() noexcept : had_record_(true) {
  const DWORD error = GetLastError();
  had_record_ = g_record_index == TLS_OUT_OF_INDEXES || TlsGetValue(g_record_index) != nullptr;
  SetLastError(error);
}

TVisitingThreadScope::~TVisitingThreadScope() {
  if (had_record_) return;
  const DWORD error = GetLastError();
  EndThreadRecord();
  SetLastError(error);
}

void CxxRuntimeDone() noexcept {
  EndThreadRecord();
  // Ended records' memory waits in winpthreads' pool; it goes with the
  // image's C heap. Records of threads that used the runtime and still run
  // keep their handles: only their own thread detach could end them.
  if (g_record_index != TLS_OUT_OF_INDEXES) TlsFree(g_record_index);
  g_record_index = TLS_OUT_OF_INDEXES;
}

}  // namespace zelvic::rt
