// The dialog framework: picks a dialog class by the name the options give,
// runs the dialog loop (in the calling thread or a thread of its own) and,
// around each dialog, the after-report work in its fixed order: save the
// report to the report file, prepare the work files, send, tell the user,
// mark the report sent, and end or restart the process when asked.
//
// Parts that other units bring (the send entry and its progress window, the
// package, the XML report, the screenshot, the memory filter's switch-off
// and leak checks, the exception manager's action events) are reached
// through TDialogSlots; an empty slot answers "not available" and its step
// is skipped.
//
// While the facility starts or stops (the lifecycle flags), a dialog shows
// nothing, starts no thread and touches no component model: the report is
// only saved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/dialogs/EDialogSubject.h"
#include "diagnostics/exceptions/EResponse.h"
#include "diagnostics/threads/EThreadsManager.h"

namespace zelvic::diag {

// SendResult codes.
inline constexpr std::int32_t kSendDone = 0;
inline constexpr std::int32_t kSendBugClosed = 1;
inline constexpr std::int32_t kSendNothing = 2;
inline constexpr std::int32_t kSendCancelled = static_cast<std::int32_t>(0x800704C7);
inline constexpr std::int32_t kSendShowAgain = static_cast<std::int32_t>(0x8007006E);
inline constexpr std::int32_t kSendFailed = static_cast<std::int32_t>(0x8000FFFF);
// ErrorCode of a step that ended in an exception.
inline constexpr std::int32_t kStepExceptionCode = 31;

// The custom field that holds the exception's time as work-file names carry
// it ("yyyymmddhhnnss"): a dialog may run long after the exception, and every
// work file of one exception must carry the same date. Empty: the current
// time stands in.
inline constexpr wchar_t kFieldExceptionTime[] = L"_ExceptionTime";

// The exception manager's action numbers raised around a dialog.
enum TDialogAction : std::int32_t {
  daBeforeShow,
  daAfterShow,
  daBeforeSave,
  daAfterSave,
  daBeforeSend,
  daAfterSend,
  daNotSent,
  daBeforeTerminate,
  daBeforeRestart,
};

class TBaseDialog;

// Send states of the send entry's progress callback.
enum TSendState : std::uint8_t {
  ssInit, ssConnecting, ssResolvingDNS, ssLogin, ssSelecting, ssReading, ssSearching, ssSending,
  ssModifying, ssDisconnecting, ssDone
};

struct TDialogSlots {
  // The action notification: `execute` starts as the step's default; the
  // answer is whether the step goes ahead.
  bool (*Action)(TDialogSubject& subject, TDialogAction action, bool execute, const std::wstring& text) = nullptr;
  // The failure notification: true asks for the step again.
  bool (*RetryAfterFailure)(TDialogSubject& subject, TDialogAction action, const std::wstring& text) = nullptr;
  // The send entry: sends the files with the options and fills the response.
  void (*Send)(TBaseDialog& dialog, const std::vector<std::wstring>& files, TResponse& response) = nullptr;
  // Writes the XML report to the file; false when it could not.
  bool (*WriteXMLReport)(TDialogSubject& subject, const std::wstring& file) = nullptr;
  // Takes the screenshot of the exception's moment (the area the options
  // name, its focus window and cursor); null when none was taken. The loop
  // hands it from one dialog round to the next and frees it at its end.
  void* (*TakeScreenshot)(TDialogSubject& subject) = nullptr;
  void (*FreeScreenshot)(void* screenshot) = nullptr;
  // Saves that screenshot as PNG; false when it could not.
  bool (*SaveScreenshot)(void* screenshot, const std::wstring& file) = nullptr;
  // The send progress window (with sndShowSendDialog): opened before the
  // send with its owner, shown each step's label and position, closed after
  // the send. Null when it could not open: the progress is only kept.
  void* (*OpenSendProgress)(std::uintptr_t owner, const std::wstring& caption) = nullptr;
  void (*ShowSendProgress)(void* window, const std::wstring& label, int position) = nullptr;
  void (*CloseSendProgress)(void* window) = nullptr;
  // Writes a ZIP package of the files.
  bool (*PackFiles)(const std::wstring& package, const std::wstring& password,
                    const std::vector<std::wstring>& files, const std::wstring& comment) = nullptr;
  // Turns the memory filter's and resource filter's leak reports off before
  // the process ends.
  void (*SilenceLeakChecks)() = nullptr;
  // Joins the class registry to the memory filter's leak checks: the
  // filter calls `begin` when its leak check begins and `end` when it ends.
  // `leave` undoes it at shut-down.
  void (*JoinLeakChecks)(void (*begin)(), void (*end)()) = nullptr;
  void (*LeaveLeakChecks)(void (*begin)(), void (*end)()) = nullptr;
  // Marks a block as an expected leak for the memory filter.
  void (*ExpectLeak)(const void* block) = nullptr;
  // Ends the process; when empty, or when it returns, the current process
  // is terminated.
  void (*EndProcess)(std::uint32_t exit_code) = nullptr;
};
TDialogSlots& DialogSlots() noexcept;

// A dialog class: its name, whether it may run off the main thread, and how
// one is made.
struct TDialogClass {
  const wchar_t* Name;
  bool ThreadSafe;
  std::unique_ptr<TBaseDialog> (*Create)(TDialogSubject& subject);
};

// The registry: a class already present is not added again.
void RegisterDialogClass(const TDialogClass& dialog_class);
void UnregisterDialogClasses() noexcept;
// The first class of that exact name; null when none.
const TDialogClass* FindDialogClass(std::wstring_view name);
// The registry at the memory filter's leak checks: at the begin check its
// array is an expected leak while classes are registered and is freed when
// none are; at the end check it is freed.
void DialogClassesAtLeakCheckBegin() noexcept;
void DialogClassesAtLeakCheckEnd() noexcept;
// The registry's array; null while it holds none.
const void* DialogClassesBlock() noexcept;

class TBaseDialog {
 public:
  explicit TBaseDialog(TDialogSubject& subject);
  virtual ~TBaseDialog();
  TBaseDialog(const TBaseDialog&) = delete;
  TBaseDialog& operator=(const TBaseDialog&) = delete;

  virtual const wchar_t* ClassName() const noexcept = 0;
  // Asks the caller to pass the exception on to the run-time library.
  virtual bool CallRTLExceptionEvent() const { return Options().boCallRTLExceptionEvent(); }
  // The life cycle of one dialog.
  TResponse Execute();

  TDialogSubject& Subject() const noexcept { return subject_; }
  TVarnelModuleOptions& Options() const { return subject_.Options(); }
  // "_ParentWnd" when it is a visible window whose thread answers, else 0.
  std::uintptr_t ParentWnd() const;
  std::int32_t ErrorCode() const;
  bool SendErrorReportChecked() const;
  bool ShowSendErrorControl() const;
  bool CanSend() const;
  bool SaveLogFile() const;
  bool Restarted() const;
  bool IsDuplicate() const noexcept { return duplicate_; }
  bool Saved() const noexcept { return saved_; }
  // No window, no thread, no send: the facility is starting or stopping.
  bool Quiet() const noexcept { return quiet_; }
  void SetQuiet(bool value) noexcept { quiet_ = value; }
  std::uint32_t MessageBoxFlags() const noexcept { return message_box_flags_; }

  const std::wstring& LogFileName() const noexcept { return log_file_name_; }
  const std::wstring& TempDir() const noexcept { return temp_dir_; }
  const std::wstring& BugReportFileName() const noexcept { return bug_report_file_name_; }
  const std::wstring& MiniDumpFileName() const noexcept { return mini_dump_file_name_; }
  const std::wstring& ZIPFileName() const noexcept { return zip_file_name_; }
  const std::vector<std::wstring>& FilesToSend() const noexcept { return files_to_send_; }
  // The report text, built once (other threads are held only while it is).
  const std::wstring& BugReport();
  std::wstring BugReportForSend();
  std::wstring GetExceptionMessage() const;

  // Steps, public so that the window dialogs and tests can drive them.
  bool CheckDuplicate();
  void SaveBugReport();
  void PrepareFilesToSend();
  bool WriteMiniDump();
  void MarkLogSent(std::int32_t result);
  // After a failed send: the report text (and the report file) on the
  // clipboard, the report file written first when it is missing.
  void CopyLogOnError();
  void AutoEnd();
  void Terminate();
  void Restart();
  // Asks to be replaced by the detailed (request-details) window dialog:
  // the loop shows that class next and this one's class is the fallback.
  void SwitchToDetailed();
  void SwitchToRequestDetails();
  // The custom fields the senders read, then the send entry.
  void SendReport(TResponse& response);
  // The send's progress: kept, and shown in the progress window when one
  // is open.
  void SetSendProgress(TSendState state, int position);
  TSendState SendState() const noexcept { return send_state_; }
  int SendPosition() const noexcept { return send_position_; }
  // The screenshot this dialog holds (null: none); the loop hands it on
  // from round to round, and a dialog frees one it still holds.
  void* Screenshot() const noexcept { return screenshot_; }
  void AdoptScreenshot(void* screenshot) noexcept;
  void* ReleaseScreenshot() noexcept;
  // Frees the screenshot held and takes a new one.
  void TakeScreenshot();
  // The custom data goes to the report once, before it is first built.
  void AddCustomData() { subject_.AddCustomData(); }
  // "%s" of a text filled with the application's name.
  std::wstring FormatAppName(const std::wstring& text) const;
  // The dialog's own message box: the facility's (console answers) or the
  // platform's, with the dialog's owner and flags.
  virtual int ShowBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style);

 protected:
  virtual TResponse ShowDialog() = 0;
  virtual void PlaySound();
  bool RaiseAction(TDialogAction action, bool execute, const std::wstring& text = {});
  // The dialog's own result, as a window dialog fills it.
  TResponse& Response() noexcept { return own_response_; }
  bool AskRetry(TDialogAction action, const std::wstring& text);

 private:
  void SaveState();
  void RestoreState();
  void PrepareFileNames();
  void DeleteLogOnVersionChange();
  TResponse SendStep();
  void ShowSendResult(const TResponse& response);
  void EndProcess(bool restart);
  std::wstring WorkFileName(const wchar_t* extension, bool packed) const;

  TDialogSubject& subject_;
  std::wstring saved_cur_dir_;
  std::uintptr_t old_foreground_window_ = 0;
  bool state_saved_ = false;
  std::unique_ptr<std::wstring> bug_report_;
  std::vector<std::wstring> files_to_send_;
  std::wstring temp_dir_;
  std::wstring log_file_name_, bug_report_file_name_, mini_dump_file_name_, zip_file_name_, xml_file_name_,
      screenshot_file_name_;
  bool saved_ = false;
  std::uint32_t message_box_flags_ = 0;
  bool duplicate_ = false;
  bool can_send_ = true;
  bool quiet_ = false;
  TSendState send_state_ = ssInit;
  int send_position_ = 0;
  void* send_progress_ = nullptr;
  void* screenshot_ = nullptr;
  TResponse own_response_;
};

// The send progress window's label of a send state (the customised texts).
std::wstring SendProgressLabel(const TVarnelModuleOptions& options, TSendState state);

// A text that opens as an address: "http://", "https://" or an anchor
// ("<a href=" and a double quote), letter case ignored.
bool IsURL(std::wstring_view text);
// The address of such a text (an anchor's up to its closing quote, "&lt;"
// or "</").
std::wstring URLOf(std::wstring_view text);

// --- Entries -----------------------------------------------------------------

// Shows a dialog for the exception when it is to be shown: forced, not
// handled, or handled and the options catch handled (or safe-call)
// exceptions. Without a call stack: SendResult 2.
TResponse ShowExceptionDialog(TDialogSubject* subject, bool force, bool restart_or_terminate);
// The dialog loop with the class named (empty: the options' class; unknown:
// TNullDialog), in a thread of its own for a thread-safe class when
// "_CanUseThread" is set, else in the calling thread.
TResponse ShowExceptionDialogOfType(TDialogSubject& subject, std::wstring_view class_name,
                                    bool restart_or_terminate);
// The loop itself, in the calling thread.
TResponse RunDialogLoop(const TDialogClass& first, TDialogSubject& subject, bool restart_or_terminate);

// Threads of the facility's own (dialog threads and the threads waiting for
// them): never held while a report is built.
bool IsFacilityThread(std::uint32_t thread_id) noexcept;

// Start-up at position 136: registers the classes of this unit.
void EDialogInit();
void EDialogDone();

}  // namespace zelvic::diag
