#include "diagnostics/debuginfo/EModuleImage.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/debuginfo/EPEImage.h"
#include "platform/pe_access.h"
#include "runtime/civil_date.h"

namespace zelvic::diag {

std::wstring NormaliseModuleFileName(std::wstring name, platform::TModulePlatform& platform) {
  if (name.starts_with(L"\\??\\")) name.erase(0, 4);
  if (name.starts_with(L"\\\\?\\")) name.erase(0, 4);
  // An NT path such as "\SystemRoot\...?C:\..." or "\Device\?\C:\...": the
  // DOS path begins at the drive letter before the ":" behind the "?".
  const std::size_t question = name.find(L'?');
  if (question != std::wstring::npos) {
    const std::size_t colon = name.find(L':', question + 1);
    if (colon != std::wstring::npos && colon > 0) name.erase(0, colon - 1);
  }
  for (std::size_t at; (at = name.find(L"\\.\\")) != std::wstring::npos;) name.replace(at, 3, L"\\");
  std::wstring long_name = platform.LongPathName(name);
  return long_name.empty() ? name : long_name;
}

std::wstring ModuleVersionText(const platform::TVersionResource& version) {
  if (!version.Present) return {};
  const std::wstring text = std::to_wstring(version.FileVersionMS >> 16) + L"." +
                            std::to_wstring(version.FileVersionMS & 0xFFFF) + L"." +
                            std::to_wstring(version.FileVersionLS >> 16) + L"." +
                            std::to_wstring(version.FileVersionLS & 0xFFFF);
  return text == L"0.0.0.0" ? std::wstring() : text;
}

std::uint32_t LoadedImageSize(platform::TModulePlatform& platform, std::uintptr_t module) {
  const std::optional<platform::TLoadedImageHeaders> headers = platform::ReadLoadedImageHeaders(platform, module);
  return headers ? headers->SizeOfImage : 0;
}

TDateTime ImageTimeStamp(platform::TModulePlatform& p, std::uintptr_t module) {
  const std::uintptr_t base = module & ~static_cast<std::uintptr_t>(3);
  const std::optional<platform::TLoadedImageHeaders> headers = platform::ReadLoadedImageHeaders(p, base);
  if (!headers) return 0;
  if (headers->Machine == platform::kImageMachineAmd64) {
    if (headers->TimeDateStamp != 0) return rt::UnixSecondsToDateTime(headers->TimeDateStamp);
  } else if (headers->Machine != platform::kImageMachineI386) {
    return 0;
  }
  if (headers->NumberOfRvaAndSizes <= 1 || headers->ResourceRva == 0 || headers->ResourceSize == 0) return 0;
  std::uint32_t packed = 0;
  if (!p.ReadMemory(base + headers->ResourceRva + 4, &packed, sizeof packed) || packed == 0) return 0;
  const TDateTime local = PackedFileDateToDateTime(packed);
  if (local == 0) return 0;
  const std::optional<std::int32_t> bias = p.TimeZoneBiasMinutes();
  return local + (bias ? *bias : 0) / 1440.0;
}

TModuleImageFacts ReadModuleImageFacts(platform::TModulePlatform& platform, std::uintptr_t handle) {
  // Handles of resource-only loads carry flags in their two low bits.
  const std::uintptr_t base = handle & ~static_cast<std::uintptr_t>(3);
  TModuleImageFacts info;
  const std::optional<platform::TLoadedImageHeaders> headers = platform::ReadLoadedImageHeaders(platform, base);
  if (!headers) return info;
  if ((headers->Characteristics & 0x2000) == 0) {
    info.ModuleType = mtProgram;
  } else if (platform.HasRcDataResource(handle, L"PACKAGEINFO") &&
             platform.HasRcDataResource(handle, L"PACKAGEOPTIONS")) {
    info.ModuleType = mtPackage;
  } else {
    info.ModuleType = mtLibrary;
  }
  info.VirtualSize = headers->SizeOfImage;

  TImageSectionHeader sections[2]{};
  const int section_count = std::min<int>(headers->NumberOfSections, 2);
  if (section_count > 0 &&
      !platform.ReadMemory(headers->FirstSection, sections, static_cast<std::uint32_t>(section_count * sizeof(sections[0])))) {
    return info;
  }
  const TImageSectionHeader& s = sections[0];
  const bool s_code = section_count > 0 && (s.Characteristics & 0x20) != 0;
  // UPX packs the code into a first section that carries no code flag.
  const bool upx = section_count > 0 && (s.Characteristics & 0x7FFFFFFFu) == 0x60000080u &&
                   std::memcmp(s.Name, "UPX0", 5) == 0;
  if (s_code || upx) {
    info.CodeBegin = base + s.VirtualAddress;
    info.CodeEnd = info.CodeBegin + s.VirtualSize;
    if (s_code && section_count > 1 && (sections[1].Characteristics & 0x20) != 0) {
      info.CodeEnd = base + sections[1].VirtualAddress + sections[1].VirtualSize;
    }
  } else {
    info.CodeBegin = base + headers->BaseOfCode;
    info.CodeEnd = info.CodeBegin + headers->SizeOfCode;
  }
  if (headers->BaseOfData != 0) {
    info.DataBegin = base + headers->BaseOfData;
    info.DataEnd = info.DataBegin + headers->SizeOfInitializedData + headers->SizeOfUninitializedData;
  }
  return info;
}

}  // namespace zelvic::diag
