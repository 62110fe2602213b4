#include "diagnostics/dialogs/EDialogSubject.h"

#include <cwchar>

#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {

std::wstring BugIDText(std::uint32_t bug_id) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%08X", bug_id);
  return text;
}

std::wstring TFixedDialogSubject::ExpandVariables(const std::wstring& text) const {
  const std::wstring bug = BugIDText(Bug);
  return ExpandEnvVarsEx(text, [&bug](const std::wstring& name) {
    if (EqualIgnoringCase(name, L"BUGID") || EqualIgnoringCase(name, L"_BugID")) return bug;
    return GetEnvVariableDefault(name);
  });
}

}  // namespace zelvic::diag
