// Shared helpers of the test program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Result of calling a function through the slot-pushing thunk.
struct CallResult {
  std::uint32_t eax;
  std::uint32_t edx;
  double st0;
};

}  // namespace zelvic::test

// Pushes `count` slots (slots[0] lowest, as a stdcall caller does), calls `fn`
// and returns ESP after the call minus ESP before the pushes: 0 when the
// callee removed exactly `count` slots. With `pop_double` the ST(0) result is
// taken off the x87 stack into out->st0.
extern "C" std::int32_t CallWithSlots(const void* fn, const std::uint32_t* slots, std::uint32_t count,
                                      zelvic::test::CallResult* out, std::int32_t pop_double);
