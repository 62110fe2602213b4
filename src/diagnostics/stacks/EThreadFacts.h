// The threads manager as the call-stack lists' source of thread facts: the
// lists sit above the manager's layer and ask through their provider slot,
// which this unit fills while the manager runs.
#pragma once

#include <cstdint>

#include "diagnostics/stacks/ECallStack.h"

namespace zelvic::diag {

// The facts of one thread from its record (made on demand for a live thread
// the manager has not met); false for a thread that does not exist.
bool ManagerThreadFacts(void* data, std::uint32_t thread_id, TThreadFacts& facts);

void InstallThreadFactsProvider() noexcept;
// Puts back the provider that was there before.
void RemoveThreadFactsProvider() noexcept;

}  // namespace zelvic::diag
