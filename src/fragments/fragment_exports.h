// The library's exports: the 175 fragment exports, made from
// fragment_table.inc, and the three service exports at ordinals 1 to 3.
#pragma once

#include <cstdint>

extern "C" {

// Hands the exception manager's interface to other modules of the process.
// Until the facility has one, the output is left as it is and 0 returned.
std::int32_t __stdcall GetVarnelLog(void** manager);

// Thread entry for an outside tool that asks for the facts of one thread.
// Returns the thread's exit code; 1 when the facts cannot be written.
std::uint32_t __stdcall _462EE689226340EAA982C5E8307B3F9E(void* parameter);

// Runtime method-interception entry; the library takes no interceptions and
// answers 0. Caller-cleaned, so any argument count is safe.
std::int32_t TMethodImplementationIntercept();

}
