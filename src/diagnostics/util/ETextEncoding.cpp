#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {

std::wstring DecodeUtf8(std::span<const std::uint8_t> b) {
  std::wstring out;
  out.reserve(b.size());
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t c = b[i];
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      bool ok = i + len <= b.size();
      std::uint32_t v = c & (0x7F >> len);
      for (std::size_t k = 1; ok && k < len; ++k) {
        if ((b[i + k] & 0xC0) != 0x80) ok = false;
        v = (v << 6) | (b[i + k] & 0x3F);
      }
      if (ok) {
        cp = v;
      } else {
        len = 1;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
    i += len;
  }
  return out;
}

void AppendUtf8(std::vector<std::uint8_t>& out, std::wstring_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = static_cast<std::uint16_t>(text[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
      const std::uint32_t lo = static_cast<std::uint16_t>(text[i + 1]);
      if (lo >= 0xDC00 && lo < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    if (cp < 0x80) {
      out.push_back(static_cast<std::uint8_t>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<std::uint8_t>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<std::uint8_t>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<std::uint8_t>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    }
  }
}

bool DecodeUtf8Strict(std::string_view bytes, std::wstring& out) {
  out.clear();
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    std::uint32_t cp;
    std::size_t extra;
    std::uint32_t min;
    if (b0 < 0x80) {
      cp = b0, extra = 0, min = 0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F, extra = 1, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F, extra = 2, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07, extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (bytes.size() - i - 1 < extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
    i += extra + 1;
  }
  return true;
}

bool IsCleanUtf8(std::span<const std::uint8_t> bytes) noexcept {
  try {
    std::wstring ignored;
    return DecodeUtf8Strict(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), ignored);
  } catch (...) {
    return false;  // out of memory for the scratch text
  }
}

std::vector<std::uint8_t> Utf8Bytes(std::wstring_view text) {
  std::vector<std::uint8_t> out;
  AppendUtf8(out, text);
  return out;
}

std::wstring DecodeUtf16(std::span<const std::uint8_t> b, bool big_endian) {
  std::wstring out;
  out.reserve(b.size() / 2);
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
    const unsigned lo = big_endian ? b[i + 1] : b[i];
    const unsigned hi = big_endian ? b[i] : b[i + 1];
    out.push_back(static_cast<wchar_t>(lo | (hi << 8)));
  }
  return out;
}

void AppendUtf16LE(std::vector<std::uint8_t>& out, std::wstring_view text) {
  for (wchar_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(c) >> 8) & 0xFF));
  }
}

namespace {

struct TMarkBytes {
  TByteOrderMark Mark;
  std::uint8_t Length;
  std::uint8_t Bytes[3];
};
constexpr TMarkBytes kMarks[] = {
    {TByteOrderMark::Utf8, 3, {0xEF, 0xBB, 0xBF}},
    {TByteOrderMark::Utf16LE, 2, {0xFF, 0xFE, 0}},
    {TByteOrderMark::Utf16BE, 2, {0xFE, 0xFF, 0}},
};

bool BeginsWith(std::span<const std::uint8_t> b, const TMarkBytes& m) noexcept {
  if (b.size() < m.Length) return false;
  for (std::size_t i = 0; i < m.Length; ++i) {
    if (b[i] != m.Bytes[i]) return false;
  }
  return true;
}

}  // namespace

TByteOrderMark DetectByteOrderMark(std::span<const std::uint8_t> bytes) noexcept {
  for (const TMarkBytes& m : kMarks) {
    if (BeginsWith(bytes, m)) return m.Mark;
  }
  return TByteOrderMark::None;
}

std::span<const std::uint8_t> SkipByteOrderMark(std::span<const std::uint8_t> bytes, TByteOrderMark mark) noexcept {
  for (const TMarkBytes& m : kMarks) {
    if (m.Mark == mark && BeginsWith(bytes, m)) return bytes.subspan(m.Length);
  }
  return bytes;
}

std::wstring Base64Encode(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::wstring out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    for (int k = 3; k >= 0; --k) out.push_back(static_cast<wchar_t>(kAlphabet[(v >> (6 * k)) & 63]));
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 18) & 63]));
    out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 12) & 63]));
    out.push_back(rest == 2 ? static_cast<wchar_t>(kAlphabet[(v >> 6) & 63]) : L'=');
    out.push_back(L'=');
  }
  return out;
}

}  // namespace zelvic::diag
