// The facility's core start-up step: the step-failure handler that reports a
// failing step with its message and code address.
#pragma once

#include <cstdint>
#include <string>

namespace zelvic::diag {

// "%s (Routine: %p:%p)": the step, the address, and the address relative to
// its module's code (a code offset) when it lies above the module's first page.
std::wstring RoutineLine(const wchar_t* step_name, std::uintptr_t address, std::uintptr_t module_base);

void ECoreInit();
void ECoreDone();

}  // namespace zelvic::diag
