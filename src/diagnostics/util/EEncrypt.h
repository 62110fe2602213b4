// The string cipher that protects debug-information strings and the
// container's password check: a 64-bit block cipher of the TEA family in CBC
// mode, keyed by the MD5 digest of the password's UTF-8 form.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zelvic::diag {

using TMD5Digest = std::array<std::uint8_t, 16>;
TMD5Digest MD5(std::span<const std::uint8_t> bytes) noexcept;

class TStringCipher {
 public:
  TStringCipher() noexcept;

  // Sets the password (UTF-8 bytes); the key is derived again only when the
  // password's CRC-32 differs from the one in force.
  void SetPassword(std::span<const std::uint8_t> password_utf8) noexcept;

  // One 8-byte block, as two big-endian words.
  void EncryptBlock(std::uint8_t (&block)[8]) const noexcept;
  void DecryptBlock(std::uint8_t (&block)[8]) const noexcept;

  // A whole string in place, CBC from the fixed chaining value; a final
  // partial block is XORed with the enciphered chaining value.
  void Encipher(std::span<std::uint8_t> bytes) const noexcept;
  void Decipher(std::span<std::uint8_t> bytes) const noexcept;

 private:
  std::uint32_t key_[4];
  std::uint32_t password_crc_;
};

}  // namespace zelvic::diag
