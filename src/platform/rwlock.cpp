#include "platform/rwlock.h"

#include <windows.h>

namespace zelvic::platform {

static_assert(sizeof(SRWLOCK) <= 8, "lock storage too small");
static_assert(sizeof(CONDITION_VARIABLE) <= 8, "condition storage too small");

namespace {
// The guard of the bookkeeping is a slim lock: it holds no system resource,
// so a lock created again on a late use during unload leaves nothing behind.
SRWLOCK* Section(unsigned char* p) { return reinterpret_cast<SRWLOCK*>(p); }
CONDITION_VARIABLE* Condition(unsigned char* p) { return reinterpret_cast<CONDITION_VARIABLE*>(p); }
}  // namespace

void TReadWriteLock::Create() noexcept {
  if (created_) return;
  InitializeSRWLock(Section(section_));
  InitializeConditionVariable(Condition(condition_));
  reader_count_ = 0;
  waiting_writers_ = 0;
  writer_ = 0;
  write_depth_ = 0;
  writer_reads_ = 0;
  created_ = true;
}

void TReadWriteLock::Destroy() noexcept {
  if (!created_) return;
  created_ = false;
}

TReadWriteLock::TReader* TReadWriteLock::FindReader(std::uint32_t thread_id) noexcept {
  for (int i = 0; i < reader_count_; ++i) {
    if (readers_[i].ThreadId == thread_id) return &readers_[i];
  }
  return nullptr;
}

void TReadWriteLock::Wait() noexcept { SleepConditionVariableSRW(Condition(condition_), Section(section_), INFINITE, 0); }

void TReadWriteLock::WakeAll() noexcept { WakeAllConditionVariable(Condition(condition_)); }

void TReadWriteLock::BeginRead() noexcept {
  if (!created_) return;
  const std::uint32_t self = GetCurrentThreadId();
  AcquireSRWLockExclusive(Section(section_));
  if (writer_ == self) {
    ++writer_reads_;
  } else if (TReader* r = FindReader(self)) {
    // A thread already reading must not queue behind a waiting writer: the
    // writer waits for this very thread.
    ++r->Depth;
  } else {
    // New readers give way to waiting writers so that writers are not
    // starved by a stream of readers.
    while (writer_ != 0 || waiting_writers_ > 0 || reader_count_ == kMaxReaders) Wait();
    readers_[reader_count_++] = TReader{self, 1};
  }
  ReleaseSRWLockExclusive(Section(section_));
}

void TReadWriteLock::EndRead() noexcept {
  if (!created_) return;
  const std::uint32_t self = GetCurrentThreadId();
  AcquireSRWLockExclusive(Section(section_));
  if (writer_ == self && writer_reads_ > 0) {
    --writer_reads_;
  } else if (TReader* r = FindReader(self)) {
    if (--r->Depth == 0) {
      *r = readers_[--reader_count_];
      WakeAll();
    }
  }
  ReleaseSRWLockExclusive(Section(section_));
}

void TReadWriteLock::BeginWrite() noexcept {
  if (!created_) return;
  const std::uint32_t self = GetCurrentThreadId();
  AcquireSRWLockExclusive(Section(section_));
  if (writer_ == self) {
    ++write_depth_;
  } else {
    ++waiting_writers_;
    // A reader that asks to write waits only for the other readers. Two
    // readers that both ask would wait for each other; the callers never do
    // that while reading.
    for (;;) {
      const int others = reader_count_ - (FindReader(self) != nullptr ? 1 : 0);
      if (writer_ == 0 && others == 0) break;
      Wait();
    }
    --waiting_writers_;
    writer_ = self;
    write_depth_ = 1;
  }
  ReleaseSRWLockExclusive(Section(section_));
}

void TReadWriteLock::EndWrite() noexcept {
  if (!created_) return;
  AcquireSRWLockExclusive(Section(section_));
  const std::uint32_t self = GetCurrentThreadId();
  if (writer_ == self && --write_depth_ == 0) {
    writer_ = 0;
    // Reads begun while writing outlive the write: they become an ordinary
    // read lock of this thread.
    if (writer_reads_ > 0) {
      if (TReader* r = FindReader(self)) {
        r->Depth += writer_reads_;
      } else if (reader_count_ < kMaxReaders) {
        readers_[reader_count_++] = TReader{self, writer_reads_};
      }
      writer_reads_ = 0;
    }
    WakeAll();
  }
  ReleaseSRWLockExclusive(Section(section_));
}

}  // namespace zelvic::platform
