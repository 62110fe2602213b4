#include "platform/text_compare.h"

#include <windows.h>

namespace zelvic::platform {

int CompareTextIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
  const int r = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                               static_cast<int>(b.size()));
  // 0 means the call failed (no locale data): fall back to an ordinal order
  // so that sorting stays a strict weak order.
  if (r == 0) return a.compare(b);
  return r - CSTR_EQUAL;
}

bool SameTextIgnoreCaseSystemLocale(std::wstring_view a, std::wstring_view b) noexcept {
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::string ToAnsiCodePage(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromAnsiCodePage(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

}  // namespace zelvic::platform
