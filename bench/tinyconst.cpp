// The smallest useful stdcall export: six slots in, a constant text out.
#include <cstdint>

namespace {
constexpr wchar_t kText[] = L"Zelvic System Active";
}

extern "C" const wchar_t* __stdcall TinyConst(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                              std::uint32_t) {
  return kText;
}
