// The strings of the debug information: unit and routine names as stored
// (pieces with continuation, password and "." flags, enciphered), the rule
// that splits a stored routine name into class and method, and the password
// state they are read with. Reader and writer of the strings live together
// so that the round trip is pinned by one set of rules.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/debuginfo/EDebugVLFormat.h"
#include "diagnostics/util/EEncrypt.h"

namespace zelvic::diag {

// 8-bit text that is not clean UTF-8 is in the system code page; the platform
// layer plugs in the real conversion. Without one, bytes map to U+0000-U+00FF.
using TDebugVLCodePageDecoder = std::wstring (*)(std::span<const std::uint8_t> bytes);
void SetDebugVLCodePageDecoder(TDebugVLCodePageDecoder decoder) noexcept;

// The password state the strings are read with.
struct TDebugVLPassword {
  std::wstring Password;
  bool Valid = true;  // the container accepted the password (or has none)
};

// Reads the strings of one unit table; remembers whether any carried the
// password flag (whether or not it could be read).
class TDebugVLStringReader {
 public:
  TDebugVLStringReader(std::uint16_t version, const TDebugVLPassword& password);
  // One string with its continued pieces. A string enciphered with a
  // password that is not valid reads as "?" and its stored bytes in Base64.
  std::wstring Read(TByteReader& reader);
  bool HasEncryptedData() const noexcept { return has_encrypted_; }

 private:
  std::wstring Piece(TByteReader& reader, bool& continued);

  std::uint16_t version_;
  const TDebugVLPassword& password_;
  TStringCipher plain_;
  TStringCipher keyed_;
  bool has_encrypted_ = false;
};

// One string with its continued pieces, as the reader interprets it
// (without the unit and routine rules).
std::wstring ReadDebugVLString(TByteReader& reader, std::uint16_t version, const TDebugVLPassword& password,
                               bool& has_encrypted_data);

// One string (its continued pieces split at "." when longer than a header
// can say); raises std::length_error when a piece cannot be split small enough.
void WriteDebugVLString(std::vector<std::uint8_t>& out, const std::wstring& text, std::uint16_t version,
                        const TStringCipher& cipher, bool password_flag);

// Splits a qualified routine name into class and method (the method is the
// result), by the same rules the call-stack list uses to name routines, so a
// name read here splits the same way later.
std::wstring ParseClassName(const std::wstring& unit_name, const std::wstring& name, std::wstring& class_name);

}  // namespace zelvic::diag
