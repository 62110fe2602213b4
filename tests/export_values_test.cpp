// The values of the real exports, checked against answers worked out by hand
// from the rules of each export (slot reading, 32-bit wrap-around, truncation,
// the helpers' text rules), not from the table the library is built from. One
// small table per kind of result; the rows pick the arguments where a wrong
// slot, a wrong operand order or a missing wrap-around shows.
//
// Every call pushes exactly the export's slot count; the slots a row does not
// set hold a poison value, so an export that reads the wrong slot gives a
// visibly wrong answer.

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string>

#include "test_support.h"

namespace zelvic::test {
namespace {

constexpr std::uint32_t kPoison = 0xDEADBEEF;

// The argument slots of one call, slot 0 lowest on the stack.
class Slots {
 public:
  Slots() { v_.fill(kPoison); }
  Slots& I(int n, std::int32_t x) {
    v_[static_cast<std::size_t>(n)] = static_cast<std::uint32_t>(x);
    return *this;
  }
  Slots& Q(int n, std::int64_t x) {
    const auto u = static_cast<std::uint64_t>(x);
    v_[static_cast<std::size_t>(n)] = static_cast<std::uint32_t>(u);
    v_[static_cast<std::size_t>(n) + 1] = static_cast<std::uint32_t>(u >> 32);
    return *this;
  }
  Slots& D(int n, double x) {
    std::memcpy(&v_[static_cast<std::size_t>(n)], &x, sizeof x);
    return *this;
  }
  Slots& P(int n, const wchar_t* p) {
    v_[static_cast<std::size_t>(n)] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
    return *this;
  }
  const std::uint32_t* data() const { return v_.data(); }

 private:
  std::array<std::uint32_t, 16> v_;
};

struct IntRow {
  const char* suffix;
  int slots;
  Slots args;
  std::int32_t want;
  const char* why;
};

struct Int64Row {
  const char* suffix;
  int slots;
  Slots args;
  std::int64_t want;
  const char* why;
};

struct DoubleRow {
  const char* suffix;
  int slots;
  Slots args;
  double want;  // compared bit for bit: the sign of a zero counts
  const char* why;
};

struct TextRow {
  const char* suffix;
  int slots;
  Slots args;
  std::wstring want;  // for the time texts ':' stands for the locale's time separator
  const char* why;
};

template <typename Row>
void PrintRow(const Row& r, std::ostream* os) {
  *os << "Ondrel_55F22C7D_1_" << r.suffix << " with " << r.slots << " slots";
  if (*r.why != 0) *os << " (" << r.why << ")";
}
void PrintTo(const IntRow& r, std::ostream* os) { PrintRow(r, os); }
void PrintTo(const Int64Row& r, std::ostream* os) { PrintRow(r, os); }
void PrintTo(const DoubleRow& r, std::ostream* os) { PrintRow(r, os); }
void PrintTo(const TextRow& r, std::ostream* os) { PrintRow(r, os); }

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const wchar_t kAbcabc[] = L"abcabc";
const wchar_t kAbc[] = L"abc";
const wchar_t kAbcUpper[] = L"ABC";
const wchar_t kAaab[] = L"aaab";
const wchar_t kEmpty[] = L"";

const IntRow kIntRows[] = {
    // Constants, whatever the slots hold.
    {"IIiiiIiIII", 13, Slots(), 0, "thirteen slots, constant 0"},
    {"IIIii11i1i", 7, Slots(), 8, "constant 8"},
    {"Iii1i1111I", 0, Slots(), 555, "no slots, constant 555"},
    {"II11iI1iI1", 7, Slots(), 18, "constant 18"},
    {"i1IIIi11i1", 7, Slots(), 25, "constant 25"},
    {"1iIiI1I11i", 7, Slots(), 5, "constant 5"},
    {"1i111iIiiI", 3, Slots(), 1, "constant 1"},
    // One slot passed back.
    {"ii1I1i1iiI", 5, Slots().I(3, 7).I(4, -42), -42, "slot 4"},
    {"i1iII1i1i1", 7, Slots().I(0, kMin32).I(1, 9), kMin32, "slot 0"},
    {"1iiIiiiIIi", 1, Slots().I(0, 123456789), 123456789, "slot 0 of one"},
    {"1iiI111iii", 1, Slots().I(0, -1), -1, "slot 0 of one"},
    {"1111IiIIiI", 5, Slots().I(3, 1).I(4, 77), 77, "slot 4"},
    // I3 - I0, wrapping.
    {"I1iiI1Ii11", 6, Slots().I(3, 5).I(0, 7), -2, "5 - 7"},
    {"I1iiI1Ii11", 6, Slots().I(3, kMin32).I(0, 1), kMax32, "min - 1 wraps to max"},
    // (I3 - I0) / 60, truncated toward zero.
    {"i1IIi1111I", 7, Slots().I(3, 0).I(0, 119), -1, "-119 / 60"},
    {"i1IIi1111I", 7, Slots().I(3, 119).I(0, 0), 1, "119 / 60"},
    {"i1IIi1111I", 7, Slots().I(3, -120).I(0, 0), -2, "-120 / 60"},
    {"i1IIi1111I", 7, Slots().I(3, kMin32).I(0, 1), 35791394, "difference wraps to max, then / 60"},
    // I3 - 1.
    {"I1I11IIIii", 4, Slots().I(3, 0), -1, "0 - 1"},
    {"I1I11IIIii", 4, Slots().I(3, kMin32), kMax32, "min - 1 wraps"},
    // Truncation of a double to a 32-bit integer.
    {"iiI11IiI1I", 6, Slots().D(2, 99.0).D(4, -2.9), -2, "D4 = -2.9 toward zero"},
    {"iiI11IiI1I", 6, Slots().D(4, 2147483647.9), kMax32, "just inside the range"},
    {"iiI11IiI1I", 6, Slots().D(4, 3.0e9), kMin32, "above the range"},
    {"ii11i111Ii", 6, Slots().D(2, -0.5).D(4, 99.0), 0, "D2 = -0.5 toward zero"},
    {"ii11i111Ii", 6, Slots().D(2, -2147483649.0), kMin32, "below the range"},
    {"i1iI11iiiI", 7, Slots().D(2, kNaN), kMin32, "not a number"},
    {"i1iI11iiiI", 7, Slots().D(0, 5.0).D(2, 2.9), 2, "D2 = 2.9 toward zero"},
    // Position of P0 inside P1.
    {"I1I1I1111I", 3, Slots().P(0, L"ca").P(1, kAbcabc), 2, "ca in abcabc"},
    {"I1I1I1111I", 3, Slots().P(0, kEmpty).P(1, kAbc), 0, "empty part"},
    {"I1I1I1111I", 3, Slots().P(0, kEmpty).P(1, kEmpty), 0, "empty part in empty text"},
    {"I1I1I1111I", 3, Slots().P(0, L"a").P(1, kEmpty), -1, "a in empty text"},
    {"I1I1I1111I", 3, Slots().P(0, nullptr).P(1, kAbc), -1, "null part"},
    {"1iiI1iiiii", 2, Slots().P(0, L"b").P(1, kAbcUpper), -1, "no case folding"},
    {"1iiI1iiiii", 2, Slots().P(0, L"aab").P(1, kAaab), 1, "match after a false start"},
    {"1iiI1iiiii", 2, Slots().P(0, L"abcd").P(1, kAbc), -1, "part longer than text"},
    {"1iiI1iiiii", 2, Slots().P(0, kAbc).P(1, nullptr), -1, "null text"},
};

const Int64Row kInt64Rows[] = {
    {"IiiIi11iII", 6, Slots().I(2, 1).Q(3, 0x0000000100000002), 0x0000000100000002, "slots 3 and 4"},
    {"IiiIi11iII", 6, Slots().Q(3, -2), -2, "negative, both halves"},
    {"IIi11I1iII", 3, Slots().I(0, 5).Q(1, INT64_MIN), INT64_MIN, "slots 1 and 2"},
    {"Ii1IIiI11I", 3, Slots().Q(0, 0x123456789ABCDEF0).I(2, 3), 0x123456789ABCDEF0, "slots 0 and 1"},
    {"I1iii1iiII", 5, Slots().Q(1, 0x7FFFFFFF80000000).I(3, 4), 0x7FFFFFFF80000000, "slots 1 and 2"},
    // I3 * 60 + I4 in 32 bits, then sign-extended.
    {"I1i1iI1Iii", 6, Slots().I(3, -1).I(4, 0), -60, "-1 * 60: high half all ones"},
    {"I1i1iI1Iii", 6, Slots().I(3, 2).I(4, 5), 125, "2 minutes 5"},
    {"I1i1iI1Iii", 6, Slots().I(3, 1).I(4, -61), -1, "sum below zero"},
    {"I1i1iI1Iii", 6, Slots().I(3, 35791395).I(4, 0), -2147483596, "product wraps before the widening"},
};

const DoubleRow kDoubleRows[] = {
    {"1i1iI111i1", 5, Slots(), 0.0, "constant"},
    {"1I1i1IIIiI", 4, Slots(), 0.0, "constant"},
    // Passed back unchanged.
    {"iiI1II111I", 5, Slots().D(1, 9.0).D(3, -0.0), -0.0, "slots 3-4, negative zero"},
    {"ii1I1Ii1ii", 5, Slots().D(0, 9.0).D(2, 1e-310), 1e-310, "slots 2-3, subnormal"},
    {"I1III1iii1", 6, Slots().D(2, 0.1).D(4, 9.0), 0.1, "slots 2-3"},
    {"I11ii111II", 6, Slots().D(2, 9.0).D(4, -1.5e300), -1.5e300, "slots 4-5"},
    {"iiI1iii1ii", 6, Slots().D(2, 9.0).D(4, kInf), kInf, "slots 4-5, infinity"},
    {"1I1IiII1II", 7, Slots().D(3, 9.0).D(5, 6.25), 6.25, "slots 5-6"},
    {"11IIi11ii1", 2, Slots().D(0, -7.75), -7.75, "slots 0-1"},
    // Expressions.
    {"ii1ii1Ii1I", 7, Slots().D(0, 3.0).D(2, 10.0).D(4, 4.0), 1.0, "(10 - 4) * 0.5 / 3"},
    {"ii1ii1Ii1I", 7, Slots().D(0, -4.0).D(2, 1.0).D(4, 0.0), -0.125, "(1 - 0) * 0.5 / -4"},
    {"II111Ii11i", 10, Slots().D(0, 2.0).D(2, 3.0).I(7, -2).D(8, 10.0), -2.0, "(10 - 2 * 3) / -2"},
    {"1iII1iiIi1", 9, Slots().D(0, 0.1).D(6, 0.3), 0.19999999999999998, "0.3 - 0.1 in doubles"},
    {"1iI1I1IiiI", 6, Slots().D(1, 9.0).D(3, 0.1), 1.0, "0.1 * 10 rounds to 1"},
    {"1iI1I1IiiI", 6, Slots().D(3, -2.5), -25.0, "-2.5 * 10"},
    {"1i11i1i11I", 6, Slots().D(1, 1.5).D(4, 0.25), -1.25, "0.25 - 1.5"},
    {"11iII11i1i", 10, Slots().I(0, 3).D(1, 1.5).D(4, -1.5).D(6, 2.0).D(8, 2.5), -3.0, "(3 * 2.5 - 1.5 * 2) / -1.5"},
    {"11Ii11I11I", 5, Slots().I(2, 65536), 0.0, "65536 squared wraps to 0"},
    {"11Ii11I11I", 5, Slots().I(2, 46341), -2147479015.0, "46341 squared wraps negative"},
    {"11Ii11I11I", 5, Slots().I(2, -3), 9.0, "-3 squared"},
    {"11i1i11iiI", 9, Slots().D(0, 1.5).D(7, 1.0), -0.5, "1 - 1.5"},
    {"iiiI11iIii", 5, Slots().D(0, 2.0).D(3, 0.5), -1.5, "0.5 - 2"},
    {"II1IiIiI1I", 6, Slots().I(2, -3).D(3, 0.5), -1.5, "-3 * 0.5"},
    {"II1IiIiI1I", 6, Slots().I(2, kMin32).D(3, 1.0), -2147483648.0, "the integer converted exactly"},
    {"Ii1IIII1I1", 7, Slots().D(1, 1.0).D(3, 4.0).D(5, 9.0), 1.0, "(9 - 1) * 0.5 / 4"},
    {"Ii1I1i111i", 4, Slots().D(0, 5.0).D(2, 1.0), -3.0, "1 - (5 - 1)"},
    {"i1I11i11ii", 8, Slots().I(0, 2).D(4, 3.0).D(6, 3.5), -2.0, "2 * 3.5 - 3 * 3"},
    {"i1111IiI1i", 7, Slots().D(2, 1.0).D(5, 4.0), 7.0, "(4 - 1) + 4"},
    // The remainder routine, by 60 and by 3600.
    {"1IiIi1iiII", 3, Slots().D(0, 125.0), 5.0, "125 mod 60"},
    {"1IiIi1iiII", 3, Slots().D(0, -125.0), -5.0, "sign of the dividend"},
    {"1IiIi1iiII", 3, Slots().D(0, 0.0), 0.0, "zero"},
    {"1IiIi1iiII", 3, Slots().D(0, -60.0), 0.0, "a whole negative multiple gives positive zero"},
    {"1IiIi1iiII", 3, Slots().D(0, 59.5), 59.5, "below the divisor"},
    {"1IiIi1iiII", 3, Slots().D(0, 3e11), 257698037760.0, "the quotient wraps into 32 bits"},
    {"iIiii11iI1", 6, Slots().D(0, 7200.5), 0.5, "7200.5 mod 3600"},
    {"iIiii11iI1", 6, Slots().D(0, 7325.0), 125.0, "7325 mod 3600"},
    {"iIiii11iI1", 6, Slots().D(0, -3601.0), -1.0, "-3601 mod 3600"},
};

const TextRow kLiteralRows[] = {
    {"IIIiiIIii1", 6, Slots(), L"_", "one character"},
    {"iIiIIii1I1", 1, Slots(), L" - Date & Time: ", "blanks at both ends"},
    {"Iiii1I111i", 6, Slots(), L" - Trailing Stop = ", ""},
    {"iiiiII1I1I", 4, Slots(), L"Error in linear regression!", "the longest"},
    {"1iiiIi1IiI", 7, Slots(), L" ", "a blank alone"},
    {"iI1I11I11I", 8, Slots(), L" minutes ", ""},
    {"1Ii1I1IIii", 6, Slots(), L"Zelvic System Active", ""},
    {"1II1111I1i", 3, Slots(), L"New Candle in ", ""},
    {"1i1IIii11I", 8, Slots(), L"Unknown timeframe", ""},
    {"IIII1iiIIi", 7, Slots(), L"MN1", ""},
    {"IiIi1I1Iii", 7, Slots(), L"Buy Alert ", ""},
    {"I1i111i1I1", 6, Slots(), L"Sell Alert ", ""},
    {"111iII1III", 3, Slots(), L"NextCandle_", ""},
    {"I1IIii1ii1", 8, Slots(), L" seconds", ""},
};

const TextRow kTimeRows[] = {
    {"ii1IiIIi1i", 6, Slots().I(0, 5).I(1, 0), L"1970.01.01 00:00:00", "the epoch, mode 5"},
    {"iI11II1I1i", 6, Slots().I(4, 86399).I(5, 4), L"23:59:59", "last second of a day"},
    {"I1I1I1I111", 6, Slots().I(3, -1).I(5, 3), L"1969.12.31 23:59", "one second before the epoch"},
    {"1Iii11I11i", 3, Slots().I(1, 2147483647).I(2, 5), L"2038.01.19 03:14:07", "largest count"},
    {"1II1iI1II1", 6, Slots().I(3, kMin32).I(5, 1), L"1901.12.13", "smallest count"},
    {"11iiIII1II", 5, Slots().I(1, 951782400).I(4, 1), L"2000.02.29", "leap day"},
    {"iIiIIIiii1", 5, Slots().I(3, 1700000000).I(2, 2), L"22:13", "hours and minutes"},
    {"iII11I1iIi", 4, Slots().I(1, 1).I(2, 4), L"00:00:01", "one second, not rounded away"},
    {"iII11I1iIi", 4, Slots().I(1, -86401).I(2, 5), L"1969.12.30 23:59:59", "a day and a second before"},
    {"iII11I1iIi", 4, Slots().I(1, 1000).I(2, 0), L"", "mode 0"},
    {"ii1IiIIi1i", 6, Slots().I(0, 6).I(1, 1000), L"", "mode 6"},
    {"1Iii11I11i", 3, Slots().I(1, 1000).I(2, -1), L"", "negative mode"},
};

const std::wstring k18Zeros(18, L'0');

const TextRow kNumberRows[] = {
    {"1I1I1iI1I1", 8, Slots().D(0, 2.675).I(2, 2), L"2.67", "the stored double lies below 2.675"},
    {"1I1I1iI1I1", 8, Slots().D(0, 0.125).I(2, 2), L"0.13", "half away from zero"},
    {"iII1i1III1", 7, Slots().D(0, -0.004).I(2, 2), L"0.00", "rounds to zero: no sign"},
    {"iII1i1III1", 7, Slots().D(0, -0.005).I(2, 2), L"-0.01", "negative half away from zero"},
    {"i1i1IIiiII", 7, Slots().I(0, 0).D(2, 1234.5), L"1235", "no decimals"},
    {"i1IiI1IiII", 7, Slots().I(0, 1).D(2, 3.0), L"3.0", "trailing zero written"},
    {"I1i11iI1II", 4, Slots().I(1, 1).D(2, 0.05), L"0.1", "carry into the first decimal"},
    {"1ii11i11iI", 8, Slots().I(0, -2).D(3, 1234.5), L"1200." + k18Zeros, "negative digits: 18 decimals"},
    {"1I1II1Iiii", 7, Slots().I(0, -1).D(4, 15.0), L"20." + k18Zeros, "rounded at the tens"},
    {"1i1i1iIii1", 7, Slots().D(4, 1.5e20).I(6, 2), L"1.5E20", "scientific"},
    {"1i1i1iIii1", 7, Slots().D(4, 1.5e20).I(6, 4), L"1.5E0020", "exponent padded to the digits"},
    {"1i1i1iIii1", 7, Slots().D(4, -1e18).I(6, 0), L"-1E18", "10^18 switches to scientific"},
    {"11iIi1iI1I", 7, Slots().I(0, 0).D(1, 123456789012345678.0), L"123456789012345680", "18 digits stay fixed"},
    {"11iIi1iI1I", 7, Slots().I(0, 2).D(1, 9.9999), L"10.00", "carry out of the first digit"},
    {"1111I1iiII", 6, Slots().D(1, 9.995).I(5, 2), L"9.99", "the stored double lies below 9.995"},
    {"1111I1iiII", 6, Slots().D(1, 0.001234).I(5, 5), L"0.00123", "leading zero decimals"},
    {"1111I1iiII", 6, Slots().D(1, 1.0).I(5, 20), L"1." + k18Zeros, "more than 18 digits asked"},
    {"1Ii1IiiII1", 5, Slots().D(1, -0.0).I(3, 2), L"0.00", "negative zero"},
    {"1Ii1IiiII1", 5, Slots().D(1, 5e-324).I(3, 2), L"0.00", "smallest subnormal"},
    {"1Ii1IiiII1", 5, Slots().D(1, 0.5).I(3, 0), L"1", "half rounds up"},
    {"Iii1iI11I1", 5, Slots().I(1, 0).D(3, -0.5), L"-1", "negative half rounds down"},
    {"Iii1iI11I1", 5, Slots().I(1, 2).D(3, kInf), L"INF", "infinity"},
    {"Iii1iI11I1", 5, Slots().I(1, 2).D(3, -kInf), L"-INF", "negative infinity"},
    {"Iii1iI11I1", 5, Slots().I(1, 2).D(3, kNaN), L"NAN", "not a number"},
    // One decimal fixed by the export.
    {"iI11iiIiIi", 8, Slots().D(2, 2.25), L"2.3", "fixed one decimal, half up"},
    {"1iIiIiiIi1", 8, Slots().D(0, -2.25), L"-2.3", "fixed one decimal, negative"},
    {"iIIII111II", 8, Slots().D(2, 7.0), L"7.0", "fixed one decimal"},
    {"IiII1iII11", 8, Slots().D(2, 0.04), L"0.0", "fixed one decimal, rounds to zero"},
};

// The loaded library for the whole suite.
class ExportValues : public testing::Test {
 protected:
  static void SetUpTestSuite() { lib_ = std::make_unique<LoadedLibrary>(DllPath()); }
  static void TearDownTestSuite() { lib_.reset(); }
  void SetUp() override { ASSERT_TRUE(lib_->ok()) << lib_->error(); }

  // Calls the export with exactly `slots` slots; a stack left off level fails.
  static CallResult Call(const char* suffix, int slots, const Slots& args, bool returns_double) {
    const std::string name = std::string("Ondrel_55F22C7D_1_") + suffix;
    const void* fn = lib_->Proc(name.c_str());
    CallResult out{};
    if (fn == nullptr) {
      ADD_FAILURE() << name << " is not exported";
      return out;
    }
    const std::int32_t imbalance =
        CallWithSlots(fn, args.data(), static_cast<std::uint32_t>(slots), &out, returns_double ? 1 : 0);
    EXPECT_EQ(imbalance, 0) << name << " left the stack off by " << imbalance << " bytes";
    return out;
  }

  static std::unique_ptr<LoadedLibrary> lib_;
};

std::unique_ptr<LoadedLibrary> ExportValues::lib_;

std::uint64_t Bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// The user locale's time separator, asked of the system directly.
wchar_t LocaleTimeSeparator() {
  wchar_t buf[8] = {};
  return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, buf, 8) > 1 ? buf[0] : L':';
}

TEST_F(ExportValues, IntegerResults) {
  for (const IntRow& row : kIntRows) {
    SCOPED_TRACE(testing::PrintToString(row));
    const CallResult out = Call(row.suffix, row.slots, row.args, false);
    EXPECT_EQ(static_cast<std::int32_t>(out.eax), row.want);
  }
}

TEST_F(ExportValues, SixtyFourBitResults) {
  for (const Int64Row& row : kInt64Rows) {
    SCOPED_TRACE(testing::PrintToString(row));
    const CallResult out = Call(row.suffix, row.slots, row.args, false);
    EXPECT_EQ(static_cast<std::int64_t>(out.eax | static_cast<std::uint64_t>(out.edx) << 32), row.want);
  }
}

TEST_F(ExportValues, DoubleResults) {
  for (const DoubleRow& row : kDoubleRows) {
    SCOPED_TRACE(testing::PrintToString(row));
    const CallResult out = Call(row.suffix, row.slots, row.args, true);
    EXPECT_EQ(Bits(out.st0), Bits(row.want)) << "got " << out.st0 << ", want " << row.want;
  }
}

TEST_F(ExportValues, LiteralTexts) {
  for (const TextRow& row : kLiteralRows) {
    SCOPED_TRACE(testing::PrintToString(row));
    const CallResult out = Call(row.suffix, row.slots, row.args, false);
    ASSERT_NE(out.eax, 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(out.eax)), row.want);
  }
}

TEST_F(ExportValues, TimeTexts) {
  const wchar_t separator = LocaleTimeSeparator();
  for (const TextRow& row : kTimeRows) {
    SCOPED_TRACE(testing::PrintToString(row));
    std::wstring want;
    for (wchar_t c : row.want) {
      if (c != L':') {
        want.push_back(c);
      } else if (separator != 0) {
        want.push_back(separator);
      }
    }
    const CallResult out = Call(row.suffix, row.slots, row.args, false);
    ASSERT_NE(out.eax, 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(out.eax)), want);
  }
}

TEST_F(ExportValues, NumberTexts) {
  for (const TextRow& row : kNumberRows) {
    SCOPED_TRACE(testing::PrintToString(row));
    const CallResult out = Call(row.suffix, row.slots, row.args, false);
    ASSERT_NE(out.eax, 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(out.eax)), row.want);
  }
}

}  // namespace
}  // namespace zelvic::test
