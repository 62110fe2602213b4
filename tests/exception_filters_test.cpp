// Exception filters: the duplicate rule, matching by type, class, location
// and properties, filters built from class annotations, and the filter keys
// of the options store in the current and the older forms.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "diagnostics/config/EFilters.h"
#include "diagnostics/config/EOptions.h"
#include "printers.h"

namespace zelvic::diag {
namespace {

TVarnelExceptionFilter Filter(std::wstring class_name) {
  TVarnelExceptionFilter f;
  f.Active = true;
  f.ExceptionClassName = std::move(class_name);
  f.ExceptionType = fetAll;
  f.HandlerType = fhtVarnelLog;
  return f;
}

// An object whose class chain and published properties the test decides.
struct FakeObject {
  std::vector<std::wstring> Chain;
  std::map<std::wstring, TFilterPropertyValue> Properties;
  bool Foreign = false;
};

class FakeReader : public TFilterObjectReader {
 public:
  bool accept_foreign = true;
  bool Accepts(const void* object) const override {
    return accept_foreign || !static_cast<const FakeObject*>(object)->Foreign;
  }
  std::vector<std::wstring> ClassNameChain(const void* object) const override {
    return static_cast<const FakeObject*>(object)->Chain;
  }
  bool ReadProperty(const void* object, std::wstring_view name, TFilterPropertyValue& value) const override {
    const auto& props = static_cast<const FakeObject*>(object)->Properties;
    auto it = props.find(std::wstring(name));
    if (it == props.end()) return false;
    value = it->second;
    return true;
  }
};

TFilterPropertyValue Num(double v) { return {true, v, {}}; }
TFilterPropertyValue Txt(std::wstring v) { return {false, 0, std::move(v)}; }

TFilterGetLocation FixedLocation(std::wstring module, std::wstring unit, std::wstring cls, std::wstring proc,
                                 int* calls = nullptr) {
  return [=](std::uintptr_t, TFilterLocation& info) {
    if (calls) ++*calls;
    info.ModuleName = module;
    info.UnitName = unit;
    info.ClassName = cls;
    info.ProcedureName = proc;
  };
}

TEST(ExceptionFiltersList, EqualFilterIsKeptOnceButCaseDifferenceIsANewFilter) {
  TVarnelExceptionsFilters list;
  list.Add(Filter(L"EConvertError"));
  list.Add(Filter(L"EConvertError"));
  EXPECT_EQ(list.Count(), 1);
  list.Add(Filter(L"econverterror"));
  EXPECT_EQ(list.Count(), 2);

  // Every field takes part in equality: a change in the last field is enough.
  TVarnelExceptionFilter other = Filter(L"EConvertError");
  other.ExpectedBugID = 7;
  list.Insert(0, other);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetItem(0).ExpectedBugID, 7u);
  EXPECT_EQ(list.GetItem(1).ExceptionClassName, L"EConvertError");

  // Inserting a duplicate at another index does not move or add it.
  list.Insert(0, Filter(L"econverterror"));
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetItem(2).ExceptionClassName, L"econverterror");

  list.Delete(0);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetItem(0).ExpectedBugID, 0u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(ExceptionFiltersList, ItemsAreCopies) {
  TVarnelExceptionsFilters list;
  list.Add(Filter(L"EFoo"));
  TVarnelExceptionFilter copy = list.Items(0);
  copy.ExceptionClassName = L"EBar";
  EXPECT_EQ(list.GetItem(0).ExceptionClassName, L"EFoo");
}

TEST(ExceptionFiltersList, ShortcutsBuildTheirFilters) {
  struct Case {
    void (TVarnelExceptionsFilters::*add)(std::wstring_view);
    TFilterHandlerType handler;
    std::int32_t context;
  };
  const Case cases[] = {
      {&TVarnelExceptionsFilters::AddExpectedException, fhtVarnelLog, -1},
      {&TVarnelExceptionsFilters::AddIgnoredException, fhtRTL, 0},
      {&TVarnelExceptionsFilters::AddFullyIgnoredException, fhtNone, 0},
  };
  for (const Case& c : cases) {
    TVarnelExceptionsFilters list;
    (list.*c.add)(L"EAbort");
    ASSERT_EQ(list.Count(), 1);
    TVarnelExceptionFilter expected;
    expected.Active = true;
    expected.ExceptionClassName = L"EAbort";
    expected.ExceptionType = fetAll;
    expected.DialogType = L" ";
    expected.HandlerType = c.handler;
    expected.ActionType = fatUnchanged;
    expected.ExpectedContext = c.context;
    EXPECT_EQ(list.GetItem(0), expected) << static_cast<int>(c.handler);
  }
}

TEST(ExceptionFiltersMatch, ExceptionTypeAgainstHandledAndSafeCall) {
  struct Case {
    TFilterExceptionType type;
    bool handled, safe_call, matches;
  };
  const Case cases[] = {
      {fetAll, false, false, true},        {fetAll, true, true, true},
      {fetHandled, true, false, true},     {fetHandled, false, false, false},
      {fetHandled, false, true, false},    {fetUnhandled, false, false, true},
      {fetUnhandled, true, false, false},  {fetSafeCall, false, true, true},
      {fetSafeCall, true, true, true},     {fetSafeCall, true, false, false},
  };
  for (const Case& c : cases) {
    TVarnelExceptionFilter f = Filter(L"EFoo");
    f.ExceptionType = c.type;
    TFilterExceptionData d;
    d.ExceptionType = L"EFoo";
    d.ExceptionHandled = c.handled;
    d.SafeCall = c.safe_call;
    EXPECT_EQ(FilterMatches(f, d, {}), c.matches)
        << "type " << int(c.type) << " handled " << c.handled << " safecall " << c.safe_call;
  }
}

TEST(ExceptionFiltersMatch, ClassNameTextIgnoresCase) {
  TVarnelExceptionsFilters list;
  list.Add(Filter(L"econverterror"));
  EXPECT_EQ(list.FindException(L"EConvertError", false, 0, nullptr), 0);
  EXPECT_EQ(list.FindException(L"EConvertErrorX", false, 0, nullptr), -1);
  EXPECT_EQ(list.FindException(L"EConvert", false, 0, nullptr), -1);
}

TEST(ExceptionFiltersMatch, ReaderDecidesAncestorsAndTextIsNotUsed) {
  FakeReader reader;
  FakeObject obj{{L"EChild", L"EParent", L"Exception"}, {}, false};
  TFilterExceptionData d;
  d.ExceptionType = L"SomethingElse";  // ignored once a reader is present
  d.ExceptionObject = &obj;
  d.Reader = &reader;
  EXPECT_TRUE(FilterMatches(Filter(L"eparent"), d, {}));
  EXPECT_TRUE(FilterMatches(Filter(L"EChild"), d, {}));
  EXPECT_FALSE(FilterMatches(Filter(L"SomethingElse"), d, {}));
  EXPECT_FALSE(FilterMatches(Filter(L"EOther"), d, {}));

  // Without an object the reader cannot tell, and the text decides.
  d.ExceptionObject = nullptr;
  EXPECT_TRUE(FilterMatches(Filter(L"somethingelse"), d, {}));
  EXPECT_FALSE(FilterMatches(Filter(L"EParent"), d, {}));
}

TEST(ExceptionFiltersMatch, LocationFieldsCompareWithoutCaseAndExtensions) {
  const auto where = FixedLocation(L"C:\\Program Files\\Term\\zelvic.dll", L"Indicator.Core", L"TBarScanner",
                                   L"ScanBars");
  struct Case {
    const wchar_t *module, *unit, *cls, *proc;
    bool matches;
  };
  const Case cases[] = {
      {L"ZELVIC.DLL", L"", L"", L"", true},
      {L"D:\\other\\ZELVIC.DLL", L"", L"", L"", true},
      {L"zelvic.exe", L"", L"", L"", false},
      {L"", L"INDICATOR.pas", L"", L"", true},  // "Indicator.Core" without extension is "Indicator"
      {L"", L"indicator.core.pas", L"", L"", false},
      {L"", L"Other.pas", L"", L"", false},
      {L"", L"", L"tbarscanner", L"", true},
      {L"", L"", L"TBar", L"", false},
      {L"", L"", L"", L"SCANBARS", true},
      {L"", L"", L"", L"Scan", false},
      {L"zelvic.dll", L"Indicator", L"TBarScanner", L"ScanBars", true},
      {L"zelvic.dll", L"Indicator", L"TBarScanner", L"Other", false},
  };
  for (const Case& c : cases) {
    TVarnelExceptionFilter f = Filter(L"EFoo");
    f.SourceModule = c.module;
    f.SourceUnit = c.unit;
    f.SourceClass = c.cls;
    f.SourceProcedure = c.proc;
    TFilterExceptionData d;
    d.ExceptionType = L"EFoo";
    EXPECT_EQ(FilterMatches(f, d, where), c.matches) << c.module << "|" << c.unit << "|" << c.cls << "|" << c.proc;
  }
}

TEST(ExceptionFiltersMatch, UnitWithExtensionMatchesUnitInOtherCase) {
  TVarnelExceptionFilter f = Filter(L"EFoo");
  f.SourceUnit = L"MyUnit.pas";
  TFilterExceptionData d;
  d.ExceptionType = L"EFoo";
  EXPECT_TRUE(FilterMatches(f, d, FixedLocation(L"a.dll", L"MYUNIT", L"", L"")));
  EXPECT_TRUE(FilterMatches(f, d, FixedLocation(L"a.dll", L"myunit.PAS", L"", L"")));
  EXPECT_FALSE(FilterMatches(f, d, FixedLocation(L"a.dll", L"MyUnit2", L"", L"")));
}

TEST(ExceptionFiltersMatch, LocationIsLookedUpOnlyWhenNeededAndForTheExceptionAddress) {
  int calls = 0;
  std::uintptr_t seen = 0;
  TFilterGetLocation where = [&](std::uintptr_t a, TFilterLocation& info) {
    ++calls;
    seen = a;
    info.ProcedureName = L"Run";
  };
  TFilterExceptionData d;
  d.ExceptionType = L"EFoo";
  d.ExceptionAddress = 0x401234;
  EXPECT_TRUE(FilterMatches(Filter(L"EFoo"), d, where));
  EXPECT_EQ(calls, 0);
  TVarnelExceptionFilter f = Filter(L"EBar");
  f.SourceProcedure = L"Run";
  EXPECT_FALSE(FilterMatches(f, d, where));
  EXPECT_EQ(calls, 0);  // the class does not fit
  f.ExceptionClassName = L"EFoo";
  EXPECT_TRUE(FilterMatches(f, d, where));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, 0x401234u);
}

TEST(ExceptionFiltersMatch, PropertyConditions) {
  FakeReader reader;
  FakeObject obj{{L"EDbError"}, {{L"ErrorCode", Num(42)}, {L"State", Txt(L"dsEdit")}, {L"Ratio", Num(0.5)}}, false};
  struct Case {
    const wchar_t* properties;
    bool matches;
  };
  const Case cases[] = {
      {L"ErrorCode=42", true},
      {L"ErrorCode=042", true},
      {L"ErrorCode=43", false},
      {L"ErrorCode=abc", false},
      {L"Ratio=0.5", true},
      {L"State=dsEdit", true},
      {L"State=dsedit", false},  // values compare with case
      {L"ErrorCode=42\nState=dsEdit", true},
      {L"ErrorCode=42\r\n\r\nState=dsEdit\r", true},
      {L"ErrorCode=42\rState=dsBrowse", false},
      {L"Missing=1", false},
      {L"=ignored\n\nErrorCode=42", true},
      {L"State=\"dsEdit\"", true},  // values are in the encoded form
  };
  for (const Case& c : cases) {
    TVarnelExceptionFilter f = Filter(L"EDbError");
    f.Properties = c.properties;
    TFilterExceptionData d;
    d.ExceptionType = L"EDbError";
    d.ExceptionObject = &obj;
    d.Reader = &reader;
    EXPECT_EQ(FilterMatches(f, d, {}), c.matches) << c.properties;
  }
}

TEST(ExceptionFiltersMatch, PropertyConditionsNeedAUsableObject) {
  FakeReader reader;
  FakeObject foreign{{L"EDbError"}, {{L"ErrorCode", Num(42)}}, true};
  TVarnelExceptionFilter f = Filter(L"EDbError");
  f.Properties = L"ErrorCode=42";
  TFilterExceptionData d;
  d.ExceptionType = L"EDbError";

  EXPECT_FALSE(FilterMatches(f, d, {}));  // no object

  d.ExceptionObject = &foreign;
  d.Reader = &reader;
  EXPECT_TRUE(FilterMatches(f, d, {}));
  reader.accept_foreign = false;
  EXPECT_FALSE(FilterMatches(f, d, {}));  // foreign and not confirmed
  d.ExceptionNative = true;
  EXPECT_TRUE(FilterMatches(f, d, {}));  // native objects need no confirmation

  // Lines without a name are no conditions: the object is not needed.
  f.Properties = L"\r\n=x\r\n";
  d = TFilterExceptionData{};
  d.ExceptionType = L"EDbError";
  EXPECT_TRUE(FilterMatches(f, d, {}));
}

TEST(ExceptionFiltersMatch, NativeObjectsWithoutARecordReaderUseTheInstalledReader) {
  FakeReader reader;
  FakeObject obj{{L"EDbError"}, {{L"ErrorCode", Num(7)}}, false};
  TVarnelExceptionsFilters list;
  TVarnelExceptionFilter f = Filter(L"EDbError");
  f.Properties = L"ErrorCode=7";
  list.Add(f);
  EXPECT_EQ(list.FindException(L"EDbError", false, 0, &obj), -1);
  SetNativeFilterObjectReader(&reader);
  EXPECT_EQ(list.FindException(L"EDbError", false, 0, &obj), 0);
  SetNativeFilterObjectReader(nullptr);
}

TEST(ExceptionFiltersFind, FirstActiveMatchInListOrder) {
  TVarnelExceptionsFilters list;
  TVarnelExceptionFilter inactive = Filter(L"EFoo");
  inactive.Active = false;
  list.Add(inactive);
  TVarnelExceptionFilter handled_only = Filter(L"EFoo");
  handled_only.ExceptionType = fetHandled;
  list.Add(handled_only);
  TVarnelExceptionFilter any = Filter(L"EFoo");
  any.ExceptionMessage = L"x";
  list.Add(any);
  EXPECT_EQ(list.FindException(L"EFoo", true, 0, nullptr), 1);
  EXPECT_EQ(list.FindException(L"EFoo", false, 0, nullptr), 2);
  EXPECT_EQ(list.FindException(L"EBar", false, 0, nullptr), -1);
  EXPECT_EQ(list.Count(), 3);
}

TEST(ExceptionFiltersFind, AnnotationsOfTheOwnClassBuildAFilter) {
  RegisterFilterAnnotations(L"EAnnotatedAction", {VarnelLogAction{fatRestart}});
  FakeObject obj{{L"EAnnotatedAction"}, {}, false};
  TVarnelExceptionsFilters list;
  list.Add(Filter(L"EUnrelated"));
  const int index = list.FindException(L"EAnnotatedAction", false, 0, &obj);
  ASSERT_EQ(index, 1);
  ASSERT_EQ(list.Count(), 2);
  TVarnelExceptionFilter expected;
  expected.Active = true;
  expected.ExceptionClassName = L"EAnnotatedAction";
  expected.ExceptionType = fetAll;
  expected.HandlerType = fhtVarnelLog;
  expected.DialogType = L" ";
  expected.ActionType = fatRestart;
  EXPECT_EQ(list.GetItem(1), expected);
  // The built filter is kept and found by the ordinary walk from now on.
  EXPECT_EQ(list.FindException(L"EAnnotatedAction", false, 0, &obj), 1);
  EXPECT_EQ(list.Count(), 2);
  // Without an object there is no class to ask.
  TVarnelExceptionsFilters empty;
  EXPECT_EQ(empty.FindException(L"EAnnotatedAction", false, 0, nullptr), -1);
  RegisterFilterAnnotations(L"EAnnotatedAction", {});
}

TEST(ExceptionFiltersFind, LaterAnnotationsWinAndAncestorsDoNotCount) {
  RegisterFilterAnnotations(L"EAnnParent", {VarnelLogHandler{fhtRTL}});
  RegisterFilterAnnotations(
      L"EAnnAll", {VarnelLogHandler{fhtNone}, VarnelLogMessage{L"m1"}, VarnelLogDialog{L"TMSClassicDialog"},
                   VarnelLogExpected(-5, L"http://help/x", 0xBEEF), VarnelLogMessage{L"m2"}});
  FakeReader reader;
  FakeObject child{{L"EAnnChild", L"EAnnParent"}, {}, false};
  FakeObject all{{L"EAnnAll"}, {}, true};
  TVarnelExceptionsFilters list;

  TFilterExceptionData d;
  d.ExceptionType = L"EAnnChild";
  d.ExceptionObject = &child;
  d.Reader = &reader;
  EXPECT_EQ(list.FindException(d), -1);

  d.ExceptionType = L"ignored";
  d.ExceptionObject = &all;
  reader.accept_foreign = false;
  EXPECT_EQ(list.FindException(d), -1);  // the reader does not accept it
  reader.accept_foreign = true;
  ASSERT_EQ(list.FindException(d), 0);
  const TVarnelExceptionFilter f = list.GetItem(0);
  EXPECT_EQ(f.ExceptionClassName, L"EAnnAll");
  EXPECT_EQ(f.HandlerType, fhtNone);
  EXPECT_EQ(f.ExceptionMessage, L"m2");
  EXPECT_EQ(f.DialogType, L"TMSClassicDialog");
  EXPECT_EQ(f.ExpectedContext, -5);
  EXPECT_EQ(f.ExpectedURL, L"http://help/x");
  EXPECT_EQ(f.ExpectedBugID, 0xBEEFu);
  EXPECT_EQ(f.ActionType, fatUnchanged);
  RegisterFilterAnnotations(L"EAnnParent", {});
  RegisterFilterAnnotations(L"EAnnAll", {});
}

TVarnelExceptionFilter FullFilter(int n) {
  TVarnelExceptionFilter f;
  f.Active = n % 2 == 0;
  f.ExceptionClassName = L"EClass" + std::to_wstring(n);
  f.ExceptionType = fetSafeCall;
  f.SourceModule = L"mod.dll";
  f.SourceUnit = L"Unit1";
  f.SourceClass = L"TForm1";
  f.SourceProcedure = L"Button1Click";
  f.Properties = L"A=1\r\nB=\"two\"";
  f.ExceptionMessage = L"Line one\r\nLine \"two\" -- %EXCEPTION_MESSAGE%";
  f.DialogType = L" ";
  f.HandlerType = fhtRTL;
  f.ActionType = fatTerminate;
  f.ExpectedContext = -7 - n;
  f.ExpectedURL = L"https://example.org/help?x=1";
  f.ExpectedBugID = 2147483647u - static_cast<std::uint32_t>(n);
  return f;
}

TEST(ExceptionFiltersStore, RoundTripThroughStoreAndLines) {
  TVarnelExceptionsFilters list;
  list.Add(FullFilter(0));
  list.Add(FullFilter(1));

  TNameValueStorage store;
  list.AssignTo(store);
  EXPECT_EQ(store.GetValue(L"FiltersCount"), L"2");
  EXPECT_EQ(store.GetValue(L"Filters_1_Message"), FullFilter(1).ExceptionMessage);  // plain in the store
  EXPECT_EQ(store.GetValue(L"Filters_0_Handled"), L"3");
  EXPECT_EQ(store.GetValue(L"Filters_1_Active"), L"0");
  TVarnelExceptionsFilters back;
  back.Assign(store);
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.GetItem(0), FullFilter(0));
  EXPECT_EQ(back.GetItem(1), FullFilter(1));

  std::vector<std::wstring> lines;
  list.AssignTo(lines);
  for (const std::wstring& line : lines) {
    EXPECT_EQ(line.find(L'\r'), std::wstring::npos) << "raw line break in an encoded line";
  }
  TVarnelExceptionsFilters from_lines;
  from_lines.Assign(lines);
  ASSERT_EQ(from_lines.Count(), 2);
  EXPECT_EQ(from_lines.GetItem(1), FullFilter(1));

  TVarnelExceptionsFilters copy;
  copy.Add(Filter(L"EGone"));
  copy.Assign(list);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.GetItem(0), FullFilter(0));
}

TEST(ExceptionFiltersStore, PropertiesAreTrimmedBothWays) {
  TVarnelExceptionsFilters list;
  TVarnelExceptionFilter f = Filter(L"E");
  f.Properties = L"  A=1\r\n ";
  list.Add(f);
  TNameValueStorage store;
  list.AssignTo(store);
  EXPECT_EQ(store.GetValue(L"Filters_0_Properties"), L"A=1");
  store.SetValue(L"Filters_0_Properties", L"\r\nB=2  ");
  list.Assign(store);
  EXPECT_EQ(list.GetItem(0).Properties, L"B=2");
}

TEST(ExceptionFiltersStore, CurrentFormDefaults) {
  TNameValueStorage store;
  store.SetValue(L"FiltersCount", L"1");
  store.SetValue(L"Filters_0_Type", L"EFoo");
  store.SetValue(L"Filters_0_Handler", L"not a number");
  TVarnelExceptionsFilters list;
  list.Assign(store);
  ASSERT_EQ(list.Count(), 1);
  TVarnelExceptionFilter expected;
  expected.Active = true;
  expected.ExceptionClassName = L"EFoo";
  expected.ExceptionType = fetAll;
  expected.HandlerType = fhtVarnelLog;
  expected.ActionType = fatUnchanged;
  expected.ExpectedContext = -1;
  EXPECT_EQ(list.GetItem(0), expected);

  store.SetValue(L"Filters_0_Active", L"5");
  store.SetValue(L"Filters_0_Context", L"0");
  store.SetValue(L"Filters_0_BugID", L"2147483647");
  list.Assign(store);
  EXPECT_TRUE(list.GetItem(0).Active);
  EXPECT_EQ(list.GetItem(0).ExpectedContext, 0);
  EXPECT_EQ(list.GetItem(0).ExpectedBugID, 2147483647u);
}

TEST(ExceptionFiltersStore, BugIdAboveSignedRangeRaisesRangeError) {
  for (const wchar_t* value : {L"2147483648", L"4294967295", L"-1"}) {
    TNameValueStorage store;
    store.SetValue(L"FiltersCount", L"1");
    store.SetValue(L"Filters_0_BugID", value);
    TVarnelExceptionsFilters list;
    EXPECT_THROW(list.Assign(store), ERangeError) << value;
  }
}

TEST(ExceptionFiltersStore, DuplicatesCollapseWhenRead) {
  TNameValueStorage store;
  store.SetValue(L"FiltersCount", L"3");
  for (int i = 0; i < 3; ++i) store.SetValue(L"Filters_" + std::to_wstring(i) + L"_Type", i == 2 ? L"EB" : L"EA");
  TVarnelExceptionsFilters list;
  list.Assign(store);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetItem(1).ExceptionClassName, L"EB");
}

TEST(ExceptionFiltersStore, FiltersCountWinsOverLeftOverCount) {
  TNameValueStorage store;
  store.SetValue(L"FiltersCount", L"0");
  store.SetValue(L"Count", L"3");
  store.SetValue(L"T0", L"EFoo");
  TVarnelExceptionsFilters list;
  list.Add(Filter(L"EOld"));
  list.Assign(store);
  EXPECT_EQ(list.Count(), 0);

  TNameValueStorage empty;
  list.Add(Filter(L"EOld"));
  list.Assign(empty);
  EXPECT_EQ(list.Count(), 0);
}

TEST(ExceptionFiltersStore, OldestFormWithoutActKey) {
  TNameValueStorage store;
  store.SetValue(L"Count", L"2");
  store.SetValue(L"T0", L"EFoo");
  store.SetValue(L"M0", L"Something failed");
  store.SetValue(L"T1", L"EBar");
  TVarnelExceptionsFilters list;
  list.Assign(store);
  ASSERT_EQ(list.Count(), 2);
  TVarnelExceptionFilter expected;
  expected.Active = false;
  expected.ExceptionClassName = L"EFoo";
  expected.ExceptionMessage = L"Something failed";
  expected.ExceptionType = fetUnhandled;
  expected.DialogType = L"TMessageBoxDialog";
  expected.HandlerType = fhtNone;
  expected.ActionType = fatNone;
  EXPECT_EQ(list.GetItem(0), expected);
  EXPECT_EQ(list.GetItem(1).DialogType, L"");  // no message, no dialog
  EXPECT_EQ(list.GetItem(1).ExceptionClassName, L"EBar");
}

TEST(ExceptionFiltersStore, OlderFormWithActKeyAndDialogCodes) {
  struct Case {
    const wchar_t* dialog_code;  // null: key absent
    const wchar_t* dialog;
  };
  const Case cases[] = {
      {nullptr, L"TVarnelLogDialog"}, {L"0", L""},    {L"1", L" "},
      {L"2", L"TMessageBoxDialog"},   {L"3", L"TMSClassicDialog"},
      {L"4", L"TVarnelLogDialog"},    {L"130", L"TMessageBoxDialog"},  // low 7 bits
      {L"5", L""},                    {L"x", L"TVarnelLogDialog"},
  };
  for (const Case& c : cases) {
    TNameValueStorage store;
    store.SetValue(L"Count", L"1");
    store.SetValue(L"Act0", L"1");
    store.SetValue(L"T0", L"EFoo");
    if (c.dialog_code) store.SetValue(L"D0", c.dialog_code);
    TVarnelExceptionsFilters list;
    list.Assign(store);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.GetItem(0).DialogType, c.dialog) << (c.dialog_code ? c.dialog_code : L"(absent)");
  }

  TNameValueStorage store;
  store.SetValue(L"Count", L"11");
  store.SetValue(L"Act10", L"0");
  store.SetValue(L"T10", L"EEleventh");
  store.SetValue(L"NM10", L"2");
  store.SetValue(L"M0A00", L"first");
  store.SetValue(L"M0A01", L"second");
  store.SetValue(L"M10", L"not used when NM is given");
  store.SetValue(L"Z10", L"1");
  store.SetValue(L"H10", L"1");
  store.SetValue(L"A10", L"2");
  TVarnelExceptionsFilters list;
  list.Assign(store);
  // Filters 0..9 are all the same oldest-form empty filter: one entry.
  ASSERT_EQ(list.Count(), 2);
  const TVarnelExceptionFilter f = list.GetItem(1);
  EXPECT_FALSE(f.Active);
  EXPECT_EQ(f.ExceptionClassName, L"EEleventh");
  EXPECT_EQ(f.ExceptionMessage, L"first\r\nsecond");
  EXPECT_EQ(f.ExceptionType, fetHandled);
  EXPECT_EQ(f.DialogType, L"TVarnelLogDialog");
  EXPECT_EQ(f.HandlerType, fhtRTL);
  EXPECT_EQ(f.ActionType, fatRestart);
  EXPECT_EQ(f.ExpectedContext, 0);

  // Defaults of the older form with an "Act" key.
  TNameValueStorage defaults;
  defaults.SetValue(L"Count", L"1");
  defaults.SetValue(L"Act0", L"yes");
  list.Assign(defaults);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.GetItem(0).Active);
  EXPECT_EQ(list.GetItem(0).ExceptionType, fetUnhandled);
  EXPECT_EQ(list.GetItem(0).HandlerType, fhtVarnelLog);
  EXPECT_EQ(list.GetItem(0).ActionType, fatNone);
}

TEST(ExceptionFiltersStore, LinesAreDecodedWhenRead) {
  const std::vector<std::wstring> lines = {L"Count=1", L"Act0=1", L"T0=EFoo", L"M0=" + EncodeValue(L"a\r\nb")};
  TVarnelExceptionsFilters list;
  list.Assign(lines);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.GetItem(0).ExceptionMessage, L"a\r\nb");
}

TEST(ExceptionFiltersStore, WritingRemovesEveryFilterKeyFirst) {
  TNameValueStorage store;
  TVarnelExceptionsFilters five;
  for (int i = 0; i < 5; ++i) five.Add(FullFilter(i));
  five.AssignTo(store);
  // Older-form keys and unrelated keys next to them.
  const std::vector<std::pair<std::wstring, std::wstring>> extra = {
      {L"Count", L"5"},   {L"Act3", L"1"},      {L"T4", L"EOld"}, {L"NM2", L"1"},        {L"M0201", L"x"},
      {L"z0", L"1"},      {L"d1", L"2"},        {L"H", L"1"},     {L"aFF", L"0"},        {L"FILTERSjunk", L"1"},
      {L"Title", L"keep"}, {L"Mode", L"keep"}, {L"Tx", L"keep"}, {L"ActiveX", L"keep"}, {L"Version", L"keep"}};
  for (const auto& [name, value] : extra) store.SetValue(name, value);

  TVarnelExceptionsFilters two;
  two.Add(FullFilter(7));
  two.Add(FullFilter(8));
  two.AssignTo(store);

  std::vector<std::wstring> names;
  for (std::size_t i = 0; i < store.Count(); ++i) names.push_back(store.GetName(i));
  std::vector<std::wstring> expected = {L"Count", L"Title", L"Mode", L"Tx", L"ActiveX", L"Version", L"FiltersCount"};
  for (int i = 0; i < 2; ++i) {
    for (const wchar_t* field : {L"Active", L"Type", L"Message", L"Handled", L"Dialog", L"Handler", L"Action",
                                 L"Module", L"Unit", L"Class", L"Routine", L"Context", L"URL", L"BugID",
                                 L"Properties"}) {
      expected.push_back(L"Filters_" + std::to_wstring(i) + L"_" + field);
    }
  }
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  EXPECT_EQ(store.GetValue(L"FiltersCount"), L"2");
  EXPECT_EQ(store.GetValue(L"Count"), L"0");
  EXPECT_EQ(store.GetValue(L"Title"), L"keep");

  TVarnelExceptionsFilters back;
  back.Assign(store);
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.GetItem(0), FullFilter(7));

  // Without a "Count" value no "Count" key appears.
  TNameValueStorage fresh;
  two.AssignTo(fresh);
  EXPECT_FALSE(fresh.HasName(L"Count"));

  std::vector<std::wstring> lines = {L"Count=4", L"T0=EOld", L"Filters_9_Type=EGone", L"Other=1"};
  two.AssignTo(lines);
  EXPECT_NE(std::find(lines.begin(), lines.end(), L"Count=0"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), L"Other=1"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), L"FiltersCount=2"), lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), L"T0=EOld"), lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), L"Filters_9_Type=EGone"), lines.end());
}

TEST(ExceptionFiltersStore, FilterKeyRecognition) {
  struct Case {
    const wchar_t* name;
    bool is_filter_key;
  };
  const Case cases[] = {
      {L"FiltersCount", true}, {L"filters_0_Type", true}, {L"Filters", true}, {L"Act", true},
      {L"act1F", true},        {L"T", true},              {L"T0", true},      {L"tABCdef", true},
      {L"NM10", true},         {L"M0A01", true},          {L"Z3", true},      {L"D9", true},
      {L"H0", true},           {L"A10", true},            {L"Dead", true},    {L"Filter", false},
      {L"Count", false},       {L"T0g", false},           {L"Tx", false},     {L"Active", false},
      {L"NMX", false},         {L"Version", false},       {L"", false},       {L"B0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsFilterKey(c.name), c.is_filter_key) << c.name;
}

// --- the list of a module's options ---------------------------------------------------

std::vector<std::uint8_t> Utf8Text(std::string_view text) {
  std::string marked = "\xEF\xBB\xBF";
  marked += text;
  return {marked.begin(), marked.end()};
}

std::vector<TVarnelExceptionFilter> ItemsOf(const TVarnelExceptionsFilters& list) {
  std::vector<TVarnelExceptionFilter> items;
  for (int i = 0; i < list.Count(); ++i) items.push_back(list.GetItem(i));
  return items;
}

// The filters the options' store holds right now, read by a list of its own.
std::vector<TVarnelExceptionFilter> StoredFilters(const TVarnelModuleOptions& options) {
  TVarnelExceptionsFilters stored;
  stored.Assign(options.Storage());
  return ItemsOf(stored);
}

std::vector<std::wstring> StoredNames(const TVarnelModuleOptions& options) {
  std::vector<std::wstring> names;
  const TNameValueStorage& store = options.Storage();
  for (std::size_t i = 0; i < store.Count(); ++i) names.push_back(store.GetName(i));
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ExceptionFiltersOfOptions, TheListBelongsToItsOptions) {
  TVarnelModuleOptions o;
  const TVarnelModuleOptions& read_only = o;
  EXPECT_EQ(o.ExceptionsFilters().Owner(), &o);
  EXPECT_EQ(&read_only.ExceptionsFilters(), &o.ExceptionsFilters());
  EXPECT_EQ(o.ExceptionsFilters().Count(), 0);
  // A fresh object has nothing to write back: no filter keys appear.
  EXPECT_FALSE(o.NeedUpdate());
  EXPECT_EQ(StoredNames(o), (std::vector<std::wstring>{L"CompatibilityMode", L"VarnelLog Version"}));
}

TEST(ExceptionFiltersOfOptions, LoadingATextWithFilterKeysFillsTheList) {
  TVarnelModuleOptions o;
  o.LoadFromStream(Utf8Text("VarnelLog Version=7007\r\n"
                            "FiltersCount=2\r\n"
                            "Filters_0_Type=\"EConvertError\"\r\n"
                            "Filters_0_Message=\"Bad \\qnumber\\q\\r\\nTry again \\d\\d later\"\r\n"
                            "Filters_0_Handler=1\r\n"
                            "Filters_0_Module=\"app.exe\"\r\n"
                            "Filters_0_BugID=2147483647\r\n"
                            "Filters_1_Active=0\r\n"
                            "Filters_1_Type=\"EAbort\"\r\n"
                            "Filters_1_Handled=2\r\n"
                            "Filters_1_Context=0\r\n"
                            "Filters_1_Properties=\"  Code=5\\r\\n\""),
                   7007);
  const TVarnelExceptionsFilters& list = o.ExceptionsFilters();
  ASSERT_EQ(list.Count(), 2);
  TVarnelExceptionFilter first;
  first.Active = true;
  first.ExceptionClassName = L"EConvertError";
  first.ExceptionMessage = L"Bad \"number\"\r\nTry again -- later";
  first.HandlerType = fhtRTL;
  first.ActionType = fatUnchanged;
  first.SourceModule = L"app.exe";
  first.ExpectedContext = -1;
  first.ExpectedBugID = 2147483647u;
  EXPECT_EQ(list.GetItem(0), first);
  TVarnelExceptionFilter second;
  second.ExceptionClassName = L"EAbort";
  second.ExceptionType = fetUnhandled;
  second.HandlerType = fhtVarnelLog;
  second.ActionType = fatUnchanged;
  second.Properties = L"Code=5";
  EXPECT_EQ(list.GetItem(1), second);
  // Reading is no change: the store keeps the text's keys as they were.
  EXPECT_FALSE(o.NeedUpdate());
  EXPECT_EQ(o.Storage().GetValue(L"Filters_1_Properties"), L"  Code=5\r\n");
  EXPECT_FALSE(o.Storage().HasName(L"Filters_1_Message"));
}

TEST(ExceptionFiltersOfOptions, OlderKeysAreRewrittenInTheCurrentFormAfterAnyChange) {
  const auto older_text = Utf8Text(
      "VarnelLog Version=7007\r\nActivate=1\r\nCount=2\r\n"
      "Act0=1\r\nT0=\"EFoo\"\r\nM0=\"Foo failed\"\r\nZ0=1\r\nD0=2\r\nH0=1\r\nA0=2\r\n"
      "T1=\"EBar\"\r\nNM1=2\r\nM0100=\"first\"\r\nM0101=\"second\"");
  const std::vector<std::wstring> older_keys = {L"Act0", L"T0", L"M0",    L"Z0",    L"D0", L"H0",
                                                L"A0",   L"T1", L"NM1",   L"M0100", L"M0101"};
  TVarnelExceptionFilter foo;
  foo.Active = true;
  foo.ExceptionClassName = L"EFoo";
  foo.ExceptionMessage = L"Foo failed";
  foo.ExceptionType = fetHandled;
  foo.DialogType = L"TMessageBoxDialog";
  foo.HandlerType = fhtRTL;
  foo.ActionType = fatRestart;
  TVarnelExceptionFilter bar;
  bar.ExceptionClassName = L"EBar";
  bar.ExceptionMessage = L"first\r\nsecond";
  bar.ExceptionType = fetUnhandled;
  bar.DialogType = L"TMessageBoxDialog";
  bar.HandlerType = fhtNone;
  bar.ActionType = fatNone;

  struct Change {
    const char* what;
    void (*apply)(TVarnelModuleOptions&);
    bool adds_ignored;
  };
  const Change changes[] = {
      {"a filter added", [](TVarnelModuleOptions& o) { o.ExceptionsFilters().AddIgnoredException(L"EBaz"); }, true},
      {"a text set", [](TVarnelModuleOptions& o) { o.SetCustomizedTexts(mtDialog_Caption, L"Caption"); }, false},
  };
  for (const Change& change : changes) {
    TVarnelModuleOptions o;
    o.LoadFromStream(older_text, 7007);
    ASSERT_EQ(ItemsOf(o.ExceptionsFilters()), (std::vector<TVarnelExceptionFilter>{foo, bar})) << change.what;
    // Until something changes, the store keeps the form it was given.
    EXPECT_EQ(o.Storage().GetValue(L"T0"), L"EFoo") << change.what;
    EXPECT_FALSE(o.Storage().HasName(L"FiltersCount")) << change.what;

    change.apply(o);
    EXPECT_TRUE(o.NeedUpdate()) << change.what;
    const TNameValueStorage& store = o.Storage();
    EXPECT_FALSE(o.NeedUpdate()) << change.what;
    for (const std::wstring& key : older_keys) {
      EXPECT_FALSE(store.HasName(key)) << change.what << ": " << key;
    }
    // The older count stays, at 0, so an older reader finds no filters.
    EXPECT_EQ(store.GetValue(L"Count"), L"0") << change.what;
    EXPECT_EQ(store.GetValue(L"Activate"), L"1") << change.what;
    std::vector<TVarnelExceptionFilter> expected = {foo, bar};
    if (change.adds_ignored) {
      TVarnelExceptionsFilters shortcut;
      shortcut.AddIgnoredException(L"EBaz");
      expected.push_back(shortcut.GetItem(0));
    }
    EXPECT_EQ(o.Storage().GetValue(L"FiltersCount"), std::to_wstring(expected.size())) << change.what;
    EXPECT_EQ(StoredFilters(o), expected) << change.what;

    // The rewritten text loads back to the same list.
    TVarnelModuleOptions back;
    back.LoadFromStream(o.SaveToStream(false, true), 7007);
    EXPECT_EQ(ItemsOf(back.ExceptionsFilters()), expected) << change.what;
  }
}

TEST(ExceptionFiltersOfOptions, ChangesThroughTheListReachTheStoreAtTheNextRead) {
  struct Step {
    const char* what;
    void (*apply)(TVarnelExceptionsFilters&);
    bool changes;
  };
  const Step steps[] = {
      {"Add", [](TVarnelExceptionsFilters& l) { l.Add(Filter(L"EOne")); }, true},
      {"Add of an equal filter", [](TVarnelExceptionsFilters& l) { l.Add(Filter(L"EOne")); }, false},
      {"Insert", [](TVarnelExceptionsFilters& l) { l.Insert(0, FullFilter(3)); }, true},
      {"AddExpectedException", [](TVarnelExceptionsFilters& l) { l.AddExpectedException(L"ETwo"); }, true},
      {"AddFullyIgnoredException", [](TVarnelExceptionsFilters& l) { l.AddFullyIgnoredException(L"E3"); }, true},
      {"Delete", [](TVarnelExceptionsFilters& l) { l.Delete(1); }, true},
      {"Assign from a list",
       [](TVarnelExceptionsFilters& l) {
         TVarnelExceptionsFilters other;
         other.Add(FullFilter(4));
         other.Add(FullFilter(5));
         l.Assign(other);
       },
       true},
      {"Clear", [](TVarnelExceptionsFilters& l) { l.Clear(); }, true},
      {"Clear of an empty list", [](TVarnelExceptionsFilters& l) { l.Clear(); }, false},
  };
  TVarnelModuleOptions o;
  for (const Step& step : steps) {
    step.apply(o.ExceptionsFilters());
    EXPECT_EQ(o.NeedUpdate(), step.changes) << step.what;
    const std::wstring text = o.ToString();
    EXPECT_FALSE(o.NeedUpdate()) << step.what;
    EXPECT_NE(text.find(L"FiltersCount=" + std::to_wstring(o.ExceptionsFilters().Count()) + L"\r\n"),
              std::wstring::npos)
        << step.what;
    EXPECT_EQ(StoredFilters(o), ItemsOf(o.ExceptionsFilters())) << step.what;
  }
}

// Reading any key by name sees pending filters and texts, as reading the
// whole store does.
TEST(ExceptionFiltersOfOptions, KeysReadByNameSeePendingChanges) {
  TVarnelModuleOptions o;
  o.ExceptionsFilters().AddIgnoredException(L"EPending");
  EXPECT_EQ(o.GetCustomFieldInt(L"FiltersCount", -1), 1);
  o.ExceptionsFilters().AddExpectedException(L"ESecond");
  EXPECT_EQ(o.GetCustomField(L"Filters_1_Type"), L"ESecond");
  EXPECT_FALSE(o.NeedUpdate());
}

TEST(ExceptionFiltersOfOptions, APendingFilterSurvivesAStoreChange) {
  TVarnelModuleOptions o;
  o.ExceptionsFilters().AddExpectedException(L"EKept");
  // The change's refresh re-reads the filters from the store; the pending one
  // must have been written there first.
  o.MutableStorage().SetValue(L"Unrelated", L"1");
  ASSERT_EQ(o.ExceptionsFilters().Count(), 1);
  EXPECT_EQ(o.ExceptionsFilters().GetItem(0).ExceptionClassName, L"EKept");
  EXPECT_EQ(o.Storage().GetValue(L"Filters_0_Type"), L"EKept");
}

TEST(ExceptionFiltersOfOptions, APendingFilterAndAPendingTextAreBothWrittenBack) {
  // Writing the filters notifies the store; a refresh at that moment would
  // read the texts back from the store before the pending one is in it.
  TVarnelModuleOptions o;
  o.SetCustomizedTexts(mtDialog_Caption, L"Mine");
  o.ExceptionsFilters().AddFullyIgnoredException(L"EQuiet");
  const TNameValueStorage& store = o.Storage();
  EXPECT_EQ(store.GetValue(L"mtDialog_Caption"), L"Mine");
  EXPECT_EQ(store.GetValue(L"Filters_0_Type"), L"EQuiet");
  EXPECT_EQ(o.GetCustomizedTexts(mtDialog_Caption), L"Mine");
  EXPECT_EQ(o.ExceptionsFilters().Count(), 1);
  // And the object still refreshes on later changes.
  o.MutableStorage().SetValue(L"mtDialog_Caption", L"Theirs");
  EXPECT_EQ(o.GetCustomizedTexts(mtDialog_Caption), L"Theirs");
}

TEST(ExceptionFiltersOfOptions, DefaultsClearTheListAndItsKeys) {
  TVarnelModuleOptions o;
  o.LoadFromStream(Utf8Text("VarnelLog Version=7007\r\nFiltersCount=1\r\nFilters_0_Type=\"EFoo\"\r\nCount=1\r\n"
                            "T0=\"EOld\""),
                   7007);
  ASSERT_EQ(o.ExceptionsFilters().Count(), 1);
  o.ExceptionsFilters().AddIgnoredException(L"EPending");
  ASSERT_TRUE(o.NeedUpdate());
  o.SetToDefaultOptions();
  EXPECT_EQ(o.ExceptionsFilters().Count(), 0);
  EXPECT_FALSE(o.NeedUpdate());
  EXPECT_EQ(StoredNames(o), (std::vector<std::wstring>{L"CompatibilityMode", L"VarnelLog Version"}));

  o.ExceptionsFilters().AddIgnoredException(L"EAgain");
  o.Assign(nullptr);
  EXPECT_EQ(o.ExceptionsFilters().Count(), 0);
  EXPECT_EQ(StoredNames(o), (std::vector<std::wstring>{L"CompatibilityMode", L"VarnelLog Version"}));
}

TEST(ExceptionFiltersOfOptions, AssigningOptionsCopiesTheFilters) {
  TVarnelModuleOptions source(L"C:\\a\\source.dll");
  source.LoadFromStream(Utf8Text("VarnelLog Version=7007\r\nFiltersCount=1\r\nFilters_0_Type=\"EStored\""), 7007);
  // One filter only in the list, not yet in the store.
  source.ExceptionsFilters().Add(FullFilter(1));
  ASSERT_TRUE(source.NeedUpdate());
  const std::vector<TVarnelExceptionFilter> expected = ItemsOf(source.ExceptionsFilters());
  ASSERT_EQ(expected.size(), 2u);

  TVarnelModuleOptions copy;
  copy.ExceptionsFilters().AddExpectedException(L"EReplaced");
  copy.Assign(source);
  EXPECT_EQ(ItemsOf(copy.ExceptionsFilters()), expected);
  EXPECT_FALSE(copy.NeedUpdate());
  EXPECT_EQ(copy.ToString(), source.ToString());

  TVarnelModuleOptions other;
  source.AssignTo(other);
  EXPECT_EQ(ItemsOf(other.ExceptionsFilters()), expected);

  // The copy's list is its own and tells its own options.
  copy.ExceptionsFilters().Delete(0);
  EXPECT_TRUE(copy.NeedUpdate());
  EXPECT_FALSE(source.NeedUpdate());
  EXPECT_EQ(source.ExceptionsFilters().Count(), 2);
  EXPECT_EQ(copy.ExceptionsFilters().Owner(), &copy);
}

TEST(ExceptionFiltersOfOptions, AFilterBuiltFromAnnotationsIsStoredAtTheNextWriteBack) {
  RegisterFilterAnnotations(L"EOptionsAnnotated", {VarnelLogAction{fatTerminate}, VarnelLogMessage{L"Noted"}});
  const int object = 0;  // any object: without a reader the class name is the record's text
  TVarnelModuleOptions o;
  o.ExceptionsFilters().AddExpectedException(L"EFirst");
  (void)o.ToString();
  ASSERT_FALSE(o.NeedUpdate());

  // A filter that matches grows nothing and changes nothing.
  EXPECT_EQ(o.ExceptionsFilters().FindException(L"EFirst", false, 0, &object), 0);
  EXPECT_FALSE(o.NeedUpdate());

  EXPECT_EQ(o.ExceptionsFilters().FindException(L"EOptionsAnnotated", false, 0, &object), 1);
  EXPECT_TRUE(o.NeedUpdate());
  const TNameValueStorage& store = o.Storage();
  EXPECT_EQ(store.GetValue(L"FiltersCount"), L"2");
  EXPECT_EQ(store.GetValue(L"Filters_1_Type"), L"EOptionsAnnotated");
  EXPECT_EQ(store.GetValue(L"Filters_1_Action"), L"1");
  EXPECT_EQ(store.GetValue(L"Filters_1_Message"), L"Noted");
  EXPECT_EQ(store.GetValue(L"Filters_1_Handler"), L"2");
  RegisterFilterAnnotations(L"EOptionsAnnotated", {});
}

TEST(ExceptionFiltersOfOptions, SavedFiltersLoadBackUnchanged) {
  TVarnelModuleOptions o(L"m.dll");
  for (int i = 0; i < 3; ++i) o.ExceptionsFilters().Add(FullFilter(i));
  TVarnelExceptionFilter awkward = Filter(L"EAwkward");
  awkward.ExceptionMessage = L"C:\\dir\\new -- \"quoted\"\r\n\ttabbed";
  awkward.Properties = L"Path=\"C:\\\\x\"\r\nCode=-3";
  awkward.ExpectedURL = L"http://h/?a=1&b=--";
  o.ExceptionsFilters().Add(awkward);
  const std::vector<TVarnelExceptionFilter> expected = ItemsOf(o.ExceptionsFilters());
  for (const bool bom : {true, false}) {
    TVarnelModuleOptions back(L"m.dll");
    back.LoadFromStream(o.SaveToStream(false, bom), 0);
    EXPECT_EQ(ItemsOf(back.ExceptionsFilters()), expected) << bom;
    EXPECT_EQ(back.ToString(), o.ToString()) << bom;
  }
}

TEST(ExceptionFiltersOfOptions, ADamagedBugIdentifierFailsTheLoadAndLeavesDefaults) {
  TVarnelModuleOptions o(L"C:\\x\\host.dll");
  o.ExceptionsFilters().AddExpectedException(L"EBefore");
  EXPECT_THROW(o.LoadFromStream(Utf8Text("VarnelLog Version=7007\r\nActivate=1\r\nFiltersCount=2\r\n"
                                         "Filters_0_Type=\"EFine\"\r\nFilters_1_Type=\"EBad\"\r\n"
                                         "Filters_1_BugID=2147483648"),
                                7007),
               ERangeError);
  EXPECT_EQ(o.ExceptionsFilters().Count(), 0);
  EXPECT_FALSE(o.ActivateVarnelLog());
  EXPECT_EQ(o.Version(), 7007);
  EXPECT_TRUE(o.NeedUpdate());
  const TNameValueStorage& store = o.Storage();
  EXPECT_EQ(store.GetValue(L"FiltersCount"), L"0");
  EXPECT_FALSE(store.HasName(L"Filters_0_Type"));
  EXPECT_FALSE(store.HasName(L"Filters_1_BugID"));

  // The object stays usable.
  o.LoadFromStream(Utf8Text("VarnelLog Version=7007\r\nFiltersCount=1\r\nFilters_0_BugID=12"), 7007);
  ASSERT_EQ(o.ExceptionsFilters().Count(), 1);
  EXPECT_EQ(o.ExceptionsFilters().GetItem(0).ExpectedBugID, 12u);
}

TEST(ExceptionFiltersOfOptions, ADamagedBugIdentifierInAStoreChangeKeepsTheStoresKeys) {
  TVarnelModuleOptions o;
  o.LoadFromStream(Utf8Text("VarnelLog Version=7007\r\nFiltersCount=2\r\nFilters_0_Type=\"EFine\"\r\n"
                            "Filters_1_Type=\"EBad\""),
                   7007);
  ASSERT_EQ(o.ExceptionsFilters().Count(), 2);
  TNameValueStorage& store = o.MutableStorage();
  store.BeginUpdate();
  store.SetValue(L"mtDialog_Caption", L"Changed too");
  store.SetValue(L"Filters_1_BugID", L"4294967295");
  EXPECT_THROW(store.EndUpdate(), ERangeError);
  // Nothing half-read: the list is empty, the rest of the state is read, and
  // the keys stay for whoever repairs them.
  EXPECT_EQ(o.ExceptionsFilters().Count(), 0);
  EXPECT_EQ(o.GetCustomizedTexts(mtDialog_Caption), L"Changed too");
  EXPECT_FALSE(o.NeedUpdate());
  EXPECT_EQ(o.Storage().GetValue(L"Filters_1_BugID"), L"4294967295");
  EXPECT_EQ(o.Storage().GetValue(L"Filters_0_Type"), L"EFine");

  o.MutableStorage().SetValue(L"Filters_1_BugID", L"5");
  ASSERT_EQ(o.ExceptionsFilters().Count(), 2);
  EXPECT_EQ(o.ExceptionsFilters().GetItem(1).ExpectedBugID, 5u);
}

TEST(ExceptionFiltersOfOptions, NoOptionOrTextKeyIsTakenForAFilterKey) {
  // Writing the filters back removes every filter key, so an option or a
  // text stored under such a name would be lost at each write-back.
  for (const TOptionDef& def : OptionCatalogue()) {
    for (const wchar_t* key : {def.Key, def.CompatKey, def.RuleKey}) {
      EXPECT_FALSE(IsFilterKey(key)) << def.Property << ": " << std::wstring(key);
    }
  }
  for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
    const std::wstring name(MessageTypeName(static_cast<TMessageType>(i)));
    if (name.empty()) continue;
    EXPECT_FALSE(IsFilterKey(name)) << i;
    EXPECT_FALSE(IsFilterKey(L"Count " + name)) << i;
    EXPECT_FALSE(IsFilterKey(name + L"0")) << i;
  }
}

}  // namespace
}  // namespace zelvic::diag
