#include "diagnostics/debuginfo/EModulesFormatter.h"

#include <algorithm>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EModuleDates.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/EFileNames.h"
#include "platform/process.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {

TModulesFormatter::TModulesFormatter(TVarnelModulesList* list) : FModulesList(list) {
  AssignDefaults();
  // The report names the table itself; the list's own text carries none.
  if (const TVarnelModuleOptions* own = OwnModuleOptions()) Assign(*own);
  CaptionHeader.clear();
}

void TModulesFormatter::SetModulesList(TVarnelModulesList* list) noexcept {
  FModulesList = list;
  Changed();
}

void TModulesFormatter::AssignDefaults() {
  CaptionHeader = L"Modules Information";
  CaptionHandle = L"Handle";
  CaptionName = L"Name";
  CaptionDescription = L"Description";
  CaptionVersion = L"Version";
  CaptionSize = L"Size";
  CaptionLastModified = L"Modified";
  CaptionPath = L"Path";
  Changed();
}

void TModulesFormatter::Assign(const TModulesFormatter& source) {
  CaptionHeader = source.CaptionHeader;
  CaptionHandle = source.CaptionHandle;
  CaptionName = source.CaptionName;
  CaptionDescription = source.CaptionDescription;
  CaptionVersion = source.CaptionVersion;
  CaptionSize = source.CaptionSize;
  CaptionLastModified = source.CaptionLastModified;
  CaptionPath = source.CaptionPath;
  Changed();
}

void TModulesFormatter::Assign(const TVarnelModuleOptions& options) {
  CaptionHeader = options.GetCustomizedTexts(mtDialog_ModulesHeader);
  CaptionHandle = options.GetCustomizedTexts(mtModules_Handle);
  CaptionName = options.GetCustomizedTexts(mtModules_Name);
  CaptionDescription = options.GetCustomizedTexts(mtModules_Description);
  CaptionVersion = options.GetCustomizedTexts(mtModules_Version);
  CaptionSize = options.GetCustomizedTexts(mtModules_Size);
  CaptionLastModified = options.GetCustomizedTexts(mtModules_LastModified);
  CaptionPath = options.GetCustomizedTexts(mtModules_Path);
  Changed();
}

void TModulesFormatter::SetText(const std::wstring&) {
  throw EFormatterAssertion(L"Unsuppported (EModules)");
}

namespace {
void RecordCells(const TVarnelModuleInfo& m, std::wstring (&cells)[7]) {
  cells[0] = rt::Hex8(static_cast<std::uint32_t>(m.Handle));
  cells[1] = ExtractFileNamePart(m.Name);
  cells[2] = m.Description;
  cells[3] = m.Version;
  cells[4] = std::to_wstring(m.Size);
  cells[5] = FormatModuleDateTime(m.LastModified);
  cells[6] = ExtractFileDirPart(m.Name);
}
}  // namespace

void TVarnelModulesFormatter::Calculate() {
  if (FCalculated) return;
  FMaxHandle = std::max<int>(static_cast<int>(CaptionHandle.size()), 8);
  FMaxName = static_cast<int>(CaptionName.size());
  FMaxDescription = static_cast<int>(CaptionDescription.size());
  FMaxVersion = static_cast<int>(CaptionVersion.size());
  FMaxSize = static_cast<int>(CaptionSize.size());
  FMaxLastModified = static_cast<int>(CaptionLastModified.size());
  FMaxPath = static_cast<int>(CaptionPath.size());
  const int count = FModulesList != nullptr ? FModulesList->GetCount() : 0;
  for (int i = 0; i < count; ++i) {
    std::wstring cells[7];
    RecordCells(*FModulesList->GetItem(i), cells);
    int* widths[7] = {&FMaxHandle, &FMaxName, &FMaxDescription, &FMaxVersion, &FMaxSize, &FMaxLastModified, &FMaxPath};
    for (int c = 0; c < 7; ++c) *widths[c] = std::max(*widths[c], static_cast<int>(cells[c].size()));
  }
  FLineLen = FMaxHandle + FMaxName + FMaxDescription + FMaxVersion + FMaxSize + FMaxPath + FMaxLastModified + 8;
  TModulesFormatter::Calculate();
}

std::wstring TVarnelModulesFormatter::Row(const std::wstring (&cells)[7]) const {
  const int widths[7] = {FMaxHandle, FMaxName, FMaxDescription, FMaxVersion, FMaxSize, FMaxLastModified, FMaxPath};
  std::wstring row = L"|";
  for (int c = 0; c < 7; ++c) {
    row += TableCell(cells[c], widths[c]);
    row += L'|';
  }
  return row;
}

std::wstring TVarnelModulesFormatter::GetItemText(int index) {
  Calculate();
  std::wstring cells[7];
  RecordCells(*FModulesList->GetItem(index), cells);
  return Row(cells);
}

const std::vector<std::wstring>& TVarnelModulesFormatter::GetAsStrings() {
  if (!FModified) return FStr;
  Calculate();
  FStr.clear();
  const int count = FModulesList != nullptr ? FModulesList->GetCount() : 0;
  if (!CaptionHeader.empty()) FStr.push_back(CaptionHeader);
  const std::wstring rule(static_cast<std::size_t>(FLineLen), L'-');
  if (count > 0) {
    const std::wstring captions[7] = {CaptionHandle,       CaptionName, CaptionDescription, CaptionVersion,
                                      CaptionSize, CaptionLastModified, CaptionPath};
    FStr.push_back(rule);
    FStr.push_back(Row(captions));
    FStr.push_back(rule);
    for (int i = 0; i < count; ++i) FStr.push_back(GetItemText(i));
  }
  if (count > 0 || !CaptionHeader.empty()) FStr.push_back(rule);
  FModified = false;
  return FStr;
}

}  // namespace zelvic::diag
