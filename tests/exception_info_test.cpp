// Exception information records and readers: the platform message table and
// the access-violation forms (byte-exact), this library's C++ exceptions,
// foreign objects fabricated in memory by layout kind, the life of a record
// (Delete while an object holds it, one-way flags, the chain), the bug
// identifier against a CRC-16 worked out apart from the code, and the
// placeholders with the exception's names.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/exceptions/EExceptionInfo.h"
#include "diagnostics/exceptions/EExceptionReaders.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {
namespace {

std::wstring OwnFileName() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(p.find_last_of(L"\\/") + 1);
}

class ReadersRegistered : public ::testing::Test {
 protected:
  void SetUp() override { EExceptionReadersInit(); }
  void TearDown() override { EExceptionReadersDone(); }
};

// ---------------------------------------------------------------------------
// Platform records.

TEST(PlatformMessages, TableRowsAreTheDocumentedTexts) {
  struct Row {
    std::uint32_t code;
    const wchar_t* name;
    const wchar_t* message;
  };
  const Row rows[] = {
      {0x40010006, L"DBG_PRINTEXCEPTION_C", L"Debugger printered exception."},
      {0x40010007, L"DBG_RIPEVENT", L"Debugger recevice RIP exception."},
      {0x80000003, L"EXCEPTION_BREAKPOINT", L"A breakpoint has been reached."},
      {0xC000001D, L"EXCEPTION_ILLEGAL_INSTRUCTION", L"Privileged instruction"},
      {0xC000008F, L"EXCEPTION_FLT_INEXACT_RESULT", L"Invalid floating point operation"},
      {0xC0000094, L"EXCEPTION_INT_DIVIDE_BY_ZERO", L"Division by zero"},
      {0xC00000FD, L"EXCEPTION_STACK_OVERFLOW", L"Stack overflow"},
      {0xC000013A, L"STATUS_CONTROL_C_EXIT", L"Control-C hit"},
      {0xC0000420, L"EXCEPTION_ASSERTION_FAILURE", L"Assertion violation."},
  };
  for (const Row& row : rows) {
    TExceptionRecord32 record;
    record.ExceptionCode = row.code;
    record.ExceptionAddress = 0x00401234;
    wchar_t code[16];
    std::swprintf(code, 16, L"%x", static_cast<unsigned>(row.code));
    EXPECT_EQ(PlatformExceptionMessage(record, 0x00400000, L"C:\\App\\host.exe"),
              std::wstring(row.message) + L"\r\n\r\nModule: host.exe\r\nCode: " + code + L" (" + row.name +
                  L")\r\nAddress: 00401234 (00001234)")
        << std::hex << row.code;
  }
}

TEST(PlatformMessages, UnknownCodeIsAnExternalException) {
  TExceptionRecord32 record;
  record.ExceptionCode = 0xE0000001;
  record.ExceptionAddress = 0x10002000;
  EXPECT_EQ(PlatformExceptionMessage(record, 0x10000000, L"Z:\\a\\b\\lib.dll"),
            L"External exception E0000001\r\n\r\nModule: lib.dll\r\nCode: e0000001 (?)\r\nAddress: 10002000 "
            L"(00002000)");
}

TEST(PlatformMessages, AccessViolationWithAndWithoutModule) {
  TExceptionRecord32 record;
  record.ExceptionCode = 0xC0000005;
  record.ExceptionAddress = 0x6E401010;
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  record.ExceptionInformation[1] = 0;
  // The code's hex digits are lower case, the addresses' upper case.
  EXPECT_EQ(PlatformExceptionMessage(record, 0x6E400000, L"Z:\\build\\_zelvic.dll"),
            L"Access violation at address 6E401010 in module '_zelvic.dll'. Write of address 00000000\r\n\r\n"
            L"Module: _zelvic.dll\r\nCode: c0000005 (EXCEPTION_ACCESS_VIOLATION)\r\nAddress: 6E401010 (00001010)");
  record.ExceptionInformation[0] = 0;
  record.ExceptionInformation[1] = 0xDEADBEEF;
  EXPECT_EQ(PlatformExceptionMessage(record, 0, L""),
            L"Access violation at address 6E401010. Read of address DEADBEEF\r\n\r\n"
            L"Module: \r\nCode: c0000005 (EXCEPTION_ACCESS_VIOLATION)\r\nAddress: 6E401010 (6E401010)");
}

TEST_F(ReadersRegistered, RecordsGoToTheDefaultReader) {
  TExceptionRecord32 record;
  record.ExceptionCode = 0xC0000094;
  record.ExceptionAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&OwnFileName));
  auto reader = FindReaderForRecord(record);
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(reader->Class().Name, L"TDefaultExceptionInfoReader");
  EXPECT_EQ(reader->ExceptionType(), L"EExternalException");
  EXPECT_EQ(reader->ExceptionMessage().substr(0, 32), L"Division by zero\r\n\r\nModule: " + OwnFileName().substr(0, 4));
}

// ---------------------------------------------------------------------------
// C++ exceptions of this library.

struct NotAnException {
  int value = 7;
};
class EMyError : public rt::Exception {
 public:
  using rt::Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"EMyError"; }
};

template <typename T>
std::unique_ptr<TExceptionReader> ReadThrown(T&& value, void*& object) {
  try {
    throw std::forward<T>(value);
  } catch (T& caught) {
    object = &caught;
    return FindReaderForObject(&caught, reinterpret_cast<void*>(0x401000), &typeid(caught));
  }
}

TEST_F(ReadersRegistered, CxxObjectsGiveClassAndMessage) {
  void* object = nullptr;
  auto own = ReadThrown(EMyError(L"Disk full"), object);
  ASSERT_NE(own, nullptr);
  EXPECT_STREQ(own->Class().Name, L"TCxxExceptionReader");
  EXPECT_EQ(own->ExceptionType(), L"EMyError");
  EXPECT_EQ(own->ExceptionMessage(), L"Disk full");
  EXPECT_TRUE(own->IsChildClass(L"Exception"));
  EXPECT_TRUE(own->IsChildClass(L"EMyError"));

  auto std_error = ReadThrown(std::runtime_error("gr\xC3\xBC\xC3\x9F dich"), object);
  ASSERT_NE(std_error, nullptr);
  EXPECT_EQ(std_error->ExceptionMessage(), L"gr\u00FC\u00DF dich");  // what() is UTF-8
  EXPECT_TRUE(std_error->IsChildClass(L"std::exception"));
  EXPECT_TRUE(std_error->IsChildClass(L"runtime_error"));
  EXPECT_FALSE(std_error->IsChildClass(L"std::logic_error"));

  auto other = ReadThrown(NotAnException{}, object);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->ExceptionMessage(), L"");
  EXPECT_EQ(DemangledTypeName(*other->TypeInfo()), L"zelvic::diag::(anonymous namespace)::NotAnException");
}

TEST(CxxTypes, ChainListsTheBasesOnce) {
  const auto chain = CxxTypeChain(typeid(std::range_error));
  std::vector<std::wstring> names;
  for (const auto* t : chain) names.push_back(DemangledTypeName(*t));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"std::range_error", L"std::runtime_error", L"std::exception"}));
}

// ---------------------------------------------------------------------------
// Foreign objects: class descriptors fabricated in a buffer, laid out as the
// other runtime lays them out.

class ForeignClasses {
 public:
  // A class at a fixed place; returns its class pointer.
  std::uintptr_t AddClass(int kind, const std::string& name, std::uintptr_t parent) {
    const int area = kind == 17 ? 88 : kind == 11 ? 76 : 48;
    const int name_at = kind == 17 ? -56 : kind == 11 ? -44 : -28;
    std::uint8_t* block = Take(area + 16);
    const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(block) + area;
    std::uint8_t* text = Take(name.size() + 1);
    text[0] = static_cast<std::uint8_t>(name.size());
    std::memcpy(text + 1, name.data(), name.size());
    Put(p + name_at, reinterpret_cast<std::uintptr_t>(text));
    Put(p + name_at + 4, 16);  // instance size
    std::uintptr_t* slot = reinterpret_cast<std::uintptr_t*>(Take(4));
    *slot = parent;
    Put(p + name_at + 8, parent ? reinterpret_cast<std::uintptr_t>(slot) : 0);
    return p;
  }
  std::uint8_t* Take(std::size_t n) {
    n = (n + 3) & ~std::size_t{3};
    std::uint8_t* at = memory_ + used_;
    used_ += n;
    return at;
  }
  static void Put(std::uintptr_t at, std::uintptr_t value) { *reinterpret_cast<std::uint32_t*>(at) = value; }

 private:
  alignas(16) std::uint8_t memory_[4096] = {};
  std::size_t used_ = 0;
};

TEST_F(ReadersRegistered, ForeignObjectsAreReadByLayoutKind) {
  ForeignClasses classes;
  const std::wstring wide_message = L"Disk full";
  const char ansi_message[] = "Out of paper";
  struct Case {
    int kind;
    const wchar_t* reader;
  } cases[] = {{17, L"TExceptionInfoDelphiUnicode"}, {11, L"TExceptionInfoDelphiANSI"}, {2, L"TExceptionInfoDelphi2"}};
  for (const Case& c : cases) {
    const std::uintptr_t root = classes.AddClass(c.kind, "TObject", 0);
    const std::uintptr_t base = classes.AddClass(c.kind, "Exception", root);
    const std::uintptr_t leaf = classes.AddClass(c.kind, "EConvertError", base);
    std::uint32_t object[5] = {static_cast<std::uint32_t>(leaf),
                               c.kind == 17 ? static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(wide_message.c_str()))
                                            : static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(ansi_message)),
                               42, 0, 0};
    auto reader = FindReaderForObject(object, reinterpret_cast<void*>(0x00402005));
    ASSERT_NE(reader, nullptr) << c.kind;
    EXPECT_STREQ(reader->Class().Name, c.reader);
    EXPECT_EQ(reader->ExceptionType(), L"EConvertError");
    EXPECT_EQ(reader->ExceptionMessage(), c.kind == 17 ? L"Disk full" : L"Out of paper");
    EXPECT_EQ(reader->HelpContext(), 42);
    // The return address of the raising call, moved back onto the call.
    EXPECT_EQ(reader->ExceptionAddress(), reinterpret_cast<void*>(0x00402000));
    EXPECT_EQ(reader->ClassNameChain(), (std::vector<std::wstring>{L"EConvertError", L"Exception", L"TObject"}));
  }
}

TEST_F(ReadersRegistered, ForeignEdgeCases) {
  ForeignClasses classes;
  const std::uintptr_t root = classes.AddClass(17, "TObject", 0);
  const std::uintptr_t external = classes.AddClass(17, "EExternalException", root);
  const std::uintptr_t exit_dll = classes.AddClass(17, "_TExitDllException", root);
  const std::uintptr_t orphan = classes.AddClass(17, "EOrphan", 0);  // no TObject at the root

  std::uint32_t external_object[5] = {static_cast<std::uint32_t>(external), 0, 0, 0, 0};
  auto reader = FindReaderForObject(external_object, reinterpret_cast<void*>(0x00402005));
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(reader->Class().Name, L"TDefaultExceptionInfoReader");

  std::uint32_t exit_object[5] = {static_cast<std::uint32_t>(exit_dll), 3, 9, 0, 0x1234};
  reader = FindReaderForObject(exit_object, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->ExceptionMessage(), L"_TExitDllException, ExitCode: 3");
  EXPECT_EQ(reader->HelpContext(), 0);
  EXPECT_FALSE(reader->Class().Native(exit_object, nullptr));

  std::uint32_t orphan_object[5] = {static_cast<std::uint32_t>(orphan), 0, 0, 0, 0};
  EXPECT_FALSE(IsValidForeignObject(reinterpret_cast<std::uintptr_t>(orphan_object), 17));
  reader = FindReaderForObject(orphan_object, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(reader->Class().Name, L"TDefaultExceptionInfoReader");

  // A wild pointer is refused without a fault.
  EXPECT_EQ(DetectLayoutKind(0x00000010), 0);
  std::uint32_t wild_object[5] = {0x00001000, 0, 0, 0, 0};
  reader = FindReaderForObject(wild_object, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(reader->Class().Name, L"TDefaultExceptionInfoReader");
}

// ---------------------------------------------------------------------------
// Records.

TExceptionData ObjectCapture(void* object, const std::type_info* type) {
  TExceptionData data;
  data.ExceptionObject = object;
  data.ExceptionTypeInfo = type;
  data.ExceptionAddress = reinterpret_cast<void*>(0x00401000);
  data.ExceptionModuleName = L"Z:\\x\\Foo.DLL";
  return data;
}

TEST_F(ReadersRegistered, MessagesAreNormalised) {
  struct Case {
    const wchar_t* given;
    const wchar_t* read;
  } cases[] = {{L"Disk full", L"Disk full."}, {L"Stop!", L"Stop!"}, {L"Why?", L"Why?"}, {L"", L"Unknown error message"}};
  for (const Case& c : cases) {
    EMyError error(c.given);
    TVarnelExceptionInfo* info =
        TVarnelExceptionInfo::Create(ObjectCapture(&error, &typeid(error)), false, false, TCallStackRequest::kEmpty);
    EXPECT_EQ(info->ExceptionMessage(), c.read);
    EXPECT_EQ(info->ExceptionClass(), L"EMyError");
    info->ReleaseExceptionObject();
    TVarnelExceptionInfo::Delete(info);
  }
}

TEST_F(ReadersRegistered, DeleteWaitsForTheObject) {
  EMyError error(L"x");
  TVarnelExceptionInfo* info =
      TVarnelExceptionInfo::Create(ObjectCapture(&error, &typeid(error)), false, false, TCallStackRequest::kEmpty);
  int notified = 0;
  info->SetDeleteNotify([](TVarnelExceptionInfo*, void* data) { ++*static_cast<int*>(data); }, &notified);
  ASSERT_TRUE(info->HasExceptObjRef());
  TVarnelExceptionInfo::Delete(info);
  EXPECT_TRUE(TVarnelExceptionInfo::IsLive(info));
  EXPECT_TRUE(info->FreeOnClear());
  EXPECT_EQ(notified, 1);
  TVarnelExceptionInfo::Delete(info);  // nothing more
  EXPECT_EQ(notified, 1);
  info->ReleaseExceptionObject();
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(info));
}

TEST_F(ReadersRegistered, OneWayFlagsAndTheChain) {
  TExceptionData data;
  TVarnelExceptionInfo* outer = TVarnelExceptionInfo::Create(data, false, false, TCallStackRequest::kEmpty);
  TVarnelExceptionInfo* inner = TVarnelExceptionInfo::Create(data, false, false, TCallStackRequest::kEmpty);
  TVarnelExceptionInfo* innermost = TVarnelExceptionInfo::Create(data, false, false, TCallStackRequest::kEmpty);
  EXPECT_GT(inner->EID(), outer->EID());
  outer->SetHandled(true);
  EXPECT_THROW(outer->SetHandled(false), rt::EAssertionFailed);
  outer->SetFailed(true);
  EXPECT_THROW(outer->SetFailed(false), rt::EAssertionFailed);
  outer->SetInnerException(inner);
  inner->SetInnerException(innermost);
  EXPECT_EQ(outer->BaseException(), innermost);
  EXPECT_EQ(innermost->ParentException(), inner);
  // The outer record owns the chain.
  TVarnelExceptionInfo::Delete(outer);
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(inner));
  EXPECT_FALSE(TVarnelExceptionInfo::IsLive(innermost));
}

TEST(ExceptionDate, EnglishNamesAndTheZoneOffset) {
  // 2026-12-09 is day 46365 of the scale and a Wednesday.
  const double time = 46365 + (1 * 3600 + 51 * 60 + 51) / 86400.0;
  EXPECT_EQ(FormatExceptionDate(time, -60), L"Wed, 9 Dec 2026 01:51:51 +0100");
  EXPECT_EQ(FormatExceptionDate(time, 330), L"Wed, 9 Dec 2026 01:51:51 -0530");
  // A fraction of a second is dropped, as a clock shows it: never rounded
  // into the next day.
  EXPECT_EQ(FormatExceptionDate(46365 + 86399.6 / 86400.0, 0), L"Wed, 9 Dec 2026 23:59:59 +0000");
}

// ---------------------------------------------------------------------------
// The bug identifier.

TEST(BugId, Crc16MatchesTheCheckValue) {
  const char text[] = "123456789";
  EXPECT_EQ(Crc16Xmodem({reinterpret_cast<const std::uint8_t*>(text), 9}), 0x31C3);
}

TEST(BugId, LowerCaseIgnoresTheLocale) {
  EXPECT_EQ(InvariantLower(L"EI\u00C4\u00D7Z"), L"ei\u00E4\u00D7z");
}

TEST_F(ReadersRegistered, IdentifierWithoutCallStack) {
  // Expected values: CRC-16/XMODEM of the texts below, worked out with a
  // separate script.
  EMyError error(L"any message");
  TVarnelExceptionInfo* info =
      TVarnelExceptionInfo::Create(ObjectCapture(&error, &typeid(error)), false, false, TCallStackRequest::kEmpty);
  const std::wstring source(L"zelvic_tests.exe\0foo.dll\0emyerror\0\0null\0", 40);
  EXPECT_EQ(info->BugIDSource(), source);
  EXPECT_EQ(info->BugID(), 0x81460000u);
  EXPECT_EQ(info->BugIDStr(), L"81460000");
  info->SetCustomID(0x0042);
  EXPECT_EQ(info->BugID(), 0x81460042u);
  info->ReleaseExceptionObject();
  TVarnelExceptionInfo::Delete(info);

  // The message does not count...
  EMyError other(L"another message");
  info = TVarnelExceptionInfo::Create(ObjectCapture(&other, &typeid(other)), false, false, TCallStackRequest::kEmpty);
  EXPECT_EQ(info->BugID(), 0x81460000u);
  info->ReleaseExceptionObject();
  TVarnelExceptionInfo::Delete(info);
}

class EMemoryLeakError : public rt::Exception {
 public:
  using rt::Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"EMemoryLeak"; }
};

TEST_F(ReadersRegistered, LeakIdentifierHasCustomOneAndTheMessage) {
  EMemoryLeakError leak(L"leaked 3 blocks");
  TVarnelExceptionInfo* info =
      TVarnelExceptionInfo::Create(ObjectCapture(&leak, &typeid(leak)), false, false, TCallStackRequest::kEmpty);
  EXPECT_EQ(info->CustomID(), 0);
  EXPECT_EQ(info->BugID(), 0xD0620001u);
  EXPECT_EQ(info->CustomID(), 1);
  info->ReleaseExceptionObject();
  TVarnelExceptionInfo::Delete(info);
}

TEST_F(ReadersRegistered, CustomIdentifierEventMayChangeBothHalves) {
  const TMethod handler{reinterpret_cast<void*>(+[](void*, TVarnelExceptionInfo*, std::uint16_t& hash,
                                                   std::uint16_t& custom, bool&) {
                          hash = 0xBEEF;
                          custom = 7;
                        }),
                        nullptr};
  RegisterEventHandler(elCustomBugID, handler);
  EMyError error(L"x");
  TVarnelExceptionInfo* info =
      TVarnelExceptionInfo::Create(ObjectCapture(&error, &typeid(error)), false, false, TCallStackRequest::kEmpty);
  EXPECT_EQ(info->BugID(), 0xBEEF0007u);
  UnregisterEventHandler(elCustomBugID, handler);
  info->ReleaseExceptionObject();
  TVarnelExceptionInfo::Delete(info);
}

TEST_F(ReadersRegistered, ExpandVariablesKnowsTheExceptionNames) {
  EMyError error(L"Disk full");
  TVarnelExceptionInfo* info =
      TVarnelExceptionInfo::Create(ObjectCapture(&error, &typeid(error)), false, false, TCallStackRequest::kEmpty);
  EXPECT_EQ(info->ExpandVariables(L"%_ExceptType%: %_EXCEPTMSG% [%bugid%] in %_ExceptModuleName%, %nosuchname%."),
            L"EMyError: Disk full. [81460000] in Foo.DLL, .");
  info->ReleaseExceptionObject();
  TVarnelExceptionInfo::Delete(info);
}

}  // namespace
}  // namespace zelvic::diag
