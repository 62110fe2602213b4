// The text forms of system facts, built from plain values: sizes, durations,
// command-line parameters, privilege lines, network address columns, the
// operating system's version index and names. No platform calls: the
// values come from platform::TSystemFacts or from a test.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_facts.h"

namespace zelvic::diag {

// "1536 (1.50 Kb)".
std::wstring FormatSize(std::uint64_t bytes);
// "1023 b", "1.00 Kb", ... "Tb", two decimals with the locale's separator.
std::wstring FormatSizeShort(std::uint64_t bytes);
// "1 day(s), 12 hour(s), 0 second(s)": zero days, hours and minutes are left
// out, seconds never.
std::wstring FormatDuration(double days);

// Everything after the program's name (a quoted one skipped whole), trimmed.
std::wstring ApplicationParametersOf(std::wstring_view command_line);

// One line per privilege: the name padded to 31, " - ON" or " - OFF", CR LF.
std::wstring PrivilegeLines(const std::vector<platform::TPrivilegeState>& privileges);

// "192.168.1.10" as "192.168.001.010"; "" as "000.000.000.000".
std::wstring PaddedAddress(std::wstring_view address);

// One entry per adapter in each list, entries joined by " - ", columns lined
// up across the six lists.
struct TNetworkTexts {
  std::wstring IP, Mask, Gateway, DNS1, DNS2, DHCP;
};
TNetworkTexts NetworkTexts(const std::vector<platform::TAdapterFacts>& adapters);

// 0 (unknown) to 11 ("2012 R2"); the version query's answer refined by the
// platform's version check, which a compatibility shim cannot lower.
std::uint8_t OSVersionIndex(const platform::TOSVersion& version, platform::TSystemFacts& facts);
// "2000", "XP", ... by index; empty for 0 and beyond 11.
std::wstring_view OSVersionName(std::uint8_t index) noexcept;
// "Microsoft Windows 7 (32 bit)"; for index 0 the numeric version.
std::wstring OSTypeText(std::uint8_t index, const platform::TOSVersion& version, bool wow64);
// "Service pack 1" (".2" when the minor number is not 0); empty without one;
// the recorded text when the query failed.
std::wstring OSUpdateText(const platform::TOSVersion& version);

// The registry's processor name, else "vendor - identifier", else
// "Unknown CPU".
std::wstring ProcessorText(const std::wstring& name, const std::wstring& vendor, const std::wstring& identifier);

}  // namespace zelvic::diag
