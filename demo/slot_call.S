# int32 CallWithSlots(fn, slots, count, out, pop_double)   (cdecl)
    .text
    .globl _CallWithSlots
_CallWithSlots:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %esi        # slots
    movl  16(%ebp), %ecx        # count
    movl  %esp, %edi            # ESP before the pushes (callee-saved)
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)         # last slot first
    jmp   1b
2:  call  *8(%ebp)
    movl  %esp, %ecx
    subl  %edi, %ecx            # imbalance in bytes
    movl  20(%ebp), %ebx        # out
    movl  %eax, 0(%ebx)
    movl  %edx, 4(%ebx)
    cmpl  $0, 24(%ebp)
    je    3f
    fstpl 8(%ebx)
3:  movl  %edi, %esp
    movl  %ecx, %eax
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
