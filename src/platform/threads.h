// The thread services a stack walk needs: the calling thread's stack bounds
// and registers, another thread's registers and stack taken while it is held
// suspended, and the handles to do that with.
#pragma once

#include <cstdint>
#include <span>

namespace zelvic::platform {

// The general registers of a stopped or captured thread, as 32-bit values.
struct TThreadRegisters {
  std::uint32_t Eip = 0, Esp = 0, Ebp = 0;
  std::uint32_t Edi = 0, Esi = 0, Ebx = 0, Edx = 0, Ecx = 0, Eax = 0;
};

// A thread's stack from the thread information block: [Limit, Base), Base
// being the highest address (stacks grow down).
struct TStackBounds {
  std::uint32_t Limit = 0;
  std::uint32_t Base = 0;
};

// Read from the calling thread's own information block: no system call, no
// allocation, so it may be asked from inside an allocator.
TStackBounds CurrentStackBounds() noexcept;
std::uint32_t CurrentThreadId() noexcept;

// The caller's registers at the point of the call (RtlCaptureContext).
TThreadRegisters CaptureCurrentRegisters() noexcept;

// The access a stack capture needs: suspend and resume, context, and the
// information query that finds the thread's information block.
inline constexpr std::uint32_t kThreadStackAccess = 0x4A;

// An owned thread handle; empty when the thread could not be opened.
class TThreadHandle {
 public:
  TThreadHandle() noexcept = default;
  // OpenThread with kThreadStackAccess.
  static TThreadHandle Open(std::uint32_t thread_id) noexcept;
  ~TThreadHandle();
  TThreadHandle(TThreadHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  TThreadHandle& operator=(TThreadHandle&& other) noexcept;
  TThreadHandle(const TThreadHandle&) = delete;
  TThreadHandle& operator=(const TThreadHandle&) = delete;
  void* get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// GetThreadId; 0 when the platform has no such function or the handle is bad.
std::uint32_t ThreadIdOf(void* thread) noexcept;

// Another thread's stack bounds, read from its information block
// (NtQueryInformationThread class 0); false when they cannot be read.
bool ThreadStackBounds(void* thread, TStackBounds& bounds) noexcept;

// Address space to hold a copy of a stack: `size` bytes, readable and
// writable, between two pages with no access, so that a walk that runs off
// the copy tests unreadable instead of reading a neighbour.
class TStackCopyBuffer {
 public:
  TStackCopyBuffer() noexcept = default;
  // Empty when the space cannot be had.
  static TStackCopyBuffer Reserve(std::uint32_t size) noexcept;
  ~TStackCopyBuffer();
  TStackCopyBuffer(TStackCopyBuffer&& other) noexcept;
  TStackCopyBuffer& operator=(TStackCopyBuffer&& other) noexcept;
  TStackCopyBuffer(const TStackCopyBuffer&) = delete;
  TStackCopyBuffer& operator=(const TStackCopyBuffer&) = delete;
  std::uint8_t* data() const noexcept { return data_; }
  std::uint32_t size() const noexcept { return size_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }

 private:
  std::uint8_t* reservation_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
};

// What a stop of another thread gave.
struct TSuspendedCapture {
  TThreadRegisters Registers;
  // The original addresses copied: [CopyStart, CopyStart + CopySize).
  std::uint32_t CopyStart = 0;
  std::uint32_t CopySize = 0;
  // How long the thread was held, in performance-counter ticks, and the
  // counter's frequency.
  std::int64_t SuspendedTicks = 0;
  std::int64_t TicksPerSecond = 1;
};

// Suspends the thread, reads its context, copies its used stack from the
// stack pointer (rounded down to 4) up to `top` (at most the buffer's size)
// into `buffer`, and resumes it. Nothing between the suspend and the resume
// allocates or takes a lock the thread may hold: the buffer is reserved
// beforehand, readability is asked of the kernel. False when the thread
// cannot be suspended or its context read.
bool CaptureSuspendedStack(void* thread, std::uint32_t top, std::span<std::uint8_t> buffer,
                           TSuspendedCapture& capture) noexcept;

// The same stop without the copy: suspend, context read, resume. The
// baseline of what a capture costs the stopped thread.
bool SuspendAndReadContext(void* thread, TThreadRegisters& registers, std::int64_t& suspended_ticks) noexcept;

std::int64_t PerformanceTicks() noexcept;
std::int64_t PerformanceFrequency() noexcept;

}  // namespace zelvic::platform
