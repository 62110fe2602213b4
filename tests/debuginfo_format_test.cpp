// The compressed native debug information: writer and reader round trip, the
// record and string encodings, lookups, derived sizes, older versions,
// ".vldbg" files and hostile bytes.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/debuginfo/EDebugVLDelta.h"
#include "diagnostics/debuginfo/EDebugVLFormat.h"
#include "diagnostics/debuginfo/EDebugVLScanner.h"
#include "diagnostics/debuginfo/EDebugVLStrings.h"
#include "diagnostics/debuginfo/EDebugVLTables.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "diagnostics/util/EEncrypt.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Two units; the second starts in a later code section. Routine "TForm1.Show"
// has padding after its last line; "Helper" is followed by a routine that
// carries no lines.
std::vector<TDebugVLUnitModel> SampleModel() {
  TDebugVLUnitModel main;
  main.FileName = L"Main.pas";
  main.Name = L"Main";
  main.Addr = 0x100;
  main.Size = 0x200;
  main.Procs = {
      {L"TForm1.Create", 0x100, {{10, 0x100}, {11, 0x104}, {14, 0x130}}},
      {L"TForm1.Show", 0x140, {{20, 0x140}, {21, 0x150}}},
      {L"Helper", 0x1A0, {{40, 0x1A0}, {38, 0x1A8}, {200, 0x1B0}, {70000, 0x1000 + 0x1B0}}},
      {L"NoLines", 0x2000 + 0x1C0, {}},
  };
  main.Size = 0x2100;  // big enough to hold the routines above
  TDebugVLUnitModel util;
  util.FileName = L"C:\\src\\Util.pas";
  util.Name = L"Util";
  util.Addr = 0x3000;
  util.Size = 0x80;
  util.Procs = {{L"Util.Clamp", 0x3000, {{5, 0x3000}, {6, 0x3010}}}, {L"Max", 0x3040, {{9, 0x3040}}}};
  return {main, util};
}

TVLDebugScanner ScannerOf(const std::vector<TDebugVLUnitModel>& model, const TDebugVLWriteOptions& options = {},
                          TDebugVLPassword password = {}) {
  const Bytes block = WriteDebugVLBlock(model, options);
  return TVLDebugScanner(DebugVLBlockBody(block), options.Version, L"sample.dll", std::move(password));
}

std::wstring MapFileText(const wchar_t* field) {
  return std::wstring(L"[") + field + L" >= 0] Unexpected or unsupported data in .map file.";
}

// ------------------------------------------------------------ round trip --

TEST(DebugInfoFormat, RoundTripKeepsUnitsRoutinesAndLines) {
  TVLDebugScanner s = ScannerOf(SampleModel());
  const TUnitList& units = s.Units();
  ASSERT_EQ(units.Count(), 2);
  const TUnitRec& main = units.GetItem(0);
  EXPECT_EQ(main.Name, L"Main");
  EXPECT_EQ(main.FileName, L"Main.pas");
  EXPECT_EQ(main.Addr, 0x100u);
  EXPECT_EQ(main.Size, 0x2100u);
  ASSERT_EQ(main.Procedures.Count(), 4);
  const TProcRec& create = main.Procedures.GetItem(0);
  EXPECT_EQ(create.Name, L"TForm1.Create");
  EXPECT_EQ(create.Addr, 0x100u);
  EXPECT_EQ(create.Size, 0x40u);
  ASSERT_EQ(create.Lines.Count(), 3);
  EXPECT_EQ(create.Lines.GetItem(1).No, 11);
  EXPECT_EQ(create.Lines.GetItem(1).Addr, 0x104u);
  EXPECT_EQ(create.Lines.GetItem(1).Size, 0x2Cu);
  EXPECT_EQ(create.Lines.GetItem(2).Size, 0x10u);  // to the next routine

  const TProcRec& helper = main.Procedures.GetItem(2);
  ASSERT_EQ(helper.Lines.Count(), 4);
  EXPECT_EQ(helper.Lines.GetItem(1).No, 38);  // lines may go backwards
  EXPECT_EQ(helper.Lines.GetItem(3).No, 70000);
  EXPECT_EQ(helper.Lines.GetItem(3).Addr, 0x11B0u);

  const TProcRec& nolines = main.Procedures.GetItem(3);
  EXPECT_EQ(nolines.Name, L"NoLines");
  EXPECT_EQ(nolines.Lines.Count(), 0);
  EXPECT_EQ(nolines.Size, 0x100u + 0x2100u - 0x21C0u);  // to the end of the unit
  // A routine without lines still ends the previous one.
  EXPECT_EQ(helper.Size, 0x21C0u - 0x1A0u);

  const TUnitRec& util = units.GetItem(1);
  EXPECT_EQ(util.Name, L"Util");
  EXPECT_EQ(util.FileName, L"C:\\src\\Util.pas");
  ASSERT_EQ(util.Procedures.Count(), 2);
  EXPECT_EQ(util.Procedures.GetItem(0).Name, L"Clamp");  // the unit prefix is dropped
  EXPECT_EQ(util.Procedures.GetItem(1).Name, L"Max");
  EXPECT_FALSE(s.HasEncryptedData());
}

TEST(DebugInfoFormat, WriterIsDeterministicAndUsesSmallRecords) {
  const Bytes a = WriteDebugVLBlock(SampleModel(), {});
  EXPECT_EQ(a, WriteDebugVLBlock(SampleModel(), {}));
  // Close lines take one-byte records: 10 lines 1 byte and 1 line apart
  // cost 9 bytes after the routine's opening record.
  TDebugVLUnitModel u{L"A.pas", L"", 0x10, 0x100, {{L"P", 0x10, {}}}};
  for (int i = 0; i < 10; ++i) u.Procs[0].Lines.push_back({1 + i, 0x10u + static_cast<std::uint32_t>(i)});
  TDebugVLUnitModel empty = u;
  empty.Procs[0].Lines.resize(1);
  EXPECT_EQ(WriteDebugVLUnitTable({u}, {}).size() - WriteDebugVLUnitTable({empty}, {}).size(), 9u);
}

TEST(DebugInfoFormat, UnitStringWithoutBarGivesNameWithoutExtension) {
  TDebugVLUnitModel u{L"dir\\Forms.Main.pas", L"", 0x10, 0x10, {}};
  TVLDebugScanner s = ScannerOf({u});
  EXPECT_EQ(s.Units().GetItem(0).FileName, L"dir\\Forms.Main.pas");
  EXPECT_EQ(s.Units().GetItem(0).Name, L"dir\\Forms.Main");
  // A name that differs from the file name's stem is stored after "|".
  TDebugVLUnitModel v{L"x.cpp", L"Other.Unit", 0x10, 0x10, {}};
  TVLDebugScanner t = ScannerOf({v});
  EXPECT_EQ(t.Units().GetItem(0).FileName, L"x.cpp");
  EXPECT_EQ(t.Units().GetItem(0).Name, L"Other.Unit");
}

TEST(DebugInfoFormat, WithoutStoredNamesRoutinesStillCarryLines) {
  TDebugVLWriteOptions o;
  o.StoreProcNames = false;
  const std::vector<TDebugVLUnitModel> model = SampleModel();
  TVLDebugScanner s = ScannerOf(model, o);
  const TUnitRec& main = s.Units().GetItem(0);
  ASSERT_EQ(main.Procedures.Count(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(main.Procedures.GetItem(i).Name.empty());
    EXPECT_EQ(main.Procedures.GetItem(i).Addr, model[0].Procs[static_cast<std::size_t>(i)].Addr);
  }
  const TDebugVLLocation l = s.Locate(0x152);
  EXPECT_TRUE(l.Found);
  EXPECT_EQ(l.UnitName, L"Main");
  EXPECT_EQ(l.SourceName, L"Main.pas");
  EXPECT_TRUE(l.HasProc);
  EXPECT_EQ(l.ProcedureName, L"");
  EXPECT_EQ(l.OffsetFromProcName, 0x12u);
  EXPECT_TRUE(l.HasLine);
  EXPECT_EQ(l.LineNumber, 21);
  // The names are the only difference.
  EXPECT_LT(WriteDebugVLBlock(model, o).size(), WriteDebugVLBlock(model, {}).size());
}

TEST(DebugInfoFormat, NamelessRoutineAtOffsetZeroIsNotAdded) {
  TDebugVLWriteOptions o;
  o.StoreProcNames = false;
  TDebugVLUnitModel u{L"A.pas", L"", 0, 0x40, {{L"First", 0, {{3, 0}, {4, 8}}}, {L"Second", 0x20, {{9, 0x20}}}}};
  TVLDebugScanner s = ScannerOf({u}, o);
  const TUnitRec& unit = s.Units().GetItem(0);
  ASSERT_EQ(unit.Procedures.Count(), 1);
  EXPECT_EQ(unit.Procedures.GetItem(0).Addr, 0x20u);
  EXPECT_FALSE(s.Locate(8).HasProc);
}

// -------------------------------------------------------------- password --

TEST(DebugInfoFormat, EncipheredStringsReadWithTheValidPassword) {
  TDebugVLWriteOptions o;
  o.EncipherWithPassword = true;
  o.Password = L"s3cret";
  const Bytes plain = WriteDebugVLBlock(SampleModel(), {});
  const Bytes keyed = WriteDebugVLBlock(SampleModel(), o);
  EXPECT_NE(plain, keyed);
  TVLDebugScanner s = ScannerOf(SampleModel(), o, {L"s3cret", true});
  EXPECT_EQ(s.Units().GetItem(0).Name, L"Main");
  EXPECT_EQ(s.Units().GetItem(0).Procedures.GetItem(1).Name, L"TForm1.Show");
  EXPECT_TRUE(s.HasEncryptedData());
  // Plain strings never set the flag, whatever the password.
  TVLDebugScanner p = ScannerOf(SampleModel(), {}, {L"s3cret", false});
  EXPECT_EQ(p.Units().GetItem(0).Procedures.GetItem(1).Name, L"TForm1.Show");
  EXPECT_FALSE(p.HasEncryptedData());
}

TEST(DebugInfoFormat, EncipheredStringsWithoutValidPasswordShowStoredBytes) {
  TDebugVLWriteOptions o;
  o.EncipherWithPassword = true;
  o.Password = L"s3cret";
  TStringCipher cipher;
  cipher.SetPassword(Utf8Bytes(L"s3cret"));
  auto stored = [&](const std::wstring& text) {
    Bytes b = Utf8Bytes(text);
    cipher.Encipher(b);
    return Base64Encode(b);
  };
  TVLDebugScanner s = ScannerOf(SampleModel(), o, {L"wrong", false});
  const TUnitRec& main = s.Units().GetItem(0);
  // The unit string is "Main.pas|Main" stored whole: no "|" survives, and
  // "p" marks the unit name as unreadable.
  const std::wstring b64 = stored(L"Main.pas");
  EXPECT_EQ(main.FileName, L"?p" + b64.substr(0, b64.size()));
  EXPECT_EQ(main.Name, main.FileName);
  EXPECT_EQ(main.Procedures.GetItem(0).Name, L"?" + stored(L"TForm1.Create"));
  EXPECT_TRUE(s.HasEncryptedData());
  // Lines and ranges do not depend on the password.
  const TDebugVLLocation l = s.Locate(0x105);
  EXPECT_TRUE(l.HasLine);
  EXPECT_EQ(l.LineNumber, 11);
}

struct FixedPassword : TPasswordRequester {
  std::wstring answer;
  int asked = 0;
  std::wstring RequestPassword(std::uintptr_t) override {
    ++asked;
    return answer;
  }
};

TEST(DebugInfoFormat, ResetPasswordAsksAgainAndRebuildsTheTables) {
  TDebugVLWriteOptions o;
  o.EncipherWithPassword = true;
  o.Password = L"pw";
  const std::uint32_t marker = EncipherMarker(kVLDataMarker7, Utf8Bytes(L"pw"));
  TVLDebugScanner s = ScannerOf(SampleModel(), o, {L"", false});
  EXPECT_EQ(s.Units().GetItem(0).Name.substr(0, 2), L"?p");

  FixedPassword requester;
  TPasswordRequester* const before = PasswordRequester();
  SetPasswordRequester(&requester);
  requester.answer = L"nope";
  EXPECT_FALSE(s.ResetPassword(marker, 0x400000));
  EXPECT_EQ(s.Units().GetItem(0).Name.substr(0, 2), L"?p");
  requester.answer = L"pw";
  EXPECT_TRUE(s.ResetPassword(marker, 0x400000));
  EXPECT_EQ(s.Units().GetItem(0).Name, L"Main");
  const int asked = requester.asked;
  EXPECT_TRUE(s.ResetPassword(marker, 0x400000));  // valid now: nobody is asked
  EXPECT_EQ(requester.asked, asked);
  SetPasswordRequester(before);
}

// The container hands over exactly the unit table the writer made.
struct DebugReceiver : TVLDataReceiver {
  std::wstring password;
  Bytes debug;
  bool AskPassword(std::uint32_t marker) override { return IsPasswordValidFor(marker, Utf8Bytes(password)); }
  void LoadDebugInfo(std::span<const std::uint8_t> d) override { debug.assign(d.begin(), d.end()); }
};

TEST(DebugInfoFormat, ContainerCarriesTheUnitTable) {
  TDebugVLWriteOptions o;
  o.EncipherWithPassword = true;
  o.Password = L"pw";
  TVLDataContents c;
  c.OptionsText = {0xEF, 0xBB, 0xBF, 'A', '=', '1'};
  c.EncryptedMarker = EncipherMarker(kVLDataMarker7, Utf8Bytes(L"pw"));
  c.DebugInfo = WriteDebugVLUnitTable(SampleModel(), o);
  const Bytes container = WriteVLData(c);
  for (const wchar_t* password : {L"pw", L"other"}) {
    DebugReceiver r;
    r.password = password;
    const TVLDataReadResult result = LoadVLData(container, r);
    ASSERT_EQ(r.debug, c.DebugInfo);
    TVLDebugScanner s(r.debug, result.Version, L"sample.dll", {password, !result.Encrypted});
    const TDebugVLLocation l = s.Locate(0x3011);
    EXPECT_EQ(l.LineNumber, 6);
    EXPECT_EQ(l.UnitName == L"Util", !result.Encrypted) << password;
  }
}

// ---------------------------------------------------------------- records --

struct DeltaCase {
  std::int64_t da, dl;
  bool routine;
  std::size_t size;
};

TEST(DebugInfoFormat, EveryRecordFormRoundTripsAtItsLimits) {
  const DeltaCase cases[] = {
      {1, 1, false, 1},        {32, 4, false, 1},        {33, 4, false, 2},        {32, 5, false, 2},
      {1, 1, true, 1},         {8, 8, true, 1},          {9, 8, true, 2},          {8, 9, true, 2},
      {128, 32, false, 2},     {128, 32, true, 2},       {129, 32, true, 4},       {128, 33, false, 4},
      {0, 1, false, 4},        {1, 0, false, 4},         {0, 0, false, 4},         {0, 0, true, 4},
      {4095, 65534, false, 4}, {4094, 65535, false, 4},  {4095, 65535, false, 12}, {4095, 65535, true, 12},
      {4096, 1, false, 12},    {1, 65536, false, 12},    {-1, 1, false, 12},       {1, -1, true, 12},
      {0x7FFFFFFF, -0x80000000LL, false, 12},
  };
  for (const DeltaCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.da << "," << c.dl << "," << c.routine);
    const TDebugVLDelta d{c.da, c.dl, c.routine};
    Bytes out;
    WriteDebugVLDelta(out, d, kDebugVLCurrentVersion);
    EXPECT_EQ(out.size(), c.size);
    EXPECT_EQ(DebugVLDeltaSize(d, kDebugVLCurrentVersion), c.size);
    TByteReader r(out);
    const TDebugVLDelta back = ReadDebugVLDelta(r, kDebugVLCurrentVersion);
    EXPECT_EQ(r.Position(), out.size());
    EXPECT_EQ(static_cast<std::uint32_t>(back.DA), static_cast<std::uint32_t>(c.da));
    EXPECT_EQ(static_cast<std::uint32_t>(back.DL), static_cast<std::uint32_t>(c.dl));
    EXPECT_EQ(back.NewRoutine, c.routine);
  }
}

TEST(DebugInfoFormat, RecordBitLayoutIsFixed) {
  struct Raw {
    Bytes bytes;
    std::int64_t da, dl;
    bool routine;
  };
  const Raw cases[] = {
      {{0x00}, 1, 1, false},
      {{0xFE}, 32, 4, false},
      {{0x01}, 1, 1, true},
      {{0xFD}, 8, 8, true},
      {{0x03, 0x20}, 1, 5, false},
      {{0xF7, 0xFF}, 128, 32, true},
      {{0xFB, 0xFF, 0xFF, 0xFF}, 0, 0, false},  // both fields all ones: no move at all
      {{0x0F, 0x00, 0x00, 0x10}, 0x101, 1, true},
      {{0xEB, 0xFF, 0xEF, 0xFF, 0x04, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}, -1, 5, false},
      {{0xEF, 0xFF, 0xEF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x10, 0, 0}, 0x1001, 0, true},
  };
  for (const Raw& c : cases) {
    TByteReader r(c.bytes);
    const TDebugVLDelta d = ReadDebugVLDelta(r, kDebugVLCurrentVersion);
    EXPECT_EQ(r.Position(), c.bytes.size());
    EXPECT_EQ(d.DA, c.da);
    EXPECT_EQ(d.DL, c.dl);
    EXPECT_EQ(d.NewRoutine, c.routine);
    // The writer picks the same smallest form back.
    Bytes again;
    WriteDebugVLDelta(again, d, kDebugVLCurrentVersion);
    EXPECT_EQ(again.size(), c.bytes.size());
  }
}

// ---------------------------------------------------------------- strings --

Bytes PlainPiece(const std::string& text, std::uint16_t flags) {
  TStringCipher plain;
  Bytes b(text.begin(), text.end());
  plain.Encipher(b);
  const auto header = static_cast<std::uint16_t>(b.size() | flags);
  b.insert(b.begin(), static_cast<std::uint8_t>(header >> 8));
  b.insert(b.begin(), static_cast<std::uint8_t>(header & 0xFF));
  return b;
}

std::wstring ReadString(const Bytes& bytes, std::size_t* used = nullptr) {
  TByteReader r(bytes);
  bool encrypted = false;
  std::wstring s = ReadDebugVLString(r, kDebugVLCurrentVersion, {}, encrypted);
  if (used != nullptr) *used = r.Position();
  return s;
}

TEST(DebugInfoFormat, StringFlagsContinueAndPrefixDots) {
  Bytes ab = PlainPiece("A", kDebugVLStringContinued);
  const Bytes b = PlainPiece("B", 0);
  ab.insert(ab.end(), b.begin(), b.end());
  std::size_t used = 0;
  EXPECT_EQ(ReadString(ab, &used), L"A.B");
  EXPECT_EQ(used, ab.size());
  EXPECT_EQ(ReadString(PlainPiece("A", kDebugVLStringDot)), L".A");
  EXPECT_EQ(ReadString(PlainPiece("", 0)), L"");
  // A continued string cut short is a read error, not a shorter name.
  EXPECT_THROW(ReadString(PlainPiece("A", kDebugVLStringContinued)), EInvalidDebugInformation);
}

TEST(DebugInfoFormat, StringsRoundTripThroughTheWriter) {
  const std::wstring long_name = std::wstring(5000, L'x') + L"." + std::wstring(5000, L'y') + L".z";
  const std::wstring cases[] = {L"", L"Plain", L".Dotted", L"A.B.C", L"\u00DCnit\u20AC", long_name, L"..", L"."};
  TStringCipher plain;
  for (const std::wstring& text : cases) {
    Bytes out;
    WriteDebugVLString(out, text, kDebugVLCurrentVersion, plain, false);
    std::size_t used = 0;
    EXPECT_EQ(ReadString(out, &used), text);
    EXPECT_EQ(used, out.size());
  }
  // Longer than one header and nowhere to split: refused by the writer.
  Bytes out;
  EXPECT_THROW(WriteDebugVLString(out, std::wstring(9000, L'q'), kDebugVLCurrentVersion, plain, false),
               std::length_error);
}

TEST(DebugInfoFormat, EightBitTextThatIsNotUtf8IsTakenByteForByte) {
  // 0xE9 alone is not UTF-8: the bytes are code-page text.
  EXPECT_EQ(ReadString(PlainPiece("caf\xE9", 0)), L"caf\u00E9");
  EXPECT_EQ(ReadString(PlainPiece("caf\xC3\xA9", 0)), L"caf\u00E9");
  EXPECT_FALSE(IsCleanUtf8(Bytes{0xC0, 0x80}));  // overlong
  EXPECT_FALSE(IsCleanUtf8(Bytes{0xED, 0xA0, 0x80}));  // surrogate
  EXPECT_TRUE(IsCleanUtf8(Bytes{0xF0, 0x9F, 0x98, 0x80}));
}

TEST(DebugInfoFormat, Base64UsesTheStandardAlphabetAndPadding) {
  const std::pair<std::string, std::wstring> cases[] = {
      {"", L""}, {"f", L"Zg=="}, {"fo", L"Zm8="}, {"foo", L"Zm9v"}, {"\xFB\xFF", L"+/8="}};
  for (const auto& [in, out] : cases) EXPECT_EQ(Base64Encode(Bytes(in.begin(), in.end())), out);
}

TEST(DebugInfoFormat, RoutineNamesFollowTheClassRules) {
  TDebugVLUnitModel u{L"Forms.pas", L"Forms", 0x10, 0x100, {}};
  const wchar_t* names[] = {L"TForm.Paint", L".Resize", L"Forms.TButton.Click", L".@Hidden",  L"@Free",
                            L"TForm.TForm", L"TForm.~TForm", L"Forms",            L"a::b::c", L"TList<A.B>.Add"};
  const wchar_t* expected[] = {L"TForm.Paint", L"TForm.Resize", L"TButton.Click", L"TButton._Hidden",
                               L"_Free",       L"TForm.Create", L"TForm.Destroy", L"Initialization",
                               L"a.b.c",       L"TList<A.B>.Add"};
  std::uint32_t a = 0x10;
  for (const wchar_t* n : names) u.Procs.push_back({n, a += 8, {}});
  TVLDebugScanner s = ScannerOf({u});
  const TUnitRec& unit = s.Units().GetItem(0);
  ASSERT_EQ(unit.Procedures.Count(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(unit.Procedures.GetItem(i).Name, expected[i]) << names[i];
}

TEST(DebugInfoFormat, ParseClassNameSplitsQualifiedNames) {
  struct Case {
    const wchar_t *unit, *name, *cls, *method;
  };
  const Case cases[] = {
      {L"", L"", L"", L"?"},
      {L"", L"..", L"", L"?"},
      {L"U", L"u.TFoo.Bar", L"TFoo", L"Bar"},
      {L"", L".Cls", L"Cls", L""},
      {L"", L"Cls.", L"Cls", L""},
      {L"", L"f(a.b)", L"", L"f(a.b)"},
      {L"", L"N.f(a.b)", L"N", L"f(a.b)"},
      {L"", L"std::map<a, b >::find", L"std.map<a,b>", L"find"},
      {L"DllMain", L"DllMain", L"", L"DllMain"},
      {L"Main", L"main", L"", L"Initialization"},
  };
  for (const Case& c : cases) {
    std::wstring cls;
    EXPECT_EQ(ParseClassName(c.unit, c.name, cls), c.method) << c.name;
    EXPECT_EQ(cls, c.cls) << c.name;
  }
}

// ---------------------------------------------------------------- lookups --

TEST(DebugInfoFormat, LookupGivesUnitRoutineLineAndOffsets) {
  struct Case {
    std::uint32_t offset;
    bool found, proc, line;
    const wchar_t* unit;
    const wchar_t* routine;
    std::uint32_t proc_offset;
    std::int32_t line_no;
    std::uint32_t line_offset;
    std::int32_t proc_offset_line;
  };
  const Case cases[] = {
      {0x100, true, true, true, L"Main", L"TForm1.Create", 0, 10, 0, 0},
      {0x12F, true, true, true, L"Main", L"TForm1.Create", 0x2F, 11, 0x2B, 1},
      {0x13C, true, true, true, L"Main", L"TForm1.Create", 0x3C, 14, 0xC, 4},
      // Alignment padding after the last line still belongs to it.
      {0x19F, true, true, true, L"Main", L"TForm1.Show", 0x5F, 21, 0x4F, 1},
      {0x1A9, true, true, true, L"Main", L"Helper", 9, 38, 1, -2},
      {0x11B5, true, true, true, L"Main", L"Helper", 0x1015, 70000, 5, 69960},
      {0x21C4, true, true, false, L"Main", L"NoLines", 4, 0, 0, 0},
      {0x3011, true, true, true, L"Util", L"Clamp", 0x11, 6, 1, 1},
      {0x307F, true, true, true, L"Util", L"Max", 0x3F, 9, 0x3F, 0},
      {0xFF, false, false, false, L"", L"", 0, 0, 0, 0},
      {0x3080, false, false, false, L"", L"", 0, 0, 0, 0},
  };
  TVLDebugScanner s = ScannerOf(SampleModel());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.offset);
    const TDebugVLLocation l = s.Locate(c.offset);
    EXPECT_EQ(l.Found, c.found);
    EXPECT_EQ(l.HasProc, c.proc);
    EXPECT_EQ(l.HasLine, c.line);
    EXPECT_EQ(l.UnitName, c.unit);
    EXPECT_EQ(l.ProcedureName, c.routine);
    EXPECT_EQ(l.OffsetFromProcName, c.proc_offset);
    EXPECT_EQ(l.LineNumber, c.line_no);
    EXPECT_EQ(l.OffsetFromLineNumber, c.line_offset);
    EXPECT_EQ(l.ProcOffsetLine, c.proc_offset_line);
    std::uint32_t off = 99;
    EXPECT_EQ(s.ProcNameFromAddr(c.offset, off), c.routine);
    EXPECT_EQ(off, c.proc_offset);
    EXPECT_EQ(s.LineNumberFromAddr(c.offset, off), c.line_no);
    EXPECT_EQ(s.UnitNameFromAddr(c.offset), c.unit);
    EXPECT_EQ(s.ModuleNameFromAddr(c.offset), c.unit);
  }
  EXPECT_EQ(s.SourceNameFromAddr(0x3001), L"C:\\src\\Util.pas");
  EXPECT_EQ(s.ModuleStartFromAddr(0x3001), std::optional<std::uint32_t>(0x3000));
  EXPECT_EQ(s.ModuleStartFromAddr(0x5000), std::nullopt);
  ASSERT_NE(s.Units().FindUnit(std::wstring(L"d:\\other\\UTIL.PAS")), nullptr);
  EXPECT_EQ(s.Units().FindUnit(std::wstring(L"util.pas"))->Name, L"Util");
}

TEST(DebugInfoFormat, LaterUnitWinsOnOverlappingRanges) {
  TDebugVLUnitModel first{L"First.pas", L"", 0x100, 0x100, {{L"A", 0x100, {{1, 0x100}}}}};
  TDebugVLUnitModel second{L"Second.pas", L"", 0x100, 0x100, {{L"B", 0x100, {{7, 0x100}}}}};
  TDebugVLUnitModel inner{L"Inner.pas", L"", 0x180, 0x10, {{L"C", 0x180, {{3, 0x180}}}}};
  TVLDebugScanner s = ScannerOf({first, second});
  EXPECT_EQ(s.Locate(0x100).UnitName, L"Second");
  EXPECT_EQ(s.Locate(0x1FF).LineNumber, 7);
  TVLDebugScanner t = ScannerOf({first, inner});
  EXPECT_EQ(t.Locate(0x17F).UnitName, L"First");
  EXPECT_EQ(t.Locate(0x180).UnitName, L"Inner");
  EXPECT_EQ(t.Locate(0x190).UnitName, L"First");
  TVLDebugScanner u = ScannerOf({inner, first});
  EXPECT_EQ(u.Locate(0x180).UnitName, L"First");
}

// The search index must answer exactly as the plain scans: later units win
// on overlaps, zero-sized entries hold nothing, unordered or overlapping
// routine and line lists fall back to the forward scan, and spans reaching
// past 2^32 are cut at the end of the offset space.
TEST(DebugInfoFormat, IndexedLookupsAnswerAsThePlainScans) {
  // The plain scans, over the drafts the tables are made from: units from the
  // last, routines and lines from the first.
  // The index of the first entry holding the offset, -1 for none.
  auto first_holding = [](const auto& list, std::uint32_t offset) -> std::ptrdiff_t {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].Addr <= offset && offset - list[i].Addr < list[i].Size) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  };
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  for (int round = 0; round < 60; ++round) {
    std::vector<TDebugVLUnitDraft> drafts;
    const std::uint32_t units = 1 + next(round < 50 ? 12 : 40);
    // A few rounds place units near the top of the offset space.
    const std::uint32_t origin = round % 10 == 9 ? 0xFFFFF000u : 0;
    for (std::uint32_t k = 0; k < units; ++k) {
      TDebugVLUnitDraft u;
      u.Addr = origin + next(0x400);
      u.Size = next(6) == 0 ? 0 : next(8) == 0 ? 0x7FFFFFFF : next(0x200);
      const std::uint32_t procs = next(5);
      std::uint32_t at = u.Addr;
      for (std::uint32_t j = 0; j < procs; ++j) {
        TDebugVLProcDraft p;
        // Mostly ascending; now and then a routine out of order or overlapping.
        p.Addr = next(7) == 0 ? u.Addr + next(0x80) : at;
        p.Size = next(0x40);
        at = p.Addr + p.Size + next(3);
        std::uint32_t line_at = p.Addr;
        for (std::uint32_t l = 0, n = next(5); l < n; ++l) {
          TLineRec line{static_cast<std::int32_t>(10 + l), line_at, next(0x10)};
          if (next(9) == 0) line.Addr = p.Addr + next(0x20);
          line_at = line.Addr + line.Size;
          p.Lines.push_back(line);
        }
        u.Procs.push_back(std::move(p));
      }
      drafts.push_back(std::move(u));
    }
    const TUnitList list = MakeUnitList(drafts);
    // Units are scanned from the last: the reversed list's first is the last.
    const std::vector<TDebugVLUnitDraft> reversed(drafts.rbegin(), drafts.rend());
    ASSERT_EQ(list.Count(), static_cast<int>(drafts.size()));
    for (std::uint32_t probe = 0; probe < 0x700; ++probe) {
      const std::uint32_t offset = origin + probe;
      const std::ptrdiff_t last = first_holding(reversed, offset);
      const std::ptrdiff_t unit = last < 0 ? -1 : static_cast<std::ptrdiff_t>(drafts.size()) - 1 - last;
      const TUnitRec* found = list.FindUnit(offset);
      ASSERT_EQ(unit < 0, found == nullptr) << "round " << round << " offset " << offset;
      if (unit < 0) continue;
      ASSERT_EQ(found - list.Items().data(), unit) << "round " << round << " offset " << offset;
      const std::vector<TDebugVLProcDraft>& procs = drafts[static_cast<std::size_t>(unit)].Procs;
      const std::ptrdiff_t proc = first_holding(procs, offset);
      const TProcRec* found_proc = found->Procedures.FindProc(offset);
      ASSERT_EQ(proc < 0, found_proc == nullptr);
      if (proc < 0) continue;
      ASSERT_EQ(found_proc - found->Procedures.Items().data(), proc) << "round " << round << " offset " << offset;
      const std::vector<TLineRec>& lines = procs[static_cast<std::size_t>(proc)].Lines;
      const std::ptrdiff_t line = first_holding(lines, offset);
      const TLineRec* found_line = found_proc->Lines.FindLine(offset);
      ASSERT_EQ(line < 0, found_line == nullptr);
      if (line >= 0) {
        ASSERT_EQ(found_line - found_proc->Lines.Items().data(), line);
      }
    }
  }
}

TEST(DebugInfoFormat, OffsetBeforeTheFirstLineHasRoutineButNoLine) {
  // A line 0 at offset 0 is no entry, so the routine's first line starts later.
  TDebugVLUnitModel u{L"Z.pas", L"", 0, 0x40, {{L"Start", 0, {{0, 0}, {5, 0x10}}}}};
  TVLDebugScanner s = ScannerOf({u});
  const TDebugVLLocation before = s.Locate(4);
  EXPECT_TRUE(before.HasProc);
  EXPECT_EQ(before.ProcedureName, L"Start");
  EXPECT_FALSE(before.HasLine);
  // The routine starts at 0, so its last line has no known end.
  EXPECT_FALSE(s.Locate(0x10).HasLine);
  EXPECT_EQ(s.Units().GetItem(0).Procedures.GetItem(0).Lines.Count(), 1);
}

TEST(DebugInfoFormat, RepeatedRoutineAndLineEntriesAreMerged) {
  TDebugVLUnitModel u{L"R.pas", L"", 0x10, 0x40, {{L"P", 0x10, {{1, 0x10}, {1, 0x10}, {2, 0x14}}}, {L"P", 0x10, {}}}};
  TVLDebugScanner s = ScannerOf({u});
  const TUnitRec& unit = s.Units().GetItem(0);
  ASSERT_EQ(unit.Procedures.Count(), 1);
  ASSERT_EQ(unit.Procedures.GetItem(0).Lines.Count(), 2);
  EXPECT_EQ(unit.Procedures.GetItem(0).Lines.GetItem(1).No, 2);
  EXPECT_EQ(unit.Procedures.GetItem(0).Size, 0x40u);
}

// ---------------------------------------------------------- derived sizes --

int g_breaks = 0;
void CountBreak() { ++g_breaks; }

std::wstring AssertionOf(const std::vector<TDebugVLUnitModel>& model) {
  TVLDebugScanner s = ScannerOf(model);
  try {
    s.Units();
  } catch (const rt::EAssertionFailed& e) {
    EXPECT_STREQ(e.ClassName(), L"EAssertionFailed");
    return e.Message();
  }
  return L"(none)";
}

TEST(DebugInfoFormat, NegativeDerivedSizesRaiseTheirAssertions) {
  SetDebugVLBreakHook(&CountBreak);
  g_breaks = 0;
  // A unit of size 0 followed by one that starts before it.
  EXPECT_EQ(AssertionOf({{L"A.pas", L"", 0x200, 0, {}}, {L"B.pas", L"", 0x100, 0x10, {}}}), MapFileText(L"UnitRec^.Size"));
  // Routines out of order.
  EXPECT_EQ(AssertionOf({{L"A.pas", L"", 0x100, 0x100, {{L"P", 0x180, {}}, {L"Q", 0x120, {}}}}}),
            MapFileText(L"ProcRec^.Size"));
  // The last routine starts after its unit's end.
  EXPECT_EQ(AssertionOf({{L"A.pas", L"", 0x100, 0x10, {{L"P", 0x180, {}}}}}), MapFileText(L"ProcRec^.Size"));
  // Lines out of order inside a routine.
  EXPECT_EQ(AssertionOf({{L"A.pas", L"", 0x100, 0x100, {{L"P", 0x100, {{1, 0x100}, {2, 0x140}, {3, 0x120}}}}}}),
            MapFileText(L"LineRec.Size"));
  EXPECT_EQ(g_breaks, 4);
  SetDebugVLBreakHook(nullptr);
}

TEST(DebugInfoFormat, LineNumberOverflowNamesUnitAndValues) {
  TDebugVLUnitModel u{L"Big.pas", L"Big", 0x100, 0x100, {{L"P", 0x100, {{0x7FFFFFF0, 0x100}, {-0x7FFFFFF0, 0x108}}}}};
  EXPECT_EQ(AssertionOf({u}),
            L"[LineNo >= 0] Integer overflow on line count. Exe file may be too large.\r\n"
            L"Unit: Big(Big.pas)\r\nLineNo: -2147483632\r\nLineDiff: 32\r\nLineAddr: 264");
  // Just below zero; zero itself is a line like any other.
  TDebugVLUnitModel v{L"S.pas", L"", 0x10, 0x10, {{L"P", 0x10, {{2, 0x10}, {-1, 0x14}}}}};
  EXPECT_EQ(AssertionOf({v}),
            L"[LineNo >= 0] Integer overflow on line count. Exe file may be too large.\r\n"
            L"Unit: S(S.pas)\r\nLineNo: -1\r\nLineDiff: -3\r\nLineAddr: 20");
  v.Procs[0].Lines[1].No = 0;
  EXPECT_EQ(AssertionOf({v}), L"(none)");
  EXPECT_EQ(ScannerOf({v}).Locate(0x15).LineNumber, 0);
}

TEST(DebugInfoFormat, MissingSizesAreDerived) {
  std::vector<TDebugVLUnitDraft> units(3);
  units[0].Addr = 0x100;
  units[1].Addr = 0x180;
  units[1].AbsAddr = 0x5000;
  units[2].Addr = 0x200;
  units[2].SegmentInd = 1;
  units[2].AbsAddr = 0x5040;
  units[0].Procs = {{L"P", 0x100, 0, {}}, {L"Q", 0x140, 0, {{4, 0x140, 0}, {5, 0x150, 0}}}};
  DeriveDebugVLSizes(units, kDebugVLCurrentVersion);
  EXPECT_EQ(units[0].Size, 0x80u);    // same segment: by offset
  EXPECT_EQ(units[1].Size, 0x40u);    // next segment: by absolute address
  EXPECT_EQ(units[2].Size, 0x7FFFFFFFu);
  EXPECT_EQ(units[0].Procs[0].Size, 0x40u);
  EXPECT_EQ(units[0].Procs[1].Size, 0x40u);
  EXPECT_EQ(units[0].Procs[1].Lines[1].Size, 0x30u);
}

TEST(DebugInfoFormat, LastLinePastItsRoutineFallsBackOrDropsTheRoutine) {
  // Routine Q's stored size ends before its last line: the next unit's
  // start bounds the line instead.
  std::vector<TDebugVLUnitDraft> units(2);
  units[0].Addr = 0x100;
  units[0].Size = 0x100;
  units[1].Addr = 0x300;
  units[1].Size = 0x10;
  units[0].Procs = {{L"Q", 0x140, 0x10, {{4, 0x140, 0}, {5, 0x160, 0}}}};
  DeriveDebugVLSizes(units, kDebugVLCurrentVersion);
  EXPECT_EQ(units[0].Procs[0].Lines[1].Size, 0x300u - 0x160u);
  // After the last unit nothing bounds it: the routine is dropped.
  units[1].Procs = {{L"R", 0x300, 0x4, {{1, 0x300, 0}, {2, 0x308, 0}}}};
  units[1].Procs[0].Lines[1].Size = 0;
  DeriveDebugVLSizes(units, kDebugVLCurrentVersion);
  EXPECT_TRUE(units[1].Procs.empty());
}

// ---------------------------------------------------------- older versions --

// Stored out of order; old data is sorted after reading.
std::vector<TDebugVLUnitModel> OldModel(std::uint16_t version) {
  // Up to 422 there is no escape for far moves.
  const std::uint32_t far = version <= 422 ? 0x1300 : 0x8300;
  TDebugVLUnitModel b{L"Beta", L"", 0x300, 0, {{L"Run", 0x300, {{3, 0x300}, {1, 0x304}, {900, far}}}}};
  TDebugVLUnitModel a{L"Alpha.pas", L"", 0x100, 0, {{L"TA.Go", 0x100, {{7, 0x100}, {8, 0x110}}}, {L"Stop", 0x120, {{9, 0x120}}}}};
  return {b, a};
}

TEST(DebugInfoFormat, OlderVersionsRoundTrip) {
  for (std::uint16_t version : {6999, 6000, 502, 501, 500, 499, 450, 405, 423, 422, 300}) {
    SCOPED_TRACE(version);
    TDebugVLWriteOptions o;
    o.Version = version;
    TVLDebugScanner s = ScannerOf(OldModel(version), o);
    const TUnitList& units = s.Units();
    ASSERT_EQ(units.Count(), 2);
    // Sorted by address after reading.
    EXPECT_EQ(units.GetItem(0).Name, L"Alpha");
    EXPECT_EQ(units.GetItem(0).FileName, L"Alpha.pas");
    EXPECT_EQ(units.GetItem(1).Name, L"Beta");
    EXPECT_EQ(units.GetItem(1).FileName, L"Beta.pas");  // no extension: ".pas" added
    EXPECT_EQ(units.GetItem(0).Size, 0x200u);
    EXPECT_EQ(units.GetItem(1).Size, 0x7FFFFFFFu);
    const TDebugVLLocation l = s.Locate(0x115);
    EXPECT_EQ(l.ProcedureName, L"TA.Go");
    EXPECT_EQ(l.LineNumber, 8);
    EXPECT_EQ(s.Locate(0x305).LineNumber, 1);
    EXPECT_EQ(s.Locate(version <= 422 ? 0x1301 : 0x8301).LineNumber, 900);
  }
}

TEST(DebugInfoFormat, OlderRecordFormsDifferWhereTheyShould) {
  // A backward line step fits the signed 4-byte field of old data.
  EXPECT_EQ(DebugVLDeltaSize({1, -3, false}, 6000), 4u);
  EXPECT_EQ(DebugVLDeltaSize({1, -3, false}, 7000), 12u);
  EXPECT_EQ(DebugVLDeltaSize({5000, 1, false}, 6000), 8u);
  EXPECT_THROW(DebugVLDeltaSize({5000, 1, false}, 422), std::out_of_range);
  // Up to 422 the escape word is a plain 4-byte record.
  const Bytes esc{0xEB, 0xFF, 0xEF, 0xFF};
  TByteReader r(esc);
  const TDebugVLDelta d = ReadDebugVLDelta(r, 422);
  EXPECT_EQ(d.DA, 4095);
  EXPECT_EQ(d.DL, -1);
}

// ----------------------------------------------------------- .vldbg files --

Bytes SampleVLDbg(bool checksum = true, const std::wstring& module = L"Sample.DLL") {
  return WriteVLDbgFile(module, WriteDebugVLUnitTable(SampleModel(), {}), kDebugVLCurrentVersion, checksum);
}

TEST(DebugInfoVLDbg, FileRoundTripsWithHeaderAndChecksum) {
  const Bytes file = SampleVLDbg();
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "JDBG");
  TVLDebugScanner s = TVLDebugScanner::FromVLDbgFile(file);
  ASSERT_TRUE(s.ValidFormat());
  EXPECT_EQ(s.ModuleName(), L"Sample.DLL");
  EXPECT_EQ(s.DataStart(), 23u + 2 * 10);
  EXPECT_EQ(s.Version(), kDebugVLCurrentVersion);
  EXPECT_EQ(s.Locate(0x152).LineNumber, 21);
  EXPECT_TRUE(s.IsModuleNameValid(L"C:\\Program Files\\app\\sample.dll"));
  EXPECT_FALSE(s.IsModuleNameValid(L"C:\\app\\other.dll"));
  EXPECT_FALSE(s.IsModuleNameValid(L"C:\\app\\Sample.DLL.bak"));
  const Bytes unnamed = SampleVLDbg(false, L"");
  EXPECT_EQ(TVLDebugScanner::FromVLDbgFile(unnamed).DataStart(), 23u);
}

TEST(DebugInfoVLDbg, DamagedHeadersAreNoDebugInformation) {
  const Bytes good = SampleVLDbg();
  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
  };
  const Case cases[] = {
      {"signature", [](Bytes& f) { f[0] = 'X'; }},
      {"checksum word", [](Bytes& f) { f[14] ^= 1; }},
      {"unit table byte", [](Bytes& f) { f[40] ^= 0x10; }},
      {"length not a multiple of 4", [](Bytes& f) { f.push_back(0); }},
      {"truncated to the header", [](Bytes& f) { f.resize(kVLDbgHeaderSize); }},
      {"shorter than the header", [](Bytes& f) { f.resize(10); }},
  };
  for (const Case& c : cases) {
    Bytes f = good;
    c.change(f);
    EXPECT_FALSE(TVLDebugScanner::FromVLDbgFile(f).ValidFormat()) << c.what;
  }
  // Without the checksum flag, the header's own checks still hold.
  Bytes plain = SampleVLDbg(false);
  struct Word {
    std::size_t at;
    std::uint32_t value;
  };
  for (const Word w : {Word{19, 0xFFFFFFFFu}, Word{19, 0x7FFFFFFFu}, Word{6, 0xFFFFFFF0u}, Word{43, 0u}, Word{43, 0x80000000u}}) {
    Bytes f = plain;
    std::memcpy(&f[w.at], &w.value, 4);
    EXPECT_FALSE(TVLDebugScanner::FromVLDbgFile(f).ValidFormat()) << w.at << " " << w.value;
  }
  EXPECT_TRUE(TVLDebugScanner::FromVLDbgFile(plain).ValidFormat());
}

TEST(DebugInfoVLDbg, NewerVersionRaisesTheVersionError) {
  Bytes f = SampleVLDbg(false);
  f[4] = static_cast<std::uint8_t>(7008 & 0xFF);
  f[5] = static_cast<std::uint8_t>(7008 >> 8);
  try {
    TVLDebugScanner::FromVLDbgFile(f);
    FAIL() << "no exception";
  } catch (const EInvalidDebugInformationVersion& e) {
    EXPECT_EQ(e.Message(), L"Version 7008 is greater than current VarnelLog version (7007)");
  }
  EXPECT_THROW(TVLDebugScanner(Bytes{}, 7008, L""), EInvalidDebugInformationVersion);
}

TEST(DebugInfoVLDbg, WrappedExternalStreamHasTheFixedHeader) {
  const Bytes table = WriteDebugVLUnitTable(SampleModel(), {});
  TVLDebugScanner s = TVLDebugScanner::FromVLDbgFile(WrapExternalDebugVLStream(table));
  ASSERT_TRUE(s.ValidFormat());
  EXPECT_EQ(s.DataStart(), 23u);
  EXPECT_EQ(s.ModuleName(), L"");
  EXPECT_EQ(s.Version(), kDebugVLCurrentVersion);
  EXPECT_EQ(s.Locate(0x3011).ProcedureName, L"Clamp");
  TDebugVLWriteOptions o;
  o.Version = 6000;
  TVLDebugScanner old = TVLDebugScanner::FromVLDbgFile(WrapExternalDebugVLStream(WriteDebugVLUnitTable(OldModel(6000), o), 6000));
  EXPECT_EQ(old.Version(), 6000);
  EXPECT_EQ(old.Locate(0x115).LineNumber, 8);
}

TEST(DebugInfoVLDbg, OldFilesSkipTheirPreamble) {
  TDebugVLWriteOptions o;
  o.Version = 450;
  const Bytes f = WriteVLDbgFile(L"m.dll", WriteDebugVLUnitTable(OldModel(450), o), 450, true);
  TVLDebugScanner s = TVLDebugScanner::FromVLDbgFile(f);
  ASSERT_TRUE(s.ValidFormat());
  EXPECT_EQ(s.Locate(0x115).LineNumber, 8);
  EXPECT_EQ(s.Locate(0x115).ProcedureName, L"TA.Go");
}

// ---------------------------------------------------------- hostile bytes --

// Every byte of a real block, changed in several ways, and every truncation:
// the reader answers with the format's exceptions or plain results, never
// anything else (a crash, a hang or a huge allocation would end the run).
TEST(DebugInfoFormat, MutatedBlocksGiveFormatErrorsOrResults) {
  TDebugVLWriteOptions o;
  o.EncipherWithPassword = true;
  o.Password = L"k";
  std::vector<TDebugVLUnitModel> model = SampleModel();
  model[0].Procs[1].Name = L".Dotted";
  const Bytes table = WriteDebugVLUnitTable(model, o);
  // Older data takes other paths: 1-byte strings, 8-byte escapes, XORed
  // strings and the skipped preamble.
  struct Subject {
    std::uint16_t version;
    Bytes bytes;
  };
  std::vector<Subject> subjects{{kDebugVLCurrentVersion, table}};
  for (std::uint16_t version : {6000, 450}) {
    TDebugVLWriteOptions old;
    old.Version = version;
    subjects.push_back({version, WriteDebugVLUnitTable(OldModel(version), old)});
  }
  const std::uint32_t probes[] = {0x100, 0x115, 0x152, 0x305, 0x11B5, 0x3011, 0xFFFFFFFF};
  int outcomes[3] = {};
  auto run = [&](const Bytes& bytes, std::uint16_t version, bool valid) {
    try {
      TVLDebugScanner s(bytes, version, L"m", {L"k", valid});
      for (std::uint32_t p : probes) s.Locate(p);
      s.HasEncryptedData();
      ++outcomes[0];
    } catch (const rt::EAssertionFailed&) {
      ++outcomes[1];
    } catch (const EInvalidDebugInformation&) {
      ++outcomes[2];
    }
  };
  const std::uint8_t xors[] = {0x01, 0x80, 0xFF};
  const std::uint8_t sets[] = {0x00, 0xFF, 0x7F};
  for (const Subject& subject : subjects) {
    SCOPED_TRACE(subject.version);
    for (std::size_t i = 0; i < subject.bytes.size(); ++i) {
      for (bool valid : {true, false}) {
        for (std::uint8_t x : xors) {
          Bytes m = subject.bytes;
          m[i] ^= x;
          run(m, subject.version, valid);
        }
        for (std::uint8_t v : sets) {
          Bytes m = subject.bytes;
          m[i] = v;
          run(m, subject.version, valid);
        }
      }
    }
    for (std::size_t n = 0; n < subject.bytes.size(); ++n) {
      EXPECT_THROW(
          {
            TVLDebugScanner s(Bytes(subject.bytes.begin(), subject.bytes.begin() + static_cast<std::ptrdiff_t>(n)),
                              subject.version, L"m", {L"k", true});
            s.Units();
          },
          EInvalidDebugInformation)
          << "truncated to " << n;
    }
  }
  // The table is exercised: some mutations still read, some fail each way.
  EXPECT_GT(outcomes[0], 0);
  EXPECT_GT(outcomes[1], 0);
  EXPECT_GT(outcomes[2], 0);

  // The same for a whole file, checksum off so that the body is reached.
  const Bytes file = WriteVLDbgFile(L"m.dll", table, kDebugVLCurrentVersion, false);
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (std::uint8_t x : xors) {
      Bytes m = file;
      m[i] ^= x;
      try {
        TVLDebugScanner s = TVLDebugScanner::FromVLDbgFile(m, {L"k", true});
        for (std::uint32_t p : probes) s.Locate(p);
      } catch (const EInvalidDebugInformation&) {
      } catch (const rt::EAssertionFailed&) {
      }
    }
  }
}

TEST(DebugInfoFormat, HugeCountsDoNotAllocateOrHang) {
  // Counts the bytes cannot back: a unit count, an area length and a
  // string length past the end.
  Bytes area_past_end{0x01, 0, 0, 0, 0x00, 0x00};  // one unit, empty string
  area_past_end.resize(area_past_end.size() + 5 * 4, 0);
  area_past_end.insert(area_past_end.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  const Bytes cases[] = {
      {0xFF, 0xFF, 0xFF, 0x7F},
      area_past_end,
      {0x01, 0, 0, 0, 0xFF, 0x1F},
  };
  for (const Bytes& c : cases) {
    TVLDebugScanner s(c, kDebugVLCurrentVersion, L"m");
    EXPECT_THROW(s.Units(), EInvalidDebugInformation);
  }
  // A negative unit count is an empty table.
  TVLDebugScanner neg(Bytes{0xFF, 0xFF, 0xFF, 0xFF}, kDebugVLCurrentVersion, L"m");
  EXPECT_EQ(neg.Units().Count(), 0);
  EXPECT_FALSE(neg.Locate(0).Found);
  // A block whose L runs past its end.
  EXPECT_THROW(DebugVLBlockBody(Bytes{0x10, 0, 0, 0, 1, 2}), EInvalidDebugInformation);
}

}  // namespace
}  // namespace zelvic::diag
