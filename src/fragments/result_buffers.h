// Per-thread result buffers of the text helpers. A thread gets its buffer on
// first use; it is released when the thread ends, and every buffer still
// held is released when the library unloads.
#pragma once

namespace zelvic::fragments {

bool StartResultBuffers() noexcept;
void StopResultBuffers() noexcept;

// The calling thread's buffer of kMaxHelperText characters, or nullptr when
// none can be had (not started, or out of memory).
wchar_t* ThreadResultBuffer() noexcept;

}  // namespace zelvic::fragments
