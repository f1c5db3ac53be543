#!/usr/bin/env bash
# Builds everything (tests and benchmarks included) with warnings as errors in
# every standard build type, with GCC and with clang, and once with the
# distribution's package flags (dpkg-buildflags, every hardening feature on);
# repro builds the packages of HEAD twice, from two clones in different
# directories, and checks that they are byte-identical (scripts/reproducible.sh):
# scripts/build-matrix.sh [gcc|clang|dpkg|repro ...]. Trees go to build-matrix/<name>/.
# A failed configuration's log is kept in build-matrix/<name>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(gcc clang dpkg repro)
jobs=${KEL_JOBS:-2}

status=0
build() {   # build <name> <cc> <cxx> <build type> [cmake argument...]
  local name=$1 cc=$2 cxx=$3 type=$4
  shift 4
  local dir=build-matrix/$name log=build-matrix/$name.log
  mkdir -p build-matrix
  if CC="$cc" CXX="$cxx" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DKEL_WERROR=ON "$@" >"$log" 2>&1 &&
     cmake --build "$dir" -j "$jobs" >>"$log" 2>&1; then
    echo "$name: built"
    rm -f "$log"
  else
    echo "$name: FAILED (log: $log)"
    grep -m 10 -E 'error|Error' "$log" || true
    status=1
  fi
}

for w in "${wanted[@]}"; do
  case "$w" in
    gcc|clang)
      cc=gcc cxx=g++
      [ "$w" = clang ] && cc=clang cxx=clang++
      for type in Debug RelWithDebInfo Release; do
        build "$w-$type" "$cc" "$cxx" "$type"
      done ;;
    dpkg)
      source scripts/dpkgflags.sh
      dpkg_cmake_flags
      build dpkg-flags gcc g++ None "${DPKG_CMAKE_FLAGS[@]}" ;;
    repro)
      if bash scripts/reproducible.sh; then echo "repro: identical"; else echo "repro: FAILED"; status=1; fi ;;
    *) echo "usage: $0 [gcc|clang|dpkg|repro ...]" >&2; exit 2 ;;
  esac
done
exit $status
