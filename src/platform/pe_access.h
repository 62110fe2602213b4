// What the PE image reader needs from the platform: a file mapped read-only,
// the readable extent of a loaded module, and the library search path.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zelvic::platform {

// A whole file mapped read-only. The view stays valid until the object goes.
class TMappedFile {
 public:
  TMappedFile() = default;
  ~TMappedFile();
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;

  // 0 on success, else the platform's error code; an empty file maps to
  // nothing and answers 0 with empty bytes.
  std::uint32_t Open(const std::wstring& path);
  std::span<const std::uint8_t> Bytes() const noexcept { return bytes_; }

 private:
  void Close() noexcept;
  void* file_ = nullptr;
  void* mapping_ = nullptr;
  const std::uint8_t* view_ = nullptr;
  std::span<const std::uint8_t> bytes_;
};

// How many bytes from `address` on, up to `limit`, lie in committed memory
// that can be read (guard pages and no-access pages stop the count).
std::uint32_t ReadableLength(std::uintptr_t address, std::uint32_t limit) noexcept;

// Where the platform's library search path finds `name`, or empty.
std::wstring SearchPathFor(const std::wstring& name);

}  // namespace zelvic::platform
