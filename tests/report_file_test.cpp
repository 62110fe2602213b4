// The report file: hand-written report texts written as bytes in each
// encoding, read back, changed and saved; the saved bytes are compared with
// bytes put together here from the same hand-written texts. Damaged files
// (cut short, in an encoding the reader does not know, holding text that is
// no report) load without harm and lose nothing at the next save.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/reports/ELogManager.h"
#include "diagnostics/util/EFileNames.h"
#include "fixed_system_facts.h"
#include "report_texts.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

using test::FixedSystemFacts;
using test::Report;

constexpr wchar_t kGap[] = L"\r\n\r\n\r\n";  // three empty lines after a report's own line break

std::vector<std::uint8_t> Utf16File(const std::wstring& text) {
  std::vector<std::uint8_t> bytes{0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

std::vector<std::uint8_t> Utf8File(const std::wstring& text) {
  std::vector<std::uint8_t> bytes{0xEF, 0xBB, 0xBF};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n, nullptr, nullptr);
  bytes.insert(bytes.end(), utf8.begin(), utf8.end());
  return bytes;
}

// A folder of its own for each test, removed with what is in it.
class ReportFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"zelvic_report_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::to_wstring(GetTickCount()) + L"\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
  }
  void TearDown() override {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder_ + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) DeleteFileW((folder_ + data.cFileName).c_str());
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(folder_.c_str());
  }
  std::wstring Path(const wchar_t* name) const { return folder_ + name; }
  static void Write(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<std::uint8_t> Read(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::wstring folder_;
};

TEST_F(ReportFileTest, LoadAppendSaveGivesUtf16WithThreeEmptyLinesAfterEachReport) {
  const std::wstring file = Path(L"app.vl");
  Write(file, Utf16File(Report(L"AAAA0001") + kGap + Report(L"AAAA0002") + kGap));
  {
    TLogFile log(file, false);
    ASSERT_EQ(log.Count(), 2);
    log.Append(Report(L"AAAA0003"), -1);
    log.Save();
  }
  const auto expected = Utf16File(Report(L"AAAA0001") + kGap + Report(L"AAAA0002") + kGap + Report(L"AAAA0003") + kGap);
  EXPECT_EQ(Read(file), expected);
  TLogFile again(file, true);
  ASSERT_EQ(again.Count(), 3);
  EXPECT_EQ(again.GetItemValue(kItemBugID, 2), L"AAAA0003");
  EXPECT_FALSE(again.HadUnreadableText());
}

TEST_F(ReportFileTest, EveryEncodingLoadsAlikeAndSavesAsUtf16) {
  const std::wstring text = Report(L"C0FFEE01", L"Gr\u00F6\u00DFe \u0416") + kGap;
  const std::vector<std::uint8_t> files[] = {Utf16File(text), Utf8File(text)};
  for (const auto& bytes : files) {
    const std::wstring file = Path(L"enc.vl");
    Write(file, bytes);
    {
      TLogFile log(file, false);
      ASSERT_EQ(log.Count(), 1);
      EXPECT_EQ(log.GetItemValue(kItemVersion, 0), L"Gr\u00F6\u00DFe \u0416");
      log.Save();
    }
    EXPECT_EQ(Read(file), Utf16File(text));
  }
}

TEST_F(ReportFileTest, EightBitFileIsDecodedWithTheCodePageOfItsCharacterSetOrLanguage) {
  // Character set 204 and the language "Russian" both mean code page 1251,
  // where C0 and E0 are the capital and small letter A of the Cyrillic
  // alphabet; the process's own code page reads them as Latin letters.
  const struct {
    const wchar_t* system_items;
    const wchar_t* expected;
  } kCases[] = {
      {L"  6.4 Language : English\r\n  6.5 Charset  : 204\r\n", L"\u0410\u0430"},
      {L"  6.4 Language : russian\r\n", L"\u0410\u0430"},
      {L"  6.4 Language : Russian\r\n  6.5 Charset  : 2x4\r\n", L"\u0410\u0430"},
      {L"  6.4 Language : Klingon\r\n", L"\u00C0\u00E0"},
  };
  for (const auto& c : kCases) {
    std::wstring text = Report(L"DEADBEEF", L"@@");
    text.insert(text.find(L"\r\nCall Stack"), c.system_items);
    text.insert(text.find(L"  6."), L"\r\nSystem:\r\n----------\r\n");
    std::string bytes;
    for (wchar_t ch : text) bytes += static_cast<char>(ch);
    bytes.replace(bytes.find("@@"), 2, "\xC0\xE0");
    const std::wstring file = Path(L"ansi.vl");
    Write(file, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    TLogFile log(file, true);
    ASSERT_EQ(log.Count(), 1);
    EXPECT_EQ(log.GetItemValue(kItemVersion, 0), c.expected) << static_cast<int>(&c - kCases);
  }
}

TEST_F(ReportFileTest, ShortFilesAndEmptyListsAreEmpty) {
  const std::wstring file = Path(L"short.vl");
  Write(file, {0xFF, 0xFE, 'V', 0, 'L', 0});
  {
    TLogFile log(file, false);
    EXPECT_EQ(log.Count(), 0);
    Write(Path(L"empty.vl"), Utf16File(Report(L"1") + kGap));
  }
  TLogFile log(Path(L"empty.vl"), false);
  ASSERT_EQ(log.Count(), 1);
  log.Clear();
  log.Save();
  EXPECT_TRUE(Read(Path(L"empty.vl")).empty());
  TLogFile missing(Path(L"none.vl"), true);
  EXPECT_EQ(missing.Count(), 0);
}

TEST_F(ReportFileTest, DamagedFilesKeepWhatIsNotAReportBesideTheFile) {
  const std::wstring good = Report(L"11111111") + kGap;
  const std::wstring second = Report(L"22222222");
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    int reports;
  } kCases[] = {
      // Cut in the middle of the second report, before its call stack, and
      // in the middle of a code unit.
      {"truncated", [&] {
         auto b = Utf16File(good + second.substr(0, 120));
         b.push_back('X');
         return b;
       }(), 1},
      // UTF-16 without its mark, big-endian: an 8-bit text that ends at the
      // first zero byte.
      {"wrong encoding", [&] {
         std::vector<std::uint8_t> b;
         for (wchar_t c : good) {
           b.push_back(static_cast<std::uint8_t>(c >> 8));
           b.push_back(static_cast<std::uint8_t>(c & 0xFF));
         }
         return b;
       }(), 0},
      // Text between reports that is no report.
      {"corrupt", Utf16File(good + L"garbage line\r\n|not a table\r\n" + kGap + Report(L"33333333") + kGap), 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::wstring file = Path(L"damaged.vl");
    const std::wstring copy = file + L".damaged";
    DeleteFileW(copy.c_str());
    Write(file, c.bytes);
    {
      TLogFile log(file, false);
      EXPECT_EQ(log.Count(), c.reports);
      EXPECT_TRUE(log.HadUnreadableText());
      log.Append(Report(L"44444444"), -1);
      log.Save();
    }
    EXPECT_EQ(Read(copy), c.bytes);
    TLogFile after(file, true);
    EXPECT_EQ(after.Count(), c.reports + 1);
  }
}

TEST_F(ReportFileTest, AppendKeepsTheNewestWithinTheLimit) {
  TLogFile log(std::span<const std::uint8_t>{});
  for (int i = 1; i <= 5; ++i) log.Append(Report(L"0000000" + std::to_wstring(i)), -1);
  log.Append(Report(L"00000006"), -1);
  EXPECT_EQ(log.Count(), 6);
  log.DeleteItem(5);
  log.Append(Report(L"00000009"), 3);
  ASSERT_EQ(log.Count(), 3);
  EXPECT_EQ(log.GetItemValue(kItemBugID, 0), L"00000004");
  EXPECT_EQ(log.GetItemValue(kItemBugID, 1), L"00000005");
  EXPECT_EQ(log.GetItemValue(kItemBugID, 2), L"00000009");
  EXPECT_THROW(log.Append(Report(L"X"), 0), EReportFileError);
  EXPECT_THROW(log.Append(Report(L"X"), -2), EReportFileError);
  EXPECT_EQ(log.Count(), 3);
}

TEST_F(ReportFileTest, ManyAppendsStayApartAfterASaveAndLoad) {
  const std::wstring file = Path(L"many.vl");
  {
    TLogFile log(file, false);
    for (int i = 1; i <= 3; ++i) log.Append(Report(L"0000000" + std::to_wstring(i)) + L"\r\n", -1);
    log.Save();
  }
  TLogFile log(file, true);
  EXPECT_EQ(log.Count(), 3);
  EXPECT_EQ(Read(file), Utf16File(Report(L"00000001") + kGap + Report(L"00000002") + kGap + Report(L"00000003") + kGap));
}

TEST_F(ReportFileTest, FindMatchesWholeValuesFirstAndLast) {
  TLogFile log(std::span<const std::uint8_t>{});
  for (const wchar_t* id : {L"AB", L"ABCD", L"ABCDEF", L"ABCD", L"FFFF", L"ABCD"}) log.Append(Report(id), -1);
  const std::vector<std::wstring> ids{kItemBugID}, values{L"ABCD"};
  EXPECT_EQ(log.FindItem(ids, values), 1);
  EXPECT_EQ(log.FindLastItem(ids, values), 5);
  EXPECT_EQ(log.FindItem(ids, std::vector<std::wstring>{L"ABC"}), -1);
  // One matching pair of several suffices; pairs are tested in order.
  const std::vector<std::wstring> two_ids{kItemBugID, kItemAddress}, two_values{L"nothing", L"00401234"};
  EXPECT_EQ(log.FindLastItem(two_ids, two_values), 5);
  // A value of several lines matches with its escaping and indentation.
  const std::vector<std::wstring> message{L"2.5"},
      text{L"Access violation at address 00401234.: Read of address 00000000\r\nsecond line\r\n\r\nfourth line"};
  EXPECT_EQ(log.FindItem(message, text), 0);
}

TEST_F(ReportFileTest, ItemValuesAreUnescapedAndEndAtTheNextItem) {
  TLogFile log(std::span<const std::uint8_t>{});
  log.Append(Report(L"0BADF00D"), -1);
  EXPECT_EQ(log.GetItemValue(L"2.5", 0),
            L"Access violation at address 00401234.: Read of address 00000000\r\nsecond line\r\n \r\nfourth line");
  EXPECT_EQ(log.GetItemValue(L"2.1", 0), L"Thu, 7 Mar 2024 09:05:04");
  EXPECT_EQ(log.GetItemValue(kItemSent, 0), L"0");
  EXPECT_EQ(log.GetItemValue(L"2.9", 0), L"");
  EXPECT_EQ(log.GetItemValue(kItemBugID, 1), L"");
  EXPECT_EQ(log.GetLogVersion(0), L"7.1.0.0");
  EXPECT_FALSE(log.GetCorruptedLog(0));
}

TEST_F(ReportFileTest, SetItemValueRewritesInPlaceOrEndsTheSection) {
  TLogFile log(std::span<const std::uint8_t>{});
  log.Append(Report(L"0BADF00D"), -1);
  const std::wstring before = log.GetItem(0);
  log.SetItemValue(kItemCount, L"2", L"Count", 0);
  std::wstring expected = before;
  expected.replace(expected.find(L"Count         : 1"), 17, L"Count         : 2");
  EXPECT_EQ(log.GetItem(0), expected);

  // A value of two lines goes under the value's first character.
  log.SetItemValue(kItemSent, L"1\r\nyes", L"Sent", 0);
  EXPECT_NE(log.GetItem(0).find(L"  2.11 Sent         : 1\r\n                      yes\r\n\r\nCall Stack"),
            std::wstring::npos);
  EXPECT_EQ(log.GetItemValue(kItemSent, 0), L"1\r\nyes");

  // A missing item ends its section, its ": " under the one above it.
  log.SetItemValue(L"2.12", L"note", L"Extra", 0);
  EXPECT_NE(log.GetItem(0).find(L"                      yes\r\n  2.12 Extra        : note\r\n\r\nCall Stack"),
            std::wstring::npos);
  EXPECT_EQ(log.GetItemValue(L"2.12", 0), L"note");
  // No numbered item of that section: nothing happens; outside the list too.
  const std::wstring now = log.GetItem(0);
  log.SetItemValue(L"9.1", L"x", L"None", 0);
  log.SetItemValue(kItemCount, L"x", L"Count", 4);
  EXPECT_EQ(log.GetItem(0), now);
}

TEST_F(ReportFileTest, SectionsOfAReport) {
  TLogFile log(std::span<const std::uint8_t>{});
  log.Append(Report(L"0BADF00D"), -1);
  EXPECT_TRUE(log.GetItem_Generals(0).ends_with(L"  2.11 Sent         : 0"));
  EXPECT_TRUE(log.GetItem_CallStack(0).starts_with(L"------"));
  EXPECT_TRUE(log.GetItem_CallStack(0).ends_with(L"|00401234|host.exe|main.cpp|12[3]     |\r\n"
                                                 L"--------------------------------------------\r\n\r\n"));
  EXPECT_EQ(log.GetItem_Modules(0),
            L"--------------------\r\n|Handle  |Name    |\r\n--------------------\r\n|00400000|host.exe|\r\n"
            L"--------------------\r\n\r\n");
}

TEST_F(ReportFileTest, AWriterKeepsOtherWritersOutButLetsReadersIn) {
  const std::wstring file = Path(L"shared.vl");
  Write(file, Utf16File(Report(L"5") + kGap));
  TLogFile writer(file, false);
  TLogFile reader(file, true);
  EXPECT_EQ(reader.Count(), 1);
  HANDLE second = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
}

DWORD WINAPI ReleaseLater(void* handle) {
  Sleep(10);
  CloseHandle(handle);
  return 0;
}

TEST_F(ReportFileTest, ALockedFileIsWaitedForBriefly) {
  const std::wstring file = Path(L"locked.vl");
  Write(file, Utf16File(Report(L"6") + kGap));
  HANDLE lock = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  HANDLE releaser = CreateThread(nullptr, 0, ReleaseLater, lock, 0, nullptr);
  TLogFile log(file, false);
  EXPECT_EQ(log.Count(), 1);
  EXPECT_EQ(log.FileName(), file);
  WaitForSingleObject(releaser, INFINITE);
  CloseHandle(releaser);
}

TEST_F(ReportFileTest, AFileLockedForLongMovesToTheBugReportsFolder) {
  const std::wstring file = Path(L"held.vl");
  Write(file, Utf16File(Report(L"7") + kGap));
  HANDLE lock = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  std::wstring moved;
  {
    TLogFile log(file, false);
    moved = log.FileName();
    EXPECT_EQ(log.Count(), 0);
    log.Append(Report(L"8"), -1);
    log.Save();
  }
  CloseHandle(lock);
  EXPECT_TRUE(moved.ends_with(L"\\Tessaro s.a.s\\VarnelLog\\Bug Reports\\zelvic_tests.exe\\held.vl"))
      << std::string(moved.begin(), moved.end());
  EXPECT_EQ(Read(moved), Utf16File(Report(L"8") + kGap));
  EXPECT_EQ(Read(file), Utf16File(Report(L"7") + kGap));  // the held file is untouched
  DeleteFileW(moved.c_str());
}

TEST_F(ReportFileTest, NamesAreNormalisedBeforeUse) {
  const std::wstring file = Path(L"norm.vl");
  Write(file, Utf16File(Report(L"9") + kGap));
  const std::wstring folder = folder_.substr(0, folder_.size() - 1);
  for (const std::wstring& given : {L"\\\\?\\" + file, L"\\??\\" + file, folder + L"\\.\\norm.vl"}) {
    TLogFile log(given, true);
    EXPECT_EQ(log.Count(), 1) << std::string(given.begin(), given.end());
    EXPECT_TRUE(SameFileName(log.FileName(), file)) << std::string(log.FileName().begin(), log.FileName().end());
  }
}

TEST(ReportFileNames, SuffixesInOrderBeforeTheExtension) {
  FixedSystemFacts facts;
  TVarnelModuleOptions options;
  options.SetOutputPath(L"C:\\Logs\\");
  options.SetSaveLogFile(false);
  EXPECT_EQ(OutputLogFile(options, L"", facts), L"C:\\Logs\\_zelvic.vl");
  options.SetloAddBugIDInLogFileName(true);
  options.SetloAddDateInLogFileName(true);
  EXPECT_EQ(OutputLogFile(options, L"", facts), L"C:\\Logs\\_zelvic_%BUGID%_20240307090504.vl");
  options.SetloAddComputerNameInLogFileName(true);
  options.SetCustomField(L"_OverrideComputerName", L"a\"b*c/d:e<f>g?h\\i|j");
  EXPECT_EQ(OutputLogFile(options, L"D:\\x\\Other.exe", facts),
            L"C:\\Logs\\Other_%BUGID%_a_b_c_d_e_f_g_h_i_j_20240307090504.vl");
}

TEST(ReportFileNames, WhereTheFileGoes) {
  FixedSystemFacts facts;
  TVarnelModuleOptions options;
  options.SetSaveLogFile(false);
  const struct {
    const wchar_t* output_path;
    const wchar_t* main_module;
    const wchar_t* expected;
  } kCases[] = {
      {L"C:\\Logs\\all.vlf", L"C:\\App\\host.exe", L"C:\\Logs\\all.vlf"},   // a report file itself
      {L"logs", L"C:\\App\\host.exe", L"C:\\Fixed\\Lib\\logs\\x.vl"},        // this library's folder
      {L"logs", L"C:\\IDE\\bds.exe", L"D:\\Src\\logs\\x.vl"},                // a development environment
      {L"\\\\srv\\share", L"C:\\App\\host.exe", L"\\\\srv\\share\\x.vl"},
      {L"%LOGROOT%\\r", L"C:\\App\\host.exe", L"E:\\Root\\r\\x.vl"},         // variables expanded
  };
  facts.Environment[L"LOGROOT"] = L"E:\\Root";
  for (const auto& c : kCases) {
    options.SetOutputPath(c.output_path);
    facts.MainModule = c.main_module;
    EXPECT_EQ(OutputFile(options, L"D:\\Src\\x.vl", facts), c.expected) << c.output_path;
  }
  // With saving on, the folders are made and the name is tested for writing.
  options.SetSaveLogFile(true);
  options.SetOutputPath(L"C:\\Logs\\");
  facts.Writable = {L"C:\\Logs\\x.vl"};
  EXPECT_EQ(OutputFile(options, L"x.vl", facts), L"C:\\Logs\\x.vl");
  ASSERT_FALSE(facts.FoldersMade.empty());
  EXPECT_EQ(facts.FoldersMade.front(), L"C:\\Logs\\");
}

}  // namespace
}  // namespace zelvic::diag
