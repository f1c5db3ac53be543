#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (build-fuzz/, ASan and UBSan) and
# runs each for a bounded time: scripts/fuzz.sh [seconds-per-harness] [harness...]
# (default 300 seconds, every harness). The seed corpora in fuzz/corpus/ are
# read, never written; new inputs go to build-fuzz/corpus/<harness>/ and a
# crashing input to build-fuzz/crashes/<harness>/. Exits 1 when any harness fails.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-300}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=($(ls fuzz/*_fuzz.cpp | sed 's|^fuzz/||; s|_fuzz\.cpp$||'))   # one per fuzz/<name>_fuzz.cpp
case "$secs" in ''|*[!0-9]*) echo "usage: $0 [seconds-per-harness] [harness...]" >&2; exit 2 ;; esac

bash scripts/deps.sh
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DKEL_FUZZ=ON -DKEL_WERROR=ON -DKEL_TESTS=OFF -DKEL_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzzers >/dev/null

status=0
for h in "${harnesses[@]}"; do
  work="$dir/corpus/$h" crashes="$dir/crashes/$h" log="$dir/fuzz-$h.log"
  mkdir -p "$work" "$crashes"
  echo "== fuzz_$h for ${secs}s"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$dir/fuzz/fuzz_$h" -max_total_time="$secs" -runs=100000000 -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "fuzz/corpus/$h" >"$log" 2>&1; then
    result=clean
  else
    result=FAILED; status=1
    grep -E 'ERROR|invariant|SUMMARY|Test unit written' "$log" | head -20 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  echo "fuzz_$h: $result, ${execs:-?} executions, ${cov:-no coverage line} (log: $log)"
done
exit $status
