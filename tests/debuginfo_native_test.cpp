// The native debug-information source end to end: a ".vldbg" file written
// beside this program describes one of its routines, and a lookup of an
// address inside that routine reports unit, source and line from it.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>

#include "diagnostics/config/EFilters.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/debuginfo/EDebugExports.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EDebugVL.h"
#include "diagnostics/debuginfo/EDebugVLScanner.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "platform/modules.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

__attribute__((noinline)) int DescribedRoutine(int x) {
  volatile int y = x * 3;
  return y + 1;
}

class NativeSource : public testing::Test {
 protected:
  void SetUp() override {
    module_ = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    routine_ = reinterpret_cast<std::uintptr_t>(&DescribedRoutine);
    vldbg_ = VLDbgFileNameFor(test::SelfPath());
    ClearDebugInfoSources();
    RegisterDebugInfoSourceFirst(&TVLDebugInfoNative::Class);
    RegisterDebugInfoSource(&TVLDebugInfoExports::Class);
  }
  void TearDown() override {
    DeleteFileW(vldbg_.c_str());
    ClearDebugInfoSources();
    UnRegisterDebugInfoSource(&TVLDebugInfoNative::Class);
    UnRegisterDebugInfoSource(&TVLDebugInfoExports::Class);
  }

  // A unit around the routine, with lines 10 and 11 inside it.
  std::vector<std::uint8_t> UnitTable(bool names, const std::wstring& password = {}) const {
    const auto start = static_cast<std::uint32_t>(routine_ - module_ - 0x1000);
    TDebugVLUnitModel unit;
    unit.FileName = L"tests\\described.cpp";
    unit.Name = L"described";
    unit.Addr = start - 16;
    unit.Size = 256;
    TDebugVLProcModel proc;
    proc.Name = L"Demo.DescribedRoutine";
    proc.Addr = start;
    proc.Lines = {{10, start}, {11, start + 4}};
    unit.Procs.push_back(proc);
    TDebugVLWriteOptions options;
    options.StoreProcNames = names;
    options.EncipherWithPassword = !password.empty();
    options.Password = password;
    return WriteDebugVLUnitTable({unit}, options);
  }

  void WriteVLDbg(const std::wstring& module_name, bool names, const std::wstring& password = {}) const {
    const auto file = WriteVLDbgFile(module_name, UnitTable(names, password), kDebugVLCurrentVersion, true);
    FILE* f = _wfopen(vldbg_.c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }

  std::uintptr_t module_ = 0;
  std::uintptr_t routine_ = 0;
  std::wstring vldbg_;
};

std::wstring FileNamePart(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

TEST_F(NativeSource, FileBesideTheModuleGivesUnitSourceAndLine) {
  WriteVLDbg(FileNamePart(test::SelfPath()), true);
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(routine_ + 5, info));
  EXPECT_EQ(info.DebugDetail, ddSourceCode);
  EXPECT_EQ(info.UnitName, L"described");
  EXPECT_EQ(info.SourceName, L"tests\\described.cpp");
  EXPECT_EQ(info.ClassName, L"Demo");
  EXPECT_EQ(info.ProcedureName, L"DescribedRoutine");
  EXPECT_EQ(info.LineNumber, 11);
  EXPECT_EQ(info.OffsetFromLineNumber, 1);
  EXPECT_EQ(info.OffsetFromProcName, 5);
  EXPECT_EQ(info.Module, module_);
  EXPECT_NE(info.DebugInfo, nullptr);
  EXPECT_STREQ(info.DebugInfo->SourceClass().Name, L"TVLDebugInfoNative");
  EXPECT_EQ(DescribedRoutine(1), 4);
}

TEST_F(NativeSource, NamelessRoutinesStillGiveLines) {
  WriteVLDbg(FileNamePart(test::SelfPath()), false);
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(routine_ + 1, info));
  EXPECT_EQ(info.UnitName, L"described");
  EXPECT_EQ(info.LineNumber, 10);
  EXPECT_EQ(info.ProcedureName, L"");
}

// Nothing gives a password for a file found by name: enciphered names read
// as unreadable ("?" and "p" before the stored bytes), never as text
// deciphered with the wrong key, and the lines still answer.
TEST_F(NativeSource, EncipheredFileWithoutAPasswordShowsItsNamesAsUnreadable) {
  WriteVLDbg(FileNamePart(test::SelfPath()), true, L"Sesam");
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(routine_ + 5, info));
  EXPECT_EQ(info.SourceName.rfind(L"?p", 0), 0u) << info.SourceName;
  EXPECT_EQ(info.LineNumber, 11);
  EXPECT_EQ((info.ClassName + info.ProcedureName).find(L"Described"), std::wstring::npos)
      << info.ClassName << "." << info.ProcedureName;
  auto* source = dynamic_cast<TVLDebugInfoNative*>(info.DebugInfo);
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(source->HasEncryptedData());
  EXPECT_FALSE(source->IsPasswordValid());
}

// A block the caller hands over stands in for the module's own data: no
// module name to match, the password taken as valid, the version the caller
// gives; one past the current version, or an empty table, is refused.
TEST_F(NativeSource, ExternalStreamStandsInForTheModulesData) {
  TVLDebugInfoNative source(module_);
  source.SetExternalStream(UnitTable(true));
  ASSERT_TRUE(source.InitializeSource());
  TVLLocationInfo info;
  ASSERT_TRUE(source.GetLocationInfo(routine_ + 5, info));
  EXPECT_EQ(info.UnitName, L"described");
  EXPECT_EQ(info.ProcedureName, L"Demo.DescribedRoutine");
  EXPECT_EQ(info.LineNumber, 11);
  EXPECT_TRUE(source.IsPasswordValid());

  TVLDebugInfoNative too_new(module_);
  too_new.SetExternalStream(UnitTable(true), kDebugVLCurrentVersion + 1);
  EXPECT_FALSE(too_new.InitializeSource());
  TVLDebugInfoNative empty(module_);
  empty.SetExternalStream(WriteDebugVLUnitTable({}, {}));
  EXPECT_FALSE(empty.InitializeSource());
}

TEST_F(NativeSource, AFileForAnotherModuleOrADamagedOneIsIgnored) {
  WriteVLDbg(L"someone_else.exe", true);
  TVLLocationInfo info;
  LookupLocationInfo(routine_ + 5, info);
  EXPECT_NE(info.UnitName, L"described");
  ClearDebugInfoSources();

  // The right module name, but cut short: no debug information, no failure.
  WriteVLDbg(FileNamePart(test::SelfPath()), true);
  HANDLE f = CreateFileW(vldbg_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  SetFilePointer(f, 30, nullptr, FILE_BEGIN);
  SetEndOfFile(f);
  CloseHandle(f);
  TVLLocationInfo damaged;
  LookupLocationInfo(routine_ + 5, damaged);
  EXPECT_NE(damaged.UnitName, L"described");
}

// Exception filters placed by location ask the lookup the debug-information
// unit installs: module, unit, class and routine come from the ".vldbg"
// beside this program, and a field that disagrees keeps the filter from
// matching.
TEST_F(NativeSource, FiltersMatchLocationsFromTheDebugInformation) {
  const TFilterLocationLookup before = FilterLocationLookup;
  FilterLocationLookup = LookupFilterLocation;
  struct Restore {
    TFilterLocationLookup value;
    ~Restore() { FilterLocationLookup = value; }
  } restore{before};
  WriteVLDbg(FileNamePart(test::SelfPath()), true);
  const std::wstring self = FileNamePart(test::SelfPath());
  struct {
    const wchar_t* module;
    const wchar_t* unit;
    const wchar_t* cls;
    const wchar_t* routine;
    bool matches;
  } cases[] = {
      {L"", L"DESCRIBED", L"demo", L"describedroutine", true},
      {self.c_str(), L"described.cpp", L"", L"", true},
      {L"", L"", L"Demo", L"OtherRoutine", false},
      {L"_zelvic.dll", L"", L"", L"", false},
      {L"", L"other", L"", L"", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    TVarnelExceptionsFilters filters;
    TVarnelExceptionFilter f;
    f.Active = true;
    f.ExceptionClassName = L"EMarked";
    f.SourceModule = c.module;
    f.SourceUnit = c.unit;
    f.SourceClass = c.cls;
    f.SourceProcedure = c.routine;
    filters.Add(f);
    EXPECT_EQ(filters.FindException(L"EMarked", false, routine_ + 5, nullptr), c.matches ? 0 : -1) << "case " << i;
  }
}

// The library's own VLDATA carries its debug information: an address in one
// of its exports resolves to unit, source file and line, without a routine
// name (the library's options store none).
TEST(NativeSourceOfTheLibrary, ExportCodeResolvesToItsSourceLine) {
  HMODULE lib = LoadLibraryW(test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  ClearDebugInfoSources();
  RegisterDebugInfoSourceFirst(&TVLDebugInfoNative::Class);
  const auto fn = reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(lib, "Ondrel_55F22C7D_1_I1I1I1111I")));
  ASSERT_NE(fn, 0u);
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(fn, info));
  EXPECT_EQ(info.DebugDetail, ddSourceCode);
  // The export's body is a row of the fragment table, expanded in place.
  EXPECT_EQ(info.UnitName, L"fragment_table.inc");
  // Stored relative to the repository root: no build machine's directories.
  EXPECT_EQ(info.SourceName, L"src/fragments/fragment_table.inc");
  EXPECT_GT(info.LineNumber, 0);
  EXPECT_EQ(info.ProcedureName, L"");
  // The code of a helper lies in its own unit.
  TVLLocationInfo helper;
  ASSERT_TRUE(LookupLocationInfo(reinterpret_cast<std::uintptr_t>(GetProcAddress(lib, "Ondrel_55F22C7D_1_1Iii11I11i")) + 40,
                                 helper));
  EXPECT_FALSE(helper.UnitName.empty());
  ClearDebugInfoSources();
  UnRegisterDebugInfoSource(&TVLDebugInfoNative::Class);
  FreeLibrary(lib);
}

// Lookups on several threads while another loads and unloads a library: the
// module facts kept between lookups follow the loader, every answer for the
// library's own code stays right, and nothing deadlocks between the loader
// lock and the module list's lock.
struct LookupLoop {
  std::uintptr_t address = 0;
  std::wstring expected_source;
  volatile LONG* stop = nullptr;
  int wrong = 0;
  test::Event looking;  // set after the first lookup
};

DWORD WINAPI LookUpUntilStopped(void* arg) {
  auto* loop = static_cast<LookupLoop*>(arg);
  TVLLocationInfo info;
  while (*loop->stop == 0) {
    if (!LookupLocationInfo(loop->address, info) || info.SourceName != loop->expected_source) ++loop->wrong;
    loop->looking.Set();
  }
  return 0;
}

TEST(NativeSourceOfTheLibrary, LookupsStayRightWhileLibrariesComeAndGo) {
  HMODULE lib = LoadLibraryW(test::DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  ASSERT_TRUE(platform::StartLoaderWatch());
  ClearDebugInfoSources();
  RegisterDebugInfoSourceFirst(&TVLDebugInfoNative::Class);
  const auto fn =
      reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(lib, "Ondrel_55F22C7D_1_I1I1I1111I")));
  ASSERT_NE(fn, 0u);
  volatile LONG stop = 0;
  LookupLoop loops[3];
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    loops[i].address = fn;
    loops[i].expected_source = L"src/fragments/fragment_table.inc";
    loops[i].stop = &stop;
    threads[i] = CreateThread(nullptr, 0, LookUpUntilStopped, &loops[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  // Every thread is looking up before the loader starts: a thread's own
  // start waits for the loader lock the loop keeps taking.
  for (const LookupLoop& loop : loops) EXPECT_TRUE(loop.looking.WaitFor(test::kDeadlockMs));
  const std::uint32_t before = platform::SystemModulePlatform().LoaderGeneration();
  for (int round = 0; round < 60; ++round) {
    HMODULE m = LoadLibraryW(L"mpr.dll");
    ASSERT_NE(m, nullptr);
    FreeLibrary(m);
  }
  EXPECT_NE(platform::SystemModulePlatform().LoaderGeneration(), before);
  InterlockedExchange(&stop, 1);
  WaitForMultipleObjects(3, threads, TRUE, INFINITE);
  for (int i = 0; i < 3; ++i) {
    CloseHandle(threads[i]);
    EXPECT_EQ(loops[i].wrong, 0) << "thread " << i;
  }
  ClearDebugInfoSources();
  UnRegisterDebugInfoSource(&TVLDebugInfoNative::Class);
  platform::StopLoaderWatch();
  FreeLibrary(lib);
}

// A library whose container and debug strings carry a password ("Sesam"):
// until the password is given, names read as unreadable and the module's
// record says encrypted; a wrong password changes nothing; once the source
// list is told the password changed, the next lookup in the module asks the
// requester again and the names read.
class FixedPassword final : public TPasswordRequester {
 public:
  std::wstring RequestPassword(std::uintptr_t) override {
    ++asked;
    return password;
  }
  std::wstring password;
  int asked = 0;
};

TEST(NativeSourceWithPassword, NamesReadOnceThePasswordIsGiven) {
  const std::wstring self = test::SelfPath();
  const std::wstring path = self.substr(0, self.find_last_of(L"\\/") + 1) + L"password_fixture.dll";
  HMODULE lib = LoadLibraryW(path.c_str());
  ASSERT_NE(lib, nullptr) << "password_fixture.dll next to the test program";
  const auto base = reinterpret_cast<std::uintptr_t>(lib);
  using AddressProc = void* (*)();
  const auto address_of = reinterpret_cast<AddressProc>(reinterpret_cast<void*>(GetProcAddress(lib, "FixtureScaleAddress")));
  ASSERT_NE(address_of, nullptr);
  const auto routine = reinterpret_cast<std::uintptr_t>(address_of());
  ASSERT_NE(GetModulesList(), nullptr);
  ClearDebugInfoSources();
  RegisterDebugInfoSourceFirst(&TVLDebugInfoNative::Class);
  FixedPassword requester;
  SetPasswordRequester(&requester);

  requester.password = L"wrong";
  TVLLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(routine + 2, info));
  EXPECT_EQ(info.SourceName.rfind(L"?p", 0), 0u) << info.SourceName;
  EXPECT_EQ(info.ProcedureName.rfind(L"?", 0), 0u) << info.ProcedureName;
  EXPECT_GT(info.LineNumber, 0);
  auto* source = dynamic_cast<TVLDebugInfoNative*>(info.DebugInfo);
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(source->HasEncryptedData());
  EXPECT_FALSE(source->IsPasswordValid());
  const TVarnelModuleInfoEx* record = GetModulesList()->ModuleInfoByHandleEx(base);
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->ExtraInformation.Encrypted);
  EXPECT_EQ(record->ExtraInformation.VarnelVersion, kVLDataCurrentVersion);
  const int asked_at_load = requester.asked;
  EXPECT_GE(asked_at_load, 1);

  requester.password = L"Sesam";
  // Nothing asks again until the list hears of a change.
  ASSERT_TRUE(LookupLocationInfo(routine + 2, info));
  EXPECT_EQ(requester.asked, asked_at_load);
  DebugInfoList()->SetPasswordChanged(true);
  ASSERT_TRUE(LookupLocationInfo(routine + 2, info));
  EXPECT_GT(requester.asked, asked_at_load);
  EXPECT_TRUE(source->IsPasswordValid());
  EXPECT_FALSE(record->ExtraInformation.Encrypted);
  EXPECT_EQ(info.SourceName, L"tests/fixtures/password_fixture.cpp");
  // The stored "fixture.Gauge.Scale", split at its first "." by the lookup.
  EXPECT_EQ(info.ClassName + L"." + info.ProcedureName, L"fixture.Gauge.Scale");
  EXPECT_GT(info.LineNumber, 0);

  SetPasswordRequester(nullptr);
  ClearDebugInfoSources();
  UnRegisterDebugInfoSource(&TVLDebugInfoNative::Class);
  FreeLibrary(lib);
}

TEST(NativeSourceNames, VLDbgBesideTheModule) {
  EXPECT_EQ(VLDbgFileNameFor(L"C:\\dir\\_zelvic.dll"), L"C:\\dir\\_zelvic.vldbg");
  EXPECT_EQ(VLDbgFileNameFor(L"C:\\dir.v2\\host"), L"C:\\dir.v2\\host.vldbg");
}

}  // namespace
}  // namespace zelvic::diag
