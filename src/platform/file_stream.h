// Files as the report-file units need them: a stream with an explicit
// sharing mode, and the code-page services that decode 8-bit report texts.
// Status values only: failures come back as the system's error code.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelvic::platform {

enum class TFileOpenMode : std::uint8_t {
  ReadShareAll,        // read; others may read, write and delete
  ReadWriteDenyWrite,  // read and write an existing file; others may only read
  CreateDenyWrite,     // create or replace; others may only read
};

class TFileStream {
 public:
  TFileStream() noexcept = default;
  ~TFileStream() { Close(); }
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  TFileStream(TFileStream&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  TFileStream& operator=(TFileStream&& other) noexcept;

  // 0 when the file is open, else the system's error code.
  std::uint32_t Open(const std::wstring& name, TFileOpenMode mode) noexcept;
  bool IsOpen() const noexcept { return handle_ != nullptr; }
  // Everything from the current position to the end; the system's error
  // code or 0.
  std::uint32_t ReadToEnd(std::vector<std::uint8_t>& out);
  std::uint32_t Rewind() noexcept;
  std::uint32_t Write(std::span<const std::uint8_t> bytes) noexcept;
  // Ends the file at the current position.
  std::uint32_t TruncateHere() noexcept;
  void Close() noexcept;

 private:
  void* handle_ = nullptr;
};

bool FileExistsAt(const std::wstring& name) noexcept;
bool DeleteFileAt(const std::wstring& name) noexcept;
// The long form of a path; the path as given when the system cannot tell.
std::wstring LongPathNameOf(const std::wstring& name);
void SleepMs(std::uint32_t ms) noexcept;

// Bytes of a given code page as text; empty when the code page is unknown.
std::wstring FromCodePage(std::string_view bytes, std::uint32_t code_page);
// The ANSI code page of a character-set number; 0 when the system knows none.
std::uint32_t CodePageOfCharset(std::uint32_t charset) noexcept;
// The default ANSI code page of the first installed locale whose English
// language name equals `name` ignoring case and that has an abbreviated
// language name; 0 when there is none.
std::uint32_t CodePageOfEnglishLanguage(std::wstring_view name);

}  // namespace zelvic::platform
