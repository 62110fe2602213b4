#!/usr/bin/env python3
"""Fails when adding the VLDATA resource moved or changed the library's code
or data: every loaded section other than .rsrc and .reloc must keep its
address, size and bytes, and .reloc its bytes (the relocations of unmoved
code are the same; only its own address follows the resource). Sections of
the compiler's debug information are not loaded and are not compared.

With --exports-may-grow the export directory (.edata) may differ as well:
a copy that exports one more of the same routines keeps its code.

usage: check_code_unmoved.py PLAIN_DLL FINAL_DLL [--exports-may-grow]
"""
import struct
import sys


def sections(path):
    with open(path, "rb") as f:
        data = f.read()
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, nt + 6)[0]
    optional_size = struct.unpack_from("<H", data, nt + 20)[0]
    table = nt + 24 + optional_size
    out = {}
    for i in range(count):
        s = table + 40 * i
        name = data[s:s + 8].rstrip(b"\0").decode("ascii", "replace")
        vsize, va, rsize, raw = struct.unpack_from("<IIII", data, s + 8)
        out[name] = (va, vsize, data[raw:raw + rsize])
    return out


def main():
    plain, final = sections(sys.argv[1]), sections(sys.argv[2])
    exports_may_grow = "--exports-may-grow" in sys.argv[3:]
    moved = []
    for name, (va, vsize, raw) in plain.items():
        if name == ".rsrc" or name.startswith("/") or name.startswith(".debug"):
            continue
        if exports_may_grow and name == ".edata":
            continue
        other = final.get(name)
        if other is None:
            moved.append(name)
        elif name == ".reloc":
            if other[2] != raw:
                moved.append(name)
        elif other != (va, vsize, raw):
            moved.append(name)
    if moved:
        raise SystemExit("the VLDATA resource moved or changed sections: " + ", ".join(moved))
    if ".rsrc" not in final:
        raise SystemExit("the library has no resource section")


if __name__ == "__main__":
    main()
