// The helpers behind the fragment exports: date and number texts, truncation,
// text search and the floating-point remainder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvic::rt {
struct TFormatSettings;
}

namespace zelvic::fragments {

// Fragment library state, valid from the end of the library's start-up until
// its shut-down.
extern const rt::TFormatSettings* EnUsFormatSettings;
using TModuloRoutine = double (*)(double x, double y);
extern TModuloRoutine ModuloRoutine;

// Days since 1899-12-30 00:00 of a count of seconds since 1970-01-01 00:00.
double SecondsToDateTime(std::int32_t seconds) noexcept;

// Texts in the calling thread's result buffer, valid until the same thread's
// next call of either; an unknown mode gives a constant empty text.
const wchar_t* FormatTimeText(std::int32_t seconds, std::int32_t mode) noexcept;
const wchar_t* FormatNumberText(double value, std::int32_t digits) noexcept;

std::int32_t TruncateToInt(double value) noexcept;
std::int32_t FindText(const wchar_t* text, const wchar_t* part) noexcept;
double FloorToWhole(double value) noexcept;
double CeilToWhole(double value) noexcept;
double FloatModulo(double x, double y) noexcept;

// The text builders behind the two formatters, writing into `out` (at least
// kMaxHelperText characters) and returning the length written; the text is
// zero-terminated.
inline constexpr std::size_t kMaxHelperText = 64;
std::size_t WriteTimeText(wchar_t* out, std::int32_t seconds, std::int32_t mode, wchar_t time_separator) noexcept;
std::size_t WriteNumberText(wchar_t* out, double value, std::int32_t digits, wchar_t decimal_separator) noexcept;

}  // namespace zelvic::fragments
