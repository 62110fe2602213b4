// What the facility knows about the process, the user, the computer and the
// operating system, read through platform::TSystemFacts when asked. The
// unit's start-up records the start time and gives the options their
// placeholder expansion, data folder and system values while it runs.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/system/ESysTexts.h"
#include "platform/system_facts.h"

namespace zelvic::diag {

// A registry text value under `root`, or `default_text` when the key or the
// value cannot be read. An "@..." value is an indirect string: the
// platform's loader reads it (on failure the part after the first ";"
// stands, when there is one); without that loader an "@file,-id" value is
// the file's string resource `id`, when it has one.
std::wstring ReadRegistryText(platform::TRegistryRoot root, const std::wstring& key, const std::wstring& value,
                              const std::wstring& default_text = {},
                              platform::TSystemFacts& facts = platform::LiveSystemFacts());

// Local date-time (days since 1899-12-30) of the unit's start-up.
double GetProcessStartTime() noexcept;
// The start time less the system's up time at start-up.
double GetBootTime() noexcept;
// Days since the system started.
double GetSystemUpTime(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// "name - (description)", or the name alone without a description; the name
// is the file-name part of the normalised long form.
std::wstring ModuleNameAndDescription(const std::wstring& file_name,
                                      platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The version text; empty without one.
std::wstring GetModuleVersion(const std::wstring& file_name,
                              platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The same, "0.0.0.0" without one.
std::wstring GetFileVersionText(const std::wstring& file_name,
                                platform::TSystemFacts& facts = platform::LiveSystemFacts());
// Of the main module; cached for the live system.
std::wstring GetApplicationName(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetMainModuleDescription(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetApplicationVersion(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The main module's compilation date in local time; 0 when none is found
// (or the time zone is unknown).
double GetApplicationCompilationDate();
// "1920 x 1080, 32 bit".
std::wstring GetDisplayModeText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::int32_t GetDisplayDPI(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetOSLanguageText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::uint32_t GetOSCharset(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetApplicationParameters(platform::TSystemFacts& facts = platform::LiveSystemFacts());

std::wstring GetUserNameText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The registered owner, else the logged-on user.
std::wstring GetUserFullName(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The registered organisation.
std::wstring GetUserCompany(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// One line per privilege of the process token.
std::wstring GetUserPrivileges(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetComputerNameText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::uint64_t GetTotalPhysicalMemory(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::uint64_t GetFreePhysicalMemory(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// Of the drive that holds this module's file; 0 when unknown.
std::uint64_t GetTotalDiskSpace(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::uint64_t GetFreeDiskSpace(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetProcessorText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// "adapter (driver version - RAM bytes)" of the first display adapter, the
// RAM part only when the size is known; empty when no adapter is named.
std::wstring GetVideoCardText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// "driver name (driver product-version)" of the default printer, the
// version without blanks; empty without a default printer.
std::wstring GetDefaultPrinterText(platform::TSystemFacts& facts = platform::LiveSystemFacts());

// Cached for the live system.
std::uint8_t GetOSVersionIndex(platform::TSystemFacts& facts = platform::LiveSystemFacts());
bool IsVistaOrLater(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetOSTypeText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetPlatformText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetOSBuildText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetOSUpdateText(platform::TSystemFacts& facts = platform::LiveSystemFacts());

// False when the adapter list cannot be read (the texts stay empty).
bool GetNetworkInfo(TNetworkTexts& texts, platform::TSystemFacts& facts = platform::LiveSystemFacts());

// The drive of a path with its "\" ("C:\", "\\server\share\"); empty when
// the path names none.
std::wstring DriveRootOf(std::wstring_view path);

void ESysInfoInit();
void ESysInfoDone();

}  // namespace zelvic::diag
