// What a module record learns from the platform about one module: its file
// name made plain, its version text, and the facts of its loaded image
// (kind, size, code and data ranges, build stamp), each read through
// platform::TModulePlatform so that the rules can be checked against fixed
// values.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/debuginfo/EModuleDates.h"
#include "platform/modules.h"

namespace zelvic::diag {

enum TModuleType : std::uint8_t { mtUnknown = 0, mtProgram = 1, mtLibrary = 2, mtPackage = 3 };

// The loader's name of a module made into a plain path: "\??\" and "\\?\"
// prefixes gone, an NT path cut back to its drive letter, "\.\" collapsed,
// then the platform's long form (the name as it is when there is none).
std::wstring NormaliseModuleFileName(std::wstring name, platform::TModulePlatform& platform);
// "a.b.c.d" from the fixed file version; empty for "0.0.0.0" and without
// version resource.
std::wstring ModuleVersionText(const platform::TVersionResource& version);

// The loaded image's part of a module record; all 0 (mtUnknown) when the
// headers cannot be read.
struct TModuleImageFacts {
  TModuleType ModuleType = mtUnknown;
  std::uint32_t VirtualSize = 0;
  std::uintptr_t CodeBegin = 0, CodeEnd = 0;
  std::uintptr_t DataBegin = 0, DataEnd = 0;
};
// `handle` may carry the flag bits of a resource-only load.
TModuleImageFacts ReadModuleImageFacts(platform::TModulePlatform& platform, std::uintptr_t handle);

// When the image says it was built, in UTC: the resource directory's stamp
// (a packed local file date-time) for PE32, the file header's seconds since
// 1970 for PE32+ (falling back to the resource rule); 0 when neither is
// there or the headers cannot be read.
TDateTime ImageTimeStamp(platform::TModulePlatform& platform, std::uintptr_t module);
// SizeOfImage from a loaded module's headers, read through the platform; 0
// when they cannot be read.
std::uint32_t LoadedImageSize(platform::TModulePlatform& platform, std::uintptr_t module);

}  // namespace zelvic::diag
