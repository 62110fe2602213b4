#include "platform/resources.h"

#include <windows.h>

namespace zelvic::platform {

std::span<const std::uint8_t> ModuleResource(std::uintptr_t module_base, const wchar_t* name, std::uint16_t type) noexcept {
  auto module = reinterpret_cast<HMODULE>(module_base);
  HRSRC info = FindResourceW(module, name, MAKEINTRESOURCEW(type));
  if (info == nullptr) return {};
  const DWORD size = SizeofResource(module, info);
  HGLOBAL handle = LoadResource(module, info);
  const void* data = handle ? LockResource(handle) : nullptr;
  if (data == nullptr || size == 0) return {};
  return {static_cast<const std::uint8_t*>(data), size};
}

std::vector<std::uint8_t> ReadFileTail(const std::wstring& path, std::size_t count) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::vector<std::uint8_t> bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart >= static_cast<LONGLONG>(count)) {
    LARGE_INTEGER at{};
    at.QuadPart = size.QuadPart - static_cast<LONGLONG>(count);
    bytes.resize(count);
    DWORD got = 0;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
        !ReadFile(file, bytes.data(), static_cast<DWORD>(count), &got, nullptr) || got != count) {
      bytes.clear();
    }
  }
  CloseHandle(file);
  return bytes;
}

}  // namespace zelvic::platform
