#!/usr/bin/env python3
"""Writes the code-location table of the library's VLDATA container.

Each line is "identifier offset size": the offset counts from the module's
load address + 0x1000, the size runs to the next code symbol. The entries name
the shut-down procedures that stand where a language runtime's class
library (12), variants (13), system utilities (15) and system (16) units
would: the facility's base types, the exception notification points, the
locale data and the process shut-down itself.

usage: code_locations.py NM DLL OUT
"""
import struct
import subprocess
import sys

# identifier -> C name of the shut-down procedure; the library gives them C
# names for this table. i386 COFF symbols carry a leading underscore.
PROCEDURES = {
    12: "_zelvic_ETypesDone",
    13: "_zelvic_ExceptionPointsDone",
    15: "_zelvic_LocaleDone",
    16: "_zelvic_ProcessDetach",
}


def image_base(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    if data[nt:nt + 4] != b"PE\0\0":
        raise SystemExit("not a PE file: " + path)
    return struct.unpack_from("<I", data, nt + 24 + 28)[0]


def main():
    nm, dll, out = sys.argv[1:4]
    listing = subprocess.run([nm, "--defined-only", dll], check=True, capture_output=True, text=True).stdout
    code = []
    for line in listing.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in ("t", "T"):
            code.append((int(parts[0], 16), parts[2]))
    code.sort()
    base = image_base(dll)
    rows = []
    for ident, name in sorted(PROCEDURES.items()):
        found = [i for i, (_, n) in enumerate(code) if n == name]
        if len(found) != 1:
            raise SystemExit("code location %d: %r found %d times" % (ident, name, len(found)))
        i = found[0]
        address = code[i][0]
        following = [a for a, _ in code[i + 1:] if a > address]
        size = (following[0] - address) if following else 0
        rows.append("%d 0x%08X %d" % (ident, address - base - 0x1000, size))
    with open(out, "w") as f:
        f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
