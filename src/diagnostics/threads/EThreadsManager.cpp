#include "diagnostics/threads/EThreadsManager.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/threads/EThreadHooks.h"
#include "platform/system.h"
#include "platform/thread_control.h"
#include "platform/threads.h"
#include "runtime/hex_text.h"
#include "runtime/thread_storage.h"

namespace zelvic::diag {

// ------------------------------------------------------------ thread blocks --

enum : std::uint32_t { kStateUndecided = 0, kStateOff = 1, kStateOn = 2 };

struct TThreadBlock {
  std::uint32_t ActivityState = kStateUndecided;
  TVarnelThreadData* OwnRecord = nullptr;  // linked under the manager lock
  bool CreateBusy = false;
  bool Exiting = false;
  bool RuntimeStartWrapped = false;
  // Every living block, so that the slot's end frees the blocks of threads
  // that never left while the library was loaded.
  TThreadBlock* Prev = nullptr;
  TThreadBlock* Next = nullptr;
};

namespace {

platform::TRecursiveLock g_lock;
std::unique_ptr<TThreadsManager> g_manager;
std::atomic<TVarnelLogThreadState> g_default_state{dtsDisabled};
std::atomic<std::uint32_t> g_main_thread{0};
TThreadsCallbacks g_callbacks;

void ReleaseBlock(void* value);

// The slot is taken on first use by whichever thread gets there first, so
// that the switch answers before the units start (and in programs that link
// the objects without the unit table); the base unit's shut-down gives it
// back.
class TBlockSlot {
 public:
  TThreadBlock* Get(bool create) noexcept {
    if (!slot_.Ready(CreateListLock, this)) return nullptr;
    auto* block = static_cast<TThreadBlock*>(slot_.Slot().Get());
    if (block != nullptr || !create) return block;
    try {
      auto made = std::make_unique<TThreadBlock>();
      {
        TListGuard guard(list_lock_);
        made->Next = head_;
        if (head_ != nullptr) head_->Prev = made.get();
        head_ = made.get();
      }
      slot_.Slot().Set(made.get());
      return made.release();
    } catch (...) {
      return nullptr;  // no memory: the thread has no block and the facility stays off in it
    }
  }
  void Forget(TThreadBlock& block) noexcept {
    TListGuard guard(list_lock_);
    if (block.Prev != nullptr) block.Prev->Next = block.Next;
    if (block.Next != nullptr) block.Next->Prev = block.Prev;
    if (head_ == &block) head_ = block.Next;
    block.Prev = block.Next = nullptr;
  }
  // Gives the slot back with every block still living: the blocks come from
  // the process heap, and a thread that stays after the library has gone
  // would otherwise keep its block for ever.
  void Free() noexcept { slot_.Release(ReleaseAllBlocks, this); }

 private:
  class TListGuard {
   public:
    explicit TListGuard(platform::TRecursiveLock& lock) noexcept : lock_(lock) { lock_.Enter(); }
    ~TListGuard() { lock_.Leave(); }
    TListGuard(const TListGuard&) = delete;
    TListGuard& operator=(const TListGuard&) = delete;

   private:
    platform::TRecursiveLock& lock_;
  };
  static void CreateListLock(void* self) { static_cast<TBlockSlot*>(self)->list_lock_.Create(); }
  static void ReleaseAllBlocks(void* self) {
    auto& slot = *static_cast<TBlockSlot*>(self);
    for (;;) {
      TThreadBlock* block = nullptr;
      {
        TListGuard guard(slot.list_lock_);
        block = slot.head_;
      }
      if (block == nullptr) break;
      ReleaseBlock(block);
    }
    slot.list_lock_.Destroy();
  }
  rt::TLazyThreadSlot slot_{ReleaseBlock};
  platform::TRecursiveLock list_lock_;
  TThreadBlock* head_ = nullptr;
};

TBlockSlot g_blocks;

bool IsCallingThread(std::uint32_t thread_id) noexcept {
  return thread_id == kCallingThread || thread_id == kCallingThreadToo || thread_id == kFindOwnThread ||
         thread_id == platform::CurrentThreadId();
}

std::uint32_t StateFor(bool active) noexcept { return active ? kStateOn : kStateOff; }

}  // namespace

// A record and its thread's block point at each other only under the manager
// lock, and whichever of the two goes first unlinks them: another thread may
// switch this one through its record at any time, and must never write into
// a block its thread has already given back.
struct TRecordLinks {
  static void Link(TVarnelThreadData& record, TThreadBlock& block) noexcept {
    TThreadsLock lock;
    if (block.OwnRecord != nullptr && block.OwnRecord != &record) block.OwnRecord->FBlock = nullptr;
    if (record.FBlock != nullptr && record.FBlock != &block) record.FBlock->OwnRecord = nullptr;
    record.FBlock = &block;
    block.OwnRecord = &record;
  }
  static void Unlink(TVarnelThreadData& record) noexcept {
    TThreadsLock lock;
    if (record.FBlock != nullptr && record.FBlock->OwnRecord == &record) record.FBlock->OwnRecord = nullptr;
    record.FBlock = nullptr;
  }
  static void Unlink(TThreadBlock& block) noexcept {
    if (block.OwnRecord == nullptr) return;
    TThreadsLock lock;
    if (block.OwnRecord != nullptr && block.OwnRecord->FBlock == &block) block.OwnRecord->FBlock = nullptr;
    block.OwnRecord = nullptr;
  }
  static TThreadBlock* BlockOf(const TVarnelThreadData& record) noexcept { return record.FBlock; }
};

namespace {

void ReleaseBlock(void* value) {
  std::unique_ptr<TThreadBlock> gone(static_cast<TThreadBlock*>(value));
  TRecordLinks::Unlink(*gone);
  g_blocks.Forget(*gone);
}

TThreadBlock* OwnBlock() noexcept { return g_blocks.Get(true); }

// The calling thread's own record through its block, without the lock.
TVarnelThreadData* CachedOwnRecord() noexcept {
  TThreadBlock* block = g_blocks.Get(false);
  return block != nullptr ? block->OwnRecord : nullptr;
}

bool DisabledByDefault(bool external, bool main_or_rtl) noexcept {
  switch (g_default_state.load()) {
    case dtsEnabled:
      return false;
    case dtsRTLEnabled:
      return !(external || main_or_rtl);
    default:
      return true;
  }
}

std::wstring DefaultLocationText(const void* address, bool full) {
  if (address == nullptr) return {};
  TVLLocationInfo info;
  if (!LookupLocationInfo(reinterpret_cast<std::uintptr_t>(address), info)) return {};
  return FormatLocationInfo(info, full, full, full, full, full, full);
}

std::wstring LocationText(const void* address, bool full) {
  return g_callbacks.LocationText != nullptr ? g_callbacks.LocationText(address, full)
                                             : DefaultLocationText(address, full);
}

std::wstring Protected(const std::wstring& text) {
  return g_callbacks.ProtectName != nullptr ? g_callbacks.ProtectName(text) : text;
}

// A location text cut to its routine: the address part in front (up to the
// first "]") and the line part behind (from the first "(") go. Enciphered
// texts ("?...") are kept whole: their brackets are not the layout's.
std::wstring RoutineOf(const std::wstring& text, const void* address) {
  std::wstring part = text;
  if (!part.empty() && part[0] != L'?') {
    const std::size_t close = part.find(L']');
    if (close != std::wstring::npos) part.erase(0, close + 1);
    const std::size_t open = part.find(L'(');
    if (open != std::wstring::npos) part.erase(open);
    const std::size_t first = part.find_first_not_of(L' ');
    const std::size_t last = part.find_last_not_of(L' ');
    part = first == std::wstring::npos ? std::wstring() : part.substr(first, last - first + 1);
  }
  if (part.empty()) part = L"[$" + rt::Hex8(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address))) + L"]";
  return part;
}

// Removes `record` from the list and hands it back, so that it is freed
// after the lock is left (freeing tells the exception manager).
TThreadDataPtr TakeOut(TVarnelThreadData* record) {
  TThreadsLock lock;
  if (!g_manager) return nullptr;
  auto& list = g_manager->FThreads;
  auto it = std::find_if(list.begin(), list.end(), [&](const TThreadDataPtr& r) { return r.get() == record; });
  if (it == list.end()) return nullptr;
  TThreadDataPtr taken = std::move(*it);
  list.erase(it);
  taken->ClearLastException();
  TRecordLinks::Unlink(*taken);
  return taken;
}

// The last record with the ID whose thread has ended, out of the list.
TThreadDataPtr TakeOutEnded(std::uint32_t thread_id) {
  TThreadsLock lock;
  if (!g_manager) return nullptr;
  auto& list = g_manager->FThreads;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if ((*it)->FTID == thread_id && platform::ThreadHasEnded((*it)->FHandle)) return TakeOut(it->get());
  }
  return nullptr;
}

TVarnelThreadData* FindLocked(std::uint32_t thread_id) noexcept {
  if (!g_manager) return nullptr;
  for (const auto& r : g_manager->FThreads) {
    if (r->FTID == thread_id) return r.get();
  }
  return nullptr;
}

// Adds a record made on demand. Only a record of the calling thread is
// linked to the calling thread's block: registering another thread's record
// leaves the caller's own alone.
TVarnelThreadData* Register(TThreadDataPtr record) {
  TVarnelThreadData* raw = record.get();
  const bool own = raw->FTID == platform::CurrentThreadId();
  {
    TThreadsLock lock;
    if (!g_manager) return nullptr;
    g_manager->FThreads.push_back(std::move(record));
  }
  if (own && !raw->FExternalThread) {
    if (TThreadBlock* block = OwnBlock()) TRecordLinks::Link(*raw, *block);
  }
  return raw;
}

}  // namespace

// ------------------------------------------------------------ the switch --

bool IsVarnelLogActiveInThread(std::uint32_t thread_id) {
  if (IsCallingThread(thread_id)) {
    TThreadBlock* block = OwnBlock();
    if (block == nullptr) return false;
    if (block->ActivityState == kStateUndecided) {
      switch (g_default_state.load()) {
        case dtsEnabled:
          block->ActivityState = kStateOn;
          break;
        case dtsRTLEnabled:
          block->ActivityState =
              block->OwnRecord != nullptr ? StateFor(!block->OwnRecord->FDisabledInThread) : kStateOff;
          break;
        default:
          block->ActivityState = kStateOff;
          break;
      }
    }
    return block->ActivityState == kStateOn;
  }
  TThreadsLock lock;
  if (TVarnelThreadData* record = ThreadData(thread_id)) return !record->FDisabledInThread;
  return g_default_state.load() == dtsEnabled;
}

void SetVarnelLogStateInThread(std::uint32_t thread_id, bool activate) {
  if (IsCallingThread(thread_id)) {
    TThreadBlock* block = OwnBlock();
    TVarnelThreadData* record = g_manager ? ThreadData(kCallingThread) : nullptr;
    if (record != nullptr) {
      record->FDisabledInThread = !activate;
      if (block != nullptr && TRecordLinks::BlockOf(*record) == nullptr) TRecordLinks::Link(*record, *block);
    }
    if (block != nullptr) block->ActivityState = StateFor(activate);
    return;
  }
  TThreadsLock lock;
  if (TVarnelThreadData* record = ThreadData(thread_id)) {
    record->FDisabledInThread = !activate;
    if (std::uint32_t* state = record->DisabledInThreadPtr()) *state = StateFor(activate);
  }
}

TVarnelLogThreadState SetDefaultThreadState(TVarnelLogThreadState state) noexcept {
  return g_default_state.exchange(state);
}

TVarnelLogThreadState DefaultThreadState() noexcept { return g_default_state.load(); }

std::uint32_t GetNestingCounter() noexcept { return ThreadsNestingCount(); }
void SetNestingCounter(std::uint32_t value) noexcept { SetThreadsNestingCount(value); }

bool ThreadCreateBusy() noexcept {
  TThreadBlock* block = g_blocks.Get(false);
  return block != nullptr && block->CreateBusy;
}
void SetThreadCreateBusy(bool busy) noexcept {
  if (TThreadBlock* block = OwnBlock()) block->CreateBusy = busy;
}
bool ThreadExiting() noexcept {
  TThreadBlock* block = g_blocks.Get(false);
  return block != nullptr && block->Exiting;
}
void SetThreadExiting(bool exiting) noexcept {
  // Every thread of the process leaves through the exit patch: one the
  // facility never met gets no block on its way out.
  if (TThreadBlock* block = g_blocks.Get(false)) block->Exiting = exiting;
}
bool HasThreadBlock() noexcept { return OwnBlock() != nullptr; }
void MarkRuntimeStartWrapped() noexcept {
  if (TThreadBlock* block = OwnBlock()) block->RuntimeStartWrapped = true;
}
bool TakeRuntimeStartWrapped() noexcept {
  TThreadBlock* block = g_blocks.Get(false);
  if (block == nullptr || !block->RuntimeStartWrapped) return false;
  block->RuntimeStartWrapped = false;
  return true;
}
bool DefaultDisablesThread(bool external, bool main_or_rtl) noexcept {
  return DisabledByDefault(external, main_or_rtl);
}

void ReleaseThreadBlocks() noexcept { g_blocks.Free(); }

// ------------------------------------------------------------------ records --

const wchar_t* ThreadKindName(TThreadKind kind) noexcept {
  switch (kind) {
    case tkGeneric:
      return L"CreateThread";
    case tkBeginThread:
      return L"BeginThread";
    case tkTThread:
      return L"TThread";
    default:
      return L"";
  }
}

TVarnelThreadData::~TVarnelThreadData() {
  TRecordLinks::Unlink(*this);
  platform::CloseThreadHandle(FHandle);
  if (!FCloned && !FExternalThread && g_callbacks.ClearThreadExceptions != nullptr && FTID != kNoThreadID) {
    g_callbacks.ClearThreadExceptions(FTID);
  }
}

std::uint32_t* TVarnelThreadData::DisabledInThreadPtr() const noexcept {
  return FBlock != nullptr ? &FBlock->ActivityState : nullptr;
}

std::int32_t TVarnelThreadData::Priority() const noexcept {
  return FHandle != nullptr ? platform::ThreadPriority(FHandle) : 0;
}

TThreadDataPtr TVarnelThreadData::Clone() const {
  auto copy = std::make_unique<TVarnelThreadData>(FTID);
  copy->FParentID = FParentID;
  copy->FHandle = FHandle != nullptr ? platform::DuplicateThreadHandle(FHandle) : nullptr;
  copy->FLastException = FLastException;
  copy->FName = FName;
  copy->FStartingAddress = FStartingAddress;
  copy->FStartingFunction = FStartingFunction;
  copy->FStackTop = FStackTop;
  copy->FParameter = FParameter;
  copy->FRealStartingAddress = FRealStartingAddress;
  copy->FRealStartingFunction = FRealStartingFunction;
  copy->FRealParameter = FRealParameter;
  copy->FCallerAddress = FCallerAddress;
  copy->FCallerFunction = FCallerFunction;
  copy->FThread = FThread;
  copy->FThreadClassName = FThreadClassName;
  copy->FShortDescr = FShortDescr;
  copy->FLastHTMLPage = FLastHTMLPage;
  copy->FKind = FKind;
  copy->FDisabledInThread = FDisabledInThread;
  copy->FExternalThread = FExternalThread;
  copy->FSuspended = FSuspended;
  copy->FKindAsked = FKindAsked;
  copy->FCloned = true;
  copy->FInitialized = true;
  return copy;
}

bool TVarnelThreadData::IsMainThread() const noexcept {
  const std::uint32_t main = g_main_thread.load();
  return main != 0 && FTID == main;
}

TThreadKind TVarnelThreadData::Kind() {
  if (FKind == tkUnknown && !FKindAsked && FTID == platform::CurrentThreadId() && g_callbacks.Classify != nullptr) {
    FKindAsked = true;
    const int answer = g_callbacks.Classify();
    if (answer >= tkGeneric && answer <= tkTThread) FKind = static_cast<TThreadKind>(answer);
  }
  return FKind == tkUnknown ? tkGeneric : FKind;
}

bool TVarnelThreadData::IsRTLThread() {
  if (IsMainThread()) return true;
  const TThreadKind kind = Kind();
  return kind == tkBeginThread || kind == tkTThread;
}

void TVarnelThreadData::SetName(const std::wstring& name) {
  FName = name;
  if (!FExternalThread && FTID != kNoThreadID) platform::NameThreadForDebugger(name, FTID);
}

void TVarnelThreadData::Initialize() {
  const std::uint32_t self = platform::CurrentThreadId();
  if (FTID == kNoThreadID || FTID == 0) FTID = self;
  const bool own = FTID == self;
  TThreadBlock* block = own && !FExternalThread ? OwnBlock() : nullptr;
  if (block != nullptr && block->ActivityState != kStateUndecided) {
    // A thread that has already been switched (or asked) keeps its state:
    // completing its record must not undo what it was told.
    FDisabledInThread = block->ActivityState != kStateOn;
  } else {
    // Classifying walks the thread's stack and looks locations up: only the
    // record's own thread, outside the manager lock, may do it, and only the
    // state that watches runtime threads needs the answer.
    const bool needs_kind = g_default_state.load() == dtsRTLEnabled && !FExternalThread;
    const bool main_or_rtl =
        needs_kind && (own ? IsRTLThread() : (IsMainThread() || FKind == tkBeginThread || FKind == tkTThread));
    FDisabledInThread = DisabledByDefault(FExternalThread, main_or_rtl);
  }
  if (own) {
    FStackTop = platform::CurrentStackBounds().Base;
    if (void* handle = platform::DuplicateCurrentThreadHandle()) {
      platform::CloseThreadHandle(FHandle);
      FHandle = handle;
    }
    if (block != nullptr) block->ActivityState = StateFor(!FDisabledInThread);
  }
  if (FHandle == nullptr) FHandle = platform::OpenThreadForRecord(FTID);
  FInitialized = true;
}

std::wstring TVarnelThreadData::Describe(bool protect) const {
  std::wstring function = RoutineOf(FRealStartingFunction, FRealStartingAddress);
  std::wstring caller = RoutineOf(FCallerFunction, FCallerAddress);
  if (protect) {
    if (function[0] != L'?') function = Protected(function);
    if (caller[0] != L'?') caller = Protected(caller);
  }
  return std::wstring(L"[Unnamed thread]") + L" Kind: " + ThreadKindName(FKind) + L"; Thread function: " + function +
         L"; Thread caller: " + caller;
}

std::wstring TVarnelThreadData::ThreadIDStr() {
  std::wstring text;
  if (IsMainThread()) {
    text = L"MAIN";
  } else if (FRealStartingAddress != nullptr && g_callbacks.IsEncryptedModule != nullptr &&
             g_callbacks.IsEncryptedModule(FRealStartingAddress)) {
    text = FName.starts_with(L"[Unnamed thread] ") ? Describe(true) : Protected(FName);
  } else {
    text = FName;
  }
  if (!FShortDescr.empty()) text += L" (" + FShortDescr + L")";
  return text;
}

void TVarnelThreadData::FillLocationTexts() {
  TThreadsNesting nesting;
  FStartingFunction = LocationText(FStartingAddress, true);
  FRealStartingFunction = LocationText(FRealStartingAddress, true);
  FCallerFunction = LocationText(FCallerAddress, true);
  FShortDescr = LocationText(FRealStartingAddress, false);
}

TVarnelThreadData* TVarnelThreadDataList::ThreadData(std::uint32_t thread_id) const noexcept {
  for (const auto& r : FList) {
    if (r->FTID == thread_id) return r.get();
  }
  return nullptr;
}

// ------------------------------------------------------------------ manager --

TThreadsManager* ThreadsManager() noexcept { return g_manager.get(); }

TThreadsLock::TThreadsLock() noexcept { g_lock.Enter(); }
TThreadsLock::~TThreadsLock() { g_lock.Leave(); }

TThreadsCallbacks& ThreadsCallbacks() noexcept { return g_callbacks; }

std::uint32_t MainThreadID() noexcept { return g_main_thread.load(); }
void SetMainThreadID(std::uint32_t thread_id) noexcept { g_main_thread.store(thread_id); }

TVarnelThreadData* ThreadData(std::uint32_t thread_id, TThreadLookup lookup) {
  const bool own = thread_id == kCallingThread || thread_id == kCallingThreadToo || thread_id == kFindOwnThread;
  const bool find_only = lookup == TThreadLookup::FindOnly || thread_id == kFindOwnThread;
  if (own) {
    if (thread_id != kFindOwnThread) TakeOutEnded(platform::CurrentThreadId()).reset();
    thread_id = platform::CurrentThreadId();
  }
  TVarnelThreadData* found = nullptr;
  {
    TThreadsLock lock;
    if (!g_manager) return nullptr;
    found = FindLocked(thread_id);
  }
  if (found != nullptr) {
    if (!found->FInitialized) found->Initialize();
    return found;
  }
  if (find_only) return nullptr;
  auto made = std::make_unique<TVarnelThreadData>(thread_id);
  made->Initialize();
  if (made->FHandle == nullptr) return nullptr;
  {
    TThreadsLock lock;
    if (TVarnelThreadData* raced = FindLocked(thread_id)) return raced;
  }
  return Register(std::move(made));
}

TVarnelThreadData* ThreadData(TVarnelThreadData& record) {
  if (!record.FInitialized) record.Initialize();
  return &record;
}

TThreadDataPtr GetThreadData(std::uint32_t thread_id, bool create) {
  if (IsCallingThread(thread_id)) {
    TVarnelThreadData* own = ThreadData(kCallingThread, create ? TThreadLookup::FindOrCreate : TThreadLookup::FindOnly);
    return own != nullptr ? own->Clone() : nullptr;
  }
  {
    TThreadsLock lock;
    if (TVarnelThreadData* found = FindLocked(thread_id)) return found->Clone();
  }
  if (!create) return nullptr;
  auto made = std::make_unique<TVarnelThreadData>(thread_id);
  // Not registered: the caller owns it like a clone, and freeing it must not
  // touch the thread's exceptions.
  made->FCloned = true;
  made->Initialize();
  if (made->FHandle == nullptr) return nullptr;
  return made;
}

TThreadFactsSummary GetThreadFacts(std::uint32_t thread_id) {
  TThreadFactsSummary facts;
  auto fill = [&](const TVarnelThreadData& r) {
    facts.ParentID = r.FParentID;
    facts.ClassName = r.FThreadClassName;
    facts.CallerAddress = r.FCallerAddress;
    facts.Name = r.FName;
  };
  if (IsCallingThread(thread_id)) {
    if (TVarnelThreadData* own = CachedOwnRecord()) {
      fill(*own);
      return facts;
    }
  }
  if (TThreadDataPtr clone = GetThreadData(thread_id, false)) fill(*clone);
  return facts;
}

TVarnelThreadDataList GetThreadsSnapshot() {
  TVarnelThreadDataList list;
  TThreadsLock lock;
  if (!g_manager) return list;
  for (const auto& r : g_manager->FThreads) list.Add(r->Clone());
  return list;
}

// ------------------------------------------------------------ registration --

void NotifyThreadStart(TThreadDataPtr record) {
  if (!record) return;
  const std::uint32_t self = platform::CurrentThreadId();
  // A record under this ID whose thread ended is stale: the ID now names
  // this thread, and lookups must find this thread's record.
  TakeOutEnded(self).reset();
  if (!record->FInitialized) record->Initialize();
  TVarnelThreadData* raw = record.get();
  {
    TThreadsLock lock;
    if (!g_manager) return;
    g_manager->FThreads.push_back(std::move(record));
  }
  if (raw->FTID == self && !raw->FExternalThread) {
    if (TThreadBlock* block = OwnBlock()) TRecordLinks::Link(*raw, *block);
  }
  if ((raw->FName.empty() || raw->FName == kUnnamedThreadMarker) &&
      (raw->FRealStartingAddress != nullptr || raw->FCallerAddress != nullptr)) {
    raw->FName = raw->Describe(false);
  }
  if (!raw->FName.empty() && raw->FName != kUnnamedThreadMarker) platform::NameThreadForDebugger(raw->FName, raw->FTID);
}

void NotifyThreadDone() {
  TVarnelThreadData* own = CachedOwnRecord();
  if (own == nullptr) {
    TThreadsLock lock;
    own = FindLocked(platform::CurrentThreadId());
  }
  if (own != nullptr) TakeOut(own).reset();
}

void ThreadDone(std::uint32_t thread_id) {
  if (IsCallingThread(thread_id)) {
    NotifyThreadDone();
    return;
  }
  TThreadDataPtr gone;
  {
    TThreadsLock lock;
    if (TVarnelThreadData* record = FindLocked(thread_id)) gone = TakeOut(record);
  }
}

void NameThread(const std::wstring& name, std::uint32_t thread_id) {
  if (!IsCallingThread(thread_id)) {
    platform::NameThreadForDebugger(name, thread_id);
    TThreadsLock lock;
    if (TVarnelThreadData* record = ThreadData(thread_id)) {
      record->FName = name;
      record->FKind = record->Kind();
    }
    return;
  }
  TVarnelThreadData* own = ThreadData(thread_id == kFindOwnThread ? kCallingThread : thread_id);
  if (name != kUnnamedThreadMarker) platform::NameThreadForDebugger(name, platform::CurrentThreadId());
  if (own == nullptr) return;
  if (thread_id == kFindOwnThread) own->FKind = tkTThread;
  own->FName = name;
}

void PurgeEndedThreads() {
  std::vector<TThreadDataPtr> gone;
  {
    TThreadsLock lock;
    if (!g_manager) return;
    auto& list = g_manager->FThreads;
    for (std::size_t i = list.size(); i-- > 0;) {
      if (platform::ThreadHasEnded(list[i]->FHandle)) gone.push_back(TakeOut(list[i].get()));
    }
  }
}

// -------------------------------------------------------------------- unit --

void EThreadsManagerInit() {
  g_lock.Create();
  {
    TThreadsLock lock;
    g_manager = std::make_unique<TThreadsManager>();
  }
  if (g_main_thread.load() == 0) g_main_thread.store(platform::CurrentThreadId());
  // The loading thread: its own record, named, with the facility on.
  if (TVarnelThreadData* main = ThreadData(kCallingThread)) {
    main->FKind = tkBeginThread;
    main->SetName(L"Main thread");
  }
  SetVarnelLogStateInThread(kCallingThread, true);
  InstallDefaultEvents();
}

void EThreadsManagerDone() {
  // The library is never the process's program, so no thread is ended from
  // here: ending one from outside may leave the heap lock held for ever.
  RemoveHooks();
  RemoveDefaultEvents();
  std::vector<TThreadDataPtr> records;
  {
    TThreadsLock lock;
    if (!g_manager) return;
    g_manager->FKillerThreadID = platform::CurrentThreadId();
    records = std::move(g_manager->FThreads);
    g_manager->FThreads.clear();
  }
  for (auto& r : records) {
    r->ClearLastException();
    TRecordLinks::Unlink(*r);
  }
  records.clear();
  {
    TThreadsLock lock;
    g_manager.reset();
  }
  g_lock.Destroy();
}

}  // namespace zelvic::diag
