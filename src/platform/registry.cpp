#include "platform/registry.h"

#include "platform/dynamic_library.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

namespace zelvic::platform {

namespace {

// Registry paths are kept with a leading "\" (absolute under the root); the
// API wants them relative.
std::wstring Relative(const std::wstring& path) {
  std::size_t i = 0;
  while (i < path.size() && path[i] == L'\\') ++i;
  return path.substr(i);
}

// Opened for reading, never created; null when it cannot be opened.
HKEY OpenForReading(HKEY root, const std::wstring& key_path, REGSAM access) {
  HKEY key = nullptr;
  return RegOpenKeyExW(root, Relative(key_path).c_str(), 0, access, &key) == ERROR_SUCCESS ? key : nullptr;
}

HKEY RootKey(TRegistryRoot root) {
  return root == TRegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::optional<std::wstring> ReadText(HKEY root, const std::wstring& key_path, const wchar_t* value_name, REGSAM extra) {
  const HKEY key = OpenForReading(root, key_path, KEY_QUERY_VALUE | extra);
  if (key == nullptr) return std::nullopt;
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueExW(key, value_name, nullptr, &type, nullptr, &size);
  std::optional<std::wstring> result;
  if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
    rc = RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    if (rc == ERROR_SUCCESS) {
      std::wstring text(buf.data(), size / sizeof(wchar_t));
      if (!text.empty() && text.back() == L'\0') text.pop_back();
      result = std::move(text);
    }
  }
  RegCloseKey(key);
  return result;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadRegistryBytes(TRegistryRoot root, const std::wstring& key_path,
                                                           const std::wstring& value_name) {
  const HKEY key = OpenForReading(RootKey(root), key_path, KEY_QUERY_VALUE);
  if (key == nullptr) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> result;
  DWORD bytes = 0;
  for (int attempt = 0; attempt < 3 && !result; ++attempt) {
    if (RegQueryValueExW(key, value_name.c_str(), nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS) break;
    std::vector<std::uint8_t> data(bytes);
    const LONG rc = RegQueryValueExW(key, value_name.c_str(), nullptr, nullptr, data.data(), &bytes);
    if (rc == ERROR_SUCCESS) {
      data.resize(std::min<std::size_t>(data.size(), bytes));
      result = std::move(data);
    } else if (rc != ERROR_MORE_DATA) {
      break;
    }
  }
  RegCloseKey(key);
  return result;
}

std::wstring FirstRegistrySubkeyName(TRegistryRoot root, const std::wstring& key_path) {
  const HKEY key = OpenForReading(RootKey(root), key_path, KEY_ENUMERATE_SUB_KEYS);
  if (key == nullptr) return {};
  wchar_t name[256];
  DWORD chars = 256;
  std::wstring first;
  if (RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) first.assign(name, chars);
  RegCloseKey(key);
  return first;
}

std::optional<std::wstring> ReadUserRegistryText(const std::wstring& key_path, const std::wstring& value_name) {
  return ReadText(HKEY_CURRENT_USER, key_path, value_name.c_str(), 0);
}

std::uint32_t WriteUserRegistryText(const std::wstring& key_path, const std::wstring& value_name,
                                    const std::wstring& text) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, Relative(key_path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<std::uint32_t>(rc);
  rc = RegSetValueExW(key, value_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return static_cast<std::uint32_t>(rc);
}

std::uint32_t DeleteUserRegistryTree(const std::wstring& key_path) {
  return static_cast<std::uint32_t>(RegDeleteTreeW(HKEY_CURRENT_USER, Relative(key_path).c_str()));
}

std::optional<std::wstring> ReadProfileText(const std::wstring& file, const std::wstring& section,
                                            const std::wstring& key, std::size_t max_chars) {
  // A default that no stored value can equal tells "absent" from "empty".
  static constexpr wchar_t kAbsent[] = L"\x1\x2\x3<absent>";
  std::vector<wchar_t> buf(max_chars + 1, L'\0');
  const DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), kAbsent, buf.data(),
                                           static_cast<DWORD>(buf.size()), file.c_str());
  std::wstring text(buf.data(), n);
  if (text == kAbsent) return std::nullopt;
  return text;
}

std::uint32_t WriteProfileText(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                               const std::wstring& text) {
  if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), text.c_str(), file.c_str())) return GetLastError();
  return 0;
}

bool FileExists(const std::wstring& path) noexcept {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::uint32_t CreateFileWithBytes(const std::wstring& path, const void* bytes, std::size_t count, bool share_read) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, share_read ? FILE_SHARE_READ : 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD written = 0;
  const BOOL ok = count == 0 || WriteFile(h, bytes, static_cast<DWORD>(count), &written, nullptr);
  const DWORD err = ok ? 0 : GetLastError();
  CloseHandle(h);
  return err;
}

std::wstring SystemErrorText(std::uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring out(text != nullptr ? text : L"", n);
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ')) out.pop_back();
  return out;
}

std::wstring RegisteredOwner() {
  return ReadText(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", L"RegisteredOwner", 0)
      .value_or(std::wstring());
}

std::wstring RegisteredOrganization() {
  return ReadText(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", L"RegisteredOrganization",
                  0)
      .value_or(std::wstring());
}

std::wstring ComputerName() {
  wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(buf, &n)) return {};
  return std::wstring(buf, n);
}

std::wstring LoggedOnUserName() {
  wchar_t buf[257] = {};
  DWORD n = 257;
  if (!GetUserNameW(buf, &n) || n == 0) return {};
  return std::wstring(buf, n - 1);
}

std::wstring RoamingAppDataFolder() {
  // shell32 is looked up, not imported: importing it would load the shell
  // and the window system with every load of the library.
  const TLibrary shell(L"shell32.dll");
  const auto folder_path = shell.Find<decltype(&::SHGetFolderPathW)>("SHGetFolderPathW");
  wchar_t buf[MAX_PATH] = {};
  if (folder_path == nullptr || FAILED(folder_path(nullptr, CSIDL_APPDATA, nullptr, 0, buf))) return {};
  return buf;
}

std::uintptr_t LoadedModuleByName(const std::wstring& name) noexcept {
  if (name.empty()) return 0;
  return reinterpret_cast<std::uintptr_t>(GetModuleHandleW(name.c_str()));
}

}  // namespace zelvic::platform
