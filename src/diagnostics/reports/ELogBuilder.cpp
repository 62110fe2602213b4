#include "diagnostics/reports/ELogBuilder.h"

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/reports/EAsmSection.h"
#include "diagnostics/reports/ECpuSection.h"
#include "diagnostics/reports/ELogBuilderEvents.h"
#include "diagnostics/reports/ELogComposer.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/stacks/ECallStackFormatter.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/registry.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {
namespace {

constexpr wchar_t kAssertion[] = L"Assertion failure (ELogBuilder)";

std::wstring Translated(const std::wstring& text) {
  const auto translate = OptionsHooks().Translate;
  return translate != nullptr ? translate(text) : text;
}

}  // namespace

TBaseLogBuilder::TBaseLogBuilder(TReportFacts* info) : FExceptionInfo(info) {
  if (info == nullptr || info->CallStack() == nullptr) throw rt::EAssertionFailed(kAssertion);
}

const std::wstring& TBaseLogBuilder::Report() {
  if (FBuilded) return FReport;
  RaiseLogBuilderEvent(kBeforeBuildEvent, this);
  try {
    std::wstring text;
    {
      // The facility's own work: what it allocates or raises meanwhile is
      // not the program's.
      TFacilityNesting nesting;
      text = Build();
    }
    FReport = std::move(text);
    FBuilded = true;
  } catch (...) {  // rethrowing clean-up: the after-build event is raised whatever happened
    RaiseLogBuilderEvent(kAfterBuildEvent, this);
    throw;
  }
  RaiseLogBuilderEvent(kAfterBuildEvent, this);
  return FReport;
}

std::wstring TBaseLogBuilder::ResolveVariable(const std::wstring& name) {
  if (EqualIgnoringCase(name, L"_BugReport")) return Report();
  return FExceptionInfo->ResolveVariable(name);
}

std::wstring TBaseLogBuilder::ExpandVariables(const std::wstring& text) {
  return ExpandEnvVarsEx(text, [this](const std::wstring& name) { return ResolveVariable(name); });
}

TReportFacts& TBaseLogBuilder::GetExceptionInfo() {
  if (Options().NestedExceptionStack() == sekLast) return *FExceptionInfo;
  return FExceptionInfo->BaseException();
}

TVarnelBaseStackList* TBaseLogBuilder::GetCallStack() { return GetExceptionInfo().CallStack(); }

// ---- the text report ----------------------------------------------------------

std::wstring TLogBuilder::Text(TMessageType type) const { return Options().GetCustomizedExpandedTexts(type); }

std::wstring TLogBuilder::EmptySection(const std::wstring& title) const {
  return title + L":\r\n" + std::wstring(title.size() + 1, L'-') + L"\r\n\r\n";
}

std::wstring TLogBuilder::Build() {
  BeforeBuild();
  std::wstring text = CreateGeneralText();
  text += L"\r\n" + CreateCallStackText();
  text += L"\r\n" + CreateModulesText();
  text += L"\r\n" + CreateProcessesText();
  text += L"\r\n" + CreateAssemblerText();
  text += L"\r\n" + CreateCPUText();
  return text;
}

std::wstring TLogBuilder::CreateGeneralText() {
  TLogBuilderGenericSectionComposer composer(*this);
  composer.Compose(false);
  return std::wstring(L"VarnelLog ") + kReportFirstLineVersion + L"  \r\n\r\n" + composer.Item().Value();
}

std::wstring TLogBuilder::CreateCallStackText() {
  const std::wstring header = Text(mtDialog_CallStackHeader) + L":";
  TVarnelBaseStackList* source = GetCallStack();
  if (source == nullptr) return CallStackToString(nullptr, header, nullptr);
  TVarnelStackListV7 copy;
  copy.Assign(*source);
  TVarnelBaseStackFormatter& formatter = copy.Formatter();
  formatter.AssignOptions(Options());
  formatter.SetAllowedMethods(source->Formatter().AllowedMethods());
  formatter.SetDisabledMethods(source->Formatter().DisabledMethods());
  return CallStackToString(&copy, header, nullptr);
}

std::wstring TLogBuilder::CreateModulesText() {
  const std::wstring title = Text(mtDialog_ModulesHeader);
  if (!Options().loSaveModulesSection()) return EmptySection(title);
  TVarnelModulesList copy;
  if (TVarnelModulesList* source = GetExceptionInfo().Modules()) {
    copy.Assign(*source);
  } else {
    copy.Refresh(true);
  }
  copy.Assign(Options());
  const std::wstring header = title + L":";
  return ModulesListToText(&copy, &header);
}

std::wstring TLogBuilder::CreateProcessesText() {
  const std::wstring title = Text(mtDialog_ProcessesHeader);
  if (!Options().loSaveProcessesSection()) return EmptySection(title);
  TVarnelProcessesList copy;
  if (TVarnelProcessesList* source = GetExceptionInfo().Processes()) {
    copy.Assign(*source);
  } else {
    copy.Refresh();
  }
  copy.Assign(Options());
  return ProcessesListToText(&copy, title + L":");
}

std::wstring TLogBuilder::CreateAssemblerText() {
  const std::wstring title = Text(mtDialog_AsmHeader);
  if (!Options().loSaveAssemblerAndCPUSections()) return EmptySection(title);
  return AssemblerSectionText(GetExceptionInfo(), title, Translated(L"<-- EXCEPTION"));
}

std::wstring TLogBuilder::CreateCPUText() {
  const std::wstring registers = Text(mtCPU_Registers);
  if (!Options().loSaveAssemblerAndCPUSections()) return EmptySection(registers);
  return CpuSectionText(GetExceptionInfo(), {registers, Text(mtCPU_Stack), Text(mtCPU_MemoryDump)});
}

void TLogBuilder::SaveToFile(const std::wstring& file_name) {
  std::vector<std::uint8_t> bytes{0xFF, 0xFE};
  AppendUtf16LE(bytes, Report());
  const std::uint32_t error = platform::CreateFileWithBytes(file_name, bytes.data(), bytes.size());
  if (error != 0) {
    throw EFCreateError(L"Cannot create file \"" + file_name + L"\" (error " + std::to_wstring(error) + L")");
  }
}

void ELogBuilderInit() { StartAssemblerAnnotations(); }

void ELogBuilderDone() { StopAssemblerAnnotations(); }

}  // namespace zelvic::diag
