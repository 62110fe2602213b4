#include "diagnostics/stacks/ECallStack.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <typeinfo>
#include <utility>

#include "diagnostics/debuginfo/EDebugVLStrings.h"
#include "diagnostics/stacks/ECallStackFormatter.h"
#include "diagnostics/stacks/EStackCapture.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "diagnostics/util/EStrings.h"
#include "platform/code_memory.h"
#include "platform/registry.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {
namespace {

constexpr const wchar_t* kAssertion = L"Assertion failure (ECallStack)";

TThreadFactsProvider g_thread_facts;
TStackListClass g_default_class = TStackListClass::kV7;
std::uint32_t g_thread_start_site = 0;
std::uintptr_t g_thread_start_module = 0;

// The facility's own thread and request wrappers: unit and routine, no class.
struct TWrapperFrame {
  std::wstring_view Unit;
  std::wstring_view Procedure;
};
constexpr std::array<TWrapperFrame, 8> kWrapperFrames{{
    {L"EAppMultiThreaded", L"ThreadExecuteSafeWrapper"},
    {L"EAppMultiThreaded", L"ThreadProcHandler"},
    {L"EExceptionManager", L"DefaultThreadHandleException"},
    {L"EThreadsManager", L"ThreadWrapperCT"},
    {L"EThreadsManager", L"ThreadWrapperBT"},
    {L"EThreadsManager", L"NakedBeginThreadWrapper"},
    {L"EAppISAPI", L"ApplicationHttpExtensionHandler"},
    {L"EAppISAPI", L"ApplicationHttpExtensionHook"},
}};

bool SameRoutine(const TVLLocationInfo& a, const TVLLocationInfo& b) {
  return a.UnitName == b.UnitName && a.ClassName == b.ClassName && a.ProcedureName == b.ProcedureName;
}

bool InDetails(TVarnelDebugDetails details, TVarnelDebugDetail detail) {
  return (details & (1u << detail)) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------

TThreadFactsProvider SetThreadFactsProvider(const TThreadFactsProvider& provider) noexcept {
  const TThreadFactsProvider old = g_thread_facts;
  g_thread_facts = provider;
  return old;
}

bool ThreadFactsOf(std::uint32_t thread_id, TThreadFacts& facts) {
  if (g_thread_facts.Facts == nullptr || thread_id == 0) return false;
  return g_thread_facts.Facts(g_thread_facts.Data, thread_id, facts);
}

std::uint32_t ThreadStartCallSite() noexcept { return g_thread_start_site; }
std::uintptr_t ThreadStartModule() noexcept { return g_thread_start_module; }

void SetDefaultStackListClass(TStackListClass value) noexcept { g_default_class = value; }
TStackListClass DefaultStackListClass() noexcept { return g_default_class; }

std::unique_ptr<TVarnelBaseStackList> NewDefaultStackList() {
  switch (g_default_class) {
    case TStackListClass::kV6:
      return std::make_unique<TVarnelStackListV6>();
    case TStackListClass::kV7:
      return std::make_unique<TVarnelStackListV7>();
    case TStackListClass::kGeneric:
      break;
  }
  return std::make_unique<TGenericStackList>();
}

// ---------------------------------------------------------------------------

TVarnelBaseStackList::TVarnelBaseStackList()
    : FTracerNo(DefaultTracer()), FAllowedMethods(EnabledMethods()), FLookup(LiveLocationLookup()) {}

TVarnelBaseStackList::~TVarnelBaseStackList() {
  if (FWCH != 0) CloseWaitChainSession(FWCH);
}

bool TVarnelBaseStackList::Lookup(std::uint32_t address, TVLLocationInfo& info) const {
  info.Clear();
  bool found = false;
  if (FLookup.Lookup != nullptr) found = FLookup.Lookup(FLookup.Data, address, info);
  if (!found) {
    info.Clear();
    info.Address = address;
  }
  info.Address = address;
  return found;
}

void TVarnelBaseStackList::SetThreadFacts(std::uint32_t id, const TThreadFacts& facts) {
  FThreadID = id;
  FThreadClass = facts.ClassName;
  FThreadName = facts.Name;
  FThreadCallerAddress = facts.CallerAddress;
  FThreadParent = facts.ParentID;
}

__attribute__((noinline)) void TVarnelBaseStackList::Setup(const TBuildArgs& args) {
  FAllowedMethods =
      (args.AllowedMethods == kProcessMethods || args.AllowedMethods == 1) ? EnabledMethods() : args.AllowedMethods;
  // Without a frame the walk starts in the routine that asked for the list,
  // whose own frame is the one this frame links to: its first return is into
  // that routine's caller, so nothing of the list's own making is walked.
  FStackFrame = args.StackFrame != 0 ? args.StackFrame
                                     : *static_cast<const std::uint32_t*>(__builtin_frame_address(0));
  FFirstAddr = args.FirstAddr;
  FTopOfStack = args.TopOfStack;
  FStartLevel = args.StartLevel;
  FLevelsNumber = args.LevelsNumber;
  FDebugDetails = args.DebugDetails;
  FThreadID = args.ThreadID;
  FRunningThread = args.RunningThread;
  FGetDebugInfo = args.GetDebugInfo;
  FShowBeginCalls = args.ShowBeginCalls;
  FStackOffset = args.StackOffset;
  FHasContext = args.Context != nullptr;
  if (FHasContext) FContextCopy = *args.Context;
  FCaller = 0;
  if (args.ThreadInfo != nullptr) {
    SetThreadFacts(args.ThreadInfo->ThreadID, *args.ThreadInfo);
    FThreadExternal = true;
  } else if (FThreadID != 0) {
    TThreadFacts facts;
    if (ThreadFactsOf(FThreadID, facts)) SetThreadFacts(FThreadID, facts);
  }
}

void TVarnelBaseStackList::AfterConstruction() {
  if (!FList.empty()) return;
  if (FStackFrame != 0) {
    Build();
    if (FCaller != 0) FilterOutByCaller(FCaller, cdUp, 0, false);
    FCaller = 0;
  } else if (FFirstAddr != 0) {
    AddEntry(0, FDebugDetails, false, FRunningThread, FThreadID, true, FFirstAddr, 0);
    if (FGetDebugInfo && !FList.empty()) {
      TVarnelDebugInfo& e = *FList[0];
      Lookup(e.Location.Address, e.Location);
      CompleteLocationInfo(e.Location);
      if (e.ThreadID == FThreadID) {
        e.ThreadClass = FThreadClass;
        e.ThreadName = FThreadName;
      }
    }
  }
}

bool TVarnelBaseStackList::AddEntry(std::uint32_t first_addr, TVarnelDebugDetails, bool get_debug_info, bool running,
                                    std::uint32_t thread_id, bool exact, std::uint32_t return_addr,
                                    std::uint32_t stack_addr) {
  const std::uint32_t site = exact ? return_addr : disasm::FindCallBefore(LiveMemory(), return_addr, false);
  return AddEntryAt(first_addr, get_debug_info, running, thread_id, exact, return_addr, stack_addr, site, nullptr);
}

bool TVarnelBaseStackList::AddEntryAt(std::uint32_t first_addr, bool get_debug_info, bool running,
                                      std::uint32_t thread_id, bool exact, std::uint32_t return_addr,
                                      std::uint32_t stack_addr, std::uint32_t site, TVLLocationInfo* located) {
  if (first_addr != 0 && (first_addr == return_addr || first_addr == site)) FList.clear();
  if (!FList.empty()) {
    const TVarnelDebugInfo& last = *FList.back();
    if (last.StackAddr == stack_addr && last.Location.Address == site && last.ReturnAddr == return_addr) return false;
  }
  auto entry = std::make_unique<TVarnelDebugInfo>();
  if (located != nullptr) {
    TVLLocationInfo& location = entry->Location;
    location = std::move(*located);
    if (location.Module != 0 && location.Module <= site) location.Offset = site - location.Module;
  } else {
    if (get_debug_info) Lookup(site, entry->Location);
    else entry->Location.Address = site;
    CompleteLocationInfo(entry->Location);
  }
  entry->RunningThread = running;
  entry->ErrorLine = exact;
  entry->LeakType = ltNone;
  entry->ThreadID = thread_id;
  entry->Location.Address = site;
  entry->Methods = stack_addr != 0 ? (1u << FTracerNo) : kNoSlotMethods;
  entry->ReturnAddr = return_addr;
  entry->StackAddr = stack_addr;
  FList.push_back(std::move(entry));
  Changed();
  return true;
}

void TVarnelBaseStackList::BuildEntries(const TStackRange& range, std::uint32_t offset) {
  const std::uint32_t methods = (FAllowedMethods | (1u << FTracerNo)) & 0x7FFFFFFEu;
  for (const TTracedEntry& t : TraceStack(methods, range, offset)) {
    if (AddEntry(FFirstAddr, FDebugDetails, FGetDebugInfo, FRunningThread, FThreadID, false, t.ReturnAddr,
                 t.StackAddr))
      FList.back()->Methods = t.Methods;
  }
}

void TVarnelBaseStackList::Build() {
  FList.clear();
  if (FFirstAddr != 0) AddEntry(0, FDebugDetails, false, FRunningThread, FThreadID, true, FFirstAddr, 0);
  const std::uint32_t top = FTopOfStack != 0 ? FTopOfStack : platform::CurrentStackBounds().Base;
  TStackRange range;
  if (FHasContext)
    range = MakeStackRange(FContextCopy.Esp, FContextCopy.Ebp, top);
  else
    range = MakeStackRange(FStackFrame, FStackFrame, top);
  if (FHasContext) range.Context = &FContextCopy;
  BuildEntries(range, FStackOffset);
  PostProcess();
}

bool TVarnelBaseStackList::BuildForThread(void* thread) {
  TThreadTrace trace;
  if (!TraceThread(thread, FAllowedMethods & 0x7FFFFFFEu, trace)) return false;
  const std::uint32_t id = platform::ThreadIdOf(thread);
  if (FThreadID == 0) FThreadID = id;
  FList.clear();
  FFirstAddr = trace.FirstAddress;
  if (FFirstAddr != 0) AddEntry(0, FDebugDetails, false, FRunningThread, FThreadID, true, FFirstAddr, 0);
  for (const TTracedEntry& t : trace.Entries) {
    if (AddEntry(FFirstAddr, FDebugDetails, FGetDebugInfo, FRunningThread, FThreadID, false, t.ReturnAddr,
                 t.StackAddr))
      FList.back()->Methods = t.Methods;
  }
  PostProcess();
  return true;
}

bool TVarnelBaseStackList::BuildForThreadByID(std::uint32_t thread_id) {
  if (thread_id == platform::CurrentThreadId()) {
    // A thread cannot hold itself still: its own stack is walked from here.
    FThreadID = thread_id;
    FFirstAddr = 0;
    FStackFrame = GetCurrentStackFrame();
    Build();
    return true;
  }
  const platform::TThreadHandle handle = platform::TThreadHandle::Open(thread_id);
  if (!handle) return false;
  FThreadID = thread_id;
  return BuildForThread(handle.get());
}

// ---- post-processing --------------------------------------------------------

void TVarnelBaseStackList::PostProcess() {
  if (FGetDebugInfo) {
    UpdateLocationsAndThreads();
    CutAtErrorRoutine();
    if (!FShowBeginCalls) RemoveBeginLineCalls();
    TrimThreadStart();
  }
  ApplyLevelsAndLimit();
  Changed();
}

void TVarnelBaseStackList::UpdateLocationsAndThreads() {
  std::uint32_t asked_id = 0;
  TThreadFacts facts;
  bool have_facts = false;
  for (auto& p : FList) {
    TVarnelDebugInfo& e = *p;
    if (e.Location.DebugDetail == ddNone || e.Location.DebugDetail == ddModule) {
      const std::uint32_t address = static_cast<std::uint32_t>(e.Location.Address);
      Lookup(address, e.Location);
      CompleteLocationInfo(e.Location);
      e.Location.Address = address;
    }
    if (e.ThreadID == 0) continue;
    if (e.ThreadID == FThreadID) {
      e.ThreadClass = FThreadClass;
      e.ThreadName = FThreadName;
      continue;
    }
    if (e.ThreadID != asked_id) {
      asked_id = e.ThreadID;
      facts = {};
      have_facts = ThreadFactsOf(asked_id, facts);
    }
    if (have_facts) {
      e.ThreadClass = facts.ClassName;
      e.ThreadName = facts.Name;
    }
  }
}

void TVarnelBaseStackList::CutAtErrorRoutine() {
  if (FFirstAddr == 0 || FList.empty() || FList[0]->Location.ProcedureName.empty()) return;
  // The nearest frame of the error routine is the one that raised; in a
  // recursion the farther ones are real callers and stay.
  const TVLLocationInfo& error = FList[0]->Location;
  for (std::size_t i = 1; i < FList.size(); ++i) {
    if (!SameRoutine(FList[i]->Location, error)) continue;
    FStackFrame = FList[i]->StackAddr;
    DeleteRange(1, i + 1);
    return;
  }
}

void TVarnelBaseStackList::RemoveBeginLineCalls() {
  std::size_t k = 1;
  while (k < FList.size()) {
    const TVLLocationInfo& p = FList[k - 1]->Location;
    const TVLLocationInfo& q = FList[k]->Location;
    if (p.LineNumber == 0 || q.LineNumber == 0 || !SameRoutine(p, q)) {
      ++k;
      continue;
    }
    if (q.ProcOffsetLine == 0) {
      const bool both_stay = p.ProcOffsetLine != 0 && p.LineNumber - p.ProcOffsetLine != q.LineNumber;
      if (both_stay) {
        ++k;
        continue;
      }
      FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(k));
    } else if (q.LineNumber - q.ProcOffsetLine == p.LineNumber) {
      FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(k - 1));
      if (k > 1) --k;
    } else {
      ++k;
    }
  }
}

void TVarnelBaseStackList::TrimThreadStart() {
  const std::uintptr_t kernel = ThreadStartModule();
  if (kernel == 0 || FList.size() < 2) return;
  std::size_t start = 0;
  for (std::size_t i = FList.size(); i-- > 1;) {
    const TVLLocationInfo& l = FList[i]->Location;
    if (l.Module == kernel && l.ProcedureName == L"BaseThreadInitThunk") {
      start = i;
      break;
    }
  }
  if (start == 0) return;
  DeleteRange(start + 1, FList.size());
  const std::uint32_t thread = FList[start]->ThreadID;
  std::uint32_t creator = 0;
  TThreadFacts facts;
  const bool have_facts = ThreadFactsOf(thread, facts);
  if (thread == FThreadID || thread == 0)
    creator = FThreadCallerAddress;
  else if (have_facts)
    creator = facts.CallerAddress;
  if (have_facts && facts.StartAddress != 0) {
    const std::size_t lowest = start > 8 ? start - 8 : 1;
    for (std::size_t i = start; i-- > lowest;) {
      TVLLocationInfo info;
      Lookup(static_cast<std::uint32_t>(FList[i]->Location.Address), info);
      CompleteLocationInfo(info);
      if (FormatLocationInfo(info, false, false, false, false, false, false) != facts.StartDescription) continue;
      // The routine the thread was started with; what lies between it and the
      // thread start is the platform's and the runtime's start-up.
      const std::size_t keep = facts.IsTThread ? i + 2 : i + 1;
      if (keep < start) DeleteRange(keep, start);
      break;
    }
  }
  if (creator != 0 && AddEntry(0, FDebugDetails, FGetDebugInfo, FRunningThread, thread, true, creator, 0))
    FList.back()->ErrorLine = false;
}

void TVarnelBaseStackList::ApplyLevelsAndLimit() {
  std::size_t i = FFirstAddr != 0 ? 1 : 0;
  int examined = 0;
  int counted = 0;
  while (i < FList.size()) {
    if (counted > kMaxStackEntries) {
      DeleteRange(i, FList.size());
      break;
    }
    ++examined;
    const TVarnelDebugInfo& e = *FList[i];
    bool keep = InDetails(FDebugDetails, e.Location.DebugDetail);
    if (keep && FStartLevel != -1)
      keep = !(examined - 1 < FStartLevel || static_cast<std::int32_t>(i) >= FLevelsNumber);
    if (!keep) {
      FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if ((e.Methods & kUncountedEntry) == 0) ++counted;
    ++i;
  }
}

// ---- entries ------------------------------------------------------------------

const TVarnelDebugInfo& TVarnelBaseStackList::Item(int index) const {
  if (index < 0 || index >= Count()) throw rt::EAssertionFailed(kAssertion);
  return *FList[static_cast<std::size_t>(index)];
}

void TVarnelBaseStackList::SetItem(int index, const TVarnelDebugInfo& value) {
  if (index < 0 || index >= Count()) throw rt::EAssertionFailed(kAssertion);
  *FList[static_cast<std::size_t>(index)] = value;
  Changed();
}

int TVarnelBaseStackList::Add(const TVarnelDebugInfo& source) {
  return Add(std::make_unique<TVarnelDebugInfo>(source));
}

int TVarnelBaseStackList::Add(std::unique_ptr<TVarnelDebugInfo> source) {
  if (!source) throw rt::EAssertionFailed(kAssertion);
  FList.push_back(std::move(source));
  Changed();
  return Count() - 1;
}

void TVarnelBaseStackList::Insert(int index, const TVarnelDebugInfo& source) {
  if (index < 0 || index > Count()) throw rt::EAssertionFailed(kAssertion);
  FList.insert(FList.begin() + index, std::make_unique<TVarnelDebugInfo>(source));
  Changed();
}

void TVarnelBaseStackList::Delete(int index) {
  if (index < 0 || index >= Count()) throw rt::EAssertionFailed(kAssertion);
  FList.erase(FList.begin() + index);
  Changed();
}

void TVarnelBaseStackList::DeleteRange(std::size_t from, std::size_t to) {
  to = std::min(to, FList.size());
  if (from >= to) return;
  FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(from), FList.begin() + static_cast<std::ptrdiff_t>(to));
  Changed();
}

void TVarnelBaseStackList::Clear() {
  FList.clear();
  if (FWCH != 0) {
    CloseWaitChainSession(FWCH);
    FWCH = 0;
  }
  Changed();
}

void TVarnelBaseStackList::AddCallStack(const TVarnelBaseStackList* source, bool calling_thread) {
  if (source == nullptr) return;
  for (const auto& p : source->FList) {
    auto copy = std::make_unique<TVarnelDebugInfo>(*p);
    copy->RunningThread = !calling_thread;
    copy->ErrorLine = false;
    FList.push_back(std::move(copy));
  }
  Changed();
}

void TVarnelBaseStackList::Assign(const TVarnelBaseStackList& source) {
  if (&source == this) return;
  FList.clear();
  FDebugDetails = source.FDebugDetails;
  FGetExternalTI = source.FGetExternalTI;
  for (const auto& p : source.FList) FList.push_back(std::make_unique<TVarnelDebugInfo>(*p));
  Changed();
}

std::unique_ptr<TVarnelBaseStackList> TVarnelBaseStackList::ExtractThread(std::uint32_t thread_id) const {
  const std::uint32_t thread = thread_id != 0 ? thread_id : platform::CurrentThreadId();
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (FList[i]->ThreadID != thread && FList[i]->ThreadID != 0) continue;
    auto out = NewEmpty();
    const std::uint32_t block = FList[i]->ThreadID;
    out->Add(*FList[i]);
    for (std::size_t j = i + 1; j < FList.size() && FList[j]->ThreadID == block; ++j) out->Add(*FList[j]);
    return out;
  }
  return nullptr;
}

// ---- filters --------------------------------------------------------------------

std::uint32_t TVarnelBaseStackList::ListThreadOf(std::uint32_t entry_thread) const noexcept {
  return entry_thread != 0 ? entry_thread : platform::CurrentThreadId();
}

std::size_t TVarnelBaseStackList::BlockEnd(std::size_t from, std::uint32_t thread) const noexcept {
  std::size_t end = from;
  while (end < FList.size() && (FList[end]->ThreadID == 0 || FList[end]->ThreadID == thread)) ++end;
  return end;
}

std::uint32_t TVarnelBaseStackList::FilterThread() const noexcept {
  if (FExceptionThreadID != 0) return FExceptionThreadID;
  return ListThreadOf(FList.empty() ? 0 : FList[0]->ThreadID);
}

std::uint32_t TVarnelBaseStackList::FilterOutByCaller(std::uint32_t caller, TCleanDirection direction,
                                                      std::uint32_t stack_point, bool keep_entry) {
  if (FList.empty()) return stack_point;
  const std::uint32_t thread = ListThreadOf(FList[0]->ThreadID);
  const auto of_thread = [&](const TVarnelDebugInfo& e) { return e.ThreadID == 0 || e.ThreadID == thread; };
  std::size_t match = FList.size();
  for (std::size_t i = FList[0]->StackAddr == 0 ? 1 : 0; i < FList.size(); ++i) {
    const TVarnelDebugInfo& e = *FList[i];
    if (e.StackAddr != 0 && of_thread(e) && e.Location.Address == caller) {
      match = i;
      break;
    }
  }
  if (match == FList.size()) return stack_point;
  const std::uint32_t result = std::max(stack_point, FList[match]->StackAddr);
  if (direction == cdDown) {
    DeleteRange(match, BlockEnd(match, thread));
  } else {
    const std::size_t end = keep_entry ? match : match + 1;
    DeleteRange(1, end);
    if (FList[0]->StackAddr != 0 && end > 0) DeleteRange(0, 1);
  }
  Changed();
  return result;
}

void TVarnelBaseStackList::FilterOutByStack(std::uint32_t stack) {
  if (stack == 0 || FList.empty()) return;
  const std::uint32_t thread = ListThreadOf(FList[0]->ThreadID);
  for (std::size_t i = FList.size(); i-- > 0;) {
    const TVarnelDebugInfo& e = *FList[i];
    if (e.StackAddr == 0) return;
    if ((e.ThreadID != 0 && e.ThreadID != thread) || e.StackAddr > stack) continue;
    const bool first_has_slot = FList[0]->StackAddr != 0;
    DeleteRange(1, i + 1);
    if (first_has_slot) DeleteRange(0, 1);
    return;
  }
}

std::uint32_t TVarnelBaseStackList::FilterOutByName(const std::wstring& unit, const std::wstring& class_name,
                                                    const std::wstring& proc, TCleanDirection direction,
                                                    std::uint32_t stack_point, bool keep_entry) {
  if (FList.empty()) return stack_point;
  const std::uint32_t thread = FilterThread();
  const auto matches = [&](const TVarnelDebugInfo& e) {
    return e.StackAddr != 0 && (e.ThreadID == 0 || e.ThreadID == thread) && e.Location.ClassName == class_name &&
           e.Location.ProcedureName == proc && (unit.empty() || e.Location.UnitName == unit);
  };
  std::size_t match = FList.size();
  if (direction == cdDown) {
    for (std::size_t i = 0; i < FList.size(); ++i)
      if (matches(*FList[i])) {
        match = i;
        break;
      }
  } else {
    for (std::size_t i = FList.size(); i-- > 0;)
      if (matches(*FList[i])) {
        match = i;
        break;
      }
  }
  if (match == FList.size()) return stack_point;
  const std::uint32_t result = std::max(stack_point, FList[match]->StackAddr);
  if (direction == cdDown) {
    const std::size_t from = keep_entry ? match + 1 : match;
    DeleteRange(from, BlockEnd(from, thread));
  } else {
    const bool first_has_slot = FList[0]->StackAddr != 0;
    DeleteRange(1, keep_entry ? match : match + 1);
    if (first_has_slot && !(keep_entry && match == 0)) DeleteRange(0, 1);
  }
  Changed();
  return result;
}

std::uint32_t TVarnelBaseStackList::FilterOutByName(const std::wstring& name, TCleanDirection direction,
                                                    std::uint32_t stack_point, bool keep_entry) {
  const std::size_t dot = name.find(L'.');
  std::wstring unit = Trim(name.substr(0, dot));
  std::wstring rest = dot == std::wstring::npos ? std::wstring() : Trim(name.substr(dot + 1));
  const std::size_t second = rest.find(L'.');
  if (second != std::wstring::npos) {
    unit += L"." + Trim(rest.substr(0, second));
    rest = Trim(rest.substr(second + 1));
  }
  std::wstring class_name;
  const std::wstring method = ParseClassName(unit, rest, class_name);
  return FilterOutByName(unit, class_name, method, direction, stack_point, keep_entry);
}

void TVarnelBaseStackList::RemoveWrapperFrames() {
  if (FList.empty()) return;
  const std::uint32_t thread = FilterThread();
  for (std::size_t i = FList.size(); i-- > 0;) {
    const TVarnelDebugInfo& e = *FList[i];
    if (e.StackAddr == 0 || (e.ThreadID != 0 && e.ThreadID != thread) || !e.Location.ClassName.empty()) continue;
    const bool wrapper = std::any_of(kWrapperFrames.begin(), kWrapperFrames.end(), [&](const TWrapperFrame& w) {
      return e.Location.UnitName == w.Unit && e.Location.ProcedureName == w.Procedure;
    });
    if (wrapper) FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(i));
  }
  Changed();
}

// ---- rendering ------------------------------------------------------------------

TVarnelBaseStackFormatter& TVarnelBaseStackList::Formatter() {
  if (!FFormatter) {
    FFormatter = std::make_unique<TVarnelStackFormatter>();
    FFormatter->SetCallStack(this);
  }
  return *FFormatter;
}

void TVarnelBaseStackList::SetFormatter(const TVarnelBaseStackFormatter& formatter) {
  TVarnelBaseStackFormatter& current = Formatter();
  if (&current == &formatter) return;
  if (typeid(current) == typeid(formatter)) {
    current.Assign(&formatter);
    return;
  }
  // The new one is complete before the current one goes: `formatter` may be
  // owned by something the current one's end releases.
  std::unique_ptr<TVarnelBaseStackFormatter> made = formatter.NewOfSameClass();
  made->SetCallStack(this);
  made->Assign(&formatter);
  FFormatter = std::move(made);
}

std::unique_ptr<TVarnelBaseStackFormatter> TVarnelBaseStackList::SwapFormatter(
    std::unique_ptr<TVarnelBaseStackFormatter> formatter) {
  std::unique_ptr<TVarnelBaseStackFormatter> old = std::move(FFormatter);
  FFormatter = std::move(formatter);
  if (FFormatter) FFormatter->SetCallStack(this);
  return old;
}

std::wstring TVarnelBaseStackList::GetItemText(int index) { return Formatter().GetItemText(index); }
std::wstring TVarnelBaseStackList::ToString() { return Formatter().ToString(); }

void TVarnelBaseStackList::Changed() {
  FModified = true;
  if (FFormatter) FFormatter->Changed();
}

bool TVarnelBaseStackList::HasEncryptedData() const {
  return std::any_of(FList.begin(), FList.end(), [](const auto& p) { return IsEncryptedName(p->Location.UnitName); });
}

std::uintptr_t TVarnelBaseStackList::WaitChainSession() {
  if (FWCHExternal != 0) return FWCHExternal;
  if (FWCH == 0 && FCaptureWCTInfo && !WaitChainCaptureDisabled()) FWCH = OpenWaitChainSession();
  return FWCH;
}

// ---- classes ----------------------------------------------------------------------

TVarnelStackListV6::TVarnelStackListV6() { FTracerNo = 3; }
std::unique_ptr<TVarnelBaseStackList> TVarnelStackListV6::NewEmpty() const {
  return std::make_unique<TVarnelStackListV6>();
}

TVarnelStackListV7::TVarnelStackListV7() { FTracerNo = 5; }
std::unique_ptr<TVarnelBaseStackList> TVarnelStackListV7::NewEmpty() const {
  return std::make_unique<TVarnelStackListV7>();
}

void TVarnelStackListV7::BuildEntries(const TStackRange& range, std::uint32_t offset) {
  // The code is read with the last regions remembered, as the walk reads
  // it: one build on one thread.
  const platform::TLiveMemory code(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  std::vector<TStackItem> items = CollectV7(range, offset, code, FLookup);
  TCleanupParams params;
  params.FirstAddress = FFirstAddr;
  params.ThreadStartCallSite = ThreadStartCallSite();
  params.MergeNeighbours = (FDebugDetails & ~(1u << ddModule) & ~1u) != 0;
  CleanStackItems(items, params);
  for (TStackItem& item : items) {
    if (item.Deleted) continue;
    // The collector has found and located every call site already; a second
    // search and lookup would double the cost of a build. The items end
    // here: their texts move into the entries.
    const bool located = FGetDebugInfo && item.Location.DebugDetail != ddNone;
    const auto site = static_cast<std::uint32_t>(item.Location.Address);
    AddEntryAt(FFirstAddr, FGetDebugInfo && !located, FRunningThread, FThreadID, false, item.Address, item.Stack,
               site, located ? &item.Location : nullptr);
  }
}

std::unique_ptr<TVarnelStackListV7> TVarnelStackListV7::CreateForProcess(
    std::uint32_t stack_frame, std::uint32_t top, std::uint32_t thread_id, std::uint32_t methods,
    std::uint32_t stack_offset, const platform::TThreadRegisters* context, std::uintptr_t wait_chain_session) {
  auto list = std::make_unique<TVarnelStackListV7>();
  list->FTracerNo = 16;
  list->FWCHExternal = wait_chain_session;
  list->FCaptureWCTInfo = true;
  list->FAllowedMethods = (methods == kProcessMethods || methods == 1) ? EnabledMethods() : methods;
  list->FDebugDetails = kDefaultDebugDetails;
  list->FRunningThread = true;
  list->FGetDebugInfo = false;
  list->FStackFrame = stack_frame;
  list->FTopOfStack = top;
  list->FThreadID = thread_id;
  list->FStackOffset = stack_offset;
  list->FHasContext = context != nullptr;
  if (context != nullptr) list->FContextCopy = *context;
  const std::uint32_t end = top != 0 ? top : platform::CurrentStackBounds().Base;
  TStackRange range = context != nullptr ? MakeStackRange(context->Esp, context->Ebp, end)
                                         : MakeStackRange(stack_frame, stack_frame, end);
  if (context != nullptr) range.Context = &list->FContextCopy;
  list->BuildEntries(range, stack_offset);
  return list;
}

TGenericStackList::TGenericStackList(int tracer_no) {
  if (tracer_no != 0) FTracerNo = tracer_no;
}
std::unique_ptr<TVarnelBaseStackList> TGenericStackList::NewEmpty() const {
  return std::make_unique<TGenericStackList>(FTracerNo);
}

// ---- process-wide ---------------------------------------------------------------

__attribute__((noinline)) std::unique_ptr<TVarnelBaseStackList> GetCurrentCallStack(std::uint32_t first_addr) {
  auto list = NewDefaultStackList();
  TVarnelBaseStackList::TBuildArgs args;
  args.FirstAddr = first_addr;
  // This routine's own frame: the walk's first return is into the caller.
  args.StackFrame = reinterpret_cast<std::uint32_t>(__builtin_frame_address(0));
  args.ThreadID = platform::CurrentThreadId();
  list->Setup(args);
  list->AfterConstruction();
  return list;
}

std::vector<std::wstring> CallStackToStrings(TVarnelBaseStackList* list, const std::wstring& header,
                                             const TVarnelBaseStackFormatter* formatter) {
  std::unique_ptr<TVarnelBaseStackList> empty;
  if (list == nullptr) {
    empty = NewDefaultStackList();
    list = empty.get();
  }
  // The list's own formatter is set aside whole, not copied back: whatever
  // the rendering does, the object restored is the one that was there.
  std::unique_ptr<TVarnelBaseStackFormatter> saved;
  if (formatter != nullptr) {
    std::unique_ptr<TVarnelBaseStackFormatter> used = formatter->NewOfSameClass();
    used->Assign(formatter);
    saved = list->SwapFormatter(std::move(used));
  }
  TVarnelBaseStackFormatter& current = list->Formatter();
  const std::wstring old_header = current.Caption(scHeader);
  if (!header.empty()) current.SetCaption(scHeader, header);
  std::vector<std::wstring> lines = current.GetAsStrings();
  if (!header.empty()) current.SetCaption(scHeader, old_header);
  if (formatter != nullptr) list->SwapFormatter(std::move(saved));
  return lines;
}

std::wstring CallStackToString(TVarnelBaseStackList* list, const std::wstring& header,
                               const TVarnelBaseStackFormatter* formatter) {
  std::wstring text;
  for (const std::wstring& line : CallStackToStrings(list, header, formatter)) text += line + L"\r\n";
  return text;
}

void ECallStackInit() {
  // BaseThreadInitThunk hands control to the thread routine with an indirect
  // call through a register; the instruction's address is where every thread
  // stack of this process begins.
  g_thread_start_module = platform::LoadedModuleByName(L"kernel32.dll");
  g_thread_start_site = 0;
  const std::uint32_t start = platform::ExportedProcedure(g_thread_start_module, "BaseThreadInitThunk");
  if (start == 0) return;
  std::array<std::uint8_t, 96> code{};
  if (LiveMemory().Read(start, code.data(), code.size()) != code.size()) return;
  for (std::size_t i = 0; i + 1 < code.size(); ++i) {
    if (code[i] == 0xFF && (code[i + 1] & 0xF8) == 0xD0) {
      g_thread_start_site = start + static_cast<std::uint32_t>(i);
      return;
    }
  }
}

void ECallStackDone() {
  g_thread_start_site = 0;
  g_thread_start_module = 0;
}

}  // namespace zelvic::diag
