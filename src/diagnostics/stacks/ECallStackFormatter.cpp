#include "diagnostics/stacks/ECallStackFormatter.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "platform/modules.h"
#include "platform/wait_chains.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {

const std::array<TMessageType, kStackCaptionCount> kCaptionMessages{
    mtDialog_CallStackHeader,    mtCallStack_Methods,        mtCallStack_DebugDetails,   mtCallStack_StackAddress,
    mtCallStack_Address,         mtCallStack_Name,           mtCallStack_Offset,         mtCallStack_Unit,
    mtCallStack_Class,           mtCallStack_Procedure,      mtCallStack_Line,           mtCallStack_ExceptionThread,
    mtCallStack_RunningThread,   mtCallStack_CallingThread,  mtCallStack_ThreadID,       mtCallStack_ThreadPriority,
    mtCallStack_ThreadClass,     mtCallStack_MainThread,     mtCallStack_ParentID,       mtCallStack_ThreadName,
    mtCallStack_DeadLock,        mtCallStack_WaitChain,      mtCallStack_CustomComment,  mtCallStack_LeakData,
    mtCallStack_LeakTitle,       mtCallStack_LeakType,       mtCallStack_LeakSize,       mtCallStack_LeakCount,
};

namespace {

// ---- wait chains -------------------------------------------------------------

constexpr std::array<const wchar_t*, 12> kWaitTypeNames{
    L"critical section", L"SendMessage", L"mutex",          L"ALPC",    L"COM",        L"thread",
    L"process",          L"Thread",      L"COM activation", L"Unknown", L"socket I/O", L"SBM I/O"};
constexpr std::array<const wchar_t*, 10> kWaitStatusNames{
    L"[access denied]", L"running", L"blocked",   L"PID only", L"PID only RPCSS",
    L"owned",           L"not owned", L"abandoned", L"Unknown",  L"Error"};
constexpr std::uint32_t kWctThread = 8;
constexpr std::uint32_t kWctThreadWait = 6;
constexpr std::uint32_t kWctProcessWait = 7;
constexpr std::uint32_t kWctStatusBlocked = 3;
constexpr std::size_t kMaxObjectName = 128;

const wchar_t* WaitTypeName(std::uint32_t type) {
  return type >= 1 && type <= kWaitTypeNames.size() ? kWaitTypeNames[type - 1] : L"Unknown";
}
const wchar_t* WaitStatusName(std::uint32_t status) {
  return status >= 1 && status <= kWaitStatusNames.size() ? kWaitStatusNames[status - 1] : L"Unknown";
}

std::uintptr_t LiveOpen(void*) { return platform::OpenWaitChain(); }
void LiveClose(void*, std::uintptr_t session) { platform::CloseWaitChain(session); }
bool LiveChain(void*, std::uintptr_t session, std::uint32_t thread_id, std::vector<TWaitChainNode>& nodes,
               bool& cycle) {
  std::vector<platform::TWaitNode> found;
  if (!platform::ThreadWaitChain(session, thread_id, found, cycle)) return false;
  nodes.clear();
  for (const platform::TWaitNode& n : found) nodes.push_back({n.ObjectType, n.ObjectStatus, n.ObjectName, n.ThreadId});
  return true;
}

TWaitChainProvider g_wait_chains{LiveOpen, LiveClose, LiveChain, nullptr};
bool g_wait_chains_off = false;

std::wstring Format(const wchar_t* pattern, ...) {
  std::wstring out(256, L'\0');
  for (;;) {
    va_list args;
    va_start(args, pattern);
    const int n = std::vswprintf(out.data(), out.size(), pattern, args);
    va_end(args);
    if (n >= 0 && static_cast<std::size_t>(n) < out.size()) {
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    out.resize(out.size() * 2);
  }
}

std::wstring ThreadRef(std::uint32_t id) { return Format(L"[ %.4x / %u ]", id, id); }

// ---- cells ---------------------------------------------------------------------

std::wstring LineCell(const TVLLocationInfo& l) {
  return l.LineNumber != 0 ? Format(L"%d[%d]", l.LineNumber, l.ProcOffsetLine) : std::wstring();
}

std::wstring NoSemicolons(std::wstring text) {
  for (wchar_t& c : text)
    if (c == L';') c = L'.';
  return text;
}

}  // namespace

TWaitChainProvider SetWaitChainProvider(const TWaitChainProvider& provider) noexcept {
  const TWaitChainProvider old = g_wait_chains;
  g_wait_chains = provider;
  return old;
}

std::uintptr_t OpenWaitChainSession() {
  return g_wait_chains.Open != nullptr ? g_wait_chains.Open(g_wait_chains.Data) : 0;
}

void CloseWaitChainSession(std::uintptr_t session) {
  if (session != 0 && g_wait_chains.Close != nullptr) g_wait_chains.Close(g_wait_chains.Data, session);
}

void DisableWaitChainCapture() noexcept { g_wait_chains_off = true; }
bool WaitChainCaptureDisabled() noexcept { return g_wait_chains_off; }

TWaitChainText WaitChainText(std::uintptr_t session, std::uint32_t thread_id) {
  TWaitChainText result;
  if (g_wait_chains.Chain == nullptr) return result;
  const bool temporary = session == 0;
  if (temporary) session = OpenWaitChainSession();
  std::vector<TWaitChainNode> nodes;
  bool cycle = false;
  const bool ok = session != 0 && g_wait_chains.Chain(g_wait_chains.Data, session, thread_id, nodes, cycle);
  if (temporary) CloseWaitChainSession(session);
  if (!ok) return result;
  if (nodes.size() > 16) nodes.resize(16);
  const wchar_t* line_join = temporary ? L"; " : L" -> ";
  std::vector<std::wstring> lines;
  std::size_t first = 0;
  std::wstring chain;
  if (nodes.size() > 2 && nodes[0].ObjectType == kWctThread && nodes[0].ObjectStatus == kWctStatusBlocked &&
      nodes[2].ObjectType == kWctThread) {
    const std::uint32_t owner = nodes[2].ThreadId;
    const bool wait = nodes[1].ObjectType == kWctThreadWait || nodes[1].ObjectType == kWctProcessWait;
    lines.push_back(L"Blocked waiting for " + std::wstring(WaitTypeName(nodes[1].ObjectType)) +
                    (wait ? L" " : L" owned by thread ") + ThreadRef(owner));
    chain = L"thread";
    first = 1;
  }
  for (std::size_t i = first; i < nodes.size(); ++i) {
    const TWaitChainNode& n = nodes[i];
    if (n.ObjectType == kWctThreadWait && i + 1 < nodes.size() && nodes[i + 1].ObjectType == kWctThread) continue;
    std::wstring text;
    if (n.ObjectType == kWctThread) {
      text = L"thread: " + ThreadRef(n.ThreadId) + L" is " + WaitStatusName(n.ObjectStatus);
    } else if (!n.ObjectName.empty()) {
      text = std::wstring(WaitTypeName(n.ObjectType)) + L" \"" + n.ObjectName.substr(0, kMaxObjectName) + L"\"";
    } else {
      text = WaitTypeName(n.ObjectType);
    }
    if (!chain.empty()) chain += L" -> ";
    chain += text;
  }
  lines.push_back(chain);
  result.Deadlock = cycle;
  if (!cycle && lines.size() == 1 && lines[0].find(L"running") != std::wstring::npos) return result;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i != 0) result.Text += line_join;
    result.Text += lines[i];
  }
  return result;
}

// ---- base formatter ---------------------------------------------------------------

TVarnelBaseStackFormatter::TVarnelBaseStackFormatter() {
  Assign(nullptr);
  FCaptions[scHeader].clear();
}

void TVarnelBaseStackFormatter::Assign(const TVarnelBaseStackFormatter* source) {
  if (source == this) return;
  if (source == nullptr) {
    for (std::size_t i = 0; i < FCaptions.size(); ++i) FCaptions[i] = DefaultMessageText(kCaptionMessages[i]);
    FAllowedMethods = kDefaultAllowedMethods;
    FDisabledMethods = kDefaultDisabledMethods;
  } else {
    FCaptions = source->FCaptions;
    FAllowedMethods = source->FAllowedMethods;
    FDisabledMethods = source->FDisabledMethods;
  }
  Changed();
}

void TVarnelBaseStackFormatter::AssignOptions(const TVarnelModuleOptions& options) {
  for (std::size_t i = 0; i < FCaptions.size(); ++i) FCaptions[i] = options.GetCustomizedTexts(kCaptionMessages[i]);
  Changed();
}

void TVarnelBaseStackFormatter::SetCaption(TStackCaption caption, std::wstring text) {
  FCaptions[caption] = std::move(text);
  Changed();
}

void TVarnelBaseStackFormatter::SetText(const std::wstring&) { throw EFormatterAssertion(L"Unsuppported"); }

bool TVarnelBaseStackFormatter::MethodsShown(std::uint32_t methods) const noexcept {
  return (methods & FAllowedMethods) != 0 && (methods & FDisabledMethods) == 0;
}

std::wstring TVarnelBaseStackFormatter::GetHeaderText(int index, int number, bool detailed, std::uintptr_t session) {
  const TVarnelBaseStackList& list = *FCallStack;
  const TVarnelDebugInfo& e = list.Item(index);
  if (e.LeakType != ltNone) {
    const wchar_t* marker = detailed ? L"+" : L"";
    if (e.LeakType == ltMemoryLeak)
      return Format(L"%ls%ls #%d: %ls=%ls; %ls=%llu; %ls=%llu", marker, FCaptions[scLeakTitle].c_str(), number,
                    FCaptions[scLeakType].c_str(), e.LeakDescription.c_str(), FCaptions[scLeakSize].c_str(),
                    static_cast<unsigned long long>(e.LeakSize), FCaptions[scLeakCount].c_str(),
                    static_cast<unsigned long long>(e.LeakCount));
    return Format(L"%ls%ls #%d: %ls=%ls; %ls=%llu", marker, FCaptions[scLeakTitle].c_str(), number,
                  FCaptions[scLeakType].c_str(), e.LeakDescription.c_str(), FCaptions[scLeakCount].c_str(),
                  static_cast<unsigned long long>(e.LeakCount));
  }
  TThreadFacts record;
  bool have = false;
  const TThreadFactsProvider& external = list.ExternalThreadInfo();
  if (external.Facts != nullptr)
    have = external.Facts(external.Data, e.ThreadID, record);
  else
    have = ThreadFactsOf(e.ThreadID, record);
  const bool own = e.ThreadID == list.ThreadID();
  if (!have || (own && list.ThreadExternal())) {
    record = {};
    record.ThreadID = list.ThreadID();
    if (own) {
      record.Name = list.ThreadName();
      record.ClassName = list.ThreadClass();
      record.CallerAddress = list.ThreadCallerAddress();
      record.ParentID = list.ThreadParent();
    }
  }
  const bool exception_thread = e.RunningThread && e.ErrorLine;
  const std::wstring& kind = !e.RunningThread ? FCaptions[scCallingThread]
                             : exception_thread ? FCaptions[scExceptionThread]
                                                : FCaptions[scRunningThread];
  const wchar_t* marker = detailed && exception_thread ? L"*" : L"";
  const std::wstring class_name = NoSemicolons(!record.ClassName.empty() ? record.ClassName : e.ThreadClass);
  const std::wstring id_str = !record.IDStr.empty() ? record.IDStr : record.Name;
  const std::wstring name = NoSemicolons(!id_str.empty() ? id_str : e.ThreadName);
  std::wstring chain_part;
  if (!WaitChainCaptureDisabled() && list.CaptureWCTInfo()) {
    const TWaitChainText chain = WaitChainText(session, e.ThreadID);
    chain_part = Format(detailed ? L"%ls=%ls; %ls=%ls\r\n" : L"; %ls=%ls; %ls=%ls",
                        NoSemicolons(FCaptions[scDeadLockDetected]).c_str(), chain.Deadlock ? L"1" : L"0",
                        NoSemicolons(FCaptions[scWaitChain]).c_str(), chain.Text.c_str());
  }
  const std::wstring k = NoSemicolons(kind);
  const std::wstring id = NoSemicolons(FCaptions[scThreadID]);
  const std::wstring cls = NoSemicolons(FCaptions[scThreadClass]);
  const std::wstring nm = NoSemicolons(FCaptions[scThreadName]);
  if (detailed) {
    return Format(L"%ls%ls: %ls=%u; %ls=%u; %ls=%d\r\n%ls=%ls; %ls=%ls\r\n%ls%ls=%ls", marker, k.c_str(), id.c_str(),
                  e.ThreadID, NoSemicolons(FCaptions[scParentID]).c_str(), record.ParentID,
                  NoSemicolons(FCaptions[scThreadPriority]).c_str(), record.Priority, cls.c_str(),
                  class_name.c_str(), nm.c_str(), name.c_str(), chain_part.c_str(),
                  NoSemicolons(FCaptions[scCustomComment]).c_str(), e.CustomMsg.c_str());
  }
  std::wstring text = Format(L"%ls%ls: %ls=%u; %ls=%ls; %ls=%ls%ls", marker, k.c_str(), id.c_str(), e.ThreadID,
                             cls.c_str(), class_name.c_str(), nm.c_str(), name.c_str(), chain_part.c_str());
  ReplaceAll(text, L"\r\n", L"; ");
  return text;
}

// ---- standard formatter --------------------------------------------------------------

std::unique_ptr<TVarnelBaseStackFormatter> TVarnelStackFormatter::NewOfSameClass() const {
  return std::make_unique<TVarnelStackFormatter>();
}

void TVarnelStackFormatter::Assign(const TVarnelBaseStackFormatter* source) {
  TVarnelBaseStackFormatter::Assign(source);
  if (const auto* standard = dynamic_cast<const TVarnelStackFormatter*>(source)) FDebugDetails = standard->FDebugDetails;
}

void TVarnelStackFormatter::SetCallStack(TVarnelBaseStackList* list) {
  FModuleNames.clear();
  if (list != nullptr) FDebugDetails = list->DebugDetails();
  TVarnelBaseStackFormatter::SetCallStack(list);
}

bool TVarnelStackFormatter::IsVisible(int index) const {
  const TVarnelDebugInfo& e = FCallStack->Item(index);
  if (e.ErrorLine || (index == 0 && e.StackAddr == 0)) return true;
  if (e.StackAddr == 0 && index > 0 && FCallStack->Item(index - 1).ThreadID != e.ThreadID) return true;
  if ((FDebugDetails & (1u << e.Location.DebugDetail)) == 0) return false;
  if ((e.Methods & 1u) == 0 && !MethodsShown(e.Methods)) return false;
  return e.Location.DebugDetail != ddNone || e.Location.Address != e.ReturnAddr;
}

std::wstring TVarnelStackFormatter::ModuleCell(const TVLLocationInfo& location) {
  if (location.Module != 0)
    for (const auto& [module, cell] : FModuleNames)
      if (module == location.Module) return cell;
  std::wstring path = location.ModuleName;
  if (!path.empty()) {
    std::wstring long_path = platform::SystemModulePlatform().LongPathName(path);
    if (!long_path.empty()) path = std::move(long_path);
  }
  std::wstring cell = PrepareName(ExtractFileNamePart(path), FHasEncryptedData);
  // Without a handle there is nothing to key the cell on.
  if (location.Module != 0) FModuleNames.emplace_back(location.Module, cell);
  return cell;
}

std::array<std::wstring, 10> TVarnelStackFormatter::Cells(int index) {
  const TVarnelDebugInfo& e = FCallStack->Item(index);
  const TVLLocationInfo& l = e.Location;
  const auto address = static_cast<std::uint32_t>(l.Address);
  return {rt::Hex8(e.Methods),
          rt::Hex8(l.DebugDetail).substr(6),
          rt::Hex8(e.StackAddr),
          rt::Hex8(address),
          ModuleCell(l),
          rt::Hex8(address - static_cast<std::uint32_t>(l.Module)),
          PrepareName(l.UnitName, FHasEncryptedData),
          PrepareName(l.ClassName, FHasEncryptedData),
          PrepareName(l.ProcedureName, FHasEncryptedData),
          LineCell(l)};
}

void TVarnelStackFormatter::Calculate() {
  const bool encrypted = FCallStack != nullptr && FCallStack->HasEncryptedData();
  if (encrypted != FHasEncryptedData) FModuleNames.clear();
  FHasEncryptedData = encrypted;
  for (int c = 0; c < 10; ++c) FWidths[c] = static_cast<int>(FCaptions[scMethods + c].size());
  for (int c : {0, 2, 3, 5}) FWidths[c] = std::max(FWidths[c], 8);
  FWidths[1] = std::max(FWidths[1], 2);
  if (FCallStack != nullptr) {
    for (int i = 0; i < FCallStack->Count(); ++i) {
      if (!IsVisible(i)) continue;
      const auto cells = Cells(i);
      for (int c : {4, 6, 7, 8, 9}) FWidths[c] = std::max(FWidths[c], static_cast<int>(cells[c].size()));
    }
  }
  FLineLen = 11;
  for (int w : FWidths) FLineLen += w;
  FCalculated = true;
}

std::wstring TVarnelStackFormatter::GetItemText(int index) {
  if (!FCalculated) throw EFormatterAssertion(L"Assertion failure (ECallStack)");
  const auto cells = Cells(index);
  std::wstring row = L"|";
  for (int c = 0; c < 10; ++c) row += TableCell(cells[c], FWidths[c]) + L"|";
  return row;
}

const std::vector<std::wstring>& TVarnelStackFormatter::GetAsStrings() {
  if (!FModified && FCalculated) return FStr;
  FStr.clear();
  if (!FCalculated) Calculate();
  const std::wstring outer(static_cast<std::size_t>(FLineLen), L'-');
  const std::wstring inner = L"|" + std::wstring(static_cast<std::size_t>(std::max(FLineLen - 2, 0)), L'-') + L"|";
  const auto bordered = [&](const std::wstring& text) {
    std::size_t from = 0;
    for (;;) {
      const std::size_t brk = text.find(L"\r\n", from);
      FStr.push_back(L"|" + TableCell(text.substr(from, brk - from), FLineLen - 2) + L"|");
      if (brk == std::wstring::npos) break;
      from = brk + 2;
    }
  };
  if (!FCaptions[scHeader].empty()) FStr.push_back(FCaptions[scHeader]);
  int rows = 0;
  int headers = 0;
  std::uint32_t last_thread = 0;
  bool last_running = false;
  if (FCallStack != nullptr) {
    const std::uintptr_t session =
        FCallStack->CaptureWCTInfo() && !WaitChainCaptureDisabled() ? FCallStack->WaitChainSession() : 0;
    for (int i = 0; i < FCallStack->Count(); ++i) {
      if (!IsVisible(i)) continue;
      const TVarnelDebugInfo& e = FCallStack->Item(i);
      if (rows == 0) {
        FStr.push_back(outer);
        std::wstring caption_row = L"|";
        for (int c = 0; c < 10; ++c) caption_row += TableCell(FCaptions[scMethods + c], FWidths[c]) + L"|";
        FStr.push_back(caption_row);
        FStr.push_back(outer);
      }
      if (e.ThreadID != last_thread || e.RunningThread != last_running || e.ErrorLine) {
        if (rows > 0) {
          FStr.push_back(inner);
          if (e.RunningThread) bordered(std::wstring());
        }
        bordered(GetHeaderText(i, ++headers, true, session));
        FStr.push_back(inner);
        last_thread = e.ThreadID;
        last_running = e.RunningThread;
      }
      FStr.push_back(GetItemText(i));
      ++rows;
    }
  }
  if (rows > 0 || !FCaptions[scHeader].empty()) FStr.push_back(outer);
  FModified = false;
  return FStr;
}

// ---- dialog rows ----------------------------------------------------------------

void FillRows(TVarnelBaseStackList& list, TVarnelDebugDetails details, TAddStackRow add_row, void* dialog) {
  TVarnelBaseStackFormatter& formatter = list.Formatter();
  const bool encrypted = list.HasEncryptedData();
  const std::uintptr_t session = list.CaptureWCTInfo() && !WaitChainCaptureDisabled() ? list.WaitChainSession() : 0;
  const std::uint32_t allowed = formatter.AllowedMethods();
  const std::uint32_t disabled = formatter.DisabledMethods();
  int rows = 0;
  int headers = 0;
  std::uint32_t last_thread = 0;
  bool last_running = false;
  for (int i = 0; i < list.Count(); ++i) {
    const TVarnelDebugInfo& e = list.Item(i);
    const TVLLocationInfo& l = e.Location;
    // The exception's own line without a stack slot is shown whatever the
    // settings say: it is where the exception happened.
    const bool always = i == 0 && e.StackAddr == 0 && e.ErrorLine;
    if (!always) {
      if ((details & (1u << l.DebugDetail)) == 0) continue;
      if (l.ModuleType == mtProgram && l.DebugDetail == ddUnit) continue;
      if ((e.Methods & allowed) == 0 || (e.Methods & disabled) != 0) continue;
    }
    if (rows == 0 || e.ThreadID != last_thread || e.RunningThread != last_running || e.ErrorLine) {
      if (e.RunningThread && rows > 0) {
        TStackRow empty;
        empty.Kind = TStackRow::rkEmpty;
        add_row(dialog, empty);
      }
      TStackRow group;
      group.Kind = TStackRow::rkGroup;
      group.Text = formatter.GetHeaderText(i, ++headers, false, session);
      group.Flags = (e.RunningThread ? 1u : 0u) + (e.ErrorLine ? 2u : 0u);
      add_row(dialog, group);
      last_thread = e.ThreadID;
      last_running = e.RunningThread;
    }
    TStackRow row;
    row.Cells = {rt::Hex8(static_cast<std::uint32_t>(l.Address)),
                 l.DebugDetail == ddNone ? std::wstring() : PrepareName(ExtractFileNamePart(l.ModuleName), encrypted),
                 PrepareName(l.UnitName, encrypted),
                 PrepareName(l.ClassName, encrypted),
                 PrepareName(l.ProcedureName, encrypted),
                 LineCell(l)};
    row.Image = encrypted                          ? 0
                : l.DebugDetail == ddSourceCode    ? 3
                : l.ModuleType == mtProgram        ? 2
                : l.ModuleType == mtPackage        ? 1
                                                   : 0;
    add_row(dialog, row);
    ++rows;
  }
}

// ---- simple and compact ------------------------------------------------------------

std::unique_ptr<TVarnelBaseStackFormatter> TSimpleStackFormatter::NewOfSameClass() const {
  return std::make_unique<TSimpleStackFormatter>();
}

std::wstring TSimpleStackFormatter::LineOf(const TVLLocationInfo& location) const {
  return FormatLocationInfo(location, true, true, true, true, true, false);
}

std::wstring TSimpleStackFormatter::GetItemText(int index) { return LineOf(FCallStack->Item(index).Location); }

const std::vector<std::wstring>& TSimpleStackFormatter::GetAsStrings() {
  if (!FModified) return FStr;
  FStr.clear();
  if (!FCaptions[scHeader].empty()) FStr.push_back(FCaptions[scHeader]);
  if (FCallStack != nullptr) {
    bool any = false;
    std::uint32_t last_thread = 0;
    bool last_running = false;
    for (int i = 0; i < FCallStack->Count(); ++i) {
      const TVarnelDebugInfo& e = FCallStack->Item(i);
      const TVarnelDebugDetail d = e.Location.DebugDetail;
      if ((d != ddProcedure && d != ddSourceCode) || !MethodsShown(e.Methods)) continue;
      if (any && ((last_thread != 0 && e.ThreadID != last_thread) || e.RunningThread != last_running)) break;
      FStr.push_back(GetItemText(i));
      any = true;
      last_thread = e.ThreadID;
      last_running = e.RunningThread;
    }
  }
  FModified = false;
  return FStr;
}

std::unique_ptr<TVarnelBaseStackFormatter> TCompactStackFormatter::NewOfSameClass() const {
  return std::make_unique<TCompactStackFormatter>();
}

std::wstring TCompactStackFormatter::LineOf(const TVLLocationInfo& location) const {
  return FormatLocationInfo(location, false, false, true, true, false, false);
}

}  // namespace zelvic::diag
