#!/usr/bin/env python3
"""Writes src/diagnostics/util/EDisAsmTables.cpp from the opcode listing below.

The listing follows the IA-32 opcode maps for 32-bit code (one-byte map, 0F,
0F 38, 0F 3A) with Intel mnemonics. Each entry names the template and the
operands in opcode-map notation; the operand notation is turned into the
attribute word the decoder and the formatter read:

  r/m operand (ModR/M)      Eb Ew Ed Ev Q(mmx qword) T(x87 ST(i)/tbyte) W(xmm)
                            Mb Mw Md Mq Mt Mo(memory operands of a given size)
  register operand (Reg)    Gb Gw Gd Gv S(sreg/creg/dreg) P(mmx) ST0 V(xmm)
  without ModR/M            AL eAX Zb Zv Zd XCHG INOUT
  immediates                Ib Iw Iz Jb Jz
  flags                     !sz (size keyword), !grp (Reg picks the alternative)

Run: python3 tools/disasm/gen_tables.py > src/diagnostics/util/EDisAsmTables.cpp
"""
import sys

INVALID = 0xFFFF

# attribute bits
K_MASK = 0x0007
C_BYTE, C_WORD, C_DWORD, C_QWORD, C_TBYTE, C_OWORD, C_YWORD = (1 << 3, 2 << 3, 3 << 3, 4 << 3, 5 << 3, 6 << 3, 7 << 3)
N_REG, N_RM = 0x40, 0x80
I_B, I_W, I_Z = 0x100, 0x200, 0x400
GRP, SZ, REV, REL = 0x800, 0x1000, 0x2000, 0x4000

RM_TOKENS = {
    'Eb': C_BYTE, 'Ew': C_WORD, 'Ed': C_DWORD, 'Ev': C_DWORD | N_RM, 'Q': C_QWORD,
    'T': C_TBYTE, 'W': C_OWORD, 'Mb': C_BYTE, 'Mw': C_WORD, 'Md': C_DWORD,
    'Mv': C_DWORD | N_RM, 'Mq': C_QWORD, 'Mt': C_TBYTE, 'Mo': C_OWORD,
}
REG_TOKENS = {
    'Gb': 1, 'Gw': 2, 'S': 3, 'Gd': 4, 'Gv': 4 | N_REG, 'P': 5, 'ST0': 6, 'V': 7,
    # no ModR/M
    'AL': 1, 'eAX': 2 | N_REG, 'Zb': 4, 'Zd': 5, 'Zv': 5 | N_REG, 'XCHG': 6 | N_REG,
    'INOUTb': 7, 'INOUTv': 7 | N_REG,
}
IMM_TOKENS = {'Ib': I_B, 'Iw': I_W, 'Iz': I_Z, 'Jb': I_B | REL, 'Jz': I_Z | REL}


def attr(ops):
    """Attribute word from an operand list such as 'Ev,Gv' or 'Eb,Ib!sz'."""
    if ops is None:
        return INVALID
    flags = 0
    if '!' in ops:
        ops, *fl = ops.split('!')
        for f in fl:
            flags |= {'sz': SZ, 'grp': GRP, 'rev': REV}[f]
    a = flags
    pos_rm = pos_reg = pos_imm = None
    for i, tok in enumerate(t for t in ops.split(',') if t):
        if tok in RM_TOKENS:
            a |= RM_TOKENS[tok]
            pos_rm = i
        elif tok in REG_TOKENS:
            a |= REG_TOKENS[tok]
            pos_reg = i
        elif tok in IMM_TOKENS:
            a |= IMM_TOKENS[tok]
            pos_imm = i
        elif tok in ('1', 'CL', 'XMM0', 'DX', 'Ap', 'Ob', 'Ov', 'ENTER'):
            pass  # rendered by the formatter or sized by the decoder's own rules
        else:
            raise ValueError('unknown operand ' + tok)
    # The formatter lists register, r/m, immediate; REV swaps the first two.
    if pos_reg is not None and pos_rm is not None and pos_rm < pos_reg:
        a |= REV
    if pos_reg is not None and pos_rm is None and pos_imm is not None and pos_imm < pos_reg:
        a |= REV
    return a


maps = [dict() for _ in range(4)]  # opcode -> (template, ops)


def op(m, code, template, ops):
    assert code not in maps[m], (m, hex(code))
    maps[m][code] = (template, ops)


# ---------------------------------------------------------------- one-byte map
ALU = ['ADD', 'OR', 'ADC', 'SBB', 'AND', 'SUB', 'XOR', 'CMP']
for i, name in enumerate(ALU):
    b = i * 8
    op(0, b + 0, name, 'Eb,Gb')
    op(0, b + 1, name, 'Ev,Gv')
    op(0, b + 2, name, 'Gb,Eb')
    op(0, b + 3, name, 'Gv,Ev')
    op(0, b + 4, name, 'AL,Ib')
    op(0, b + 5, name, 'eAX,Iz')
for b in (0x06, 0x0E, 0x16, 0x1E):
    op(0, b, 'PUSH %RN', '')
for b in (0x07, 0x17, 0x1F):
    op(0, b, 'POP %RN', '')
op(0, 0x27, 'DAA', '')
op(0, 0x2F, 'DAS', '')
op(0, 0x37, 'AAA', '')
op(0, 0x3F, 'AAS', '')
for r in range(8):
    op(0, 0x40 + r, 'INC', 'Zv')
    op(0, 0x48 + r, 'DEC', 'Zv')
    op(0, 0x50 + r, 'PUSH', 'Zv')
    op(0, 0x58 + r, 'POP', 'Zv')
op(0, 0x60, 'PUSHAD/PUSHA', '')
op(0, 0x61, 'POPAD/POPA', '')
op(0, 0x62, 'BOUND', 'Gv,Mq')
op(0, 0x63, 'ARPL', 'Ew,Gw')
op(0, 0x68, 'PUSH', 'Iz')
op(0, 0x69, 'IMUL', 'Gv,Ev,Iz')
op(0, 0x6A, 'PUSH', 'Ib')
op(0, 0x6B, 'IMUL', 'Gv,Ev,Ib')
op(0, 0x6C, 'INSB', '')
op(0, 0x6D, 'INSD/INSW', '')
op(0, 0x6E, 'OUTSB', '')
op(0, 0x6F, 'OUTSD/OUTSW', '')
for c in range(16):
    op(0, 0x70 + c, 'J%CS', 'Jb')
op(0, 0x80, '|'.join(ALU), 'Eb,Ib!grp!sz')
op(0, 0x81, '|'.join(ALU), 'Ev,Iz!grp!sz')
op(0, 0x82, '|'.join(ALU), 'Eb,Ib!grp!sz')
op(0, 0x83, '|'.join(ALU), 'Ev,Ib!grp!sz')
op(0, 0x84, 'TEST', 'Eb,Gb')
op(0, 0x85, 'TEST', 'Ev,Gv')
op(0, 0x86, 'XCHG', 'Eb,Gb')
op(0, 0x87, 'XCHG', 'Ev,Gv')
op(0, 0x88, 'MOV', 'Eb,Gb')
op(0, 0x89, 'MOV', 'Ev,Gv')
op(0, 0x8A, 'MOV', 'Gb,Eb')
op(0, 0x8B, 'MOV', 'Gv,Ev')
op(0, 0x8C, 'MOV', 'Ew,S')
op(0, 0x8D, 'LEA', 'Gv,Md')
op(0, 0x8E, 'MOV', 'S,Ew')
op(0, 0x8F, 'POP', 'Ev!sz')
op(0, 0x90, 'NOP///PAUSE', '')
for r in range(1, 8):
    op(0, 0x90 + r, 'XCHG', 'XCHG')
op(0, 0x98, 'CWDE/CBW', '')
op(0, 0x99, 'CDQ/CWD', '')
op(0, 0x9A, 'CALL', 'Ap')
op(0, 0x9B, 'WAIT', '')
op(0, 0x9C, 'PUSHFD/PUSHF', '')
op(0, 0x9D, 'POPFD/POPF', '')
op(0, 0x9E, 'SAHF', '')
op(0, 0x9F, 'LAHF', '')
op(0, 0xA0, 'MOV', 'AL,Ob!sz')
op(0, 0xA1, 'MOV', 'eAX,Ov!sz')
op(0, 0xA2, 'MOV', 'Ob,AL!sz!rev')
op(0, 0xA3, 'MOV', 'Ov,eAX!sz!rev')
op(0, 0xA4, 'MOVSB', '')
op(0, 0xA5, 'MOVSD/MOVSW', '')
op(0, 0xA6, 'CMPSB', '')
op(0, 0xA7, 'CMPSD/CMPSW', '')
op(0, 0xA8, 'TEST', 'AL,Ib')
op(0, 0xA9, 'TEST', 'eAX,Iz')
op(0, 0xAA, 'STOSB', '')
op(0, 0xAB, 'STOSD/STOSW', '')
op(0, 0xAC, 'LODSB', '')
op(0, 0xAD, 'LODSD/LODSW', '')
op(0, 0xAE, 'SCASB', '')
op(0, 0xAF, 'SCASD/SCASW', '')
for r in range(8):
    op(0, 0xB0 + r, 'MOV', 'Zb,Ib')
    op(0, 0xB8 + r, 'MOV', 'Zv,Iz')
SHIFT = 'ROL|ROR|RCL|RCR|SHL|SHR|SAL|SAR'
op(0, 0xC0, SHIFT, 'Eb,Ib!grp!sz')
op(0, 0xC1, SHIFT, 'Ev,Ib!grp!sz')
op(0, 0xC2, 'RET', 'Iw')
op(0, 0xC3, 'RET', '')
op(0, 0xC4, 'LES', 'Gv,Md')
op(0, 0xC5, 'LDS', 'Gv,Md')
op(0, 0xC6, 'MOV', 'Eb,Ib!sz')
op(0, 0xC7, 'MOV', 'Ev,Iz!sz')
op(0, 0xC8, 'ENTER', 'ENTER')
op(0, 0xC9, 'LEAVE', '')
op(0, 0xCA, 'RETF', 'Iw')
op(0, 0xCB, 'RETF', '')
op(0, 0xCC, 'INT 3', '')
op(0, 0xCD, 'INT', 'Ib')
op(0, 0xCE, 'INTO', '')
op(0, 0xCF, 'IRETD/IRET', '')
op(0, 0xD0, SHIFT, 'Eb,1!grp!sz')
op(0, 0xD1, SHIFT, 'Ev,1!grp!sz')
op(0, 0xD2, SHIFT, 'Eb,CL!grp!sz')
op(0, 0xD3, SHIFT, 'Ev,CL!grp!sz')
op(0, 0xD4, 'AAM', 'Ib')
op(0, 0xD5, 'AAD', 'Ib')
op(0, 0xD7, 'XLAT', '')
op(0, 0xE0, 'LOOPNE', 'Jb')
op(0, 0xE1, 'LOOPE', 'Jb')
op(0, 0xE2, 'LOOP', 'Jb')
op(0, 0xE3, 'JECXZ', 'Jb')
op(0, 0xE4, 'IN', 'AL,Ib')
op(0, 0xE5, 'IN', 'eAX,Ib')
op(0, 0xE6, 'OUT', 'Ib,AL')
op(0, 0xE7, 'OUT', 'Ib,eAX')
op(0, 0xE8, 'CALL', 'Jz')
op(0, 0xE9, 'JMP', 'Jz')
op(0, 0xEA, 'JMP', 'Ap')
op(0, 0xEB, 'JMP', 'Jb')
op(0, 0xEC, 'IN', 'INOUTb')
op(0, 0xED, 'IN', 'INOUTv')
op(0, 0xEE, 'OUT', 'INOUTb!rev')
op(0, 0xEF, 'OUT', 'INOUTv!rev')
op(0, 0xF4, 'HLT', '')
op(0, 0xF5, 'CMC', '')
op(0, 0xF6, 'TEST|TEST|NOT|NEG|MUL|IMUL|DIV|IDIV', 'Eb!grp!sz')
op(0, 0xF7, 'TEST|TEST|NOT|NEG|MUL|IMUL|DIV|IDIV', 'Ev!grp!sz')
for b, n in zip(range(0xF8, 0xFE), ['CLC', 'STC', 'CLI', 'STI', 'CLD', 'STD']):
    op(0, b, n, '')
op(0, 0xFE, 'INC|DEC', 'Eb!grp!sz')
op(0, 0xFF, 'INC|DEC|CALL|CALL|JMP|JMP|PUSH', 'Ev!grp!sz')

# x87: the main word only says "ModR/M follows"; the group rows carry the rest.
X87 = {
    0xD8: ('ADD|MUL|COM|COMP|SUB|SUBR|DIV|DIVR|ADD|MUL|COM|COMP|SUB|SUBR|DIV|DIVR',
           ['Md'] * 8,
           ['ST0,T', 'ST0,T', 'T', 'T', 'ST0,T', 'ST0,T', 'ST0,T', 'ST0,T']),
    0xD9: ('LD||ST|STP|LDENV|LDCW|NSTENV|NSTCW|LD|XCH|NOP|STP1|CHS-ABS---TST-XAM|'
           'LD1-LDL2T-LDL2E-LDPI-LDLG2-LDLN2-LDZ|2XM1-YL2X-PTAN-PATAN-XTRACT-PREM1-DECSTP-INCSTP|'
           'PREM-YL2XP1-SQRT-SINCOS-RNDINT-SCALE-SIN-COS',
           ['Md', None, 'Md', 'Md', 'M!nosz', 'Mw', 'M!nosz', 'Mw'],
           ['T', 'T', '', 'T', '', '', '', '']),
    0xDA: ('IADD|IMUL|ICOM|ICOMP|ISUB|ISUBR|IDIV|IDIVR|CMOVB|CMOVE|CMOVBE|CMOVU||UCOMPP||',
           ['Md'] * 8,
           ['ST0,T', 'ST0,T', 'ST0,T', 'ST0,T', None, '', None, None]),
    0xDB: ('ILD|ISTTP|IST|ISTP||LD||STP|CMOVNB|CMOVNE|CMOVNBE|CMOVNU|NENI-NDISI-NCLEX-NINIT-NSETPM|UCOMI|COMI|',
           ['Md', 'Md', 'Md', 'Md', None, 'Mt', None, 'Mt'],
           ['ST0,T', 'ST0,T', 'ST0,T', 'ST0,T', '', 'ST0,T', 'ST0,T', None]),
    0xDC: ('ADD|MUL|COM|COMP|SUB|SUBR|DIV|DIVR|ADD|MUL|COM2|COMP3|SUBR|SUB|DIVR|DIV',
           ['Mq'] * 8,
           ['T,ST0', 'T,ST0', 'T', 'T', 'T,ST0', 'T,ST0', 'T,ST0', 'T,ST0']),
    0xDD: ('LD|ISTTP|ST|STP|RSTOR||NSAVE|NSTSW|FREE|XCH4|ST|STP|UCOM|UCOMP||',
           ['Mq', 'Mq', 'Mq', 'Mq', 'M!nosz', None, 'M!nosz', 'Mw'],
           ['T', 'T', 'T', 'T', 'T', 'T', None, None]),
    0xDE: ('IADD|IMUL|ICOM|ICOMP|ISUB|ISUBR|IDIV|IDIVR|ADDP|MULP|COMP5|COMPP|SUBRP|SUBP|DIVRP|DIVP',
           ['Mw'] * 8,
           ['T,ST0', 'T,ST0', 'T', '', 'T,ST0', 'T,ST0', 'T,ST0', 'T,ST0']),
    0xDF: ('ILD|ISTTP|IST|ISTP|BLD|ILD|BSTP|ISTP|FREEP|XCH7|STP8|STP9|NSTSW  AX|UCOMIP|COMIP|',
           ['Mw', 'Mw', 'Mw', 'Mw', 'Mt', 'Mq', 'Mt', 'Mq'],
           ['T', 'T', 'T', 'T', '', 'ST0,T', 'ST0,T', None]),
}
for b, (tpl, _, _) in X87.items():
    op(0, b, tpl, 'Md!grp')


def group_word(ops):
    if ops is None:
        return INVALID
    if ops == '':
        return 0
    nosz = '!nosz' in ops
    ops = ops.replace('!nosz', '')
    if ops == 'M':
        ops = 'Md'
    a = attr(ops)
    if ops.startswith('M') and not nosz:
        a |= SZ
    return a


GROUP_ROWS = []  # F6, F7, D8..DF
GROUP_ROWS.append(([attr('Eb,Ib!sz')] * 2 + [attr('Eb!sz')] * 6, [attr('Eb,Ib')] * 2 + [attr('Eb')] * 6))
GROUP_ROWS.append(([attr('Ev,Iz!sz')] * 2 + [attr('Ev!sz')] * 6, [attr('Ev,Iz')] * 2 + [attr('Ev')] * 6))
for b in range(0xD8, 0xE0):
    _, mem, reg = X87[b]
    GROUP_ROWS.append(([group_word(x) for x in mem], [group_word(x) for x in reg]))

# ------------------------------------------------------------------- map 0F
op(1, 0x00, 'SLDT|STR|LLDT|LTR|VERR|VERW', 'Ew!grp!sz')
op(1, 0x01, 'SGDT|SIDT|LGDT|LIDT|SMSW||LMSW|INVLPG', 'Ew!grp')
op(1, 0x02, 'LAR', 'Gv,Ew')
op(1, 0x03, 'LSL', 'Gv,Ew')
op(1, 0x06, 'CLTS', '')
op(1, 0x08, 'INVD', '')
op(1, 0x09, 'WBINVD', '')
# 0F 0B (UD2) stays invalid: it is the planted undefined instruction, and a
# report should show it as such.
op(1, 0x0D, 'PREFETCH|PREFETCHW', 'Eb!grp')
op(1, 0x0E, 'FEMMS', '')
op(1, 0x0F, '', 'P,Q,Ib')  # 3DNow!: the mnemonic comes from the suffix byte
op(1, 0x10, 'MOVUPS/MOVUPD/MOVSD/MOVSS', 'V,W')
op(1, 0x11, 'MOVUPS/MOVUPD/MOVSD/MOVSS', 'W,V')
op(1, 0x12, 'MOVHLps:MOVLps/MOVLps/MOVDDUP/MOVSLDUP', 'V,W')
op(1, 0x13, 'MOVLps', 'W,V')
op(1, 0x14, 'UNPCKLps', 'V,W')
op(1, 0x15, 'UNPCKHps', 'V,W')
op(1, 0x16, 'MOVLHps:MOVHps/MOVHps//MOVSHDUP', 'V,W')
op(1, 0x17, 'MOVHps', 'W,V')
op(1, 0x18, 'PREFETCHNTA|PREFETCHT0|PREFETCHT1|PREFETCHT2', 'Eb!grp')
for b in range(0x19, 0x20):
    op(1, b, 'NOP', 'Ev!sz')
op(1, 0x20, 'MOV', 'Ed,S')
op(1, 0x21, 'MOV', 'Ed,S')
op(1, 0x22, 'MOV', 'S,Ed')
op(1, 0x23, 'MOV', 'S,Ed')
op(1, 0x28, 'MOVAps', 'V,W')
op(1, 0x29, 'MOVAps', 'W,V')
op(1, 0x2A, 'CVTpI2ps', 'V,Q')
op(1, 0x2B, 'MOVNTps', 'W,V')
op(1, 0x2C, 'CVTTPS2PI/CVTTPD2PI/CVTTSD2SI/CVTTSS2SI', 'P,W')
op(1, 0x2D, 'CVTPS2PI/CVTPD2PI/CVTSD2SI/CVTSS2SI', 'P,W')
op(1, 0x2E, 'UCOMISs', 'V,W')
op(1, 0x2F, 'COMISs', 'V,W')
for b, n in zip(range(0x30, 0x36), ['WRMSR', 'RDTSC', 'RDMSR', 'RDPMC', 'SYSENTER', 'SYSEXIT']):
    op(1, b, n, '')
op(1, 0x37, 'GETSEC', '')
for c in range(16):
    op(1, 0x40 + c, 'CMOV%CS', 'Gv,Ev')
    op(1, 0x80 + c, 'J%CS', 'Jz')
    op(1, 0x90 + c, 'SET%CS', 'Eb!sz')
op(1, 0x50, 'MOVMSKps', 'Gd,W')
op(1, 0x51, 'SQRTps', 'V,W')
op(1, 0x52, 'RSQRTPS///RSQRTSS', 'V,W')
op(1, 0x53, 'RCPPS///RCPSS', 'V,W')
op(1, 0x54, 'ANDps', 'V,W')
op(1, 0x55, 'ANDNps', 'V,W')
op(1, 0x56, 'ORps', 'V,W')
op(1, 0x57, 'XORps', 'V,W')
op(1, 0x58, 'ADDps', 'V,W')
op(1, 0x59, 'MULps', 'V,W')
op(1, 0x5A, 'CVTPS2PD/CVTPD2PS/CVTSD2SS/CVTSS2SD', 'V,W')
op(1, 0x5B, 'CVTDQ2PS/CVTPS2DQ//CVTTPS2DQ', 'V,W')
op(1, 0x5C, 'SUBps', 'V,W')
op(1, 0x5D, 'MINps', 'V,W')
op(1, 0x5E, 'DIVps', 'V,W')
op(1, 0x5F, 'MAXps', 'V,W')
MMX = {
    0x60: 'PUNPCKLBW', 0x61: 'PUNPCKLWD', 0x62: 'PUNPCKLDQ', 0x63: 'PACKSSWB', 0x64: 'PCMPGTB',
    0x65: 'PCMPGTW', 0x66: 'PCMPGTD', 0x67: 'PACKUSWB', 0x68: 'PUNPCKHBW', 0x69: 'PUNPCKHWD',
    0x6A: 'PUNPCKHDQ', 0x6B: 'PACKSSDW', 0x74: 'PCMPEQB', 0x75: 'PCMPEQW', 0x76: 'PCMPEQD',
    0xD1: 'PSRLW', 0xD2: 'PSRLD', 0xD3: 'PSRLQ', 0xD4: 'PADDQ', 0xD5: 'PMULLW', 0xD8: 'PSUBUSB',
    0xD9: 'PSUBUSW', 0xDA: 'PMINUB', 0xDB: 'PAND', 0xDC: 'PADDUSB', 0xDD: 'PADDUSW', 0xDE: 'PMAXUB',
    0xDF: 'PANDN', 0xE0: 'PAVGB', 0xE1: 'PSRAW', 0xE2: 'PSRAD', 0xE3: 'PAVGW', 0xE4: 'PMULHUW',
    0xE5: 'PMULHW', 0xE8: 'PSUBSB', 0xE9: 'PSUBSW', 0xEA: 'PMINSW', 0xEB: 'POR', 0xEC: 'PADDSB',
    0xED: 'PADDSW', 0xEE: 'PMAXSW', 0xEF: 'PXOR', 0xF1: 'PSLLW', 0xF2: 'PSLLD', 0xF3: 'PSLLQ',
    0xF4: 'PMULUDQ', 0xF5: 'PMADDWD', 0xF6: 'PSADBW', 0xF8: 'PSUBB', 0xF9: 'PSUBW', 0xFA: 'PSUBD',
    0xFB: 'PSUBQ', 0xFC: 'PADDB', 0xFD: 'PADDW', 0xFE: 'PADDD',
}
for b, n in MMX.items():
    op(1, b, n, 'P,Q')
op(1, 0x6C, 'PUNPCKLQDQ', 'V,W')
op(1, 0x6D, 'PUNPCKHQDQ', 'V,W')
op(1, 0x6E, 'MOVD', 'P,Ed')
op(1, 0x6F, 'MOVQ/MOVDQA//MOVDQU', 'P,Q')
op(1, 0x70, 'PSHUFW/PSHUFD/PSHUFLW/PSHUFHW', 'P,Q,Ib')
op(1, 0x71, '||PSRLW||PSRAW||PSLLW', 'Q,Ib!grp')
op(1, 0x72, '||PSRLD||PSRAD||PSLLD', 'Q,Ib!grp')
op(1, 0x73, '||PSRLQ|PSRLDQ|||PSLLQ|PSLLDQ', 'Q,Ib!grp')
op(1, 0x77, 'EMMS', '')
op(1, 0x7C, 'HADDPD//HADDPS', 'V,W')
op(1, 0x7D, 'HSUBPD//HSUBPS', 'V,W')
op(1, 0x7E, 'MOVD///MOVQ', 'Ed,P')
op(1, 0x7F, 'MOVQ/MOVDQA//MOVDQU', 'Q,P')
op(1, 0xA0, 'PUSH %RN', '')
op(1, 0xA1, 'POP %RN', '')
op(1, 0xA2, 'CPUID', '')
op(1, 0xA3, 'BT', 'Ev,Gv')
op(1, 0xA4, 'SHLD', 'Ev,Gv,Ib')
op(1, 0xA5, 'SHLD', 'Ev,Gv,CL')
op(1, 0xA8, 'PUSH %RN', '')
op(1, 0xA9, 'POP %RN', '')
op(1, 0xAA, 'RSM', '')
op(1, 0xAB, 'BTS', 'Ev,Gv')
op(1, 0xAC, 'SHRD', 'Ev,Gv,Ib')
op(1, 0xAD, 'SHRD', 'Ev,Gv,CL')
op(1, 0xAE, 'FXSAVE|FXRSTOR|LDMXCSR|STMXCSR||LFENCE|MFENCE|SFENCE:CLFLUSH', 'Ed!grp')
op(1, 0xAF, 'IMUL', 'Gv,Ev')
op(1, 0xB0, 'CMPXCHG', 'Eb,Gb')
op(1, 0xB1, 'CMPXCHG', 'Ev,Gv')
op(1, 0xB2, 'LSS', 'Gv,Md')
op(1, 0xB3, 'BTR', 'Ev,Gv')
op(1, 0xB4, 'LFS', 'Gv,Md')
op(1, 0xB5, 'LGS', 'Gv,Md')
op(1, 0xB6, 'MOVZX', 'Gv,Eb!sz')
op(1, 0xB7, 'MOVZX', 'Gv,Ew!sz')
op(1, 0xB8, 'POPCNT', 'Gv,Ev')
op(1, 0xBA, '||||BT|BTS|BTR|BTC', 'Ev,Ib!grp!sz')
op(1, 0xBB, 'BTC', 'Ev,Gv')
op(1, 0xBC, 'BSF///TZCNT', 'Gv,Ev')
op(1, 0xBD, 'BSR///LZCNT', 'Gv,Ev')
op(1, 0xBE, 'MOVSX', 'Gv,Eb!sz')
op(1, 0xBF, 'MOVSX', 'Gv,Ew!sz')
op(1, 0xC0, 'XADD', 'Eb,Gb')
op(1, 0xC1, 'XADD', 'Ev,Gv')
op(1, 0xC2, 'CMPps', 'V,W,Ib')
op(1, 0xC3, 'MOVNTI', 'Md,Gd')
op(1, 0xC4, 'PINSRW', 'P,Ed,Ib')
op(1, 0xC5, 'PEXTRW', 'Gd,Q,Ib')
op(1, 0xC6, 'SHUFps', 'V,W,Ib')
op(1, 0xC7, '|CMPXCHG8B|||||VMPTRLD|VMPTRST', 'Mq!grp!sz')
for r in range(8):
    op(1, 0xC8 + r, 'BSWAP', 'Zd')
op(1, 0xD0, 'ADDSUBPD//ADDSUBPS', 'V,W')
op(1, 0xD6, 'MOVQ//MOVDQ2Q/MOVQ2DQ', 'W,V')
op(1, 0xD7, 'PMOVMSKB', 'Gd,Q')
op(1, 0xE6, '/CVTTPD2DQ/CVTPD2DQ/CVTDQ2PD', 'V,W')
op(1, 0xE7, 'MOVNTq/MOVNTDQ', 'Q,P')
op(1, 0xF0, 'LDDQU', 'V,Mo')
op(1, 0xF7, 'MASKMOVQ/MASKMOVDQU', 'P,Q')

# ---------------------------------------------------------------- map 0F 38
SSSE3 = ['PSHUFB', 'PHADDW', 'PHADDD', 'PHADDSW', 'PMADDUBSW', 'PHSUBW', 'PHSUBD', 'PHSUBSW',
         'PSIGNB', 'PSIGNW', 'PSIGND', 'PMULHRSW']
for i, n in enumerate(SSSE3):
    op(2, i, n, 'P,Q')
op(2, 0x10, 'PBLENDVB', 'V,W,XMM0')
op(2, 0x14, 'BLENDVPS', 'V,W,XMM0')
op(2, 0x15, 'BLENDVPD', 'V,W,XMM0')
op(2, 0x17, 'PTEST', 'V,W')
op(2, 0x1C, 'PABSB', 'P,Q')
op(2, 0x1D, 'PABSW', 'P,Q')
op(2, 0x1E, 'PABSD', 'P,Q')
for i, n in enumerate(['BW', 'BD', 'BQ', 'WD', 'WQ', 'DQ']):
    op(2, 0x20 + i, 'PMOVSX' + n, 'V,W')
    op(2, 0x30 + i, 'PMOVZX' + n, 'V,W')
op(2, 0x28, 'PMULDQ', 'V,W')
op(2, 0x29, 'PCMPEQQ', 'V,W')
op(2, 0x2A, 'MOVNTDQA', 'V,Mo')
op(2, 0x2B, 'PACKUSDW', 'V,W')
for b, n in zip(range(0x37, 0x42), ['PCMPGTQ', 'PMINSB', 'PMINSD', 'PMINUW', 'PMINUD', 'PMAXSB',
                                    'PMAXSD', 'PMAXUW', 'PMAXUD', 'PMULLD', 'PHMINPOSUW']):
    op(2, b, n, 'V,W')
op(2, 0x80, 'INVEPT', 'Gd,Mo')
op(2, 0x81, 'INVVPID', 'Gd,Mo')
op(2, 0xF0, 'MOVBE//CRC32', 'Gv,Ev')
op(2, 0xF1, 'MOVBE//CRC32', 'Gv,Ev')

# ---------------------------------------------------------------- map 0F 3A
for b, n in zip(range(0x08, 0x0F), ['ROUNDPS', 'ROUNDPD', 'ROUNDSS', 'ROUNDSD', 'BLENDPS', 'BLENDPD', 'PBLENDW']):
    op(3, b, n, 'V,W,Ib')
op(3, 0x0F, 'PALIGNR', 'P,Q,Ib')
op(3, 0x14, 'PEXTRB', 'Ed,V,Ib')
op(3, 0x15, 'PEXTRW', 'Ed,V,Ib')
op(3, 0x16, 'PEXTRD', 'Ed,V,Ib')
op(3, 0x17, 'EXTRACTPS', 'Ed,V,Ib')
op(3, 0x20, 'PINSRB', 'V,Ed,Ib')
op(3, 0x21, 'INSERTPS', 'V,W,Ib')
op(3, 0x22, 'PINSRD', 'V,Ed,Ib')
op(3, 0x40, 'DPPS', 'V,W,Ib')
op(3, 0x41, 'DPPD', 'V,W,Ib')
op(3, 0x42, 'MPSADBW', 'V,W,Ib')
for b, n in zip(range(0x60, 0x64), ['PCMPESTRM', 'PCMPESTRI', 'PCMPISTRM', 'PCMPISTRI']):
    op(3, b, n, 'V,W,Ib')

# ------------------------------------------------------- attribute overrides
# Prefixed SSE forms whose operands differ from the unprefixed form; the row
# gives the word per prefix (none, 66h, F2h, F3h), None keeps the table word.
OVERRIDES = [
    (0x0F2A, None, None, attr('V,Ed'), attr('V,Ed')),
    (0x0F2C, None, None, attr('Gd,W'), attr('Gd,W')),
    (0x0F2D, None, None, attr('Gd,W'), attr('Gd,W')),
    (0x0F6F, None, None, None, attr('V,W')),
    (0x0F70, None, None, attr('V,W,Ib'), attr('V,W,Ib')),
    (0x0F7E, None, None, None, attr('V,W')),
    (0x0F7F, None, None, None, attr('W,V')),
    (0x0FD6, None, None, attr('P,W'), attr('V,Q')),
    (0x0F38F0, None, None, attr('Gd,Eb!sz'), None),
    (0x0F38F1, attr('Ev,Gv'), attr('Ev,Gv'), attr('Gd,Ev'), None),
]

# ------------------------------------------------------------------ form rules
# One row per distinct rule; opcodes without a row use row 0.
#   mem/reg: Reg values allowed in memory / register form (bit r)
#   need: required prefix, any of 1 (66h), 2 (F2h), 4 (F3h); 0 none
#   exempt: the "at most one of F0h, F2h, F3h" test is not made
#   lock: F0h allowed
#   badreg: register forms (ModR/M C0h + bit) that are invalid
#   xmm66: 66h turns MMX operands into XMM operands
ALL = 0xFF
rules = []
rule_of = [dict() for _ in range(4)]


def rule(m, codes, mem=ALL, reg=ALL, need=0, exempt=False, lock=False, badreg=0, xmm66=False):
    row = (mem, reg, need, exempt, lock, badreg, xmm66)
    if row not in rules:
        rules.append(row)
    for c in codes:
        assert c not in rule_of[m], (m, hex(c))
        rule_of[m][c] = rules.index(row)


rules.append((ALL, ALL, 0, False, False, 0, False))


def bits(*regs):
    v = 0
    for r in regs:
        v |= 1 << r
    return v


def badmodrm(*codes):
    v = 0
    for c in codes:
        v |= 1 << (c - 0xC0)
    return v


LOCK0 = [0x00, 0x01, 0x08, 0x09, 0x10, 0x11, 0x18, 0x19, 0x20, 0x21, 0x28, 0x29, 0x30, 0x31,
         0x80, 0x81, 0x82, 0x83, 0x86, 0x87]
rule(0, LOCK0, lock=True)
rule(0, [0x62, 0x8D, 0xC4, 0xC5], reg=0, exempt=True)
rule(0, [0x8C, 0x8E], mem=bits(0, 1, 2, 3, 4, 5), reg=bits(0, 1, 2, 3, 4, 5), exempt=True)
rule(0, [0xD9], exempt=True, badreg=badmodrm(*range(0xD1, 0xD8), 0xE2, 0xE3, 0xE6, 0xE7, 0xEF))
rule(0, [0xDA], exempt=True, badreg=badmodrm(0xE8, *range(0xEA, 0xF0)))
rule(0, [0xDB], exempt=True, badreg=badmodrm(0xE5, 0xE6, 0xE7))
rule(0, [0xDF], exempt=True, badreg=badmodrm(*range(0xE1, 0xE8)))
rule(0, [0xFE], mem=bits(0, 1), reg=bits(0, 1), exempt=True)
rule(0, [0xFF], mem=bits(0, 1, 2, 3, 4, 5, 6), reg=bits(0, 1, 2, 4, 6), exempt=True)

rule(1, [0xAB, 0xB0, 0xB1, 0xB3, 0xBB, 0xC0, 0xC1], lock=True)
rule(1, [0xBA], mem=bits(4, 5, 6, 7), reg=bits(4, 5, 6, 7), exempt=True, lock=True)
rule(1, [0xC7], reg=0, exempt=True, lock=True)
rule(1, [0x00], mem=bits(0, 1, 2, 3, 4, 5), reg=bits(0, 1, 2, 3, 4, 5), exempt=True)
rule(1, [0x01], mem=bits(0, 1, 2, 3, 4, 6, 7), reg=bits(4, 6, 7), exempt=True)
rule(1, [0x0D], mem=bits(0, 1), reg=0, exempt=True)
rule(1, [0x18], mem=bits(0, 1, 2, 3), reg=0, exempt=True)
rule(1, [0x20, 0x21, 0x22, 0x23], mem=0, exempt=True)
rule(1, [0x6C, 0x6D], need=1, exempt=True)
rule(1, [0x71, 0x72], mem=0, reg=bits(2, 4, 6), exempt=True, xmm66=True)
rule(1, [0x73], mem=0, reg=bits(2, 3, 6, 7), exempt=True, xmm66=True)
rule(1, [0x7C, 0x7D, 0xD0], need=1 | 2, exempt=True)
rule(1, [0xAE], mem=bits(0, 1, 2, 3, 7), reg=bits(5, 6, 7), exempt=True)
rule(1, [0xB2, 0xB4, 0xB5, 0xC3], reg=0, exempt=True)
rule(1, [0xD6, 0xE6], need=1 | 2 | 4, exempt=True)
rule(1, [0xF0], need=2, exempt=True)
MMX66 = list(MMX) + [0x6E, 0x6F, 0x70, 0x7E, 0x7F, 0xC4, 0xC5, 0xD7, 0xE7, 0xF7]
rule(1, MMX66, xmm66=True)

rule(2, list(range(0x00, 0x0C)) + [0x1C, 0x1D, 0x1E], xmm66=True)
NEED66_38 = [0x10, 0x14, 0x15, 0x17] + list(range(0x20, 0x26)) + list(range(0x28, 0x2C)) + \
    list(range(0x30, 0x36)) + list(range(0x37, 0x42)) + [0x80, 0x81]
rule(2, NEED66_38, need=1)
rule(3, [0x0F], xmm66=True)
NEED66_3A = list(range(0x08, 0x0F)) + list(range(0x14, 0x18)) + list(range(0x20, 0x23)) + \
    list(range(0x40, 0x43)) + list(range(0x60, 0x64))
rule(3, NEED66_3A, need=1)

# 3DNow! suffix bytes
AMD3DNOW = [(0x0C, 'PI2FW'), (0x0D, 'PI2FD'), (0x1C, 'PF2IW'), (0x1D, 'PF2ID'), (0x8A, 'PFNACC'),
            (0x8E, 'PFPNACC'), (0x90, 'PFCMPGE'), (0x94, 'PFMIN'), (0x96, 'PFRCP'), (0x97, 'PFRSQRT'),
            (0x9A, 'PFSUB'), (0x9E, 'PFADD'), (0xA0, 'PFCMPGT'), (0xA4, 'PFMAX'), (0xA6, 'PFRCPIT1'),
            (0xA7, 'PFRSQIT1'), (0xAA, 'PFSUBR'), (0xAE, 'PFACC'), (0xB0, 'PFCMPEQ'), (0xB4, 'PFMUL'),
            (0xB6, 'PFRCPIT2'), (0xB7, 'PMULHRW'), (0xBB, 'PSWAPD'), (0xBF, 'PAVGUSB')]


# ----------------------------------------------------------------- emitting
def main():
    templates = []
    index = [[INVALID] * 256 for _ in range(4)]
    attrs = [[INVALID] * 256 for _ in range(4)]
    for m in range(4):
        for code in sorted(maps[m]):
            tpl, ops = maps[m][code]
            attrs[m][code] = attr(ops)
            if tpl:
                if tpl not in templates:
                    templates.append(tpl)
                index[m][code] = templates.index(tpl)
    rule_index = [[rule_of[m].get(c, 0) for c in range(256)] for m in range(4)]
    for m in range(4):
        for c in rule_of[m]:
            assert attrs[m][c] != INVALID, ('rule for an invalid opcode', m, hex(c))

    out = []
    w = out.append
    w('// Generated by tools/disasm/gen_tables.py from its opcode listing; edit the listing, not this file.')
    w('// Contents follow the IA-32 opcode maps (one-byte, 0F, 0F 38, 0F 3A) for 32-bit code.')
    w('#include "EDisAsmTables.h"')
    w('')
    w('namespace zelvic::disasm::tables {')
    w('')
    w('// The counts in EDisAsmTables.h must match what this file holds.')
    w('static_assert(kTemplateCount == %d, "EDisAsmTables.h: template count");' % len(templates))
    w('static_assert(kFormRuleCount == %d, "EDisAsmTables.h: form rule count");' % len(rules))
    w('static_assert(kAttributeOverrideCount == %d, "EDisAsmTables.h: override count");' % len(OVERRIDES))
    w('static_assert(k3DNowCount == %d, "EDisAsmTables.h: 3DNow! count");' % len(AMD3DNOW))
    w('')
    w('const std::uint16_t kAttributes[4][256] = {')
    for m in range(4):
        w('  {  // map %d' % m)
        for row in range(16):
            vals = ', '.join('0x%04X' % attrs[m][row * 16 + k] for k in range(16))
            w('    %s,  // %X0' % (vals, row))
        w('  },')
    w('};')
    w('')
    w('const std::uint16_t kGroupAttributes[10][2][8] = {')
    names = ['F6', 'F7'] + ['%X' % b for b in range(0xD8, 0xE0)]
    for n, (mem, reg) in zip(names, GROUP_ROWS):
        w('  {{%s},  // %s memory' % (', '.join('0x%04X' % v for v in mem), n))
        w('   {%s}},  // %s register' % (', '.join('0x%04X' % v for v in reg), n))
    w('};')
    w('')
    w('const std::uint16_t kTemplateIndex[4][256] = {')
    for m in range(4):
        w('  {  // map %d' % m)
        for row in range(16):
            vals = ', '.join('%5d' % (index[m][row * 16 + k] if index[m][row * 16 + k] != INVALID else 0xFFFF)
                             for k in range(16))
            w('    %s,  // %X0' % (vals, row))
        w('  },')
    w('};')
    w('')
    w('const char kHexDigits[17] = "0123456789ABCDEF";')
    w('')
    w('const char* const kTemplates[kTemplateCount] = {')
    for i, t in enumerate(templates):
        w('    "%s",  // %d' % (t, i))
    w('};')
    w('')
    w('const TFormRule kFormRules[kFormRuleCount] = {')
    w('    // mem   reg   need exempt lock  invalid register forms  xmm66')
    for mem, reg, need, exempt, lock, bad, x in rules:
        w('    {0x%02X, 0x%02X, %d, %-5s, %-5s, 0x%016XULL, %s},' % (
            mem, reg, need, 'true' if exempt else 'false', 'true' if lock else 'false', bad,
            'true' if x else 'false'))
    w('};')
    w('')
    w('const std::uint8_t kFormRuleIndex[4][256] = {')
    for m in range(4):
        w('  {  // map %d' % m)
        for row in range(16):
            w('    %s,' % ', '.join('%2d' % rule_index[m][row * 16 + k] for k in range(16)))
        w('  },')
    w('};')
    w('')
    w('const TAttributeOverride kAttributeOverrides[kAttributeOverrideCount] = {')
    for oid, *vals in OVERRIDES:
        w('    {0x%06X, {%s}},' % (oid, ', '.join('0x%04X' % (INVALID if v is None else v) for v in vals)))
    w('};')
    w('')
    w('const T3DNowRow k3DNow[k3DNowCount] = {')
    for code, name in AMD3DNOW:
        w('    {0x%02X, "%s"},' % (code, name))
    w('};')
    w('')
    w('}  // namespace zelvic::disasm::tables')
    counts = 'kTemplateCount = %d, kFormRuleCount = %d, kAttributeOverrideCount = %d, k3DNowCount = %d' % (
        len(templates), len(rules), len(OVERRIDES), len(AMD3DNOW))
    sys.stderr.write(counts + '\n')
    print('\n'.join(out))


if __name__ == '__main__':
    main()
