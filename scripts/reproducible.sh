#!/usr/bin/env bash
# Checks that the packages are reproducible: clones the committed HEAD twice,
# into two directories of different names and depths, runs scripts/package.sh
# in each and compares the .deb files byte by byte. Prints each package's
# sha256 and exits 1 when any differs. Uncommitted changes are not in the
# clones. KEL_REPRO_DIR chooses where the clones go (default: a temporary
# directory, removed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=${KEL_REPRO_DIR:-$(mktemp -d)}
[ -n "${KEL_REPRO_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
commit=$(git rev-parse HEAD)
one=$work/a
two=$work/second/clone-b
for d in "$one" "$two"; do
  rm -rf "$d"
  git clone -q --no-checkout "$top" "$d"
  git -C "$d" checkout -q "$commit"
  bash "$d/scripts/package.sh" >"$d.log" 2>&1 || { echo "reproducible: package build in $d failed (log: $d.log)" >&2; exit 1; }
done
status=0
for deb in "$one"/build-deb/*.deb; do
  name=${deb##*/}
  a=$(sha256sum <"$deb" | cut -d' ' -f1)
  b=$(sha256sum <"$two/build-deb/$name" 2>/dev/null | cut -d' ' -f1 || true)
  if [ "$a" = "$b" ]; then
    echo "$name: identical, sha256 $a"
  else
    echo "$name: DIFFERS: $a / ${b:-missing}"
    status=1
  fi
done
exit $status
