#!/usr/bin/env bash
# Installs what is missing, builds the plain and the sanitizer trees and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/locales.sh
status=0
for kind in plain sanitize; do
  bash scripts/build.sh "$kind"
  dir=build; [ "$kind" = sanitize ] && dir=build-asan
  echo "== tests ($kind build)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" || status=1
done
echo "== fuzzing: each harness for a bounded time (longer runs: scripts/fuzz.sh <seconds>)"
bash scripts/fuzz.sh 25 || status=1
exit $status
