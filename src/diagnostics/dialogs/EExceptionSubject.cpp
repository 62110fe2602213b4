#include "diagnostics/dialogs/EExceptionSubject.h"

#include "diagnostics/dialogs/EDialog.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/reports/EExceptionReportFacts.h"
#include "diagnostics/reports/ELogBuilder.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/system/EDateTexts.h"
#include "diagnostics/threads/EThreadsManager.h"
#include "platform/threads.h"

namespace zelvic::diag {

TExceptionSubject::TExceptionSubject(TVarnelExceptionInfo& info) : FInfo(info) {}
TExceptionSubject::~TExceptionSubject() = default;

TExceptionReportFacts& TExceptionSubject::Facts() const {
  if (!FFacts) FFacts = std::make_unique<TExceptionReportFacts>(FInfo);
  return *FFacts;
}

std::vector<std::wstring> TExceptionSubject::Messages() const {
  std::vector<std::wstring> messages;
  for (const TVarnelExceptionInfo* e = &FInfo; e != nullptr; e = e->InnerException()) {
    messages.push_back(e->ExceptionMessage());
  }
  return messages;
}

std::vector<TDetailedEntry> TExceptionSubject::CallStack() const {
  std::vector<TDetailedEntry> entries;
  const TVarnelBaseStackList* list = FInfo.CallStack();
  if (list == nullptr) return entries;
  entries.reserve(static_cast<std::size_t>(list->Count()));
  for (int i = 0; i < list->Count(); ++i) {
    const TVarnelDebugInfo& item = list->Item(i);
    const TVLLocationInfo& l = item.Location;
    TDetailedEntry e;
    e.ThreadID = item.ThreadID;
    e.Detail = static_cast<TDetailedEntry::TDetail>(l.DebugDetail);
    e.ModuleFileName = l.ModuleName;
    e.UnitName = l.UnitName;
    e.ClassAndProcedure = l.ClassName.empty() ? l.ProcedureName : l.ClassName + L"." + l.ProcedureName;
    e.Line = l.LineNumber;
    e.LineOffset = l.OffsetFromLineNumber;
    entries.push_back(std::move(e));
  }
  return entries;
}

TLogBuilder& TExceptionSubject::Builder() {
  if (!FBuilder) FBuilder = std::make_unique<TLogBuilder>(&Facts());
  return *FBuilder;
}

std::wstring TExceptionSubject::BuildReport() {
  TLogBuilder& builder = Builder();
  builder.Invalidate();
  return builder.Report();
}

void TExceptionSubject::AddCustomData() {
  TLogBuilder& builder = Builder();
  std::vector<std::wstring> fields = builder.CustomFields();
  RaiseCustomDataRequest(&FInfo, &builder, fields);
  builder.SetCustomFields(fields);
  builder.Invalidate();
}

std::uint32_t TExceptionSubject::ThreadID() const {
  const std::uint32_t id = FInfo.ThreadID();
  return id != 0 ? id : platform::CurrentThreadId();
}

const void* TExceptionSubject::ExceptionPointers() const {
  if (IsEmptyContext(FInfo.Context())) return nullptr;
  FRecord = FInfo.ExceptionRecord();
  FContext = FInfo.Context();
  FPointers[0] = &FRecord;
  FPointers[1] = &FContext;
  return FPointers;
}

std::vector<TSubjectThread> TExceptionSubject::Threads() const {
  std::vector<TSubjectThread> threads;
  const TVarnelThreadDataList snapshot = GetThreadsSnapshot();
  threads.reserve(snapshot.Count());
  for (std::size_t i = 0; i < snapshot.Count(); ++i) {
    TVarnelThreadData* t = snapshot.GetItem(i);
    threads.push_back({t->ID(), t->IsRTLThread(), t->IsMainThread()});
  }
  return threads;
}

std::wstring TExceptionSubject::ReportValue(TReportValue which) const {
  TExceptionReportFacts& facts = Facts();
  switch (which) {
    case rvAppName: return facts.ApplicationName();
    case rvAppVersion: return facts.ApplicationVersion();
    case rvBugIDSource: return FInfo.BugIDSource();
    case rvOSBuild: return facts.OSBuildText();
    case rvOSType: return facts.OSTypeText();
    case rvPlatform: return L"x86";
    case rvCount_: break;
  }
  return {};
}

TResponse ShowExceptionInfoDialog(TVarnelExceptionInfo* info, bool force, bool crash) {
  if (info == nullptr) return ShowExceptionDialog(nullptr, force, crash);
  TExceptionSubject subject(*info);
  // A record made without a time leaves the current time to the dialog.
  if (info->Time() != 0) subject.Options().SetCustomField(kFieldExceptionTime, FormatFileNameDate(info->Time()));
  return ShowExceptionDialog(&subject, force, crash);
}

}  // namespace zelvic::diag
