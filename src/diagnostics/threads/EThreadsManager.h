// The registry of the process's threads and the facility's per-thread
// activity switch.
//
// Each thread has a small block of its own on one TLS slot: whether the
// facility is active in it (0 undecided, 1 off, 2 on), its own record, the
// creation hook's busy flag and the exit flag. The nesting counter that keeps
// the facility's own work from being taken over is the one the location
// lookups already raise (EDebugInfo's threads nesting count).
//
// Records live in the manager's list under the manager lock. Nothing done
// under that lock waits for the loader's lock (no location lookup, no module
// query, no classification), because a thread leaving the process takes the
// manager lock from inside the loader's thread-detach notification.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"

namespace zelvic::diag {

// Thread IDs that stand for the calling thread; kFindOwnThread also means
// "find only" where a lookup could create.
inline constexpr std::uint32_t kCallingThread = 0;
inline constexpr std::uint32_t kCallingThreadToo = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFindOwnThread = 0xFFFFFFFEu;
// A record's ID until its thread runs.
inline constexpr std::uint32_t kNoThreadID = 0xFFFFFFFFu;

// The name a thread start gives when it was given none.
inline constexpr wchar_t kUnnamedThreadMarker[] = L"C30C8261-2B6E-484A-A4B1-1B81CC235AFB";

// --- the activity switch ----------------------------------------------------------

// thread_id 0, -1 or the caller's own ID mean the calling thread.
bool IsVarnelLogActiveInThread(std::uint32_t thread_id);
void SetVarnelLogStateInThread(std::uint32_t thread_id, bool activate);

// The process-wide default a thread's undecided state is decided by;
// dtsDisabled until the library's start-up sets it. Returns the previous one.
TVarnelLogThreadState SetDefaultThreadState(TVarnelLogThreadState state) noexcept;
TVarnelLogThreadState DefaultThreadState() noexcept;

// How deep the calling thread is inside the facility's own work: threads it
// creates meanwhile are not taken over.
std::uint32_t GetNestingCounter() noexcept;
void SetNestingCounter(std::uint32_t value) noexcept;

// The creation hook's re-entry guard and the exit path's flag, per thread.
bool ThreadCreateBusy() noexcept;
void SetThreadCreateBusy(bool busy) noexcept;
bool ThreadExiting() noexcept;
void SetThreadExiting(bool exiting) noexcept;
// Whether the calling thread has its per-thread block (it can be made).
bool HasThreadBlock() noexcept;
// The runtime's thread start marks the creation it is about to make as
// already taken over; the creation hook takes the mark off and lets it pass.
void MarkRuntimeStartWrapped() noexcept;
bool TakeRuntimeStartWrapped() noexcept;
// Whether the default state leaves the facility off in a new thread.
bool DefaultDisablesThread(bool external, bool main_or_rtl) noexcept;

// --- thread records ----------------------------------------------------------------

enum TThreadKind : std::uint8_t { tkUnknown, tkGeneric, tkBeginThread, tkTThread };
enum TNewThreadState : std::uint8_t { ntsDisabled, ntsEnabled, ntsDefault };
// "", "CreateThread", "BeginThread", "TThread".
const wchar_t* ThreadKindName(TThreadKind kind) noexcept;

struct TThreadBlock;

// The facts of one thread. The fields are the record; the operations below
// read and complete it.
class TVarnelThreadData {
 public:
  TVarnelThreadData() noexcept = default;
  explicit TVarnelThreadData(std::uint32_t thread_id) noexcept : FTID(thread_id) {}
  // Closes the handle; a registered record (not a clone, not external) tells
  // the exception manager that the thread's exceptions can go.
  ~TVarnelThreadData();
  TVarnelThreadData(const TVarnelThreadData&) = delete;
  TVarnelThreadData& operator=(const TVarnelThreadData&) = delete;

  std::uint32_t FTID = kNoThreadID;
  std::uint32_t FParentID = 0;
  void* FHandle = nullptr;
  void* FLastException = nullptr;  // not owned
  std::wstring FName;
  void* FStartingAddress = nullptr;
  std::wstring FStartingFunction;
  std::uint32_t FStackTop = 0;
  void* FParameter = nullptr;
  void* FRealStartingAddress = nullptr;
  std::wstring FRealStartingFunction;
  void* FRealParameter = nullptr;
  void* FCallerAddress = nullptr;
  std::wstring FCallerFunction;
  void* FThread = nullptr;  // the thread object, for tkTThread
  std::wstring FThreadClassName;
  std::wstring FShortDescr;
  std::string FLastHTMLPage;
  TThreadKind FKind = tkUnknown;
  bool FDisabledInThread = false;
  bool FInitialized = false;
  bool FCloned = false;
  bool FExternalThread = false;
  bool FSuspended = false;

  std::uint32_t ID() const noexcept { return FTID; }
  // The thread's own activity state, while the record is linked to its
  // still-living thread; null otherwise.
  std::uint32_t* DisabledInThreadPtr() const noexcept;

  std::int32_t Priority() const noexcept;
  void ClearLastException() noexcept { FLastException = nullptr; }
  std::unique_ptr<TVarnelThreadData> Clone() const;
  std::wstring ThreadIDStr();
  const std::wstring& Name() const noexcept { return FName; }
  // Stores the name and, unless the record is external, gives it to a
  // debugger.
  void SetName(const std::wstring& name);
  // tkUnknown is classified once when the record is the calling thread's;
  // anything still unknown reads as tkGeneric.
  TThreadKind Kind();
  bool IsMainThread() const noexcept;
  bool IsRTLThread();
  bool IsWindowsThread() { return !IsRTLThread(); }
  // Completes the record: ID, activity, stack top and a handle of its own.
  void Initialize();
  // "[Unnamed thread] Kind: ...; Thread function: ...; Thread caller: ...".
  std::wstring Describe(bool protect) const;
  // Fills the location texts of the starting routines and the call site.
  void FillLocationTexts();

 private:
  friend struct TRecordLinks;
  TThreadBlock* FBlock = nullptr;  // the thread's own block, while linked
  bool FKindAsked = false;
};

using TThreadDataPtr = std::unique_ptr<TVarnelThreadData>;

class TVarnelThreadDataList {
 public:
  std::size_t Count() const noexcept { return FList.size(); }
  TVarnelThreadData* GetItem(std::size_t index) const noexcept { return FList[index].get(); }
  // The first record with that ID, or null.
  TVarnelThreadData* ThreadData(std::uint32_t thread_id) const noexcept;
  void Add(TThreadDataPtr record) { FList.push_back(std::move(record)); }

 private:
  std::vector<TThreadDataPtr> FList;
};

class TThreadsManager {
 public:
  std::size_t Count() const noexcept { return FThreads.size(); }
  TVarnelThreadData* GetThread(std::size_t index) const noexcept { return FThreads[index].get(); }

  std::vector<TThreadDataPtr> FThreads;
  std::uint32_t FKillerThreadID = 0;
  std::uint32_t FLastPurgeTime = 0;
};

// The manager; null before "EThreadsManager.Init" and after its ".Done".
TThreadsManager* ThreadsManager() noexcept;

// Holds the manager lock; does nothing while the manager does not exist.
class TThreadsLock {
 public:
  TThreadsLock() noexcept;
  ~TThreadsLock();
  TThreadsLock(const TThreadsLock&) = delete;
  TThreadsLock& operator=(const TThreadsLock&) = delete;
};

// --- what the manager needs from above --------------------------------------------

struct TThreadsCallbacks {
  // The library's classification of the calling thread: 1 plain, 2 started
  // by the runtime's thread start, 3 runs a thread object; 0 not known.
  int (*Classify)() = nullptr;
  // Whether the debug information of the module holding `address` is
  // enciphered.
  bool (*IsEncryptedModule)(const void* address) = nullptr;
  // The name-protection converter; without one, names are shown as they are.
  std::wstring (*ProtectName)(const std::wstring& name) = nullptr;
  // Location text of an address, full or short; without one the debug
  // information's own texts are used.
  std::wstring (*LocationText)(const void* address, bool full) = nullptr;
  // The exception manager forgets the exceptions of a thread whose record goes.
  void (*ClearThreadExceptions)(std::uint32_t thread_id) = nullptr;
};
TThreadsCallbacks& ThreadsCallbacks() noexcept;

// --- lookups -------------------------------------------------------------------------

enum class TThreadLookup { FindOrCreate, FindOnly };
// The live record of a thread (0, -1: the caller; -2: the caller, find
// only). A record made on demand for a thread that has no handle to give is
// dropped (null).
TVarnelThreadData* ThreadData(std::uint32_t thread_id, TThreadLookup lookup = TThreadLookup::FindOrCreate);
// Completes `record` if it is not yet; returns it.
TVarnelThreadData* ThreadData(TVarnelThreadData& record);
// A clone the caller owns; with `create`, a new (unregistered) record for a
// live thread the manager has none of.
TThreadDataPtr GetThreadData(std::uint32_t thread_id, bool create);

struct TThreadFactsSummary {
  std::uint32_t ParentID = 0;
  std::wstring ClassName;
  void* CallerAddress = nullptr;
  std::wstring Name;
};
// All empty for an unknown thread.
TThreadFactsSummary GetThreadFacts(std::uint32_t thread_id);
TVarnelThreadDataList GetThreadsSnapshot();

// The main thread: the thread that loaded the library.
std::uint32_t MainThreadID() noexcept;
void SetMainThreadID(std::uint32_t thread_id) noexcept;

// --- registration ------------------------------------------------------------------

// On the new thread: registers its record (taking it over).
void NotifyThreadStart(TThreadDataPtr record);
// On an ending thread: removes its record.
void NotifyThreadDone();
// Another thread's end removes its record; the caller's is NotifyThreadDone.
void ThreadDone(std::uint32_t thread_id);
void NameThread(const std::wstring& name, std::uint32_t thread_id);
// Removes the records of every thread that has ended.
void PurgeEndedThreads();

// The manager's unit ("EThreadsManager.Init" / ".Done").
void EThreadsManagerInit();
void EThreadsManagerDone();

// The per-thread block slot is given back by the base unit's shut-down.
void ReleaseThreadBlocks() noexcept;

}  // namespace zelvic::diag
