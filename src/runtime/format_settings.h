// Number and date format records: the process default (the user's locale)
// and records built for a named locale.
#pragma once

#include <array>
#include <string>

namespace zelvic::rt {

struct TFormatSettings {
  wchar_t DecimalSeparator = L'.';
  wchar_t ThousandSeparator = L',';
  wchar_t DateSeparator = L'/';
  wchar_t TimeSeparator = L':';
  std::array<std::wstring, 12> ShortMonthNames;
  std::array<std::wstring, 12> LongMonthNames;
  std::array<std::wstring, 7> ShortDayNames;  // Sunday first
  std::array<std::wstring, 7> LongDayNames;
};

// A record for a locale name such as L"en-US". A name the system does not
// know gives the invariant record (the defaults above, English names).
TFormatSettings FormatSettingsForLocale(const wchar_t* locale_name);

// The process default, read from the user's locale by the runtime's start-up
// and valid until its shut-down.
const TFormatSettings& DefaultFormatSettings() noexcept;
void InitDefaultFormatSettings();
void DoneDefaultFormatSettings() noexcept;

}  // namespace zelvic::rt
