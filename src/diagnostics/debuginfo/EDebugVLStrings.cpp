#include "diagnostics/debuginfo/EDebugVLStrings.h"

#include <stdexcept>

#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {

namespace {

TDebugVLCodePageDecoder g_code_page_decoder = nullptr;

std::wstring Widen8(std::span<const std::uint8_t> bytes) {
  if (g_code_page_decoder != nullptr) return g_code_page_decoder(bytes);
  std::wstring out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) out.push_back(static_cast<wchar_t>(b));
  return out;
}

std::wstring TextOf(std::span<const std::uint8_t> bytes) {
  bool high = false;
  for (std::uint8_t b : bytes) high |= b >= 0x80;
  if (high && IsCleanUtf8(bytes)) return DecodeUtf8(bytes);
  return Widen8(bytes);
}

}  // namespace

void SetDebugVLCodePageDecoder(TDebugVLCodePageDecoder decoder) noexcept { g_code_page_decoder = decoder; }

TDebugVLStringReader::TDebugVLStringReader(std::uint16_t version, const TDebugVLPassword& password)
    : version_(version), password_(password) {
  keyed_.SetPassword(Utf8Bytes(password.Password));
}

std::wstring TDebugVLStringReader::Piece(TByteReader& r, bool& continued) {
  std::uint32_t length;
  bool with_password = false, dot = false;
  if (!IsOldDebugVLVersion(version_)) {
    const std::uint16_t h = r.U16();
    length = h & kDebugVLStringMaxBytes;
    continued = (h & kDebugVLStringContinued) != 0;
    with_password = (h & kDebugVLStringPassword) != 0;
    dot = (h & kDebugVLStringDot) != 0;
  } else {
    const std::uint8_t h = r.U8();
    continued = version_ > 501 && (h & 0x80) != 0;
    length = version_ > 501 ? (h & 0x7Fu) : h;
  }
  const std::span<const std::uint8_t> stored = r.Bytes(length);
  std::wstring text;
  if (with_password) has_encrypted_ = true;
  if (with_password && !password_.Valid) {
    text = L"?" + Base64Encode(stored);
  } else {
    std::vector<std::uint8_t> bytes(stored.begin(), stored.end());
    if (version_ < 500) {
      for (auto& b : bytes) b ^= kDebugVLOldXor;
    } else {
      (with_password ? keyed_ : plain_).Decipher(bytes);
    }
    text = TextOf(bytes);
  }
  return dot ? L"." + text : text;
}

// Continued pieces are read in a loop: hostile data may chain thousands.
std::wstring TDebugVLStringReader::Read(TByteReader& r) {
  std::wstring out;
  bool continued = true;
  while (continued) {
    out += Piece(r, continued);
    if (continued) out += L'.';
  }
  return out;
}

std::wstring ReadDebugVLString(TByteReader& reader, std::uint16_t version, const TDebugVLPassword& password,
                               bool& has_encrypted_data) {
  TDebugVLStringReader strings(version, password);
  std::wstring text = strings.Read(reader);
  has_encrypted_data = strings.HasEncryptedData();
  return text;
}

void WriteDebugVLString(std::vector<std::uint8_t>& out, const std::wstring& text, std::uint16_t version,
                        const TStringCipher& cipher, bool password_flag) {
  std::wstring body = text;
  bool dot = false;
  if (!IsOldDebugVLVersion(version) && !body.empty() && body.front() == L'.') {
    dot = true;
    body.erase(0, 1);
  }
  const bool old = IsOldDebugVLVersion(version);
  const bool can_continue = !old || version > 501;
  const std::size_t max = !old ? kDebugVLStringMaxBytes : version > 501 ? 0x7F : 0xFF;

  // Pieces joined by "." on reading: split at dots, then merge greedily.
  std::vector<std::vector<std::uint8_t>> pieces;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = body.find(L'.', from);
    std::vector<std::uint8_t> seg = Utf8Bytes(body.substr(from, at == std::wstring::npos ? std::wstring::npos : at - from));
    if (!pieces.empty() && pieces.back().size() + 1 + seg.size() <= max) {
      pieces.back().push_back('.');
      pieces.back().insert(pieces.back().end(), seg.begin(), seg.end());
    } else {
      if (seg.size() > max || (!pieces.empty() && !can_continue)) {
        throw std::length_error("debug-information string too long for its header");
      }
      pieces.push_back(std::move(seg));
    }
    if (at == std::wstring::npos) break;
    from = at + 1;
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::vector<std::uint8_t>& p = pieces[i];
    const bool continued = i + 1 < pieces.size();
    if (version < 500) {
      for (auto& b : p) b ^= kDebugVLOldXor;
    } else {
      cipher.Encipher(p);
    }
    if (!old) {
      std::uint16_t h = static_cast<std::uint16_t>(p.size());
      if (continued) h |= kDebugVLStringContinued;
      if (password_flag) h |= kDebugVLStringPassword;
      if (dot && i == 0) h |= kDebugVLStringDot;
      PutDebugVLU16(out, h);
    } else {
      out.push_back(static_cast<std::uint8_t>(p.size() | (continued ? 0x80 : 0)));
    }
    out.insert(out.end(), p.begin(), p.end());
  }
}

std::wstring ParseClassName(const std::wstring& unit_name, const std::wstring& name, std::wstring& class_name) {
  std::wstring s = name;
  ReplaceAll(s, L"@", L"_");
  ReplaceAll(s, L"::", L".");
  ReplaceAll(s, L", ", L",");
  ReplaceAll(s, L" >", L">");
  class_name.clear();
  if (!unit_name.empty() && s.size() > unit_name.size() && s[unit_name.size()] == L'.' &&
      EqualIgnoringCase(s.substr(0, unit_name.size()), unit_name, TCaseFolding::Latin1)) {
    s = Trim(s.substr(unit_name.size() + 1));
  }
  if (s.empty() || s == L"." || s == L"..") return L"?";
  if (s.front() == L'.') {
    class_name = Trim(s.substr(1));
    return {};
  }
  if (s.back() == L'.') {
    class_name = Trim(s.substr(0, s.size() - 1));
    return {};
  }
  if (const std::size_t d = s.find(L".~"); d != std::wstring::npos) {
    s = s.substr(0, d + 1) + L"Destroy";
  } else if (const std::size_t last = s.rfind(L'.'); last != std::wstring::npos) {
    const std::size_t len = s.size() - last - 1;
    if (len > 0 && last >= len && s.compare(last - len, len, s, last + 1, len) == 0) {
      s = s.substr(0, last + 1) + L"Create";
    }
  }
  int depth = 0;
  std::size_t split = std::wstring::npos;
  for (std::size_t i = s.size(); i-- > 0;) {
    const wchar_t c = s[i];
    if (c == L')' || c == L'>' || c == L'}') ++depth;
    else if ((c == L'(' || c == L'<' || c == L'{') && depth > 0) --depth;
    else if (c == L'.' && depth == 0) {
      split = i;
      break;
    }
  }
  std::wstring method;
  if (split == std::wstring::npos) {
    method = s;
  } else {
    class_name = Trim(s.substr(0, split));
    method = Trim(s.substr(split + 1));
    if (method.empty()) {
      class_name.clear();
      method = s;
    }
  }
  if (class_name.empty() && !unit_name.empty() && unit_name != L"DllMain" && unit_name != L"dllmain" &&
      EqualIgnoringCase(method, unit_name, TCaseFolding::Latin1)) {
    method = L"Initialization";
  }
  return method;
}

}  // namespace zelvic::diag
