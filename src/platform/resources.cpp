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

namespace {

HANDLE OpenForReading(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TFileRange ReadFileRange(const std::wstring& path, std::uint64_t offset, std::size_t count) {
  TFileRange out;
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) return out;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size)) {
    out.FileSize = static_cast<std::uint64_t>(size.QuadPart);
    if (offset <= out.FileSize && count <= out.FileSize - offset) {
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<LONGLONG>(offset);
      out.Bytes.resize(count);
      DWORD got = 0;
      if (count > 0 && (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
                        !ReadFile(file, out.Bytes.data(), static_cast<DWORD>(count), &got, nullptr) || got != count)) {
        out.Bytes.clear();
      }
    }
  }
  CloseHandle(file);
  return out;
}

std::uint64_t FileSizeOf(const std::wstring& path) {
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size{};
  const bool ok = GetFileSizeEx(file, &size) != FALSE;
  CloseHandle(file);
  return ok ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

std::vector<std::uint8_t> ReadFileTail(const std::wstring& path, std::size_t count) {
  const std::uint64_t size = FileSizeOf(path);
  if (size < count) return {};
  return ReadFileRange(path, size - count, count).Bytes;
}

TResourceTypeListing ListFileResourceType(const std::wstring& path, std::uint16_t type) {
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) return TResourceTypeListing::Unknown;
  const TFileBytesReader read = [file](std::uint64_t offset, std::span<std::uint8_t> into) -> std::size_t {
    // A positioned read: the handle is synchronous, so the offset in the
    // overlapped block is where it reads, and the call waits for the bytes.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file, into.data(), static_cast<DWORD>(into.size()), &got, &at)) return 0;
    return got;
  };
  const TResourceTypeListing listing = ListResourceType(read, type);
  CloseHandle(file);
  return listing;
}

}  // namespace zelvic::platform
