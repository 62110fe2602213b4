// Text encodings the facility needs without the platform: UTF-8 and UTF-16
// (options texts with their byte-order marks, passwords, debug-information
// strings) and Base64 (stored bytes shown as text).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelvic::diag {

// Appends the UTF-8 form of UTF-16 text; an unpaired surrogate is written as
// the code unit it is.
void AppendUtf8(std::vector<std::uint8_t>& out, std::wstring_view text);
std::vector<std::uint8_t> Utf8Bytes(std::wstring_view text);
// UTF-16 text of UTF-8 bytes; a malformed sequence gives U+FFFD per byte.
std::wstring DecodeUtf8(std::span<const std::uint8_t> bytes);
// Only well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF): false, with `out` undefined, for anything else. Callers fall
// back to another code page then.
bool DecodeUtf8Strict(std::string_view bytes, std::wstring& out);
bool IsCleanUtf8(std::span<const std::uint8_t> bytes) noexcept;

// UTF-16 code units from bytes in either byte order; an odd last byte is
// dropped. Surrogates pass through as they are.
std::wstring DecodeUtf16(std::span<const std::uint8_t> bytes, bool big_endian);
void AppendUtf16LE(std::vector<std::uint8_t>& out, std::wstring_view text);

// Standard Base64 with "=" padding.
std::wstring Base64Encode(std::span<const std::uint8_t> bytes);

// The byte-order mark a text's bytes begin with.
enum class TByteOrderMark : std::uint8_t { None, Utf8, Utf16LE, Utf16BE };
TByteOrderMark DetectByteOrderMark(std::span<const std::uint8_t> bytes) noexcept;
// The bytes after the mark, when they begin with `mark`; else all of them.
std::span<const std::uint8_t> SkipByteOrderMark(std::span<const std::uint8_t> bytes, TByteOrderMark mark) noexcept;

}  // namespace zelvic::diag
