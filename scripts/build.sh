#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh [plain|sanitize] [target...]
# (default plain, every target).
# The plain tree is built in the build type the package ships; both trees
# treat warnings as errors (a user's own build does not: KEL_WERROR is off by default).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
shift || true
targets=()
for t in "$@"; do targets+=(--target "$t"); done
case "$kind" in
  plain)    dir=build;      extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize) dir=build-asan; extra=(-DKEL_SANITIZE=ON) ;;
  *) echo "usage: $0 [plain|sanitize]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DKEL_WERROR=ON "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
