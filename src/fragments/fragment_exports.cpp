// The fragment exports, one function per row of fragment_table.inc.
//
// Each export takes its slots as one struct passed by value: the struct is
// exactly `slots` 32-bit words on the stack, and stdcall makes the callee pop
// its size, so the slot count of the table is the count removed. The one
// export without slots takes no parameter at all (an empty struct would
// still occupy a word).

#include "fragments/fragment_exports.h"

#include <cstddef>
#include <cstring>

#include "diagnostics/exceptions/EExceptionManager.h"
#include "diagnostics/threads/EThreadFactsExport.h"
#include "fragments/runtime_helpers.h"

namespace zelvic::fragments {
namespace {

template <int N>
struct Slots {
  std::uint32_t s[N];

  template <int n>
  std::int32_t I() const noexcept {
    static_assert(n >= 0 && n < N, "slot outside the export's slots");
    return static_cast<std::int32_t>(s[n]);
  }
  template <int n>
  std::int64_t Q() const noexcept {
    static_assert(n >= 0 && n + 1 < N, "slot outside the export's slots");
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(s[n]) | static_cast<std::uint64_t>(s[n + 1]) << 32);
  }
  template <int n>
  double D() const noexcept {
    static_assert(n >= 0 && n + 1 < N, "slot outside the export's slots");
    double d;
    std::memcpy(&d, &s[n], sizeof d);
    return d;
  }
  template <int n>
  const wchar_t* P() const noexcept {
    static_assert(n >= 0 && n < N, "slot outside the export's slots");
    return reinterpret_cast<const wchar_t*>(static_cast<std::uintptr_t>(s[n]));
  }
};

// The text pool. A text is a template parameter object, of which the language
// keeps exactly one per value: every export naming the same text returns the
// same address, and the texts live in read-only data for the module's life.
template <std::size_t N>
struct PoolText {
  wchar_t text[N];
  constexpr PoolText(const wchar_t (&s)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

template <PoolText S>
constexpr const wchar_t* Pooled() noexcept {
  return S.text;
}

namespace result {
using Text = const wchar_t*;
using Int = std::int32_t;
using Int64 = std::int64_t;
using Double = double;
}  // namespace result

}  // namespace
}  // namespace zelvic::fragments

// Zero slots selects an empty parameter list; every other count one Slots<n>.
#define FRAGMENT_SECOND(...) FRAGMENT_SECOND_(__VA_ARGS__, )
#define FRAGMENT_SECOND_(a, b, ...) b
#define FRAGMENT_ZERO_PROBE_0 ~, NONE
#define FRAGMENT_PARAMS_KIND(slots) FRAGMENT_SECOND(FRAGMENT_ZERO_PROBE_##slots, SOME)
#define FRAGMENT_CAT(a, b) FRAGMENT_CAT_(a, b)
#define FRAGMENT_CAT_(a, b) a##b
#define FRAGMENT_PARAMS_NONE(slots)
#define FRAGMENT_PARAMS_SOME(slots) [[maybe_unused]] ::zelvic::fragments::Slots<slots> a
#define FRAGMENT_PARAMS(slots) FRAGMENT_CAT(FRAGMENT_PARAMS_, FRAGMENT_PARAMS_KIND(slots))(slots)

#define I(n) a.template I<n>()
#define Q(n) a.template Q<n>()
#define D(n) a.template D<n>()
#define P(n) a.template P<n>()
#define T(s) ::zelvic::fragments::Pooled<s>()

#define FRAGMENT(suffix, ordinal, slots, type, expression)                                                   \
  extern "C" ::zelvic::fragments::result::type __stdcall Ondrel_55F22C7D_1_##suffix(FRAGMENT_PARAMS(slots)) { \
    using namespace ::zelvic::fragments;                                                                     \
    return expression;                                                                                       \
  }

#include "fragments/fragment_table.inc"

#undef FRAGMENT
#undef I
#undef Q
#undef D
#undef P
#undef T

extern "C" {

std::int32_t __stdcall GetVarnelLog(void** manager) { return zelvic::diag::GetVarnelLogInterface(manager); }

// Started as a thread by an outside process. Returning ends such a thread
// with the result as its exit code, as ending it here would; a host that
// calls the entry as a function keeps its thread.
std::uint32_t __stdcall _462EE689226340EAA982C5E8307B3F9E(void* parameter) {
  return zelvic::diag::WriteThreadFacts(parameter);
}

std::int32_t TMethodImplementationIntercept() { return 0; }

}
