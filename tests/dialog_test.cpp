// The dialog framework through its entries: a subject of fixed values, the
// real report file in a folder of the test's own, and the slots of the
// parts that are not here (the sender, the manager's actions, the end of
// the process) filled with recorders. The facility's message box answers
// through its replacement slot; real message boxes run under Xvfb with a
// watcher that answers them, and the console form in a child process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diagnostics/dialogs/EDialog.h"
#include "diagnostics/dialogs/EMessageBoxDialogs.h"
#include "diagnostics/dialogs/ERestartMarker.h"
#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/reports/ELogManager.h"
#include "child_scenarios.h"
#include "report_texts.h"
#include "runtime/unit_lifecycle.h"
#include "platform/modules.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

using test::Report;

// What the slots saw.
struct Seen {
  std::vector<std::vector<std::wstring>> Sends;
  std::vector<DWORD> SendThreads;
  std::vector<int> Actions;
  std::vector<std::wstring> BoxTexts;
  std::vector<std::uint32_t> BoxStyles;
  int BoxAnswer = IDYES;
  TResponse SendAnswer;
  std::vector<std::uint8_t> DumpHead;
  std::uint32_t DumpExceptionThread = 0;  // the dump's exception stream
  std::vector<DWORD> ActionThreads;
  std::vector<std::wstring> SenderFields;
  bool VetoTerminate = false;
  int Veto = -1;                 // the action answered false
  int RetryOnce = -1;            // the failure asked to repeat once
  std::vector<int> Retries;
  int FailSends = 0;             // sends that fail before one succeeds
  DWORD BoxError = 0;
  HWND PingWindow = nullptr;
  LRESULT PingAnswer = 0;
};
Seen* g_seen = nullptr;

struct Ended {
  std::uint32_t Code;
};

void RecordingSend(TBaseDialog& dialog, const std::vector<std::wstring>& files, TResponse& response) {
  g_seen->Sends.push_back(files);
  for (const wchar_t* field : {L"_BugID", L"_BugType", L"_BugText", L"_BugAppVersion", L"_VL_StepsToReproduce"}) {
    g_seen->SenderFields.push_back(dialog.Options().GetCustomField(field));
  }
  g_seen->SenderFields.push_back(dialog.Options().GetCustomField(L"_Message").substr(0, 17));
  g_seen->SendThreads.push_back(GetCurrentThreadId());
  for (const std::wstring& f : files) {
    if (f.ends_with(L".mdmp")) {
      std::ifstream in(f.c_str(), std::ios::binary);
      g_seen->DumpHead.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      const std::vector<std::uint8_t>& dump = g_seen->DumpHead;
      // The stream directory (type, size, place) names the exception stream
      // (type 6), which begins with the exception's thread.
      const auto u32 = [&dump](std::size_t at) -> std::uint32_t {
        if (at + 4 > dump.size()) return 0;
        return dump[at] | dump[at + 1] << 8 | dump[at + 2] << 16 | static_cast<std::uint32_t>(dump[at + 3]) << 24;
      };
      const std::uint32_t streams = u32(8), directory = u32(12);
      for (std::uint32_t i = 0; i < streams && i < 64; ++i) {
        if (u32(directory + 12 * i) == 6) g_seen->DumpExceptionThread = u32(u32(directory + 12 * i + 8));
      }
      g_seen->DumpHead.resize(std::min<std::size_t>(g_seen->DumpHead.size(), 4));
    }
  }
  if (g_seen->PingWindow != nullptr) {
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(g_seen->PingWindow, WM_APP, 7, 0, SMTO_NORMAL, 10000, &answer)) {
      g_seen->PingAnswer = static_cast<LRESULT>(answer);
    }
  }
  response = g_seen->SendAnswer;
  if (g_seen->FailSends > 0) {
    --g_seen->FailSends;
    response.SendResult = kSendFailed;
    response.ErrorMessage = L"busy";
  }
}

bool RecordingRetry(TDialogSubject&, TDialogAction action, const std::wstring&) {
  g_seen->Retries.push_back(action);
  if (action != g_seen->RetryOnce) return false;
  g_seen->RetryOnce = -1;
  return true;
}

bool RecordingAction(TDialogSubject&, TDialogAction action, bool execute, const std::wstring&) {
  g_seen->Actions.push_back(action);
  g_seen->ActionThreads.push_back(GetCurrentThreadId());
  if (action == daBeforeTerminate && g_seen->VetoTerminate) return false;
  if (action == g_seen->Veto) return false;
  return execute;
}

int RecordingBox(const std::wstring& text, const std::wstring&, std::uint32_t style, void*) {
  g_seen->BoxTexts.push_back(text);
  g_seen->BoxStyles.push_back(style);
  if (g_seen->BoxError != 0) {
    SetLastError(g_seen->BoxError);
    return 0;
  }
  return g_seen->BoxAnswer;
}

void ThrowingEnd(std::uint32_t code) { throw Ended{code}; }

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = &seen_;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"zelvic_dialog_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::to_wstring(GetTickCount()) + L"\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
    log_ = folder_ + L"app.vl";
    RegisterMessageBoxDialogClasses();
    DialogSlots() = TDialogSlots{};
    DialogSlots().Send = RecordingSend;
    DialogSlots().Action = RecordingAction;
    DialogSlots().RetryAfterFailure = RecordingRetry;
    DialogSlots().EndProcess = ThrowingEnd;
    MessageBoxReplacement = RecordingBox;
    auto& o = subject_.Opts;
    o.SetOutputPath(log_);
    o.SetSaveLogFile(true);
    o.SetSenderClasses(L"TTestSender");
    o.SetExceptionDialogType(L"TNullDialog");
    o.SetPresaveReport(true);
    o.SetsndDeleteFileAfterSend(false);
    o.SetErrorsNumberToSave(10);
    subject_.Report = Report(BugIDText(subject_.Bug));
  }
  void TearDown() override {
    MessageBoxReplacement = nullptr;
    DialogSlots() = TDialogSlots{};
    rt::IsInitializing = 0;
    g_seen = nullptr;
    DeleteFileW(log_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  TLogFile Stored() { return TLogFile(log_, true); }

  Seen seen_;
  TFixedDialogSubject subject_;
  std::wstring folder_, log_;
};

TEST_F(DialogTest, NothingIsShownWithoutACallStackOrForAHandledException) {
  EXPECT_EQ(ShowExceptionDialog(nullptr, true, false).SendResult, kSendNothing);
  subject_.HasStack = false;
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendNothing);
  subject_.HasStack = true;
  subject_.IsHandled = true;
  EXPECT_EQ(ShowExceptionDialog(&subject_, false, false).SendResult, kSendDone);
  EXPECT_EQ(subject_.ReportsBuilt, 0);
  EXPECT_TRUE(seen_.Sends.empty());
  subject_.Opts.SetboCatchHandledExceptions(true);
  ShowExceptionDialog(&subject_, false, false);
  EXPECT_EQ(seen_.Sends.size(), 1u);
}

TEST_F(DialogTest, AnUnknownClassShowsNothingButSavesSendsAndMarksTheReportSent) {
  subject_.Opts.SetExceptionDialogType(L"TNoSuchDialog");
  const TResponse response = ShowExceptionDialog(&subject_, true, false);
  EXPECT_EQ(response.SendResult, kSendDone);
  EXPECT_TRUE(seen_.BoxTexts.empty());
  ASSERT_EQ(seen_.Sends.size(), 1u);
  ASSERT_EQ(seen_.Sends[0].size(), 1u);
  EXPECT_TRUE(seen_.Sends[0][0].ends_with(L"\\BugReport.vl"));
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.GetItemValue(kItemBugID, 0), L"1A2B3C4D");
  EXPECT_EQ(stored.GetItemValue(kItemSent, 0), L"1");
}

TEST_F(DialogTest, SendersGetTheBugsFieldsAndAFailureIsShown) {
  subject_.Values[rvAppVersion] = L"2.5.0.1";
  subject_.Reproduce = L"  clicked twice  ";
  seen_.SendAnswer.SendResult = kSendFailed;
  seen_.SendAnswer.ErrorMessage = L"no route to the tracker";
  subject_.Opts.SetsndShowFailureMsg(true);
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendFailed);
  EXPECT_EQ(seen_.SenderFields, (std::vector<std::wstring>{L"1A2B3C4D", L"EAccessViolation", L"Access violation",
                                                           L"2.5.0.1", L"clicked twice", L"VarnelLog 7.1.0.0"}));
  ASSERT_EQ(seen_.BoxTexts.size(), 1u);
  EXPECT_EQ(seen_.BoxTexts[0], L"no route to the tracker");
  // The facility's box makes every box task-modal.
  EXPECT_EQ(seen_.BoxStyles[0], static_cast<std::uint32_t>(MB_ICONERROR | MB_TASKMODAL));
  EXPECT_EQ(Stored().GetItemValue(kItemSent, 0), L"0");
  // The report went to the clipboard for the user to pass on.
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  const auto* text = static_cast<const wchar_t*>(data != nullptr ? GlobalLock(data) : nullptr);
  EXPECT_EQ(text != nullptr ? std::wstring(text) : std::wstring(), subject_.Report);
  if (text != nullptr) GlobalUnlock(data);
  CloseClipboard();
}

TEST_F(DialogTest, TheManagersAnswersToTheActionsSteerTheSteps) {
  const struct {
    const char* what;
    int veto;
    bool checked;
    std::int32_t result;
    std::size_t boxes, sends, reports;
  } kCases[] = {
      {"no veto", -1, true, kSendDone, 1, 1, 1},
      {"not shown, send checked", daBeforeShow, true, kSendDone, 0, 1, 1},
      {"not shown, send unchecked", daBeforeShow, false, kSendCancelled, 0, 0, 1},
      {"shown, then failed", daAfterShow, true, kSendFailed, 1, 0, 1},
      {"not saved", daBeforeSave, true, kSendDone, 1, 1, 0},
      {"senders skipped", daBeforeSend, true, kSendDone, 1, 0, 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(log_.c_str());
    seen_ = Seen{};
    seen_.Veto = c.veto;
    subject_.Opts.SetedoSendErrorReportChecked(c.checked);
    EXPECT_EQ(ShowExceptionDialogOfType(subject_, L"TMessageBoxDialog", false).SendResult, c.result);
    EXPECT_EQ(seen_.BoxTexts.size(), c.boxes);
    EXPECT_EQ(seen_.Sends.size(), c.sends);
    EXPECT_EQ(Stored().Count(), static_cast<int>(c.reports));
  }
}

TEST_F(DialogTest, AFailedSendIsRepeatedWhenTheManagerAsks) {
  seen_.FailSends = 1;
  seen_.RetryOnce = daAfterSend;
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendDone);
  EXPECT_EQ(seen_.Sends.size(), 2u);
  EXPECT_EQ(seen_.Retries, (std::vector<int>{daAfterSend}));
  EXPECT_EQ(Stored().GetItemValue(kItemSent, 0), L"1");
}

TEST_F(DialogTest, ABoxThatCannotShowIsAFailureWithTheSystemsError) {
  seen_.BoxError = ERROR_ACCESS_DENIED;
  const TResponse response = ShowExceptionDialogOfType(subject_, L"TMessageBoxDialog", false);
  EXPECT_EQ(response.SendResult, kSendFailed);
  EXPECT_EQ(response.ErrorCode, ERROR_ACCESS_DENIED);
  wchar_t text[512] = {};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, 0, text, 512,
                 nullptr);
  std::wstring expected = text;
  while (!expected.empty() && (expected.back() == L'\n' || expected.back() == L'\r')) expected.pop_back();
  EXPECT_EQ(response.ErrorMessage, expected);
  EXPECT_TRUE(seen_.Sends.empty());
  // The failure was offered for a repeat, with its code and text.
  EXPECT_EQ(seen_.Retries, (std::vector<int>{daAfterShow}));
  EXPECT_EQ(Stored().Count(), 1);
}

TEST_F(DialogTest, ASentReportLeavesTheFileWhenTheOptionsSaySo) {
  subject_.Opts.SetsndDeleteFileAfterSend(true);
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendDone);
  EXPECT_EQ(seen_.Sends.size(), 1u);
  EXPECT_EQ(GetFileAttributesW(log_.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DialogTest, WorkFilesCarryTheExceptionsTimeNotTheCurrentOne) {
  // Only files sent as they are carry the date.
  subject_.Opts.SetsndPack(false);
  subject_.Opts.SetsndAddBugIDInFileName(false);
  subject_.Opts.SetsndAddDateInFileName(true);
  subject_.Opts.SetCustomField(kFieldExceptionTime, L"20010203040506");
  ShowExceptionDialog(&subject_, true, false);
  ASSERT_EQ(seen_.Sends.size(), 1u);
  ASSERT_EQ(seen_.Sends[0].size(), 1u);
  EXPECT_TRUE(seen_.Sends[0][0].ends_with(L"\\BugReport_20010203040506.vl")) << seen_.Sends[0][0];
  // Without the exception's time the current time stands in.
  subject_.Opts.SetCustomField(kFieldExceptionTime, L"");
  SYSTEMTIME now;
  GetLocalTime(&now);
  ShowExceptionDialog(&subject_, true, false);
  ASSERT_EQ(seen_.Sends.size(), 2u);
  ASSERT_EQ(seen_.Sends[1].size(), 1u);
  const std::wstring& name = seen_.Sends[1][0];
  const std::size_t at = name.rfind(L"\\BugReport_");
  ASSERT_NE(at, std::wstring::npos) << name;
  const std::wstring stamp = name.substr(at + 11, name.size() - at - 11 - 3);
  ASSERT_EQ(stamp.size(), 14u) << name;
  EXPECT_TRUE(std::all_of(stamp.begin(), stamp.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) << name;
  EXPECT_EQ(std::stoi(stamp.substr(0, 4)), now.wYear) << name;
}

TEST_F(DialogTest, TheMessageBoxAsksAndItsAnswerDecides) {
  const struct {
    bool checked;
    int answer;
    std::int32_t result;
    std::uint32_t style;
    std::size_t sends;
    const wchar_t* sent_flag;
  } kCases[] = {
      {true, IDYES, kSendDone, MB_YESNO | MB_ICONERROR | MB_TASKMODAL, 1, L"1"},
      {false, IDNO, kSendCancelled, MB_YESNO | MB_ICONERROR | MB_TASKMODAL | MB_DEFBUTTON2, 0, L"0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.checked);
    DeleteFileW(log_.c_str());
    seen_ = Seen{};
    seen_.BoxAnswer = c.answer;
    subject_.Opts.SetedoSendErrorReportChecked(c.checked);
    const TResponse response = ShowExceptionDialogOfType(subject_, L"TMessageBoxDialog", false);
    EXPECT_EQ(response.SendResult, c.result);
    ASSERT_EQ(seen_.BoxTexts.size(), 1u);
    EXPECT_EQ(seen_.BoxTexts[0], L"Access violation\r\n\r\nDo you want to send report to developers about this problem?");
    EXPECT_EQ(seen_.BoxStyles[0], c.style);
    EXPECT_EQ(seen_.Sends.size(), c.sends);
    const bool not_sent_raised = std::find(seen_.Actions.begin(), seen_.Actions.end(), daNotSent) != seen_.Actions.end();
    EXPECT_EQ(not_sent_raised, c.sends == 0);
    TLogFile stored = Stored();
    ASSERT_EQ(stored.Count(), 1);  // presaved, then replaced, never doubled
    EXPECT_EQ(stored.GetItemValue(kItemSent, 0), c.sent_flag);
  }
}

TEST_F(DialogTest, TheDetailedBoxAddsTheFirstCallStackLines) {
  subject_.Opts.SetSenderClasses(L"");
  subject_.Stack = {{1, TDetailedEntry::ddSourceCode, L"C:\\app\\host.exe", L"Main", L"TForm.Click", 12, 3}};
  ShowExceptionDialogOfType(subject_, L"TMessageBoxDetailedDialog", false);
  ASSERT_EQ(seen_.BoxTexts.size(), 1u);
  EXPECT_EQ(seen_.BoxTexts[0], L"Access violation\r\n\r\nhost.exe.Main.TForm.Click,12[3]\r\n");
  EXPECT_EQ(seen_.BoxStyles[0], static_cast<std::uint32_t>(MB_ICONERROR | MB_TASKMODAL));
}

TEST_F(DialogTest, ARepeatedBugRaisesTheStoredCountAndIsNotSentAgain) {
  subject_.Opts.SetloNoDuplicateErrors(true);
  for (int round = 0; round < 3; ++round) ShowExceptionDialog(&subject_, true, false);
  EXPECT_EQ(seen_.Sends.size(), 1u);
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.GetItemValue(kItemCount, 0), L"3");
  EXPECT_EQ(stored.GetItemValue(kItemSent, 0), L"1");
  // The repeats were counted without their text being built.
  EXPECT_EQ(subject_.ReportsBuilt, 1);
}

// Removes the report file while it is shown, as another process may.
class TClearsFileDialog : public TNullDialog {
 public:
  using TNullDialog::TNullDialog;
  const wchar_t* ClassName() const noexcept override { return L"TClearsFileDialog"; }

 protected:
  TResponse ShowDialog() override {
    DeleteFileW(LogFileName().c_str());
    return TResponse{};
  }
};

// The bug was stored when the dialog began, but not when its report is
// saved: the report is built then and appended.
TEST_F(DialogTest, ARepeatWhoseStoredReportIsGoneIsSavedWhole) {
  RegisterDialogClass({L"TClearsFileDialog", true, [](TDialogSubject& s) -> std::unique_ptr<TBaseDialog> {
                         return std::make_unique<TClearsFileDialog>(s);
                       }});
  {
    TReportFileGuard guard;
    TLogFile log(log_, false);
    log.Append(Report(BugIDText(subject_.Bug), L"stored before"), -1);
    log.Save();
  }
  subject_.Opts.SetloNoDuplicateErrors(true);
  subject_.Opts.SetPresaveReport(false);
  subject_.Opts.SetSenderClasses(L"");
  EXPECT_EQ(ShowExceptionDialogOfType(subject_, L"TClearsFileDialog", false).SendResult, kSendDone);
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.GetItemValue(kItemVersion, 0), L"1.0.0.7");
  EXPECT_EQ(subject_.ReportsBuilt, 1);
}

// Asks once to be replaced by TNullDialog; meanwhile another writer adds a
// report of the same bug to the file.
class TSwitchOnceDialog : public TNullDialog {
 public:
  using TNullDialog::TNullDialog;
  const wchar_t* ClassName() const noexcept override { return L"TSwitchOnceDialog"; }

 protected:
  TResponse ShowDialog() override {
    TReportFileGuard guard;
    TLogFile log(LogFileName(), false);
    log.Append(Report(BugIDText(Subject().BugID()), L"written by another process"), -1);
    log.Save();
    Options().SetExceptionDialogType(L"TNullDialog");
    TResponse response;
    response.SendResult = kSendShowAgain;
    return response;
  }
};

TEST_F(DialogTest, AReplacedDialogReplacesItsOwnPresavedReportOnly) {
  RegisterDialogClass({L"TSwitchOnceDialog", true,
                       [](TDialogSubject& s) -> std::unique_ptr<TBaseDialog> { return std::make_unique<TSwitchOnceDialog>(s); }});
  subject_.Opts.SetSenderClasses(L"");
  EXPECT_EQ(ShowExceptionDialogOfType(subject_, L"TSwitchOnceDialog", false).SendResult, kSendDone);
  EXPECT_TRUE(subject_.Opts.GetCustomFieldBool(L"_Restarted"));
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 2) << (stored.Count() > 0 ? std::string(stored.GetItem(0).begin(), stored.GetItem(0).end()) : "");
  EXPECT_EQ(stored.GetItemValue(kItemVersion, 0), L"written by another process");
  EXPECT_EQ(stored.GetItemValue(kItemVersion, 1), L"1.0.0.7");
}

TEST_F(DialogTest, AutoCrashTerminatesWithTheExceptionCodeUnlessVetoed) {
  subject_.Opts.SetAutoCrashOperation(tbTerminate);
  subject_.Opts.SetAutoCrashNumber(1);
  subject_.Code = 0x0000BEEF;
  try {
    ShowExceptionDialog(&subject_, true, false);
    ADD_FAILURE() << "the process was not ended";
  } catch (const Ended& e) {
    EXPECT_EQ(e.Code, 0xBEEFu);
  }
  EXPECT_EQ(seen_.Actions.back(), daBeforeTerminate);
  seen_.VetoTerminate = true;
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendDone);
}

TEST_F(DialogTest, WhileTheFacilityStartsTheReportIsOnlySaved) {
  rt::IsInitializing = 1;
  subject_.Opts.SetCustomFieldBool(L"_CanUseThread", true);
  const TResponse response = ShowExceptionDialogOfType(subject_, L"TMessageBoxDialog", false);
  rt::IsInitializing = 0;
  EXPECT_EQ(response.SendResult, kSendCancelled);
  EXPECT_TRUE(seen_.BoxTexts.empty());
  EXPECT_TRUE(seen_.Sends.empty());
  EXPECT_EQ(Stored().Count(), 1);
  // No thread of its own, though the class and the options allow one.
  ASSERT_FALSE(seen_.ActionThreads.empty());
  for (DWORD thread : seen_.ActionThreads) EXPECT_EQ(thread, GetCurrentThreadId());
}

LRESULT CALLBACK PingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_APP) return static_cast<LRESULT>(w) * 6;
  return DefWindowProcW(window, message, w, l);
}

TEST_F(DialogTest, AThreadOfItsOwnRunsTheDialogWhileTheCallerServesSentMessages) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = PingProc;
  wc.lpszClassName = L"ZelvicDialogPing";
  RegisterClassW(&wc);
  seen_.PingWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(seen_.PingWindow, nullptr);
  subject_.Opts.SetCustomFieldBool(L"_CanUseThread", true);
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendDone);
  ASSERT_EQ(seen_.SendThreads.size(), 1u);
  EXPECT_NE(seen_.SendThreads[0], GetCurrentThreadId());
  EXPECT_EQ(seen_.PingAnswer, 42);
  DestroyWindow(seen_.PingWindow);
  UnregisterClassW(wc.lpszClassName, nullptr);
}

TEST_F(DialogTest, PausedThreadsLeaveOutTheCallerTheExceptionsThreadAndTheMainOneWhenAsked) {
  subject_.Opts.SetboPauseWindowsThreads(true);
  subject_.Opts.SetboPauseRTLThreads(true);
  subject_.Opts.SetboDoNotPauseMainThread(true);
  // Odd numbers: the system gives threads multiples of four, so no real
  // thread (the dialog thread of an earlier test) takes these.
  subject_.Thread = 501;
  subject_.ThreadList = {{GetCurrentThreadId(), false, false}, {501, false, false}, {601, false, false},
                         {701, true, true}, {801, true, false}};
  ShowExceptionDialog(&subject_, true, false);
  EXPECT_EQ(subject_.Captured, (std::vector<std::uint32_t>{601, 801}));
}

// On a dialog thread of its own, the thread that waits for it is the
// facility's and is never taken: it serves the dialog's sent messages.
TEST_F(DialogTest, TheWaiterOfADialogThreadIsNeverTaken) {
  subject_.Opts.SetboPauseWindowsThreads(true);
  subject_.Opts.SetCustomFieldBool(L"_CanUseThread", true);
  subject_.Thread = 501;
  subject_.ThreadList = {{GetCurrentThreadId(), false, false}, {501, false, false}, {601, false, false}};
  ShowExceptionDialog(&subject_, true, false);
  ASSERT_EQ(seen_.SendThreads.size(), 1u);
  EXPECT_NE(seen_.SendThreads[0], GetCurrentThreadId());
  EXPECT_EQ(subject_.Captured, (std::vector<std::uint32_t>{601}));
}

TEST_F(DialogTest, AMemoryDumpIsWrittenForTheExceptionsThread) {
  subject_.Opts.SetMiniDumpCreate(true);
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xC0000005;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  EXCEPTION_POINTERS pointers{&record, &context};
  subject_.Pointers = &pointers;
  subject_.Thread = GetCurrentThreadId();
  ShowExceptionDialog(&subject_, true, false);
  ASSERT_EQ(seen_.Sends.size(), 1u);
  EXPECT_EQ(seen_.Sends[0].size(), 2u);
  EXPECT_EQ(seen_.DumpHead, (std::vector<std::uint8_t>{'M', 'D', 'M', 'P'}));
  EXPECT_EQ(seen_.DumpExceptionThread, GetCurrentThreadId());
}

DWORD WINAPI WaitForEvent(void* event) { return WaitForSingleObject(event, 30000); }

// The exception's thread is another one than the dialog's: the dump names
// that thread, with the context taken from it.
TEST_F(DialogTest, TheMemoryDumpNamesTheExceptionsThreadNotTheDialogs) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD other_id = 0;
  HANDLE other = CreateThread(nullptr, 0, WaitForEvent, release, 0, &other_id);
  ASSERT_NE(other, nullptr);
  Sleep(50);
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  SuspendThread(other);
  GetThreadContext(other, &context);
  ResumeThread(other);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xC0000005;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  EXCEPTION_POINTERS pointers{&record, &context};
  subject_.Opts.SetMiniDumpCreate(true);
  subject_.Pointers = &pointers;
  subject_.Thread = other_id;
  ShowExceptionDialog(&subject_, true, false);
  SetEvent(release);
  WaitForSingleObject(other, 30000);
  CloseHandle(other);
  CloseHandle(release);
  ASSERT_EQ(seen_.Sends.size(), 1u);
  EXPECT_EQ(seen_.DumpHead, (std::vector<std::uint8_t>{'M', 'D', 'M', 'P'}));
  EXPECT_EQ(seen_.DumpExceptionThread, other_id);
}

TEST(DialogMessages, TheMessageShownFollowsTheOptions) {
  RegisterMessageBoxDialogClasses();
  TFixedDialogSubject subject;
  subject.MessageList = {L"outer", L"middle", L"inner"};
  subject.Opts.SetCustomExceptionMessage(L"Bug %_BugID%");
  const struct {
    TSourceExceptionKind kind;
    const wchar_t* comment;
    bool expected;
    const wchar_t* text;
  } kCases[] = {
      {sekCustom, L"", false, L"Bug 1A2B3C4D"},
      {sekMerge, L"", false, L"outer\r\nmiddle\r\ninner"},
      {sekFirst, L"", false, L"inner"},
      {sekLast, L"", false, L"outer"},
      {sekMerge, L"", true, L"outer"},           // an expected exception shows its own
      {sekMerge, L"a note", false, L"a note"},  // a comment comes first
  };
  for (const auto& c : kCases) {
    subject.Opts.SetNestedExceptionMessage(c.kind);
    subject.CommentText = c.comment;
    subject.IsExpected = c.expected;
    TNullDialog dialog(subject);
    EXPECT_EQ(dialog.GetExceptionMessage(), c.text) << static_cast<int>(c.kind);
  }
}

TEST(DialogMessages, DetailedLinesKeepTheFirstThreadsDetailedEntries) {
  using E = TDetailedEntry;
  std::vector<E> entries = {
      {1, E::ddSourceCode, L"C:\\a\\Host.exe", L"host", L"Run", 10, 2},      // unit named as the module
      {1, E::ddModule, L"C:\\a\\lib.dll", L"", L"", 0, 0},                    // too little detail
      {2, E::ddSourceCode, L"C:\\a\\other.dll", L"Other", L"X", 1, 1},        // another thread
      {1, E::ddUnit, L"C:\\a\\lib.dll", L"Unit1", L"", 0, 0},
      {1, E::ddUnit, L"C:\\a\\lib.dll", L"Unit1", L"", 0, 0},                 // same line again
      {1, E::ddProcedure, L"C:\\a\\lib.dll", L"Unit2", L"TA.B", 0, 0},
  };
  for (int i = 0; i < 12; ++i) entries.push_back({1, E::ddUnit, L"x.dll", L"U" + std::to_wstring(i), L"", 0, 0});
  const auto lines = DetailedCallStackLines(entries);
  ASSERT_EQ(lines.size(), 3u + 9u);  // 15 entries looked at
  EXPECT_EQ(lines[0], L"Host.exe.Run,10[2]");
  EXPECT_EQ(lines[1], L"lib.dll.Unit1");
  EXPECT_EQ(lines[2], L"lib.dll.Unit2.TA.B");
  EXPECT_EQ(lines.back(), L"x.dll.U8");
}

TEST(DialogMessages, AddressesAndTheApplicationsName) {
  const struct {
    const wchar_t* text;
    bool url;
    const wchar_t* address;
  } kCases[] = {
      {L"https://example.com/bug/7", true, L"https://example.com/bug/7"},
      {L"HTTP://x", true, L"HTTP://x"},
      {L"<A HREF=\"https://t/1\">issue</a>", true, L"https://t/1"},
      {L"<a href=\"https://t/2&lt;b", true, L"https://t/2"},
      {L"ftp://x", false, L"ftp://x"},
      {L"Thank you", false, L"Thank you"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsURL(c.text), c.url);
    EXPECT_EQ(URLOf(c.text), c.address);
  }
  TFixedDialogSubject subject;
  subject.Values[rvAppName] = L" Trader ";
  TNullDialog dialog(subject);
  EXPECT_EQ(dialog.FormatAppName(L"%s stopped."), L"The application stopped.");
  EXPECT_EQ(dialog.FormatAppName(L"Restart %s now"), L"Restart application now");
  subject.Opts.SetedoUseRealName(true);
  EXPECT_EQ(dialog.FormatAppName(L"%s stopped."), L"Trader stopped.");
  EXPECT_EQ(dialog.FormatAppName(L"No name"), L"No name");
}

TEST(DialogRegistry, ClassesAreFoundByTheirExactName) {
  RegisterMessageBoxDialogClasses();
  const TDialogClass* box = FindDialogClass(L"TMessageBoxDialog");
  ASSERT_NE(box, nullptr);
  RegisterMessageBoxDialogClasses();
  EXPECT_EQ(FindDialogClass(L"TMessageBoxDialog"), box);
  EXPECT_EQ(FindDialogClass(L"tmessageboxdialog"), nullptr);
  EXPECT_FALSE(FindDialogClass(L"TRTLHandlerDialog")->ThreadSafe);
  EXPECT_TRUE(FindDialogClass(L"TNullDialog")->ThreadSafe);
}

TEST(RestartMarker, ACopyRestartedAShortTimeAgoIsNotRestartedAgain) {
  constexpr std::uint64_t kNow = 133'000'000'000'000'000ull;
  const struct {
    std::wstring marker;
    bool allowed;
  } kCases[] = {
      {L"", true},
      {RestartMarkerText(kNow - 10'000'000ull), false},            // one second ago
      {RestartMarkerText(kNow - kRestartLoopWindow), true},        // a minute ago
      {RestartMarkerText(kNow + 10'000'000ull), false},            // the clock went back
      {L"12x4", true},                                             // not a marker
      {L"99999999999999999999999", true},
  };
  for (const auto& c : kCases) EXPECT_EQ(RestartAllowed(c.marker, kNow), c.allowed) << std::string(c.marker.begin(), c.marker.end());
  EXPECT_EQ(ParseRestartMarker(RestartMarkerText(kNow)), kNow);
}

// In a child that has not loaded ole32: the dialogs keep it from the first
// one to the unit's end.
TEST(DialogComLibrary, OneLoadServesEveryDialogUntilTheUnitEnds) {
  std::string out;
  const std::uint32_t code = test::RunChild(L"--child dialog-ole32", out);
  if (code == 7) GTEST_SKIP() << "ole32 is loaded before any dialog in this program";
  EXPECT_EQ(code, 0x70u) << out;
}

// Run in a child: the facility's box writes its lines to standard output and
// answers the default button, No here.
TEST(DialogConsole, TheBoxPrintsItsLinesAndTakesTheDefault) {
  std::string out;
  EXPECT_EQ(test::RunChild(L"--child dialog-console", out), 1u);
  EXPECT_EQ(out, "\r\nError occurred\r\n\r\nAccess violation\r\n\r\nDo you want to send report to developers about this problem?\r\n");
}

TEST(DialogRestart, ARestartedCopyThatFailsAgainEndsInsteadOfRestarting) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring log = std::wstring(temp) + L"zelvic_restart_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  DeleteFileW(log.c_str());
  SetEnvironmentVariableW(L"ZELVIC_DIALOG_RESTART_LOG", log.c_str());
  SetEnvironmentVariableW(kRestartMarkerName, nullptr);
  std::string out;
  EXPECT_EQ(test::RunChild(L"--child dialog-restart", out), 0x51u);
  SetEnvironmentVariableW(L"ZELVIC_DIALOG_RESTART_LOG", nullptr);
  auto read = [&log] {
    std::ifstream in(log.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  for (int waited = 0; waited < 20000 && read().size() < 4; waited += 50) Sleep(50);
  Sleep(1500);  // a third copy would have written by now
  // The first run had no marker, its copy had one and ended without a copy.
  EXPECT_EQ(read(), "0\r\n1\r\n");
  DeleteFileW(log.c_str());
}

// ---- The steps of one dialog round and of a repeated round ---------------------

// Every step that a slot, the subject or the dialog can see, in order.
std::vector<std::wstring>* g_steps = nullptr;
constexpr std::uintptr_t kScreenshot = 0x5C5C0;
std::vector<void*> g_saved_screenshots, g_freed_screenshots;

void Step(const std::wstring& name) {
  if (g_steps != nullptr) g_steps->push_back(name);
}

void* StepTakeScreenshot(TDialogSubject&) {
  Step(L"take screenshot");
  return reinterpret_cast<void*>(kScreenshot);
}
bool StepSaveScreenshot(void* screenshot, const std::wstring&) {
  Step(L"save screenshot");
  g_saved_screenshots.push_back(screenshot);
  return true;
}
void StepFreeScreenshot(void* screenshot) {
  Step(L"free screenshot");
  g_freed_screenshots.push_back(screenshot);
}
bool StepAction(TDialogSubject&, TDialogAction action, bool execute, const std::wstring&) {
  static const wchar_t* const kNames[] = {L"before show", L"after show",  L"before save", L"after save", L"before send",
                                          L"after send",  L"not sent",    L"before terminate", L"before restart"};
  Step(kNames[action]);
  return execute;
}
void StepSend(TBaseDialog&, const std::vector<std::wstring>&, TResponse& response) {
  Step(L"send");
  response = TResponse{};
}

class TStepSubject : public TFixedDialogSubject {
 public:
  void AddCustomData() override { Step(L"custom data"); }
  std::wstring ReportValue(TReportValue which) const override {
    if (which == rvAppVersion) Step(L"version");
    return TFixedDialogSubject::ReportValue(which);
  }
};

// Shows nothing and asks once to be shown again, as a window dialog that
// switches to its detailed form does.
class TStepDialog : public TNullDialog {
 public:
  using TNullDialog::TNullDialog;
  const wchar_t* ClassName() const noexcept override { return L"TStepDialog"; }

 protected:
  TResponse ShowDialog() override {
    Step(L"dialog");
    TResponse response;
    if (!Restarted()) {
      Options().SetExceptionDialogType(L"TStepDialog");
      response.SendResult = kSendShowAgain;
    }
    return response;
  }
  void PlaySound() override { Step(L"sound"); }
};

TEST_F(DialogTest, TheFirstRoundPreparesTheReportAndTheRepeatedRoundOnlyShowsSavesAndSends) {
  RegisterDialogClass({L"TStepDialog", true,
                       [](TDialogSubject& s) -> std::unique_ptr<TBaseDialog> { return std::make_unique<TStepDialog>(s); }});
  std::vector<std::wstring> steps;
  g_steps = &steps;
  g_saved_screenshots.clear();
  g_freed_screenshots.clear();
  DialogSlots().TakeScreenshot = StepTakeScreenshot;
  DialogSlots().SaveScreenshot = StepSaveScreenshot;
  DialogSlots().FreeScreenshot = StepFreeScreenshot;
  DialogSlots().Action = StepAction;
  DialogSlots().Send = StepSend;
  TStepSubject subject;
  subject.Opts.Assign(subject_.Opts);
  subject.Report = subject_.Report;
  subject.Values[rvAppVersion] = L"1.0.0.7";
  subject.Opts.SetloDeleteLogAtVersionChange(true);
  // A stored report of the same version: the version test reads it and
  // keeps the file.
  {
    TReportFileGuard guard;
    TLogFile log(log_, false);
    log.Append(Report(L"0BADF00D"), -1);
    log.Save();
  }
  EXPECT_EQ(ShowExceptionDialogOfType(subject, L"TStepDialog", false).SendResult, kSendDone);
  g_steps = nullptr;
  EXPECT_EQ(steps, (std::vector<std::wstring>{
                       // First round: the report is prepared once, then the dialog asks for another.
                       L"take screenshot", L"custom data", L"version", L"before save", L"after save", L"sound",
                       L"before show", L"dialog",
                       // Repeated round: shown, saved over the presaved report, sent.
                       L"before show", L"dialog", L"after show", L"before save", L"after save", L"save screenshot",
                       L"before send", L"version", L"send", L"after send",
                       // The loop's end frees the one screenshot.
                       L"free screenshot"}));
  EXPECT_EQ(g_saved_screenshots, (std::vector<void*>{reinterpret_cast<void*>(kScreenshot)}));
  EXPECT_EQ(g_freed_screenshots, (std::vector<void*>{reinterpret_cast<void*>(kScreenshot)}));
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 2);
  EXPECT_EQ(stored.GetItemValue(kItemBugID, 1), L"1A2B3C4D");
}

bool ThrowBeforeShow(TDialogSubject&, TDialogAction action, bool execute, const std::wstring&) {
  if (action == daBeforeShow) throw rt::Exception(L"the handler failed");
  return execute;
}

TEST_F(DialogTest, TheScreenshotIsFreedOnceHoweverTheDialogEnds) {
  DialogSlots().TakeScreenshot = StepTakeScreenshot;
  DialogSlots().FreeScreenshot = StepFreeScreenshot;
  // A step that fails: the round ends with a failure.
  g_freed_screenshots.clear();
  DialogSlots().Action = ThrowBeforeShow;
  EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, kSendFailed);
  EXPECT_EQ(g_freed_screenshots, (std::vector<void*>{reinterpret_cast<void*>(kScreenshot)}));
  // The end of the process leaves the dialog in the middle of its round.
  g_freed_screenshots.clear();
  DialogSlots().Action = RecordingAction;
  subject_.Opts.SetAutoCrashOperation(tbTerminate);
  subject_.Opts.SetAutoCrashNumber(1);
  EXPECT_THROW(ShowExceptionDialog(&subject_, true, false), Ended);
  EXPECT_EQ(g_freed_screenshots, (std::vector<void*>{reinterpret_cast<void*>(kScreenshot)}));
}

TEST_F(DialogTest, NoScreenshotIsTakenWhileTheFacilityStarts) {
  std::vector<std::wstring> steps;
  g_steps = &steps;
  DialogSlots().TakeScreenshot = StepTakeScreenshot;
  rt::IsInitializing = 1;
  ShowExceptionDialog(&subject_, true, false);
  rt::IsInitializing = 0;
  g_steps = nullptr;
  EXPECT_TRUE(steps.empty());
  EXPECT_EQ(subject_.CustomDataAdded, 1);
  EXPECT_EQ(Stored().Count(), 1);
}

bool g_save_vetoed = false;

// Vetoes the first save (the presave) and turns the dialog's answer into a
// failure.
bool VetoPresaveAndShow(TDialogSubject& subject, TDialogAction action, bool execute, const std::wstring& text) {
  if (action == daBeforeSave && !g_save_vetoed) {
    g_save_vetoed = true;
    return false;
  }
  if (action == daAfterShow) return false;
  return RecordingAction(subject, action, execute, text);
}

// The first round's presave was vetoed, and the repeated round's dialog
// fails: that round does not count the report as saved, so it saves it, and
// it takes nothing away, though another bug's report is last in the file.
TEST_F(DialogTest, AFailedPresaveIsNotCountedAsSavedInTheRepeatedRound) {
  RegisterDialogClass({L"TStepDialog", true,
                       [](TDialogSubject& s) -> std::unique_ptr<TBaseDialog> { return std::make_unique<TStepDialog>(s); }});
  {
    TReportFileGuard guard;
    TLogFile log(log_, false);
    log.Append(Report(L"0BADF00D"), -1);
    log.Save();
  }
  g_save_vetoed = false;
  DialogSlots().Action = VetoPresaveAndShow;
  EXPECT_EQ(ShowExceptionDialogOfType(subject_, L"TStepDialog", false).SendResult, kSendFailed);
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 2);
  EXPECT_EQ(stored.GetItemValue(kItemBugID, 0), L"0BADF00D");
  EXPECT_EQ(stored.GetItemValue(kItemBugID, 1), L"1A2B3C4D");
}

// Asks once for another round; the second round is the steps-to-reproduce
// request, whose answer changes the report.
class TRequestStepsDialog : public TNullDialog {
 public:
  using TNullDialog::TNullDialog;
  const wchar_t* ClassName() const noexcept override { return L"TRequestStepsDialog"; }

 protected:
  TResponse ShowDialog() override {
    TResponse response;
    if (!Restarted()) {
      Options().SetExceptionDialogType(L"TRequestStepsDialog");
      response.SendResult = kSendShowAgain;
    } else {
      auto& subject = static_cast<TFixedDialogSubject&>(Subject());
      subject.SetReproduceText(L"opened the chart twice");
      subject.Report = Report(BugIDText(subject.BugID()), L"with the steps");
    }
    return response;
  }
};

// With repeats counted, the repeated round does not take its own presaved
// report for a repeat: its report, with the steps, replaces the presaved one.
TEST_F(DialogTest, TheRepeatedRoundKeepsItsStepsWhenRepeatsAreCounted) {
  RegisterDialogClass({L"TRequestStepsDialog", true, [](TDialogSubject& s) -> std::unique_ptr<TBaseDialog> {
                         return std::make_unique<TRequestStepsDialog>(s);
                       }});
  subject_.Opts.SetloNoDuplicateErrors(true);
  EXPECT_EQ(ShowExceptionDialogOfType(subject_, L"TRequestStepsDialog", false).SendResult, kSendDone);
  TLogFile stored = Stored();
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.GetItemValue(kItemVersion, 0), L"with the steps");
  EXPECT_EQ(stored.GetItemValue(kItemSent, 0), L"1");
  ASSERT_EQ(seen_.Sends.size(), 1u);
}

// ---- The send progress window --------------------------------------------------

struct ProgressSeen {
  std::vector<std::uintptr_t> Owners;
  std::vector<std::wstring> Captions, Labels;
  std::vector<int> Positions;
  int Closed = 0;
  bool Throw = false;
};
ProgressSeen g_progress;
int g_progress_window = 0;

void* OpenProgress(std::uintptr_t owner, const std::wstring& caption) {
  g_progress.Owners.push_back(owner);
  g_progress.Captions.push_back(caption);
  return &g_progress_window;
}
void ShowProgress(void* window, const std::wstring& label, int position) {
  EXPECT_EQ(window, &g_progress_window);
  g_progress.Labels.push_back(label);
  g_progress.Positions.push_back(position);
}
void CloseProgress(void* window) {
  EXPECT_EQ(window, &g_progress_window);
  ++g_progress.Closed;
}
void ProgressingSend(TBaseDialog& dialog, const std::vector<std::wstring>&, TResponse& response) {
  dialog.SetSendProgress(ssResolvingDNS, 10);
  dialog.SetSendProgress(ssSending, 60);
  if (g_progress.Throw) throw rt::Exception(L"the line dropped");
  dialog.SetSendProgress(ssDone, 100);
  response = TResponse{};
}

void SetSendTexts(TVarnelModuleOptions& o) {
  const struct {
    TMessageType type;
    const wchar_t* text;
  } kTexts[] = {{mtSendDialog_Caption, L"Sending the report"}, {mtSendDialog_Connecting, L"Connecting"},
                {mtSendDialog_Resolving, L"Resolving"},        {mtSendDialog_Login, L"Logging in"},
                {mtSendDialog_SelectProject, L"Selecting"},    {mtSendDialog_Searching, L"Searching"},
                {mtSendDialog_Sending, L"Sending"},            {mtSendDialog_Modifying, L"Modifying"},
                {mtSendDialog_Disconnecting, L"Disconnecting"}, {mtSendDialog_Disconnected, L"Disconnected"}};
  for (const auto& t : kTexts) o.SetCustomizedTexts(t.type, t.text);
}

TEST(DialogSendProgress, EachSendStateHasItsLabel) {
  TVarnelModuleOptions o;
  SetSendTexts(o);
  const std::pair<TSendState, const wchar_t*> kCases[] = {
      {ssInit, L"Connecting"},     {ssConnecting, L"Connecting"}, {ssResolvingDNS, L"Resolving"},
      {ssLogin, L"Logging in"},    {ssSelecting, L"Selecting"},   {ssReading, L"Selecting"},
      {ssSearching, L"Searching"}, {ssSending, L"Sending"},       {ssModifying, L"Modifying"},
      {ssDisconnecting, L"Disconnecting"}, {ssDone, L"Disconnected"}, {static_cast<TSendState>(40), L""}};
  for (const auto& [state, label] : kCases) EXPECT_EQ(SendProgressLabel(o, state), label) << int(state);
}

TEST_F(DialogTest, TheSendProgressWindowShowsEachStepAndClosesHoweverTheSendEnds) {
  SetSendTexts(subject_.Opts);
  DialogSlots().Send = ProgressingSend;
  DialogSlots().OpenSendProgress = OpenProgress;
  DialogSlots().ShowSendProgress = ShowProgress;
  DialogSlots().CloseSendProgress = CloseProgress;
  const struct {
    const char* what;
    bool window, fails;
    std::int32_t result;
    std::vector<std::wstring> labels;
    std::vector<int> positions;
  } kCases[] = {
      {"shown", true, false, kSendDone, {L"", L"Resolving", L"Sending", L"Disconnected"}, {0, 10, 60, 100}},
      {"the send throws", true, true, kSendFailed, {L"", L"Resolving", L"Sending"}, {0, 10, 60}},
      {"the silent form", false, false, kSendDone, {}, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    g_progress = ProgressSeen{};
    g_progress.Throw = c.fails;
    subject_.Opts.SetsndShowSendDialog(c.window);
    EXPECT_EQ(ShowExceptionDialog(&subject_, true, false).SendResult, c.result);
    EXPECT_EQ(g_progress.Owners, c.window ? std::vector<std::uintptr_t>{0} : std::vector<std::uintptr_t>{});
    EXPECT_EQ(g_progress.Captions,
              c.window ? std::vector<std::wstring>{L"Sending the report"} : std::vector<std::wstring>{});
    EXPECT_EQ(g_progress.Labels, c.labels);
    EXPECT_EQ(g_progress.Positions, c.positions);
    EXPECT_EQ(g_progress.Closed, c.window ? 1 : 0);
  }
}

// ---- The registry at the memory filter's leak checks ------------------------

std::vector<const void*> g_expected_leaks;
void RecordExpectedLeak(const void* block) { g_expected_leaks.push_back(block); }
std::vector<std::pair<void (*)(), void (*)()>> g_joined, g_left;
void RecordJoin(void (*begin)(), void (*end)()) { g_joined.emplace_back(begin, end); }
void RecordLeave(void (*begin)(), void (*end)()) { g_left.emplace_back(begin, end); }

TEST(DialogRegistry, AtTheLeakChecksTheArrayIsAnExpectedLeakWhileUsedAndFreedOtherwise) {
  DialogSlots() = TDialogSlots{};
  DialogSlots().ExpectLeak = RecordExpectedLeak;
  DialogSlots().JoinLeakChecks = RecordJoin;
  DialogSlots().LeaveLeakChecks = RecordLeave;
  g_expected_leaks.clear();
  g_joined.clear();
  g_left.clear();
  // The unit joins the checks at its start and leaves them at its end.
  EDialogInit();
  ASSERT_NE(DialogClassesBlock(), nullptr);
  const void* block = DialogClassesBlock();
  DialogClassesAtLeakCheckBegin();
  EXPECT_EQ(g_expected_leaks, (std::vector<const void*>{block}));
  EXPECT_NE(FindDialogClass(L"TNullDialog"), nullptr);
  DialogClassesAtLeakCheckEnd();
  EXPECT_EQ(DialogClassesBlock(), nullptr);
  EXPECT_EQ(FindDialogClass(L"TNullDialog"), nullptr);
  // Empty at the begin check: nothing to expect, nothing kept.
  DialogClassesAtLeakCheckBegin();
  EXPECT_EQ(g_expected_leaks.size(), 1u);
  EXPECT_EQ(DialogClassesBlock(), nullptr);
  EDialogDone();
  const std::pair<void (*)(), void (*)()> hooks{DialogClassesAtLeakCheckBegin, DialogClassesAtLeakCheckEnd};
  EXPECT_EQ(g_joined, (std::vector<std::pair<void (*)(), void (*)()>>{hooks}));
  EXPECT_EQ(g_left, g_joined);
  // Without a memory filter nothing is asked.
  DialogSlots() = TDialogSlots{};
  EDialogInit();
  DialogClassesAtLeakCheckBegin();
  EXPECT_EQ(g_expected_leaks.size(), 1u);
  EDialogDone();
  RegisterMessageBoxDialogClasses();
}

// ---- Real windows (under Xvfb) ----------------------------------------------------

bool HasDisplay() {
  wchar_t value[256];
  return GetEnvironmentVariableW(L"DISPLAY", value, 256) > 0;
}

// Presses `button` in the first dialog box the thread shows; gives up after
// 15 s (the test then fails on `answered`).
struct BoxWatcher {
  DWORD thread;
  int button;
  std::wstring caption;
  std::atomic<bool> answered{false};
  HANDLE handle = nullptr;

  static BOOL CALLBACK Visit(HWND window, LPARAM self_value) {
    auto* self = reinterpret_cast<BoxWatcher*>(self_value);
    wchar_t cls[32] = {}, text[256] = {};
    GetClassNameW(window, cls, 32);
    if (std::wstring(cls) != L"#32770") return TRUE;
    GetWindowTextW(window, text, 256);
    self->caption = text;
    PostMessageW(window, WM_COMMAND, static_cast<WPARAM>(self->button), 0);
    self->answered = true;
    return FALSE;
  }
  static DWORD WINAPI Run(void* self_value) {
    auto* self = static_cast<BoxWatcher*>(self_value);
    for (int waited = 0; waited < 15000 && !self->answered; waited += 20) {
      Sleep(20);
      EnumThreadWindows(self->thread, Visit, reinterpret_cast<LPARAM>(self));
    }
    return 0;
  }
  BoxWatcher(DWORD t, int b) : thread(t), button(b) { handle = CreateThread(nullptr, 0, Run, this, 0, nullptr); }
  ~BoxWatcher() {
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
  }
};

TEST_F(DialogTest, DialogWindowsMessageBoxIsARealWindowAnsweredByTheUser) {
  if (!HasDisplay()) GTEST_SKIP() << "no display: run under Xvfb (the dialog_windows test)";
  MessageBoxReplacement = nullptr;
  subject_.Opts.SetedoUseNativeMessageBox(false);
  for (const int button : {IDYES, IDNO}) {
    seen_.Sends.clear();
    TResponse response;
    {
      BoxWatcher watcher(GetCurrentThreadId(), button);
      response = ShowExceptionDialogOfType(subject_, L"TMessageBoxDialog", false);
      WaitForSingleObject(watcher.handle, INFINITE);
      EXPECT_TRUE(watcher.answered);
      EXPECT_EQ(watcher.caption, L"Error occurred");
    }
    EXPECT_EQ(response.SendResult, button == IDYES ? kSendDone : kSendCancelled);
    EXPECT_EQ(seen_.Sends.size(), button == IDYES ? 1u : 0u);
  }
}

TEST_F(DialogTest, DialogWindowsOwnerIsAVisibleWindowOnly) {
  if (!HasDisplay()) GTEST_SKIP() << "no display: run under Xvfb (the dialog_windows test)";
  HWND visible = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
  HWND hidden = CreateWindowExW(0, L"STATIC", L"hidden", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
  TNullDialog dialog(subject_);
  const struct {
    HWND window;
    HWND expected;
  } kCases[] = {{visible, visible}, {hidden, nullptr}, {reinterpret_cast<HWND>(0x1234), nullptr}};
  for (const auto& c : kCases) {
    subject_.Opts.SetCustomFieldInt(L"_ParentWnd", static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(c.window)));
    EXPECT_EQ(dialog.ParentWnd(), reinterpret_cast<std::uintptr_t>(c.expected));
  }
  DestroyWindow(visible);
  DestroyWindow(hidden);
}

struct OwnerThread {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HWND window = nullptr;

  static DWORD WINAPI Run(void* self_value) {
    auto* self = static_cast<OwnerThread*>(self_value);
    self->window = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                   nullptr, nullptr);
    SetEvent(self->ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    DestroyWindow(self->window);
    return 0;
  }
};

// A visible owner whose thread is held (as a paused thread is) would hang
// the dialog with it: it is no owner.
TEST_F(DialogTest, DialogWindowsOwnerWhoseThreadIsHeldIsNone) {
  if (!HasDisplay()) GTEST_SKIP() << "no display: run under Xvfb (the dialog_windows test)";
  OwnerThread owner;
  DWORD thread_id = 0;
  HANDLE thread = CreateThread(nullptr, 0, OwnerThread::Run, &owner, 0, &thread_id);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(owner.ready, 10000), WAIT_OBJECT_0);
  ASSERT_NE(owner.window, nullptr);
  TNullDialog dialog(subject_);
  subject_.Opts.SetCustomFieldInt(L"_ParentWnd", static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(owner.window)));
  EXPECT_EQ(dialog.ParentWnd(), reinterpret_cast<std::uintptr_t>(owner.window));
  SuspendThread(thread);
  EXPECT_EQ(dialog.ParentWnd(), 0u);
  ResumeThread(thread);
  PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  CloseHandle(owner.ready);
}

}  // namespace
}  // namespace zelvic::diag

namespace zelvic::test {

int RunDialogScenario(const std::wstring& name) {
  using namespace diag;
  RegisterMessageBoxDialogClasses();
  TFixedDialogSubject subject;
  subject.Opts.SetSaveLogFile(false);
  if (name == L"ole32") {
    // A host without ole32: the first dialog loads it and it stays for the
    // next, so the module list does not change under the next report.
    if (GetModuleHandleW(L"ole32.dll") != nullptr) return 7;
    subject.Opts.SetSenderClasses(L"");
    ShowExceptionDialogOfType(subject, L"TNullDialog", false);
    const bool held = GetModuleHandleW(L"ole32.dll") != nullptr;
    const std::uint32_t generation = platform::SystemModulePlatform().LoaderGeneration();
    ShowExceptionDialogOfType(subject, L"TNullDialog", false);
    const bool unchanged = platform::SystemModulePlatform().LoaderGeneration() == generation;
    EDialogDone();
    const bool released = GetModuleHandleW(L"ole32.dll") == nullptr;
    return (held ? 0x10 : 0) | (unchanged ? 0x20 : 0) | (released ? 0x40 : 0);
  }
  if (name == L"console") {
    // The send entry is there, so the box asks; unchecked, No is its default.
    DialogSlots().Send = [](TBaseDialog&, const std::vector<std::wstring>&, TResponse&) { std::exit(9); };
    subject.Opts.SetSenderClasses(L"TTestSender");
    subject.Opts.SetedoSendErrorReportChecked(false);
    const TResponse response = ShowExceptionDialogOfType(subject, L"TMessageBoxDialog", false);
    return response.SendResult == kSendCancelled ? 1 : 2;
  }
  if (name == L"restart") {
    wchar_t log[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ZELVIC_DIALOG_RESTART_LOG", log, MAX_PATH);
    wchar_t marker[64];
    const bool marked = GetEnvironmentVariableW(kRestartMarkerName, marker, 64) > 0;
    HANDLE out = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(out, marked ? "1\r\n" : "0\r\n", 3, &written, nullptr);
    CloseHandle(out);
    subject.Opts.SetAutoCrashOperation(tbRestart);
    subject.Opts.SetAutoCrashNumber(1);
    subject.Code = 0x51;
    ShowExceptionDialogOfType(subject, L"TNullDialog", false);
    return 2;
  }
  return 3;
}

}  // namespace zelvic::test
