#!/usr/bin/env python3
"""Compares the x86 decoder with objdump over whole code sections of 32-bit
PE files (by default Wine's i386 DLLs and, when it has been built,
build/src/_zelvic.dll), and optionally runs the exhaustive
opcode enumeration.

  compare_corpus.py [--tool PATH] [--enumerate] [--zydis] [DLL ...]
  compare_corpus.py --extract-ci-corpus OUTDIR   cuts the small checked-in corpus

The comparison itself is done by the disasm_compare tool built from
tests/native (cmake -S tests/native -B /tmp/nat && cmake --build /tmp/nat -j1).
Exit status 0 when every instruction that the decoder calls valid has the
reference's length (and, for calls and jumps, its kind and target).
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

WINE_DIR = '/usr/lib/i386-linux-gnu/wine/i386-windows'
DEFAULT_DLLS = ['kernel32.dll', 'kernelbase.dll', 'ntdll.dll', 'user32.dll', 'gdi32.dll', 'msvcrt.dll']
# The library's own code, when it has been built: real output of the compiler
# and flags this project uses, unlike Wine's DLLs.
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
BUILT_DLL = os.path.join(REPO, 'build', 'src', '_zelvic.dll')
IMAGE_SCN_MEM_EXECUTE = 0x20000000

# Slices of the checked-in corpus: (dll, offset into its first code section, size).
CI_SLICES = [('kernel32.dll', 0x12000, 4096), ('ntdll.dll', 0x10000, 4096), ('msvcrt.dll', 0x8000, 4096),
             ('user32.dll', 0x20000, 4096)]


def code_sections(path):
    """Yields (name, virtual address, bytes) of the executable sections of a PE file."""
    with open(path, 'rb') as f:
        data = f.read()
    if data[:2] != b'MZ':
        raise ValueError('%s: not a PE file' % path)
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('%s: no PE signature' % path)
    machine, nsections = struct.unpack_from('<HH', data, pe + 4)
    if machine != 0x14C:
        raise ValueError('%s: not an i386 image' % path)
    opt_size = struct.unpack_from('<H', data, pe + 20)[0]
    opt = pe + 24
    image_base = struct.unpack_from('<I', data, opt + 28)[0]
    sec = opt + opt_size
    for i in range(nsections):
        s = sec + 40 * i
        name = data[s:s + 8].rstrip(b'\0').decode('ascii', 'replace')
        vsize, va, raw_size, raw_ptr = struct.unpack_from('<IIII', data, s + 8)
        characteristics = struct.unpack_from('<I', data, s + 36)[0]
        if characteristics & IMAGE_SCN_MEM_EXECUTE and raw_size:
            size = min(vsize or raw_size, raw_size)
            yield name, image_base + va, data[raw_ptr:raw_ptr + size]


def find_tool(explicit):
    for candidate in [explicit, '/tmp/nat/disasm_compare', os.path.join(os.getcwd(), 'disasm_compare')]:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit('compare_corpus: disasm_compare not found; build tests/native first or pass --tool')


def run(tool, args):
    p = subprocess.run([tool] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    sys.stdout.write(p.stdout)
    return p.returncode


def extract_ci_corpus(outdir):
    os.makedirs(outdir, exist_ok=True)
    for dll, offset, size in CI_SLICES:
        path = os.path.join(WINE_DIR, dll)
        name, va, code = next(code_sections(path))
        piece = code[offset:offset + size]
        out = os.path.join(outdir, '%s_%08x.bin' % (dll.split('.')[0], va + offset))
        with open(out, 'wb') as f:
            f.write(piece)
        print('wrote', out, len(piece), 'bytes')


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--tool', help='path of the disasm_compare binary')
    ap.add_argument('--enumerate', action='store_true', help='also run the exhaustive enumeration against objdump')
    ap.add_argument('--zydis', action='store_true', help='also run the exhaustive enumeration against Zydis')
    ap.add_argument('--extract-ci-corpus', metavar='OUTDIR')
    ap.add_argument('dlls', nargs='*')
    args = ap.parse_args()
    if args.extract_ci_corpus:
        extract_ci_corpus(args.extract_ci_corpus)
        return 0
    tool = find_tool(args.tool)
    dlls = args.dlls or [os.path.join(WINE_DIR, d) for d in DEFAULT_DLLS]
    if not args.dlls and os.path.exists(BUILT_DLL):
        dlls.append(BUILT_DLL)
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for dll in dlls:
            if not os.path.exists(dll):
                print('skipped (missing):', dll)
                continue
            for name, va, code in code_sections(dll):
                path = os.path.join(tmp, 'code.bin')
                with open(path, 'wb') as f:
                    f.write(code)
                print('%s %s at %08X, %d bytes' % (os.path.basename(dll), name, va, len(code)))
                failed |= run(tool, [path, '%08X' % va]) != 0
    if args.enumerate:
        failed |= run(tool, ['--enumerate']) != 0
    if args.zydis:
        failed |= run(tool, ['--enumerate-zydis']) != 0
    print('compare_corpus:', 'FAILED' if failed else 'all lengths agree')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
