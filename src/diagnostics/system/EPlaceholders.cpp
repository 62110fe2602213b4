#include "diagnostics/system/EPlaceholders.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "diagnostics/config/ENameValues.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/system/ESpecialFolders.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {
namespace {

bool IsNameChar(wchar_t c) noexcept {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_';
}

std::wstring WithoutTrailingDelimiter(std::wstring path) {
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// A module's file name in the normalised long form that module records use.
std::wstring ModuleName(const std::wstring& loader_name) {
  return NormaliseModuleFileName(loader_name, platform::SystemModulePlatform());
}

std::wstring Digits(unsigned value, int width) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%0*u", width, value);
  return text;
}

bool HasPrefix(std::wstring_view text, std::wstring_view prefix) noexcept {
  return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

std::wstring ExpandEnvVarsEx(const std::wstring& text, const TGetEnvVariableMethod& lookup) {
  if (!lookup) throw rt::EAssertionFailed(L"Assertion failure (ExpandEnvVarsEx): no lookup");
  std::wstring result = text;
  std::size_t i = 0;
  while (i < result.size()) {
    if (result[i] != L'%') {
      ++i;
      continue;
    }
    const std::size_t start = i;
    std::size_t j = i + 1;
    while (j + 1 < result.size() && IsNameChar(result[j])) ++j;
    if (j < result.size() && result[j] == L'%') {
      const std::wstring value = lookup(result.substr(start + 1, j - start - 1));
      result.replace(start, j - start + 1, value);
      i = start + value.size();
    } else {
      i = j + 1;
    }
  }
  return result;
}

std::wstring ExpandEnvVars(const std::wstring& text, TGetEnvVariableFunc lookup) {
  if (lookup == nullptr) {
    return ExpandEnvVarsEx(text, [](const std::wstring& name) { return GetEnvVariableDefault(name); });
  }
  return ExpandEnvVarsEx(text, lookup);
}

std::wstring GetEnvVariableDefault(const std::wstring& name, platform::TSystemFacts& facts) {
  std::wstring value = GetSystemVariable(name, facts);
  if (value.empty() && !name.empty()) value = facts.EnvironmentValue(name);
  return value;
}

std::wstring GetSystemVariable(const std::wstring& name, platform::TSystemFacts& facts) {
  auto is = [&name](std::wstring_view fixed) { return EqualIgnoringCase(name, fixed); };
  if (is(L"_ThisModulePath")) return WithoutTrailingDelimiter(ExtractFileDirPart(ModuleName(facts.ThisModuleFileName())));
  if (is(L"_ThisModuleName")) return ExtractFileNamePart(ModuleName(facts.ThisModuleFileName()));
  if (is(L"_MainModulePath")) return WithoutTrailingDelimiter(ExtractFileDirPart(ModuleName(facts.MainModuleFileName())));
  if (is(L"_MainModuleName")) return ExtractFileNamePart(ModuleName(facts.MainModuleFileName()));
  if (is(L"Random")) return std::to_wstring(facts.Random());
  if (is(L"Date")) return facts.LocalNow().ShortDate;
  if (is(L"Time")) return facts.LocalNow().LongTime;
  if (is(L"DateFmt")) {
    const platform::TLocalNow now = facts.LocalNow();
    return Digits(now.Year, 4) + Digits(now.Month, 2) + Digits(now.Day, 2);
  }
  if (is(L"TimeFmt")) {
    const platform::TLocalNow now = facts.LocalNow();
    return Digits(now.Hour, 2) + Digits(now.Minute, 2) + Digits(now.Second, 2);
  }
  if (is(L"CD")) return WithoutTrailingDelimiter(facts.CurrentDirectory());
  if (is(L"_LineBreak")) return L"\r\n";
  constexpr std::wstring_view kCsidl = L"CSIDL_";
  if (HasPrefix(name, kCsidl)) {
    const std::wstring_view rest = std::wstring_view(name).substr(kCsidl.size());
    const std::optional<std::int64_t> number = Int64FromText(rest);
    if (number && *number >= 0 && *number <= INT32_MAX) {
      return GetSpecialFolder(static_cast<int>(*number), kNoKnownFolder, facts);
    }
    const std::optional<int> named = CsidlByName(rest);
    return named ? GetSpecialFolder(*named, kNoKnownFolder, facts) : std::wstring();
  }
  constexpr std::wstring_view kFolderId = L"FOLDERID_";
  if (HasPrefix(name, kFolderId)) {
    const std::wstring_view rest = std::wstring_view(name).substr(kFolderId.size());
    std::optional<platform::TGuidValue> id;
    std::array<std::uint8_t, 16> bytes{};
    if (ParseGuid(rest, bytes)) {
      platform::TGuidValue parsed;
      static_assert(sizeof(parsed) == sizeof(bytes));
      std::memcpy(&parsed, bytes.data(), sizeof(parsed));
      id = parsed;
    } else {
      id = KnownFolderByName(rest);
    }
    return id ? GetSpecialFolder(kNoCsidl, *id, facts) : std::wstring();
  }
  return {};
}

}  // namespace zelvic::diag
