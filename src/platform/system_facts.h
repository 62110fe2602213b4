// Everything the system-information units learn from the platform, behind
// one interface: the running processes, privileges, folders, the clock, the
// environment and file probes. The live implementation asks Windows; tests
// hand in fixed values, so every text built from these facts can be checked
// byte for byte on any machine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine_probes.h"
#include "platform/modules.h"
#include "platform/registry.h"

namespace zelvic::platform {

// One entry of a process snapshot.
struct TProcessEntry {
  std::uint32_t ProcessID = 0;
  std::wstring ExeName;  // the executable's name, without folder
  std::uint32_t Threads = 0;
  std::int32_t BasePriority = 0;
};

// The ways to learn a process's image name, in the order they are tried.
enum class TImageNameWay : std::uint8_t {
  FullImageName,    // a drive path
  DeviceImageName,  // "\Device\HarddiskVolume2\..."
  MainModuleName,   // the main module's file, read from the process
};

// What one opening of a process gave.
struct TProcessFacts {
  // False when the way is not available or the process could not be opened.
  bool Opened = false;
  // Empty when the name could not be read.
  std::wstring ImageName;
  std::uint32_t PriorityClass = 0;  // 0 when unknown
  std::optional<std::uint32_t> WorkingSet;
};

// The result of switching one privilege of the current token.
struct TPrivilegeChange {
  bool Succeeded = false;
  // The previous state named exactly this privilege (the platform leaves it
  // out when the privilege was already as asked).
  bool PreviousReported = false;
  bool PreviouslyEnabled = false;
};

struct TKnownFolderAnswer {
  bool Available = false;  // the platform has the known-folder query
  std::int32_t Result = 0;  // its HRESULT
  std::wstring Path;        // may be empty even on success
};

// The local clock, numerically and in the user's locale.
struct TLocalNow {
  std::uint16_t Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  std::wstring ShortDate;  // the locale's short date
  std::wstring LongTime;   // the locale's long time
};

struct TPrivilegeState {
  std::wstring Name;
  bool Enabled = false;
};

// One network adapter; addresses in dotted form, empty when absent.
struct TAdapterFacts {
  bool Dhcp = false;
  std::wstring IP, Mask, Gateway;
  // The DNS servers in order; none when the per-adapter query failed.
  std::optional<std::vector<std::wstring>> Dns;
};

struct TOSVersion {
  bool Known = false;  // the version query answered
  std::uint32_t Major = 0, Minor = 0, Build = 0, PlatformId = 0;
  std::uint8_t ProductType = 0;  // 1: workstation
  std::uint16_t ServicePackMajor = 0, ServicePackMinor = 0;
  std::wstring CSDVersion;
};

struct TMemoryStatus {
  std::uint64_t Total = 0, Free = 0;
};

struct TDiskSpace {
  std::uint64_t Total = 0, FreeToCaller = 0;
};

// A text the platform read, or the error that stopped it.
struct TWindowText {
  std::wstring Text;
  std::uint32_t Error = 0;  // 0 when the read succeeded
};

struct TCpuIdRegisters {
  std::uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0;
};

// What the platform's indirect-string loader made of a text: whether the
// loader exists at all, and whether it produced a text.
struct TIndirectText {
  bool Available = false;
  bool Loaded = false;
  std::wstring Text;
};

// The first display device: whether the query exists, and its adapter
// name and device identifier (empty when the query fails).
struct TDisplayDevice {
  bool Available = false;
  std::wstring DeviceString;
  std::wstring DeviceId;
};

// The default printer's driver record.
struct TPrinterDriver {
  std::wstring Name;
  std::wstring DriverPath;
};

struct TWineFacts {
  std::optional<std::string> Version;  // wine_get_version's answer
  std::optional<std::string> Build;    // wine_get_build_id's answer
};

struct TDisplayFacts {
  std::int32_t Width = 0, Height = 0, BitsPerPixel = 0, DpiY = 0;
};

struct TTopLevelWindow {
  std::uintptr_t Handle = 0;
  bool Visible = false;
  std::int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
  std::uintptr_t Owner = 0;  // 0 or the desktop: none
  std::uint32_t ExStyle = 0;
};

class TSystemFacts {
 public:
  virtual ~TSystemFacts() = default;

  // ---- processes
  // The identifiers of the running processes; none when the enumeration is
  // missing or fails.
  virtual std::optional<std::vector<std::uint32_t>> ProcessIds() = 0;
  // The process snapshot in its own order; empty when none can be taken.
  virtual std::vector<TProcessEntry> ProcessSnapshot() = 0;
  virtual TProcessFacts QueryProcess(std::uint32_t process_id, TImageNameWay way) = 0;
  // The device name a drive ("C:") maps to; empty when none.
  virtual std::wstring DosDeviceName(std::wstring_view drive) = 0;
  virtual bool FileExists(const std::wstring& path) = 0;
  virtual TVersionResource VersionResource(const std::wstring& path) = 0;
  // "ProductVersion" of the file's version resource; empty without one.
  virtual std::wstring ProductVersion(const std::wstring& path) = 0;

  // ---- privileges of the thread's token (the process's when the thread
  // has none)
  virtual TPrivilegeChange AdjustPrivilege(const std::wstring& name, bool enable) = 0;

  // ---- folders and the environment
  virtual TKnownFolderAnswer KnownFolderPath(const TGuidValue& id) = 0;
  // The folder of a shell folder number; empty when there is none.
  virtual std::wstring CsidlFolderPath(int csidl) = 0;
  // GetTempPathW's answer; empty on failure.
  virtual std::wstring TempPath() = 0;
  virtual std::wstring CurrentDirectory() = 0;
  // Empty when unset.
  virtual std::wstring EnvironmentValue(const std::wstring& name) = 0;
  virtual std::wstring ThisModuleFileName() = 0;
  virtual std::wstring MainModuleFileName() = 0;
  virtual TLocalNow LocalNow() = 0;
  // 0 to 32766.
  virtual std::uint32_t Random() = 0;
  // The system's message for an error code or an HRESULT, without the
  // trailing line break.
  virtual std::wstring ErrorText(std::uint32_t code) = 0;

  // ---- files
  // Whether the file can be opened for reading (read_only), else for
  // reading and writing or, when missing, created. A file created for the
  // test goes away when its handle closes, and an existing file's time
  // stamps are put back.
  virtual bool ProbeFile(const std::wstring& path, bool read_only) = 0;
  // Creates the folder and every missing parent; true when it exists after.
  virtual bool CreateFolderTree(const std::wstring& path) = 0;

  // ---- the development environment's request channel
  // The process that started this one; 0 when unknown.
  virtual std::uint32_t ParentProcessId() = 0;
  virtual bool HasTopLevelWindowOfClass(std::uint32_t process_id, const std::wstring& class_name) = 0;
  // The 32-bit number at the start of a named shared memory; none when it
  // does not exist.
  virtual std::optional<std::uint32_t> SharedMemoryNumber(const std::wstring& name) = 0;
  virtual void AllowForeground(std::uint32_t process_id) = 0;
  struct TMailslotWrite {
    bool Opened = false;
    std::uint32_t Error = 0;  // 0 when every byte was written
  };
  virtual TMailslotWrite WriteMailslot(const std::wstring& name, std::span<const std::uint8_t> bytes) = 0;

  // ---- the user, the computer and the operating system
  virtual std::wstring UserName() = 0;
  virtual std::wstring ComputerName() = 0;
  virtual std::wstring CommandLine() = 0;
  virtual TMemoryStatus MemoryStatus() = 0;
  // Of the drive whose root is given; none when the query is missing or
  // fails.
  virtual std::optional<TDiskSpace> DiskSpace(const std::wstring& root) = 0;
  // Milliseconds since the system started, 64 bits wide where the platform
  // counts so.
  virtual std::uint64_t TickCount() = 0;
  virtual TOSVersion OSVersion() = 0;
  // Whether the system is at least that version; none when the check is
  // not available.
  virtual std::optional<bool> VersionAtLeast(std::uint32_t major, std::uint32_t minor) = 0;
  // Whether the product is a workstation; none when the check is not
  // available.
  virtual std::optional<bool> IsWorkstation() = 0;
  virtual bool IsWow64() = 0;
  // The process token's privileges in token order; none when the token
  // cannot be read.
  virtual std::optional<std::vector<TPrivilegeState>> TokenPrivileges() = 0;
  // None when the adapter list cannot be read.
  virtual std::optional<std::vector<TAdapterFacts>> NetworkAdapters() = 0;
  // A text value under HKEY_LOCAL_MACHINE; empty when missing.
  virtual std::wstring MachineRegistryText(const std::wstring& key, const std::wstring& value) = 0;
  // A text value as stored, one trailing zero character dropped; none when
  // the key or the value cannot be opened or read. Never creates the key.
  virtual std::optional<std::wstring> RegistryText(TRegistryRoot root, const std::wstring& key,
                                                   const std::wstring& value) = 0;
  // The stored bytes of a value; none when the key or value cannot be read.
  virtual std::optional<std::vector<std::uint8_t>> RegistryBytes(TRegistryRoot root, const std::wstring& key,
                                                                 const std::wstring& value) = 0;
  // The name of the key's first subkey; empty when it has none.
  virtual std::wstring FirstRegistrySubkey(TRegistryRoot root, const std::wstring& key) = 0;
  virtual TDisplayDevice PrimaryDisplayDevice() = 0;
  // The platform's reading of an "@..." text.
  virtual TIndirectText LoadIndirectText(const std::wstring& text) = 0;
  // The absolute form of a path; the path itself when it cannot be made.
  virtual std::wstring FullPath(const std::wstring& path) = 0;
  // String resource `id` of the file, loaded as data only; empty when the
  // file or the string is missing.
  virtual std::wstring ModuleStringResource(const std::wstring& path, std::uint32_t id) = 0;

  // None when there is no default printer, the spooler lacks one of its
  // functions, or the printer or its driver cannot be read.
  virtual std::optional<TPrinterDriver> DefaultPrinterDriver() = 0;

  // The screen's mode and vertical resolution.
  virtual TDisplayFacts Display() = 0;
  // The English name of the system's default language.
  virtual std::wstring SystemLanguageName() = 0;
  // The character set of the user locale's default ANSI code page.
  virtual std::uint32_t UserCharset() = 0;

  // ---- windows (handles as numbers; 0 for none)
  virtual std::uintptr_t ForegroundWindow() = 0;
  virtual std::uintptr_t FocusedWindow() = 0;
  virtual TWindowText WindowClassName(std::uintptr_t window) = 0;
  // WM_GETTEXT with a short time-out, never waiting on a hung window.
  virtual TWindowText WindowText(std::uintptr_t window) = 0;
  virtual std::uint32_t WindowStyle(std::uintptr_t window) = 0;
  // The process's top-level windows in the platform's order.
  virtual std::vector<TTopLevelWindow> TopLevelWindows(std::uint32_t process_id) = 0;
  virtual std::uint32_t CurrentProcessId() = 0;

  // ---- what the machine is
  // None when this is no Wine (ntdll exports none of its functions).
  virtual std::optional<TWineFacts> Wine() = 0;
  virtual TCpuIdRegisters CpuId(std::uint32_t leaf) = 0;
  virtual bool DebuggerAttached() = 0;
  // The registers a machine probe's instruction left; none when it raised a
  // processor exception (no such virtual device).
  virtual std::optional<TProbeRegisters> MachineProbe(TMachineProbe probe, const TProbeRegisters& registers) = 0;
  virtual bool ModuleLoaded(const std::wstring& name) = 0;
};

// The running system. It keeps the version resources of the files it has
// read, per path, while each file keeps its time stamps and size.
TSystemFacts& LiveSystemFacts() noexcept;
// Lets the kept version resources go.
void ForgetFileVersions() noexcept;

}  // namespace zelvic::platform
