# Routines of known shapes for the patching engine's live tests, written as
# bytes so that the compiler cannot change their entries. All are cdecl with
# one int argument or none.
    .text

# Hot-patchable: five 90 before an 8B FF entry. Returns x + 1.
    .p2align 4
    .byte 0x90, 0x90, 0x90, 0x90, 0x90
    .globl _hook_shape_hot
_hook_shape_hot:
    .byte 0x8B, 0xFF                    # mov edi, edi
    .byte 0x55                          # push ebp
    .byte 0x89, 0xE5                    # mov ebp, esp
    .byte 0x8B, 0x45, 0x08              # mov eax, [ebp+8]
    .byte 0x40                          # inc eax
    .byte 0x5D                          # pop ebp
    .byte 0xC3                          # ret

# A second hot-patchable routine. Returns x * 2.
    .p2align 4
    .byte 0x90, 0x90, 0x90, 0x90, 0x90
    .globl _hook_shape_hot2
_hook_shape_hot2:
    .byte 0x8B, 0xFF                    # mov edi, edi
    .byte 0x8B, 0x44, 0x24, 0x04        # mov eax, [esp+4]
    .byte 0x01, 0xC0                    # add eax, eax
    .byte 0xC3                          # ret

# Starts with a relative call (five bytes). Returns 40 + 2.
    .p2align 4
    .globl _hook_shape_call
_hook_shape_call:
    call  _hook_shape_forty             # E8 rel32
    addl  $2, %eax
    ret

    .p2align 4
    .globl _hook_shape_forty
_hook_shape_forty:
    movl  $40, %eax
    ret

# Nothing but a return: too short to patch.
    .p2align 4
    .globl _hook_shape_ret
_hook_shape_ret:
    .byte 0xC3

# A jump thunk in front of a routine that returns 7.
    .p2align 4
    .globl _hook_shape_thunk
_hook_shape_thunk:
    jmp   _hook_shape_seven             # E9 rel32
    .p2align 4
    .globl _hook_shape_seven
_hook_shape_seven:
    .byte 0x55                          # push ebp
    .byte 0x89, 0xE5                    # mov ebp, esp
    .byte 0xB8, 0x07, 0x00, 0x00, 0x00  # mov eax, 7
    .byte 0x5D                          # pop ebp
    .byte 0xC3                          # ret

# An 8-bit branch among the copied bytes: 1 for a non-zero x, else 2.
    .p2align 4
    .globl _hook_shape_jecxz
_hook_shape_jecxz:
    .byte 0x8B, 0x4C, 0x24, 0x04        # mov ecx, [esp+4]
    .byte 0xE3, 0x06                    # jecxz +6 (entry + 12)
    .byte 0xB8, 0x01, 0x00, 0x00, 0x00  # mov eax, 1
    .byte 0xC3                          # ret
    .byte 0xB8, 0x02, 0x00, 0x00, 0x00  # mov eax, 2
    .byte 0xC3                          # ret

# A branch into the bytes the entry's jump would replace.
    .p2align 4
    .globl _hook_shape_inside
_hook_shape_inside:
    .byte 0x85, 0xC0                    # test eax, eax
    .byte 0x74, 0x00                    # jz +0 (entry + 4)
    .byte 0x90                          # nop
    .byte 0x31, 0xC0                    # xor eax, eax
    .byte 0xC3                          # ret

# A breakpoint at the entry.
    .p2align 4
    .globl _hook_shape_int3
_hook_shape_int3:
    .byte 0xCC, 0x31, 0xC0, 0x90, 0x90, 0x90, 0xC3
    .p2align 4
