// The one reader of a loaded image's headers, against the loader's own
// answers (psapi's module information) and on headers that lead into memory
// that cannot be read.

#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/pe_access.h"
#include "platform/process.h"

namespace zelvic::platform {
namespace {

MODULEINFO LoaderInfo(HMODULE module) {
  MODULEINFO info{};
  EXPECT_TRUE(K32GetModuleInformation(GetCurrentProcess(), module, &info, sizeof info));
  return info;
}

TEST(LoadedImageHeaders, AgreeWithTheLoaderOnLoadedModules) {
  for (HMODULE module : {GetModuleHandleW(nullptr), GetModuleHandleW(L"kernel32.dll"), GetModuleHandleW(L"ntdll.dll")}) {
    ASSERT_NE(module, nullptr);
    const auto base = reinterpret_cast<std::uintptr_t>(module);
    const std::optional<TLoadedImageHeaders> headers = ReadLoadedImageHeaders(base);
    ASSERT_TRUE(headers.has_value());
    EXPECT_EQ(headers->SizeOfImage, LoaderInfo(module).SizeOfImage);
    EXPECT_EQ(headers->Machine, kImageMachineI386);
    EXPECT_FALSE(headers->Pe32Plus);
    EXPECT_GT(headers->NumberOfSections, 0);
    EXPECT_GT(headers->FirstSection, headers->NtHeaders);
    EXPECT_LT(headers->FirstSection, base + headers->SizeOfImage);
  }
  // The test program is a console program and the library a DLL.
  const auto exe = ReadLoadedImageHeaders(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)));
  ASSERT_TRUE(exe.has_value());
  EXPECT_EQ(exe->Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
  EXPECT_EQ(exe->Characteristics & IMAGE_FILE_DLL, 0);
  EXPECT_TRUE(IsConsoleProcess());
  const auto dll = ReadLoadedImageHeaders(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll")));
  ASSERT_TRUE(dll.has_value());
  EXPECT_NE(dll->Characteristics & IMAGE_FILE_DLL, 0);
}

// Headers whose NT part lies in reserved, uncommitted memory are refused
// without a fault; so are a missing signature and a zero header offset.
TEST(LoadedImageHeaders, RefuseHeadersThatLeadIntoUnreadableMemory) {
  auto* block = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x2000, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(block, nullptr);
  ASSERT_NE(VirtualAlloc(block, 0x1000, MEM_COMMIT, PAGE_READWRITE), nullptr);
  const auto base = reinterpret_cast<std::uintptr_t>(block);
  IMAGE_DOS_HEADER dos{};
  dos.e_magic = IMAGE_DOS_SIGNATURE;
  dos.e_lfanew = 0x1000 - 8;  // signature and part of the file header fit; the rest does not
  std::memcpy(block, &dos, sizeof dos);
  const DWORD signature = IMAGE_NT_SIGNATURE;
  std::memcpy(block + dos.e_lfanew, &signature, sizeof signature);
  EXPECT_FALSE(ReadLoadedImageHeaders(base).has_value());

  dos.e_lfanew = 0x80;
  std::memcpy(block, &dos, sizeof dos);
  EXPECT_FALSE(ReadLoadedImageHeaders(base).has_value());  // no "PE\0\0" there
  dos.e_lfanew = 0;
  std::memcpy(block, &dos, sizeof dos);
  EXPECT_FALSE(ReadLoadedImageHeaders(base).has_value());
  EXPECT_FALSE(ReadLoadedImageHeaders(base + 0x1000).has_value());  // not even the DOS header is readable
  VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace
}  // namespace zelvic::platform
