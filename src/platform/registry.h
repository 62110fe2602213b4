// The per-user settings places of the platform: registry keys under
// HKEY_CURRENT_USER and initialisation (profile) files, plus the registered
// owner and organisation that the system keeps in the registry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvic::platform {

enum class TRegistryRoot : std::uint8_t { CurrentUser, LocalMachine };

// The stored bytes of a value, whatever its type; nothing when the key or the
// value cannot be read. Never creates the key. A value that grows between
// the size question and the read is asked for again.
std::optional<std::vector<std::uint8_t>> ReadRegistryBytes(TRegistryRoot root, const std::wstring& key_path,
                                                           const std::wstring& value_name);
// The name of the key's first subkey; empty when it has none.
std::wstring FirstRegistrySubkeyName(TRegistryRoot root, const std::wstring& key_path);

// Text value `value_name` of the key HKEY_CURRENT_USER\`key_path`; nothing
// when the key or the value is missing or is not text. A trailing zero
// character of the stored data is not part of the text.
std::optional<std::wstring> ReadUserRegistryText(const std::wstring& key_path, const std::wstring& value_name);
// Creates the key when needed and stores a text value; 0 or the system error.
std::uint32_t WriteUserRegistryText(const std::wstring& key_path, const std::wstring& value_name,
                                    const std::wstring& text);
// Deletes the key and everything under it; 0 or the system error.
std::uint32_t DeleteUserRegistryTree(const std::wstring& key_path);

// Profile string of `section` and `key` in the file; nothing when absent.
// At most `max_chars` characters are read.
std::optional<std::wstring> ReadProfileText(const std::wstring& file, const std::wstring& section,
                                            const std::wstring& key, std::size_t max_chars);
// 0 or the system error.
std::uint32_t WriteProfileText(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                               const std::wstring& text);
bool FileExists(const std::wstring& path) noexcept;
// Creates the file holding only `bytes`; 0 or the system error. With
// `share_read` readers may open the file while it is written.
std::uint32_t CreateFileWithBytes(const std::wstring& path, const void* bytes, std::size_t count,
                                  bool share_read = false);

// The system's message text for an error code, without the trailing line
// break.
std::wstring SystemErrorText(std::uint32_t code);

// The registered owner and organisation of the installation (empty when the
// system keeps none).
std::wstring RegisteredOwner();
std::wstring RegisteredOrganization();
// The computer's NetBIOS name and the logged-on user's name.
std::wstring ComputerName();
std::wstring LoggedOnUserName();
// The user's roaming application-data folder, without trailing delimiter.
std::wstring RoamingAppDataFolder();
// Load address of a loaded module found by its file name, or 0.
std::uintptr_t LoadedModuleByName(const std::wstring& name) noexcept;

}  // namespace zelvic::platform
