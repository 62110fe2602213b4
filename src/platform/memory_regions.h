// How code reads memory without faulting: the byte-source interface, the
// region query behind readability tests, and the protection bits they share.
//
// Platform-neutral on purpose: the x86 decoder and the stack walkers read
// through these interfaces, the platform layer answers them from the live
// process (VirtualQuery), and tests and fuzzers answer them from buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvic::memory {

// Protection bits as the platform's region query reports them.
inline constexpr std::uint32_t kPageExecute = 0x10;
inline constexpr std::uint32_t kPageExecuteRead = 0x20;
inline constexpr std::uint32_t kPageExecuteReadWrite = 0x40;
inline constexpr std::uint32_t kPageExecuteWriteCopy = 0x80;
inline constexpr std::uint32_t kPageReadOnly = 0x02;
inline constexpr std::uint32_t kPageReadWrite = 0x04;
inline constexpr std::uint32_t kPageWriteCopy = 0x08;
inline constexpr std::uint32_t kPageNoAccess = 0x01;
inline constexpr std::uint32_t kMemCommit = 0x1000;

// Read-only, read-write, write-copy and the three readable execute kinds.
inline constexpr std::uint32_t kDefaultReadableMask = 0xEE;
// The four execute protections: what "code" means to the decoder.
inline constexpr std::uint32_t kCodeMask = 0xF0;

// Where the decoder gets its bytes. `mask` 0 stands for the default readable
// mask. Implementations must never fault.
//
// The live-memory adapter of the platform layer answers CanRead with
// CanReadRegions over a VirtualQuery-based TRegionQuery (the application
// range from GetSystemInfo, the mask widened by the execute-only probe), and
// Read by copying under a fault guard, or page by page after a CanRead of
// each page: a page can be released between the test and the copy, and the
// copy must then stop short instead of faulting.
class TMemoryAccess {
 public:
  virtual ~TMemoryAccess() = default;
  // Number of bytes (0..count) readable at `address` with a protection that
  // shares a bit with `mask`.
  virtual std::uint32_t CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const = 0;
  // Copies bytes from `address` until `count` are copied or a byte cannot be
  // read; returns how many were copied.
  virtual std::uint32_t Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const = 0;
};

// A byte buffer placed at a 32-bit address; every byte of it counts as code.
class TBufferMemory final : public TMemoryAccess {
 public:
  TBufferMemory(const std::uint8_t* bytes, std::size_t size, std::uint32_t base) noexcept
      : bytes_(bytes), size_(size), base_(base) {}
  std::uint32_t CanRead(std::uint32_t address, std::uint32_t count, std::uint32_t mask) const override;
  std::uint32_t Read(std::uint32_t address, std::uint8_t* dst, std::uint32_t count) const override;

  const std::uint8_t* bytes() const noexcept { return bytes_; }
  std::size_t size() const noexcept { return size_; }
  std::uint32_t base() const noexcept { return base_; }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
  std::uint32_t base_;
};

// ---------------------------------------------------------------------------
// Readability over the platform's region query. The platform adapter supplies
// the query (VirtualQuery) and the application address range; the walk and
// the masks live here so that they are tested without a live process.

struct TRegionInfo {
  std::uint32_t BaseAddress = 0;
  std::uint32_t RegionSize = 0;
  std::uint32_t State = 0;
  std::uint32_t Protect = 0;
  // Part of a loaded image: it goes only when the image is unloaded.
  bool Image = false;
};

class TRegionQuery {
 public:
  virtual ~TRegionQuery() = default;
  // False when the address cannot be queried at all.
  virtual bool QueryRegion(std::uint32_t address, TRegionInfo& info) const = 0;
};

struct TAddressSpace {
  std::uint32_t MinimumApplicationAddress = 0x00010000;
  std::uint32_t MaximumApplicationAddress = 0x7FFEFFFF;
  // Grows by kPageExecute when the execute-only probe shows such pages are
  // readable (see DefaultReadableMask).
  std::uint32_t DefaultMask = kDefaultReadableMask;
};

// The default readable mask after the start-up probe: execute-only pages are
// readable on some processors and systems, and then count as readable too.
constexpr std::uint32_t DefaultReadableMask(bool execute_only_page_was_readable) noexcept {
  return execute_only_page_was_readable ? (kDefaultReadableMask | kPageExecute) : kDefaultReadableMask;
}

// Number of readable bytes at `address`: 0 or `count`, since a region that
// fails the test anywhere in the range makes the whole range unreadable.
std::uint32_t CanReadRegions(const TRegionQuery& query, const TAddressSpace& space, std::uint32_t address,
                             std::uint32_t count, std::uint32_t mask) noexcept;

}  // namespace zelvic::memory
