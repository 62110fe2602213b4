// The shared text primitives of the facility: parts of file names, case-blind
// comparison, byte-order marks and UTF-16 bytes, and the calendar arithmetic
// of the date-time scale.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "runtime/civil_date.h"

namespace zelvic::diag {
namespace {

struct PathCase {
  const wchar_t* path;
  const wchar_t* name;
  const wchar_t* dir;
  const wchar_t* ext;
};

// Both folder delimiters and a drive prefix end the folder part; a dot in a
// folder is no extension.
TEST(FileNames, PartsSplitAtBackslashSlashAndDriveColon) {
  const PathCase cases[] = {
      {L"C:\\Windows\\System32\\kernel32.dll", L"kernel32.dll", L"C:\\Windows\\System32\\", L".dll"},
      {L"src/runtime/exceptions.cpp", L"exceptions.cpp", L"src/runtime/", L".cpp"},
      {L"Z:/mixed\\folders/a.b.pas", L"a.b.pas", L"Z:/mixed\\folders/", L".pas"},
      {L"C:name.dll", L"name.dll", L"C:", L".dll"},
      {L"plain", L"plain", L"", L""},
      {L"dir.d/noext", L"noext", L"dir.d/", L""},
      {L"trailing\\", L"", L"trailing\\", L""},
      {L".vl", L".vl", L"", L".vl"},
      {L"", L"", L"", L""},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(ExtractFileNamePart(c.path), c.name) << c.path;
    EXPECT_EQ(ExtractFileDirPart(c.path), c.dir) << c.path;
    EXPECT_EQ(ExtractFileExtPart(c.path), c.ext) << c.path;
    EXPECT_EQ(ExtractFileDirPart(c.path) + ExtractFileNamePart(c.path), c.path) << c.path;
  }
  EXPECT_EQ(WithoutExtension(L"dir.d/unit.pas"), L"dir.d/unit");
  EXPECT_EQ(WithoutExtension(L"dir.d/unit"), L"dir.d/unit");
}

TEST(FileNames, CompareFoldsAsciiAndLatin1LettersOnly) {
  EXPECT_TRUE(SameFileName(L"KERNEL32.DLL", L"kernel32.dll"));
  EXPECT_TRUE(SameFileName(L"\u00C9T\u00C9.pas", L"\u00E9t\u00E9.PAS"));
  EXPECT_FALSE(SameFileName(L"a.dll", L"a.dl"));
  // The division sign and the multiplication sign are no letter pair.
  EXPECT_FALSE(SameFileName(L"\u00F7", L"\u00D7"));
  // Greek folds nowhere here.
  EXPECT_FALSE(SameFileName(L"\u03B1", L"\u0391"));
}

TEST(CaseBlindText, AsciiFoldingLeavesLatin1Apart) {
  EXPECT_TRUE(EqualIgnoringCase(L"Filters_Count", L"fILTERS_cOUNT"));
  EXPECT_FALSE(EqualIgnoringCase(L"\u00E9", L"\u00C9"));
  EXPECT_TRUE(EqualIgnoringCase(L"\u00E9", L"\u00C9", TCaseFolding::Latin1));
  // Neighbours of the letter ranges stay themselves.
  EXPECT_FALSE(EqualIgnoringCase(L"@[`{", L"`{@["));
  EXPECT_FALSE(EqualIgnoringCase(L"ab", L"abc"));
  EXPECT_TRUE(EqualIgnoringCase(L"", L""));
}

TEST(TextEncoding, ByteOrderMarksAreFoundAndSkippedOnlyWhenAsked) {
  const std::vector<std::uint8_t> utf8{0xEF, 0xBB, 0xBF, 'a'};
  const std::vector<std::uint8_t> le{0xFF, 0xFE, 'a', 0};
  const std::vector<std::uint8_t> be{0xFE, 0xFF, 0, 'a'};
  const std::vector<std::uint8_t> none{'a', 0};
  EXPECT_EQ(DetectByteOrderMark(utf8), TByteOrderMark::Utf8);
  EXPECT_EQ(DetectByteOrderMark(le), TByteOrderMark::Utf16LE);
  EXPECT_EQ(DetectByteOrderMark(be), TByteOrderMark::Utf16BE);
  EXPECT_EQ(DetectByteOrderMark(none), TByteOrderMark::None);
  EXPECT_EQ(DetectByteOrderMark(std::vector<std::uint8_t>{0xEF, 0xBB}), TByteOrderMark::None);
  EXPECT_EQ(SkipByteOrderMark(utf8, TByteOrderMark::Utf8).size(), 1u);
  // A mark other than the one asked for is text.
  EXPECT_EQ(SkipByteOrderMark(le, TByteOrderMark::Utf16BE).size(), 4u);
  EXPECT_EQ(DecodeUtf16(SkipByteOrderMark(le, TByteOrderMark::Utf16LE), false), L"a");
  EXPECT_EQ(DecodeUtf16(SkipByteOrderMark(be, TByteOrderMark::Utf16BE), true), L"a");
}

TEST(TextEncoding, Utf16LittleEndianRoundTripsAndDropsAnOddByte) {
  const std::wstring text = L"A\u00E9\u20AC\xD83D\xDE00";
  std::vector<std::uint8_t> bytes;
  AppendUtf16LE(bytes, text);
  ASSERT_EQ(bytes.size(), text.size() * 2);
  EXPECT_EQ(bytes[4], 0xAC);
  EXPECT_EQ(bytes[5], 0x20);
  EXPECT_EQ(DecodeUtf16(bytes, false), text);
  bytes.push_back(0x41);
  EXPECT_EQ(DecodeUtf16(bytes, false), text);
}

}  // namespace
}  // namespace zelvic::diag

namespace zelvic::rt {
namespace {

struct CivilCase {
  std::int64_t days;  // since 1970-01-01
  std::int32_t year;
  std::uint32_t month, day;
};

// Day numbers checked against the proleptic Gregorian calendar (Python's
// datetime.date.toordinal() - 719163).
TEST(CivilDate, DayCountsAndDatesConvertBothWays) {
  const CivilCase cases[] = {
      {0, 1970, 1, 1},         {-1, 1969, 12, 31},   {-25569, 1899, 12, 30}, {11016, 2000, 2, 29},
      {11017, 2000, 3, 1},     {-25508, 1900, 3, 1}, {19782, 2024, 2, 29},   {2932896, 9999, 12, 31},
      {-719162, 1, 1, 1},      {-719163, 0, 12, 31},
  };
  for (const CivilCase& c : cases) {
    const TCivilDate d = CivilFromDays(c.days);
    EXPECT_EQ(d.Year, c.year) << c.days;
    EXPECT_EQ(d.Month, c.month) << c.days;
    EXPECT_EQ(d.Day, c.day) << c.days;
    EXPECT_EQ(DaysFromCivil(c.year, c.month, c.day), c.days) << c.year << "-" << c.month << "-" << c.day;
  }
}

TEST(CivilDate, MonthLengthsFollowTheGregorianLeapRule) {
  EXPECT_EQ(DaysInMonth(2024, 2), 29u);
  EXPECT_EQ(DaysInMonth(2023, 2), 28u);
  EXPECT_EQ(DaysInMonth(1900, 2), 28u);
  EXPECT_EQ(DaysInMonth(2000, 2), 29u);
  EXPECT_EQ(DaysInMonth(2023, 4), 30u);
  EXPECT_EQ(DaysInMonth(2023, 12), 31u);
  EXPECT_EQ(DaysInMonth(2023, 0), 0u);
  EXPECT_EQ(DaysInMonth(2023, 13), 0u);
}

TEST(CivilDate, UnixSecondsMeetTheDateTimeScaleAtItsEpoch) {
  EXPECT_EQ(UnixSecondsToDateTime(0), 25569.0);
  EXPECT_EQ(UnixSecondsToDateTime(86400 + 43200), 25570.5);
  EXPECT_EQ(UnixSecondsToDateTime(-86400), 25568.0);
}

}  // namespace
}  // namespace zelvic::rt
