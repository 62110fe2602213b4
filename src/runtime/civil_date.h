// Proleptic Gregorian calendar arithmetic and the date-time scale (days since
// 1899-12-30, the fraction the time of day). Exact integer arithmetic, valid
// far beyond the 32-bit seconds range, and constexpr: the fragment helpers
// format dates on their hot path.
#pragma once

#include <cstdint>

namespace zelvic::rt {

// The date-time value of 1970-01-01 00:00.
inline constexpr std::int32_t kUnixEpochDateTime = 25569;
inline constexpr std::int32_t kSecondsPerDay = 86400;

struct TCivilDate {
  std::int32_t Year;
  std::uint32_t Month;  // 1..12
  std::uint32_t Day;    // 1..31
};

constexpr bool IsLeapYear(std::int64_t year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// 0 for a month outside 1..12.
constexpr std::uint32_t DaysInMonth(std::int64_t year, std::uint32_t month) noexcept {
  constexpr std::uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The calendar works in 400-year eras of 146097 days that start on 1 March,
// so the leap day falls at the end of each year and needs no special case.
constexpr TCivilDate CivilFromDays(std::int64_t days_since_1970) noexcept {
  const std::int64_t z = days_since_1970 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<std::uint32_t>(z - era * 146097);
  const std::uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint32_t mp = (5 * doy + 2) / 153;
  const std::uint32_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::uint32_t m = mp < 10 ? mp + 3 : mp - 9;
  const auto y = static_cast<std::int32_t>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
  return {y, m, d};
}

// The day count from 1970-01-01 of a date; month and day are not checked.
constexpr std::int64_t DaysFromCivil(std::int64_t year, std::uint32_t month, std::uint32_t day) noexcept {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<std::uint32_t>(y - era * 400);
  const std::uint32_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The date-time value of a count of seconds since 1970-01-01 00:00.
constexpr double UnixSecondsToDateTime(double seconds) noexcept {
  return seconds / kSecondsPerDay + kUnixEpochDateTime;
}

}  // namespace zelvic::rt
