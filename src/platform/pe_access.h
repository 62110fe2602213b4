// What the PE image readers need from the platform: a file mapped read-only,
// the readable extent of a loaded module, the headers of a loaded image, and
// the library search path.
#pragma once

#include <cstdint>
#include <optional>
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

class TModulePlatform;

// What a loaded image's headers say, as far as the module records, time
// stamps, image sizes and the process kind need it. The optional header is
// read in the form the machine implies (PE32+ for x64, PE32 for the rest).
struct TLoadedImageHeaders {
  std::uintptr_t NtHeaders = 0;     // address of the "PE\0\0" signature
  std::uintptr_t FirstSection = 0;  // address of the section table
  std::uint16_t Machine = 0;
  std::uint16_t NumberOfSections = 0;
  std::uint16_t Characteristics = 0;
  std::uint32_t TimeDateStamp = 0;
  bool Pe32Plus = false;
  std::uint16_t Subsystem = 0;
  std::uint32_t SizeOfImage = 0;
  std::uint32_t BaseOfCode = 0, SizeOfCode = 0;
  // PE32 only; 0 for PE32+.
  std::uint32_t BaseOfData = 0, SizeOfInitializedData = 0, SizeOfUninitializedData = 0;
  std::uint32_t NumberOfRvaAndSizes = 0;
  std::uint32_t ResourceRva = 0, ResourceSize = 0;
};

inline constexpr std::uint16_t kImageMachineI386 = 0x014C;
inline constexpr std::uint16_t kImageMachineAmd64 = 0x8664;

// The headers of the image loaded at `base`, every byte read through
// `memory` (whose reads fail rather than fault); none when a read fails or
// the signatures are not a PE image's. The two low bits of a resource-only
// load's handle are the caller's to clear.
std::optional<TLoadedImageHeaders> ReadLoadedImageHeaders(TModulePlatform& memory, std::uintptr_t base);
// The same over this process's memory.
std::optional<TLoadedImageHeaders> ReadLoadedImageHeaders(std::uintptr_t base);

// Where the platform's library search path finds `name`, or empty.
std::wstring SearchPathFor(const std::wstring& name);

}  // namespace zelvic::platform
