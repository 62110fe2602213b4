// Whether the process runs in a virtual machine, an emulation layer or an
// analysis sandbox, as the report's general section names it.
//
// The port and instruction probes (VMware's back door, Virtual PC's
// instructions, Parallels' port) raise a processor exception on a machine
// without the device; the platform's probe catches it in a frame of its own,
// and the facility's catching is off for the thread while they run.
#pragma once

#include <string>

#include "platform/system_facts.h"

namespace zelvic::diag {

// The probes in order, the first answer winning: Wine, VMware, Virtual PC,
// Parallels, VirtualBox, the sandboxes, a hypervisor. Empty on a physical
// machine.
std::wstring DetectVirtualMachine(platform::TSystemFacts& facts);
// The same, detected once per process for the live system; empty, and
// nothing remembered, while a debugger is attached (a probe's fault would
// stop in it).
std::wstring GetVirtualMachineText(platform::TSystemFacts& facts = platform::LiveSystemFacts());
// Forgets the live answer (the unit's shut-down).
void ForgetVirtualMachineText() noexcept;

}  // namespace zelvic::diag
