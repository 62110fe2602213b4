#include "diagnostics/dialogs/EDialog.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cwchar>
#include <optional>

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/dialogs/EExceptionSubject.h"
#include "diagnostics/dialogs/EMessageBoxDialogs.h"
#include "diagnostics/dialogs/ERestartMarker.h"
#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/exceptions/EExceptionManager.h"
#include "diagnostics/reports/ELogManager.h"
#include "diagnostics/system/ESpecialFolders.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/dialog_services.h"
#include "platform/registry.h"
#include "platform/file_stream.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "runtime/exceptions.h"
#include "runtime/thread_start.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {
namespace {

constexpr wchar_t kWorkFolder[] = L"855814E0A56449B389EF22CC37DAC8E6\\";
constexpr std::uint32_t kMbIconError = 0x10, kMbIconInformation = 0x40;
constexpr std::uint32_t kMbRtlReading = 0x100000;
// A loop whose dialogs keep asking for another never ends on its own.
constexpr int kMaxDialogRounds = 16;

// Custom fields that carry state from one dialog round to the next.
constexpr wchar_t kFieldDetailsFallback[] = L"_DetailsFallbackClass";
constexpr wchar_t kFieldOldSendResult[] = L"_OldSendResult";
constexpr wchar_t kFieldRestarted[] = L"_Restarted";
constexpr wchar_t kFieldTerminate[] = L"_TerminateApplication";
constexpr wchar_t kFieldTerminateOld[] = L"_TerminateApplication_old";
constexpr wchar_t kFieldAutoCrash[] = L"_AutoCrash";
constexpr wchar_t kFieldCanUseThread[] = L"_CanUseThread";
constexpr wchar_t kFieldParentWnd[] = L"_ParentWnd";
constexpr wchar_t kFieldPlaySound[] = L"_PlaySound";
// This exception's report is in the report file (presaved or counted), the
// mark that finds it again, and the duplicate test's answer.
constexpr wchar_t kFieldPresaved[] = L"_Presaved";
constexpr wchar_t kFieldPresavedMark[] = L"_PresavedMark";
constexpr wchar_t kFieldDuplicate[] = L"_Duplicate";
constexpr wchar_t kFieldCanSend[] = L"_CanSend";

std::wstring& StartupFolder() {
  static std::wstring folder;
  return folder;
}

// Threads of the facility: dialog threads and their waiters.
std::array<std::atomic<std::uint32_t>, 16> g_facility_threads{};

void AddFacilityThread(std::uint32_t id) noexcept {
  for (auto& slot : g_facility_threads) {
    std::uint32_t expected = 0;
    if (slot.compare_exchange_strong(expected, id)) return;
  }
}

void RemoveFacilityThread(std::uint32_t id) noexcept {
  for (auto& slot : g_facility_threads) {
    std::uint32_t expected = id;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

std::vector<TDialogClass>& Registry() {
  static std::vector<TDialogClass> classes;
  return classes;
}

std::wstring Hex8(std::uint32_t value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%08X", value);
  return text;
}

// The identity of a stored report: FNV-1a of its text without its trailing
// line breaks, so the form it has in the list and after a reload agree.
std::wstring ReportMark(std::wstring_view report) {
  while (!report.empty() && (report.back() == L'\r' || report.back() == L'\n')) report.remove_suffix(1);
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (wchar_t c : report) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 0x100000001B3ull;
  }
  return Hex8(static_cast<std::uint32_t>(hash >> 32)) + Hex8(static_cast<std::uint32_t>(hash));
}

bool IsTrueText(const std::wstring& text) {
  const std::wstring t = Trim(text);
  return t == L"1" || EqualIgnoringCase(t, L"true");
}

std::wstring ExceptionText(const rt::Exception& e) { return std::wstring(e.ClassName()) + L" " + e.Message(); }

std::vector<std::wstring> SplitList(const std::wstring& text) {
  std::vector<std::wstring> out;
  std::wstring item;
  for (wchar_t c : text + L";") {
    if (c == L';' || c == L'\r' || c == L'\n') {
      item = Trim(item);
      if (!item.empty()) out.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return out;
}

void WriteUtf8File(const std::wstring& name, std::wstring_view text) {
  platform::TFileStream out;
  if (const std::uint32_t error = out.Open(name, platform::TFileOpenMode::CreateDenyWrite); error != 0) {
    throw EReportFileError(L"Cannot create \"" + name + L"\": " + platform::SystemErrorText(error));
  }
  std::vector<std::uint8_t> bytes{0xEF, 0xBB, 0xBF};
  AppendUtf8(bytes, text);
  if (const std::uint32_t error = out.Write(bytes); error != 0) {
    throw EReportFileError(L"Cannot write \"" + name + L"\": " + platform::SystemErrorText(error));
  }
}

void FreeScreenshotHandle(void* screenshot) noexcept {
  if (screenshot != nullptr && DialogSlots().FreeScreenshot != nullptr) DialogSlots().FreeScreenshot(screenshot);
}

[[noreturn]] void EndThisProcess(std::uint32_t exit_code) {
  if (DialogSlots().EndProcess != nullptr) DialogSlots().EndProcess(exit_code);
  platform::TerminateCurrentProcess(exit_code);
}

}  // namespace

TDialogSlots& DialogSlots() noexcept {
  static TDialogSlots slots;
  return slots;
}

// --- Registry ----------------------------------------------------------------

void RegisterDialogClass(const TDialogClass& dialog_class) {
  TModulesListGuard guard;
  auto& classes = Registry();
  const bool present = std::any_of(classes.begin(), classes.end(), [&](const TDialogClass& c) {
    return std::wstring_view(c.Name) == dialog_class.Name;
  });
  if (!present) classes.push_back(dialog_class);
}

void UnregisterDialogClasses() noexcept {
  TModulesListGuard guard;
  Registry().clear();
  Registry().shrink_to_fit();
}

const TDialogClass* FindDialogClass(std::wstring_view name) {
  TModulesListGuard guard;
  for (const TDialogClass& c : Registry()) {
    if (name == c.Name) return &c;
  }
  return nullptr;
}

void DialogClassesAtLeakCheckBegin() noexcept {
  TModulesListGuard guard;
  auto& classes = Registry();
  if (classes.empty()) {
    classes.shrink_to_fit();
  } else if (DialogSlots().ExpectLeak != nullptr) {
    DialogSlots().ExpectLeak(classes.data());
  }
}

void DialogClassesAtLeakCheckEnd() noexcept { UnregisterDialogClasses(); }

const void* DialogClassesBlock() noexcept {
  TModulesListGuard guard;
  return Registry().capacity() == 0 ? nullptr : Registry().data();
}

bool IsFacilityThread(std::uint32_t thread_id) noexcept {
  if (thread_id == 0) return false;
  return std::any_of(g_facility_threads.begin(), g_facility_threads.end(),
                     [thread_id](const std::atomic<std::uint32_t>& slot) { return slot.load() == thread_id; });
}

// --- TBaseDialog --------------------------------------------------------------

TBaseDialog::TBaseDialog(TDialogSubject& subject) : subject_(subject) {
  if (!subject.HasCallStack()) throw rt::EAssertionFailed(L"Assertion failure (EDialog)");
  // While the facility starts or stops the loader's lock may be held: no
  // library is loaded for a GUID then, the folder is named by time instead.
  quiet_ = rt::IsInitializing != 0 || rt::IsFinalizing != 0;
  std::wstring name = quiet_ ? std::wstring() : platform::NewGuidText();
  if (name.empty()) {
    const platform::TLocalNow now = platform::LiveSystemFacts().LocalNow();
    name = FileNameTimeStamp(now) + L"_" + std::to_wstring(platform::LiveSystemFacts().CurrentProcessId()) + L"_" +
           Hex8(static_cast<std::uint32_t>(platform::ThisModuleBase()));
  }
  const std::wstring base = GetTempFolder() + kWorkFolder;
  platform::CreateFolder(base);
  temp_dir_ = base + name + L"\\";
  platform::CreateFolder(temp_dir_);
  if (IsTrueText(Options().GetCustomizedTexts(mtRTLDialog))) message_box_flags_ |= kMbRtlReading;
}

TBaseDialog::~TBaseDialog() {
  FreeScreenshotHandle(screenshot_);
  if (!saved_cur_dir_.empty()) platform::SetCurrentFolder(saved_cur_dir_);
  platform::DeleteFolderTree(temp_dir_);
}

std::uintptr_t TBaseDialog::ParentWnd() const {
  const auto window = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(Options().GetCustomFieldInt(kFieldParentWnd)));
  // An owner whose thread does not answer would hang the dialog with it.
  return platform::IsUsableOwnerWindow(window) ? window : 0;
}

std::int32_t TBaseDialog::ErrorCode() const {
  const std::uint32_t code = subject_.ExceptionCode();
  return code == 0 ? kStepExceptionCode : static_cast<std::int32_t>(code);
}

bool TBaseDialog::SendErrorReportChecked() const {
  return !subject_.Expected() && Options().edoSendErrorReportChecked();
}

bool TBaseDialog::CanSend() const {
  return can_send_ && !Trim(Options().SenderClasses()).empty() && !subject_.Expected() &&
         DialogSlots().Send != nullptr;
}

bool TBaseDialog::ShowSendErrorControl() const {
  return CanSend() && !subject_.Expected() && Options().edoShowSendErrorReportOption();
}

bool TBaseDialog::SaveLogFile() const { return !subject_.Expected() && Options().SaveLogFile(); }

bool TBaseDialog::Restarted() const { return Options().GetCustomFieldBool(kFieldRestarted); }

const std::wstring& TBaseDialog::BugReport() {
  if (!bug_report_) bug_report_ = std::make_unique<std::wstring>(subject_.BuildReport());
  return *bug_report_;
}

std::wstring TBaseDialog::BugReportForSend() {
  if (!Options().sndSendEntireLog()) return BugReport();
  TReportFileGuard guard;
  TLogFile log(log_file_name_, true);
  log.Append(BugReport(), -1);
  return log.Text();
}

std::wstring TBaseDialog::GetExceptionMessage() const {
  const std::vector<std::wstring> messages = subject_.Messages();
  if (Options().UseExceptionComments() && !subject_.Comment().empty()) return subject_.Comment();
  if (subject_.Expected()) return messages.empty() ? std::wstring() : messages.front();
  switch (Options().NestedExceptionMessage()) {
    case sekCustom:
      return subject_.ExpandVariables(Options().CustomExceptionMessage());
    case sekMerge: {
      std::wstring text;
      for (const std::wstring& m : messages) text += m + L"\r\n";
      if (!text.empty()) text.resize(text.size() - 2);
      return text;
    }
    case sekFirst:
      return messages.empty() ? std::wstring() : messages.back();
    case sekLast:
    default:
      return messages.empty() ? std::wstring() : messages.front();
  }
}

int TBaseDialog::ShowBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style) {
  void* owner = reinterpret_cast<void*>(ParentWnd());
  if (Options().edoUseNativeMessageBox()) return VarnelMessageBox(text, caption, style | message_box_flags_, owner);
  return platform::ShowMessageBox(text, caption, style | message_box_flags_, owner);
}

void TBaseDialog::AdoptScreenshot(void* screenshot) noexcept {
  FreeScreenshotHandle(screenshot_);
  screenshot_ = screenshot;
}

void* TBaseDialog::ReleaseScreenshot() noexcept {
  void* screenshot = screenshot_;
  screenshot_ = nullptr;
  return screenshot;
}

void TBaseDialog::TakeScreenshot() {
  AdoptScreenshot(nullptr);
  // No capture of the screen while the loader lock may be held.
  if (quiet_ || DialogSlots().TakeScreenshot == nullptr) return;
  screenshot_ = DialogSlots().TakeScreenshot(subject_);
}

void TBaseDialog::PlaySound() {
  if (Options().GetCustomFieldBool(kFieldPlaySound)) platform::Beep();
}

bool TBaseDialog::RaiseAction(TDialogAction action, bool execute, const std::wstring& text) {
  return DialogSlots().Action != nullptr ? DialogSlots().Action(subject_, action, execute, text) : execute;
}

bool TBaseDialog::AskRetry(TDialogAction action, const std::wstring& text) {
  return DialogSlots().RetryAfterFailure != nullptr && DialogSlots().RetryAfterFailure(subject_, action, text);
}

void TBaseDialog::SaveState() {
  saved_cur_dir_ = platform::CurrentFolder();
  if (!quiet_) old_foreground_window_ = platform::ForegroundWindow();
  state_saved_ = true;
}

void TBaseDialog::RestoreState() {
  if (!state_saved_) return;
  state_saved_ = false;
  if (old_foreground_window_ != 0 && platform::IsUsableOwnerWindow(old_foreground_window_)) {
    platform::BringToForeground(old_foreground_window_);
  }
  platform::SetCurrentFolder(saved_cur_dir_);
}

std::wstring TBaseDialog::WorkFileName(const wchar_t* extension, bool packed) const {
  std::wstring name = L"BugReport";
  if (!packed) {
    if (Options().sndAddBugIDInFileName()) name += L"_%_BugID%";
    if (Options().sndAddComputerNameInFileName()) name += L"_" + FileNameSafe(Options().OverrideComputerName());
    if (Options().sndAddDateInFileName()) {
      const std::wstring stamp = Options().GetCustomField(kFieldExceptionTime);
      name += L"_" + (stamp.empty() ? FileNameTimeStamp(platform::LiveSystemFacts().LocalNow()) : FileNameSafe(stamp));
    }
  }
  return subject_.ExpandVariables(temp_dir_ + name + extension);
}

void TBaseDialog::PrepareFileNames() {
  log_file_name_ = subject_.ExpandVariables(SaveLogFile() ? OutputLogFile(Options(), L"")
                                                          : GetTempFolder() + L"%_ExceptModuleName%.vl");
  const bool pack = Options().sndPack();
  bug_report_file_name_ = WorkFileName(L".vl", pack && Options().sndPackReport());
  zip_file_name_ = WorkFileName(L".vlp", false);
  xml_file_name_ = WorkFileName(L".vlx", pack && Options().sndPackXML());
  screenshot_file_name_ = WorkFileName(L".png", pack && Options().sndPackScreenshot());
  mini_dump_file_name_ = WorkFileName(L".mdmp", pack && Options().sndPackMiniDump());
}

bool TBaseDialog::CheckDuplicate() {
  can_send_ = true;
  if (!Options().loNoDuplicateErrors() || log_file_name_.empty()) return false;
  TReportFileGuard guard;
  TLogFile log(log_file_name_, true);
  const std::vector<std::wstring> ids{kItemBugID}, values{BugIDText(subject_.BugID())};
  const int found = log.FindLastItem(ids, values);
  if (found < 0) return false;
  can_send_ = !IsTrueText(log.GetItemValue(kItemSent, found));
  return true;
}

void TBaseDialog::SaveBugReport() {
  if (duplicate_ && saved_) return;
  for (;;) {
    std::wstring error;
    if (RaiseAction(daBeforeSave, SaveLogFile())) {
      try {
        // A repeat only raises the stored count: its text is built when the
        // file turns out not to hold the bug after all, outside the lock,
        // and the file is then read again.
        for (int pass = 0;; ++pass) {
          const std::wstring* report = !duplicate_ || pass > 0 || bug_report_ ? &BugReport() : nullptr;
          TReportFileGuard guard;
          TLogFile log(log_file_name_, false);
          const std::wstring bug = BugIDText(subject_.BugID());
          // This exception's presaved report is replaced, found by its mark
          // and bug identifier: whatever else reached the file meanwhile
          // (another process's reports) stays.
          const std::wstring old_mark = Options().GetCustomField(kFieldPresavedMark);
          if (saved_ && !old_mark.empty()) {
            for (int i = log.Count() - 1; i >= 0; --i) {
              if (log.GetItemValue(kItemBugID, i) == bug && ReportMark(log.GetItem(i)) == old_mark) {
                log.DeleteItem(i);
                break;
              }
            }
          }
          // The one duplicate rule: the last report with this bug identifier,
          // looked up in the same locked section that changes the file.
          const std::vector<std::wstring> ids{kItemBugID}, values{bug};
          const int found = Options().loNoDuplicateErrors() ? log.FindLastItem(ids, values) : -1;
          std::wstring mark;
          if (found >= 0) {
            const std::wstring count_text = Trim(log.GetItemValue(kItemCount, found));
            wchar_t* end = nullptr;
            long count = count_text.empty() ? 0 : std::wcstol(count_text.c_str(), &end, 10);
            if (count_text.empty() || end == nullptr || *end != L'\0' || count < 1) count = 1;
            log.SetItemValue(kItemCount, std::to_wstring(count + 1), Options().GetCustomizedTexts(mtLog_ExcCount),
                             found);
            duplicate_ = true;
          } else {
            if (report == nullptr) continue;
            log.Append(*report, Options().ErrorsNumberToSave());
            mark = ReportMark(log.GetItem(log.Count() - 1));
          }
          log.Save();
          saved_ = true;
          Options().SetCustomField(kFieldPresavedMark, mark);
          Options().SetCustomFieldBool(kFieldPresaved, true);
          Options().SetCustomFieldBool(kFieldDuplicate, duplicate_);
          break;
        }
      } catch (const rt::Exception& e) {
        error = ExceptionText(e);
        saved_ = false;
      }
    }
    saved_ = RaiseAction(daAfterSave, saved_, error);
    if ((!saved_ || !error.empty()) && AskRetry(daAfterSave, error)) continue;
    break;
  }
}

void TBaseDialog::DeleteLogOnVersionChange() {
  TReportFileGuard guard;
  std::wstring stored;
  {
    TLogFile log(log_file_name_, true);
    if (log.Count() == 0) return;
    stored = log.GetItemValue(kItemVersion, log.Count() - 1);
  }
  const std::wstring current = subject_.ReportValue(rvAppVersion);
  if (!stored.empty() && !current.empty() && stored != current) {
    platform::DeleteFileAt(log_file_name_);
  }
}

bool TBaseDialog::WriteMiniDump() {
  // No thread is held by the framework at this point: a dump of a process
  // with held threads would wait on them.
  return platform::WriteMemoryDump(mini_dump_file_name_, subject_.ThreadID(), subject_.ExceptionPointers(),
                                   Options().MiniDumpOptions());
}

void TBaseDialog::PrepareFilesToSend() {
  files_to_send_.clear();
  std::wstring text = BugReportForSend();
  if (!text.ends_with(L"\r\n\r\n\r\n")) text += L"\r\n\r\n\r\n";
  const TDialogSlots& slots = DialogSlots();
  bool xml_written = false;
  if (Options().sndSendXMLLogCopy() && !xml_file_name_.empty() && slots.WriteXMLReport != nullptr) {
    TReportFileGuard guard;
    platform::LiveSystemFacts().CreateFolderTree(ExtractFileDirPart(xml_file_name_));
    xml_written = slots.WriteXMLReport(subject_, xml_file_name_);
  }
  if (!xml_written || Options().AttachBothXMLAndVLReports()) {
    platform::LiveSystemFacts().CreateFolderTree(ExtractFileDirPart(bug_report_file_name_));
    WriteUtf8File(bug_report_file_name_, text);
  }
  if (screenshot_ == nullptr || screenshot_file_name_.empty() || slots.SaveScreenshot == nullptr ||
      !slots.SaveScreenshot(screenshot_, screenshot_file_name_)) {
    screenshot_file_name_.clear();
  }
  if (Options().MiniDumpCreate()) WriteMiniDump();

  std::vector<std::wstring> attached;
  for (std::wstring name : SplitList(Options().AttachedFiles())) {
    name = subject_.ExpandVariables(name);
    if (ExtractFileDirPart(name).empty() || !(name.size() > 1 && (name[1] == L':' || name.starts_with(L"\\\\")))) {
      if (name.starts_with(L"\\") || name.starts_with(L"/")) name.erase(0, 1);
      name = ExtractFileDirPart(platform::ModuleFileName(0)) + name;
    }
    attached.push_back(name);
  }
  const auto exists = [](const std::wstring& name) { return !name.empty() && platform::FileExistsAt(name); };
  bool packed = false;
  if (Options().sndPack() && !zip_file_name_.empty() && slots.PackFiles != nullptr) {
    std::vector<std::wstring> list = attached;
    for (const std::wstring& extra : subject_.ExtraFiles()) list.push_back(extra);
    std::erase_if(list, [&](const std::wstring& n) { return !exists(n); });
    const std::size_t kept = list.size();
    if (Options().sndPackReport()) list.push_back(bug_report_file_name_);
    if (Options().sndPackXML()) list.push_back(xml_file_name_);
    if (Options().sndPackScreenshot()) list.push_back(screenshot_file_name_);
    if (Options().sndPackMiniDump()) list.push_back(mini_dump_file_name_);
    std::erase_if(list, [&](const std::wstring& n) { return !exists(n); });
    if (!list.empty()) {
      const std::wstring password = Options().ZipPassword();
      std::wstring comment;
      if (password.empty()) comment = text.size() > 60000 ? text.substr(0, 60000) + L"..." : text;
      packed = slots.PackFiles(zip_file_name_, password, list, comment);
      if (packed) {
        for (std::size_t i = kept; i < list.size(); ++i) platform::DeleteFileAt(list[i]);
      }
    }
  }
  for (const std::wstring* name :
       {&zip_file_name_, &bug_report_file_name_, &xml_file_name_, &screenshot_file_name_, &mini_dump_file_name_}) {
    if (name == &zip_file_name_ && !packed) continue;
    files_to_send_.push_back(*name);
  }
  if (!packed) files_to_send_.insert(files_to_send_.end(), attached.begin(), attached.end());
  for (const std::wstring& extra : subject_.ExtraFiles()) files_to_send_.push_back(extra);
  std::erase_if(files_to_send_, [&](const std::wstring& n) { return !exists(n); });
}

TResponse TBaseDialog::SendStep() {
  TResponse response;
  response.SendResult = kSendFailed;
  const TDialogSlots& slots = DialogSlots();
  if (Options().sndShowSendDialog() && !quiet_ && slots.OpenSendProgress != nullptr) {
    send_progress_ = slots.OpenSendProgress(ParentWnd(), Options().GetCustomizedExpandedTexts(mtSendDialog_Caption));
  }
  // The window goes with the step, however the step ends.
  struct TCloseProgress {
    void*& window;
    ~TCloseProgress() {
      if (window != nullptr && DialogSlots().CloseSendProgress != nullptr) DialogSlots().CloseSendProgress(window);
      window = nullptr;
    }
  } close{send_progress_};
  for (;;) {
    // Each try starts at nothing done, with no label yet.
    send_state_ = ssInit;
    send_position_ = 0;
    if (send_progress_ != nullptr && slots.ShowSendProgress != nullptr) slots.ShowSendProgress(send_progress_, L"", 0);
    if (RaiseAction(daBeforeSend, true)) {
      try {
        response = TResponse{};
        SendReport(response);
      } catch (const rt::Exception& e) {
        response = TResponse{};
        response.SendResult = kSendFailed;
        response.ErrorMessage = e.Message();
      }
    } else {
      response = TResponse{};
    }
    const bool success = response.SendResult >= 0;
    const bool answer = RaiseAction(daAfterSend, success, ClassName());
    if (answer != success) response.SendResult = answer ? kSendDone : kSendFailed;
    if (response.SendResult < 0 && response.SendResult != kSendCancelled && AskRetry(daAfterSend, response.ErrorMessage)) {
      continue;
    }
    return response;
  }
}

void TBaseDialog::SendReport(TResponse& response) {
  TVarnelModuleOptions& o = Options();
  const std::wstring version = subject_.ReportValue(rvAppVersion);
  const std::vector<std::wstring> messages = subject_.Messages();
  o.SetCustomField(L"_BugAppVersion", version);
  o.SetCustomField(L"_VL_Build", version);
  o.SetCustomField(L"_BugID", BugIDText(subject_.BugID()));
  o.SetCustomField(L"_BugIDSource", subject_.ReportValue(rvBugIDSource));
  o.SetCustomField(L"_BugText", messages.empty() ? std::wstring() : messages.front());
  o.SetCustomField(L"_BugType", subject_.ExceptionClass());
  o.SetCustomField(L"_VL_MachineID", o.OverrideComputerName());
  o.SetCustomField(L"_Message", BugReportForSend());
  o.SetCustomField(L"_VL_OSBuild", subject_.ReportValue(rvOSBuild));
  o.SetCustomField(L"_VL_OSType", subject_.ReportValue(rvOSType));
  o.SetCustomField(L"_VL_Platform", subject_.ReportValue(rvPlatform));
  o.SetCustomField(L"_VL_EMail", o.OverrideUserEMail());
  o.SetCustomField(L"_VL_StepsToReproduce", Trim(subject_.ReproduceText()));
  DialogSlots().Send(*this, files_to_send_, response);
}

std::wstring SendProgressLabel(const TVarnelModuleOptions& options, TSendState state) {
  static constexpr TMessageType kLabels[] = {
      mtSendDialog_Connecting,  mtSendDialog_Connecting,    mtSendDialog_Resolving, mtSendDialog_Login,
      mtSendDialog_SelectProject, mtSendDialog_SelectProject, mtSendDialog_Searching, mtSendDialog_Sending,
      mtSendDialog_Modifying,   mtSendDialog_Disconnecting, mtSendDialog_Disconnected};
  static_assert(std::size(kLabels) == ssDone + 1);
  if (state > ssDone) return {};
  return options.GetCustomizedExpandedTexts(kLabels[state]);
}

void TBaseDialog::SetSendProgress(TSendState state, int position) {
  send_state_ = state;
  send_position_ = position;
  if (send_progress_ != nullptr && DialogSlots().ShowSendProgress != nullptr) {
    DialogSlots().ShowSendProgress(send_progress_, SendProgressLabel(Options(), state), position);
  }
}

void TBaseDialog::SwitchToDetailed() {
  Options().SetExceptionDialogType(L"TVarnelLogDetailedDialog");
  Options().SetCustomField(kFieldDetailsFallback, ClassName());
  Options().SetCustomFieldInt(kFieldOldSendResult, own_response_.SendResult);
  own_response_.SendResult = kSendShowAgain;
}

void TBaseDialog::SwitchToRequestDetails() {
  Options().SetExceptionDialogType(L"TRequestDetailsDialog");
  Options().SetCustomField(kFieldDetailsFallback, ClassName());
  Options().SetCustomFieldInt(kFieldOldSendResult, own_response_.SendResult);
  own_response_.SendResult = kSendShowAgain;
}

std::wstring TBaseDialog::FormatAppName(const std::wstring& text) const {
  const std::size_t at = text.find(L"%s");
  if (at == std::wstring::npos) return text;
  std::wstring name = Options().edoUseRealName() ? Trim(subject_.ReportValue(rvAppName)) : std::wstring();
  if (name.empty()) name = Options().GetCustomizedExpandedTexts(at == 0 ? mtApplication1 : mtApplication2);
  return text.substr(0, at) + name + text.substr(at + 2);
}

bool IsURL(std::wstring_view text) {
  const auto starts = [text](std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
  };
  return starts(L"http://") || starts(L"https://") || starts(L"<a href=\"");
}

std::wstring URLOf(std::wstring_view text) {
  if (!(text.size() >= 9 && EqualIgnoringCase(text.substr(0, 9), L"<a href=\""))) return std::wstring(text);
  std::wstring_view rest = text.substr(9);
  std::size_t end = rest.size();
  for (std::wstring_view stop : {std::wstring_view(L"\""), std::wstring_view(L"&lt;"), std::wstring_view(L"</")}) {
    end = std::min(end, rest.find(stop));
  }
  return std::wstring(rest.substr(0, end));
}

void TBaseDialog::ShowSendResult(const TResponse& response) {
  if (response.SendResult == kSendCancelled || quiet_) return;
  std::wstring text;
  bool success = true;
  if (response.SendResult == kSendBugClosed && Options().sndShowSuccessMsg()) {
    text = !response.SuccessMessage.empty() ? response.SuccessMessage : Options().GetCustomizedExpandedTexts(mtSend_BugClosedMsg);
  } else if (response.SendResult >= 0 && Options().sndShowSuccessMsg() && !Options().sndShowSuccessBugClosedOnlyMsg()) {
    text = !response.SuccessMessage.empty() ? response.SuccessMessage : Options().GetCustomizedExpandedTexts(mtSend_SuccessMsg);
  } else if (response.SendResult < 0 && Options().sndShowFailureMsg()) {
    text = !response.ErrorMessage.empty() ? response.ErrorMessage : Options().GetCustomizedExpandedTexts(mtSend_FailureMsg);
    success = false;
  }
  if (text.empty()) return;
  if (IsURL(text)) {
    if (const std::uint32_t error = platform::OpenAddress(URLOf(text)); error != 0) {
      ShowBox(platform::SystemErrorText(error), L"EOSError", kMbIconError);
    }
    return;
  }
  ShowBox(text, Options().GetCustomizedExpandedTexts(success ? mtInformationMsgCaption : mtErrorMsgCaption),
             success ? kMbIconInformation : kMbIconError);
}

void TBaseDialog::MarkLogSent(std::int32_t result) {
  TReportFileGuard guard;
  TLogFile log(log_file_name_, false);
  const std::wstring label = Options().GetCustomizedTexts(mtLog_ExcSend);
  if (Options().sndSendEntireLog() && result >= 0) {
    for (int i = 0; i < log.Count(); ++i) log.SetItemValue(kItemSent, L"1", label, i);
  } else {
    const std::vector<std::wstring> ids{kItemBugID}, values{BugIDText(subject_.BugID())};
    const int found = log.FindLastItem(ids, values);
    if (found < 0) return;
    // A repeat of a bug that was sent before stays marked sent: it was not
    // sent again because it had been.
    if (result < 0 && duplicate_ && IsTrueText(log.GetItemValue(kItemSent, found))) return;
    log.SetItemValue(kItemSent, result >= 0 ? L"1" : L"0", label, found);
  }
  log.Save();
}

void TBaseDialog::CopyLogOnError() {
  if (!platform::FileExistsAt(log_file_name_)) {
    TReportFileGuard guard;
    platform::LiveSystemFacts().CreateFolderTree(ExtractFileDirPart(log_file_name_));
    WriteUtf8File(log_file_name_, BugReport());
  }
  platform::CopyToClipboard(BugReport(), log_file_name_);
}

void TBaseDialog::AutoEnd() {
  if (Options().AutoCrashOperation() != tbNone &&
      (Options().AutoCrashNumber() == 1 || !Options().GetCustomField(kFieldAutoCrash).empty())) {
    Options().SetTerminateBtnOperation(Options().AutoCrashOperation());
    Options().SetCustomFieldBool(kFieldTerminate, true);
  }
  if (!Options().GetCustomFieldBool(kFieldTerminate)) return;
  if (Options().TerminateBtnOperation() == tbTerminate) {
    Terminate();
  } else {
    Restart();
  }
}

void TBaseDialog::Terminate() {
  if (RaiseAction(daBeforeTerminate, true)) EndProcess(false);
}

void TBaseDialog::Restart() {
  if (RaiseAction(daBeforeRestart, true)) EndProcess(true);
}

void TBaseDialog::EndProcess(bool restart) {
  if (DialogSlots().SilenceLeakChecks != nullptr) DialogSlots().SilenceLeakChecks();
  if (restart) {
    // A copy that fails again soon after its start ends instead of starting
    // yet another one: the marker tells it when it was started.
    const std::uint64_t now = platform::SystemTimeNow();
    if (RestartAllowed(platform::EnvironmentVariable(kRestartMarkerName), now)) {
      platform::SetProcessEnvironmentVariable(kRestartMarkerName, RestartMarkerText(now));
      std::wstring folder = StartupFolder().empty() ? platform::CurrentFolder() : StartupFolder();
      platform::StartSelfAgain(folder);
    }
  }
  EndThisProcess(static_cast<std::uint32_t>(ErrorCode()));
}

TResponse TBaseDialog::Execute() {
  TResponse response;
  try {
    SaveState();
    PrepareFileNames();
    if (Restarted() && !Options().GetCustomField(kFieldCanSend).empty()) {
      // The first round's answers hold: its presaved report is in the file
      // now and would otherwise pass for a duplicate of itself.
      duplicate_ = Options().GetCustomFieldBool(kFieldDuplicate);
      can_send_ = Options().GetCustomFieldBool(kFieldCanSend);
      saved_ = Options().GetCustomFieldBool(kFieldPresaved);
    } else {
      duplicate_ = CheckDuplicate();
      Options().SetCustomFieldBool(kFieldDuplicate, duplicate_);
      Options().SetCustomFieldBool(kFieldCanSend, can_send_);
      if (!Restarted()) {
        TakeScreenshot();
        AddCustomData();
        if (Options().loDeleteLogAtVersionChange()) DeleteLogOnVersionChange();
        if (Options().PresaveReport() && SaveLogFile()) SaveBugReport();
        if (!quiet_) PlaySound();
      }
    }

    if (quiet_) {
      response.SendResult = kSendCancelled;
    } else {
      for (;;) {
        if (RaiseAction(daBeforeShow, true)) {
          response = ShowDialog();
        } else {
          response = TResponse{};
          response.SendResult = SendErrorReportChecked() ? kSendDone : kSendCancelled;
        }
        if (response.SendResult == kSendShowAgain) break;
        const bool success = response.SendResult >= 0;
        const bool answer = RaiseAction(daAfterShow, success, response.ErrorMessage);
        if (answer != success) response.SendResult = answer ? kSendDone : kSendFailed;
        if (response.SendResult < 0 && response.SendResult != kSendCancelled &&
            AskRetry(daAfterShow, L"$" + Hex8(static_cast<std::uint32_t>(response.SendResult)) + L" " +
                                      response.ErrorMessage)) {
          continue;
        }
        break;
      }
    }
    if (response.SendResult == kSendShowAgain) {
      RestoreState();
      return response;
    }

    if (SaveLogFile() && (response.SendResult >= 0 || response.SendResult == kSendCancelled || !saved_)) SaveBugReport();
    if (response.SendResult >= 0 && CanSend() && !quiet_) {
      PrepareFilesToSend();
      response = SendStep();
      if (response.SendResult < 0) {
        if (!subject_.Expected() && Options().boCopyLogInCaseOfError()) CopyLogOnError();
        if (Options().boSaveCompressedCopyInCaseOfError() && platform::FileExistsAt(zip_file_name_)) {
          const std::wstring copy = GetDocumentsFolder() + ExtractFileNamePart(zip_file_name_);
          platform::DeleteFileAt(copy);
          platform::MoveFileTo(zip_file_name_, copy);
        }
      } else if (Options().sndDeleteFileAfterSend()) {
        platform::DeleteFileAt(log_file_name_);
        saved_ = true;
      }
      ShowSendResult(response);
      if (saved_) MarkLogSent(response.SendResult);
    } else {
      RaiseAction(daNotSent, true);
      if (saved_) MarkLogSent(kSendCancelled);
    }
    RestoreState();
    AutoEnd();
  } catch (const rt::Exception& e) {
    RestoreState();
    response = TResponse{};
    response.ErrorCode = kStepExceptionCode;
    response.ErrorMessage = e.Message();
    response.SendResult = kSendFailed;
  }
  return response;
}

// --- The loop and its threads -----------------------------------------------------

namespace {

// Which threads the report takes frozen: every known thread but the
// caller, the exception's and the facility's own, by the pause options.
std::vector<std::uint32_t> ThreadsToCapture(const TDialogSubject& subject, const TVarnelModuleOptions& options) {
  std::vector<std::uint32_t> ids;
  const bool windows = options.boPauseWindowsThreads(), rtl = options.boPauseRTLThreads();
  if (!windows && !rtl) return ids;
  const std::uint32_t self = platform::CurrentThreadId();
  for (const TSubjectThread& t : subject.Threads()) {
    if (t.ID == self || t.ID == subject.ThreadID() || IsFacilityThread(t.ID)) continue;
    const bool take = t.RTL ? rtl && !(t.Main && options.boDoNotPauseMainThread()) : windows;
    if (take) ids.push_back(t.ID);
  }
  return ids;
}

TResponse RunLoop(const TDialogClass& first, TDialogSubject& subject, bool restart_or_terminate, bool quiet) {
  std::optional<platform::TComScope> com;
  if (!quiet) {
    platform::HoldComLibrary();
    com.emplace();
  }
  TVarnelModuleOptions& options = subject.Options();
  if (const auto ids = ThreadsToCapture(subject, options); !ids.empty()) subject.CaptureThreads(ids);
  options.SetCustomField(kFieldDetailsFallback, L"");
  options.SetCustomFieldInt(kFieldOldSendResult, 0);
  options.SetCustomFieldBool(kFieldRestarted, false);
  for (const wchar_t* field : {kFieldPresaved, kFieldPresavedMark, kFieldDuplicate, kFieldCanSend}) {
    options.SetCustomField(field, L"");
  }
  const TDialogClass* current = &first;
  TResponse response;
  response.SendResult = kSendShowAgain;
  bool rtl_event = false;
  // The first round's screenshot serves every later round.
  struct TScreenshotHolder {
    void* screenshot = nullptr;
    ~TScreenshotHolder() { FreeScreenshotHandle(screenshot); }
  } kept;
  for (int round = 0; response.SendResult == kSendShowAgain; ++round) {
    if (round == kMaxDialogRounds) {
      response.SendResult = kSendDone;
      break;
    }
    std::unique_ptr<TBaseDialog> dialog = current->Create(subject);
    dialog->SetQuiet(quiet);
    dialog->AdoptScreenshot(kept.screenshot);
    kept.screenshot = nullptr;
    if (round > 0) {
      options.SetCustomField(kFieldTerminateOld, options.GetCustomField(kFieldTerminate));
      options.SetCustomField(kFieldTerminate, L"");
    }
    options.SetCustomField(kFieldAutoCrash, restart_or_terminate ? L"1" : L"");
    response = dialog->Execute();
    kept.screenshot = dialog->ReleaseScreenshot();
    rtl_event = dialog->CallRTLExceptionEvent();
    if (response.SendResult == kSendShowAgain) {
      current = FindDialogClass(options.ExceptionDialogType());
      if (current == nullptr) {
        response.SendResult = kSendDone;
        break;
      }
      options.SetCustomFieldBool(kFieldRestarted, true);
    }
  }
  if (rtl_event) response.SendResult = kSendShowAgain;
  return response;
}

// The dialog loop on a thread of its own; the caller waits for it serving
// the messages other threads send to its windows.
class TSendThread : public rt::TThread {
 public:
  TSendThread(const TDialogClass& dialog_class, TDialogSubject& subject, bool restart_or_terminate)
      : rt::TThread(L"VarnelLog dialog"), class_(dialog_class), subject_(subject), restart_(restart_or_terminate) {}

  static TResponse ShowException(const TDialogClass& dialog_class, TDialogSubject& subject, bool restart_or_terminate) {
    TSendThread thread(dialog_class, subject, restart_or_terminate);
    const std::uint32_t waiter = platform::CurrentThreadId();
    AddFacilityThread(waiter);
    AddFacilityThread(thread.ThreadID());
    thread.Start();
    platform::WaitServingSentMessages(thread.Handle());
    thread.WaitFor();
    RemoveFacilityThread(thread.ThreadID());
    RemoveFacilityThread(waiter);
    return thread.response_;
  }

 protected:
  void Execute() override {
    try {
      response_ = RunLoop(class_, subject_, restart_, false);
    } catch (const rt::Exception& e) {
      response_ = TResponse{};
      response_.ErrorCode = kStepExceptionCode;
      response_.ErrorMessage = e.Message();
      response_.SendResult = kSendFailed;
    }
  }

 private:
  const TDialogClass& class_;
  TDialogSubject& subject_;
  bool restart_;
  TResponse response_;
};

}  // namespace

TResponse RunDialogLoop(const TDialogClass& first, TDialogSubject& subject, bool restart_or_terminate) {
  return RunLoop(first, subject, restart_or_terminate, rt::IsInitializing != 0 || rt::IsFinalizing != 0);
}

TResponse ShowExceptionDialogOfType(TDialogSubject& subject, std::wstring_view class_name, bool restart_or_terminate) {
  const std::wstring name = class_name.empty() ? subject.Options().ExceptionDialogType() : std::wstring(class_name);
  const TDialogClass* dialog_class = FindDialogClass(name);
  if (dialog_class == nullptr) dialog_class = &NullDialogClass();
  // While the facility starts or stops the loader lock may be held: no new
  // thread, no window, no component model.
  if (rt::IsInitializing != 0 || rt::IsFinalizing != 0) return RunLoop(*dialog_class, subject, restart_or_terminate, true);
  const bool off_main = !IsLibraryModule(0) && MainThreadID() != 0 && platform::CurrentThreadId() != MainThreadID();
  if (dialog_class->ThreadSafe && !off_main && subject.Options().GetCustomFieldBool(kFieldCanUseThread)) {
    return TSendThread::ShowException(*dialog_class, subject, restart_or_terminate);
  }
  return RunLoop(*dialog_class, subject, restart_or_terminate, false);
}

TResponse ShowExceptionDialog(TDialogSubject* subject, bool force, bool restart_or_terminate) {
  TResponse response;
  if (subject == nullptr || !subject->HasCallStack()) {
    response.SendResult = kSendNothing;
    return response;
  }
  const TVarnelModuleOptions& options = subject->Options();
  const bool show = force || !subject->Handled() || options.boCatchHandledExceptions() ||
                    (subject->SafeCall() && options.boHandleSafeCallExceptions());
  if (!show) return response;
  return ShowExceptionDialogOfType(*subject, L"", restart_or_terminate);
}

void EDialogInit() {
  StartupFolder() = platform::CurrentFolder();
  if (!StartupFolder().empty() && StartupFolder().back() != L'\\') StartupFolder() += L'\\';
  RegisterMessageBoxDialogClasses();
  DialogStep() = ShowExceptionInfoDialog;
  if (DialogSlots().JoinLeakChecks != nullptr) {
    DialogSlots().JoinLeakChecks(DialogClassesAtLeakCheckBegin, DialogClassesAtLeakCheckEnd);
  }
}

void EDialogDone() {
  if (DialogSlots().LeaveLeakChecks != nullptr) {
    DialogSlots().LeaveLeakChecks(DialogClassesAtLeakCheckBegin, DialogClassesAtLeakCheckEnd);
  }
  if (DialogStep() == ShowExceptionInfoDialog) DialogStep() = nullptr;
  platform::ReleaseComLibrary();
  UnregisterDialogClasses();
  StartupFolder().clear();
  StartupFolder().shrink_to_fit();
}

}  // namespace zelvic::diag
