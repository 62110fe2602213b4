#include "diagnostics/util/EEncrypt.h"

#include <zlib.h>

#include <cstring>

namespace zelvic::diag {
namespace {

constexpr std::uint32_t Rotl(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

// Chaining value that starts every string. The reader and the writer are
// both this code, so the pattern only has to be fixed, not secret.
constexpr std::uint8_t kChainingPattern[8] = {0x56, 0x4C, 0x2D, 0x43, 0x42, 0x43, 0x37, 0x31};
constexpr std::uint32_t kDelta = 0x9E3779B9;

std::uint32_t LoadBE(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

void StoreBE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

TMD5Digest MD5(std::span<const std::uint8_t> bytes) noexcept {
  static constexpr std::uint32_t kK[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
      0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
      0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
      0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
      0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
      0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
      0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
  static constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                     5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                     4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                     6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  const std::uint64_t bit_length = static_cast<std::uint64_t>(bytes.size()) * 8;
  // Message blocks, then the padding: 0x80, zeros, and the length in bits.
  const std::size_t total = (bytes.size() + 8) / 64 * 64 + 64;
  for (std::size_t at = 0; at < total; at += 64) {
    std::uint8_t block[64];
    for (std::size_t i = 0; i < 64; ++i) {
      const std::size_t p = at + i;
      if (p < bytes.size()) {
        block[i] = bytes[p];
      } else if (p == bytes.size()) {
        block[i] = 0x80;
      } else if (p >= total - 8) {
        block[i] = static_cast<std::uint8_t>(bit_length >> (8 * (p - (total - 8))));
      } else {
        block[i] = 0;
      }
    }
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
      m[i] = static_cast<std::uint32_t>(block[4 * i]) | static_cast<std::uint32_t>(block[4 * i + 1]) << 8 |
             static_cast<std::uint32_t>(block[4 * i + 2]) << 16 | static_cast<std::uint32_t>(block[4 * i + 3]) << 24;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      const std::uint32_t t = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + kK[i] + m[g], kShift[i]);
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
  }
  TMD5Digest out{};
  for (int i = 0; i < 16; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(h[i / 4] >> (8 * (i % 4)));
  return out;
}

TStringCipher::TStringCipher() noexcept : key_{}, password_crc_(1) {
  // An impossible CRC forces the first derivation (the empty password's is 0).
  SetPassword({});
}

void TStringCipher::SetPassword(std::span<const std::uint8_t> password_utf8) noexcept {
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, password_utf8.empty() ? Z_NULL : password_utf8.data(), static_cast<uInt>(password_utf8.size())));
  if (crc == password_crc_) return;
  password_crc_ = crc;
  const TMD5Digest digest = MD5(password_utf8);
  for (int i = 0; i < 4; ++i) key_[i] = LoadBE(&digest[static_cast<std::size_t>(4 * i)]);
}

void TStringCipher::EncryptBlock(std::uint8_t (&block)[8]) const noexcept {
  std::uint32_t v0 = LoadBE(block), v1 = LoadBE(block + 4), sum = 0;
  for (int round = 0; round < 32; ++round) {
    sum += kDelta;
    v0 += (v1 << 4) + (key_[0] ^ v1) + ((v1 >> 5) ^ sum) + key_[1];
    v1 += (v0 << 4) + (key_[2] ^ v0) + ((v0 >> 5) ^ sum) + key_[3];
  }
  StoreBE(block, v0);
  StoreBE(block + 4, v1);
}

void TStringCipher::DecryptBlock(std::uint8_t (&block)[8]) const noexcept {
  std::uint32_t v0 = LoadBE(block), v1 = LoadBE(block + 4), sum = 0xC6EF3720;
  for (int round = 0; round < 32; ++round) {
    v1 -= (v0 << 4) + (key_[2] ^ v0) + ((v0 >> 5) ^ sum) + key_[3];
    v0 -= (v1 << 4) + (key_[0] ^ v1) + ((v1 >> 5) ^ sum) + key_[1];
    sum -= kDelta;
  }
  StoreBE(block, v0);
  StoreBE(block + 4, v1);
}

void TStringCipher::Encipher(std::span<std::uint8_t> bytes) const noexcept {
  std::uint8_t chain[8];
  std::memcpy(chain, kChainingPattern, 8);
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint8_t block[8];
    for (int i = 0; i < 8; ++i) block[i] = bytes[at + static_cast<std::size_t>(i)] ^ chain[i];
    EncryptBlock(block);
    std::memcpy(&bytes[at], block, 8);
    std::memcpy(chain, block, 8);
  }
  if (at < bytes.size()) {
    EncryptBlock(chain);
    for (std::size_t i = 0; at + i < bytes.size(); ++i) bytes[at + i] ^= chain[i];
  }
}

void TStringCipher::Decipher(std::span<std::uint8_t> bytes) const noexcept {
  std::uint8_t chain[8];
  std::memcpy(chain, kChainingPattern, 8);
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint8_t block[8];
    std::memcpy(block, &bytes[at], 8);
    DecryptBlock(block);
    for (int i = 0; i < 8; ++i) block[i] ^= chain[i];
    std::memcpy(chain, &bytes[at], 8);
    std::memcpy(&bytes[at], block, 8);
  }
  if (at < bytes.size()) {
    EncryptBlock(chain);
    for (std::size_t i = 0; at + i < bytes.size(); ++i) bytes[at + i] ^= chain[i];
  }
}

}  // namespace zelvic::diag
