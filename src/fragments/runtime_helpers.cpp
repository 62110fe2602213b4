#include "fragments/runtime_helpers.h"

#include <cmath>
#include <cstring>

#include "fragments/result_buffers.h"
#include "runtime/civil_date.h"
#include "runtime/format_settings.h"

namespace zelvic::fragments {

const rt::TFormatSettings* EnUsFormatSettings = nullptr;
TModuloRoutine ModuloRoutine = nullptr;

namespace {

constexpr wchar_t kEmptyText[] = L"";

// ---- dates -----------------------------------------------------------------

wchar_t* Put2(wchar_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<wchar_t>(L'0' + v / 10);
  p[1] = static_cast<wchar_t>(L'0' + v % 10);
  return p + 2;
}

wchar_t* Put4(wchar_t* p, std::uint32_t v) noexcept {
  p = Put2(p, v / 100 % 100);
  return Put2(p, v % 100);
}

// ---- numbers ---------------------------------------------------------------

// Powers of ten in extended precision. 10^0..10^27 are exact in a 64-bit
// mantissa; the coarse steps are correctly rounded literals, so any power
// in range costs at most one extra rounding.
constexpr long double kPow10Fine[28] = {
    1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,  1e10L, 1e11L, 1e12L, 1e13L,
    1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L, 1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
constexpr long double kPow10Coarse[14] = {1e0L,   1e28L,  1e56L,  1e84L,  1e112L, 1e140L, 1e168L,
                                          1e196L, 1e224L, 1e252L, 1e280L, 1e308L, 1e336L, 1e364L};

long double Pow10(int k) noexcept {  // 0 <= k < 392
  return kPow10Coarse[k / 28] * kPow10Fine[k % 28];
}

// The x87 control word while the digits are taken: 64-bit precision, round to
// nearest, every exception masked. The host's own word (often 53-bit
// precision, sometimes with exceptions unmasked) is put back afterwards.
constexpr std::uint16_t kExtendedControlWord = 0x037F;

struct ExtendedPrecision {
  std::uint16_t saved;
  ExtendedPrecision() noexcept {
    std::uint16_t cw = kExtendedControlWord;
    asm volatile("fnstcw %0\n\tfldcw %1" : "=m"(saved) : "m"(cw) : "memory");
  }
  ~ExtendedPrecision() {
    // Our arithmetic leaves sticky flags (inexact at least). A flag whose
    // exception the host has unmasked would trap at its next instruction, so
    // those are cleared; clearing costs more than the whole conversion, so
    // only then.
    std::uint16_t status;
    asm volatile("fnstsw %0" : "=m"(status) : : "memory");
    if ((status & ~saved & 0x3F) != 0) asm volatile("fnclex" : : : "memory");
    asm volatile("fldcw %0" : : "m"(saved) : "memory");
  }
};

constexpr long double kTen17 = 1e17L;
constexpr long double kTen18 = 1e18L;

long double Scale(long double a, int e) noexcept {
  const int k = 18 - e;
  return k >= 0 ? a * Pow10(k) : a / Pow10(-k);
}

// Rounds to a whole number by the control word's rounding (to nearest, ties
// to even, while ExtendedPrecision is in force).
std::int64_t RoundToWhole(long double x) noexcept {
  std::int64_t n;
  asm("fistpll %0" : "=m"(n) : "t"(x) : "st");
  return n;
}

// The 18 most significant decimal digits of a finite, non-zero |v|, and the
// exponent E with |v| = 0.d1d2... x 10^E. Kept out of line so that the
// control word set around the call governs every operation in it.
__attribute__((noinline)) void Digits18Extended(double v, std::uint8_t* digits, int* exponent) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  // Binary exponent with |v| in [2^(b-1), 2^b); subnormals counted from their
  // leading bit.
  int bin_exp = static_cast<int>(bits >> 52 & 0x7FF) - 1022;
  if (bin_exp == -1022) {
    std::uint64_t m = bits & 0xFFFFFFFFFFFFFull;
    bin_exp = -1021;
    while ((m & 0x10000000000000ull) == 0) {
      m <<= 1;
      --bin_exp;
    }
  }
  // From the binary exponent E is known to within one; the scaled value
  // settles it.
  // floor((b - 1) * log10(2)) in integer arithmetic (exact over the double
  // range; the shift floors negative values too).
  int e = (((bin_exp - 1) * 78913) >> 18) + 1;
  const long double a = std::fabs(static_cast<long double>(v));
  long double x = Scale(a, e);
  if (x >= kTen18) {
    // The estimate can only be one too low: one more division settles it.
    ++e;
    x /= 10.0L;
  } else if (x < kTen17) {
    --e;
    x = Scale(a, e);
  }
  std::int64_t n = RoundToWhole(x);
  if (n >= 1000000000000000000LL) {  // rounding reached 10^18
    n /= 10;
    ++e;
  }
  // Two 9-digit halves keep the digit loop in 32-bit arithmetic. n < 10^18,
  // so its high word is below 10^9 and one 64-by-32 division splits it (the
  // compiler would call a 64-bit division routine instead).
  std::uint32_t high, low;
  asm("divl %4"
      : "=a"(high), "=d"(low)
      : "a"(static_cast<std::uint32_t>(n)), "d"(static_cast<std::uint32_t>(static_cast<std::uint64_t>(n) >> 32)),
        "rm"(1000000000u)
      : "cc");
  for (int i = 17; i >= 9; --i, low /= 10) digits[i] = static_cast<std::uint8_t>(low % 10);
  for (int i = 8; i >= 0; --i, high /= 10) digits[i] = static_cast<std::uint8_t>(high % 10);
  *exponent = e;
}

void Digits18(double v, std::uint8_t (&digits)[18], int& exponent) noexcept {
  ExtendedPrecision ep;
  Digits18Extended(v, digits, &exponent);
}

wchar_t* PutText(wchar_t* p, const wchar_t* s) noexcept {
  while (*s) *p++ = *s++;
  return p;
}

}  // namespace

double SecondsToDateTime(std::int32_t seconds) noexcept {
  return rt::UnixSecondsToDateTime(seconds);
}

std::size_t WriteTimeText(wchar_t* out, std::int32_t seconds, std::int32_t mode, wchar_t time_separator) noexcept {
  const bool date = mode == 1 || mode == 3 || mode == 5;
  const bool time = mode >= 2 && mode <= 5;
  const bool with_seconds = mode == 4 || mode == 5;
  wchar_t* p = out;
  if (date || time) {
    // Whole seconds need no rounding: the day count and the second of the day
    // come straight from integer division.
    const std::int64_t s = seconds;
    std::int64_t days = s / rt::kSecondsPerDay;
    std::int64_t sod = s % rt::kSecondsPerDay;
    if (sod < 0) {
      sod += rt::kSecondsPerDay;
      --days;
    }
    if (date) {
      const rt::TCivilDate d = rt::CivilFromDays(days);
      p = Put4(p, static_cast<std::uint32_t>(d.Year));
      *p++ = L'.';
      p = Put2(p, d.Month);
      *p++ = L'.';
      p = Put2(p, d.Day);
      if (time) *p++ = L' ';
    }
    if (time) {
      const auto t = static_cast<std::uint32_t>(sod);
      p = Put2(p, t / 3600);
      if (time_separator) *p++ = time_separator;
      p = Put2(p, t / 60 % 60);
      if (with_seconds) {
        if (time_separator) *p++ = time_separator;
        p = Put2(p, t % 60);
      }
    }
  }
  *p = 0;
  return static_cast<std::size_t>(p - out);
}

std::size_t WriteNumberText(wchar_t* out, double value, std::int32_t digits, wchar_t decimal_separator) noexcept {
  wchar_t* p = out;
  if (std::isnan(value)) {
    p = PutText(p, L"NAN");
  } else if (std::isinf(value)) {
    p = PutText(p, value < 0 ? L"-INF" : L"INF");
  } else {
    std::uint8_t d[18] = {};
    int count = 0;  // significant digits kept
    int e = 0;
    if (value != 0) {
      Digits18(value, d, e);
      count = 18;
      std::int64_t k = static_cast<std::int64_t>(e) + digits;
      if (k > 18) k = 18;
      if (k < 0) {
        count = 0;
      } else if (k < 18) {
        count = static_cast<int>(k);
        if (d[k] >= 5) {  // half away from zero on the 18-digit form
          int i = count - 1;
          while (i >= 0 && d[i] == 9) d[i--] = 0;
          if (i < 0) {
            d[0] = 1;
            count = 1;
            ++e;
          } else {
            ++d[i];
          }
        }
      }
      while (count > 0 && d[count - 1] == 0) --count;
    }
    const bool negative = count > 0 && value < 0;
    if (negative) *p++ = L'-';
    if (count > 0 && e > 18) {
      *p++ = static_cast<wchar_t>(L'0' + d[0]);
      if (count > 1) {
        *p++ = L'.';
        for (int i = 1; i < count; ++i) *p++ = static_cast<wchar_t>(L'0' + d[i]);
      }
      *p++ = L'E';
      wchar_t exp_text[12];
      int n = 0;
      for (int x = e - 1; x > 0; x /= 10) exp_text[n++] = static_cast<wchar_t>(L'0' + x % 10);
      for (int pad = digits >= 0 && digits <= 4 ? digits - n : 0; pad > 0; --pad) *p++ = L'0';
      while (n > 0) *p++ = exp_text[--n];
    } else {
      if (count == 0 || e <= 0) {
        *p++ = L'0';
      } else {
        for (int i = 0; i < e; ++i) *p++ = static_cast<wchar_t>(L'0' + (i < count ? d[i] : 0));
      }
      const int decimals = digits >= 0 && digits < 18 ? digits : 18;
      if (decimals > 0) {
        *p++ = decimal_separator;
        for (int j = 0; j < decimals; ++j) {
          const int pos = (count == 0 ? 0 : e) + j;
          *p++ = static_cast<wchar_t>(L'0' + (pos >= 0 && pos < count ? d[pos] : 0));
        }
      }
    }
  }
  *p = 0;
  return static_cast<std::size_t>(p - out);
}

const wchar_t* FormatTimeText(std::int32_t seconds, std::int32_t mode) noexcept {
  if (mode < 1 || mode > 5) return kEmptyText;
  wchar_t* buf = ThreadResultBuffer();
  if (buf == nullptr) return kEmptyText;
  WriteTimeText(buf, seconds, mode, rt::DefaultFormatSettings().TimeSeparator);
  return buf;
}

const wchar_t* FormatNumberText(double value, std::int32_t digits) noexcept {
  wchar_t* buf = ThreadResultBuffer();
  if (buf == nullptr) return kEmptyText;
  WriteNumberText(buf, value, digits, EnUsFormatSettings ? EnUsFormatSettings->DecimalSeparator : L'.');
  return buf;
}

std::int32_t TruncateToInt(double value) noexcept {
  // The negated test also catches not-a-number.
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::int32_t FindText(const wchar_t* text, const wchar_t* part) noexcept {
  if (text == nullptr || part == nullptr) return -1;
  const wchar_t first = part[0];
  if (first == 0) return 0;
  for (const wchar_t* t = text; *t; ++t) {
    if (*t != first) continue;
    std::size_t i = 1;
    while (part[i] != 0 && t[i] == part[i]) ++i;
    if (part[i] == 0) return static_cast<std::int32_t>(t - text);
  }
  return -1;
}

namespace {

// Truncation to 64 bits keeping the low 32 as a signed value; out of range
// (and not-a-number) truncates to the integer-indefinite value, whose low
// half is 0.
std::int32_t LowWhole(double value) noexcept {
  if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0)) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(value))));
}

}  // namespace

double FloorToWhole(double value) noexcept {
  const std::int32_t t = LowWhole(value);
  // The whole number stays 32-bit: INT32_MIN - 1 wraps, as the low half does.
  return value - std::trunc(value) < 0 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(t) - 1u) : t;
}

double CeilToWhole(double value) noexcept {
  const std::int32_t t = LowWhole(value);
  return value - std::trunc(value) > 0 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(t) + 1u) : t;
}

double FloatModulo(double x, double y) noexcept {
  const double q = x / y;
  const double w = x > 0 ? FloorToWhole(q) : CeilToWhole(q);
  return x - y * w;
}

}  // namespace zelvic::fragments
