// The system's wait-chain traversal (advapi32), each function looked up on
// its own: a system may have some of them and not the others (Wine exports
// the open and query functions as stubs and lacks the close).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvic::platform {

struct TWaitNode {
  std::uint32_t ObjectType = 0;
  std::uint32_t ObjectStatus = 0;
  std::wstring ObjectName;  // empty for thread nodes
  std::uint32_t ThreadId = 0;
};

// A synchronous session (no callback, flags 0); 0 when there is none.
std::uintptr_t OpenWaitChain() noexcept;
void CloseWaitChain(std::uintptr_t session) noexcept;
// Up to 16 nodes of the chain `thread_id` waits in; false when the call
// fails or the function is missing.
bool ThreadWaitChain(std::uintptr_t session, std::uint32_t thread_id, std::vector<TWaitNode>& nodes, bool& cycle);

}  // namespace zelvic::platform
