// Calling an export the way the terminal does: a given number of 32-bit
// slots pushed last to first, the callee removing them.
#pragma once

#include <cstdint>

struct SlotCallResult {
  std::uint32_t eax;
  std::uint32_t edx;
  double st0;
};

// Pushes `count` slots (slots[0] lowest), calls `fn` and returns ESP after the
// call minus ESP before the pushes: 0 when the callee removed exactly `count`
// slots. With `pop_double` the ST(0) result is taken into out->st0.
extern "C" std::int32_t CallWithSlots(const void* fn, const std::uint32_t* slots, std::uint32_t count,
                                      SlotCallResult* out, std::int32_t pop_double);
