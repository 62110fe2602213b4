// The thread-facts entry for outside tools: a process that wants to know
// what this library knows of one of its host's threads starts a thread at
// the library's export with a text naming an output file and the thread.
#pragma once

#include <cstdint>
#include <string>

namespace zelvic::diag {

// The request text: the output file name, one or more CR or LF characters,
// the thread ID in decimal. The text is cut at the first line break (a 0 is
// written there), as the outside tool expects of its buffer.
struct TThreadFactsRequest {
  std::wstring FileName;
  std::uint32_t ThreadID = 0;
};
TThreadFactsRequest ParseThreadFactsRequest(wchar_t* text);

// The file's contents: FF FE, then parent ID, kind number, class name, name,
// short description and thread ID, each line ending in CR LF. Empty when the
// manager knows nothing worth writing of the thread.
std::wstring ThreadFactsText(std::uint32_t thread_id);

// The export's work; its result is the thread's exit code (1 when something
// failed).
std::uint32_t WriteThreadFacts(void* parameter) noexcept;

}  // namespace zelvic::diag
