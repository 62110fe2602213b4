#!/bin/sh
# The whole job end to end: the demo host's crashing copy faults inside an
# export on the thread that loaded the library, with no handler of its own.
# The facility must save one report and end the copy with C0000005; the same
# crash again must find that report by its bug identifier and count it.
# Then the fault on a second thread of the host: the library's own options
# watch only the thread that loaded it, so the system ends the copy and no
# report is written; the same library built with options that watch every
# thread reports it from that thread's stack and ends only that thread.
# Last, a C++ exception that nobody catches: the tests' throwing copy of the
# library exports one of its own routines that throws; the facility reports
# it from the throwing line and ends the copy with 0EEDFADE.
#   crash_end_to_end.sh <wine runner> <zelvic_host.exe> <_zelvic.dll> <wine prefix>
set -u
run=$1 host=$2 dll=$3 prefix=$4
folder="$prefix/drive_c/users/$(id -un)/AppData/Roaming/Tessaro s.a.s/VarnelLog/Bug Reports/_zelvic.dll"
report="$folder/_zelvic.vl"
rm -f "$report"
fail() { echo "FAIL: $*"; exit 1; }
# Outputs are printed with printf: an echo of text holding a Windows path
# such as Z:\tmp\ci would end at its "\c".

first=$("$run" "$host" "$dll" --crash 2>&1) || { printf '%s\n' "$first"; fail "the first crash did not end with C0000005"; }
printf '%s\n' "$first"
printf '%s\n' "$first" | grep -q "ended with exit code C0000005" || fail "no exit code line"
[ -f "$report" ] || fail "no report file at $report"
head -c 2 "$report" | od -An -tx1 | grep -q "ff fe" || fail "the report file does not start with FF FE"
text=$(iconv -f UTF-16 -t UTF-8 "$report" | tr -d '\r')
[ "$(printf '%s\n' "$text" | grep -c '^VarnelLog ')" = 1 ] || fail "not exactly one report after one crash"
printf '%s\n' "$text" | grep -q "Read of address 00000010" || fail "the message does not name the wild address"
# From the faulting line of the library, with its unit and line, through the
# export and the host.
printf '%s\n' "$text" | grep -E -q '^\|7FFFFFFE\|04 .*\|_zelvic\.dll *\|.*\|runtime_helpers\.cpp *\|.*\|[0-9]+\[[0-9]+\]\|$' ||
  fail "the first entry is not the library's faulting line"
printf '%s\n' "$text" | grep -q "|fragment_table.inc" || fail "no export frame"
printf '%s\n' "$text" | grep -q "|zelvic_host.exe" || fail "no host frame"
printf '%s\n' "$text" | grep -q "^  2\.8 Count" && fail "a first report already counts repeats"
id=$(printf '%s\n' "$text" | sed -n 's/^  2\.7 ID *: \([0-9A-F]\{8\}\).*/\1/p')
[ -n "$id" ] || fail "no bug identifier"

second=$("$run" "$host" "$dll" --crash 2>&1) || { printf '%s\n' "$second"; fail "the second crash did not end with C0000005"; }
text=$(iconv -f UTF-16 -t UTF-8 "$report" | tr -d '\r')
[ "$(printf '%s\n' "$text" | grep -c '^VarnelLog ')" = 1 ] || fail "the repeated bug was saved again"
printf '%s\n' "$text" | grep -q "^  2\.7 ID *: $id" || fail "the bug identifier changed"
printf '%s\n' "$text" | grep -E -q '^  2\.8 Count *: 2$' || fail "the repeat is not counted"

kept="$report.before-thread"
cp "$report" "$kept"
third=$("$run" "$host" "$dll" --crash --on-thread 2>&1) || { printf '%s\n' "$third"; fail "the crash on a thread failed"; }
printf '%s\n' "$third"
printf '%s\n' "$third" | grep -q "the crashing copy ended with exit code C0000005" || fail "an unwatched thread's fault did not end the copy with C0000005"
cmp -s "$report" "$kept" || fail "a thread the options do not watch changed the report file"
rm -f "$kept"

watch_all="$(dirname "$dll")/watch-all/_zelvic.dll"
rm -f "$report"
fourth=$("$run" "$host" "$watch_all" --crash --on-thread 2>&1) || { printf '%s\n' "$fourth"; fail "the watched thread's crash failed"; }
printf '%s\n' "$fourth"
tid=$(printf '%s\n' "$fourth" | sed -n 's/^on thread \([0-9]*\),.*/\1/p')
[ -n "$tid" ] || fail "the copy did not name its thread"
printf '%s\n' "$fourth" | grep -q "the thread ended with exit code C0000005 and this copy goes on" ||
  fail "the watched thread did not end alone with C0000005"
[ -f "$report" ] || fail "no report for the watched thread"
text=$(iconv -f UTF-16 -t UTF-8 "$report" | tr -d '\r')
[ "$(printf '%s\n' "$text" | grep -c '^VarnelLog ')" = 1 ] || fail "not exactly one report for the watched thread"
printf '%s\n' "$text" | grep -q "^|\*Exception Thread: ID=$tid; Parent=[1-9]" ||
  fail "the exception's thread is not the copy's second thread"
printf '%s\n' "$text" | grep -q "Kind: CreateThread" || fail "the thread's facts do not say how it was made"
printf '%s\n' "$text" | grep -E -q '^\|7FFFFFFE\|04 .*\|_zelvic\.dll *\|.*\|runtime_helpers\.cpp *\|.*\|[0-9]+\[[0-9]+\]\|$' ||
  fail "the watched thread's first entry is not the library's faulting line"
printf '%s\n' "$text" | grep -q "|zelvic_host.exe" || fail "no host frame on the watched thread"

throwing="$(dirname "$dll")/throwing/_zelvic.dll"
rm -f "$report"
for round in 1 2; do
  out=$("$run" "$host" "$throwing" --crash --throw 2>&1) || { printf '%s\n' "$out"; fail "the throwing copy's crash failed"; }
  printf '%s\n' "$out"
  printf '%s\n' "$out" | grep -q "the crashing copy ended with exit code 0EEDFADE" || fail "an uncaught throw did not end the copy with 0EEDFADE"
done
[ -f "$report" ] || fail "no report for the uncaught throw"
text=$(iconv -f UTF-16 -t UTF-8 "$report" | tr -d '\r')
[ "$(printf '%s\n' "$text" | grep -c '^VarnelLog ')" = 1 ] || fail "not exactly one report for the repeated throw"
printf '%s\n' "$text" | grep -q "^  2\.5 Type *: EInvalidDebugInformationVersion$" || fail "the report does not name the thrown class"
printf '%s\n' "$text" | grep -q "^  2\.6 Message: Version 9999 is greater" || fail "the report does not carry the thrown message"
printf '%s\n' "$text" | grep -E -q '^\|7FFFFFFE\|04 .*\|_zelvic\.dll *\|.*\|EDebugVLFormat\.cpp *\|.*\|[0-9]+\[[0-9]+\]\|$' ||
  fail "the first entry is not the library's throwing line"
printf '%s\n' "$text" | grep -q "|zelvic_host.exe" || fail "no host frame under the throw"
printf '%s\n' "$text" | grep -E -q '^  2\.8 Count *: 2$' || fail "the repeated throw is not counted"
echo "PASS: one report, bug $id, counted twice; an unwatched thread left to the system; a watched thread reported; an uncaught throw reported and counted"
