#!/usr/bin/env bash
# Fuzzes the x86 decoder, its searches and its formatter for a bounded time.
#
#   tools/disasm/run_fuzz.sh [SECONDS]     (default 60)
#
# With clang's libFuzzer (clang++ -fsanitize=fuzzer) it runs the libFuzzer
# target over a copy of tests/native/fuzz_corpus; without clang it builds the
# plain random-input driver with g++ and the address and undefined-behaviour
# sanitizers. Not part of the normal test run. Exit status 0 when no input
# crashed or tripped a sanitizer or an invariant of the target.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
util="$root/src/diagnostics/util"
native="$root/tests/native"
work="${FUZZ_WORK:-/tmp/zelvic_fuzz_disasm}"
mkdir -p "$work"

sources=("$native/fuzz_disasm.cpp" "$util/EDisAsm.cpp" "$util/EDisAsmTables.cpp")
flags=(-std=c++20 -O1 -g -I"$util" -fno-omit-frame-pointer)

if command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long){return 0;}' |
     clang++ -x c++ -fsanitize=fuzzer - -o "$work/probe" >/dev/null 2>&1; then
  echo "run_fuzz: libFuzzer, ${seconds}s"
  clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    "${sources[@]}" -o "$work/fuzz_disasm"
  rm -rf "$work/corpus"
  cp -r "$native/fuzz_corpus" "$work/corpus"
  "$work/fuzz_disasm" -max_total_time="$seconds" -max_len=256 -timeout=10 \
    -artifact_prefix="$work/" "$work/corpus"
else
  echo "run_fuzz: no libFuzzer; random-input driver with sanitizers, ${seconds}s"
  g++ "${flags[@]}" -fsanitize=address,undefined -fno-sanitize-recover=undefined \
    -DZELVIC_FUZZ_STANDALONE_DRIVER "${sources[@]}" -o "$work/fuzz_disasm_driver"
  FUZZ_SECONDS="$seconds" "$work/fuzz_disasm_driver" "$native"/fuzz_corpus/*
fi
echo "run_fuzz: clean"
