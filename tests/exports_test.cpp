// The real exports of _zelvic.dll, called as the host calls them: loaded with
// LoadLibrary, found with GetProcAddress, called with exactly the number of
// slots each takes, through a thunk that checks the stack comes back level.
//
// The sweep below expands the same table the library is built from, so it
// proves every export's slot count and that the export computes what its row
// says, not that the row is right: export_values_test.cpp checks the values
// against answers worked out by hand.

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "fragments/runtime_helpers.h"
#include "pe_exports.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

enum class Kind { Text, Int, Int64, Double };

struct Value {
  std::wstring text;
  std::int64_t integer = 0;
  double real = 0;
};

// Slot accessors over the raw words, the same reading the library does.
struct Args {
  const std::uint32_t* s;
  std::int32_t I(int n) const { return static_cast<std::int32_t>(s[n]); }
  std::int64_t Q(int n) const { return static_cast<std::int64_t>(s[n] | static_cast<std::uint64_t>(s[n + 1]) << 32); }
  double D(int n) const {
    double d;
    std::memcpy(&d, &s[n], sizeof d);
    return d;
  }
  const wchar_t* P(int n) const { return reinterpret_cast<const wchar_t*>(static_cast<std::uintptr_t>(s[n])); }
};

Value Make(const wchar_t* t) { return {t ? t : L"", 0, 0}; }
Value Make(std::int32_t i) { return {L"", i, 0}; }
Value Make(std::int64_t i) { return {L"", i, 0}; }
Value Make(double d) { return {L"", 0, d}; }

template <Kind K, typename T>
Value As(T v) {
  if constexpr (K == Kind::Text) return Make(static_cast<const wchar_t*>(v));
  if constexpr (K == Kind::Int) return Make(static_cast<std::int32_t>(v));
  if constexpr (K == Kind::Int64) return Make(static_cast<std::int64_t>(v));
  if constexpr (K == Kind::Double) return Make(static_cast<double>(v));
}

struct Row {
  const char* name;
  int ordinal;
  int slots;
  Kind kind;
  const char* expression;
  Value (*eval)(const std::uint32_t*);
};

#define I(n) a.I(n)
#define Q(n) a.Q(n)
#define D(n) a.D(n)
#define P(n) a.P(n)
#define T(s) (s)
#define FRAGMENT(suffix, ordinal, slots, type, expression)                      \
  {"Ondrel_55F22C7D_1_" #suffix, ordinal, slots, Kind::type, #expression,       \
   [](const std::uint32_t* raw) {                                               \
     using namespace ::zelvic::fragments;                                       \
     [[maybe_unused]] const Args a{raw};                                        \
     return As<Kind::type>(expression);                                         \
   }},
const Row kRows[] = {
#include "fragments/fragment_table.inc"
};
#undef FRAGMENT
#undef I
#undef Q
#undef D
#undef P
#undef T

class Exports : public testing::Test {
 protected:
  static void SetUpTestSuite() { lib_ = new LoadedLibrary(DllPath()); }
  static void TearDownTestSuite() {
    delete lib_;
    lib_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(lib_->ok()) << lib_->error(); }

  // Calls an export with the slots; checks the stack and returns the result.
  static Value Call(const Row& row, const std::vector<std::uint32_t>& slots) {
    const void* fn = lib_->Proc(row.name);
    EXPECT_NE(fn, nullptr) << row.name;
    if (fn == nullptr) return {};
    CallResult out{};
    const std::int32_t imbalance =
        CallWithSlots(fn, slots.data(), static_cast<std::uint32_t>(row.slots), &out, row.kind == Kind::Double);
    EXPECT_EQ(imbalance, 0) << row.name << " left the stack off by " << imbalance << " bytes";
    switch (row.kind) {
      case Kind::Text: return Make(reinterpret_cast<const wchar_t*>(out.eax));
      case Kind::Int: return Make(static_cast<std::int32_t>(out.eax));
      case Kind::Int64: return Make(static_cast<std::int64_t>(out.eax | static_cast<std::uint64_t>(out.edx) << 32));
      case Kind::Double: return Make(out.st0);
    }
    return {};
  }

  static const Row& RowNamed(const char* suffix) {
    for (const Row& r : kRows) {
      if (std::strcmp(r.name + std::strlen("Ondrel_55F22C7D_1_"), suffix) == 0) return r;
    }
    ADD_FAILURE() << "no row " << suffix;
    return kRows[0];
  }

  static LoadedLibrary* lib_;
};

LoadedLibrary* Exports::lib_ = nullptr;

void ExpectSame(const Row& row, const Value& got, const Value& want, const std::vector<std::uint32_t>& slots) {
  std::string args;
  for (int i = 0; i < row.slots; ++i) args += std::to_string(slots[static_cast<std::size_t>(i)]) + " ";
  switch (row.kind) {
    case Kind::Text:
      EXPECT_EQ(got.text, want.text) << row.name << " = " << row.expression << " with " << args;
      break;
    case Kind::Int:
    case Kind::Int64:
      EXPECT_EQ(got.integer, want.integer) << row.name << " = " << row.expression << " with " << args;
      break;
    case Kind::Double:
      if (std::isnan(want.real)) {
        EXPECT_TRUE(std::isnan(got.real)) << row.name << " with " << args;
      } else if (std::isinf(want.real) || want.real == 0) {
        EXPECT_EQ(got.real, want.real) << row.name << " with " << args;
      } else {
        EXPECT_NEAR(got.real, want.real, std::fabs(want.real) * 1e-15) << row.name << " = " << row.expression << " with " << args;
      }
      break;
  }
}

TEST_F(Exports, DirectoryHasEveryNameAtItsOrdinal) {
  const auto exports = ReadPeExports(ReadWholeFile(DllPath()));
  ASSERT_EQ(exports.size(), 178u);
  std::map<std::string, std::uint32_t> by_name;
  for (const auto& e : exports) by_name[e.name] = e.ordinal;
  EXPECT_EQ(by_name["GetVarnelLog"], 1u);
  EXPECT_EQ(by_name["_462EE689226340EAA982C5E8307B3F9E"], 2u);
  EXPECT_EQ(by_name["TMethodImplementationIntercept"], 3u);
  std::set<int> ordinals;
  for (const Row& row : kRows) {
    EXPECT_EQ(by_name[row.name], static_cast<std::uint32_t>(row.ordinal)) << row.name;
    ordinals.insert(row.ordinal);
    // Undecorated: the name is exactly the prefix and ten of "i", "I", "1".
    const std::string tail = std::string(row.name).substr(18);
    EXPECT_EQ(tail.size(), 10u);
    EXPECT_EQ(tail.find_first_not_of("iI1"), std::string::npos) << row.name;
  }
  EXPECT_EQ(ordinals.size(), 175u);
  EXPECT_EQ(*ordinals.begin(), 4);
  EXPECT_EQ(*ordinals.rbegin(), 178);
}

TEST_F(Exports, TableHasThePublishedShape) {
  std::map<Kind, int> kinds;
  for (const Row& row : kRows) ++kinds[row.kind];
  EXPECT_EQ(std::size(kRows), 175u);
  EXPECT_EQ(kinds[Kind::Text], 80 + 24);  // the literals and the date and number texts
}

TEST_F(Exports, EveryExportBalancesTheStackAndMatchesItsRow) {
  std::mt19937 rng(20261210);
  const wchar_t* texts[] = {L"abcabc", L"ca", L"", L"b", L"Buy Alert EURUSD"};
  auto profile = [&](int kind, bool pointers) {
    std::vector<std::uint32_t> s(16);
    for (auto& v : s) {
      if (pointers) {
        v = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(texts[rng() % 5]));
        continue;
      }
      switch (kind) {
        case 0: v = rng() % 6; break;                                   // modes, digits, small counts
        case 1: v = 0x3FF00000u + rng() % 0x01000000u; break;           // doubles 1..65536, large ints
        case 2: v = 0xC0000000u + rng() % 0x00F00000u; break;           // negative doubles and ints
        default: v = static_cast<std::uint32_t>(rng()); break;          // anything, NaN and INF included
      }
    }
    return s;
  };
  for (const Row& row : kRows) {
    const bool pointers = std::strstr(row.expression, "P(") != nullptr;
    for (int kind = 0; kind < 4; ++kind) {
      for (int round = 0; round < 8; ++round) {
        const auto slots = profile(kind, pointers);
        ExpectSame(row, Call(row, slots), row.eval(slots.data()), slots);
      }
    }
  }
}

TEST_F(Exports, DocumentedEdgeCases) {
  std::vector<std::uint32_t> s(16, 0xDEADBEEF);
  EXPECT_EQ(Call(RowNamed("IIiiiIiIII"), s).integer, 0);  // 13 slots, all removed
  EXPECT_EQ(Call(RowNamed("Iii1i1111I"), s).integer, 555);  // no slots at all

  std::vector<std::uint32_t> q(16, 0);
  q[3] = 0;
  q[0] = 119;
  EXPECT_EQ(Call(RowNamed("i1IIi1111I"), q).integer, -1);
  q[3] = 119;
  q[0] = 0;
  EXPECT_EQ(Call(RowNamed("i1IIi1111I"), q).integer, 1);

  std::vector<std::uint32_t> m(16, 0);
  m[3] = 0xFFFFFFFFu;  // -1
  m[4] = 0;
  EXPECT_EQ(Call(RowNamed("I1i1iI1Iii"), m).integer, -60);

  std::vector<std::uint32_t> w(16, 0);
  w[2] = 65536;
  EXPECT_EQ(Call(RowNamed("11Ii11I11I"), w).real, 0.0);

  const wchar_t* text = L"abc";
  std::vector<std::uint32_t> p(16, 0);
  p[1] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(text));
  EXPECT_EQ(Call(RowNamed("I1I1I1111I"), p).integer, -1);  // part null
  p[0] = p[1];
  p[1] = 0;
  EXPECT_EQ(Call(RowNamed("I1I1I1111I"), p).integer, -1);  // text null
}

TEST_F(Exports, SameTextSamePointerFromOnePool) {
  std::map<std::wstring, std::uintptr_t> pointer_of;
  std::set<std::uintptr_t> distinct;
  std::vector<std::uint32_t> s(16, 7);
  int literals = 0;
  for (const Row& row : kRows) {
    if (row.kind != Kind::Text || std::strncmp(row.expression, "T(", 2) != 0) continue;
    ++literals;
    const void* fn = lib_->Proc(row.name);
    CallResult out{};
    ASSERT_EQ(CallWithSlots(fn, s.data(), static_cast<std::uint32_t>(row.slots), &out, 0), 0);
    CallResult again{};
    CallWithSlots(fn, s.data(), static_cast<std::uint32_t>(row.slots), &again, 0);
    EXPECT_EQ(out.eax, again.eax) << row.name;
    const std::wstring text = reinterpret_cast<const wchar_t*>(out.eax);
    auto [it, inserted] = pointer_of.emplace(text, out.eax);
    if (!inserted) {
      EXPECT_EQ(it->second, out.eax) << row.name << " returns a second copy of its text";
    }
    distinct.insert(out.eax);
    // The pointer lies inside the library's image.
    MEMORY_BASIC_INFORMATION mbi{};
    VirtualQuery(reinterpret_cast<const void*>(out.eax), &mbi, sizeof mbi);
    EXPECT_EQ(mbi.AllocationBase, static_cast<void*>(lib_->get())) << row.name;
  }
  EXPECT_EQ(literals, 80);
  EXPECT_EQ(distinct.size(), 44u);
  EXPECT_EQ(pointer_of.size(), 44u);
}

TEST_F(Exports, ResultTextsArePerThread) {
  const Row& number = RowNamed("1I1I1iI1I1");  // FormatNumberText(D0, I2), 8 slots
  auto slots_for = [](double v, std::int32_t digits) {
    std::vector<std::uint32_t> s(16, 0);
    std::memcpy(&s[0], &v, sizeof v);
    s[2] = static_cast<std::uint32_t>(digits);
    return s;
  };
  const void* fn = lib_->Proc(number.name);
  CallResult mine{};
  auto s1 = slots_for(1.5, 2);
  ASSERT_EQ(CallWithSlots(fn, s1.data(), 8, &mine, 0), 0);
  EXPECT_STREQ(reinterpret_cast<const wchar_t*>(mine.eax), L"1.50");
  std::uint32_t theirs = 0;
  std::thread t([&] {
    CallResult out{};
    auto s2 = slots_for(-2.25, 1);
    CallWithSlots(fn, s2.data(), 8, &out, 0);
    theirs = out.eax;
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(out.eax), L"-2.3");
  });
  t.join();
  EXPECT_NE(theirs, mine.eax);
  EXPECT_STREQ(reinterpret_cast<const wchar_t*>(mine.eax), L"1.50");
}

TEST_F(Exports, ServiceExportsAreSafeToCall) {
  using GetVarnelLogProc = std::int32_t(__stdcall*)(void**);
  auto get = reinterpret_cast<GetVarnelLogProc>(lib_->Proc("GetVarnelLog"));
  ASSERT_NE(get, nullptr);
  // The exception manager starts with the library: its interface is there.
  void* intf = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(get(&intf), 0);
  EXPECT_NE(intf, reinterpret_cast<void*>(0x1234));
  EXPECT_NE(intf, nullptr);
  EXPECT_EQ(get(nullptr), 0);

  // The thread-facts export ends the thread that runs it: the threads
  // manager's tests start it on a thread of its own.
  EXPECT_NE(lib_->Proc("_462EE689226340EAA982C5E8307B3F9E"), nullptr);

  std::uint32_t one = 0;
  CallResult out{};
  EXPECT_EQ(CallWithSlots(lib_->Proc("TMethodImplementationIntercept"), &one, 0, &out, 0), 0);
  EXPECT_EQ(out.eax, 0u);
}

TEST_F(Exports, ModuloExportsGiveRemainingCandleTime) {
  const Row& minute = RowNamed("1IiIi1iiII");  // ModuloRoutine(D0, 60.0)
  const Row& hour = RowNamed("iIiii11iI1");    // ModuloRoutine(D0, 3600.0)
  std::vector<std::uint32_t> s(16, 0);
  const double t = 7325.0;
  std::memcpy(&s[0], &t, sizeof t);
  EXPECT_EQ(Call(minute, s).real, 5.0);
  EXPECT_EQ(Call(hour, s).real, 125.0);
}

}  // namespace
}  // namespace zelvic::test
