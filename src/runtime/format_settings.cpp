#include "runtime/format_settings.h"

#include <windows.h>

#include <optional>

namespace zelvic::rt {
namespace {

// The user's locale is asked by LCID and a named one by name; both answer
// through one reader.
struct LocaleSource {
  const wchar_t* name;  // nullptr: the user's default locale

  std::wstring Text(LCTYPE type) const {
    wchar_t buf[128];
    const int n = name ? GetLocaleInfoEx(name, type, buf, 128) : GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf, 128);
    return n > 1 ? std::wstring(buf, static_cast<std::size_t>(n - 1)) : std::wstring();
  }
  wchar_t Char(LCTYPE type, wchar_t fallback) const {
    const std::wstring t = Text(type);
    return t.empty() ? fallback : t.front();
  }
};

constexpr const wchar_t* kEnglishShortMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                                    L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
constexpr const wchar_t* kEnglishLongMonths[12] = {L"January", L"February", L"March",     L"April",
                                                   L"May",     L"June",     L"July",      L"August",
                                                   L"September", L"October", L"November", L"December"};
constexpr const wchar_t* kEnglishShortDays[7] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
constexpr const wchar_t* kEnglishLongDays[7] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                                L"Thursday", L"Friday", L"Saturday"};

TFormatSettings Build(const LocaleSource& src) {
  TFormatSettings fs;
  fs.DecimalSeparator = src.Char(LOCALE_SDECIMAL, L'.');
  fs.ThousandSeparator = src.Char(LOCALE_STHOUSAND, L',');
  fs.DateSeparator = src.Char(LOCALE_SDATE, L'/');
  fs.TimeSeparator = src.Char(LOCALE_STIME, L':');
  for (int i = 0; i < 12; ++i) {
    fs.ShortMonthNames[i] = src.Text(LOCALE_SABBREVMONTHNAME1 + i);
    if (fs.ShortMonthNames[i].empty()) fs.ShortMonthNames[i] = kEnglishShortMonths[i];
    fs.LongMonthNames[i] = src.Text(LOCALE_SMONTHNAME1 + i);
    if (fs.LongMonthNames[i].empty()) fs.LongMonthNames[i] = kEnglishLongMonths[i];
  }
  // The system numbers days from Monday; the record keeps Sunday first.
  for (int i = 0; i < 7; ++i) {
    const int sys = (i + 6) % 7;
    fs.ShortDayNames[i] = src.Text(LOCALE_SABBREVDAYNAME1 + sys);
    if (fs.ShortDayNames[i].empty()) fs.ShortDayNames[i] = kEnglishShortDays[i];
    fs.LongDayNames[i] = src.Text(LOCALE_SDAYNAME1 + sys);
    if (fs.LongDayNames[i].empty()) fs.LongDayNames[i] = kEnglishLongDays[i];
  }
  return fs;
}

std::optional<TFormatSettings> g_default;
const TFormatSettings kInvariant = Build(LocaleSource{L""});

}  // namespace

TFormatSettings FormatSettingsForLocale(const wchar_t* locale_name) {
  return Build(LocaleSource{locale_name ? locale_name : L""});
}

const TFormatSettings& DefaultFormatSettings() noexcept { return g_default ? *g_default : kInvariant; }

void InitDefaultFormatSettings() { g_default = Build(LocaleSource{nullptr}); }

void DoneDefaultFormatSettings() noexcept { g_default.reset(); }

}  // namespace zelvic::rt
