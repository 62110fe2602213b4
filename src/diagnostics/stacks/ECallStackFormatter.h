// The texts of a call-stack list: the bordered report table with thread and
// leak headers (standard), and one line per entry of the first thread
// (simple, compact). A formatter reads its list and keeps its lines until the
// list or a setting changes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EBaseFormatter.h"
#include "diagnostics/stacks/ECallStack.h"

namespace zelvic::diag {

// The captions, in the order of kCaptionMessages.
enum TStackCaption : std::uint8_t {
  scHeader,
  scMethods,
  scDebugLevel,
  scStackAddress,
  scAddress,
  scModule,
  scOffset,
  scUnit,
  scClass,
  scProcedure,
  scLine,
  scExceptionThread,
  scRunningThread,
  scCallingThread,
  scThreadID,
  scThreadPriority,
  scThreadClass,
  scMainThread,
  scParentID,
  scThreadName,
  scDeadLockDetected,
  scWaitChain,
  scCustomComment,
  scLeakData,
  scLeakTitle,
  scLeakType,
  scLeakSize,
  scLeakCount,
  kStackCaptionCount
};
// The message type of each caption: its text in the options and its default.
extern const std::array<TMessageType, kStackCaptionCount> kCaptionMessages;

inline constexpr std::uint32_t kDefaultAllowedMethods = 0x7FFFFFFEu;
inline constexpr std::uint32_t kDefaultDisabledMethods = 0x80000000u;

// ---------------------------------------------------------------------------
// Wait chains: one node of the platform's wait-chain traversal.
struct TWaitChainNode {
  std::uint32_t ObjectType = 0;    // 1..12
  std::uint32_t ObjectStatus = 0;  // 1..10
  std::wstring ObjectName;
  std::uint32_t ThreadId = 0;  // thread nodes
};
struct TWaitChainProvider {
  // A synchronous session; 0 when none.
  std::uintptr_t (*Open)(void* data) = nullptr;
  void (*Close)(void* data, std::uintptr_t session) = nullptr;
  // Up to 16 nodes; false when the call failed.
  bool (*Chain)(void* data, std::uintptr_t session, std::uint32_t thread_id, std::vector<TWaitChainNode>& nodes,
                bool& cycle) = nullptr;
  void* Data = nullptr;
};
// The platform's (advapi32) unless replaced; returns the one replaced.
TWaitChainProvider SetWaitChainProvider(const TWaitChainProvider& provider) noexcept;
std::uintptr_t OpenWaitChainSession();
void CloseWaitChainSession(std::uintptr_t session);
// Capture is switched off for the rest of the process at the final leak check.
void DisableWaitChainCapture() noexcept;
bool WaitChainCaptureDisabled() noexcept;

struct TWaitChainText {
  std::wstring Text;
  bool Deadlock = false;
};
// With session 0 a temporary one is used and the lines are joined with "; ",
// else with " -> ".
TWaitChainText WaitChainText(std::uintptr_t session, std::uint32_t thread_id);

// ---------------------------------------------------------------------------
class TVarnelBaseStackFormatter : public TBaseFormatter {
 public:
  TVarnelBaseStackFormatter();
  ~TVarnelBaseStackFormatter() override = default;

  virtual std::unique_ptr<TVarnelBaseStackFormatter> NewOfSameClass() const = 0;
  // Null: the built-in captions and masks.
  virtual void Assign(const TVarnelBaseStackFormatter* source);
  void AssignOptions(const TVarnelModuleOptions& options);
  virtual void SetCallStack(TVarnelBaseStackList* list) { FCallStack = list; Changed(); }
  TVarnelBaseStackList* CallStack() const noexcept { return FCallStack; }

  const std::wstring& Caption(TStackCaption caption) const { return FCaptions[caption]; }
  void SetCaption(TStackCaption caption, std::wstring text);
  std::uint32_t AllowedMethods() const noexcept { return FAllowedMethods; }
  std::uint32_t DisabledMethods() const noexcept { return FDisabledMethods; }
  void SetAllowedMethods(std::uint32_t mask) { FAllowedMethods = mask; Changed(); }
  void SetDisabledMethods(std::uint32_t mask) { FDisabledMethods = mask; Changed(); }

  void SetText(const std::wstring& text) override;
  // The thread or leak header of entry `index`; `number` counts the headers.
  virtual std::wstring GetHeaderText(int index, int number, bool detailed, std::uintptr_t session);

 protected:
  bool MethodsShown(std::uint32_t methods) const noexcept;

  TVarnelBaseStackList* FCallStack = nullptr;
  std::array<std::wstring, kStackCaptionCount> FCaptions;
  std::uint32_t FAllowedMethods = kDefaultAllowedMethods;
  std::uint32_t FDisabledMethods = kDefaultDisabledMethods;
};

class TVarnelStackFormatter : public TVarnelBaseStackFormatter {
 public:
  std::unique_ptr<TVarnelBaseStackFormatter> NewOfSameClass() const override;
  void Assign(const TVarnelBaseStackFormatter* source) override;
  void SetCallStack(TVarnelBaseStackList* list) override;
  void Calculate() override;
  std::wstring GetItemText(int index) override;
  const std::vector<std::wstring>& GetAsStrings() override;
  virtual bool IsVisible(int index) const;

  TVarnelDebugDetails DebugDetails() const noexcept { return FDebugDetails; }
  void SetDebugDetails(TVarnelDebugDetails details) { FDebugDetails = details; Changed(); }
  int LineLength() const noexcept { return FLineLen; }

 private:
  std::array<std::wstring, 10> Cells(int index);
  std::wstring ModuleCell(const TVLLocationInfo& location);

  std::array<int, 10> FWidths{};
  int FLineLen = 0;
  bool FHasEncryptedData = false;
  TVarnelDebugDetails FDebugDetails = kDefaultDebugDetails;
  // The module cell of each module: the long path's file name is asked once
  // per module, not once per row and render.
  std::vector<std::pair<std::uintptr_t, std::wstring>> FModuleNames;
};

class TSimpleStackFormatter : public TVarnelBaseStackFormatter {
 public:
  std::unique_ptr<TVarnelBaseStackFormatter> NewOfSameClass() const override;
  std::wstring GetItemText(int index) override;
  const std::vector<std::wstring>& GetAsStrings() override;

 protected:
  virtual std::wstring LineOf(const TVLLocationInfo& location) const;
};

class TCompactStackFormatter : public TSimpleStackFormatter {
 public:
  std::unique_ptr<TVarnelBaseStackFormatter> NewOfSameClass() const override;

 protected:
  std::wstring LineOf(const TVLLocationInfo& location) const override;
};

// ---------------------------------------------------------------------------
// The rows a dialog's list view shows for a call stack: a group row before
// each thread or leak, an empty row before the running thread when it is not
// the first, and one row per entry.
struct TStackRow {
  enum TKind : std::uint8_t { rkEntry, rkGroup, rkEmpty };
  TKind Kind = rkEntry;
  // Group rows: the plain header text, and RunningThread + 2 x ErrorLine.
  std::wstring Text;
  std::uint32_t Flags = 0;
  // Entry rows: Address, Module, Unit, Class, Procedure, Line.
  std::array<std::wstring, 6> Cells;
  // Entry rows: 0 plain (and every row of a list with enciphered names),
  // 1 a package's, 2 the program's, 3 one with its source line.
  int Image = -1;
};
using TAddStackRow = void (*)(void* dialog, const TStackRow& row);
// `details` are the debug details the dialog shows; the list's formatter's
// method masks apply as in the report table.
void FillRows(TVarnelBaseStackList& list, TVarnelDebugDetails details, TAddStackRow add_row, void* dialog);

}  // namespace zelvic::diag
