// The dates of the module records and the report's modules table: the
// date-time scale the records keep and the two outside forms that reach it.
#pragma once

#include <cstdint>
#include <string>

namespace zelvic::diag {

// Days since 1899-12-30; the fraction is the time of day.
using TDateTime = double;

// "yyyy-mm-dd hh:nn:ss".
std::wstring FormatModuleDateTime(TDateTime value);
// A packed file date-time (date in the high word, time in the low word) as
// a date-time; 0 for an impossible date.
TDateTime PackedFileDateToDateTime(std::uint32_t packed) noexcept;

}  // namespace zelvic::diag
