#!/usr/bin/env bash
# Runs the engine fuzzer for a bounded time on the generated seed corpus and
# fails on any crash, leak or timeout.
#   run_fuzzer.sh BUILD_DIR SECONDS [JOBS]
# BUILD_DIR is a build with -DENABLE_FUZZ=ON. New inputs and any crash land
# in BUILD_DIR/fuzz/run/ (corpus/, and crash-*, leak-*, timeout-* files).
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="$2"
jobs="${3:-1}"
fuzzer="$build/bin/fuzz_engine"
seeds="$build/fuzz/seeds"
run="$build/fuzz/run"

rm -rf "$run"
mkdir -p "$run/corpus"
cd "$run"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:print_stacktrace=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536
       -print_final_stats=1 -artifact_prefix="$run/")

status=0
if [ "$jobs" -gt 1 ]; then
  # Each job writes fuzz-N.log here, which libFuzzer also copies into
  # fuzz.log when the job ends; the jobs share the corpus folder.
  "$fuzzer" "${flags[@]}" -jobs="$jobs" -workers="$jobs" corpus "$seeds" > fuzz.log 2>&1 || status=$?
else
  "$fuzzer" "${flags[@]}" corpus "$seeds" > fuzz.log 2>&1 || status=$?
fi

shopt -s nullglob
found=(crash-* leak-* timeout-* oom-* slow-unit-*)
if [ "$status" -ne 0 ] || [ "${#found[@]}" -gt 0 ]; then
  grep -E '^\*\*\* |ERROR|SUMMARY|runtime error|#[0-9]+ 0x' fuzz.log | head -60 || true
  echo "fuzzer failed (status $status); inputs kept in $run: ${found[*]:-none}"
  exit 1
fi
grep -h -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' fuzz.log || true
echo "fuzzer: no crash, leak or timeout in ${seconds} s"
