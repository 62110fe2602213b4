// The outside forms of a date-time (days since 1899-12-30) in reports: the
// mail-header form with the local offset, and the UTC form of the XML report.
// Platform-free: the time-zone bias comes from the caller.
#pragma once

#include <cstdint>
#include <string>

namespace zelvic::diag {

// "Wed, 9 Dec 2026 01:51:51 +0100": English day and month names, and the
// local offset from UTC (the negated bias) as a sign and four digits.
// `bias_minutes` is what is added to local time to get UTC.
std::wstring FormatExceptionDate(double local, std::int32_t bias_minutes);
// "2015-03-01T12:00:00Z" of the value as it stands (no conversion).
std::wstring FormatIsoDateTime(double value);
// "20261209015151": the date-time as work-file names carry it.
std::wstring FormatFileNameDate(double value);
// The UTC date-time of a local one.
constexpr double LocalToUtc(double local, std::int32_t bias_minutes) noexcept {
  return local + bias_minutes / 1440.0;
}

}  // namespace zelvic::diag
