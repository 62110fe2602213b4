#include "diagnostics/system/ESysTexts.h"

#include <cmath>
#include <cstdio>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/util/EStrings.h"
#include "runtime/format_settings.h"

namespace zelvic::diag {
namespace {

std::wstring Translated(const wchar_t* text) {
  const auto& hooks = OptionsHooks();
  return hooks.Translate ? hooks.Translate(text) : std::wstring(text);
}

// Fills the "%s" and "%d" of a (translated) pattern with `args` in order, so
// a translation may reword around them but not reorder them.
std::wstring Fill(const std::wstring& pattern, std::initializer_list<std::wstring> args) {
  std::wstring out;
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size() && (pattern[i + 1] == L's' || pattern[i + 1] == L'd') &&
        next != args.end()) {
      out += *next++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::wstring TwoDecimals(double value) {
  wchar_t text[64];
  std::swprintf(text, 64, L"%.2f", value);
  std::wstring out = text;
  for (wchar_t& c : out) {
    if (c == L'.') c = rt::DefaultFormatSettings().DecimalSeparator;
  }
  return out;
}

}  // namespace

std::wstring FormatSizeShort(std::uint64_t bytes) {
  constexpr std::uint64_t kKb = 1024, kMb = kKb * 1024, kGb = kMb * 1024, kTb = kGb * 1024;
  const std::wstring pattern = Translated(L"%s %s");
  if (bytes < kKb) return Fill(pattern, {std::to_wstring(bytes), Translated(L"b")});
  const double b = static_cast<double>(bytes);
  if (bytes < kMb) return Fill(pattern, {TwoDecimals(b / kKb), Translated(L"Kb")});
  if (bytes < kGb) return Fill(pattern, {TwoDecimals(b / kMb), Translated(L"Mb")});
  if (bytes < kTb) return Fill(pattern, {TwoDecimals(b / kGb), Translated(L"Gb")});
  return Fill(pattern, {TwoDecimals(b / kTb), Translated(L"Tb")});
}

std::wstring FormatSize(std::uint64_t bytes) { return std::to_wstring(bytes) + L" (" + FormatSizeShort(bytes) + L")"; }

std::wstring FormatDuration(double days) {
  const auto d = static_cast<std::int64_t>(days);
  const double h1 = (days - static_cast<double>(d)) * 24;
  const auto h = static_cast<std::int64_t>(h1);
  const double m1 = (h1 - static_cast<double>(h)) * 60;
  const auto m = static_cast<std::int64_t>(m1);
  const double s1 = (m1 - static_cast<double>(m)) * 60;
  const auto s = static_cast<std::int64_t>(s1);
  const std::wstring pattern = Translated(L"%d %s, ");
  std::wstring text;
  if (d > 0) text += Fill(pattern, {std::to_wstring(d), Translated(L"day(s)")});
  if (h > 0) text += Fill(pattern, {std::to_wstring(h), Translated(L"hour(s)")});
  if (m > 0) text += Fill(pattern, {std::to_wstring(m), Translated(L"minute(s)")});
  text += Fill(pattern, {std::to_wstring(s), Translated(L"second(s)")});
  text = Trim(text);
  if (!text.empty() && text.back() == L',') text.pop_back();
  return text;
}

std::wstring ApplicationParametersOf(std::wstring_view command_line) {
  const std::wstring line = Trim(command_line);
  if (line.empty()) return {};
  std::wstring_view rest = line;
  wchar_t separator = L' ';
  if (rest.front() == L'"') {
    rest.remove_prefix(1);
    separator = L'"';
  }
  const std::size_t at = rest.find(separator);
  if (at == std::wstring_view::npos) return {};
  return Trim(rest.substr(at + 1));
}

std::wstring PrivilegeLines(const std::vector<platform::TPrivilegeState>& privileges) {
  std::wstring text;
  for (const platform::TPrivilegeState& p : privileges) {
    std::wstring line = p.Name;
    if (line.size() < 31) line.resize(31, L' ');
    text += line;
    text += p.Enabled ? L" - ON\r\n" : L" - OFF\r\n";
  }
  return text;
}

std::wstring PaddedAddress(std::wstring_view address) {
  if (address.empty()) return L"000.000.000.000";
  std::wstring out;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = address.find(L'.', start);
    const std::wstring_view part = address.substr(start, dot == std::wstring_view::npos ? dot : dot - start);
    if (part.size() < 3) out.append(3 - part.size(), L'0');
    out += part;
    if (dot == std::wstring_view::npos) break;
    out += L'.';
    start = dot + 1;
  }
  return out;
}

TNetworkTexts NetworkTexts(const std::vector<platform::TAdapterFacts>& adapters) {
  TNetworkTexts t;
  constexpr std::wstring_view kJoin = L" - ";
  const std::wstring none = PaddedAddress(L"");
  for (const platform::TAdapterFacts& a : adapters) {
    std::wstring dhcp = a.Dhcp ? L"ON" : L"OFF";
    dhcp.resize(15, L' ');
    t.DHCP += dhcp;
    t.IP += PaddedAddress(a.IP);
    t.Mask += PaddedAddress(a.Mask);
    t.Gateway += PaddedAddress(a.Gateway);
    // A failed query still takes its place in both columns, or every later
    // adapter's servers would stand under the wrong adapter.
    const std::vector<std::wstring> dns = a.Dns.value_or(std::vector<std::wstring>{});
    t.DNS1 += dns.size() > 0 ? PaddedAddress(dns[0]) : none;
    t.DNS2 += dns.size() > 1 ? PaddedAddress(dns[1]) : none;
    for (std::wstring* list : {&t.IP, &t.Mask, &t.Gateway, &t.DNS1, &t.DNS2, &t.DHCP}) *list += kJoin;
  }
  for (std::wstring* list : {&t.IP, &t.Mask, &t.Gateway, &t.DNS1, &t.DNS2, &t.DHCP}) {
    if (list->size() >= kJoin.size()) list->resize(list->size() - kJoin.size());
  }
  return t;
}

std::uint8_t OSVersionIndex(const platform::TOSVersion& v, platform::TSystemFacts& facts) {
  constexpr std::uint32_t kPlatformNT = 2;
  constexpr std::uint8_t kWorkstation = 1;
  std::uint8_t index = 0;
  if (v.Known && v.PlatformId == kPlatformNT) {
    const bool workstation = v.ProductType == kWorkstation;
    if (v.Major == 5) {
      constexpr std::uint8_t kByMinor[] = {1, 2};
      if (v.Minor < 2) index = kByMinor[v.Minor];
      else if (v.Minor == 2) index = workstation ? 2 : 3;
    } else if (v.Major == 6 && v.Minor <= 3) {
      index = static_cast<std::uint8_t>(4 + 2 * v.Minor + (workstation ? 0 : 1));
    }
  }
  // A shim may report an older version than the system is; the version
  // check answers truly.
  constexpr struct {
    std::uint32_t Major, Minor;
    std::uint8_t Workstation, Server;
  } kChecks[] = {{6, 3, 10, 11}, {6, 2, 8, 9}, {6, 1, 6, 7}, {6, 0, 4, 5}};
  for (const auto& c : kChecks) {
    if (index > c.Server) break;
    if (index < c.Workstation) {
      const std::optional<bool> at_least = facts.VersionAtLeast(c.Major, c.Minor);
      if (!at_least) break;
      if (!*at_least) continue;
    }
    const std::optional<bool> workstation = facts.IsWorkstation();
    if (workstation) index = *workstation ? c.Workstation : c.Server;
    break;
  }
  return index;
}

std::wstring_view OSVersionName(std::uint8_t index) noexcept {
  constexpr std::wstring_view kNames[] = {L"",  L"2000", L"XP",   L"2003", L"Vista",   L"2008",
                                          L"7", L"2008 R2", L"8", L"2012", L"8.1", L"2012 R2"};
  return index < std::size(kNames) ? kNames[index] : std::wstring_view();
}

std::wstring OSTypeText(std::uint8_t index, const platform::TOSVersion& version, bool wow64) {
  std::wstring text = L"Microsoft Windows ";
  if (index == 0 || index > 11) {
    text += std::to_wstring(version.Major) + L"." + std::to_wstring(version.Minor);
  } else {
    text += OSVersionName(index);
  }
  return text + (wow64 ? L" (64 bit)" : L" (32 bit)");
}

std::wstring OSUpdateText(const platform::TOSVersion& version) {
  if (!version.Known) return Trim(version.CSDVersion);
  if (version.ServicePackMajor == 0) return {};
  std::wstring text = L"Service pack " + std::to_wstring(version.ServicePackMajor);
  if (version.ServicePackMinor != 0) text += L"." + std::to_wstring(version.ServicePackMinor);
  return text;
}

std::wstring ProcessorText(const std::wstring& name, const std::wstring& vendor, const std::wstring& identifier) {
  std::wstring text = Trim(name);
  if (text.empty()) {
    const std::wstring v = Trim(vendor), i = Trim(identifier);
    text = !v.empty() && !i.empty() ? v + L" - " + i : v;
  }
  return text.empty() ? L"Unknown CPU" : text;
}

}  // namespace zelvic::diag
