// Call-stack lists and their texts: fixed entries through each cleaning step,
// the filters and the report table (widths counted by hand below), and one
// live build of this thread's stack.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/stacks/ECallStackFormatter.h"
#include "platform/modules.h"
#include "platform/threads.h"

using namespace zelvic::diag;

namespace {

struct TFixedEntry {
  std::uint32_t Address;
  std::uint32_t Stack;
  const wchar_t* Unit;
  const wchar_t* Class;
  const wchar_t* Proc;
  std::int32_t Line = 0;
  std::int32_t ProcOffsetLine = 0;
  std::uint32_t Thread = 7;
};

TVarnelDebugInfo MakeEntry(const TFixedEntry& f) {
  TVarnelDebugInfo e;
  e.Location.Address = f.Address;
  e.Location.Module = 0x00400000;
  e.Location.ModuleName = L"C:\\nowhere\\host.exe";
  e.Location.UnitName = f.Unit;
  e.Location.ClassName = f.Class;
  e.Location.ProcedureName = f.Proc;
  e.Location.LineNumber = f.Line;
  e.Location.ProcOffsetLine = f.ProcOffsetLine;
  e.Location.DebugDetail = f.Line != 0 ? ddSourceCode : ddProcedure;
  e.StackAddr = f.Stack;
  e.ReturnAddr = f.Stack != 0 ? f.Address + 5 : f.Address;
  e.Methods = f.Stack != 0 ? 0x20u : kNoSlotMethods;
  e.ThreadID = f.Thread;
  e.RunningThread = true;
  e.ErrorLine = f.Stack == 0;
  return e;
}

// A list whose entries a test places; its lookups answer from a fixed table.
class TFixedList : public TGenericStackList {
 public:
  explicit TFixedList(std::vector<TFixedEntry> entries = {}, std::uint32_t first_addr = 0) {
    TBuildArgs args;
    args.FirstAddr = first_addr;
    args.StackFrame = 1;  // never walked: AfterConstruction is not called
    args.ThreadID = 7;
    Setup(args);
    SetLookup({&TFixedList::Find, this});
    for (const TFixedEntry& f : entries) Add(MakeEntry(f));
  }
  std::map<std::uint32_t, TVLLocationInfo> Known;

  std::vector<std::uint32_t> Addresses() const {
    std::vector<std::uint32_t> out;
    for (int i = 0; i < Count(); ++i) out.push_back(static_cast<std::uint32_t>(Item(i).Location.Address));
    return out;
  }

 private:
  static bool Find(void* data, std::uint32_t address, TVLLocationInfo& info) {
    const auto& known = static_cast<TFixedList*>(data)->Known;
    const auto it = known.find(address);
    if (it == known.end()) return false;
    info = it->second;
    return true;
  }
};

// Thread facts and wait chains as a test fixes them.
std::map<std::uint32_t, TThreadFacts> g_facts;
bool FixedFacts(void*, std::uint32_t id, TThreadFacts& facts) {
  const auto it = g_facts.find(id);
  if (it == g_facts.end()) return false;
  facts = it->second;
  return true;
}

std::vector<TWaitChainNode> g_chain;
bool g_chain_ok = false;
bool g_chain_cycle = false;
int g_sessions_open = 0;
std::uintptr_t FakeOpen(void*) {
  ++g_sessions_open;
  return 0x55;
}
void FakeClose(void*, std::uintptr_t) { --g_sessions_open; }
bool FakeChain(void*, std::uintptr_t, std::uint32_t, std::vector<TWaitChainNode>& nodes, bool& cycle) {
  nodes = g_chain;
  cycle = g_chain_cycle;
  return g_chain_ok;
}

class CallStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_facts.clear();
    g_chain.clear();
    g_chain_ok = false;
    g_chain_cycle = false;
    g_sessions_open = 0;
    old_facts_ = SetThreadFactsProvider({FixedFacts, nullptr});
    old_chain_ = SetWaitChainProvider({FakeOpen, FakeClose, FakeChain, nullptr});
  }
  void TearDown() override {
    SetThreadFactsProvider(old_facts_);
    SetWaitChainProvider(old_chain_);
  }

 private:
  TThreadFactsProvider old_facts_;
  TWaitChainProvider old_chain_;
};

// "|" + text + blanks to the inner width + "|".
std::wstring Boxed(const std::wstring& text, std::size_t inner) {
  return L"|" + text + std::wstring(inner - text.size(), L' ') + L"|";
}

// ---- the report table ----------------------------------------------------------

TEST_F(CallStackTest, StandardTableIsByteExact) {
  g_facts[7] = {};
  g_facts[7].ThreadID = 7;
  g_facts[7].ClassName = L"TWorker";
  g_facts[7].IDStr = L"MAIN";
  g_facts[7].ParentID = 1;
  TFixedList list({{0x00401234, 0, L"Main", L"", L"Crash", 12, 3},
                   {0x00401500, 0x0012FF40, L"Main", L"TForm|1", L"Click"}});
  TVarnelDebugInfo other = MakeEntry({0x00402000, 0x0022FF10, L"B", L"", L"WaitLoop", 40, 0, 9});
  other.RunningThread = false;
  other.ThreadClass = L"T;Other";
  other.ThreadName = L"pool";
  list.Add(other);
  list.Formatter().SetCaption(scHeader, L"Call Stack Information");

  // Widths: Methods 8, Details 7 ("Details"), Stack 8, Address 8, Module 8
  // ("host.exe"), Offset 8, Unit 4, Class 7 ("TForm 1"), Procedure 16
  // ("Procedure/Method"), Line 5 ("12[3]"): 79 + 11 separators = 90.
  const std::wstring outer(90, L'-');
  const std::wstring inner = L"|" + std::wstring(88, L'-') + L"|";
  const std::vector<std::wstring> expected{
      L"Call Stack Information",
      outer,
      L"|Methods |Details|Stack   |Address |Module  |Offset  |Unit|Class  |Procedure/Method|Line |",
      outer,
      Boxed(L"*Exception Thread: ID=7; Parent=1; Priority=0", 88),
      Boxed(L"Class=TWorker; Name=MAIN", 88),
      Boxed(L"DeadLock=0; Wait Chain=", 88),
      Boxed(L"Comment=", 88),
      inner,
      L"|7FFFFFFE|04     |00000000|00401234|host.exe|00001234|Main|       |Crash           |12[3]|",
      L"|00000020|03     |0012FF40|00401500|host.exe|00001500|Main|TForm 1|Click           |     |",
      inner,
      Boxed(L"Calling Thread: ID=9; Parent=0; Priority=0", 88),
      Boxed(L"Class=T.Other; Name=pool", 88),
      Boxed(L"DeadLock=0; Wait Chain=", 88),
      Boxed(L"Comment=", 88),
      inner,
      L"|00000020|04     |0022FF10|00402000|host.exe|00002000|B   |       |WaitLoop        |40[0]|",
      outer,
  };
  EXPECT_EQ(list.Formatter().GetAsStrings(), expected);
}

TEST_F(CallStackTest, TableEdgeCases) {
  // An empty list renders nothing; with a header only, the header and a rule.
  TFixedList empty;
  EXPECT_TRUE(empty.Formatter().GetAsStrings().empty());
  empty.Formatter().SetCaption(scHeader, L"H");
  EXPECT_EQ(empty.Formatter().GetAsStrings(), (std::vector<std::wstring>{L"H", std::wstring(85, L'-')}));

  // Every method disabled: the error line still shows, the walked one not.
  TFixedList list({{0x00401234, 0, L"Main", L"", L"Crash", 12, 3}, {0x00401500, 0x0012FF40, L"Main", L"", L"Go"}});
  list.Formatter().SetDisabledMethods(0xFFFFFFFFu);
  const auto& lines = list.Formatter().GetAsStrings();
  int rows = 0;
  for (const auto& line : lines) {
    rows += line.find(L"00401234") != std::wstring::npos;
    EXPECT_EQ(line.find(L"00401500"), std::wstring::npos);
  }
  EXPECT_EQ(rows, 1);
}

TEST_F(CallStackTest, LeakHeadersAndWaitChainInHeader) {
  TFixedList list({{0x00401234, 0x100, L"Main", L"", L"Alloc", 5, 1}});
  TVarnelDebugInfo e = list.Item(0);
  e.LeakType = ltMemoryLeak;
  e.LeakDescription = L"TList";
  e.LeakSize = 48;
  e.LeakCount = 2;
  list.SetItem(0, e);
  EXPECT_EQ(list.Formatter().GetHeaderText(0, 3, true, 0), L"+Leak #3: Type=TList; Total size=48; Count=2");
  e.LeakType = ltResourceLeak;
  e.LeakDescription = L"Handle";
  list.SetItem(0, e);
  EXPECT_EQ(list.Formatter().GetHeaderText(0, 1, false, 0), L"Leak #1: Type=Handle; Count=2");

  e.LeakType = ltNone;
  list.SetItem(0, e);
  g_chain_ok = true;
  g_chain_cycle = true;
  g_chain = {{8, 3, L"", 0x10}, {3, 6, L"M", 0}, {8, 3, L"", 0x20}};
  EXPECT_EQ(list.Formatter().GetHeaderText(0, 1, false, 0x55),
            L"Running Thread: ID=7; Class=; Name=; DeadLock=1; Wait Chain=Blocked waiting for mutex owned by "
            L"thread [ 0020 / 32 ] -> thread -> mutex \"M\" -> thread: [ 0020 / 32 ] is blocked");
}

struct TChainCase {
  std::vector<TWaitChainNode> Nodes;
  bool Cycle;
  bool Temporary;
  const wchar_t* Text;
};

TEST_F(CallStackTest, WaitChainLines) {
  g_chain_ok = true;
  const std::vector<TChainCase> cases{
      // A thread that runs has nothing to report.
      {{{8, 2, L"", 0x10}}, false, false, L""},
      {{{8, 2, L"", 0x10}}, true, false, L"thread: [ 0010 / 16 ] is running"},
      // Blocked on a thread wait: no owner; the wait node before the thread is
      // left out of the chain.
      {{{8, 3, L"", 0x10}, {6, 3, L"", 0}, {8, 2, L"", 0x2A}},
       false,
       true,
       L"Blocked waiting for thread [ 002a / 42 ]; thread -> thread: [ 002a / 42 ] is running"},
      {{{8, 3, L"", 0x10}, {1, 6, L"", 0}}, false, false, L"thread: [ 0010 / 16 ] is blocked -> critical section"},
      {{{8, 3, L"", 0x10}, {99, 77, L"x", 0}}, false, false,
       L"thread: [ 0010 / 16 ] is blocked -> Unknown \"x\""},
  };
  for (const TChainCase& c : cases) {
    g_chain = c.Nodes;
    g_chain_cycle = c.Cycle;
    const TWaitChainText text = WaitChainText(c.Temporary ? 0 : 0x55, 0x10);
    EXPECT_EQ(text.Text, c.Text);
    EXPECT_EQ(text.Deadlock, c.Cycle);
  }
  EXPECT_EQ(g_sessions_open, 0);  // a temporary session is closed again
  g_chain_ok = false;
  EXPECT_EQ(WaitChainText(0x55, 1).Text, L"");
}

TEST_F(CallStackTest, ListOpensItsSessionOnceAndClearClosesIt) {
  TFixedList list({{0x00401234, 0, L"Main", L"", L"Crash", 12, 3}});
  (void)list.Formatter().GetAsStrings();
  EXPECT_EQ(g_sessions_open, 1);
  list.Changed();
  (void)list.Formatter().GetAsStrings();
  EXPECT_EQ(g_sessions_open, 1);
  list.Clear();
  EXPECT_EQ(g_sessions_open, 0);
}

TEST_F(CallStackTest, EncipheredNamesGoThroughTheHook) {
  const TNameHook old = SetNameHook([](const std::wstring& name, bool encrypted) -> std::wstring {
    if (name.empty() || name[0] == L'?' || !encrypted) return name;
    return L"??" + name;
  });
  TFixedList list({{0x00401234, 0, L"?pXYZ", L"", L"Crash", 12, 3}, {0x00401500, 0x100, L"Main", L"", L"Go"}});
  const std::wstring text = list.ToString();
  SetNameHook(old);
  EXPECT_NE(text.find(L"|?pXYZ |"), std::wstring::npos);
  EXPECT_NE(text.find(L"|??Main|"), std::wstring::npos);
  EXPECT_NE(text.find(L"|??Go "), std::wstring::npos);
  EXPECT_NE(text.find(L"|??host.exe|"), std::wstring::npos);
}

// ---- the dialog's rows -----------------------------------------------------------

struct TRowRecord {
  std::vector<std::wstring> lines;  // one per row, as the test spells it
};

void RecordRow(void* dialog, const TStackRow& row) {
  auto& out = static_cast<TRowRecord*>(dialog)->lines;
  switch (row.Kind) {
    case TStackRow::rkEmpty:
      out.push_back(L"<empty>");
      break;
    case TStackRow::rkGroup:
      out.push_back(L"<group " + std::to_wstring(row.Flags) + L"> " + row.Text);
      break;
    case TStackRow::rkEntry: {
      std::wstring line = std::to_wstring(row.Image);
      for (const std::wstring& cell : row.Cells) line += L"|" + cell;
      out.push_back(line);
      break;
    }
  }
}

TEST_F(CallStackTest, DialogRowsGroupThreadsAndSkipWhatTheDialogHides) {
  g_facts[7] = {};
  g_facts[7].ThreadID = 7;
  g_facts[7].ClassName = L"TWorker";
  g_facts[7].IDStr = L"MAIN";
  TFixedList list;
  const auto add = [&](TFixedEntry f, TVarnelDebugDetail detail, TModuleType type, bool running = true,
                       std::uint32_t methods = 0x20u) {
    TVarnelDebugInfo e = MakeEntry(f);
    e.Location.DebugDetail = detail;
    e.Location.ModuleType = type;
    e.RunningThread = running;
    e.Methods = methods;
    list.Add(e);
  };
  // The exception's own line, known by nothing but its address.
  add({0x00401234, 0, L"", L"", L""}, ddNone, mtUnknown, true, kNoSlotMethods);
  add({0x00401300, 0x104, L"Main", L"TForm|1", L"Click", 12, 3}, ddSourceCode, mtProgram);
  add({0x00401400, 0x108, L"Main", L"", L""}, ddUnit, mtProgram);              // the program's, unit only
  add({0x00401500, 0x10C, L"Main", L"", L"Run"}, ddProcedure, mtProgram);
  add({0x00401600, 0x110, L"Pkg", L"", L"Go"}, ddProcedure, mtPackage);
  add({0x00401700, 0x114, L"", L"", L""}, ddModule, mtLibrary);                // detail not shown
  add({0x00401800, 0x118, L"Lib", L"", L"Hidden"}, ddProcedure, mtLibrary, true, 0x80000000u);  // method hidden
  add({0x00402000, 0x200, L"B", L"", L"Wait", 0, 0, 9}, ddProcedure, mtLibrary, false);
  add({0x00403000, 0x300, L"C", L"", L"Spin", 0, 0, 11}, ddProcedure, mtLibrary, true);

  TRowRecord rows;
  FillRows(list, (1u << ddUnit) | (1u << ddProcedure) | (1u << ddSourceCode), RecordRow, &rows);
  const std::vector<std::wstring> expected{
      L"<group 3> Exception Thread: ID=7; Class=TWorker; Name=MAIN; DeadLock=0; Wait Chain=",
      L"0|00401234|||||",
      L"3|00401300|host.exe|Main|TForm|1|Click|12[3]",
      L"2|00401500|host.exe|Main||Run|",
      L"1|00401600|host.exe|Pkg||Go|",
      L"<group 0> Calling Thread: ID=9; Class=; Name=; DeadLock=0; Wait Chain=",
      L"0|00402000|host.exe|B||Wait|",
      L"<empty>",
      L"<group 1> Running Thread: ID=11; Class=; Name=; DeadLock=0; Wait Chain=",
      L"0|00403000|host.exe|C||Spin|",
  };
  EXPECT_EQ(rows.lines, expected);
  EXPECT_EQ(g_sessions_open, 1) << "the list's own session serves the headers";

  // With enciphered names every row takes image 0.
  const TNameHook old = SetNameHook([](const std::wstring& name, bool) { return name; });
  TFixedList hidden({{0x00401234, 0, L"?pXYZ", L"", L"Crash", 12, 3}});
  TRowRecord hidden_rows;
  FillRows(hidden, kDefaultDebugDetails, RecordRow, &hidden_rows);
  SetNameHook(old);
  ASSERT_EQ(hidden_rows.lines.size(), 2u);
  EXPECT_EQ(hidden_rows.lines[1], L"0|00401234|host.exe|?pXYZ||Crash|12[3]");
}

TEST_F(CallStackTest, SimpleAndCompactWriteTheFirstThreadOnly) {
  TFixedList list({{0x00401234, 0, L"Main", L"", L"Crash", 12, 3},
                   {0x00401500, 0x100, L"Main", L"", L"Go"},
                   {0x00402000, 0x200, L"B", L"", L"Other", 0, 0, 9}});
  TVarnelDebugInfo unit_only = list.Item(1);
  unit_only.Location.DebugDetail = ddUnit;
  list.Insert(1, unit_only);
  for (bool compact : {false, true}) {
    std::unique_ptr<TVarnelBaseStackFormatter> f;
    if (compact) f = std::make_unique<TCompactStackFormatter>();
    else f = std::make_unique<TSimpleStackFormatter>();
    f->SetAllowedMethods(0xFFFFFFFFu);
    f->SetDisabledMethods(0);
    const auto lines = CallStackToStrings(&list, L"", f.get());
    ASSERT_EQ(lines.size(), 2u);
    const auto& l0 = list.Item(0).Location;
    const auto& l2 = list.Item(2).Location;
    EXPECT_EQ(lines[0], FormatLocationInfo(l0, !compact, !compact, true, true, !compact, false));
    EXPECT_EQ(lines[1], FormatLocationInfo(l2, !compact, !compact, true, true, !compact, false));
  }
  TSimpleStackFormatter simple;
  EXPECT_THROW(simple.SetText(L"x"), EFormatterAssertion);
}

TEST_F(CallStackTest, FormatterSwapsKeepTheListsOwn) {
  TFixedList list({{0x00401234, 0, L"Main", L"", L"Crash", 12, 3}});
  const std::wstring before = list.ToString();
  TVarnelBaseStackFormatter* own = &list.Formatter();
  TSimpleStackFormatter simple;
  const auto lines = CallStackToStrings(&list, L"Head", &simple);
  EXPECT_EQ(lines.front(), L"Head");
  EXPECT_EQ(&list.Formatter(), own);
  EXPECT_EQ(list.Formatter().Caption(scHeader), L"");
  EXPECT_EQ(list.ToString(), before);

  // Another class replaces the formatter; setting the current one back onto
  // itself, or one of the same class, keeps the object.
  list.SetFormatter(simple);
  EXPECT_NE(dynamic_cast<TSimpleStackFormatter*>(&list.Formatter()), nullptr);
  TVarnelBaseStackFormatter* now = &list.Formatter();
  list.SetFormatter(*now);
  TSimpleStackFormatter other;
  other.SetCaption(scHeader, L"X");
  list.SetFormatter(other);
  EXPECT_EQ(&list.Formatter(), now);
  EXPECT_EQ(list.Formatter().Caption(scHeader), L"X");
}

// ---- post-processing ---------------------------------------------------------------

TEST_F(CallStackTest, CutAtTheNearestFrameOfTheErrorRoutine) {
  TFixedList list({{0x1000, 0, L"U", L"", L"Rec", 10, 2},
                   {0x2000, 0x100, L"Sys", L"", L"Raise"},
                   {0x1010, 0x200, L"U", L"", L"Rec", 12, 4},
                   {0x1020, 0x300, L"U", L"", L"Rec", 12, 4},
                   {0x3000, 0x400, L"U", L"", L"Main"}},
                  0x1000);
  list.CutAtErrorRoutine();
  EXPECT_EQ(list.Addresses(), (std::vector<std::uint32_t>{0x1000, 0x1020, 0x3000}));
  EXPECT_EQ(list.Stack(), 0x200u);
}

struct TBeginCase {
  std::int32_t PLine, POffset, QLine, QOffset;
  std::vector<std::uint32_t> Remaining;
};

TEST_F(CallStackTest, BeginLineCalls) {
  const std::vector<TBeginCase> cases{
      // Q on its first line, P's routine starts there: Q is the prologue's call.
      {10, 2, 8, 0, {0xA, 0xB}},
      // Q on its first line but P belongs to another activation: both stay.
      {25, 5, 8, 0, {0xA, 0xB, 0xC}},
      // P sits on Q's routine's first line: P goes.
      {8, 0, 15, 7, {0xA, 0xC}},
      {30, 3, 15, 7, {0xA, 0xB, 0xC}},
  };
  for (const TBeginCase& c : cases) {
    TFixedList list({{0xA, 0, L"X", L"", L"Other", 1, 0},
                     {0xB, 0x10, L"U", L"C", L"P", c.PLine, c.POffset},
                     {0xC, 0x20, L"U", L"C", L"P", c.QLine, c.QOffset}});
    list.RemoveBeginLineCalls();
    EXPECT_EQ(list.Addresses(), c.Remaining) << c.PLine << "/" << c.QLine;
  }
}

TEST_F(CallStackTest, ThreadStartTrimAddsTheCreator) {
  ECallStackInit();
  ASSERT_NE(ThreadStartModule(), 0u);
  for (bool tthread : {false, true}) {
    TFixedList list({{0x1000, 0, L"W", L"", L"Fail", 3, 1},
                     {0x1100, 0x100, L"W", L"", L"Run", 9, 2},
                     {0x1200, 0x200, L"Rtl", L"", L"StartHelper", 4, 1},
                     {0x1300, 0x300, L"kernel32", L"", L"BaseThreadInitThunk"},
                     {0x1400, 0x400, L"ntdll", L"", L"RtlUserThreadStart"}},
                    0x1000);
    TVarnelDebugInfo start = list.Item(3);
    start.Location.Module = ThreadStartModule();
    list.SetItem(3, start);
    list.Known[0x1100] = list.Item(1).Location;
    TVLLocationInfo creator;
    creator.Address = 0x5000;
    creator.UnitName = L"Main";
    creator.ProcedureName = L"StartWorker";
    creator.DebugDetail = ddProcedure;
    list.Known[0x5000] = creator;
    TThreadFacts facts;
    facts.ThreadID = 7;
    facts.CallerAddress = 0x5000;
    facts.StartAddress = 0x1100;
    facts.StartDescription = FormatLocationInfo(list.Item(1).Location, false, false, false, false, false, false);
    facts.IsTThread = tthread;
    g_facts[7] = facts;
    list.SetThreadFacts(7, facts);
    list.TrimThreadStart();
    const std::vector<std::uint32_t> expected =
        tthread ? std::vector<std::uint32_t>{0x1000, 0x1100, 0x1200, 0x1300, 0x5000}
                : std::vector<std::uint32_t>{0x1000, 0x1100, 0x1300, 0x5000};
    EXPECT_EQ(list.Addresses(), expected);
    const TVarnelDebugInfo& last = list.Item(list.Count() - 1);
    EXPECT_FALSE(last.ErrorLine);
    EXPECT_EQ(last.StackAddr, 0u);
    EXPECT_EQ(last.Location.ProcedureName, L"StartWorker");
  }
  ECallStackDone();
}

TEST_F(CallStackTest, LevelsKeepAWindowOfTheStack) {
  std::vector<TFixedEntry> entries;
  for (std::uint32_t i = 0; i < 10; ++i) entries.push_back({0x100 + i, 0x1000 + 4 * i, L"U", L"", L"P"});
  TFixedList list(entries);
  TVarnelBaseStackList::TBuildArgs args;
  args.StackFrame = 1;
  args.StartLevel = 2;
  args.LevelsNumber = 5;
  list.Setup(args);
  list.ApplyLevelsAndLimit();
  EXPECT_EQ(list.Addresses(), (std::vector<std::uint32_t>{0x102, 0x103, 0x104, 0x105, 0x106}));
}

// A walk that finds `count` return addresses, the first `uncounted` of them
// marked as not counting towards the limit.
class TFakeWalkList : public TGenericStackList {
 public:
  TFakeWalkList(int count, int uncounted, std::uint32_t first_addr) : count_(count), uncounted_(uncounted) {
    TBuildArgs args;
    args.FirstAddr = first_addr;
    args.StackFrame = 0x10000;
    args.TopOfStack = 0x20000;
    args.GetDebugInfo = false;
    args.DebugDetails = 0x1F;
    Setup(args);
  }
  void BuildEntries(const TStackRange&, std::uint32_t) override {
    for (int i = 0; i < count_; ++i) {
      const std::uint32_t slot = 0x10000 + 4 * static_cast<std::uint32_t>(i);
      ASSERT_TRUE(AddEntry(FFirstAddr, FDebugDetails, false, true, 0, true, 0x7000000 + slot, slot));
      if (i < uncounted_) FList.back()->Methods |= kUncountedEntry;
    }
  }

 private:
  int count_;
  int uncounted_;
};

TEST_F(CallStackTest, AFiveThousandEntryWalkKeeps2049) {
  TFakeWalkList plain(5000, 0, 0);
  plain.AfterConstruction();
  EXPECT_EQ(plain.Count(), 2049);
  EXPECT_EQ(plain.Item(2048).StackAddr, 0x10000u + 4 * 2048);

  TFakeWalkList with_first(5000, 0, 0x00AB0000);
  with_first.AfterConstruction();
  ASSERT_EQ(with_first.Count(), 2050);
  EXPECT_TRUE(with_first.Item(0).ErrorLine);

  TFakeWalkList marked(5000, 100, 0);
  marked.AfterConstruction();
  EXPECT_EQ(marked.Count(), 2149);
}

TEST_F(CallStackTest, AddEntrySteps) {
  TFixedList list;
  list.Known[0x4010] = {};
  list.Known[0x4010].UnitName = L"K";
  list.Known[0x4010].ProcedureName = L"Known";
  list.Known[0x4010].DebugDetail = ddProcedure;
  EXPECT_TRUE(list.AddEntry(0, kDefaultDebugDetails, true, true, 7, true, 0x4010, 0x100));
  // The same slot, site and return again: nothing new.
  EXPECT_FALSE(list.AddEntry(0, kDefaultDebugDetails, true, true, 7, true, 0x4010, 0x100));
  EXPECT_TRUE(list.AddEntry(0, kDefaultDebugDetails, false, false, 9, true, 0x5000, 0));
  ASSERT_EQ(list.Count(), 2);
  const TVarnelDebugInfo& known = list.Item(0);
  EXPECT_EQ(known.Location.ProcedureName, L"Known");
  EXPECT_EQ(known.Methods, 1u << list.TracerNo());
  EXPECT_TRUE(known.ErrorLine);
  const TVarnelDebugInfo& bare = list.Item(1);
  EXPECT_EQ(bare.Methods, kNoSlotMethods);
  EXPECT_EQ(bare.Location.ProcedureName, L"");
  EXPECT_FALSE(bare.RunningThread);
  EXPECT_EQ(bare.ThreadID, 9u);
  // Reaching the first address again means everything so far was the
  // handler's own frames.
  EXPECT_TRUE(list.AddEntry(0x6000, kDefaultDebugDetails, false, true, 7, true, 0x6000, 0x200));
  EXPECT_EQ(list.Addresses(), (std::vector<std::uint32_t>{0x6000}));
}

TEST_F(CallStackTest, ModuleCellAsksForTheLongPathOncePerModule) {
  wchar_t path[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  TFixedList list;
  for (std::uint32_t i = 0; i < 20; ++i) {
    TVarnelDebugInfo e = MakeEntry({0x00401000 + 16 * i, 0x100 + 4 * i, L"U", L"", L"P", 1, 0});
    e.Location.Module = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    e.Location.ModuleName = path;
    list.Add(e);
  }
  const std::uint32_t before = zelvic::platform::LongPathNameQueries();
  const std::wstring first = list.ToString();
  list.Changed();
  EXPECT_EQ(list.ToString(), first);
  EXPECT_LE(zelvic::platform::LongPathNameQueries() - before, 1u);
  EXPECT_NE(first.find(L"|zelvic_tests.exe|"), std::wstring::npos);
}

// ---- filters ----------------------------------------------------------------------------

std::vector<TFixedEntry> TwoThreads() {
  return {{0x10, 0, L"U", L"", L"E"},         {0x11, 0x100, L"U", L"", L"A"}, {0x12, 0x200, L"U", L"", L"B"},
          {0x13, 0x300, L"U", L"", L"C"},     {0x14, 0x400, L"U", L"", L"D"}, {0x20, 0x900, L"V", L"", L"X", 0, 0, 9},
          {0x21, 0xA00, L"V", L"", L"Y", 0, 0, 9}};
}

TEST_F(CallStackTest, FilterOutByCaller) {
  TFixedList up(TwoThreads());
  EXPECT_EQ(up.FilterOutByCaller(0x13, cdUp, 0x150, true), 0x300u);
  EXPECT_EQ(up.Addresses(), (std::vector<std::uint32_t>{0x10, 0x13, 0x14, 0x20, 0x21}));

  TFixedList up_drop(TwoThreads());
  up_drop.FilterOutByCaller(0x13, cdUp, 0, false);
  EXPECT_EQ(up_drop.Addresses(), (std::vector<std::uint32_t>{0x10, 0x14, 0x20, 0x21}));

  TFixedList down(TwoThreads());
  EXPECT_EQ(down.FilterOutByCaller(0x12, cdDown, 0x800, false), 0x800u);
  EXPECT_EQ(down.Addresses(), (std::vector<std::uint32_t>{0x10, 0x11, 0x20, 0x21}));

  // Another thread's site is not this thread's caller.
  TFixedList other(TwoThreads());
  other.FilterOutByCaller(0x20, cdUp, 0, false);
  EXPECT_EQ(other.Count(), 7);
}

TEST_F(CallStackTest, FilterOutByStackAndByName) {
  TFixedList by_stack(TwoThreads());
  by_stack.FilterOutByStack(0x250);
  // Thread 9's entries are passed over; thread 7's first slot at or below
  // 0x250, from the outermost, is 0x200.
  EXPECT_EQ(by_stack.Addresses(), (std::vector<std::uint32_t>{0x10, 0x13, 0x14, 0x20, 0x21}));

  TFixedList up(TwoThreads());
  up.FilterOutByName(L"U", L"", L"C", cdUp, 0, true);
  EXPECT_EQ(up.Addresses(), (std::vector<std::uint32_t>{0x10, 0x13, 0x14, 0x20, 0x21}));

  TFixedList down(TwoThreads());
  EXPECT_EQ(down.FilterOutByName(L"", L"", L"B", cdDown, 0, true), 0x200u);
  EXPECT_EQ(down.Addresses(), (std::vector<std::uint32_t>{0x10, 0x11, 0x12, 0x20, 0x21}));

  TFixedList dotted({{0x10, 0, L"U", L"", L"E"},
                     {0x11, 0x100, L"System.Classes", L"TThread", L"Execute"},
                     {0x12, 0x200, L"U", L"", L"D"}});
  dotted.FilterOutByName(L" System.Classes . TThread.Execute ", cdUp, 0, false);
  EXPECT_EQ(dotted.Addresses(), (std::vector<std::uint32_t>{0x10, 0x12}));

  TFixedList none(TwoThreads());
  EXPECT_EQ(none.FilterOutByName(L"U", L"", L"Missing", cdUp, 0x42, false), 0x42u);
  EXPECT_EQ(none.Count(), 7);
}

TEST_F(CallStackTest, RemoveWrapperFrames) {
  TFixedList list({{0x10, 0, L"U", L"", L"E"},
                   {0x11, 0x100, L"EThreadsManager", L"", L"ThreadWrapperBT"},
                   {0x12, 0x200, L"EThreadsManager", L"TX", L"ThreadWrapperBT"},
                   {0x13, 0x300, L"EAppISAPI", L"", L"ApplicationHttpExtensionHook"},
                   {0x14, 0x400, L"EAppISAPI", L"", L"ThreadWrapperBT"},
                   {0x15, 0x500, L"EExceptionManager", L"", L"DefaultThreadHandleException", 0, 0, 9}});
  list.RemoveWrapperFrames();
  EXPECT_EQ(list.Addresses(), (std::vector<std::uint32_t>{0x10, 0x12, 0x14, 0x15}));
}

TEST_F(CallStackTest, CopiesAndThreadExtraction) {
  TFixedList list(TwoThreads());
  TFixedList calling;
  calling.AddCallStack(&list, true);
  ASSERT_EQ(calling.Count(), 7);
  EXPECT_FALSE(calling.Item(0).RunningThread);
  EXPECT_FALSE(calling.Item(0).ErrorLine);
  calling.AddCallStack(nullptr, true);
  EXPECT_EQ(calling.Count(), 7);

  const auto nine = list.ExtractThread(9);
  ASSERT_NE(nine, nullptr);
  EXPECT_EQ(nine->Count(), 2);
  EXPECT_EQ(nine->Item(0).Location.Address, 0x20u);
  EXPECT_EQ(list.ExtractThread(12345), nullptr);

  TFixedList copy;
  copy.Assign(list);
  EXPECT_EQ(copy.Addresses(), list.Addresses());
  EXPECT_THROW(copy.Delete(7), zelvic::rt::EAssertionFailed);
}

// ---- a live build -----------------------------------------------------------------------

std::unique_ptr<TVarnelBaseStackList> g_live;

__attribute__((noinline)) void BuildHere() {
  auto list = std::make_unique<TVarnelStackListV7>();
  TVarnelBaseStackList::TBuildArgs args;
  args.DebugDetails = 0x1F;
  args.ThreadID = zelvic::platform::CurrentThreadId();
  list->Setup(args);
  list->AfterConstruction();
  g_live = std::move(list);
  asm volatile("");
}
__attribute__((noinline)) void LiveInner() {
  BuildHere();
  asm volatile("");
}
__attribute__((noinline)) void LiveOuter() {
  LiveInner();
  asm volatile("");
}

TEST_F(CallStackTest, LiveBuildStartsInTheCallingRoutines) {
  LiveOuter();
  ASSERT_NE(g_live, nullptr);
  ASSERT_GE(g_live->Count(), 3);
  const auto inside = [](std::uintptr_t address, void (*routine)()) {
    const auto start = reinterpret_cast<std::uintptr_t>(routine);
    return address > start && address < start + 64;
  };
  const TVarnelDebugInfo& inner = g_live->Item(0);
  const TVarnelDebugInfo& outer = g_live->Item(1);
  EXPECT_TRUE(inside(inner.Location.Address, LiveInner)) << std::hex << inner.Location.Address;
  EXPECT_TRUE(inside(outer.Location.Address, LiveOuter)) << std::hex << outer.Location.Address;
  EXPECT_NE(inner.StackAddr, 0u);
  EXPECT_LT(inner.StackAddr, outer.StackAddr);
  EXPECT_EQ(inner.ThreadID, GetCurrentThreadId());
  EXPECT_EQ(inner.Location.Module, reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)));
  if (inner.Location.DebugDetail >= ddProcedure) {
    EXPECT_NE(inner.Location.ProcedureName.find(L"LiveInner"), std::wstring::npos);
  }
  g_live.reset();
}

}  // namespace

namespace {

HANDLE g_parked = nullptr;
HANDLE g_release = nullptr;

__attribute__((noinline)) void ParkHere() {
  SetEvent(g_parked);
  WaitForSingleObject(g_release, INFINITE);
  asm volatile("");
}
DWORD WINAPI ParkedThread(void*) {
  ParkHere();
  asm volatile("");
  return 0;
}

TEST_F(CallStackTest, StartUpFindsTheThreadStartCallSite) {
  ECallStackInit();
  const auto start = reinterpret_cast<const std::uint8_t*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "BaseThreadInitThunk"));
  ASSERT_NE(start, nullptr);
  const auto site = reinterpret_cast<const std::uint8_t*>(ThreadStartCallSite());
  ASSERT_GE(site, start);
  EXPECT_LT(site, start + 96);
  // Wine calls the thread routine with "call edx".
  EXPECT_EQ(site[0], 0xFF);
  EXPECT_EQ(site[1] & 0xF8, 0xD0);
  ECallStackDone();
}

TEST_F(CallStackTest, ParkedThreadsListEndsAtTheThreadStart) {
  ECallStackInit();
  g_parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, ParkedThread, nullptr, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(g_parked, 5000), WAIT_OBJECT_0);
  Sleep(20);

  TVarnelStackListV7 list;
  TVarnelBaseStackList::TBuildArgs args;
  args.StackFrame = 1;  // not walked: the build below takes the thread's own
  args.DebugDetails = 0x1F;
  args.ThreadID = id;
  list.Setup(args);
  const bool built = list.BuildForThreadByID(id);
  SetEvent(g_release);
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  CloseHandle(g_parked);
  CloseHandle(g_release);
  ASSERT_TRUE(built);

  const auto in = [](std::uintptr_t address, const void* routine) {
    const auto start = reinterpret_cast<std::uintptr_t>(routine);
    return address > start && address < start + 64;
  };
  int park = -1, entry = -1, thread_start = -1;
  for (int i = 0; i < list.Count(); ++i) {
    const auto address = list.Item(i).Location.Address;
    EXPECT_EQ(list.Item(i).ThreadID, id);
    if (park < 0 && in(address, reinterpret_cast<const void*>(ParkHere))) park = i;
    if (entry < 0 && in(address, reinterpret_cast<const void*>(ParkedThread))) entry = i;
    if (address == ThreadStartCallSite()) thread_start = i;
  }
  ASSERT_GE(park, 0);
  EXPECT_GT(entry, park);
  ASSERT_GT(thread_start, entry);
  if (list.Item(thread_start).Location.ProcedureName == L"BaseThreadInitThunk") {
    EXPECT_EQ(thread_start, list.Count() - 1);
  }
  ECallStackDone();
}

TEST(CallStackPlatform, WaitChainOfARunningThreadIsEmpty) {
  // The platform's own functions, each looked up on its own: under Wine two
  // are stubs and the close is not exported; on any system a thread that
  // runs shows no chain.
  const TWaitChainText text = WaitChainText(0, GetCurrentThreadId());
  EXPECT_EQ(text.Text, L"");
  EXPECT_FALSE(text.Deadlock);
}

}  // namespace
