// Hexadecimal texts as reports print them.
#pragma once

#include <cstdint>
#include <string>

namespace zelvic::rt {

// Eight upper-case hexadecimal digits: the form of every code address.
inline std::wstring Hex8(std::uint32_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring s(8, L'0');
  for (int i = 7; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return s;
}

}  // namespace zelvic::rt
