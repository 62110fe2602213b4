// Shared helpers of the test program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "slot_call.h"

namespace zelvic::test {

// Path of the built _zelvic.dll, from the command line.
const std::wstring& DllPath();
// Path of this test program.
std::wstring SelfPath();

// Runs this program again with `args`, capturing standard output; returns the
// exit code.
std::uint32_t RunChild(const std::wstring& args, std::string& output);

// Collects the debugger-output lines the process sends while it lives.
class DebugOutputRecorder {
 public:
  DebugOutputRecorder();
  ~DebugOutputRecorder();
  DebugOutputRecorder(const DebugOutputRecorder&) = delete;
  DebugOutputRecorder& operator=(const DebugOutputRecorder&) = delete;
  std::vector<std::string> Lines() const;

 private:
  void* handler_;
};

using CallResult = SlotCallResult;

}  // namespace zelvic::test
