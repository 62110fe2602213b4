#include "diagnostics/system/ESysInfo.h"

#include <string>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/ESpecialFolders.h"

namespace zelvic::diag {
namespace {

// What the slots held before this unit filled them; shut-down puts it back,
// so a unit started again later finds the options as they were.
TOptionsHooks g_saved_hooks;

std::wstring ExpandOptionVariables(const std::wstring& text) { return ExpandEnvVars(text); }
std::wstring LiveFacilityDataFolder() { return GetFacilityDataFolder(); }

}  // namespace

void ESysInfoInit() {
  TOptionsHooks& hooks = OptionsHooks();
  g_saved_hooks = hooks;
  hooks.ExpandVariables = ExpandOptionVariables;
  hooks.FacilityDataFolder = LiveFacilityDataFolder;
}

void ESysInfoDone() {
  TOptionsHooks& hooks = OptionsHooks();
  hooks.ExpandVariables = g_saved_hooks.ExpandVariables;
  hooks.FacilityDataFolder = g_saved_hooks.FacilityDataFolder;
}

}  // namespace zelvic::diag
