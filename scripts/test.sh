#!/usr/bin/env bash
# Installs what is missing, builds the plain and the sanitizer trees and runs
# every test in both, then fuzzes, then (last and alone, because it installs
# the package on this machine) builds, installs, uses and purges the Debian
# package. KEL_LOCK names a lock file shared with others who run the agent on
# this machine: the tests hold it shared, the package test exclusively.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/locales.sh
locked() {   # locked shared|exclusive command...
  local mode=$1
  shift
  if [ -n "${KEL_LOCK:-}" ]; then
    flock "--$mode" "$KEL_LOCK" "$@"
  else
    "$@"
  fi
}
status=0
for kind in plain sanitize; do
  bash scripts/build.sh "$kind"
  dir=build; [ "$kind" = sanitize ] && dir=build-asan
  echo "== tests ($kind build)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    locked shared ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -E DebianPackage || status=1
done
echo "== fuzzing: each harness for a bounded time (longer runs: scripts/fuzz.sh <seconds>)"
bash scripts/fuzz.sh 25 || status=1
echo "== the Debian package: built, installed on this machine, used and purged"
export KEL_WERROR=ON
bash scripts/package.sh >/dev/null || status=1
KEL_PACKAGE_TEST=1 locked exclusive ctest --test-dir build --output-on-failure -R DebianPackage || status=1
exit $status
