// Call-stack lists: one entry per call site, each located, with the slot it
// was found in, the methods that found it and its thread. A list is built by
// the walkers of EStackTracing/EStackCapture, then cleaned (the cut at the
// error routine, begin-line calls, the thread start, levels and the entry
// limit). One list may hold several threads' stacks, or one group per leak.
//
// The thread facts a list prints come through a provider slot: the threads
// registry installs itself there; without it a list knows only its own
// thread's facts. Rendering is ECallStackFormatter's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/stacks/EStackCleanup.h"
#include "diagnostics/stacks/EStackTracing.h"
#include "platform/threads.h"

namespace zelvic::diag {

enum TVarnelLeakType : std::uint8_t { ltNone = 0, ltMemoryLeak = 1, ltResourceLeak = 2 };
enum TBlockType : std::uint8_t { btData, btObject, btString, btDynArray };
enum TCleanDirection : std::uint8_t { cdUp = 0, cdDown = 1 };

inline constexpr TVarnelDebugDetails kDefaultDebugDetails =
    (1u << ddUnit) | (1u << ddProcedure) | (1u << ddSourceCode);
// The method set of an entry added without a stack slot.
inline constexpr std::uint32_t kNoSlotMethods = 0x7FFFFFFEu;
// Ask for the process-wide enabled methods.
inline constexpr std::uint32_t kProcessMethods = 0x80000000u;

struct TVarnelDebugInfo {
  TVLLocationInfo Location;
  std::uint32_t StackAddr = 0;
  std::uint32_t ReturnAddr = 0;
  std::uint32_t Methods = 0;
  std::uint32_t ThreadID = 0;
  std::wstring ThreadClass;
  std::wstring ThreadName;
  bool RunningThread = false;
  bool ErrorLine = false;
  TVarnelLeakType LeakType = ltNone;
  std::uint32_t LeakBlock = 0;
  TBlockType LeakMemoryType = btData;
  std::wstring LeakDescription;
  std::uint64_t LeakSize = 0;
  std::uint64_t LeakCount = 0;
  std::wstring CustomMsg;
};

// ---------------------------------------------------------------------------
// Thread facts, as the threads registry keeps them.
struct TThreadFacts {
  std::uint32_t ThreadID = 0;
  std::wstring ClassName;
  std::wstring Name;
  // The name as a header shows it ("MAIN" for the main thread); empty: Name.
  std::wstring IDStr;
  std::uint32_t CallerAddress = 0;  // the call site that created the thread
  std::uint32_t ParentID = 0;
  std::int32_t Priority = 0;
  // The routine the thread was started with, 0 when unknown, and its short
  // location text (unit, class, routine).
  std::uint32_t StartAddress = 0;
  std::wstring StartDescription;
  bool IsTThread = false;
};

struct TThreadFactsProvider {
  bool (*Facts)(void* data, std::uint32_t thread_id, TThreadFacts& facts) = nullptr;
  void* Data = nullptr;
};
// Returns the provider replaced. The default knows no thread.
TThreadFactsProvider SetThreadFactsProvider(const TThreadFactsProvider& provider) noexcept;
bool ThreadFactsOf(std::uint32_t thread_id, TThreadFacts& facts);

class TVarnelBaseStackFormatter;

// ---------------------------------------------------------------------------
class TVarnelBaseStackList {
 public:
  TVarnelBaseStackList();
  virtual ~TVarnelBaseStackList();
  TVarnelBaseStackList(const TVarnelBaseStackList&) = delete;
  TVarnelBaseStackList& operator=(const TVarnelBaseStackList&) = delete;

  struct TBuildArgs {
    std::uint32_t FirstAddr = 0;
    std::uint32_t StackFrame = 0;  // 0: the frame of the routine that constructs
    std::uint32_t TopOfStack = 0;
    std::int32_t StartLevel = -1;
    std::int32_t LevelsNumber = -1;
    TVarnelDebugDetails DebugDetails = kDefaultDebugDetails;
    std::uint32_t ThreadID = 0;
    bool RunningThread = true;
    bool GetDebugInfo = true;
    bool ShowBeginCalls = false;
    std::uint32_t AllowedMethods = kProcessMethods;
    std::uint32_t StackOffset = 0;
    const platform::TThreadRegisters* Context = nullptr;
    // Facts given by the caller instead of the registry's.
    const TThreadFacts* ThreadInfo = nullptr;
  };
  // The constructor with building arguments; the list is built by
  // AfterConstruction.
  void Setup(const TBuildArgs& args);
  void AfterConstruction();

  // Appends one entry by the five steps; returns false when nothing was added.
  virtual bool AddEntry(std::uint32_t first_addr, TVarnelDebugDetails details, bool get_debug_info, bool running,
                        std::uint32_t thread_id, bool exact, std::uint32_t return_addr, std::uint32_t stack_addr);
  // The list's own walk over `range`.
  virtual void BuildEntries(const TStackRange& range, std::uint32_t offset);
  virtual std::unique_ptr<TVarnelBaseStackList> NewEmpty() const = 0;

  void Build();
  bool BuildForThread(void* thread);
  bool BuildForThreadByID(std::uint32_t thread_id);

  // The five post-processing steps, in order, and each on its own.
  void PostProcess();
  void UpdateLocationsAndThreads();
  void CutAtErrorRoutine();
  void RemoveBeginLineCalls();
  void TrimThreadStart();
  void ApplyLevelsAndLimit();

  // Entries.
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TVarnelDebugInfo& Item(int index) const;
  TVarnelDebugInfo ItemCopy(int index) const { return Item(index); }
  void SetItem(int index, const TVarnelDebugInfo& value);
  int Add(const TVarnelDebugInfo& source);
  int Add(std::unique_ptr<TVarnelDebugInfo> source);
  void Insert(int index, const TVarnelDebugInfo& source);
  void Delete(int index);
  void Clear();
  void AddCallStack(const TVarnelBaseStackList* source, bool calling_thread);
  void Assign(const TVarnelBaseStackList& source);
  std::unique_ptr<TVarnelBaseStackList> ExtractThread(std::uint32_t thread_id) const;

  // Filters; each returns the larger of `stack_point` and the matched slot.
  std::uint32_t FilterOutByCaller(std::uint32_t caller, TCleanDirection direction, std::uint32_t stack_point,
                                  bool keep_entry);
  void FilterOutByStack(std::uint32_t stack);
  std::uint32_t FilterOutByName(const std::wstring& unit, const std::wstring& class_name, const std::wstring& proc,
                                TCleanDirection direction, std::uint32_t stack_point, bool keep_entry);
  std::uint32_t FilterOutByName(const std::wstring& name, TCleanDirection direction, std::uint32_t stack_point,
                                bool keep_entry);
  void RemoveWrapperFrames();

  // Rendering through the list's formatter (a standard one until set).
  TVarnelBaseStackFormatter& Formatter();
  // Same class: the current one takes the settings; else it is replaced by
  // a new one of the given class.
  void SetFormatter(const TVarnelBaseStackFormatter& formatter);
  // Hands the current formatter out (the list then makes a standard one when
  // asked) and couples `formatter` in its place.
  std::unique_ptr<TVarnelBaseStackFormatter> SwapFormatter(std::unique_ptr<TVarnelBaseStackFormatter> formatter);
  std::wstring GetItemText(int index);
  std::wstring ToString();
  void Changed();
  bool HasEncryptedData() const;

  // Wait-chain session handling.
  bool CaptureWCTInfo() const noexcept { return FCaptureWCTInfo; }
  void SetCaptureWCTInfo(bool value) noexcept { FCaptureWCTInfo = value; }
  std::uintptr_t WaitChainSession();
  void SetExternalWaitChainSession(std::uintptr_t session) noexcept { FWCHExternal = session; }

  // Facts.
  std::uint32_t Stack() const noexcept { return FStackFrame; }
  std::uint32_t ExceptionThreadID() const noexcept { return FExceptionThreadID; }
  void SetExceptionThreadID(std::uint32_t id) noexcept { FExceptionThreadID = id; }
  std::uint32_t ThreadID() const noexcept { return FThreadID; }
  bool ThreadExternal() const noexcept { return FThreadExternal; }
  const std::wstring& ThreadName() const noexcept { return FThreadName; }
  const std::wstring& ThreadClass() const noexcept { return FThreadClass; }
  std::uint32_t ThreadCallerAddress() const noexcept { return FThreadCallerAddress; }
  std::uint32_t ThreadParent() const noexcept { return FThreadParent; }
  TVarnelDebugDetails DebugDetails() const noexcept { return FDebugDetails; }
  int TracerNo() const noexcept { return FTracerNo; }
  std::uint32_t AllowedMethods() const noexcept { return FAllowedMethods; }
  // Where located addresses come from; the live lookup unless replaced.
  void SetLookup(const TLocationLookup& lookup) noexcept { FLookup = lookup; }
  void SetThreadFacts(std::uint32_t id, const TThreadFacts& facts);
  // The facts' source for this list instead of the registry.
  void SetExternalThreadInfo(const TThreadFactsProvider& provider) noexcept { FGetExternalTI = provider; }
  const TThreadFactsProvider& ExternalThreadInfo() const noexcept { return FGetExternalTI; }

 protected:
  // AddEntry for a call site already found; `located`, when given, is its
  // location as a lookup gave it, moved into the entry instead of looked up
  // and completed again.
  bool AddEntryAt(std::uint32_t first_addr, bool get_debug_info, bool running, std::uint32_t thread_id, bool exact,
                  std::uint32_t return_addr, std::uint32_t stack_addr, std::uint32_t site, TVLLocationInfo* located);

  bool Lookup(std::uint32_t address, TVLLocationInfo& info) const;

  std::unique_ptr<TVarnelBaseStackFormatter> FFormatter;
  std::uint32_t FCaller = 0;
  std::uint32_t FFirstAddr = 0;
  std::uint32_t FStackFrame = 0;
  std::uint32_t FTopOfStack = 0;
  std::int32_t FStartLevel = -1;
  std::int32_t FLevelsNumber = -1;
  TVarnelDebugDetails FDebugDetails = kDefaultDebugDetails;
  std::uint32_t FThreadID = 0;
  std::wstring FThreadClass;
  std::wstring FThreadName;
  std::uint32_t FThreadCallerAddress = 0;
  std::uint32_t FThreadParent = 0;
  bool FThreadExternal = false;
  std::uintptr_t FWCH = 0;
  std::uint32_t FStackOffset = 0;
  platform::TThreadRegisters FContextCopy;
  bool FHasContext = false;
  bool FRunningThread = true;
  bool FGetDebugInfo = true;
  bool FShowBeginCalls = false;
  bool FModified = true;
  bool FCaptureWCTInfo = true;
  std::vector<std::unique_ptr<TVarnelDebugInfo>> FList;
  std::uint32_t FExceptionThreadID = 0;
  int FTracerNo = 0;
  std::uint32_t FAllowedMethods = 0;
  std::uintptr_t FWCHExternal = 0;
  TThreadFactsProvider FGetExternalTI;
  TLocationLookup FLookup;

 private:
  std::uint32_t ListThreadOf(std::uint32_t entry_thread) const noexcept;
  void DeleteRange(std::size_t from, std::size_t to);  // [from, to)
  std::size_t BlockEnd(std::size_t from, std::uint32_t thread) const noexcept;
  std::uint32_t FilterThread() const noexcept;
};

class TVarnelStackListV6 : public TVarnelBaseStackList {
 public:
  TVarnelStackListV6();
  std::unique_ptr<TVarnelBaseStackList> NewEmpty() const override;
};

class TVarnelStackListV7 : public TVarnelBaseStackList {
 public:
  TVarnelStackListV7();
  std::unique_ptr<TVarnelBaseStackList> NewEmpty() const override;
  void BuildEntries(const TStackRange& range, std::uint32_t offset) override;
  // A stack for the process-list report: walked with method 16's bit, with
  // the given wait-chain session, built at once, without lookups.
  static std::unique_ptr<TVarnelStackListV7> CreateForProcess(std::uint32_t stack_frame, std::uint32_t top,
                                                             std::uint32_t thread_id, std::uint32_t methods,
                                                             std::uint32_t stack_offset,
                                                             const platform::TThreadRegisters* context,
                                                             std::uintptr_t wait_chain_session);
};

class TGenericStackList : public TVarnelBaseStackList {
 public:
  explicit TGenericStackList(int tracer_no = 0);
  std::unique_ptr<TVarnelBaseStackList> NewEmpty() const override;
  int Tracer() const noexcept { return FTracerNo; }
};

// The process-wide default class, chosen at start-up.
enum class TStackListClass : std::uint8_t { kGeneric, kV6, kV7 };
void SetDefaultStackListClass(TStackListClass value) noexcept;
TStackListClass DefaultStackListClass() noexcept;
std::unique_ptr<TVarnelBaseStackList> NewDefaultStackList();

// The calling thread's stack from the caller's frame, starting with the
// caller's caller's frame.
std::unique_ptr<TVarnelBaseStackList> GetCurrentCallStack(std::uint32_t first_addr);
// Renders `list` (an empty default list when null) with `formatter` and
// `header` for the duration; the list's own formatter and settings stay.
std::vector<std::wstring> CallStackToStrings(TVarnelBaseStackList* list, const std::wstring& header,
                                             const TVarnelBaseStackFormatter* formatter);
std::wstring CallStackToString(TVarnelBaseStackList* list, const std::wstring& header,
                               const TVarnelBaseStackFormatter* formatter);

// The call site inside the platform's thread-start routine, found at
// start-up; 0 when not found.
std::uint32_t ThreadStartCallSite() noexcept;
// The platform's thread-start routine's module (kernel32).
std::uintptr_t ThreadStartModule() noexcept;

void ECallStackInit();
void ECallStackDone();

}  // namespace zelvic::diag
