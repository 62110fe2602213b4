#include "platform/pe_access.h"

#include <windows.h>

#include <cstddef>

#include "platform/modules.h"

namespace zelvic::platform {

TMappedFile::~TMappedFile() { Close(); }

void TMappedFile::Close() noexcept {
  if (view_ != nullptr) UnmapViewOfFile(view_);
  if (mapping_ != nullptr) CloseHandle(mapping_);
  if (file_ != nullptr && file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  view_ = nullptr;
  mapping_ = nullptr;
  file_ = nullptr;
  bytes_ = {};
}

std::uint32_t TMappedFile::Open(const std::wstring& path) {
  Close();
  // Others may have the file open for writing (a module being rebuilt); the
  // view is read-only either way.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  file_ = file;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    const DWORD error = GetLastError();
    Close();
    return error;
  }
  // A 32-bit view cannot hold more; such a file is no image this reader
  // serves.
  if (size.QuadPart == 0 || size.QuadPart > 0x7FFFFFFF) return 0;
  mapping_ = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping_ == nullptr) {
    const DWORD error = GetLastError();
    Close();
    return error;
  }
  view_ = static_cast<const std::uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
  if (view_ == nullptr) {
    const DWORD error = GetLastError();
    Close();
    return error;
  }
  bytes_ = {view_, static_cast<std::size_t>(size.QuadPart)};
  return 0;
}

namespace {

bool IsReadableProtection(DWORD protect) noexcept {
  if ((protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
  const DWORD base = protect & 0xFF;
  return base == PAGE_READONLY || base == PAGE_READWRITE || base == PAGE_WRITECOPY || base == PAGE_EXECUTE_READ ||
         base == PAGE_EXECUTE_READWRITE || base == PAGE_EXECUTE_WRITECOPY;
}

}  // namespace

std::uint32_t ReadableLength(std::uintptr_t address, std::uint32_t limit) noexcept {
  std::uint32_t done = 0;
  while (done < limit) {
    MEMORY_BASIC_INFORMATION mbi;
    const std::uintptr_t at = address + done;
    if (at < address) break;  // wrapped around the address space
    if (VirtualQuery(reinterpret_cast<const void*>(at), &mbi, sizeof mbi) != sizeof mbi) break;
    if (mbi.State != MEM_COMMIT || !IsReadableProtection(mbi.Protect)) break;
    const std::uintptr_t region_end = reinterpret_cast<std::uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
    if (region_end <= at) break;
    const std::uintptr_t step = region_end - at;
    done = step >= limit - done ? limit : done + static_cast<std::uint32_t>(step);
  }
  return done;
}

namespace {

template <typename T>
bool ReadAt(TModulePlatform& memory, std::uintptr_t address, T& out) {
  return memory.ReadMemory(address, &out, sizeof(T));
}

template <typename Optional>
void TakeOptionalHeader(const Optional& h, TLoadedImageHeaders& out) noexcept {
  out.Subsystem = h.Subsystem;
  out.SizeOfImage = h.SizeOfImage;
  out.BaseOfCode = h.BaseOfCode;
  out.SizeOfCode = h.SizeOfCode;
  out.NumberOfRvaAndSizes = h.NumberOfRvaAndSizes;
  out.ResourceRva = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
  out.ResourceSize = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size;
}

}  // namespace

std::optional<TLoadedImageHeaders> ReadLoadedImageHeaders(TModulePlatform& memory, std::uintptr_t base) {
  IMAGE_DOS_HEADER dos{};
  // A header offset past 256 MiB is damage, not a layout any linker makes.
  if (!ReadAt(memory, base, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
      dos.e_lfanew > 0x10000000) {
    return std::nullopt;
  }
  TLoadedImageHeaders out;
  out.NtHeaders = base + static_cast<std::uint32_t>(dos.e_lfanew);
  DWORD signature = 0;
  IMAGE_FILE_HEADER file{};
  if (!ReadAt(memory, out.NtHeaders, signature) || signature != IMAGE_NT_SIGNATURE ||
      !ReadAt(memory, out.NtHeaders + sizeof signature, file)) {
    return std::nullopt;
  }
  out.Machine = file.Machine;
  out.NumberOfSections = file.NumberOfSections;
  out.Characteristics = file.Characteristics;
  out.TimeDateStamp = file.TimeDateStamp;
  const std::uintptr_t optional = out.NtHeaders + offsetof(IMAGE_NT_HEADERS32, OptionalHeader);
  out.FirstSection = optional + file.SizeOfOptionalHeader;
  // The machine, not the optional header's magic, picks the form: that is
  // how the loader of the image's own platform reads it.
  out.Pe32Plus = file.Machine == kImageMachineAmd64;
  if (out.Pe32Plus) {
    IMAGE_OPTIONAL_HEADER64 h{};
    if (!ReadAt(memory, optional, h)) return std::nullopt;
    TakeOptionalHeader(h, out);
  } else {
    IMAGE_OPTIONAL_HEADER32 h{};
    if (!ReadAt(memory, optional, h)) return std::nullopt;
    TakeOptionalHeader(h, out);
    out.BaseOfData = h.BaseOfData;
    out.SizeOfInitializedData = h.SizeOfInitializedData;
    out.SizeOfUninitializedData = h.SizeOfUninitializedData;
  }
  return out;
}

std::optional<TLoadedImageHeaders> ReadLoadedImageHeaders(std::uintptr_t base) {
  return ReadLoadedImageHeaders(SystemModulePlatform(), base);
}

std::wstring SearchPathFor(const std::wstring& name) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = SearchPathW(nullptr, name.c_str(), nullptr, MAX_PATH + 1, buffer, nullptr);
  if (n == 0 || n > MAX_PATH) return {};
  return std::wstring(buffer, n);
}

}  // namespace zelvic::platform
