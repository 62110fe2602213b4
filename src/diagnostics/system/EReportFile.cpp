#include "diagnostics/system/EReportFile.h"

#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/ESpecialFolders.h"
#include "diagnostics/util/EFileNames.h"

namespace zelvic::diag {

bool ResolveOutputFile(std::wstring& file_name, bool per_module, bool read_only, platform::TSystemFacts& facts) {
  const std::wstring expanded =
      ExpandEnvVarsEx(file_name, [&facts](const std::wstring& name) { return GetEnvVariableDefault(name, facts); });
  if (facts.ProbeFile(expanded, read_only)) {
    file_name = expanded;
    return true;
  }
  const std::wstring data_folder = GetFacilityDataFolder(facts);
  if (data_folder.empty()) return false;
  std::wstring folder = data_folder + L"Bug Reports\\";
  if (!facts.CreateFolderTree(folder)) return false;
  if (per_module) {
    folder += ExtractFileNamePart(NormaliseModuleFileName(facts.ThisModuleFileName(), platform::SystemModulePlatform()));
    folder += L'\\';
    if (!facts.CreateFolderTree(folder)) return false;
  }
  const std::wstring candidate = folder + ExtractFileNamePart(expanded);
  if (!facts.ProbeFile(candidate, read_only)) return false;
  file_name = candidate;
  return true;
}

}  // namespace zelvic::diag
