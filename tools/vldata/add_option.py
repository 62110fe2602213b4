#!/usr/bin/env python3
"""Writes an options text with one key added or replaced.

    add_option.py <options text> <key>=<value> <out>

The text keeps its form: a byte-order mark, CR LF between lines and none
after the last, keys in case-insensitive order (the options writer's form,
which the library's reader expects).
"""
import sys


def main() -> int:
    source, pair, out = sys.argv[1:4]
    key = pair.split("=", 1)[0]
    data = open(source, "rb").read()
    bom = b"\xef\xbb\xbf"
    if not data.startswith(bom):
        print(f"{source}: no byte-order mark", file=sys.stderr)
        return 1
    lines = [line for line in data[len(bom):].decode("utf-8").split("\r\n") if line]
    lines = [line for line in lines if line.split("=", 1)[0].lower() != key.lower()]
    lines.append(pair)
    lines.sort(key=lambda line: line.split("=", 1)[0].lower())
    open(out, "wb").write(bom + "\r\n".join(lines).encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
