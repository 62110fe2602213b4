// The module list and its modules table: the table text from hand-made
// records, the record rules over a fake platform (file names, version
// resource, file facts, headers), lookups, refresh, Cleanup and Purge, and
// the live list of this process under Wine.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EAnsiFileNamesFix.h"
#include "diagnostics/util/EHook.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/debuginfo/EPEImage.h"
#include "platform/modules.h"
#include "platform/resources.h"
#include "platform/process.h"
#include "runtime/unit_lifecycle.h"
#include "pe_builder.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

// ---------------------------------------------------------------------------
// A process made of fixed values.

struct FakeModule {
  std::wstring LoaderName;
  std::vector<std::uint8_t> Headers;  // readable bytes from the handle on
  std::uint32_t Span = 0x10000;       // what AllocationBase answers for
  std::set<std::wstring> RcData;
};

class FakePlatform : public platform::TModulePlatform {
 public:
  std::map<std::uintptr_t, FakeModule> Modules;
  std::vector<std::uintptr_t> Order;  // enumeration order
  std::map<std::wstring, std::wstring> LongNames;
  std::map<std::wstring, platform::TFileFacts> Files;
  std::map<std::wstring, platform::TVersionResource> Versions;
  std::optional<std::int32_t> Bias = -60;  // UTC+1

  FakeModule& Load(std::uintptr_t handle, std::wstring name) {
    FakeModule& m = Modules[handle];
    m.LoaderName = std::move(name);
    Order.push_back(handle);
    return m;
  }
  void Unload(std::uintptr_t handle) {
    Modules.erase(handle);
    std::erase(Order, handle);
  }

  std::wstring ModuleFileName(std::uintptr_t handle) override {
    auto it = Modules.find(handle);
    return it == Modules.end() ? std::wstring() : it->second.LoaderName;
  }
  std::vector<std::uintptr_t> EnumerateModules() override { return Order; }
  std::wstring LongPathName(const std::wstring& path) override {
    auto it = LongNames.find(path);
    return it == LongNames.end() ? std::wstring() : it->second;
  }
  platform::TFileFacts FileFacts(const std::wstring& path) override {
    auto it = Files.find(path);
    return it == Files.end() ? platform::TFileFacts{} : it->second;
  }
  platform::TVersionResource VersionResource(const std::wstring& path) override {
    auto it = Versions.find(path);
    return it == Versions.end() ? platform::TVersionResource{} : it->second;
  }
  bool ReadMemory(std::uintptr_t address, void* dst, std::uint32_t count) override {
    for (auto& [handle, m] : Modules) {
      const std::uintptr_t base = handle & ~std::uintptr_t{3};
      if (address >= base && address - base + count <= m.Headers.size()) {
        std::memcpy(dst, m.Headers.data() + (address - base), count);
        return true;
      }
    }
    return false;
  }
  bool HasRcDataResource(std::uintptr_t handle, const wchar_t* name) override {
    auto it = Modules.find(handle);
    return it != Modules.end() && it->second.RcData.count(name) != 0;
  }
  std::uintptr_t AllocationBase(std::uintptr_t address) override {
    for (auto& [handle, m] : Modules) {
      if (address >= handle && address < handle + m.Span) return handle;
    }
    return 0;
  }
  std::optional<std::int32_t> TimeZoneBiasMinutes() override { return Bias; }
};

// The extended list without the diagnostics-data probe, which would ask the
// real loader about handles that exist only in the fake.
class FakeListEx : public TVarnelModulesListEx {
 public:
  using TVarnelModulesListEx::TVarnelModulesListEx;
  int Loads = 0;

 protected:
  void LoadDiagnostics(TVarnelModuleInfoEx& info) override {
    ++Loads;
    info.ExtraInformation.VarnelVersion = 0x700;
  }
};

// Headers of a PE32 module as the loader leaves them in memory.
struct FakeSection {
  const char* Name;
  std::uint32_t VirtualAddress, VirtualSize, Characteristics;
};
struct FakeImage {
  std::uint16_t Machine = kMachineI386;
  std::uint16_t Characteristics = 0x2102;  // DLL
  std::uint32_t SizeOfImage = 0x9000;
  std::uint32_t BaseOfCode = 0x1000, SizeOfCode = 0x3000;
  std::uint32_t BaseOfData = 0x5000, SizeOfInitializedData = 0x1200, SizeOfUninitializedData = 0x300;
  std::vector<FakeSection> Sections{{".text", 0x1000, 0x2800, 0x60000020}, {".data", 0x5000, 0x1400, 0xC0000040}};
  std::uint32_t TimeDateStamp = 0;
  // A resource directory inside the header page, with its time stamp.
  std::uint32_t ResourceRva = 0, ResourceSize = 0, ResourceStamp = 0;
  std::uint32_t NumberOfRvaAndSizes = 16;
};

std::vector<std::uint8_t> MakeHeaders(const FakeImage& image) {
  namespace pe = zelvic::test::pe;
  pe::Headers h;
  h.machine = image.Machine;
  h.characteristics = image.Characteristics;
  h.time_date_stamp = image.TimeDateStamp;
  h.size_of_image = image.SizeOfImage;
  h.base_of_code = image.BaseOfCode;
  h.size_of_code = image.SizeOfCode;
  h.base_of_data = image.BaseOfData;
  h.size_of_initialized_data = image.SizeOfInitializedData;
  h.size_of_uninitialized_data = image.SizeOfUninitializedData;
  h.number_of_rva_and_sizes = image.NumberOfRvaAndSizes;
  h.directories[pe::kDirResource] = {image.ResourceRva, image.ResourceSize};
  for (const FakeSection& s : image.Sections) {
    h.sections.push_back({s.Name, s.VirtualAddress, s.VirtualSize, 0, 0, s.Characteristics});
  }
  std::vector<std::uint8_t> b = pe::WriteHeaders(h, 0x400);
  // The resource directory's time stamp, at offset 4 of the directory.
  if (image.ResourceRva != 0 && image.ResourceRva + 8 <= b.size()) pe::Put32(b, image.ResourceRva + 4, image.ResourceStamp);
  return b;
}

std::unique_ptr<TVarnelModuleInfo> Record(std::uintptr_t handle, std::wstring name, std::wstring description,
                                          std::wstring version, std::uint32_t size, TDateTime modified) {
  auto m = std::make_unique<TVarnelModuleInfo>();
  m->Handle = handle;
  m->Name = std::move(name);
  m->Description = std::move(description);
  m->Version = std::move(version);
  m->Size = size;
  m->LastModified = modified;
  return m;
}

std::vector<std::wstring> Lines(TVarnelModulesList& list) {
  return list.Formatter().GetAsStrings();
}

// ---------------------------------------------------------------------------
// The table.

TEST(ModulesFormatter, TableOfFixedRecordsIsExactAndInHandleOrder) {
  FakePlatform p;
  TVarnelModulesList list(p);
  list.Add(Record(0x10000000, L"C:\\Terminal\\MQL4\\Libraries\\_zelvic.dll", L"", L"", 1234567, 45000.5));
  list.Add(Record(0x00400000, L"C:\\Terminal\\terminal.exe", L"Trading terminal", L"4.0.0.1380", 15728640,
                  45000.750081018516));
  list.Add(Record(0x7B000000, L"C:\\windows\\system32\\kernel32.dll", L"Wine core dll", L"10.0.19041.1", 0, 0));
  list.Formatter().CaptionHeader = L"Modules";
  list.Formatter().Changed();

  const std::wstring expected =
      L"Modules\r\n"
      L"--------------------------------------------------------------------------------------------------------------\r\n"
      L"|Handle  |Name        |Description     |Version     |Size    |Modified           |Path                       |\r\n"
      L"--------------------------------------------------------------------------------------------------------------\r\n"
      L"|00400000|terminal.exe|Trading terminal|4.0.0.1380  |15728640|2023-03-15 18:00:07|C:\\Terminal\\               |\r\n"
      L"|10000000|_zelvic.dll |                |            |1234567 |2023-03-15 12:00:00|C:\\Terminal\\MQL4\\Libraries\\|\r\n"
      L"|7B000000|kernel32.dll|Wine core dll   |10.0.19041.1|0       |1899-12-30 00:00:00|C:\\windows\\system32\\       |\r\n"
      L"--------------------------------------------------------------------------------------------------------------\r\n";
  EXPECT_EQ(list.ToString(), expected);
  // The rule is the seven widths plus the eight bars.
  EXPECT_EQ(list.Formatter().LineLen(), 8 + 12 + 16 + 12 + 8 + 19 + 27 + 8);
  EXPECT_EQ(Lines(list)[2].size(), static_cast<std::size_t>(list.Formatter().LineLen()));
  EXPECT_EQ(list.GetItemText(1), Lines(list)[5]);
}

TEST(ModulesFormatter, HandleColumnKeepsEightCharactersUnderAShortCaption) {
  FakePlatform p;
  TVarnelModulesList list(p);
  list.Add(Record(0xABC, L"D:\\a.dll", L"", L"", 5, 36526.0));
  TVarnelModulesFormatter captions;
  captions.CaptionHeader = L"";
  captions.CaptionHandle = L"H";
  captions.CaptionName = L"N";
  captions.CaptionDescription = L"Beschreibung der Datei";
  captions.CaptionVersion = L"V";
  captions.CaptionSize = L"S";
  captions.CaptionLastModified = L"M";
  captions.CaptionPath = L"P";
  list.SetFormatter(captions);
  const auto lines = Lines(list);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], L"|H       |N    |Beschreibung der Datei|V|S|M                  |P  |");
  EXPECT_EQ(lines[3], L"|00000ABC|a.dll|                      | |5|2000-01-01 00:00:00|D:\\|");
  EXPECT_EQ(lines[0], std::wstring(lines[1].size(), L'-'));
}

TEST(ModulesFormatter, EmptyListGivesNothingOrHeaderAndOneRule) {
  FakePlatform p;
  TVarnelModulesList list(p);
  list.Formatter().CaptionHeader.clear();
  list.Formatter().Changed();
  EXPECT_TRUE(Lines(list).empty());
  EXPECT_EQ(list.ToString(), L"");

  const std::wstring header = L"Modules Information";
  const std::wstring text = ModulesListToText(&list, &header);
  // The widths of the captions alone: 8 + 4 + 11 + 7 + 4 + 8 + 4, plus 8.
  EXPECT_EQ(text, L"Modules Information\r\n" + std::wstring(54, L'-') + L"\r\n");
  // The header was only borrowed.
  EXPECT_EQ(list.ToString(), L"");
}

TEST(ModulesFormatter, BreakingCharactersInCellsBecomeSpaces) {
  FakePlatform p;
  TVarnelModulesList list(p);
  list.Add(Record(0x1000, std::wstring(L"C:\\we|ird\\a|b\r\nc.dll"), std::wstring(L"x\0y", 3), L"1|2", 7, 0));
  list.Formatter().CaptionHeader.clear();
  list.Formatter().Changed();
  const auto lines = Lines(list);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], L"|00001000|a b  c.dll|x y        |1 2    |7   |1899-12-30 00:00:00|C:\\we ird\\|");
  EXPECT_EQ(std::count(lines[3].begin(), lines[3].end(), L'|'), 8);
}

TEST(ModulesFormatter, CaptionsComeFromOptionsTextsAndDefaults) {
  TVarnelModuleOptions options;
  options.SetCustomizedTexts(mtDialog_ModulesHeader, L"Moduły");
  options.SetCustomizedTexts(mtModules_Handle, L"Uchwyt modułu");
  options.SetCustomizedTexts(mtModules_Path, L"Ścieżka");
  TVarnelModulesFormatter f;
  f.Assign(options);
  EXPECT_EQ(f.CaptionHeader, L"Moduły");
  EXPECT_EQ(f.CaptionHandle, L"Uchwyt modułu");
  EXPECT_EQ(f.CaptionName, L"Name");
  EXPECT_EQ(f.CaptionLastModified, L"Modified");
  EXPECT_EQ(f.CaptionPath, L"Ścieżka");
  f.Calculate();
  EXPECT_EQ(f.MaxHandle(), 13);

  f.AssignDefaults();
  EXPECT_EQ(f.CaptionHandle, L"Handle");
  EXPECT_EQ(f.CaptionHeader, L"Modules Information");
  EXPECT_THROW(f.SetText(L"x"), EFormatterAssertion);
}

TEST(ModulesFormatter, RecomputesOnlyAfterChanged) {
  FakePlatform p;
  TVarnelModulesList list(p);
  list.Add(Record(0x1000, L"C:\\a.dll", L"", L"", 1, 0));
  const std::size_t before = Lines(list)[3].size();
  list.Add(Record(0x2000, L"C:\\a-much-longer-name.dll", L"", L"", 1, 0));
  // Add tells the formatter; the column grows for every row.
  const auto lines = Lines(list);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_GT(lines[3].size(), before);
  EXPECT_EQ(lines[3].size(), lines[4].size());
}

struct DateCase {
  TDateTime Value;
  const wchar_t* Text;
};
TEST(ModulesFormatter, DateTimeCells) {
  const DateCase cases[] = {
      {0, L"1899-12-30 00:00:00"},
      {36526.0, L"2000-01-01 00:00:00"},
      {45000.750081018516, L"2023-03-15 18:00:07"},
      {45291.999999, L"2023-12-31 23:59:59"},
      {1.999999999, L"1900-01-01 00:00:00"},  // rounds up into the next day
      {45351.25, L"2024-02-29 06:00:00"},
  };
  for (const DateCase& c : cases) EXPECT_EQ(FormatModuleDateTime(c.Value), c.Text) << c.Value;
}

// ---------------------------------------------------------------------------
// Record rules.

TEST(ModulesRecord, LoaderNamesAreNormalised) {
  FakePlatform p;
  p.LongNames[L"C:\\PROGRA~1\\App\\a.dll"] = L"C:\\Program Files\\App\\a.dll";
  const struct {
    const wchar_t* In;
    const wchar_t* Out;
  } cases[] = {
      {L"\\??\\C:\\x\\a.dll", L"C:\\x\\a.dll"},
      {L"\\\\?\\C:\\x\\a.dll", L"C:\\x\\a.dll"},
      {L"\\??\\\\\\?\\C:\\x\\a.dll", L"C:\\x\\a.dll"},
      {L"\\SystemRoot?\\C:\\windows\\a.dll", L"C:\\windows\\a.dll"},
      {L"C:\\x\\.\\y\\.\\a.dll", L"C:\\x\\y\\a.dll"},
      {L"\\??\\C:\\PROGRA~1\\App\\.\\a.dll", L"C:\\Program Files\\App\\a.dll"},
      {L"a?b.dll", L"a?b.dll"},  // no ":" after the "?": left alone
  };
  for (const auto& c : cases) EXPECT_EQ(NormaliseModuleFileName(c.In, p), c.Out) << c.In;
}

TEST(ModulesRecord, VersionTextFromFixedFileInfo) {
  EXPECT_EQ(ModuleVersionText({true, 0x00060001, 0x1DB10002, L""}), L"6.1.7601.2");
  EXPECT_EQ(ModuleVersionText({true, 0, 0, L"x"}), L"");  // 0.0.0.0 reads as none
  EXPECT_EQ(ModuleVersionText({true, 0, 1, L""}), L"0.0.0.1");
  EXPECT_EQ(ModuleVersionText({false, 0x00010000, 0, L""}), L"");
}

class ModulesRecordFixture : public ::testing::Test {
 protected:
  static constexpr std::uintptr_t kLib = 0x10000000;
  void SetUp() override {
    FakeModule& m = p.Load(kLib, L"\\??\\C:\\App\\lib.dll");
    m.Headers = MakeHeaders(FakeImage{});
    p.Files[L"C:\\App\\lib.dll"] = {true, 4096, 45000.5};
    p.Versions[L"C:\\App\\lib.dll"] = {true, 0x00020003, 0x00040005, L"A library"};
  }
  TVarnelModuleInfo* Load(const FakeImage& image) {
    p.Modules[kLib].Headers = MakeHeaders(image);
    return list.LoadModuleInfo(kLib, {}, true);
  }
  FakePlatform p;
  TVarnelModulesList list{p};
};

TEST_F(ModulesRecordFixture, RecordTakesFileFactsVersionAndRanges) {
  const TVarnelModuleInfo* m = list.LoadModuleInfo(kLib, {}, true);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->Name, L"C:\\App\\lib.dll");
  EXPECT_EQ(m->Description, L"A library");
  EXPECT_EQ(m->Version, L"2.3.4.5");
  EXPECT_EQ(m->Size, 4096u);
  EXPECT_EQ(m->LastModified, 45000.5);
  EXPECT_EQ(m->ModuleType, mtLibrary);
  EXPECT_EQ(m->VirtualSize, 0x9000u);
  EXPECT_EQ(m->CodeBegin, kLib + 0x1000);
  EXPECT_EQ(m->CodeEnd, kLib + 0x3800);
  EXPECT_EQ(m->DataBegin, kLib + 0x5000);
  EXPECT_EQ(m->DataEnd, kLib + 0x5000 + 0x1200 + 0x300);
  EXPECT_EQ(list.Count(), 1);
  // A given file name is taken as it is.
  EXPECT_EQ(list.LoadModuleInfo(kLib, L"X:\\given.dll", true)->Name, L"X:\\given.dll");
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(ModulesRecordFixture, UnreadableFileAndShortDescriptionLeaveFieldsEmpty) {
  p.Files.clear();
  p.Versions[L"C:\\App\\lib.dll"] = {true, 0, 0, L"x"};
  const TVarnelModuleInfo* m = list.LoadModuleInfo(kLib, {}, true);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->Description, L"");
  EXPECT_EQ(m->Version, L"");
  EXPECT_EQ(m->Size, 0u);
  EXPECT_EQ(m->LastModified, 0);
  // A file too large for 32 bits has no size either.
  p.Files[L"C:\\App\\lib.dll"] = {true, 0x100000000ull, 1.0};
  EXPECT_EQ(list.LoadModuleInfo(kLib, {}, true)->Size, 0u);
}

TEST_F(ModulesRecordFixture, ReloadEmptiesTheRecordInPlace) {
  TVarnelModuleInfo* m = list.LoadModuleInfo(kLib, {}, true);
  m->DelphiVersion = 7;
  p.Versions.clear();
  EXPECT_EQ(list.LoadModuleInfo(kLib, {}, true), m);
  EXPECT_EQ(m->DelphiVersion, 0);
  EXPECT_EQ(m->Description, L"");
}

TEST_F(ModulesRecordFixture, ModuleKinds) {
  FakeImage program;
  program.Characteristics = 0x0102;
  EXPECT_EQ(Load(program)->ModuleType, mtProgram);
  p.Modules[kLib].RcData = {L"PACKAGEINFO"};
  EXPECT_EQ(Load(FakeImage{})->ModuleType, mtLibrary);
  p.Modules[kLib].RcData = {L"PACKAGEINFO", L"PACKAGEOPTIONS"};
  EXPECT_EQ(Load(FakeImage{})->ModuleType, mtPackage);
  // Not PE: the name is still recorded, kind and ranges are not.
  p.Modules[kLib].Headers.assign(0x400, 0);
  TVarnelModuleInfo* m = list.LoadModuleInfo(kLib, {}, true);
  EXPECT_EQ(m->ModuleType, mtUnknown);
  EXPECT_EQ(m->CodeBegin, 0u);
  EXPECT_EQ(m->VirtualSize, 0u);
  // Headers cut short (an unreadable page) count as not PE.
  p.Modules[kLib].Headers = MakeHeaders(FakeImage{});
  p.Modules[kLib].Headers.resize(0x100);
  EXPECT_EQ(list.LoadModuleInfo(kLib, {}, true)->ModuleType, mtUnknown);
}

struct RangeCase {
  const char* What;
  std::vector<FakeSection> Sections;
  std::uint32_t BaseOfData;
  std::uint32_t CodeBegin, CodeEnd, DataBegin, DataEnd;
};
TEST_F(ModulesRecordFixture, CodeAndDataRanges) {
  const RangeCase cases[] = {
      {"first section code", {{".text", 0x1000, 0x2800, 0x60000020}, {".data", 0x5000, 0x100, 0xC0000040}},
       0x5000, 0x1000, 0x3800, 0x5000, 0x6500},
      {"two code sections", {{".text", 0x1000, 0x2800, 0x60000020}, {"CODE2", 0x4000, 0x800, 0x60000020}},
       0x5000, 0x1000, 0x4800, 0x5000, 0x6500},
      {"UPX", {{"UPX0", 0x1000, 0x7000, 0xE0000080}, {"UPX1", 0x8000, 0x800, 0xE0000060}}, 0,
       0x1000, 0x8000, 0, 0},
      {"no code flag", {{".rdata", 0x1000, 0x200, 0x40000040}}, 0x5000, 0x1000, 0x4000, 0x5000, 0x6500},
      {"no sections", {}, 0, 0x1000, 0x4000, 0, 0},
  };
  for (const RangeCase& c : cases) {
    FakeImage image;
    image.Sections = c.Sections;
    image.BaseOfData = c.BaseOfData;
    const TVarnelModuleInfo* m = Load(image);
    EXPECT_EQ(m->CodeBegin, c.CodeBegin ? kLib + c.CodeBegin : 0) << c.What;
    EXPECT_EQ(m->CodeEnd, c.CodeEnd ? kLib + c.CodeEnd : 0) << c.What;
    EXPECT_EQ(m->DataBegin, c.DataBegin ? kLib + c.DataBegin : 0) << c.What;
    EXPECT_EQ(m->DataEnd, c.DataEnd ? kLib + c.DataEnd : 0) << c.What;
  }
}

// 2023-03-15 12:34:56 as a packed file date-time.
constexpr std::uint32_t kPackedStamp = (((2023u - 1980) << 9 | 3 << 5 | 15) << 16) | (12 << 11 | 34 << 5 | 28);
constexpr TDateTime kStampLocal = 45000.0 + (12 * 3600 + 34 * 60 + 56) / 86400.0;

TEST(ModulesRecord, PackedFileDates) {
  EXPECT_DOUBLE_EQ(PackedFileDateToDateTime(kPackedStamp), kStampLocal);
  EXPECT_DOUBLE_EQ(PackedFileDateToDateTime((((2024u - 1980) << 9 | 2 << 5 | 29) << 16)), 45351.0);
  EXPECT_EQ(PackedFileDateToDateTime((((2023u - 1980) << 9 | 2 << 5 | 29) << 16)), 0);  // no 29 February
  EXPECT_EQ(PackedFileDateToDateTime((((2023u - 1980) << 9 | 13 << 5 | 1) << 16)), 0);
  EXPECT_EQ(PackedFileDateToDateTime((((2023u - 1980) << 9 | 1 << 5 | 1) << 16) | 24 << 11), 0);
}

TEST_F(ModulesRecordFixture, CompilationDateFromTheImage) {
  FakeImage image;
  image.ResourceRva = 0x300;
  image.ResourceSize = 0x40;
  image.ResourceStamp = kPackedStamp;
  p.Modules[kLib].Headers = MakeHeaders(image);
  const TDateTime utc = kStampLocal - 1.0 / 24;
  EXPECT_DOUBLE_EQ(ImageTimeStamp(p, kLib), utc);
  EXPECT_DOUBLE_EQ(ImageTimeStamp(p, kLib | 2), utc);  // flag bits of a resource-only load

  TDateTime date = -1;
  ASSERT_TRUE(ModuleCompilationDate(nullptr, p, kLib, false, date));
  EXPECT_DOUBLE_EQ(date, utc);
  ASSERT_TRUE(ModuleCompilationDate(nullptr, p, kLib, true, date));
  EXPECT_DOUBLE_EQ(date, kStampLocal);
  p.Bias.reset();
  EXPECT_THROW(ModuleCompilationDate(nullptr, p, kLib, true, date), EVlDateTimeError);
}

TEST_F(ModulesRecordFixture, CompilationDateRules) {
  const struct {
    const char* What;
    FakeImage Image;
    TDateTime Utc;
  } cases[] = {
      {"no resources", FakeImage{}, 0},
      {"empty resource stamp", [] { FakeImage s; s.ResourceRva = 0x300; s.ResourceSize = 0x40; return s; }(), 0},
      {"resources of size 0",
       [] { FakeImage s; s.ResourceRva = 0x300; s.ResourceStamp = kPackedStamp; return s; }(), 0},
      {"one directory only",
       [] {
         FakeImage s;
         s.ResourceRva = 0x300;
         s.ResourceSize = 0x40;
         s.ResourceStamp = kPackedStamp;
         s.NumberOfRvaAndSizes = 1;
         return s;
       }(),
       0},
      {"PE32 ignores the file header", [] { FakeImage s; s.TimeDateStamp = 86400 * 2; return s; }(), 0},
      {"PE32+ takes the file header",
       [] {
         FakeImage s;
         s.Machine = kMachineAmd64;
         s.TimeDateStamp = 86400 * 2 + 43200;
         return s;
       }(),
       25571.5},
  };
  for (const auto& c : cases) {
    p.Modules[kLib].Headers = MakeHeaders(c.Image);
    EXPECT_DOUBLE_EQ(ImageTimeStamp(p, kLib), c.Utc) << c.What;
    TDateTime date = -1;
    EXPECT_EQ(ModuleCompilationDate(nullptr, p, kLib, false, date), c.Utc != 0) << c.What;
  }
}

// ---------------------------------------------------------------------------
// Lookups, refresh, Cleanup and Purge.

class ModulesListFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [handle, name] : {std::pair<std::uintptr_t, const wchar_t*>{0x00400000, L"C:\\app.exe"},
                                {0x7B000000, L"C:\\w\\kernel32.dll"},
                                {0x10000000, L"C:\\app\\_zelvic.dll"}}) {
      p.Load(handle, name).Headers = MakeHeaders(FakeImage{});
      p.Files[name] = {true, 100, 45000.0};
    }
  }
  std::vector<std::uintptr_t> Handles(TVarnelModulesList& list) {
    std::vector<std::uintptr_t> h;
    for (int i = 0; i < list.Count(); ++i) h.push_back(list.GetItem(i)->Handle);
    return h;
  }
  FakePlatform p;
};

TEST_F(ModulesListFixture, RefreshSortsByHandle) {
  TVarnelModulesList list(p);
  list.Refresh(true);
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0x00400000, 0x10000000, 0x7B000000}));
  // Lookups outside a refresh do not add to the base list.
  p.Load(0x20000000, L"C:\\late.dll");
  EXPECT_EQ(list.ModuleInfoByHandle(0x20000000), nullptr);
  EXPECT_EQ(list.Count(), 3);
}

TEST_F(ModulesListFixture, LookupByHandleAndByAddressAddsMissingModules) {
  FakeListEx list(p);
  list.Refresh(true);
  TVarnelModuleInfo* zelvic = list.ModuleInfoByHandle(0x10000000);
  ASSERT_NE(zelvic, nullptr);
  EXPECT_EQ(list.ModuleInfoByAddr(0x10001234), zelvic);
  EXPECT_EQ(list.ModuleInfoByAddrEx(0x10001234)->ExtraInformation.VarnelVersion, 0x700);
  EXPECT_EQ(list.ModuleInfoByHandle(0), nullptr);
  EXPECT_EQ(list.ModuleInfoByHandle(0x10000001), nullptr);  // not a module
  EXPECT_EQ(list.ModuleInfoByAddr(0x30000000), nullptr);    // not committed

  p.Load(0x20000000, L"C:\\late.dll").Headers = MakeHeaders(FakeImage{});
  TVarnelModuleInfoEx* late = list.ModuleInfoByAddrEx(0x20000010);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->Handle, 0x20000000u);
  EXPECT_EQ(late->Name, L"C:\\late.dll");
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0x00400000, 0x10000000, 0x20000000, 0x7B000000}));
  EXPECT_EQ(list.ModuleInfoByHandleEx(0x20000000), late);
}

TEST_F(ModulesListFixture, FullRefreshOfTheSharedListKeepsRecords) {
  FakeListEx list(p);
  list.Refresh(true);
  TVarnelModuleInfo* kernel = list.ModuleInfoByHandle(0x7B000000);
  const int loads = list.Loads;
  p.Unload(0x10000000);
  list.Refresh(true);
  EXPECT_EQ(list.ModuleInfoByHandle(0x7B000000), kernel);
  EXPECT_EQ(list.Loads, loads);  // nothing reloaded
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0x00400000, 0x7B000000}));
}

TEST_F(ModulesListFixture, CleanupMovesUnloadedRecordsToTheFrontWithoutFreeingThem) {
  FakeListEx list(p);
  list.Refresh(true);
  TVarnelModuleInfo* kernel = list.ModuleInfoByHandle(0x7B000000);
  TVarnelModuleInfo* zelvic = list.ModuleInfoByHandle(0x10000000);
  p.Unload(0x7B000000);
  p.Unload(0x10000000);
  list.Cleanup();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0, 0, 0x00400000}));
  EXPECT_EQ(kernel->Name, L"C:\\w\\kernel32.dll");  // still alive for whoever holds it
  EXPECT_EQ(zelvic->Handle, 0u);
  // The order by handle still holds: a new module lands behind them.
  p.Load(0x01000000, L"C:\\b.dll");
  ASSERT_NE(list.ModuleInfoByHandle(0x01000000), nullptr);
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0, 0, 0x00400000, 0x01000000}));
  // A later refresh leaves the cleaned-up records where they are.
  list.Refresh(false);
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0, 0, 0x00400000, 0x01000000}));
  EXPECT_TRUE(list.GetItem(0) == kernel || list.GetItem(1) == kernel);
}

TEST_F(ModulesListFixture, PartialRefreshDropsUnloadedModules) {
  TVarnelModulesList list(p);
  list.Refresh(true);
  TVarnelModuleInfo* app = list.ModuleInfoByHandle(0x00400000);
  p.Unload(0x10000000);
  p.Load(0x60000000, L"C:\\new.dll");
  list.Refresh(false);
  EXPECT_EQ(Handles(list), (std::vector<std::uintptr_t>{0x00400000, 0x60000000, 0x7B000000}));
  EXPECT_EQ(list.ModuleInfoByHandle(0x00400000), app);
}

TEST_F(ModulesListFixture, PurgeReloadsChangedFiles) {
  FakeListEx list(p);
  list.Refresh(true);
  TVarnelModuleInfo* app = list.ModuleInfoByHandle(0x00400000);
  TVarnelModuleInfo* kernel = list.ModuleInfoByHandle(0x7B000000);
  const int loads = list.Loads;
  p.Files[L"C:\\w\\kernel32.dll"].LastModifiedLocal = 45001.0;
  list.Purge();
  EXPECT_EQ(list.ModuleInfoByHandle(0x00400000), app);  // unchanged: kept
  TVarnelModuleInfo* fresh = list.ModuleInfoByHandle(0x7B000000);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->LastModified, 45001.0);
  EXPECT_EQ(list.Loads, loads + 1);
  (void)kernel;
}

TEST_F(ModulesListFixture, CompilationDateOfTheRecordWinsOverTheImage) {
  FakeListEx list(p);
  list.Refresh(true);
  list.ModuleInfoByHandleEx(0x10000000)->ExtraInformation.CompilationDate = 45100.25;
  TDateTime date = 0;
  ASSERT_TRUE(ModuleCompilationDate(&list, p, 0x10000000, false, date));
  EXPECT_DOUBLE_EQ(date, 45100.25);
  ASSERT_TRUE(ModuleCompilationDate(&list, p, 0x10000000, true, date));
  EXPECT_DOUBLE_EQ(date, 45100.25 + 1.0 / 24);
  EXPECT_FALSE(ModuleCompilationDate(&list, p, 0x00400000, false, date));
}

TEST_F(ModulesListFixture, OperationsWaitForTheModuleListLock) {
  FakeListEx list(p);
  list.Refresh(true);
  list.Lock();
  list.Lock();  // re-entrant
  // The other thread notes how many holds this thread still had when its
  // operation got through: none, however the threads are scheduled.
  std::atomic<int> holds{2};
  int holds_seen = -1;
  int count = 0;
  zelvic::test::Event reached;
  zelvic::test::Event done;
  std::thread other([&] {
    reached.Set();
    count = list.GetCount();
    holds_seen = holds.load();
    done.Set();
  });
  ASSERT_TRUE(reached.WaitFor(zelvic::test::kDeadlockMs));
  done.WaitFor(zelvic::test::kBlockedGraceMs);  // time for a faulty lock to let it through
  EXPECT_EQ(list.ModuleInfoByHandle(0x7B000000)->Handle, 0x7B000000u);  // the owner goes on
  holds = 1;
  list.Unlock();
  done.WaitFor(zelvic::test::kBlockedGraceMs);
  holds = 0;
  list.Unlock();
  EXPECT_TRUE(done.WaitFor(zelvic::test::kDeadlockMs));
  other.join();
  EXPECT_EQ(holds_seen, 0);
  EXPECT_EQ(count, 3);
}

TEST_F(ModulesListFixture, AssignCopiesRecordsDeeply) {
  FakeListEx source(p);
  source.Refresh(true);
  auto* z = source.ModuleInfoByHandleEx(0x10000000);
  z->FunctionsList = std::make_unique<TVarnelFunctionsList>(TVarnelFunctionsList{{L"f", 0x10001000, 16}});
  z->ExtraInformation.Options = std::make_shared<TVarnelModuleOptions>(L"C:\\app\\_zelvic.dll");

  FakeListEx copy(p);
  copy.Assign(source);
  auto* c = copy.ModuleInfoByHandleEx(0x10000000);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c, z);
  ASSERT_NE(c->FunctionsList, nullptr);
  EXPECT_NE(c->FunctionsList.get(), z->FunctionsList.get());
  EXPECT_EQ((*c->FunctionsList)[0].Name, L"f");
  EXPECT_EQ(c->ExtraInformation.Options, z->ExtraInformation.Options);
  EXPECT_EQ(copy.ToString(), source.ToString());

  // From a plain list: the extended parts start empty.
  TVarnelModulesList plain(p);
  plain.Refresh(true);
  copy.Assign(plain);
  EXPECT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy.GetItemEx(1)->ExtraInformation.VarnelVersion, 0);
}

// An extended record is released whole, its extended parts included, by
// every way the list lets go of it.
TEST_F(ModulesListFixture, ExtendedRecordsAreReleasedWhole) {
  struct {
    const char* way;
    void (*drop)(FakeListEx& list, FakePlatform& p);
  } const cases[] = {
      {"Delete", [](FakeListEx& list, FakePlatform&) { list.Delete(2); }},
      {"Clear", [](FakeListEx& list, FakePlatform&) { list.Clear(); }},
      {"partial refresh of an unloaded module",
       [](FakeListEx& list, FakePlatform& p) {
         p.Unload(0x7B000000);
         list.Refresh(false);
       }},
      {"purge of a changed file",
       [](FakeListEx& list, FakePlatform& p) {
         p.Files[L"C:\\w\\kernel32.dll"].LastModifiedLocal = 45001.0;
         list.Purge();
       }},
      {"reload in place", [](FakeListEx& list, FakePlatform&) { list.LoadModuleInfo(0x7B000000, {}, true); }},
      {"assign", [](FakeListEx& list, FakePlatform& p) {
         TVarnelModulesList plain(p);
         list.Assign(plain);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.way);
    FakePlatform fresh = p;
    FakeListEx list(fresh);
    list.Refresh(true);
    auto held = std::make_shared<std::vector<std::uint8_t>>(3, 0xAB);
    TVarnelModuleInfoEx* kernel = list.ModuleInfoByHandleEx(0x7B000000);
    ASSERT_NE(kernel, nullptr);
    kernel->ExtraInformation.DebugInformation = held;
    c.drop(list, fresh);
    EXPECT_EQ(held.use_count(), 1);
  }
  // And by the list's own end.
  auto held = std::make_shared<std::vector<std::uint8_t>>(3, 0xAB);
  {
    FakeListEx list(p);
    list.Refresh(true);
    list.ModuleInfoByHandleEx(0x10000000)->ExtraInformation.DebugInformation = held;
    EXPECT_EQ(held.use_count(), 2);
  }
  EXPECT_EQ(held.use_count(), 1);
}

// ---------------------------------------------------------------------------
// The live process under Wine.

struct LiveModule {
  const wchar_t* Name;
  TModuleType Kind;
};

TEST(ModulesLive, RefreshFindsTheRealModulesWithTheirFacts) {
  HMODULE zelvic = LoadLibraryW(zelvic::test::DllPath().c_str());
  ASSERT_NE(zelvic, nullptr);
  HMODULE user32 = LoadLibraryW(L"user32.dll");
  ASSERT_NE(user32, nullptr);
  {
    TVarnelModulesListEx list;
    list.Refresh(true);
    ASSERT_GE(list.Count(), 5);
    for (int i = 1; i < list.Count(); ++i) EXPECT_LT(list.GetItem(i - 1)->Handle, list.GetItem(i)->Handle);

    const std::pair<std::uintptr_t, TModuleType> expected[] = {
        {platform::MainModuleBase(), mtProgram},
        {reinterpret_cast<std::uintptr_t>(zelvic), mtLibrary},
        {reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll")), mtLibrary},
        {reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"ntdll.dll")), mtLibrary},
        {reinterpret_cast<std::uintptr_t>(user32), mtLibrary},
    };
    const std::wregex version(L"\\d+\\.\\d+\\.\\d+\\.\\d+");
    for (auto [handle, kind] : expected) {
      SCOPED_TRACE(handle);
      // Present before any lookup could have added it.
      bool listed = false;
      for (int i = 0; i < list.Count(); ++i) listed |= list.GetItem(i)->Handle == handle;
      EXPECT_TRUE(listed);
      const TVarnelModuleInfoEx* m = list.ModuleInfoByHandleEx(handle);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->ModuleType, kind);
      EXPECT_NE(m->Name.find(L':'), std::wstring::npos) << "a DOS path";
      EXPECT_EQ(m->Name.find(L"\\??\\"), std::wstring::npos);
      WIN32_FILE_ATTRIBUTE_DATA data;
      ASSERT_TRUE(GetFileAttributesExW(m->Name.c_str(), GetFileExInfoStandard, &data));
      EXPECT_EQ(m->Size, data.nFileSizeLow);
      EXPECT_GT(m->Size, 0u);
      EXPECT_GT(m->LastModified, 36526.0);
      EXPECT_GT(m->VirtualSize, 0u);
      EXPECT_GE(m->CodeBegin, handle);
      EXPECT_LT(m->CodeBegin, m->CodeEnd);
      EXPECT_LE(m->CodeEnd, handle + m->VirtualSize);
      if (m->Version.empty()) continue;  // Wine reports none for a file without a version resource
      EXPECT_TRUE(std::regex_match(m->Version, version)) << m->Version;
    }
    // Wine's system libraries carry version resources.
    const auto* kernel = list.ModuleInfoByHandleEx(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll")));
    EXPECT_TRUE(std::regex_match(kernel->Version, version)) << kernel->Version;
    EXPECT_EQ(kernel->ExtraInformation.Options, nullptr);
    EXPECT_EQ(kernel->ExtraInformation.VarnelVersion, 0);

    // The library carries VLDATA: its record has the module's options.
    const auto* z = list.ModuleInfoByAddrEx(reinterpret_cast<std::uintptr_t>(GetProcAddress(zelvic, "GetVarnelLog")));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z->Handle, reinterpret_cast<std::uintptr_t>(zelvic));
    ASSERT_NE(z->ExtraInformation.Options, nullptr);
    EXPECT_EQ(z->ExtraInformation.Options->ModuleName(), z->Name);
    EXPECT_NE(z->ExtraInformation.VarnelVersion, 0);
    EXPECT_GT(z->DataEnd, z->DataBegin);

    // The table holds one row per record between the rules.
    list.Formatter().CaptionHeader.clear();
    list.Changed();
    EXPECT_EQ(list.Formatter().GetAsStrings().size(), static_cast<std::size_t>(list.Count()) + 4);
  }
  FreeLibrary(user32);
  FreeLibrary(zelvic);
}

TEST(ModulesLive, UnloadedLibraryIsZeroedByCleanupAndKeptByRefresh) {
  TVarnelModulesListEx list;
  HMODULE lib = LoadLibraryW(zelvic::test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  // The test program may hold the library already; only a real unload shows.
  HMODULE probe = nullptr;
  TVarnelModuleInfo* m = list.ModuleInfoByHandle(reinterpret_cast<std::uintptr_t>(lib));
  ASSERT_NE(m, nullptr);
  FreeLibrary(lib);
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, zelvic::test::DllPath().c_str(), &probe)) {
    GTEST_SKIP() << "the library stays loaded in this process";
  }
  list.Cleanup();
  EXPECT_EQ(m->Handle, 0u);
  EXPECT_EQ(list.GetItem(0), m);
  list.Refresh(false);
  EXPECT_EQ(list.GetItem(0), m);
  EXPECT_EQ(m->Name.empty(), false);
}

TEST(ModulesLive, ProcessListIsOneAndNotMadeAgainAfterShutDown) {
  TVarnelModulesListEx* list = GetModulesList();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(GetModulesList(), list);
  EXPECT_TRUE(list->Formatter().CaptionHeader.empty());
  EXPECT_NE(list->ModuleInfoByHandle(platform::MainModuleBase()), nullptr);
  EXPECT_TRUE(IsModuleValid(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll"))));
  EXPECT_FALSE(IsModuleValid(0x10));

  SetModuleDelphiVersion(platform::MainModuleBase(), 21);
  EXPECT_EQ(ModuleDelphiVersion(platform::MainModuleBase()), 21);
  EXPECT_EQ(ModuleDelphiVersion(0x10), 0);

  const std::uint8_t saved = rt::IsShuttingDown;
  rt::IsShuttingDown = 0;
  EModulesDone();  // the unit's shut-down flags shut-down itself
  EXPECT_EQ(rt::IsShuttingDown, 1);
  EXPECT_EQ(ExistingModulesList(), nullptr);
  EXPECT_EQ(GetModulesList(), nullptr);
  EXPECT_EQ(ModuleDelphiVersion(platform::MainModuleBase()), 0);
  // Without the list the platform answers.
  EXPECT_TRUE(IsModuleValid(platform::MainModuleBase()));
  EXPECT_FALSE(IsModuleValid(0x10));
  rt::IsShuttingDown = saved;
  EXPECT_NE(GetModulesList(), nullptr);
}

TEST(ModulesLive, DiagnosticsDataOfTheLibraryOnly) {
  HMODULE lib = LoadLibraryW(zelvic::test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  EXPECT_TRUE(ModuleHasDiagnosticsData(reinterpret_cast<std::uintptr_t>(lib)));
  EXPECT_NE(ModuleDiagnosticsVersion(reinterpret_cast<std::uintptr_t>(lib)), 0);
  const auto kernel = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll"));
  EXPECT_FALSE(ModuleHasDiagnosticsData(kernel));
  EXPECT_EQ(ModuleDiagnosticsVersion(kernel), 0);
  const auto data = FindModuleResource(reinterpret_cast<std::uintptr_t>(lib), L"VLDATA", 10);
  ASSERT_GE(data.size(), 6u);
  EXPECT_EQ(data[4] | data[5] << 8, ModuleDiagnosticsVersion(reinterpret_cast<std::uintptr_t>(lib)));
  EXPECT_TRUE(FindModuleResource(0x10, L"VLDATA", 10).empty());
  FreeLibrary(lib);
}

// ---------------------------------------------------------------------------
// 8-bit file names.

class FakeAnsiNames : public platform::TAnsiNamePlatform {
 public:
  std::map<std::wstring, std::wstring> ShortNames;
  std::uint8_t Next = 0;
  std::wstring ShortPathName(const std::wstring& path) override {
    auto it = ShortNames.find(path);
    return it == ShortNames.end() ? std::wstring() : it->second;
  }
  platform::TGuidValue NewGuid() override {
    platform::TGuidValue g{0x0A1B2C3D, 0xE4F5, 0x0607, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, Next++}};
    return g;
  }
  std::string ToAnsi(const std::wstring& text) override {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
  }
};

TEST(ModulesAnsiFileNames, ShortNameWithoutTheReplacement) {
  FakeAnsiNames p;
  p.ShortNames[L"C:\\Programy\\Żółw\\lib.dll"] = L"C:\\PROGRA~1\\ZOW~1\\lib.dll";
  TAnsiFileNames table(p);
  EXPECT_EQ(table.MakeAnsiFileName(L"C:\\Programy\\Żółw\\lib.dll"), "C:\\PROGRA~1\\ZOW~1\\lib.dll");
  EXPECT_EQ(table.MakeAnsiFileName(L"C:\\nowhere\\ż.dll"), "C:\\nowhere\\?.dll");
  EXPECT_TRUE(table.Slots().empty());  // nothing to remember
}

TEST(ModulesAnsiFileNames, AliasesAreRecordedAndSlotsReused) {
  FakeAnsiNames p;
  TAnsiFileNames table(p);
  table.SetHookInstalled(true);
  const std::string a = table.MakeAnsiFileName(L"C:\\Żółw\\first.dll");
  EXPECT_EQ(a, "C:\\{0a1b2c3d-e4f5-0607-8091-a2b3c4d5e600}first.dll");
  EXPECT_EQ(a.size(), 3 + 38 + 9u);
  const std::string b = table.MakeAnsiFileName(L"C:\\Żółw\\second.dll");
  EXPECT_EQ(table.FindByAlias(a), L"C:\\Żółw\\first.dll");
  EXPECT_EQ(table.FindByAlias(b), L"C:\\Żółw\\second.dll");
  EXPECT_EQ(table.FindByAlias("C:\\other.dll"), std::nullopt);

  table.ReleaseAnsiFileName(L"C:\\Żółw\\FIRST.dll");  // exact names only
  EXPECT_EQ(table.FindByAlias(a), L"C:\\Żółw\\first.dll");
  table.ReleaseAnsiFileName(L"C:\\Żółw\\first.dll");
  EXPECT_EQ(table.FindByAlias(a), std::nullopt);
  ASSERT_EQ(table.Slots().size(), 2u);
  EXPECT_TRUE(table.Slots()[0].Name.empty());
  EXPECT_TRUE(table.Slots()[0].Alias.empty());

  const std::string c = table.MakeAnsiFileName(L"C:\\third.dll");
  ASSERT_EQ(table.Slots().size(), 2u);  // the emptied slot took it
  EXPECT_EQ(table.Slots()[0].Alias, c);
}

TEST(ModulesAnsiFileNames, ProcessTableFollowsTheUnitsSteps) {
  const bool was_there = AnsiFileNames() != nullptr;
  AnsiFileNamesInit();
  TAnsiFileNames* table = AnsiFileNames();
  ASSERT_NE(table, nullptr);
  AnsiFileNamesInit();
  EXPECT_EQ(AnsiFileNames(), table);  // a second start keeps the table
  AnsiFileNamesDone();
  EXPECT_EQ(AnsiFileNames(), nullptr);
  // Without the table names are still made, and releasing does nothing.
  EXPECT_FALSE(MakeAnsiFileName(zelvic::test::DllPath()).empty());
  ReleaseAnsiFileName(zelvic::test::DllPath());
  AnsiFileNamesInit();
  EXPECT_NE(AnsiFileNames(), nullptr);
  if (!was_there) AnsiFileNamesDone();
}

TEST(ModulesAnsiFileNames, ReplacementOpensAliasesByTheirRealName) {
  TAnsiFileNames table;
  table.SetHookInstalled(true);
  const std::wstring& dll = zelvic::test::DllPath();
  const std::string alias = table.MakeAnsiFileName(dll);
  ASSERT_EQ(alias.substr(0, 4), "C:\\{");
  EXPECT_EQ(GetFileAttributesA(alias.c_str()), INVALID_FILE_ATTRIBUTES);  // no such file without the bridge

  static int original_calls;
  original_calls = 0;
  const auto original = +[](const char* name, std::uint32_t access, std::uint32_t share, void* security,
                            std::uint32_t disposition, std::uint32_t flags, void* template_file) __stdcall -> void* {
    ++original_calls;
    return CreateFileA(name, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security), disposition, flags,
                       template_file);
  };
  HANDLE file = table.CreateFileA(original, alias.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(original_calls, 0);
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(static_cast<std::uint64_t>(size.QuadPart), platform::SystemModulePlatform().FileFacts(dll).Size);
  CloseHandle(file);

  HANDLE missing = table.CreateFileA(original, "C:\\no-such-file.dll", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
  EXPECT_EQ(original_calls, 1);
}

// The unit's own CreateFileA patch: while it is in, the system's CreateFileA
// opens an alias by its real name; the unit's end takes it out again.
TEST(ModulesAnsiFileNames, ThePatchedCreateFileAOpensAliasesUntilTheUnitEnds) {
  if (AnsiFileNames() != nullptr) GTEST_SKIP() << "the process table is in use";
  EHookInit();
  AnsiFileNamesInit();
  ASSERT_TRUE(InstallAnsiFileNameHook());
  EXPECT_TRUE(AnsiFileNames()->HookInstalled());
  EXPECT_EQ(HookedProcedures()->Count(), 1u);
  const std::wstring& dll = zelvic::test::DllPath();
  const std::string alias = MakeAnsiFileName(dll);
  ASSERT_EQ(alias.substr(0, 4), "C:\\{");
  HANDLE file = CreateFileA(alias.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(static_cast<std::uint64_t>(size.QuadPart), platform::SystemModulePlatform().FileFacts(dll).Size);
  CloseHandle(file);
  // Other names still reach the system's own routine.
  const std::string plain = platform::SystemAnsiNamePlatform().ToAnsi(dll);
  HANDLE direct = CreateFileA(plain.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(direct, INVALID_HANDLE_VALUE);
  CloseHandle(direct);

  AnsiFileNamesDone();
  EXPECT_FALSE(AnsiFileNameHookInstalled());
  EXPECT_EQ(HookedProcedures()->Count(), 0u);
  EXPECT_EQ(CreateFileA(alias.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EHookDone();
}

// The long path names of a list's records are asked of the file system once
// per path while the loader generation holds: a second list of the same
// modules asks nothing, a load or an unload makes the next list ask again,
// and every name is what GetLongPathNameW makes of the loader's name.
TEST(ModulesLive, LongPathNamesAreAskedOncePerPathWhileTheGenerationHolds) {
  struct WatchOn {
    WatchOn() : started(platform::StartLoaderWatch()) {}
    ~WatchOn() {
      if (started) platform::StopLoaderWatch();
    }
    bool started;
  } watch;
  ASSERT_TRUE(watch.started);
  platform::TModulePlatform& system = platform::SystemModulePlatform();
  const auto names_of = [](TVarnelModulesList& list) {
    std::map<std::uintptr_t, std::wstring> names;
    for (int i = 0; i < list.Count(); ++i) names[list.GetItem(i)->Handle] = list.GetItem(i)->Name;
    return names;
  };
  // Whatever a first list loads (the version library) is loaded before the
  // generation the test watches.
  TVarnelModulesList(system).Refresh(true);
  // A generation of its own, then two lists in it.
  HMODULE other = LoadLibraryW(L"mpr.dll");
  ASSERT_NE(other, nullptr);
  FreeLibrary(other);
  const std::uint32_t generation = system.LoaderGeneration();
  const std::uint32_t before = platform::LongPathNameQueries();
  TVarnelModulesList first(system);
  first.Refresh(true);
  const std::uint32_t after_first = platform::LongPathNameQueries();
  TVarnelModulesList second(system);
  second.Refresh(true);
  ASSERT_EQ(system.LoaderGeneration(), generation) << "a module came or went meanwhile";
  EXPECT_EQ(after_first - before, static_cast<std::uint32_t>(first.Count()));
  EXPECT_EQ(platform::LongPathNameQueries(), after_first);
  EXPECT_EQ(names_of(second), names_of(first));
  for (int i = 0; i < second.Count(); ++i) {
    const TVarnelModuleInfo& m = *second.GetItem(i);
    wchar_t loader[MAX_PATH], long_name[MAX_PATH];
    const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(m.Handle), loader, MAX_PATH);
    ASSERT_GT(n, 0u);
    const DWORD l = GetLongPathNameW(loader, long_name, MAX_PATH);
    EXPECT_EQ(m.Name, l != 0 && l < MAX_PATH ? std::wstring(long_name, l) : std::wstring(loader, n));
  }

  other = LoadLibraryW(L"mpr.dll");
  ASSERT_NE(other, nullptr);
  FreeLibrary(other);
  const std::uint32_t before_third = platform::LongPathNameQueries();
  TVarnelModulesList third(system);
  third.Refresh(true);
  EXPECT_GE(platform::LongPathNameQueries() - before_third, static_cast<std::uint32_t>(third.Count()));
  EXPECT_EQ(names_of(third), names_of(first));
}


// ---------------------------------------------------------------------------
// Whether an image file lists a version resource, read from its own bytes.

namespace pe = zelvic::test::pe;

// One section at RVA 0x1000 holding the resource directory's root at its
// start: `named` entries with a name offset, then the numbered types.
std::vector<std::uint8_t> ResourceFile(int named, const std::vector<std::uint32_t>& types,
                                       std::uint32_t directory_rva = 0x1000, std::size_t size = 0x400) {
  pe::Headers h;
  h.sections.push_back({".rsrc", 0x1000, 0x200, 0x200, 0x200, 0x40000040});
  h.size_of_image = 0x2000;
  h.directories[pe::kDirResource] = {directory_rva, 0x100};
  std::vector<std::uint8_t> b = pe::WriteHeaders(h, std::max<std::size_t>(size, 0x400));
  pe::Put16(b, 0x200 + 12, static_cast<std::uint16_t>(named));
  pe::Put16(b, 0x200 + 14, static_cast<std::uint16_t>(types.size()));
  std::uint32_t at = 0x200 + 16;
  for (int i = 0; i < named; ++i, at += 8) pe::Put32(b, at, 0x80000080u + 16u * static_cast<std::uint32_t>(i));
  for (const std::uint32_t type : types) {
    pe::Put32(b, at, type);
    pe::Put32(b, at + 4, 0x80000040u);
    at += 8;
  }
  b.resize(size);
  return b;
}

platform::TResourceTypeListing ListVersionType(const std::vector<std::uint8_t>& file) {
  const platform::TFileBytesReader read = [&file](std::uint64_t offset, std::span<std::uint8_t> into) -> std::size_t {
    if (offset >= file.size()) return 0;
    const std::size_t n = std::min<std::size_t>(into.size(), file.size() - offset);
    std::memcpy(into.data(), file.data() + offset, n);
    return n;
  };
  return platform::ListResourceType(read, 16);
}

TEST(VersionResourceListing, RootOfTheResourceDirectoryDecides) {
  using L = platform::TResourceTypeListing;
  std::vector<std::uint8_t> no_directory = ResourceFile(0, {16}, 0);
  pe::Put32(no_directory, pe::kDataDirs + 8 * pe::kDirResource + 4, 0);
  std::vector<std::uint8_t> two_directories = ResourceFile(0, {16});
  pe::Put32(two_directories, pe::kOptional + 92, 2);
  std::vector<std::uint8_t> not_mz = ResourceFile(0, {16});
  not_mz[0] = 'X';
  std::vector<std::uint8_t> not_pe = ResourceFile(0, {16});
  not_pe[pe::kNt + 1] = 'X';
  std::vector<std::uint8_t> header_far_away = ResourceFile(0, {16});
  pe::Put32(header_far_away, 60, 0x7FFFF000);
  std::vector<std::uint8_t> unknown_magic = ResourceFile(0, {16});
  pe::Put16(unknown_magic, pe::kOptional, 0x107);
  const struct {
    const char* what;
    std::vector<std::uint8_t> file;
    L expected;
  } cases[] = {
      {"string, icon group and version", ResourceFile(0, {6, 14, 16}), L::Listed},
      {"string and icon group only", ResourceFile(0, {6, 14}), L::NotListed},
      {"named types, then the version", ResourceFile(3, {16}), L::Listed},
      {"named types only", ResourceFile(2, {}), L::NotListed},
      {"a numbered entry whose top bit is set is a name", ResourceFile(0, {0x80000010u}), L::NotListed},
      {"no resource directory", no_directory, L::NotListed},
      {"fewer data directories than the resource's index", two_directories, L::NotListed},
      {"directory outside every section", ResourceFile(0, {16}, 0x5000), L::Unknown},
      {"file ends inside the entries", ResourceFile(0, {6, 14, 16}, 0x1000, 0x200 + 16 + 12), L::Unknown},
      {"file ends inside the section table", ResourceFile(0, {16}, 0x1000, pe::kSections + 20), L::Unknown},
      {"not an MZ file", not_mz, L::Unknown},
      {"no PE signature", not_pe, L::Unknown},
      {"NT headers beyond the file", header_far_away, L::Unknown},
      {"optional header of no known form", unknown_magic, L::Unknown},
      {"ten bytes", std::vector<std::uint8_t>{'M', 'Z', 0, 0, 0, 0, 0, 0, 0, 0}, L::Unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(ListVersionType(c.file), c.expected) << c.what;
}

TEST(VersionResourceListing, Pe32PlusHeadersAreReadInTheirOwnLayout) {
  // The 64-bit optional header is 240 bytes: NumberOfRvaAndSizes at 108, the
  // directories from 112, the section table after it.
  constexpr std::uint32_t kSections64 = pe::kOptional + 240;
  std::vector<std::uint8_t> b = pe::WriteHeaders(pe::Headers{}, 0x400);
  pe::Put16(b, pe::kFileHeader + 2, 1);
  pe::Put16(b, pe::kFileHeader + 16, 240);
  pe::Put16(b, pe::kOptional, 0x20B);
  pe::Put32(b, pe::kOptional + 108, 16);
  pe::Put32(b, pe::kOptional + 112 + 8 * pe::kDirResource, 0x3000);
  pe::Put32(b, pe::kOptional + 112 + 8 * pe::kDirResource + 4, 0x100);
  std::memcpy(&b[kSections64], ".rsrc", 5);
  pe::Put32(b, kSections64 + pe::kSecVirtualSize, 0x200);
  pe::Put32(b, kSections64 + pe::kSecVirtualAddress, 0x3000);
  pe::Put32(b, kSections64 + pe::kSecRawSize, 0x100);
  pe::Put32(b, kSections64 + pe::kSecRawOffset, 0x300);
  pe::Put16(b, 0x300 + 14, 1);
  pe::Put32(b, 0x300 + 16, 16);
  EXPECT_EQ(ListVersionType(b), platform::TResourceTypeListing::Listed);
  pe::Put32(b, 0x300 + 16, 24);
  EXPECT_EQ(ListVersionType(b), platform::TResourceTypeListing::NotListed);
}

// The system's own answer is the oracle: an image said to list no version
// resource must be one the system finds no version information in.
TEST(VersionResourceListing, AgreesWithTheSystemOnRealFiles) {
  std::vector<std::wstring> files = {zelvic::test::DllPath()};
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  files.push_back(self);
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  for (const wchar_t* pattern : {L"\\*.exe", L"\\*.dll"}) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((std::wstring(system) + pattern).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    int taken = 0;
    do {
      files.push_back(std::wstring(system) + L"\\" + found.cFileName);
    } while (++taken < 150 && FindNextFileW(search, &found));
    FindClose(search);
  }
  // The test program does not link version.dll.
  using TSizeQuery = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  HMODULE version = LoadLibraryW(L"version.dll");
  ASSERT_NE(version, nullptr);
  const auto version_info_size = reinterpret_cast<TSizeQuery>(
      reinterpret_cast<void*>(GetProcAddress(version, "GetFileVersionInfoSizeW")));
  ASSERT_NE(version_info_size, nullptr);
  int listed = 0, not_listed = 0;
  for (const std::wstring& file : files) {
    DWORD ignored = 0;
    const DWORD size = version_info_size(file.c_str(), &ignored);
    switch (platform::ListFileResourceType(file, 16)) {
      case platform::TResourceTypeListing::Listed:
        ++listed;
        EXPECT_GT(size, 0u) << std::string(file.begin(), file.end());
        break;
      case platform::TResourceTypeListing::NotListed:
        ++not_listed;
        EXPECT_EQ(size, 0u) << std::string(file.begin(), file.end());
        EXPECT_FALSE(platform::SystemModulePlatform().VersionResource(file).Present);
        break;
      case platform::TResourceTypeListing::Unknown:
        // 16-bit programs and libraries: the system answers for them.
        break;
    }
  }
  // Both answers must have been put to the test.
  EXPECT_GT(listed, 0);
  EXPECT_GT(not_listed, 0);
  EXPECT_EQ(platform::ListFileResourceType(std::wstring(system) + L"\\no-such-image.dll", 16),
            platform::TResourceTypeListing::Unknown);
}

}  // namespace
}  // namespace zelvic::diag
