"""Decodes the code bytes the test program wrote (report_assembler.bin) with
objdump and checks the report's assembler lines (report_assembler.txt)
against it: the same instruction addresses, the same bytes per instruction,
and the same mnemonic wherever the two disassemblers name it alike.

    check_report_assembler.py <objdump> <folder>
"""
import pathlib
import re
import subprocess
import sys

# Mnemonics the two disassemblers spell differently for the same opcode.
ALIASES = {"jz": "je", "jnz": "jne", "jb": "jb", "jnb": "jae", "jbe": "jbe", "ja": "ja", "jnbe": "ja",
           "jc": "jb", "jnc": "jae", "jl": "jl", "jnl": "jge", "jle": "jle", "jg": "jg", "jnle": "jg",
           "setz": "sete", "setnz": "setne", "cmovz": "cmove", "cmovnz": "cmovne", "ret": "ret", "retn": "ret"}
PREFIXES = {"lock", "rep", "repe", "repz", "repne", "repnz", "data16", "addr16", "cs", "ds", "es", "ss", "fs",
            "gs", "bnd", "notrack"}


def mnemonic(words):
    words = [w.lower() for w in words]
    while words and words[0] in PREFIXES:
        words = words[1:]
    return ALIASES.get(words[0], words[0]) if words else ""


def main():
    objdump, folder = sys.argv[1], pathlib.Path(sys.argv[2])
    txt, binary = folder / "report_assembler.txt", folder / "report_assembler.bin"
    lines = txt.read_text().splitlines()
    vma = int(lines[0].split()[1])
    ours = []
    for line in lines[1:]:
        m = re.match(r"([0-9A-F]{8})  ([0-9A-F?]+) (.*)", line)
        if not m:
            print(f"unexpected line: {line}")
            return 1
        ours.append((int(m.group(1), 16), m.group(2).lower(), m.group(3).split(";")[0].split()))
    out = subprocess.run([objdump, "-D", "-b", "binary", "-mi386", "-Mintel", f"--adjust-vma={vma:#x}", str(binary)],
                         check=True, capture_output=True, text=True).stdout
    theirs = []
    for l in out.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\t([0-9a-f ]+)\t(.*)", l)
        if m:
            theirs.append((int(m.group(1), 16), m.group(2).replace(" ", ""), m.group(3).split()))
        else:
            # objdump continues a long instruction's bytes on a line of their own.
            m = re.match(r"\s*([0-9a-f]+):\t([0-9a-f ]+)\s*$", l)
            if m and theirs:
                a, b, t = theirs[-1]
                theirs[-1] = (a, b + m.group(2).replace(" ", ""), t)
    problems = []
    if [o[0] for o in ours] != [t[0] for t in theirs]:
        problems.append(f"instruction starts differ: ours {[hex(o[0]) for o in ours]}, objdump {[hex(t[0]) for t in theirs]}")
    else:
        for (a, ob, ow), (_, tb, tw) in zip(ours, theirs):
            if ob != tb:
                problems.append(f"{a:#x}: bytes {ob} against {tb}")
            if ow and ow[0] != "DB" and mnemonic(ow) != mnemonic(tw):
                problems.append(f"{a:#x}: {' '.join(ow)} against {' '.join(tw)}")
    for p in problems:
        print(p)
    print(f"{len(ours)} instructions: {'ok' if not problems else 'differ'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
