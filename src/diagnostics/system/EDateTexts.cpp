#include "diagnostics/system/EDateTexts.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "runtime/civil_date.h"

namespace zelvic::diag {
namespace {

constexpr const wchar_t* kDays[7] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
constexpr const wchar_t* kMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                        L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

struct TParts {
  rt::TCivilDate Date;
  std::int64_t Days;  // since 1899-12-30
  int Hour, Minute, Second;
};

// Rounded to the millisecond first, as the date-time scale is read
// everywhere else: 0.9999999 of a day is the next midnight, not 23:59:59.
TParts Decode(double value) {
  const auto ms = static_cast<std::int64_t>(std::llround(value * 86400000.0));
  std::int64_t days = ms / 86400000;
  std::int64_t rest = ms % 86400000;
  if (rest < 0) {
    rest += 86400000;
    --days;
  }
  const auto seconds = static_cast<int>(rest / 1000);
  return {rt::CivilFromDays(days - rt::kUnixEpochDateTime), days, seconds / 3600, seconds / 60 % 60, seconds % 60};
}

}  // namespace

std::wstring FormatExceptionDate(double local, std::int32_t bias_minutes) {
  const TParts p = Decode(local);
  // Day 0 (1899-12-30) was a Saturday.
  const auto weekday = static_cast<int>(((p.Days % 7) + 7 + 6) % 7);
  const int offset = -bias_minutes;
  const int magnitude = std::abs(offset);
  wchar_t text[64];
  std::swprintf(text, 64, L"%ls, %u %ls %d %02d:%02d:%02d %lc%02d%02d", kDays[weekday], p.Date.Day,
                kMonths[p.Date.Month - 1], p.Date.Year, p.Hour, p.Minute, p.Second, offset < 0 ? L'-' : L'+',
                magnitude / 60, magnitude % 60);
  return text;
}

std::wstring FormatIsoDateTime(double value) {
  const TParts p = Decode(value);
  wchar_t text[40];
  std::swprintf(text, 40, L"%04d-%02u-%02uT%02d:%02d:%02dZ", p.Date.Year, p.Date.Month, p.Date.Day, p.Hour, p.Minute,
                p.Second);
  return text;
}

std::wstring FormatFileNameDate(double value) {
  const TParts p = Decode(value);
  wchar_t text[40];
  std::swprintf(text, 40, L"%04d%02u%02u%02d%02d%02d", p.Date.Year, p.Date.Month, p.Date.Day, p.Hour, p.Minute, p.Second);
  return text;
}

}  // namespace zelvic::diag
