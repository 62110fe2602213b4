// The text, number, search and remainder helpers behind the fragment exports.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "fragments/runtime_helpers.h"

namespace zelvic::fragments {
namespace {

std::string Narrow(const wchar_t* w) {
  std::string s;
  for (; *w; ++w) s.push_back(static_cast<char>(*w));
  return s;
}

std::string Number(double v, int digits) {
  wchar_t buf[kMaxHelperText];
  WriteNumberText(buf, v, digits, L'.');
  return Narrow(buf);
}

std::string Time(std::int32_t s, std::int32_t mode, wchar_t sep = L':') {
  wchar_t buf[kMaxHelperText];
  WriteTimeText(buf, s, mode, sep);
  return Narrow(buf);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

struct NumberCase {
  double value;
  int digits;
  const char* text;
};

TEST(FormatNumberText, FixedPointAndRounding) {
  const NumberCase cases[] = {
      // Documented examples.
      {2.675, 2, "2.67"},  // the stored double is just below 2.675
      {0.125, 2, "0.13"},
      {-0.004, 2, "0.00"},
      {-0.005, 2, "-0.01"},
      {1234.5, 0, "1235"},
      {3.0, 1, "3.0"},
      {0.05, 1, "0.1"},
      {1234.5, -2, "1200.000000000000000000"},
      {1.5e20, 2, "1.5E20"},
      // Zero of either sign, and values that round to zero, carry no sign.
      {0.0, 2, "0.00"},
      {-0.0, 0, "0"},
      {-0.4, 0, "0"},
      {-0.5, 0, "-1"},
      {0.5, 0, "1"},
      {1.005, 2, "1.00"},     // 1.00499999999999989...
      {99.995, 2, "100.00"},  // 99.9950000000000045...: carry through every digit
      {9.96, 1, "10.0"},
      {0.0001234, 6, "0.000123"},
      {0.0001235, 6, "0.000123"},  // stored just below 1.235e-4
      {123456789.0, 3, "123456789.000"},
      {-1.25, 1, "-1.3"},  // half away from zero
      {1.0, 17, "1.00000000000000000"},
      {1.0, 18, "1.000000000000000000"},
      {1.0, 40, "1.000000000000000000"},  // 18 or more decimals write 18
      {1.5, -1, "0.000000000000000000"},  // rounded at the tens: zero, with 18 decimals
      {5.0, -1, "10.000000000000000000"},
      {0.1, 20, "0.100000000000000006"},  // 18 digits kept, the rest of 18 decimals
      {std::numeric_limits<double>::denorm_min(), 2, "0.00"},
      {1e-300, 0, "0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Number(c.value, c.digits), c.text) << "value " << c.value << " digits " << c.digits;
  }
}

TEST(FormatNumberText, ScientificFromTenToTheEighteenth) {
  const NumberCase cases[] = {
      {999999999999999872.0, 0, "999999999999999872"},  // largest double below 10^18: fixed point
      {1e18, 0, "1E18"},
      {1e18, 2, "1E18"},
      {1e18, 3, "1E018"},
      {1e18, 4, "1E0018"},
      {1e18, 5, "1E18"},  // padding only for 0 to 4 digits
      {-2.5e20, 1, "-2.5E20"},
      {1.7976931348623157e308, 2, "1.79769313486231571E308"},
      {123456789012345678901234.0, 0, "1.23456789012345686E23"},  // stored as 1.23456789012345685803e23
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Number(c.value, c.digits), c.text) << "value " << c.value << " digits " << c.digits;
  }
}

TEST(FormatNumberText, SpecialValues) {
  EXPECT_EQ(Number(kInf, 2), "INF");
  EXPECT_EQ(Number(-kInf, 2), "-INF");
  EXPECT_EQ(Number(kNan, 2), "NAN");
  EXPECT_EQ(Number(-kNan, 0), "NAN");
}

TEST(FormatNumberText, EighteenSignificantDigits) {
  // Every decimal count and many magnitudes stay inside the buffer and keep
  // at most 18 significant digits.
  const double values[] = {1.0 / 3, 2.0 / 3, 1e17 + 1, 123456789012345.678, 6.02214076e23, 1e-10, 4.9e-324};
  for (double v : values) {
    for (int digits : {-30, -1, 0, 1, 5, 17, 18, 19, 1000, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
      const std::string t = Number(v, digits);
      int significant = 0;
      bool started = false;
      for (char ch : t.substr(0, t.find('E'))) {
        if (ch >= '1' && ch <= '9') started = true;
        if (started && ch >= '0' && ch <= '9') ++significant;
      }
      EXPECT_LE(t.size(), kMaxHelperText - 1) << t;
      if (t.find('E') != std::string::npos) {
        EXPECT_LE(significant, 18) << t;
      }
    }
  }
  EXPECT_EQ(Number(1.0 / 3, 18), "0.333333333333333315");
  EXPECT_EQ(Number(123456789012345678.0, 0), "123456789012345680");
}

std::uint16_t ControlWord() {
  std::uint16_t cw;
  asm volatile("fnstcw %0" : "=m"(cw));
  return cw;
}
void SetControlWord(std::uint16_t cw) { asm volatile("fclex\n\tfldcw %0" : : "m"(cw)); }
std::uint16_t StatusWord() {
  std::uint16_t sw;
  asm volatile("fnstsw %0" : "=m"(sw));
  return sw;
}

TEST(FormatNumberText, HostFloatingPointEnvironmentIsKept) {
  const std::uint16_t original = ControlWord();
  const struct {
    std::uint16_t cw;
    const char* name;
  } hosts[] = {
      {0x027F, "53-bit precision, all masked"},
      {0x037F, "64-bit precision, all masked"},
      {0x1372, "invalid, zero-divide and overflow unmasked"},
      {0x035F, "precision exception unmasked"},
      {0x0F7F, "rounding toward zero"},
  };
  for (const auto& h : hosts) {
    SetControlWord(h.cw);
    const std::string text = Number(1.0 / 3, 18);
    const std::string rounded = Number(2.5, 0);
    const std::uint16_t after = ControlWord();
    const std::uint16_t pending = StatusWord() & ~h.cw & 0x3F;
    SetControlWord(original);
    EXPECT_EQ(text, "0.333333333333333315") << h.name;  // the digits never depend on the host's word
    EXPECT_EQ(rounded, "3") << h.name;
    EXPECT_EQ(after, h.cw) << h.name;
    EXPECT_EQ(pending, 0) << h.name << ": a flag left set would trap at the host's next instruction";
  }
}

TEST(FormatTimeText, ModesAndDocumentedExamples) {
  EXPECT_EQ(Time(0, 5), "1970.01.01 00:00:00");
  EXPECT_EQ(Time(86400 - 1, 4), "23:59:59");
  EXPECT_EQ(Time(-1, 3), "1969.12.31 23:59");
  EXPECT_EQ(Time(2147483647, 5), "2038.01.19 03:14:07");
  EXPECT_EQ(Time(-2147483647 - 1, 1), "1901.12.13");
  EXPECT_EQ(Time(-2147483647 - 1, 5), "1901.12.13 20:45:52");
  EXPECT_EQ(Time(951782400, 1), "2000.02.29");  // leap day of a century leap year
  EXPECT_EQ(Time(1700000000, 2), "22:13");
  EXPECT_EQ(Time(1700000000, 3), "2023.11.14 22:13");
  EXPECT_EQ(Time(-86400, 5), "1969.12.31 00:00:00");
}

TEST(FormatTimeText, TimeSeparatorFromSettings) {
  EXPECT_EQ(Time(3723, 4, L'.'), "01.02.03");
  EXPECT_EQ(Time(3723, 4, L'\0'), "010203");  // a zero separator writes nothing
}

TEST(FormatTimeText, UnknownModeGivesTheConstantEmptyText) {
  const wchar_t* empty = FormatTimeText(0, 0);
  EXPECT_STREQ(empty, L"");
  for (int mode : {0, 6, -1, 100, std::numeric_limits<int>::min()}) {
    EXPECT_EQ(FormatTimeText(12345, mode), empty) << mode;
  }
}

TEST(FormatTimeText, EveryYearBoundaryAgreesWithCalendarArithmetic) {
  // Walk the whole 32-bit range a day at a time and check the date advances
  // by exactly one calendar day.
  auto days_in_month = [](int y, int m) {
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : d[m - 1];
  };
  int y = 1901, m = 12, d = 13;
  for (std::int64_t s = -2147483648LL; s <= 2147483647LL; s += 86400) {
    char expect[16];
    std::snprintf(expect, sizeof expect, "%04d.%02d.%02d", y, m, d);
    ASSERT_EQ(Time(static_cast<std::int32_t>(s), 1), expect) << s;
    if (++d > days_in_month(y, m)) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
    }
  }
}

TEST(ResultBuffers, PerThreadAndReusedOnTheSameThread) {
  const wchar_t* first = FormatNumberText(1.5, 2);
  EXPECT_STREQ(first, L"1.50");
  const wchar_t* second = FormatTimeText(0, 2);
  EXPECT_EQ(first, second);  // one buffer per thread, shared by both helpers
  EXPECT_STREQ(second, L"00:00");

  const wchar_t* other = nullptr;
  std::wstring other_text;
  std::thread t([&] {
    other = FormatNumberText(2.25, 2);
    FormatTimeText(0, 2);  // the other thread's own buffer changes
    other_text = other;
  });
  t.join();
  EXPECT_NE(other, second);
  EXPECT_EQ(other_text, L"00:00");
  EXPECT_STREQ(second, L"00:00");
}

TEST(TruncateToInt, TowardZeroAndOutOfRange) {
  const struct {
    double value;
    std::int32_t result;
  } cases[] = {
      {-2.9, -2},
      {2.9, 2},
      {3.0e9, std::numeric_limits<std::int32_t>::min()},
      {-3.0e9, std::numeric_limits<std::int32_t>::min()},
      {2147483647.9, 2147483647},
      {2147483648.0, std::numeric_limits<std::int32_t>::min()},
      {-2147483648.9, std::numeric_limits<std::int32_t>::min()},
      {-2147483649.0, std::numeric_limits<std::int32_t>::min()},
      {kNan, std::numeric_limits<std::int32_t>::min()},
      {kInf, std::numeric_limits<std::int32_t>::min()},
      {-0.0, 0},
      {4.9e-324, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(TruncateToInt(c.value), c.result) << c.value;
}

TEST(FindText, PositionsAndNulls) {
  EXPECT_EQ(FindText(L"abcabc", L"ca"), 2);
  EXPECT_EQ(FindText(L"abc", L""), 0);
  EXPECT_EQ(FindText(L"", L""), 0);
  EXPECT_EQ(FindText(L"", L"a"), -1);
  EXPECT_EQ(FindText(L"ABC", L"b"), -1);  // no case folding
  EXPECT_EQ(FindText(L"aaab", L"aab"), 1);
  EXPECT_EQ(FindText(L"abc", L"abcd"), -1);
  EXPECT_EQ(FindText(L"x\u00e9y", L"\u00e9"), 1);
  EXPECT_EQ(FindText(nullptr, L"a"), -1);
  EXPECT_EQ(FindText(L"a", nullptr), -1);
  EXPECT_EQ(FindText(nullptr, nullptr), -1);
}

TEST(FloatModulo, TruncatingRemainder) {
  const struct {
    double x, y, r;
  } cases[] = {
      {125.0, 60.0, 5.0},  {-125.0, 60.0, -5.0}, {7200.5, 3600.0, 0.5}, {0.0, 60.0, 0.0},
      {-60.0, 60.0, 0.0},  {59.0, 60.0, 59.0},   {3599.0, 3600.0, 3599.0}, {1e6, 7.0, 1.0},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatModulo(c.x, c.y), c.r) << c.x << " mod " << c.y;
  EXPECT_TRUE(std::isnan(FloatModulo(kNan, 60.0)));
}

TEST(FloorCeilToWhole, WholeNumbersAndWrap) {
  EXPECT_EQ(FloorToWhole(2.5), 2.0);
  EXPECT_EQ(FloorToWhole(-2.5), -3.0);
  EXPECT_EQ(CeilToWhole(2.5), 3.0);
  EXPECT_EQ(CeilToWhole(-2.5), -2.0);
  EXPECT_EQ(FloorToWhole(-3.0), -3.0);
  EXPECT_EQ(CeilToWhole(7.0), 7.0);
  // Beyond the 32-bit range the whole number wraps to its low 32 bits.
  EXPECT_EQ(FloorToWhole(4294967296.0 + 5.0), 5.0);
  EXPECT_EQ(CeilToWhole(2147483648.0), -2147483648.0);
  EXPECT_EQ(FloorToWhole(-2147483648.5), 2147483647.0);
  EXPECT_EQ(FloorToWhole(1e300), 0.0);  // the integer-indefinite value's low half
  EXPECT_EQ(CeilToWhole(kNan), 0.0);
}

TEST(SecondsToDateTime, DaysSince1899) {
  EXPECT_EQ(SecondsToDateTime(0), 25569.0);
  EXPECT_EQ(SecondsToDateTime(43200), 25569.5);
  EXPECT_EQ(SecondsToDateTime(-86400), 25568.0);
}

}  // namespace
}  // namespace zelvic::fragments
