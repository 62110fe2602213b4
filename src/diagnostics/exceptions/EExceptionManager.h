// The exception manager: the process-wide singleton that owns every
// exception information record and runs the handling pipeline. Info finds or
// makes the one record of an exception (platform record, C++ object, capture
// record); Handle runs activation, the approval event, the exception
// filters, the crash-rate detector and the dialog step. It also keeps each
// thread's last exception and stash, processes handled exceptions late when
// their object dies, builds call stacks for the records (other threads held
// meanwhile), and hands an interface to other modules (GetVarnelLog).
//
// C++ exception objects have no slot for their record: the manager keeps a
// side table object -> record, untied when the object dies (addresses are
// reused).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "diagnostics/exceptions/EExceptionInfo.h"
#include "diagnostics/exceptions/EResponse.h"

namespace zelvic::diag {

class TVarnelModuleOptions;

enum TExceptionNotifyMode : std::uint8_t { emUnknown, emFull, emD2009, emHook, emNull };

// Result codes.
inline constexpr std::int32_t kResultDone = 0;
inline constexpr std::int32_t kResultNothing = 2;
inline constexpr std::int32_t kResultSkipped = static_cast<std::int32_t>(0x8007006E);
inline constexpr std::int32_t kResultCancelled = static_cast<std::int32_t>(0x800704C7);
inline constexpr std::int32_t kResultFailed = static_cast<std::int32_t>(0x8000FFFF);

// The dialog step, filled by the dialog framework; without one the manager
// answers kResultSkipped.
using TDialogStepProc = TResponse (*)(TVarnelExceptionInfo* info, bool force, bool crash);
TDialogStepProc& DialogStep() noexcept;

// Reasons of late processing.
enum TReleaseReason : int { rrPlain = 0, rrSafeCall = 1, rrAtExit = 2 };

// A C++ throw as the hooks see it.
struct TCxxThrow {
  void* Object = nullptr;
  const std::type_info* Type = nullptr;
  void* Address = nullptr;
  void* Frame = nullptr;
  void* StackPointer = nullptr;
  bool Rethrow = false;
};

class TExceptionManager {
 public:
  // The singleton, or null before start-up and after shut-down.
  static TExceptionManager* Instance() noexcept;

  // --- Info ---------------------------------------------------------------
  TVarnelExceptionInfo* Info(const TExceptionData& data, bool forced_new, bool respect_activation);
  TVarnelExceptionInfo* Info(const TExceptionRecord32& record, const TContext32* context, bool forced_new,
                             bool respect_activation);
  TVarnelExceptionInfo* Info(void* object, const std::type_info* type, void* address, bool forced_new,
                             bool respect_activation);
  TVarnelExceptionInfo* Info(const TCxxThrow& capture, bool forced_new, bool respect_activation);
  // The record tied to an object, or null.
  TVarnelExceptionInfo* FindByObject(void* object);
  // First-chance: stash the record (or complete the last exception's
  // context); never creates a record.
  void StashFirstChance(const TExceptionRecord32& record, const TContext32* context);

  // --- Handle -------------------------------------------------------------
  TResponse Handle(TVarnelExceptionInfo* info, bool handled, bool respect_activation);
  TResponse Handle(void* object, const std::type_info* type, void* address, bool handled, bool respect_activation);
  TResponse Handle(const TExceptionRecord32& record, const TContext32* context, bool handled,
                   bool respect_activation);

  // Late processing when an exception object dies; true when processed.
  bool Release(void* object, TVarnelExceptionInfo* info, int reason);
  void ClearThreadExceptions();
  void ClearThreadExceptions(std::uint32_t thread_id);
  TResponse ShowLastExceptionData();
  TResponse StandardVarnelNotify(void* object, const std::type_info* type, void* address,
                                 const TVarnelModuleOptions* options);
  TResponse StandardVarnelError(const std::wstring& error, const TVarnelModuleOptions* options);

  TVarnelExceptionInfo* GetException(int index);
  int ExceptionCount() const noexcept;
  int UnhandledExceptionCount() const noexcept;
  int LiveExceptionCount();
  TVarnelExceptionInfo* LastThreadException();
  TExceptionNotifyMode Mode() const noexcept { return FMode; }

  // The library's options in force (its own, or the defaults).
  const TVarnelModuleOptions& LibraryOptions();

  // Destroy handlers (IDestroyNotifyHandler objects): 1-based slot index;
  // the slots grow by 8; an index out of range is ignored.
  int RegisterDestroyHandler(void* handler);
  void UnregisterDestroyHandler(int index);
  int DestroyHandlerSlots();

  TExceptionManager(const TExceptionManager&) = delete;
  TExceptionManager& operator=(const TExceptionManager&) = delete;
  ~TExceptionManager();

 private:
  struct TState;
  TExceptionManager();
  friend void CreateExceptionManager();
  friend void DestroyExceptionManager();
  std::unique_ptr<TState> FState;
  TExceptionNotifyMode FMode = emUnknown;
  std::int32_t FCount = 0;
  std::int32_t FUCount = 0;
  bool FDeferredCallStacks = true;

  TVarnelExceptionInfo* InfoUnguarded(TExceptionData data, bool forced_new);
  TVarnelExceptionInfo* CreateRecord(TExceptionData data);
  void Number(TVarnelExceptionInfo* info);
  void MakeLastException(TVarnelExceptionInfo* info);
  bool ProcessLate(TVarnelExceptionInfo* info, void* object, int reason, bool active);
  void Tie(void* object, TVarnelExceptionInfo* info);
  void Untie(void* object);
  TResponse Pipeline(TVarnelExceptionInfo* info, bool handled, bool respect_activation);
  bool CrashRate(TVarnelExceptionInfo* info);
  void Remove(TVarnelExceptionInfo* info) noexcept;
  static void RemoveNotify(TVarnelExceptionInfo* info, void* data);
  void Start();
};

// Should-process test (the record's options decide for handled ones).
bool ShouldProcess(TVarnelExceptionInfo& info, bool force);

// The call-stack builder the records use.
std::unique_ptr<TVarnelBaseStackList> BuildExceptionCallStack(const TExceptionData& data, const TThreadFacts* thread);

// The hooks' slot table (EExceptionHook's ManagerEntries), filled while the
// manager lives.
void FillManagerEntries() noexcept;
void EmptyManagerEntries() noexcept;

// What the start-up and shut-down call.
void CreateExceptionManager();
void DestroyExceptionManager();
void EExceptionManagerInit();
void EExceptionManagerDone();

// The step-failure handler the unit pushes (public for tests): the report
// text for an exception with a record, or empty.
std::wstring InitDoneErrorReport(TVarnelExceptionInfo& info);

// The interfaces other modules reach through GetVarnelLog. COM-style: each
// object starts with its table of stdcall methods.
struct TGuid {
  std::uint32_t Data1;
  std::uint16_t Data2, Data3;
  std::uint8_t Data4[8];
  bool operator==(const TGuid&) const = default;
};
inline constexpr TGuid kIID_IInterface = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr TGuid kIID_IDestroyNotify = {0x070743AD, 0x8A5E, 0x49B5, {0x9D, 0x17, 0x7D, 0x80, 0xBD, 0xE8, 0x66, 0xFE}};
inline constexpr TGuid kIID_IDLLExceptionManagerV2 = {
    0x56D78DAF, 0xFE64, 0x4159, {0x99, 0xF5, 0xDD, 0xC6, 0x09, 0x87, 0xE8, 0x63}};
inline constexpr TGuid kIID_IDLLExceptionManagerV1 = {
    0xE419B4B6, 0x5825, 0x4553, {0xB7, 0xC5, 0x32, 0x21, 0xF7, 0x49, 0x8E, 0x15}};
inline constexpr TGuid kIID_IDestroyNotifyHandler = {
    0x8F33D96B, 0xEE48, 0x400B, {0x8E, 0x71, 0x89, 0x46, 0x62, 0x46, 0x68, 0x29}};

// The form of TResponse passed across modules: texts as zero-terminated
// wide strings in buffers the caller provides.
struct TManagerResponse {
  std::int32_t SendResult;
  std::int64_t IssueID;
  std::int32_t ErrorCode;
  wchar_t ErrorMessage[256];
  wchar_t SuccessMessage[256];
};

// The method tables, in slot order after QueryInterface, AddRef, Release.
struct IUnknownVtbl {
  std::int32_t(__stdcall* QueryInterface)(void* self, const TGuid* iid, void** out);
  std::int32_t(__stdcall* AddRef)(void* self);
  std::int32_t(__stdcall* Release)(void* self);
};
struct IDestroyNotifyHandlerVtbl {
  IUnknownVtbl Base;
  void(__stdcall* OnDestroy)(void* self);
};
struct IDestroyNotifyVtbl {
  IUnknownVtbl Base;
  // 1-based index of the handler's slot.
  std::int32_t(__stdcall* RegisterHandler)(void* self, void* handler, std::int32_t* index);
  std::int32_t(__stdcall* UnregisterHandler)(void* self, std::int32_t index);
};
struct IDLLExceptionManagerV2Vtbl {
  IUnknownVtbl Base;
  std::int32_t(__stdcall* Handle)(void* self, void* object, void* address, TManagerResponse* response);
};
struct IDLLExceptionManagerV1Vtbl {
  IUnknownVtbl Base;
  std::int32_t(__stdcall* Info)(void* self, const void* record, const void* context, void** info);
  // The text is cut to the buffer (with its terminating zero).
  std::int32_t(__stdcall* CallStackText)(void* self, void* info, wchar_t* buffer, std::int32_t size);
  std::int32_t(__stdcall* ReleaseObject)(void* self, void* info);
};

int RegisterDestroyHandler(void* handler);
void UnregisterDestroyHandler(int index);

// The manager's IDestroyNotify (null without a manager); 0.
std::int32_t GetVarnelLogInterface(void** out) noexcept;
// Destroy handlers' slots (tests): how many slots the array has.
int DestroyHandlerSlots();

}  // namespace zelvic::diag
