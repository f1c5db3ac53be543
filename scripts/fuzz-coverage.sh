#!/usr/bin/env bash
# How far the fuzz corpora reach into the units the harnesses guard. Builds the
# harnesses with clang's source coverage (build-fuzzcov/, no sanitizers),
# replays every harness's corpus once (fuzz/corpus/<harness>/, plus
# build-fuzz/corpus/<harness>/ when scripts/fuzz.sh has grown one) and prints
# each guarded unit's line and branch reach over all harnesses together:
#   scripts/fuzz-coverage.sh [--show <unit.cpp>]
# --show also prints that unit's source with the count of each line, so the
# lines no input reaches can be read.
set -euo pipefail
cd "$(dirname "$0")/.."
show=""
if [ "${1:-}" = "--show" ]; then
  show=${2:?usage: $0 [--show <unit.cpp>]}
fi
harnesses=($(ls fuzz/*_fuzz.cpp | sed 's|^fuzz/||; s|_fuzz\.cpp$||'))   # one per fuzz/<name>_fuzz.cpp
units=(store/pssec.cpp store/pswdrec.cpp store/pslist.cpp agent/kelvlx.cpp diag/nlssig.cpp diag/nlsfmt.cpp diag/nlsmsg.cpp)

bash scripts/deps.sh
if ! command -v llvm-profdata >/dev/null || ! command -v llvm-cov >/dev/null; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends llvm
fi

dir=build-fuzzcov
CC=clang CXX=clang++ cmake -S . -B "$dir" -DKEL_FUZZ=ON -DKEL_FUZZ_COVERAGE=ON -DKEL_TESTS=OFF -DKEL_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzzers >/dev/null

rm -rf "$dir/profiles"
mkdir -p "$dir/profiles"
objects=()
for h in "${harnesses[@]}"; do
  corpora=("fuzz/corpus/$h")
  [ -d "build-fuzz/corpus/$h" ] && corpora+=("build-fuzz/corpus/$h")
  # Built with the replay driver: each input of the corpora is run once.
  LLVM_PROFILE_FILE="$dir/profiles/$h-%p.profraw" "$dir/fuzz/fuzz_$h" "${corpora[@]}" \
    >"$dir/replay-$h.log" 2>&1 || { echo "fuzz_$h failed on its corpus (log: $dir/replay-$h.log)" >&2; exit 1; }
  objects+=(-object "$dir/fuzz/fuzz_$h")
done
llvm-profdata merge -sparse "$dir"/profiles/*.profraw -o "$dir/fuzz.profdata"

printf '%-24s %22s %22s\n' unit lines branches
# (Each harness's own functions differ between the programs: their counts do not merge, which is said once.)
llvm-cov report "${objects[@]:1}" -instr-profile="$dir/fuzz.profdata" "${units[@]}" 2> >(grep -v "mismatched data" >&2) |
  awk -v n="${#units[@]}" '
    $1 ~ /\.cpp$/ {
      f = $1; sub(/.*\//, "", f)
      printf "%-24s %6d/%-6d %6s   %6d/%-6d %6s\n", f, $8 - $9, $8, $10, $11 - $12, $11, $13
    }'
if [ -n "$show" ]; then
  llvm-cov show "${objects[@]:1}" -instr-profile="$dir/fuzz.profdata" "$show"
fi
