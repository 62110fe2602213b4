#include "platform/file_stream.h"

#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/text_compare.h"

namespace zelvic::platform {

TFileStream& TFileStream::operator=(TFileStream&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

std::uint32_t TFileStream::Open(const std::wstring& name, TFileOpenMode mode) noexcept {
  Close();
  DWORD access = GENERIC_READ, share = FILE_SHARE_READ, disposition = OPEN_EXISTING;
  switch (mode) {
    case TFileOpenMode::ReadShareAll:
      share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case TFileOpenMode::ReadWriteDenyWrite:
      access |= GENERIC_WRITE;
      break;
    case TFileOpenMode::CreateDenyWrite:
      access |= GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
  }
  HANDLE h = CreateFileW(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_OPEN_FAILED;
  }
  handle_ = h;
  return 0;
}

std::uint32_t TFileStream::ReadToEnd(std::vector<std::uint8_t>& out) {
  out.clear();
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  std::uint8_t chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle_, chunk, sizeof chunk, &got, nullptr)) return GetLastError();
    if (got == 0) return 0;
    out.insert(out.end(), chunk, chunk + got);
  }
}

std::uint32_t TFileStream::Rewind() noexcept {
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  return SetFilePointer(handle_, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ? GetLastError() : 0;
}

std::uint32_t TFileStream::Write(std::span<const std::uint8_t> bytes) noexcept {
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  while (!bytes.empty()) {
    DWORD put = 0;
    const DWORD ask = bytes.size() > 0x100000 ? 0x100000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(handle_, bytes.data(), ask, &put, nullptr)) return GetLastError();
    if (put == 0) return ERROR_WRITE_FAULT;
    bytes = bytes.subspan(put);
  }
  return 0;
}

std::uint32_t TFileStream::TruncateHere() noexcept {
  if (handle_ == nullptr) return ERROR_INVALID_HANDLE;
  return SetEndOfFile(handle_) ? 0 : GetLastError();
}

void TFileStream::Close() noexcept {
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
}

bool FileExistsAt(const std::wstring& name) noexcept {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFileAt(const std::wstring& name) noexcept { return DeleteFileW(name.c_str()) != 0; }

std::wstring LongPathNameOf(const std::wstring& name) {
  DWORD n = GetLongPathNameW(name.c_str(), nullptr, 0);
  if (n == 0) return name;
  std::wstring out(n, L'\0');
  n = GetLongPathNameW(name.c_str(), out.data(), n);
  if (n == 0 || n >= out.size()) return name;
  out.resize(n);
  return out;
}

void SleepMs(std::uint32_t ms) noexcept { Sleep(ms); }

std::wstring FromCodePage(std::string_view bytes, std::uint32_t code_page) {
  if (bytes.empty() || !IsValidCodePage(code_page)) return {};
  const int n = MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

std::uint32_t CodePageOfCharset(std::uint32_t charset) noexcept {
  // gdi32 is looked up, not imported: a host without the window system
  // never loads it for a report file.
  const TLibrary gdi32(L"gdi32.dll");
  const auto translate = gdi32.Find<decltype(&::TranslateCharsetInfo)>("TranslateCharsetInfo");
  if (translate == nullptr) return 0;
  CHARSETINFO info{};
  if (!translate(reinterpret_cast<DWORD*>(static_cast<std::uintptr_t>(charset)), &info, TCI_SRCCHARSET)) return 0;
  return info.ciACP;
}

namespace {

// EnumSystemLocalesW passes its callback no context, so the search's state
// goes through one process-wide pointer.
struct TLanguageSearch {
  std::wstring_view Name;
  std::uint32_t CodePage = 0;
};
TLanguageSearch* volatile g_search = nullptr;

std::wstring LocaleText(LCID locale, LCTYPE type) {
  wchar_t buffer[128] = {};
  const int n = GetLocaleInfoW(locale, type, buffer, 128);
  return n > 1 ? std::wstring(buffer, static_cast<std::size_t>(n - 1)) : std::wstring();
}

BOOL CALLBACK LocaleVisit(LPWSTR text) {
  TLanguageSearch* search = g_search;
  if (search == nullptr || text == nullptr) return FALSE;
  const LCID locale = static_cast<LCID>(wcstoul(text, nullptr, 16));
  if (CompareTextIgnoreCase(LocaleText(locale, LOCALE_SENGLANGUAGE), search->Name) != 0) return TRUE;
  if (LocaleText(locale, LOCALE_SABBREVLANGNAME).empty()) return TRUE;
  search->CodePage = static_cast<std::uint32_t>(wcstoul(LocaleText(locale, LOCALE_IDEFAULTANSICODEPAGE).c_str(), nullptr, 10));
  return search->CodePage == 0;
}

}  // namespace

std::uint32_t CodePageOfEnglishLanguage(std::wstring_view name) {
  if (name.empty()) return 0;
  TLanguageSearch search{name, 0};
  // Callers hold the report-file lock, so searches never overlap.
  g_search = &search;
  EnumSystemLocalesW(LocaleVisit, LCID_INSTALLED);
  g_search = nullptr;
  return search.CodePage;
}

}  // namespace zelvic::platform
