// The platform's image-help library, loaded on first use (never while the
// loader lock is held by our own start-up).
#pragma once

#include <cstdint>
#include <string>

#include "platform/threads.h"

namespace zelvic::platform {

// Undecorates a Microsoft C++ name to its qualified name ("Class::Method");
// false when the library or the name cannot be undone.
bool UndecorateMicrosoftName(const std::wstring& name, std::wstring& undecorated);

// One frame StackWalk64 found: the stack slot of its return address and that
// address. Returns false to stop the walk.
using TDbgHelpFrameProc = bool (*)(std::uint32_t slot, std::uint32_t return_address, void* data);

// Walks this process's stack from `registers` with StackWalk64 (flat i386
// frames), reading memory through readability-tested copies. StackWalk64
// writes into the context it walks, so it gets a copy and `registers` stays
// as it was. False when the library lacks the walker.
bool WalkStackWithDbgHelp(const TThreadRegisters& registers, TDbgHelpFrameProc proc, void* data);

}  // namespace zelvic::platform
