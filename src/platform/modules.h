// The platform facts behind the module list: which modules the process has,
// their file names, the version resource and the file's size and time, and
// reads of a module's headers that cannot fault. The module list reads them
// through TModulePlatform so that its rules can be checked against fixed
// values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvic::platform {

// What the version resource of a file says, undigested.
struct TVersionResource {
  bool Present = false;
  std::uint32_t FileVersionMS = 0;
  std::uint32_t FileVersionLS = 0;
  // "FileDescription" of the first translation listed; empty when absent.
  std::wstring FileDescription;
};

struct TFileFacts {
  bool Found = false;
  std::uint64_t Size = 0;
  // Last-write time in local time, as days since 1899-12-30 (0 when not
  // found).
  double LastModifiedLocal = 0;
};

class TModulePlatform {
 public:
  virtual ~TModulePlatform() = default;
  // The loader's file name of a loaded module; empty when the handle is not
  // one (that is how an unloaded module is recognised).
  virtual std::wstring ModuleFileName(std::uintptr_t handle) = 0;
  // The handles of the process's modules; none when the enumeration is not
  // available.
  virtual std::vector<std::uintptr_t> EnumerateModules() = 0;
  // The long form of a path; empty when the platform gives none. The system
  // platform asks the file system once per distinct path while the loader
  // generation holds.
  virtual std::wstring LongPathName(const std::wstring& path) = 0;
  virtual TFileFacts FileFacts(const std::wstring& path) = 0;
  virtual TVersionResource VersionResource(const std::wstring& path) = 0;
  // Copies `count` bytes at `address`; false, copying nothing, unless all of
  // them are readable.
  virtual bool ReadMemory(std::uintptr_t address, void* dst, std::uint32_t count) = 0;
  // Whether the module has an RCDATA resource of that name.
  virtual bool HasRcDataResource(std::uintptr_t handle, const wchar_t* name) = 0;
  // Allocation base of the committed region holding `address`; 0 when the
  // region is not committed.
  virtual std::uintptr_t AllocationBase(std::uintptr_t address) = 0;
  // Minutes to add to local time to get UTC, daylight saving included;
  // none when the time zone cannot be determined.
  virtual std::optional<std::int32_t> TimeZoneBiasMinutes() = 0;
  // A number that changes whenever a module is loaded or unloaded, so facts
  // learnt about a module stay good while it holds; 0 when the platform
  // cannot tell (then nothing may be kept between calls).
  virtual std::uint32_t LoaderGeneration() noexcept { return 0; }
};

// The real process.
TModulePlatform& SystemModulePlatform() noexcept;

// "ProductVersion" of the file's first translation; empty when the file has
// none or only a single character.
std::wstring FileProductVersion(const std::wstring& path);

// The system platform's loader generation counts the loader's load and unload
// notifications while the watch is on. The watch's callback lives in this
// image, so it must be stopped before the image unloads. Start and stop are
// counted: the watch ends with the last stop.
bool StartLoaderWatch() noexcept;
void StopLoaderWatch() noexcept;

// How many times the system platform has asked the file system for a long
// path name (GetLongPathNameW answers kept for the generation are not counted).
std::uint32_t LongPathNameQueries() noexcept;

// A GUID in its binary layout.
struct TGuidValue {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0, Data3 = 0;
  std::uint8_t Data4[8] = {};
};

// What the 8-bit file-name bridge needs: short names, fresh GUIDs and the
// system 8-bit code page.
class TAnsiNamePlatform {
 public:
  virtual ~TAnsiNamePlatform() = default;
  // The short (8.3) form of an existing path; empty when there is none.
  virtual std::wstring ShortPathName(const std::wstring& path) = 0;
  virtual TGuidValue NewGuid() = 0;
  // In the system 8-bit code page; what it cannot hold becomes "?".
  virtual std::string ToAnsi(const std::wstring& text) = 0;
};
TAnsiNamePlatform& SystemAnsiNamePlatform() noexcept;

// CreateFileW with CreateFileA's other arguments, for the bridge's
// CreateFileA replacement.
void* CreateFileWide(const std::wstring& name, std::uint32_t access, std::uint32_t share, void* security,
                     std::uint32_t disposition, std::uint32_t flags, void* template_file) noexcept;

}  // namespace zelvic::platform
