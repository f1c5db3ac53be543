#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh [plain|sanitize] (default plain).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
case "$kind" in
  plain)    dir=build;      extra=() ;;
  sanitize) dir=build-asan; extra=(-DKEL_SANITIZE=ON) ;;
  *) echo "usage: $0 [plain|sanitize]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
