// The platform's special folders, by shell folder number or known-folder
// identifier (and by their names, for placeholders), and the facility's own
// folders derived from them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/system_facts.h"

namespace zelvic::diag {

inline constexpr int kNoCsidl = -1;
inline constexpr platform::TGuidValue kNoKnownFolder{};

// The folder with a trailing "\": the known folder when one is given and the
// platform has it, else the numbered shell folder when `csidl` is 0 or more;
// empty when neither answers. A failed known-folder query is reported on the
// internal debug output.
std::wstring GetSpecialFolder(int csidl, const platform::TGuidValue& known_folder,
                              platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetDocumentsFolder(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetAppDataFolder(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The facility's per-user folder under the roaming application data, with a
// trailing "\"; empty when there is no application-data folder (a bare
// relative name would land under whatever the host's current folder is).
std::wstring GetFacilityDataFolder(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The temporary folder with a trailing "\"; empty on failure.
std::wstring GetTempFolder(platform::TSystemFacts& facts = platform::LiveSystemFacts());

// The number of a CSIDL name without its prefix ("APPDATA"), any case.
std::optional<int> CsidlByName(std::wstring_view name) noexcept;
// The identifier of a known-folder name without its prefix ("Documents"),
// any case.
std::optional<platform::TGuidValue> KnownFolderByName(std::wstring_view name) noexcept;

}  // namespace zelvic::diag
