"""Decodes the trampolines the test program wrote (hook_trampolines/*.bin)
with objdump and checks them against what the library's decoder said
(*.txt): the same instruction starts over the copied bytes, and a jmp at the
end of the copy to the routine just after them.

    check_trampolines.py <objdump> <folder>
"""
import pathlib
import re
import subprocess
import sys


def main():
    objdump, folder = sys.argv[1], pathlib.Path(sys.argv[2])
    cases = sorted(folder.glob("*.txt"))
    if not cases:
        print(f"no trampolines in {folder}")
        return 1
    failed = 0
    for txt in cases:
        facts = dict(line.split(" ", 1) for line in txt.read_text().splitlines() if line)
        vma = int(facts["vma"])
        starts = [int(s) for s in facts["starts"].split()]
        jump_to = int(facts["jump_to"])
        out = subprocess.run([objdump, "-D", "-b", "binary", "-mi386", f"--adjust-vma={vma:#x}",
                              str(txt.with_suffix(".bin"))], check=True, capture_output=True, text=True).stdout
        lines = [m for m in (re.match(r"\s*([0-9a-f]+):\t[0-9a-f ]+\t(.*)", l) for l in out.splitlines()) if m]
        got_starts = [int(m.group(1), 16) - vma for m in lines]
        last = lines[-1].group(2).split()
        problems = []
        if got_starts != starts:
            problems.append(f"instruction starts {got_starts}, the library's decoder {starts}")
        if last[0] != "jmp" or int(last[1], 16) != jump_to:
            problems.append(f"ends with '{' '.join(last)}', expected jmp {jump_to:#x}")
        print(f"{txt.stem}: {'; '.join(problems) if problems else 'ok'}")
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
