#include "diagnostics/system/ESpecialFolders.h"

#include <cstring>

#include "diagnostics/util/EDebugOutput.h"
#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {
namespace {

struct TCsidlName {
  const wchar_t* Name;
  int Value;
};
constexpr TCsidlName kCsidlNames[] = {
#define VL_CSIDL(name, value) {L## #name, value},
#define VL_FOLDERID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#include "diagnostics/system/ESpecialFolderNames.inc"
#undef VL_FOLDERID
#undef VL_CSIDL
};

struct TKnownFolderName {
  const wchar_t* Name;
  platform::TGuidValue Id;
};
constexpr TKnownFolderName kKnownFolderNames[] = {
#define VL_CSIDL(name, value)
#define VL_FOLDERID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  {L## #name, {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}},
#include "diagnostics/system/ESpecialFolderNames.inc"
#undef VL_FOLDERID
#undef VL_CSIDL
};

bool IsNullGuid(const platform::TGuidValue& id) noexcept {
  return std::memcmp(&id, &kNoKnownFolder, sizeof(id)) == 0;
}

}  // namespace

std::wstring GetSpecialFolder(int csidl, const platform::TGuidValue& known_folder, platform::TSystemFacts& facts) {
  std::wstring path;
  if (!IsNullGuid(known_folder)) {
    platform::TKnownFolderAnswer answer = facts.KnownFolderPath(known_folder);
    if (answer.Available) {
      // The query answers with an HRESULT and leaves the thread's last error
      // alone: the message must come from the HRESULT.
      if (answer.Result < 0) {
        DumpString(L"SHGetKnownFolderPath failed: " + facts.ErrorText(static_cast<std::uint32_t>(answer.Result)));
      } else {
        path = std::move(answer.Path);
      }
    }
  }
  if (path.empty() && csidl >= 0) path = facts.CsidlFolderPath(csidl);
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring GetDocumentsFolder(platform::TSystemFacts& facts) {
  return GetSpecialFolder(5, *KnownFolderByName(L"Documents"), facts);
}

std::wstring GetAppDataFolder(platform::TSystemFacts& facts) {
  return GetSpecialFolder(26, *KnownFolderByName(L"RoamingAppData"), facts);
}

std::wstring GetFacilityDataFolder(platform::TSystemFacts& facts) {
  const std::wstring app_data = GetAppDataFolder(facts);
  if (app_data.empty()) return {};
  return app_data + L"Tessaro s.a.s\\VarnelLog\\";
}

std::wstring GetTempFolder(platform::TSystemFacts& facts) {
  std::wstring path = facts.TempPath();
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

std::optional<int> CsidlByName(std::wstring_view name) noexcept {
  for (const TCsidlName& row : kCsidlNames) {
    if (EqualIgnoringCase(row.Name, name)) return row.Value;
  }
  return std::nullopt;
}

std::optional<platform::TGuidValue> KnownFolderByName(std::wstring_view name) noexcept {
  for (const TKnownFolderName& row : kKnownFolderNames) {
    if (EqualIgnoringCase(row.Name, name)) return row.Id;
  }
  return std::nullopt;
}

}  // namespace zelvic::diag
