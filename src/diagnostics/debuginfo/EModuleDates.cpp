#include "diagnostics/debuginfo/EModuleDates.h"

#include <cmath>
#include <cstdio>

#include "runtime/civil_date.h"

namespace zelvic::diag {

std::wstring FormatModuleDateTime(TDateTime value) {
  double day = std::floor(value);
  long long ms = std::llround(std::fabs(value - day) * 86400000.0);
  if (ms >= 86400000LL) {
    ms -= 86400000LL;
    day += 1;
  }
  const rt::TCivilDate date = rt::CivilFromDays(static_cast<std::int64_t>(day) - rt::kUnixEpochDateTime);
  const long long seconds = ms / 1000;
  wchar_t buffer[40];
  std::swprintf(buffer, 40, L"%04d-%02u-%02u %02lld:%02lld:%02lld", date.Year, date.Month, date.Day, seconds / 3600,
                seconds / 60 % 60, seconds % 60);
  return buffer;
}


TDateTime PackedFileDateToDateTime(std::uint32_t packed) noexcept {
  const auto day = static_cast<std::uint32_t>(packed >> 16 & 0x1F);
  const auto month = static_cast<std::uint32_t>(packed >> 21 & 0x0F);
  const int year = static_cast<int>(packed >> 25) + 1980;
  const int seconds = static_cast<int>(packed & 0x1F) * 2;
  const int minutes = static_cast<int>(packed >> 5 & 0x3F);
  const int hours = static_cast<int>(packed >> 11 & 0x1F);
  if (day < 1 || day > rt::DaysInMonth(year, month) || hours > 23 || minutes > 59 || seconds > 59) return 0;
  return static_cast<double>(rt::DaysFromCivil(year, month, day) + rt::kUnixEpochDateTime) +
         (hours * 3600 + minutes * 60 + seconds) / 86400.0;
}

}  // namespace zelvic::diag
