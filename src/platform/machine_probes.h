// The instruction probes of the virtual-machine detection: VMware's back-door
// port, Virtual PC's two private instructions, Parallels' port. On a machine
// without the virtual device each raises a processor exception (privileged or
// illegal instruction); the probe catches it in an exception frame of its own
// on the thread's frame chain and answers "no".
#pragma once

#include <cstdint>

namespace zelvic::platform {

enum class TMachineProbe : std::uint8_t {
  VMwareBackDoor = 0,   // in eax, dx
  VirtualPcFirst = 1,   // 0F 3F 07 0B
  VirtualPcSecond = 2,  // 0F C7 C8 01 00
  ParallelsPort = 3,    // in eax, 0E4h
};

// The general registers the probe instruction starts with and leaves.
struct TProbeRegisters {
  std::uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0, Esi = 0, Edi = 0;
};

// Runs the probe with the registers loaded from `registers`. True, with
// `registers` as the instruction left them, when it completed; false, with
// `registers` unchanged, when it raised a processor exception. The frame
// resumes after any exception that reaches it: the probe runs only the one
// instruction, and no other code runs inside the frame. Vectored handlers
// still see the exception first; whoever runs a probe keeps its own quiet.
bool RunMachineProbe(TMachineProbe probe, TProbeRegisters& registers) noexcept;

}  // namespace zelvic::platform
