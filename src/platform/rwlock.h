// A multi-reader, single-writer lock that a thread may re-enter: a reader may
// read again, a writer may write and read again, and a sole reader may become
// the writer. It never allocates, so it can guard the registries that the
// memory filter itself looks at.
#pragma once

#include <cstdint>

namespace zelvic::platform {

class TReadWriteLock {
 public:
  void Create() noexcept;
  void Destroy() noexcept;
  bool IsCreated() const noexcept { return created_; }

  void BeginRead() noexcept;
  void EndRead() noexcept;
  void BeginWrite() noexcept;
  void EndWrite() noexcept;

 private:
  // A thread that holds read locks. The table is fixed so that taking the
  // lock never allocates; a thread that finds it full waits for a free slot.
  struct TReader {
    std::uint32_t ThreadId;
    std::uint32_t Depth;
  };
  static constexpr int kMaxReaders = 64;

  TReader* FindReader(std::uint32_t thread_id) noexcept;
  void Wait() noexcept;
  void WakeAll() noexcept;

  // Storage for the platform's slim lock and CONDITION_VARIABLE.
  alignas(8) unsigned char section_[8] = {};
  alignas(8) unsigned char condition_[8] = {};
  TReader readers_[kMaxReaders] = {};
  int reader_count_ = 0;
  int waiting_writers_ = 0;
  std::uint32_t writer_ = 0;
  std::uint32_t write_depth_ = 0;
  // Reads taken by the writer while it writes: they need no slot.
  std::uint32_t writer_reads_ = 0;
  bool created_ = false;
};

}  // namespace zelvic::platform
