// The bug report's text. Expected texts are written out by hand from the
// report's rules; the values come from fixed facts, so they hold on any
// machine. The live report is checked for shape, and the assembler lines of
// live code against objdump (report_assembler_objdump in CTest).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EDebugExports.h"
#include "diagnostics/debuginfo/EDebugVL.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/reports/EAsmSection.h"
#include "diagnostics/reports/ECpuSection.h"
#include "diagnostics/reports/ELiveReportFacts.h"
#include "diagnostics/reports/ELogBuilder.h"
#include "diagnostics/reports/ELogBuilderEvents.h"
#include "diagnostics/reports/ELogComposer.h"
#include "diagnostics/reports/ELogItem.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/stacks/ECallStackFormatter.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/system/EDateTexts.h"
#include "runtime/unit_lifecycle.h"
#include "diagnostics/util/EDisAsm.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "runtime/civil_date.h"
#include "runtime/format_settings.h"
#include "runtime/hex_text.h"
#include "fixed_system_facts.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

std::wstring Joined(const std::vector<std::wstring>& lines) {
  std::wstring text;
  for (const std::wstring& line : lines) text += line + L"\r\n";
  return text;
}

double DateTime(int y, unsigned m, unsigned d, int h, int mi, int s) {
  return static_cast<double>(rt::DaysFromCivil(y, m, d) + rt::kUnixEpochDateTime) + (h * 3600.0 + mi * 60 + s) / 86400.0;
}

// Sizes carry the locale's decimal separator; "~" stands for it below.
std::wstring WithSeparator(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'~') c = rt::DefaultFormatSettings().DecimalSeparator;
  }
  return text;
}

// ---- numbered items --------------------------------------------------------------

TEST(LogItem, NumbersKeepTheirPlaceAndValuesShareAColumn) {
  TLogItem item;
  item.AddHeader(L"Application");
  item.AddItem(L"Start Date", L"x", true);
  item.AddItem(L"Name/Description", L"y", false);
  item.AddItem(L"Version Number", L"1.0", true);
  EXPECT_EQ(item.Value(), L"Application:\r\n"
                          L"-------------------------\r\n"
                          L"  1.1 Start Date    : x\r\n"
                          L"  1.3 Version Number: 1.0\r\n");
}

TEST(LogItem, MultiLineValueLinesUpUnderTheValue) {
  TLogItem item;
  item.AddHeader(L"Application");  // no item: the section goes
  item.AddHeader(L"Exception");
  item.AddItem(L"Type", L"EFoo", true);
  item.AddItem(L"Message", L"Error: bad\n\r\nvalue", true);
  EXPECT_EQ(item.Value(), L"Exception:\r\n"
                          L"-------------------------\r\n"
                          L"  2.1 Type   : EFoo\r\n"
                          L"  2.2 Message: Error:_bad\r\n"
                          L"               .\r\n"
                          L"               value\r\n");
}

TEST(LogItem, SectionsWithoutItemsGoWithTheirUnderline) {
  TLogItem item;
  item.AddHeader(L"A");
  item.AddItem(L"x", L"1", true);
  item.AddHeader(L"B");
  item.AddItem(L"y", L"2", false);
  item.AddHeader(L"C");
  item.AddItem(L"z", L"3", true);
  item.AddHeader(L"D");
  // The last section goes too, and with it the separator before it.
  EXPECT_EQ(item.Value(), L"A:\r\n----------\r\n  1.1 x: 1\r\n\r\nC:\r\n----------\r\n  3.1 z: 3\r\n");
  item.Clear();
  EXPECT_EQ(item.Value(), L"");
  item.AddHeader(L"E");
  item.AddItem(L"k", L"v", true);
  EXPECT_EQ(item.Value(), L"E:\r\n----------\r\n  1.1 k: v\r\n");
}

TEST(LogItem, AValueLineEndingInAColonIsNoHeader) {
  TLogItem item;
  item.AddHeader(L"A");
  item.AddItem(L"M", L"first\r\nsecond:", true);
  item.AddHeader(L"B");
  item.AddItem(L"N", L"v", true);
  EXPECT_EQ(item.Value(), L"A:\r\n----------------\r\n  1.1 M: first\r\n         second:\r\n\r\n"
                          L"B:\r\n----------\r\n  2.1 N: v\r\n");
}

// ---- dates ----------------------------------------------------------------------

TEST(ReportDates, MailHeaderAndUtcForms) {
  const struct {
    double value;
    std::int32_t bias;
    const wchar_t* text;
  } cases[] = {
      {DateTime(2026, 12, 9, 1, 51, 51), -60, L"Wed, 9 Dec 2026 01:51:51 +0100"},
      {DateTime(2015, 3, 1, 12, 0, 0), 300, L"Sun, 1 Mar 2015 12:00:00 -0500"},
      {DateTime(2024, 2, 29, 23, 59, 59), -330, L"Thu, 29 Feb 2024 23:59:59 +0530"},
      {0, 0, L"Sat, 30 Dec 1899 00:00:00 +0000"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatExceptionDate(c.value, c.bias), c.text);
  EXPECT_EQ(FormatIsoDateTime(LocalToUtc(DateTime(2015, 3, 1, 13, 0, 0), -60)), L"2015-03-01T12:00:00Z");
  // A duration as a date-time: 1.5 days after the scale's origin.
  EXPECT_EQ(FormatIsoDateTime(1.5), L"1899-12-31T12:00:00Z");
  // Rounded to the millisecond, not cut: no 23:59:59 for a whole day.
  EXPECT_EQ(FormatIsoDateTime(DateTime(2020, 1, 1, 0, 0, 0) - 1e-10), L"2020-01-01T00:00:00Z");
}

TEST(ReportDates, FileNameForm) {
  const struct {
    double value;
    const wchar_t* text;
  } cases[] = {
      {46365 + (1 * 3600 + 51 * 60 + 51) / 86400.0, L"20261209015151"},  // day 46365 is 9 Dec 2026
      {DateTime(2024, 2, 29, 23, 59, 59), L"20240229235959"},
      {DateTime(2001, 2, 3, 4, 5, 6), L"20010203040506"},
      {0, L"18991230000000"},
      // Rounded, as every other form: the last moment of a day is the next.
      {DateTime(2020, 1, 1, 0, 0, 0) - 1e-10, L"20200101000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatFileNameDate(c.value), c.text) << c.text;
}

// ---- the general part ----------------------------------------------------------

class ReportFacts : public ::testing::Test {
 protected:
  ReportFacts() {
    f.Stack = &stack;
    TVarnelModuleOptions& o = *f.OptionsValue;
    o.SetCustomField(L"_OverrideUserName", L"tester");
    o.SetCustomField(L"_OverrideUserFullName", L"Test User");
    o.SetCustomField(L"_OverrideUserEMail", L"t@example.com");
    o.SetCustomField(L"_OverrideCompanyName", L"ACME");
    o.SetCustomField(L"_OverrideComputerName", L"BENCH-7");
    f.StartTime = DateTime(2026, 12, 8, 6, 0, 0);
    f.Time = DateTime(2026, 12, 9, 18, 0, 0);
    f.CompilationDate = DateTime(2026, 11, 30, 12, 0, 0);
    f.Bias = -60;
    f.AppName = L"host.exe - (Host)";
    f.AppVersion = L"1.2.3.4";
    f.AppParameters = L"-a  -b";
    f.Address = 0x00401234;
    f.ModuleFile = L"C:\\App\\host.exe";
    f.ModuleDescriptionText = L"Host";
    f.ModuleVersionText = L"1.2.3.4";
    f.Class = L"EAccessViolation";
    f.Message = L"Access violation: write\r\nat 0";
    f.Bug = 0x0BADF00D;
    f.Count = 3;
    f.Privileges = L"SeDebugPrivilege - ON\r\nSeShutdownPrivilege - OFF\r\n";
    f.FormClass = L"TMainForm";
    f.FormText = L"Main";
    f.ControlClass = L"TButton";
    f.ControlText = L"OK";
    f.TotalMemory = 4294967296ull;
    f.FreeMemory = 1073741824ull;
    f.TotalDisk = 1099511627776ull;
    f.FreeDisk = 1536;
    f.UpTime = 0.25;
    f.Processor = L"Fixed CPU";
    f.DisplayMode = L"1920 x 1080, 32 bit";
    f.DPI = 96;
    f.VideoCard = L"VGA (driver 1.0)";
    f.VirtualMachine = L"Wine 8.0";
    f.OSType = L"Microsoft Windows 7 (32 bit)";
    f.OSBuild = L"7601";
    f.OSUpdate = L"Service pack 1";
    f.OSLanguage = L"English";
    f.Network = TNetworkTexts{L"192.168.001.010", L"255.255.255.000", L"192.168.001.001",
                              L"008.008.008.008", L"000.000.000.000", L"ON             "};
    f.Reproduce = L"Click OK";
  }

  void AllSwitchesOn() {
    for (const TOptionDef& def : OptionCatalogue()) {
      const std::wstring_view key = def.Key;
      if (def.Kind == TOptionKind::Bool && key.starts_with(L"so")) {
        f.OptionsValue->WriteBool(static_cast<TOptionId>(&def - OptionCatalogue().data()), true);
      }
    }
  }

  TVarnelStackListV7 stack;
  TFixedReportFacts f;
};

TEST_F(ReportFacts, GeneralTextWithEveryItemIsByteExact) {
  AllSwitchesOn();
  TLogBuilder builder(&f);
  builder.SetCustomFields({L"Shop=Main Street", L"Till=4"});
  const std::vector<std::wstring> expected{
      L"VarnelLog 7.1.0.0  ",
      L"",
      L"Application:",
      L"---------------------------------------------------------",
      L"  1.1 Start Date      : Tue, 8 Dec 2026 06:00:00 +0100",
      L"  1.2 Name/Description: host.exe - (Host)",
      L"  1.3 Version Number  : 1.2.3.4",
      L"  1.4 Parameters      : -a  -b",
      L"  1.5 Compilation Date: Mon, 30 Nov 2026 12:00:00 +0100",
      L"  1.6 Up Time         : 1 day(s), 12 hour(s), 0 second(s)",
      L"",
      L"Exception:",
      L"----------------------------------------------------",
      L"  2.1 Date          : Wed, 9 Dec 2026 18:00:00 +0100",
      L"  2.2 Address       : 00401234",
      L"  2.3 Module Name   : host.exe - (Host)",
      L"  2.4 Module Version: 1.2.3.4",
      L"  2.5 Type          : EAccessViolation",
      L"  2.6 Message       : Access violation:_write",
      L"                      at 0",
      L"  2.7 ID            : 0BADF00D",
      L"  2.8 Count         : 3",
      L"  2.9 Status        : New",
      L"  2.10 Note         : ",
      L"  2.11 Sent         : 0",
      L"",
      L"User:",
      L"-------------------------------------------",
      L"  3.1 ID        : tester",
      L"  3.2 Name      : Test User",
      L"  3.3 Email     : t@example.com",
      L"  3.4 Company   : ACME",
      L"  3.5 Privileges: SeDebugPrivilege - ON",
      L"                  SeShutdownPrivilege - OFF",
      L"",
      L"Active Controls:",
      L"------------------------------",
      L"  4.1 Form Class   : TMainForm",
      L"  4.2 Form Text    : Main",
      L"  4.3 Control Class: TButton",
      L"  4.4 Control Text : OK",
      L"",
      L"Computer:",
      L"-----------------------------------------------",
      L"  5.1 Name            : BENCH-7",
      L"  5.2 Total Memory    : 4294967296 (4~00 Gb)",
      L"  5.3 Free Memory     : 1073741824 (1~00 Gb)",
      L"  5.4 Total Disk      : 1099511627776 (1~00 Tb)",
      L"  5.5 Free Disk       : 1536 (1~50 Kb)",
      L"  5.6 System Up Time  : 6 hour(s), 0 second(s)",
      L"  5.7 Processor       : Fixed CPU",
      L"  5.8 Display Mode    : 1920 x 1080, 32 bit",
      L"  5.9 Display DPI     : 96",
      L"  5.10 Video Card     : VGA (driver 1.0)",
      L"  5.11 Printer        : ",
      L"  5.12 Virtual Machine: Wine 8.0",
      L"",
      L"Operating System:",
      L"--------------------------------------------",
      L"  6.1 Type    : Microsoft Windows 7 (32 bit)",
      L"  6.2 Build # : 7601",
      L"  6.3 Update  : Service pack 1",
      L"  6.4 Language: English",
      L"  6.5 Charset : 0",
      L"",
      L"Network:",
      L"---------------------------------",
      L"  7.1 IP Address: 192.168.001.010",
      L"  7.2 Submask   : 255.255.255.000",
      L"  7.3 Gateway   : 192.168.001.001",
      L"  7.4 DNS 1     : 008.008.008.008",
      L"  7.5 DNS 2     : 000.000.000.000",
      L"  7.6 DHCP      : ON             ",
      L"",
      L"Steps to reproduce:",
      L"--------------------",
      L"  8.1 Text: Click OK",
      L"",
      L"Custom Information:",
      L"-----------------------",
      L"  9.1 Shop: Main Street",
      L"  9.2 Till: 4",
  };
  EXPECT_EQ(builder.CreateGeneralText(), WithSeparator(Joined(expected)));
  EXPECT_EQ(f.NetworkQueries, 1);
}

TEST_F(ReportFacts, SwitchesConsoleAndNetwork) {
  AllSwitchesOn();
  TVarnelModuleOptions& o = *f.OptionsValue;
  for (const TOptionId id : {TOptionId::soNetIP, TOptionId::soNetSubmask, TOptionId::soNetGateway, TOptionId::soNetDNS1,
                             TOptionId::soNetDNS2, TOptionId::soNetDHCP, TOptionId::soAppName}) {
    o.WriteBool(id, false);
  }
  f.Console = true;
  TLogBuilder builder(&f);
  const std::wstring text = builder.CreateGeneralText();
  // No network value shown: the adapters are not read at all.
  EXPECT_EQ(f.NetworkQueries, 0);
  EXPECT_EQ(text.find(L"Network:"), std::wstring::npos);
  // A console process has no active controls, whatever the switches say.
  EXPECT_EQ(text.find(L"Active Controls"), std::wstring::npos);
  EXPECT_EQ(text.find(L"TMainForm"), std::wstring::npos);
  // The gap of the switched-off name.
  EXPECT_NE(text.find(L"\r\n  1.1 Start Date      : Tue, 8 Dec 2026 06:00:00 +0100\r\n  1.3 Version Number  : "),
            std::wstring::npos);
  o.WriteBool(TOptionId::soNetDNS2, true);
  (void)builder.CreateGeneralText();
  EXPECT_EQ(f.NetworkQueries, 1);
}

// Records what a composer is handed, for the forms the XML report stores.
class TRecordingComposer : public TGeneralSectionComposer {
 public:
  using TGeneralSectionComposer::TGeneralSectionComposer;
  void AddHeader(std::wstring_view header) override { Items.emplace_back(L"#" + std::wstring(header), L""); }
  void AddItem(std::wstring_view item, std::wstring_view value, bool add) override {
    if (add) Items.emplace_back(std::wstring(item), std::wstring(value));
  }
  std::wstring ValueOf(const std::wstring& item) const {
    for (const auto& [name, value] : Items) {
      if (name == item) return value;
    }
    return L"<missing>";
  }
  std::vector<std::pair<std::wstring, std::wstring>> Items;
};

TEST_F(ReportFacts, BinaryFormsForTheXmlReport) {
  AllSwitchesOn();
  TLogBuilder builder(&f);
  TRecordingComposer binary(builder);
  binary.Compose(true);
  EXPECT_EQ(binary.ValueOf(L"Start Date"), L"2026-12-08T05:00:00Z");
  EXPECT_EQ(binary.ValueOf(L"Date"), L"2026-12-09T17:00:00Z");
  EXPECT_EQ(binary.ValueOf(L"Up Time"), L"1899-12-31T12:00:00Z");
  EXPECT_EQ(binary.ValueOf(L"Total Memory"), L"4294967296");
  EXPECT_EQ(binary.ValueOf(L"Free Disk"), L"1536");
  EXPECT_EQ(binary.ValueOf(L"System Up Time"), L"1899-12-30T06:00:00Z");
  // Everything else as in the text.
  EXPECT_EQ(binary.ValueOf(L"Address"), L"00401234");
  EXPECT_EQ(binary.ValueOf(L"Message"), L"Access violation: write\r\nat 0");
  EXPECT_EQ(binary.Items.front().first, L"#Application");
  TRecordingComposer text(builder);
  text.Compose(false);
  EXPECT_EQ(text.ValueOf(L"Free Disk"), WithSeparator(L"1536 (1~50 Kb)"));
}

// ---- the whole report ------------------------------------------------------------

TEST_F(ReportFacts, WholeReportWithDefaultOptionsIsByteExact) {
  f.OptionsValue->WriteBool(TOptionId::loSaveModulesSection, false);
  f.OptionsValue->WriteBool(TOptionId::loSaveAssemblerAndCPUSections, false);
  f.Message = L"boom";
  f.Reproduce.clear();
  f.Class = L"EFoo";
  TLogBuilder builder(&f);
  const std::wstring expected =
      L"VarnelLog 7.1.0.0  \r\n"
      L"\r\n"
      L"Exception:\r\n"
      L"-----------------------\r\n"
      L"  2.2 Address: 00401234\r\n"
      L"  2.5 Type   : EFoo\r\n"
      L"  2.6 Message: boom\r\n"
      L"  2.7 ID     : 0BADF00D\r\n"
      L"  2.11 Sent  : 0\r\n"
      L"\r\n"
      L"User:\r\n"
      L"--------------------------\r\n"
      L"  3.2 Name : Test User\r\n"
      L"  3.3 Email: t@example.com\r\n"
      L"\r\n"
      L"Steps to reproduce:\r\n"
      L"-------------------\r\n"
      L"  8.1 Text: \r\n"
      L"\r\n"
      // An empty call stack: its title and the table's rule.
      L"Call Stack Information:\r\n" +
      std::wstring(85, L'-') +
      L"\r\n"
      L"\r\n"
      L"Modules Information:\r\n"
      L"--------------------\r\n"
      L"\r\n"
      L"\r\n"
      L"Processes Information:\r\n"
      L"----------------------\r\n"
      L"\r\n"
      L"\r\n"
      L"Assembler Information:\r\n"
      L"----------------------\r\n"
      L"\r\n"
      L"\r\n"
      L"Registers:\r\n"
      L"----------\r\n"
      L"\r\n";
  EXPECT_EQ(builder.Report(), expected);
}

TEST_F(ReportFacts, ModulesSectionRendersACopyUnderItsTitle) {
  TVarnelModulesList modules;
  auto record = std::make_unique<TVarnelModuleInfo>();
  record->Handle = 0x00400000;
  record->Name = L"C:\\App\\host.exe";
  record->Description = L"Host";
  record->Version = L"1.2.3.4";
  record->Size = 4096;
  modules.Add(std::move(record));
  f.ModulesValue = &modules;
  TLogBuilder builder(&f);
  const std::wstring text = builder.CreateModulesText();
  ASSERT_TRUE(text.starts_with(L"Modules Information:\r\n-")) << std::string(text.begin(), text.end());
  EXPECT_NE(text.find(L"|00400000|host.exe|Host"), std::wstring::npos) << std::string(text.begin(), text.end());
  // The record's list is left as it was.
  EXPECT_EQ(modules.Count(), 1);
}

TEST_F(ReportFacts, ProcessesSectionWhenSwitchedOn) {
  test::FixedSystemFacts system;
  TVarnelProcessesList processes(system);
  TVarnelProcessInfo p;
  p.ProcessID = 0x2A;
  p.Name = L"C:\\Tools\\agent.exe";
  p.Threads = 3;
  processes.Add(p);
  f.ProcessesValue = &processes;
  TLogBuilder builder(&f);
  EXPECT_EQ(builder.CreateProcessesText(), L"Processes Information:\r\n----------------------\r\n\r\n");
  f.OptionsValue->WriteBool(TOptionId::loSaveProcessesSection, true);
  const std::wstring text = builder.CreateProcessesText();
  EXPECT_TRUE(text.starts_with(L"Processes Information:\r\n-")) << std::string(text.begin(), text.end());
  EXPECT_NE(text.find(L"agent.exe"), std::wstring::npos) << std::string(text.begin(), text.end());
}

TEST_F(ReportFacts, CallStackSectionKeepsTheRecordListsMethodChoice) {
  TVarnelDebugInfo e;
  e.Location.Address = 0x00401234;
  e.Location.Module = 0x00400000;
  e.Location.ModuleName = L"C:\\App\\host.exe";
  e.Location.UnitName = L"Main";
  e.Location.ProcedureName = L"Crash";
  e.Location.LineNumber = 12;
  e.Location.DebugDetail = ddSourceCode;
  e.Methods = 0x20;
  e.StackAddr = 0x0012FF40;
  e.ThreadID = 7;
  stack.Add(e);
  TLogBuilder builder(&f);
  std::wstring text = builder.CreateCallStackText();
  EXPECT_TRUE(text.starts_with(L"Call Stack Information:\r\n-")) << std::string(text.begin(), text.end());
  EXPECT_NE(text.find(L"|0012FF40|00401234|"), std::wstring::npos) << std::string(text.begin(), text.end());
  // The walked entry's method is switched off in the record's list: the copy
  // the report renders leaves it out too.
  stack.Formatter().SetDisabledMethods(0x20);
  text = builder.CreateCallStackText();
  EXPECT_EQ(text.find(L"|00401234|"), std::wstring::npos) << std::string(text.begin(), text.end());
  EXPECT_EQ(stack.Count(), 1);
}

// ---- building, caching, events -------------------------------------------------

class TCountingBuilder : public TLogBuilder {
 public:
  using TLogBuilder::TLogBuilder;
  std::wstring Build() override {
    ++Builds;
    Nesting = FacilityNestingCount();
    if (Fail) throw rt::Exception(L"provider failed");
    return L"report " + std::to_wstring(Builds);
  }
  int Builds = 0;
  std::uint32_t Nesting = 0;
  bool Fail = false;
};

std::vector<std::wstring> g_events;
void RecordBefore(void*, TBaseLogBuilder* b, bool&) { g_events.push_back(L"15 " + std::to_wstring(b->Builded())); }
void RecordAfter(void* data, TBaseLogBuilder* b, bool& call_next) {
  g_events.push_back(L"16 " + std::to_wstring(b->Builded()));
  call_next = data == nullptr;
}

TEST_F(ReportFacts, BuiltOnceEventsAroundAndNestingRaised) {
  g_events.clear();
  const TLogBuilderHandler before{RecordBefore, nullptr}, after{RecordAfter, nullptr}, stopper{RecordAfter, &g_events};
  RegisterLogBuilderHandler(kBeforeBuildEvent, before);
  RegisterLogBuilderHandler(kAfterBuildEvent, after);
  RegisterLogBuilderHandler(kAfterBuildEvent, stopper, true);  // first, and stops the rest
  TCountingBuilder builder(&f);
  const std::uint32_t outside = FacilityNestingCount();
  EXPECT_EQ(builder.Report(), L"report 1");
  EXPECT_EQ(builder.ToString(), L"report 1");
  EXPECT_EQ(builder.Builds, 1);
  EXPECT_EQ(builder.Nesting, outside + 1);
  EXPECT_EQ(FacilityNestingCount(), outside);
  EXPECT_EQ(g_events, (std::vector<std::wstring>{L"15 0", L"16 1"}));
  builder.Invalidate();
  EXPECT_EQ(builder.Report(), L"report 2");

  // A failing build: event 16 still comes, the failure goes on, nothing is kept.
  g_events.clear();
  UnregisterLogBuilderHandler(kAfterBuildEvent, stopper);
  builder.Invalidate();
  builder.Fail = true;
  EXPECT_THROW(builder.Report(), rt::Exception);
  EXPECT_FALSE(builder.Builded());
  EXPECT_EQ(FacilityNestingCount(), outside);
  EXPECT_EQ(g_events, (std::vector<std::wstring>{L"15 0", L"16 0"}));
  UnregisterLogBuilderHandler(kBeforeBuildEvent, before);
  UnregisterLogBuilderHandler(kAfterBuildEvent, after);

  // The dispatch can be taken elsewhere.
  static int redirected = 0;
  const TLogBuilderEventDispatch own = LogBuilderEventDispatch();
  LogBuilderEventDispatch() = [](int, TBaseLogBuilder*) { ++redirected; };
  builder.Fail = false;
  builder.Invalidate();
  (void)builder.Report();
  LogBuilderEventDispatch() = own;
  EXPECT_EQ(redirected, 2);
}

TEST_F(ReportFacts, VariablesAndTheRecordANestedChainShows) {
  f.Variables[L"Who"] = L"me";
  TCountingBuilder builder(&f);
  EXPECT_EQ(builder.ResolveVariable(L"_BUGREPORT"), L"report 1");
  EXPECT_EQ(builder.ExpandVariables(L"[%Who%|%_bugreport%|%none%]"), L"[me|report 1|]");

  TFixedReportFacts inner;
  inner.Class = L"EInner";
  f.Inner = &inner;
  TLogBuilder outer_builder(&f);
  EXPECT_EQ(&outer_builder.GetExceptionInfo(), &inner);  // the default: the first of the chain
  EXPECT_EQ(outer_builder.GetCallStack(), nullptr);
  f.OptionsValue->SetCustomFieldInt(L"NestedExceptionsStack", 3);
  EXPECT_EQ(&outer_builder.GetExceptionInfo(), &f);
}

TEST_F(ReportFacts, ABuilderNeedsARecordWithACallStack) {
  EXPECT_THROW(TLogBuilder(nullptr), rt::EAssertionFailed);
  f.Stack = nullptr;
  EXPECT_THROW(TLogBuilder{&f}, rt::EAssertionFailed);
}

TEST_F(ReportFacts, SavedAsUtf16WithItsMark) {
  TCountingBuilder builder(&f);
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"zelvic_report_test.vl";
  builder.SaveToFile(path);
  builder.SaveToFile(path);  // replaced, not appended
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::uint8_t bytes[64];
  DWORD read = 0;
  ReadFile(h, bytes, sizeof bytes, &read, nullptr);
  CloseHandle(h);
  DeleteFileW(path.c_str());
  const std::uint8_t expected[] = {0xFF, 0xFE, 'r', 0, 'e', 0, 'p', 0, 'o', 0, 'r', 0, 't', 0, ' ', 0, '1', 0};
  ASSERT_EQ(read, sizeof expected);
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);
  EXPECT_EQ(builder.Builds, 1);
  EXPECT_THROW(builder.SaveToFile(std::wstring(folder) + L"no\\such\\folder\\r.vl"), EFCreateError);
}

// ---- the processor part ----------------------------------------------------------

TFixedReportFacts::TBlock Block(std::uint32_t base, std::vector<std::uint8_t> bytes, std::uint32_t protect,
                                std::uint32_t type = 0x20000) {
  TFixedReportFacts::TBlock b;
  b.Base = base;
  b.Bytes = std::move(bytes);
  b.Region = {base, base, static_cast<std::uint32_t>(b.Bytes.size()), protect, protect, 0x1000, type};
  return b;
}

TEST(CpuSection, RegistersAndDumpAreByteExact) {
  TFixedReportFacts f;
  f.Address = 0x00401000;
  f.StackPointValue = 0x0012FF00;
  f.ContextValue = {0x10007, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x0012FF40, 0x0012FF10, 0x00401000, 0x246};
  std::vector<std::uint8_t> stack(64);
  for (std::size_t k = 0; k < 64; ++k) stack[k] = static_cast<std::uint8_t>(k);
  f.Blocks.push_back(Block(0x0012FF10, stack, 0x04));
  std::vector<std::uint8_t> code(256, 0x90);
  const char hello[] = "Hello, world!\n";
  std::memcpy(code.data(), hello, 14);
  f.Blocks.push_back(Block(0x00401000, code, 0x20));
  std::wstring dump;
  for (int k = 0; k < 16; ++k) {
    const int slot = 4 * (15 - k);
    wchar_t line[160];
    std::swprintf(line, 160, L"%08X: %02X%02X%02X%02X   %08X: ", 0x0012FF10 + slot, slot + 3, slot + 2, slot + 1, slot,
                  0x00401000 + 16 * k);
    dump += line;
    if (k == 0) {
      dump += L"48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 0A 90 90  Hello, world!...\r\n";
    } else {
      dump += L"90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 90  ................\r\n";
    }
  }
  // Esp above the stack point: the dump starts at Esp.
  const std::wstring head =
      L"Registers:\r\n"
      L"-----------------------------\r\n"
      L"EAX: 00000011   EDI: 00000066\r\n"
      L"EBX: 00000022   ESI: 00000055\r\n"
      L"ECX: 00000033   EBP: 0012FF40\r\n"
      L"EDX: 00000044   ESP: 0012FF10\r\n"
      L"EIP: 00401000   FLG: 00000246\r\n"
      L"EXP: 00401000   STK: 0012FF00\r\n"
      L"\r\n"
      L"Stack:               Memory Dump:\r\n"
      L"------------------   ---------------------------------------------------------------------------\r\n";
  EXPECT_EQ(CpuSectionText(f, {}), head + dump);

  // Code that cannot be read: no dump at all.
  f.Address = 0x00500000;
  const std::wstring text = CpuSectionText(f, {});
  EXPECT_TRUE(text.ends_with(L"-----\r\n")) << std::string(text.begin(), text.end());
}

TEST(CpuSection, WithoutAContextAndFromTheStackCopy) {
  TFixedReportFacts f;
  f.Address = 0x00401000;
  f.StackPointValue = 0x0012FF80;
  f.Blocks.push_back(Block(0x00401000, std::vector<std::uint8_t>(256, 0x41), 0x20));
  std::array<std::uint8_t, 64> copy{};
  copy[60] = 0xEF;
  copy[61] = 0xBE;
  copy[62] = 0xAD;
  copy[63] = 0xDE;
  f.Dump = copy;  // the stack itself is not readable any more
  const std::wstring text = CpuSectionText(f, {L"Regs", L"Stk", L"Mem"});
  EXPECT_TRUE(text.starts_with(L"Regs:\r\n-----------------------------\r\n"
                               L"EAX: ????       EDI: ????    \r\n"
                               L"EBX: ????       ESI: ????    \r\n"
                               L"ECX: ????       EBP: ????    \r\n"
                               L"EDX: ????       ESP: ????    \r\n"
                               L"EIP: ????       FLG: ????    \r\n"
                               L"EXP: 00401000   STK: 0012FF80\r\n"
                               L"\r\n"
                               L"Stk:                 Mem:\r\n"))
      << std::string(text.begin(), text.end());
  // The copy's slots at the addresses they were read from.
  EXPECT_NE(text.find(L"\r\n0012FFBC: DEADBEEF   00401000: 41 41 "), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n0012FF80: 00000000   004010F0: 41 "), std::wstring::npos);
}

// ---- the assembler part ----------------------------------------------------------

TEST(AssemblerSection, RegionNames) {
  EXPECT_EQ(ProtectionText(0), L"N/A");
  EXPECT_EQ(ProtectionText(0x20), L"PAGE_EXECUTE_READ");
  EXPECT_EQ(ProtectionText(0x104), L"PAGE_READWRITE or PAGE_GUARD");
  EXPECT_EQ(ProtectionText(0x201), L"PAGE_NOACCESS or PAGE_NOCACHE");
  EXPECT_EQ(ProtectionText(0x420), L"$00000420");
  EXPECT_EQ(MemoryStateText(0x10000), L"MEM_FREE");
  EXPECT_EQ(MemoryStateText(0x2000), L"MEM_RESERVE");
  EXPECT_EQ(MemoryTypeText(0x1000000), L"MEM_IMAGE");
  EXPECT_EQ(MemoryTypeText(0x40000), L"MEM_MAPPED");
  EXPECT_EQ(MemoryTypeText(0), L"N/A");
}

// One routine with line information, a call into another routine.
class AssemblerFacts : public ::testing::Test {
 protected:
  AssemblerFacts() {
    EDisAsmInit();
    ELogBuilderInit();
    std::vector<std::uint8_t> code{0x55,                                // 401000 PUSH EBP        line 10
                                   0x8B, 0xEC,                          // 401001 MOV EBP, ESP
                                   0xE8, 0x18, 0x00, 0x00, 0x00,        // 401003 CALL 401020     line 11
                                   0x8B, 0x45, 0x08,                    // 401008 MOV EAX, [EBP+8] line 12
                                   0xC7, 0x00, 0x00, 0x00, 0x00, 0x00,  // 40100B MOV DWORD PTR [EAX], 0
                                   0x5D,                                // 401011 POP EBP         line 13
                                   0xC3};                               // 401012 RET
    code.resize(0x20, 0x90);
    code.push_back(0xC3);  // 401020 Helper, line 20
    code.resize(0x40, 0xCC);
    TFixedReportFacts::TBlock b = Block(0x00401000, code, 0x20, 0x1000000);
    b.Region = {0x00401000, 0x00400000, 0x1000, 0x80, 0x20, 0x1000, 0x1000000};
    f.Blocks.push_back(b);
    f.Address = 0x0040100B;
    f.Locator = [](std::uint32_t a, TVLLocationInfo& l) {
      struct TLine {
        std::uint32_t from, to, proc;
        const wchar_t* name;
        int line, offset_line;
      };
      static const TLine kLines[] = {{0x401000, 0x401003, 0x401000, L"Crash", 10, 0},
                                     {0x401003, 0x401008, 0x401000, L"Crash", 11, 1},
                                     {0x401008, 0x401011, 0x401000, L"Crash", 12, 2},
                                     {0x401011, 0x401013, 0x401000, L"Crash", 13, 3},
                                     {0x401020, 0x401021, 0x401020, L"Helper", 20, 0}};
      for (const TLine& x : kLines) {
        if (a < x.from || a >= x.to) continue;
        l.UnitName = L"Main.pas";
        l.ProcedureName = x.name;
        l.LineNumber = x.line;
        l.ProcOffsetLine = x.offset_line;
        l.OffsetFromLineNumber = static_cast<std::int32_t>(a - x.from);
        l.OffsetFromProcName = static_cast<std::int32_t>(a - x.proc);
        l.DebugDetail = ddSourceCode;
        return true;
      }
      return false;
    };
  }
  ~AssemblerFacts() override {
    ELogBuilderDone();
    EDisAsmDone();
  }
  TFixedReportFacts f;
};

TEST_F(AssemblerFacts, SectionIsByteExact) {
  const std::vector<std::wstring> lines{
      L"; Base Address: $401000, Allocation Base: $400000, Region Size: 4096",
      L"; Allocation Protect: PAGE_EXECUTE_WRITECOPY, Protect: PAGE_EXECUTE_READ",
      L"; State: MEM_COMMIT, Type: MEM_IMAGE",
      L"; ",
      L"; Main.Crash Line=10 - Offset=0",
      L"; -----------------------------",
      L"00401000  55            PUSH EBP",
      L"00401001  8BEC          MOV  EBP, ESP",
      L";",
      L"; Main.Crash Line=11 - Offset=1",
      L"; -----------------------------",
      // Comments start two blanks after the longest instruction text.
      L"00401003  E818000000    CALL +$18" + std::wstring(16, L' ') + L"; ($00401020) Main.Helper",
      L";",
      L"; Main.Crash Line=12 - Offset=2",
      L"; -----------------------------",
      L"00401008  8B4508        MOV  EAX, [EBP+8]",
      L"0040100B  C70000000000  MOV  DWORD PTR [EAX], 0  ; <-- EXCEPTION",
      L";",
      L"; Main.Crash Line=13 - Offset=3",
      L"; -----------------------------",
      L"00401011  5D            POP  EBP",
      L"00401012  C3            RET",
  };
  EXPECT_EQ(AssemblerStart(f), 0x00401000u);
  const std::wstring text = AssemblerSectionText(f, L"Assembler Information", L"<-- EXCEPTION");
  EXPECT_EQ(text, L"Assembler Information:\r\n" + std::wstring(74, L'-') + L"\r\n" + Joined(lines))
      << std::string(text.begin(), text.end());
}

TEST_F(AssemblerFacts, StartRulesAndStops) {
  // Without line information: resynchronised from 225 bytes before, at most
  // fifteen instructions ahead of the address.
  std::vector<std::uint8_t> nops(0x200, 0x90);
  nops[0x1F0] = 0xC3;
  f.Blocks.push_back(Block(0x00600000, nops, 0x20));
  f.Address = 0x00600100;
  EXPECT_EQ(AssemblerStart(f), 0x00600100u - 15);
  // The block begins 4 bytes before the address: from its first byte.
  f.Blocks.push_back(Block(0x00700000, std::vector<std::uint8_t>(0x80, 0x90), 0x20));
  f.Address = 0x00700004;
  EXPECT_EQ(AssemblerStart(f), 0x00700000u);
  // A line walk stops at the first line of the routine; a return after the
  // address ends the listing, before the region ends.
  f.Address = 0x00401012;
  EXPECT_EQ(AssemblerStart(f), 0x00401000u);
  std::vector<std::wstring> lines = AssemblerLines(f, L"X");
  EXPECT_EQ(lines.back(), L"00401012  C3 RET  ; X");
  // Fifteen instructions after the address, then no more.
  f.Address = 0x00600010;
  lines = AssemblerLines(f, L"X");
  int instructions = 0;
  for (const std::wstring& l : lines) instructions += l[0] != L';';
  EXPECT_EQ(instructions, 15 + 1 + 15);
  EXPECT_EQ(lines.back().substr(0, 8), L"0060001F");
  // An address that cannot be read: its line, marked, and nothing else.
  f.Address = 0x00000010;
  lines = AssemblerLines(f, L"X");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], L"; Base Address: $0, Allocation Base: $0, Region Size: 4096");
  EXPECT_EQ(lines[4], L"00000010  ?? ; unaccessible location  ; X");
}

TEST_F(AssemblerFacts, OperandAnnotations) {
  // A string of the runtime's layout, plain data and an object, each named
  // through a pointer the operands point at.
  std::vector<std::uint8_t> data(0x70, 0);
  const std::uint8_t header[] = {0xE4, 0x04, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 'a', 'b', 'c', 0};
  std::memcpy(data.data(), header, sizeof header);
  data[0x20] = 'a';
  data[0x21] = 'b';
  data[0x22] = 0x01;
  for (int k = 0; k < 32; ++k) data[0x40 + k] = 'x';
  const std::uint32_t pointers[] = {0x0040200C, 0x00402020, 0x00402040, 0x00403000};
  std::memcpy(data.data() + 0x60, pointers, sizeof pointers);
  f.Blocks.push_back(Block(0x00402000, data, 0x02));
  f.Objects[0x00403000] = L"TWidget";
  std::vector<std::uint8_t> code{0x68, 0x60, 0x20, 0x40, 0x00,   // PUSH $402060
                                 0x68, 0x64, 0x20, 0x40, 0x00,   // PUSH $402064
                                 0x68, 0x68, 0x20, 0x40, 0x00,   // PUSH $402068
                                 0x68, 0x6C, 0x20, 0x40, 0x00,   // PUSH $40206C
                                 0x68, 0x08, 0x10, 0x40, 0x00};  // PUSH $401008 (code, inside line 12)
  f.Blocks.push_back(Block(0x00500000, code, 0x20));
  f.Address = 0x00500000;
  const std::vector<std::wstring> lines = AssemblerLines(f, L"X");
  const auto line_at = [&lines](const wchar_t* address) {
    for (const std::wstring& l : lines) {
      if (l.starts_with(address)) return l;
    }
    return std::wstring();
  };
  const auto narrow = [](const std::wstring& w) { return std::string(w.begin(), w.end()); };
  EXPECT_TRUE(line_at(L"00500000").ends_with(L" ; ANSI: 'abc'  ; X")) << narrow(line_at(L"00500000"));
  EXPECT_TRUE(line_at(L"00500005").ends_with(L" ; Data as ANSI: 'ab.'; Data as UNICODE: '" + std::wstring(1, 0x6261) +
                                             L".'"))
      << narrow(line_at(L"00500005"));
  EXPECT_TRUE(line_at(L"0050000A").ends_with(L" ; Data as ANSI: '" + std::wstring(32, L'x') +
                                             L"...'; Data as UNICODE: '" + std::wstring(16, 0x7878) + L"...'"))
      << narrow(line_at(L"0050000A"));
  EXPECT_TRUE(line_at(L"0050000F").ends_with(L" ; TWidget")) << narrow(line_at(L"0050000F"));
  EXPECT_TRUE(line_at(L"00500014").ends_with(L" ; ($00401008) Main.Crash (Line=12)")) << narrow(line_at(L"00500014"));
}

TEST(AssemblerAlignment, ColumnsFollowTheLongestFields) {
  std::vector<std::wstring> lines{L"; head", L"00000001  55 PUSH EBP", L"00000002  8BEC MOV EBP, ESP ; c",
                                  L"00000004  C3 RET  ; X", L"00000005  F3A4 REP MOVSB"};
  AlignAssemblerLines(lines);
  // Mnemonics at 17 (the widest bytes end at 14), operands at 22 (after
  // the widest mnemonic), comments at 32 (two after the longest text).
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"; head", L"00000001  55    PUSH EBP",
                                               L"00000002  8BEC  MOV  EBP, ESP  ; c",
                                               L"00000004  C3    RET" + std::wstring(12, L' ') + L"; X",
                                               L"00000005  F3A4  REP  MOVSB"}));
}

// ---- the live process ------------------------------------------------------------

TEST(LiveReport, AWholeReportOfThisProcess) {
  EDisAsmInit();
  ELogBuilderInit();
  std::unique_ptr<TLiveReportFacts> facts = TLiveReportFacts::CaptureHere(L"ETest", L"live report");
  TLogBuilder builder(facts.get());
  const std::wstring text = builder.Report();
  ELogBuilderDone();
  EDisAsmDone();
  const std::string narrow(text.begin(), text.end());
  EXPECT_TRUE(text.starts_with(L"VarnelLog 7.1.0.0  \r\n\r\nException:\r\n")) << narrow;
  EXPECT_NE(text.find(L"  2.5 Type   : ETest\r\n"), std::wstring::npos) << narrow;
  const std::wstring address = rt::Hex8(facts->ExceptionAddress());
  EXPECT_NE(text.find(L"  2.2 Address: " + address + L"\r\n"), std::wstring::npos);
  for (const wchar_t* title : {L"\r\nCall Stack Information:\r\n", L"\r\nModules Information:\r\n",
                               L"\r\nProcesses Information:\r\n", L"\r\nAssembler Information:\r\n",
                               L"\r\nRegisters:\r\n", L"\r\nStack:               Memory Dump:\r\n"}) {
    EXPECT_NE(text.find(title), std::wstring::npos) << std::string(title, title + wcslen(title));
  }
  EXPECT_NE(text.find(L"; Allocation Protect: "), std::wstring::npos);
  EXPECT_NE(text.find(L", Type: MEM_IMAGE\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"  ; <-- EXCEPTION\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\nEXP: " + address + L"   STK: "), std::wstring::npos);
  // The modules table lists the test program.
  EXPECT_NE(text.find(L"zelvic_tests.exe"), std::wstring::npos);
  // Sixteen dump lines after the last rule.
  const std::size_t rule = text.rfind(L"---------------------------------------------------------------------------\r\n");
  ASSERT_NE(rule, std::wstring::npos);
  std::size_t breaks = 0;
  for (std::size_t k = rule; k < text.size(); ++k) breaks += text[k] == L'\n';
  EXPECT_EQ(breaks, 17u);
}


// The live facts, counting the values the general section asks them for.
class TCountingLiveFacts : public TLiveReportFacts {
 public:
  TCountingLiveFacts() : TLiveReportFacts(TLiveException{}, std::make_unique<TVarnelStackListV7>()) {}
  std::map<std::string, int> Asked;
  bool NetworkInfo(TNetworkTexts& texts) override {
    ++Asked["network"];
    return TLiveReportFacts::NetworkInfo(texts);
  }
  std::wstring VideoCardText() override {
    ++Asked["video"];
    return TLiveReportFacts::VideoCardText();
  }
  std::wstring PrinterText() override {
    ++Asked["printer"];
    return TLiveReportFacts::PrinterText();
  }
  std::wstring VirtualMachineText() override {
    ++Asked["vm"];
    return TLiveReportFacts::VirtualMachineText();
  }
  std::wstring UserPrivileges() override {
    ++Asked["privileges"];
    return TLiveReportFacts::UserPrivileges();
  }
  std::wstring ActiveFormClass() override {
    ++Asked["form class"];
    return TLiveReportFacts::ActiveFormClass();
  }
  std::wstring ActiveControlText() override {
    ++Asked["control text"];
    return TLiveReportFacts::ActiveControlText();
  }
  std::wstring ApplicationName() override {
    ++Asked["application"];
    return TLiveReportFacts::ApplicationName();
  }
};

// Every "soXxx" switch off, then the given ones on.
void SwitchOnly(TVarnelModuleOptions& options, std::initializer_list<TOptionId> on) {
  const auto catalogue = OptionCatalogue();
  for (const TOptionDef& def : catalogue) {
    if (def.Kind == TOptionKind::Bool && std::wstring_view(def.Key).starts_with(L"so")) {
      options.WriteBool(static_cast<TOptionId>(&def - catalogue.data()), false);
    }
  }
  for (const TOptionId id : on) options.WriteBool(id, true);
}

// The item numbers ("2.8") of the general section's item lines, and its
// headers, in order.
std::vector<std::wstring> ItemNumbers(const std::wstring& text, std::vector<std::wstring>& headers) {
  std::vector<std::wstring> numbers;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    start = end + 2;
    if (line.size() > 2 && line.starts_with(L"  ") && std::iswdigit(line[2])) {
      numbers.push_back(line.substr(2, line.find(L' ', 2) - 2));
    } else if (!line.empty() && line.back() == L':' && line.find(L':') == line.size() - 1) {
      headers.push_back(line);
    }
  }
  return numbers;
}

// A live general section shows exactly the items its options switch on,
// each under its fixed number, drops the sections left empty, asks for no
// value it does not show, and reads the adapters only for a network item.
// This program is a console one: the active-control items stay off even when
// switched on. Address, type, message, ID and "sent" are switches that always
// read on: the report file finds its reports by them.
TEST(LiveReport, TheGeneralSectionShowsOnlyWhatItsOptionsSwitchOn) {
  ASSERT_TRUE(TLiveReportFacts(TLiveException{}, nullptr).IsConsoleApplication());
  {
    TCountingLiveFacts facts;
    SwitchOnly(facts.MutableOptions(),
               {TOptionId::soAppName, TOptionId::soExcAddress, TOptionId::soExcCount, TOptionId::soActCtlsFormClass,
                TOptionId::soActCtlsControlText, TOptionId::soCmpVM, TOptionId::soOSCharset, TOptionId::soNetDHCP,
                TOptionId::soCustomData});
    TLogBuilder builder(&facts);
    builder.SetCustomFields({L"First=one", L"Second=two"});
    const std::wstring text = builder.CreateGeneralText();
    std::vector<std::wstring> headers;
    EXPECT_EQ(ItemNumbers(text, headers),
              (std::vector<std::wstring>{L"1.2", L"2.2", L"2.5", L"2.6", L"2.7", L"2.8", L"2.11", L"5.12", L"6.5", L"7.6",
                                         L"9.1", L"9.2"}))
        << std::string(text.begin(), text.end());
    EXPECT_EQ(headers, (std::vector<std::wstring>{L"Application:", L"Exception:", L"Computer:", L"Operating System:",
                                                  L"Network:", L"Custom Information:"}));
    // Each value where its number says, however many items before it are off.
    EXPECT_NE(text.find(L"\r\n  2.8 Count  : 0\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\r\n  9.2 Second: two"), std::wstring::npos);
    EXPECT_EQ(facts.Asked, (std::map<std::string, int>{{"application", 1}, {"network", 1}, {"vm", 1}}));
  }
  {
    // No network item: the adapters are not read; nothing on in a section
    // drops it whole.
    TCountingLiveFacts facts;
    SwitchOnly(facts.MutableOptions(), {TOptionId::soCmpVideoCard, TOptionId::soUserPrivileges});
    TLogBuilder builder(&facts);
    const std::wstring text = builder.CreateGeneralText();
    std::vector<std::wstring> headers;
    EXPECT_EQ(ItemNumbers(text, headers),
              (std::vector<std::wstring>{L"2.2", L"2.5", L"2.6", L"2.7", L"2.11", L"3.5", L"5.10"}))
        << std::string(text.begin(), text.end());
    EXPECT_EQ(headers, (std::vector<std::wstring>{L"Exception:", L"User:", L"Computer:"}));
    EXPECT_EQ(facts.Asked, (std::map<std::string, int>{{"privileges", 1}, {"video", 1}}));
  }
}

// The library's own code with its own debug information: the listing
// starts at the routine's first line and names the source.
TEST(LiveReport, TheLibrarysCodeCarriesItsLines) {
  EDisAsmInit();
  EDebugInfoInit();
  EDebugExportsInit();
  EDebugVLInit();
  ELogBuilderInit();
  HMODULE lib = LoadLibraryW(test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  const auto routine = static_cast<std::uint32_t>(
      reinterpret_cast<std::uintptr_t>(GetProcAddress(lib, "Ondrel_55F22C7D_1_1Iii11I11i")));
  TLiveException e;
  e.Address = routine + 6;
  TLiveReportFacts facts(e, nullptr);
  const std::vector<std::wstring> lines = AssemblerLines(facts, L"<-- EXCEPTION");
  FreeLibrary(lib);
  // The export source's shut-down flags the process as shutting down; the
  // tests after this one still make lists.
  const std::uint8_t shutting_down = rt::IsShuttingDown;
  ELogBuilderDone();
  EDebugVLDone();
  EDebugExportsDone();
  EDebugInfoDone();
  EDisAsmDone();
  rt::IsShuttingDown = shutting_down;
  ASSERT_GT(lines.size(), 7u);
  EXPECT_EQ(lines[3], L"; ");
  EXPECT_TRUE(lines[4].starts_with(L"; fragment_table Line=")) << std::string(lines[4].begin(), lines[4].end());
  EXPECT_EQ(lines[5], L"; " + std::wstring(lines[4].size() - 2, L'-'));
  EXPECT_TRUE(lines[6].starts_with(rt::Hex8(routine) + L"  ")) << std::string(lines[6].begin(), lines[6].end());
  int marked = 0;
  for (const std::wstring& l : lines) marked += l.ends_with(L"  ; <-- EXCEPTION");
  EXPECT_EQ(marked, 1);
}

// The assembler lines of code in this program, for objdump: the bytes from
// the first instruction to the end of the last, and the lines as the report
// shows them (report_assembler_objdump compares the two).
TEST(LiveReport, AssemblerLinesForObjdump) {
  std::unique_ptr<TLiveReportFacts> facts = TLiveReportFacts::CaptureHere(L"ETest", L"for objdump");
  const std::vector<std::wstring> lines = AssemblerLines(*facts, L"<-- EXCEPTION");
  std::uint32_t first = 0, end = 0;
  std::string listing;
  for (const std::wstring& l : lines) {
    if (l.empty() || l[0] == L';') continue;
    const std::uint32_t at = std::wcstoul(l.substr(0, 8).c_str(), nullptr, 16);
    const std::size_t bytes_end = l.find(L' ', 10);
    if (first == 0) first = at;
    end = at + static_cast<std::uint32_t>((bytes_end - 10) / 2);
    listing += std::string(l.begin(), l.end()) + "\n";
  }
  ASSERT_LT(first, end);
  std::vector<std::uint8_t> bytes(end - first);
  ASSERT_EQ(LiveMemory().Read(first, bytes.data(), end - first), end - first);
  const std::wstring self = test::SelfPath();
  const std::wstring base = self.substr(0, self.find_last_of(L"\\/") + 1) + L"report_assembler";
  const std::string head = "vma " + std::to_string(first) + "\n";
  for (const auto& [suffix, data] :
       {std::pair{L".bin", std::string(bytes.begin(), bytes.end())}, std::pair{L".txt", head + listing}}) {
    HANDLE h = CreateFileW((base + suffix).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
  }
}

}  // namespace
}  // namespace zelvic::diag
