#include "platform/machine_probes.h"

#include <cstddef>

// There is no __try in this compiler: the probe links an exception frame of
// its own into fs:[0] by hand. The frame carries, after the chain link and the
// handler, the address to resume at and the stack and frame pointers to resume
// with; the handler writes them into the faulting context and continues
// execution there. Unwinds and non-continuable exceptions are left alone.
//
// int zelvic_run_machine_probe(TProbeRegisters* registers, int probe), cdecl:
// 1 when the instruction completed, 0 when it raised.
//
// The x86 context offsets the handler writes: Ebp 0xB4, Eip 0xB8, Esp 0xC4.
static_assert(sizeof(zelvic::platform::TProbeRegisters) == 24);
static_assert(offsetof(zelvic::platform::TProbeRegisters, Eax) == 0);
static_assert(offsetof(zelvic::platform::TProbeRegisters, Ebx) == 4);
static_assert(offsetof(zelvic::platform::TProbeRegisters, Ecx) == 8);
static_assert(offsetof(zelvic::platform::TProbeRegisters, Edx) == 12);
static_assert(offsetof(zelvic::platform::TProbeRegisters, Esi) == 16);
static_assert(offsetof(zelvic::platform::TProbeRegisters, Edi) == 20);

asm(R"(
    .text
    .p2align 4
zelvic_machine_probe_handler:
    movl 4(%esp), %eax
    testl $7, 4(%eax)
    jnz zelvic_machine_probe_search
    movl 8(%esp), %ecx
    movl 12(%esp), %edx
    movl 8(%ecx), %eax
    movl %eax, 0xB8(%edx)
    movl 12(%ecx), %eax
    movl %eax, 0xC4(%edx)
    movl 16(%ecx), %eax
    movl %eax, 0xB4(%edx)
    xorl %eax, %eax
    ret
zelvic_machine_probe_search:
    movl $1, %eax
    ret

    .p2align 4
zelvic_machine_probe_load:
    movl 4(%eax), %ebx
    movl 8(%eax), %ecx
    movl 12(%eax), %edx
    movl 16(%eax), %esi
    movl 20(%eax), %edi
    movl (%eax), %eax
    ret

    .p2align 4
    .globl _zelvic_run_machine_probe
_zelvic_run_machine_probe:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl %ebp
    pushl $0
    pushl $zelvic_machine_probe_resume
    pushl $zelvic_machine_probe_handler
    pushl %fs:0
    movl %esp, 12(%esp)
    movl %esp, %fs:0
    movl 8(%ebp), %eax
    movl 12(%ebp), %ecx
    cmpl $0, %ecx
    je zelvic_machine_probe_vmware
    cmpl $1, %ecx
    je zelvic_machine_probe_vpc1
    cmpl $2, %ecx
    je zelvic_machine_probe_vpc2
    cmpl $3, %ecx
    je zelvic_machine_probe_parallels
    jmp zelvic_machine_probe_resume
zelvic_machine_probe_vmware:
    call zelvic_machine_probe_load
    inl %dx, %eax
    jmp zelvic_machine_probe_done
zelvic_machine_probe_vpc1:
    call zelvic_machine_probe_load
    .byte 0x0F, 0x3F, 0x07, 0x0B
    jmp zelvic_machine_probe_done
zelvic_machine_probe_vpc2:
    call zelvic_machine_probe_load
    .byte 0x0F, 0xC7, 0xC8, 0x01, 0x00
    jmp zelvic_machine_probe_done
zelvic_machine_probe_parallels:
    call zelvic_machine_probe_load
    inl $0xE4, %eax
zelvic_machine_probe_done:
    pushl %eax
    movl 8(%ebp), %eax
    movl %ebx, 4(%eax)
    movl %ecx, 8(%eax)
    movl %edx, 12(%eax)
    movl %esi, 16(%eax)
    movl %edi, 20(%eax)
    popl %ecx
    movl %ecx, (%eax)
    movl $1, %eax
    jmp zelvic_machine_probe_unlink
zelvic_machine_probe_resume:
    xorl %eax, %eax
zelvic_machine_probe_unlink:
    movl (%esp), %ecx
    movl %ecx, %fs:0
    addl $20, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

extern "C" int zelvic_run_machine_probe(zelvic::platform::TProbeRegisters* registers, int probe);

namespace zelvic::platform {

bool RunMachineProbe(TMachineProbe probe, TProbeRegisters& registers) noexcept {
  // The instruction works on a copy: a probe that raised leaves the caller's
  // registers as they were.
  TProbeRegisters working = registers;
  if (zelvic_run_machine_probe(&working, static_cast<int>(probe)) == 0) return false;
  registers = working;
  return true;
}

}  // namespace zelvic::platform
