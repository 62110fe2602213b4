// The information record of one exception: the capture a hook made
// (TExceptionData), the reader that decoded the exception, the call stack
// (built at once, from a stack snapshot later, or from a context), the
// modules and processes, the numbering, the chain of nested exceptions and
// the bug identifier.
//
// A record is made by the exception manager (or a leak reporter) with
// Create and ended only with Delete: a record that an exception object
// still refers to lives on until the object lets go. Every record is kept in
// one process-wide registry, so that a pointer can be checked for being a
// live record without reading freed memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <typeinfo>

#include "diagnostics/exceptions/EExceptionReaders.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/system/EDateTexts.h"
#include "platform/threads.h"

namespace zelvic::diag {

class TVarnelModuleOptions;
class TVarnelModulesList;
class TVarnelProcessesList;

// The platform's register context of the 32-bit x86 processor (716 bytes).
struct TContext32 {
  std::uint32_t ContextFlags = 0;
  std::uint32_t Dr[6] = {};
  std::uint8_t FloatSave[112] = {};
  std::uint32_t SegGs = 0, SegFs = 0, SegEs = 0, SegDs = 0;
  std::uint32_t Edi = 0, Esi = 0, Ebx = 0, Edx = 0, Ecx = 0, Eax = 0;
  std::uint32_t Ebp = 0, Eip = 0, SegCs = 0, EFlags = 0, Esp = 0, SegSs = 0;
  std::uint8_t ExtendedRegisters[512] = {};
};
static_assert(sizeof(TContext32) == 716);
static_assert(offsetof(TContext32, Edi) == 0x9C && offsetof(TContext32, Eip) == 0xB8 &&
              offsetof(TContext32, Esp) == 0xC4);

// Control, integer and segment registers.
inline constexpr std::uint32_t kContextFull = 0x00010007;

// Empty: the nine general registers are all 0.
bool IsEmptyContext(const TContext32& context) noexcept;
platform::TThreadRegisters RegistersOf(const TContext32& context) noexcept;

// The capture record a hook fills when the exception is raised.
struct TExceptionData {
  std::uintptr_t ExceptionModule = 0;
  std::wstring ExceptionModuleName;
  void* ExceptionAddress = nullptr;
  std::uint32_t ExceptionThreadID = 0;  // 0: the current thread
  TExceptionRecord32 ExceptionRecord;
  TContext32 ExceptionContext;
  void* StackTop = nullptr;
  void* StackPoint = nullptr;
  std::uintptr_t StackOffset = 0;
  void* StackEIP = nullptr;
  void* ExceptionObject = nullptr;
  const TReaderClass* ExceptionReaderClass = nullptr;
  std::wstring ExceptionType;
  std::wstring ExceptionMessage;
  std::int32_t HelpContext = 0;
  void* ExceptionMark = nullptr;
  bool ExceptionHandled = false;
  bool ExceptionNative = false;
  bool ExceptionSoftware = false;
  bool _Optional = false;
  bool _SkipCallStack = false;
  // The dynamic type of a C++ exception object; its name is read on first
  // use, so a throw does not demangle (nor allocate for it).
  const std::type_info* ExceptionTypeInfo = nullptr;
};

// What Create does with the call stack.
enum class TCallStackRequest : std::uint8_t {
  kBuildNow = 0,     // walk it at once
  kSnapshot = 1,     // keep the context, copy the stack, build on first use
  kFromContext = 2,  // keep the context and build from it now
  kEmpty = 3,        // an empty list
};

// The exception manager's builder: (capture, thread facts or null) -> list.
using TCallStackBuilder = std::unique_ptr<TVarnelBaseStackList> (*)(const TExceptionData& data,
                                                                    const TThreadFacts* thread);
TCallStackBuilder& CallStackBuilder() noexcept;

// Class names of the leak exceptions: their records never list processes
// and their bug identifiers read the whole stack.
inline constexpr wchar_t kMemoryLeakClass[] = L"EMemoryLeak";
inline constexpr wchar_t kResourceLeakClass[] = L"EResourceLeak";
inline constexpr wchar_t kUnknownExceptionType[] = L"Unknown exception type";
inline constexpr wchar_t kUnknownErrorMessage[] = L"Unknown error message";

class TVarnelExceptionInfo {
 public:
  using TDeleteNotify = void (*)(TVarnelExceptionInfo* info, void* data);

  // The record, kept in the registry until Delete ends it.
  static TVarnelExceptionInfo* Create(const TExceptionData& data, bool early_capture, bool capture_stack_dump,
                                      TCallStackRequest request, const TVarnelBaseStackList* copy = nullptr);
  // Ends a record (see the header comment). Null and a record that already
  // waits for its object are ignored.
  static void Delete(TVarnelExceptionInfo* info);
  // A record that exists (not yet destroyed) with the liveness marker.
  static bool IsLive(const void* info) noexcept;
  // The exception object lets go of the record: the reader goes, the
  // object is forgotten, and a record that waited for it is ended.
  void ReleaseExceptionObject();

  TVarnelExceptionInfo(const TVarnelExceptionInfo&) = delete;
  TVarnelExceptionInfo& operator=(const TVarnelExceptionInfo&) = delete;

  // --- the capture ---------------------------------------------------------
  const TExceptionData& Info() const noexcept { return FInfo; }
  std::uintptr_t Module() const noexcept { return FInfo.ExceptionModule; }
  void SetModule(std::uintptr_t value) noexcept { FInfo.ExceptionModule = value; }
  const std::wstring& ModuleName() const noexcept { return FInfo.ExceptionModuleName; }
  void SetModuleName(std::wstring value) { FInfo.ExceptionModuleName = std::move(value); }
  void* Address() const noexcept { return FInfo.ExceptionAddress; }
  void SetAddress(void* value) noexcept { FInfo.ExceptionAddress = value; }
  std::uint32_t ThreadID() const noexcept { return FInfo.ExceptionThreadID; }
  void SetThreadID(std::uint32_t value) noexcept { FInfo.ExceptionThreadID = value; }
  const TExceptionRecord32& ExceptionRecord() const noexcept { return FInfo.ExceptionRecord; }
  void SetExceptionRecord(const TExceptionRecord32& value) noexcept { FInfo.ExceptionRecord = value; }
  const TContext32& Context() const noexcept { return FInfo.ExceptionContext; }
  // Stores a context (see Algorithms of the unit): without `force` only when
  // none is stored yet; an empty one is ignored.
  void StoreContext(const TContext32& context, bool force);
  std::int32_t HelpContext() const noexcept { return FInfo.HelpContext; }
  void* StackTop() const noexcept { return FInfo.StackTop; }
  void SetStackTop(void* value) noexcept { FInfo.StackTop = value; }
  void* StackPoint() const noexcept { return FInfo.StackPoint; }
  void SetStackPoint(void* value) noexcept { FInfo.StackPoint = value; }
  void* ExceptionObject() const noexcept { return FExceptionObject; }
  // Binds when the record has no object and no texts yet; else only stores.
  void SetExceptionObject(void* object);
  const std::type_info* ExceptionTypeInfo() const noexcept { return FInfo.ExceptionTypeInfo; }
  bool ExceptionNative() const noexcept { return FNative; }
  const TExceptionReader* Reader() const noexcept { return FReader.get(); }
  // The texts, or the fallbacks when empty.
  std::wstring ExceptionClass() const;
  void SetExceptionClass(std::wstring value) { FInfo.ExceptionType = std::move(value); }
  std::wstring ExceptionMessage() const;
  void SetExceptionMessage(std::wstring value) { FInfo.ExceptionMessage = std::move(value); }
  bool IsChildClass(const std::wstring& class_name) const;

  // --- flags that only go from false to true -------------------------------
  bool Handled() const noexcept { return FHandled; }
  void SetHandled(bool value);
  bool Processed() const noexcept { return FProcessed; }
  void SetProcessed(bool value);
  bool Failed() const noexcept { return FFailed; }
  void SetFailed(bool value);
  bool ObjectAssociated() const noexcept { return FObjectAssociated; }
  void SetObjectAssociated(bool value);
  bool SafeCallExpt() const noexcept { return FSafeCall; }
  void SetSafeCallExpt(bool value) noexcept { FSafeCall = value; }
  bool ThreadException() const noexcept { return FThreadException; }
  void SetThreadException(bool value) noexcept { FThreadException = value; }
  bool Nested() const noexcept { return FNested; }
  void SetNested(bool value) noexcept { FNested = value; }
  bool SynchronizeException();
  bool InitializationException();
  bool HasExceptObjRef() const noexcept { return FHasExceptObjRef; }
  void SetHasExceptObjRef(bool value) noexcept { FHasExceptObjRef = value; }
  bool FreeOnClear() const noexcept { return FFreeOnClear; }
  bool CapturedThreadCaller() const noexcept { return FCapturedThreadCaller; }
  void SetCapturedThreadCaller(bool value) noexcept { FCapturedThreadCaller = value; }

  // --- numbering and identity ------------------------------------------------
  std::int32_t ExceptionNumber() const noexcept { return FExceptionNumber; }
  void SetExceptionNumber(std::int32_t value) noexcept { FExceptionNumber = value; }
  std::int32_t UnhandledExceptionNumber() const noexcept { return FUExceptionNumber; }
  void SetUnhandledExceptionNumber(std::int32_t value) noexcept { FUExceptionNumber = value; }
  std::int32_t EID() const noexcept { return FEID; }
  std::uintptr_t CreatorModule() const noexcept { return FCreatorModule; }
  void SetCreatorModule(std::uintptr_t value) noexcept { FCreatorModule = value; }
  void* OriginalAddr() const noexcept { return FOriginalAddr; }
  void SetOriginalAddr(void* value) noexcept { FOriginalAddr = value; }
  void SetDeleteNotify(TDeleteNotify notify, void* data) noexcept {
    FDeleteNotify = notify;
    FDeleteNotifyData = data;
  }
  double Time() const noexcept { return FTime; }
  void SetTime(double value) noexcept { FTime = value; }
  std::wstring ApplicationUpTime() const;
  // The moment of capture with the local time zone ("Wed, 9 Dec 2026
  // 01:51:51 +0100").
  std::wstring ExceptionDate() const;

  // --- options -----------------------------------------------------------------
  // The private copy, made on first read from this library's options (or the
  // defaults).
  TVarnelModuleOptions& Options();
  void SetOptions(const TVarnelModuleOptions& options);

  // --- call stack ---------------------------------------------------------------
  // Built on first read when deferred; null only when it cannot be built.
  TVarnelBaseStackList* CallStack();
  // Without building.
  TVarnelBaseStackList* CallStackIfBuilt() const noexcept { return FCallStack.get(); }
  bool HasPendingSnapshot() const noexcept { return FStackStorage != nullptr; }
  void SetCallStack(const TVarnelBaseStackList& list);
  const std::uint8_t* StackDump() const noexcept { return FStackDump ? FStackDump->data() : nullptr; }

  // --- modules and processes ------------------------------------------------------
  TVarnelModulesList& Modules();
  TVarnelProcessesList& Processes();
  std::wstring ModuleVersion() const;

  // --- windows ----------------------------------------------------------------------
  std::uintptr_t ActiveForm();
  std::uintptr_t ActiveControl();
  const std::wstring& ActiveFormClass();
  const std::wstring& ActiveFormText();
  const std::wstring& ActiveControlClass();
  const std::wstring& ActiveControlText();

  // --- the bug identifier --------------------------------------------------------
  std::uint32_t BugID();
  void SetBugID(std::uint32_t value) noexcept;
  std::uint16_t CustomID() const noexcept { return FCustomID; }
  void SetCustomID(std::uint16_t value);
  std::wstring BugIDStr();
  const std::wstring& BugIDSource();
  virtual void BuildBugID();

  // --- free texts -------------------------------------------------------------------
  const std::wstring& AdditionalInfo() const noexcept { return FAdditionalData; }
  void SetAdditionalInfo(std::wstring value) { FAdditionalData = std::move(value); }
  const std::wstring& ReproduceText() const noexcept { return FReproduceText; }
  void SetReproduceText(std::wstring value) { FReproduceText = std::move(value); }
  std::int32_t ExpectedContext() const noexcept { return FContextNumber; }
  void SetExpectedContext(std::int32_t value) noexcept { FContextNumber = value; }
  const std::wstring& ExpectedURL() const noexcept { return FURL; }
  void SetExpectedURL(std::wstring value) { FURL = std::move(value); }

  // The message, then the call stack's text when there is one.
  std::wstring ToString();
  // Placeholders (%name%) replaced: system variables, environment, then the
  // exception's own names.
  virtual std::wstring ExpandVariables(const std::wstring& text);
  // The exception's own names (case-blind); false for an unknown name.
  bool ExceptionVariable(const std::wstring& name, std::wstring& value);

  // --- the chain -------------------------------------------------------------------
  TVarnelExceptionInfo* InnerException() const noexcept { return FInnerException; }
  // Owns the new inner record; the old one is unlinked (not ended).
  void SetInnerException(TVarnelExceptionInfo* inner);
  TVarnelExceptionInfo* ParentException() const noexcept { return FParentException; }
  TVarnelExceptionInfo* BaseException() noexcept;

 private:
  // Only Create makes a record; only Delete ends one.
  struct TCreateKey {
    explicit TCreateKey() = default;
  };
  friend struct std::default_delete<TVarnelExceptionInfo>;

 public:
  explicit TVarnelExceptionInfo(TCreateKey);

 private:
  virtual ~TVarnelExceptionInfo();
  void Construct(const TExceptionData& data, bool early_capture, bool capture_stack_dump, TCallStackRequest request,
                 const TVarnelBaseStackList* copy);
  void BindObject();
  void ReadWithReader(std::unique_ptr<TExceptionReader> reader);
  void TakeSnapshot();
  void BuildFromSnapshot();
  void BuildLive();
  void ReleaseSnapshot() noexcept;
  void CopyStackDump();
  void DetectType();
  void Unlink() noexcept;
  void NotifyDelete() noexcept;
  void CaptureWindows();

  std::array<std::uint8_t, 16> FDebugIdentGUID{};
  std::unique_ptr<TVarnelModuleOptions> FOptions;
  std::unique_ptr<TExceptionReader> FReader;
  std::wstring FAdditionalData;
  std::unique_ptr<TVarnelBaseStackList> FCallStack;
  std::wstring FBugIDSource;
  std::uint32_t FBugID = 0;
  std::wstring FActiveControlClass, FActiveControlText;
  std::uintptr_t FActiveForm = 0, FActiveControl = 0;
  double FTime = 0;
  std::wstring FActiveFormClass, FActiveFormText;
  std::int32_t FExceptionNumber = -1;
  std::int32_t FUExceptionNumber = -1;
  std::wstring FReproduceText;
  std::uint16_t FCustomID = 0;
  std::unique_ptr<TVarnelModulesList> FModules;
  std::unique_ptr<TVarnelProcessesList> FProcesses;
  TVarnelExceptionInfo* FInnerException = nullptr;
  TVarnelExceptionInfo* FParentException = nullptr;
  void* FExceptionObject = nullptr;
  std::wstring FURL;
  std::int32_t FContextNumber = 0;
  std::int32_t FEID = 0;
  std::unique_ptr<std::array<std::uint8_t, 64>> FStackDump;
  bool FEarlyCapture = false;
  bool FProcessesRefreshed = false;
  bool FModulesRefreshed = false;
  bool FObjectAssociated = false;
  bool FCaptureStackDump = false;
  bool FHandled = false;
  bool FSafeCall = false;
  bool FProcessed = false;
  bool FSynch = false;
  bool FInitExc = false;
  bool FFailed = false;
  bool FNested = false;
  bool FBugIDBuild = false;
  bool FNative = false;
  bool FDetectedType = false;
  bool FAllowDestructor = false;
  bool FWindowsTaken = false;
  TExceptionData FInfo;
  std::uintptr_t FCreatorModule = 0;
  TDeleteNotify FDeleteNotify = nullptr;
  void* FDeleteNotifyData = nullptr;
  void* FOriginalAddr = nullptr;
  // The stack snapshot: a copy of [FStackStorageBase, FStackStorageTop)
  // between no-access pages.
  platform::TStackCopyBuffer FStackBuffer;
  void* FStackStorage = nullptr;
  std::uint32_t FStackStorageBase = 0, FStackStorageTop = 0;
  // 1 before a snapshot is taken: one is wanted.
  std::uint32_t FStackStorageEBP = 0, FStackStorageESP = 0, FStackStorageEIP = 0;
  std::unique_ptr<TThreadFacts> FStackThreadData;
  bool FCapturedThreadCaller = false;
  bool FCapturedSynchCaller = false;
  bool FHasExceptObjRef = false;
  bool FFreeOnClear = false;
  bool FThreadException = false;
};

// The fixed liveness marker of a record.
const std::array<std::uint8_t, 16>& ExceptionInfoGUID() noexcept;

// CRC-16/XMODEM (polynomial 1021, initial 0, not reflected).
std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> bytes) noexcept;
// Lower case without the user's locale: ASCII and Latin-1 letters, so an
// identifier is the same on every machine.
std::wstring InvariantLower(std::wstring_view text);

// "Marks exception information ready" (unit start-up).
void EExceptionInit();
void EExceptionDone();
bool ExceptionInfoReady() noexcept;

}  // namespace zelvic::diag
