// The class names the live report facts give for addresses of C++ objects:
// real objects of this program against the demangled `typeid` names (the C++
// runtime's demangler, called here), and wild, hand-laid or guarded pointers,
// which must give nothing and fault nowhere.
#include <windows.h>

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "diagnostics/reports/EAsmSection.h"
#include "diagnostics/reports/ELiveReportFacts.h"
#include "diagnostics/reports/ELogBuilder.h"
#include "diagnostics/stacks/ECallStack.h"
#include "diagnostics/util/EDisAsmUnit.h"

namespace zelvic_object_class_test {

class TShape {
 public:
  virtual ~TShape() = default;
  virtual int Corners() const { return 0; }
};

class TSquare : public TShape {
 public:
  int Corners() const override { return 4; }
};

class TLeft {
 public:
  virtual ~TLeft() = default;
  int left = 1;
};

class TRight {
 public:
  virtual ~TRight() = default;
  int right = 2;
};

class TBoth : public TLeft, public TRight {};

template <typename T>
class TBox : public TShape {
 public:
  T value{};
};

// A global variable holding an object, read through its absolute address by
// the routine below: the report's assembler describes what an operand's
// memory holds, here the object.
TSquare g_square;
TShape* volatile g_shape = &g_square;

__attribute__((noinline)) TShape* ReadTheShape() { return g_shape; }

// Plain data: no virtual table, so no class to name.
struct TPlain {
  std::uint32_t a = 0x11111111, b = 0x22222222;
};

}  // namespace zelvic_object_class_test

namespace {

class TLocal {
 public:
  virtual ~TLocal() = default;
};

}  // namespace

namespace zelvic::diag {
namespace {

using namespace zelvic_object_class_test;

std::uint32_t AddressOf(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// The name the C++ runtime itself gives the dynamic type.
std::wstring RuntimeName(const std::type_info& type) {
  const char* mangled = type.name();
  if (*mangled == '*') ++mangled;
  int status = -1;
  char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::wstring name;
  if (status == 0 && plain != nullptr) {
    for (const char* c = plain; *c != 0; ++c) name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  }
  std::free(plain);
  return name;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

class ObjectClass : public ::testing::Test {
 protected:
  void SetUp() override { facts = TLiveReportFacts::CaptureHere(L"ETest", L"object classes"); }
  std::wstring ClassAt(std::uint32_t address) { return facts->ObjectClassName(address); }
  std::unique_ptr<TLiveReportFacts> facts;
};

TEST_F(ObjectClass, RealObjectsNameTheirDynamicClass) {
  const TSquare square;
  const TShape& as_shape = square;
  auto heap_box = std::make_unique<TBox<int>>();
  const TBoth both;
  const TRight& right_part = both;
  const TLocal local;
  const std::runtime_error error("object classes");
  const struct {
    const char* what;
    const void* object;
    const std::type_info& type;
  } kCases[] = {
      {"on the stack, through its base", &as_shape, typeid(as_shape)},
      {"template on the heap", heap_box.get(), typeid(*heap_box)},
      {"second base of two", &right_part, typeid(right_part)},
      {"first base of two", static_cast<const TLeft*>(&both), typeid(both)},
      {"local to its unit", &local, typeid(local)},
      {"the C++ library's own", &error, typeid(error)},
      {"a type-information object", &typeid(TSquare), typeid(typeid(TSquare))},
  };
  // The base sub-object of the second base is not where the object starts.
  ASSERT_NE(static_cast<const void*>(&right_part), static_cast<const void*>(&both));
  for (const auto& c : kCases) {
    const std::wstring expected = RuntimeName(c.type);
    ASSERT_FALSE(expected.empty()) << c.what;
    EXPECT_EQ(Narrow(ClassAt(AddressOf(c.object))), Narrow(expected)) << c.what;
  }
  // Spelled out once, so the runtime's demangler is no oracle of itself.
  EXPECT_EQ(ClassAt(AddressOf(&as_shape)), L"zelvic_object_class_test::TSquare");
  EXPECT_EQ(ClassAt(AddressOf(&right_part)), L"zelvic_object_class_test::TBoth");
  EXPECT_EQ(ClassAt(AddressOf(heap_box.get())), L"zelvic_object_class_test::TBox<int>");
  EXPECT_EQ(ClassAt(AddressOf(&local)), L"(anonymous namespace)::TLocal");
  EXPECT_EQ(ClassAt(AddressOf(&error)), L"std::runtime_error");
}

// Words a real object's virtual table is surrounded with, copied into
// writable memory: a table there is no compiler's, whatever it holds.
struct TForgedTable {
  std::uint32_t words[4];
};

TEST_F(ObjectClass, WildAndForgedPointersGiveNothing) {
  const TSquare square;
  std::uint32_t table = 0;
  std::memcpy(&table, &square, 4);
  const auto* real = reinterpret_cast<const std::uint32_t*>(table);
  TForgedTable forged{{real[-2], real[-1], real[0], real[1]}};
  const std::uint32_t forged_object = AddressOf(&forged.words[2]);
  // An object whose table is the forged one.
  const std::uint32_t forged_holder = forged_object;
  // A fake type information in writable memory, for a table whose word before
  // it points there.
  std::uint32_t fake_info[2];
  std::memcpy(fake_info, reinterpret_cast<const void*>(real[-1]), sizeof(fake_info));
  std::uint32_t fake_info_table[3] = {0, AddressOf(fake_info), real[0]};
  const std::uint32_t fake_info_holder = AddressOf(&fake_info_table[2]);
  // A pointer into read-only data that is no table: a string literal.
  static const char* const kLiteral = "just some read-only text, long enough";
  const std::uint32_t literal_holder = AddressOf(kLiteral);
  const std::uint32_t points_at_literal = AddressOf(&literal_holder);
  // One word into the real table: the word before is a code address.
  const std::uint32_t inside_table = table + 4;
  const std::uint32_t points_inside_table = AddressOf(&inside_table);
  // The table itself as an "object": its first word is code.
  const std::uint32_t table_as_object = table;
  const TPlain plain;
  std::uint8_t noise[64];
  for (std::size_t i = 0; i < sizeof(noise); ++i) noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
  const std::uint32_t forged_points_at = AddressOf(&forged_holder);
  const std::uint32_t fake_info_points_at = AddressOf(&fake_info_holder);

  const struct {
    const char* what;
    std::uint32_t address;
  } kCases[] = {
      {"null", 0},
      {"one", 1},
      {"top of the address space", 0xFFFFFFFCu},
      {"kernel space", 0x80000000u},
      {"misaligned into the real object", AddressOf(&square) + 1},
      {"a table in writable memory", forged_points_at},
      {"type information in writable memory", fake_info_points_at},
      {"a string literal as the table", points_at_literal},
      {"one word into the real table", points_inside_table},
      {"the table itself", table_as_object},
      {"plain data", AddressOf(&plain)},
      {"noise", AddressOf(noise)},
      {"code", AddressOf(reinterpret_cast<const void*>(&RuntimeName))},
  };
  for (const auto& c : kCases) EXPECT_EQ(Narrow(ClassAt(c.address)), "") << c.what;
  // The same copy on a read-only page of its own: read-only, but in no
  // module's image.
  auto* page = static_cast<std::uint32_t*>(VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(page, nullptr);
  std::memcpy(page, forged.words, sizeof(forged.words));
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(page, 0x1000, PAGE_READONLY, &old));
  const std::uint32_t read_only_copy = AddressOf(&page[2]);
  EXPECT_EQ(ClassAt(AddressOf(&read_only_copy)), L"");
  VirtualFree(page, 0, MEM_RELEASE);
  // The forged copies hold what the real table holds: only where they lie
  // tells them apart, and the real one still names its class.
  EXPECT_EQ(ClassAt(AddressOf(&square)), L"zelvic_object_class_test::TSquare");
}

// Pages that are no longer there, never readable, or guarded: nothing is
// read from them, so the guard stays armed.
TEST_F(ObjectClass, UnreadablePagesAreNotTouched) {
  const TSquare square;
  auto* pages = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x3000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  // Each page starts with a real object's table word.
  for (int page = 0; page < 3; ++page) std::memcpy(pages + page * 0x1000, &square, 4);
  EXPECT_EQ(ClassAt(AddressOf(pages)), L"zelvic_object_class_test::TSquare");
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + 0x1000, 0x1000, PAGE_NOACCESS, &old));
  ASSERT_TRUE(VirtualProtect(pages + 0x2000, 0x1000, PAGE_READWRITE | PAGE_GUARD, &old));
  EXPECT_EQ(ClassAt(AddressOf(pages + 0x1000)), L"");
  EXPECT_EQ(ClassAt(AddressOf(pages + 0x2000)), L"");
  // The last word before a no-access page: the object would reach past it.
  EXPECT_EQ(ClassAt(AddressOf(pages + 0x1000 - 2)), L"");
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_NE(VirtualQuery(pages + 0x2000, &info, sizeof(info)), 0u);
  EXPECT_NE(info.Protect & PAGE_GUARD, 0u);
  ASSERT_TRUE(VirtualFree(pages, 0, MEM_RELEASE));
  EXPECT_EQ(ClassAt(AddressOf(pages)), L"");
}

// In a report: the assembler around a routine that reads the global variable
// names the class of the object it holds beside the operand.
TEST(ObjectClassInReport, TheAssemblerNamesAnOperandsClass) {
  ASSERT_EQ(ReadTheShape(), &g_square);
  EDisAsmInit();
  ELogBuilderInit();
  TLiveException e;
  e.Address = AddressOf(reinterpret_cast<const void*>(&ReadTheShape));
  TLiveReportFacts facts(e, nullptr);
  const std::vector<std::wstring> lines = AssemblerLines(facts, L"<-- EXCEPTION");
  ELogBuilderDone();
  EDisAsmDone();
  // The operand is the variable's absolute address, as the instruction spells it.
  wchar_t operand[16];
  swprintf(operand, 16, L"%08X", AddressOf(const_cast<TShape**>(&g_shape)));
  std::string listing;
  int named = 0;
  for (const std::wstring& line : lines) {
    listing += std::string(line.begin(), line.end()) + "\n";
    if (line.find(std::wstring(L"[$") + operand + L"] ; zelvic_object_class_test::TSquare ") != std::wstring::npos) {
      ++named;
    }
  }
  EXPECT_GE(named, 1) << listing;
}

}  // namespace
}  // namespace zelvic::diag
