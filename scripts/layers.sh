#!/usr/bin/env bash
# Prints the arrows between folders that the sources' #include lines draw, and
# fails when one runs up the layers (or sideways, between two folders of one
# rank): scripts/layers.sh [source-dir]. Run by the test command as the test
# SourceLayers; the build's layer links catch the calls, this the headers.
set -euo pipefail
src=${1:-$(dirname "$0")/..}
cd "$src"
# Rank of each folder: a folder may include its own headers and those of
# folders of a lower rank. include/ is the public contract (<kelvlx/...>).
declare -A rank=(
  [include]=0 [base]=1 [diag]=2 [crypto]=3 [store]=4 [agent]=5
  [client]=6 [oxl]=6 [tools]=7 [msg]=8 [docs]=8 [bench]=9 [fuzz]=9 [tests]=9)
folders=(include base diag crypto store agent client oxl tools msg docs bench fuzz tests)
# One line per include of another folder's header: "from to file".
lines=$(
  for f in "${folders[@]}"; do
    [ -d "$f" ] || continue
    grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/[^"]+"' "$f" \
      --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' --include='*.in' || true
  done | awk -F'"' '{
      split($0, p, ":"); file = p[1]
      split(file, a, "/"); from = a[1]
      split($2, b, "/"); to = (b[1] == "kelvlx") ? "include" : b[1]
      if (from != to) print from, to, file
    }')
status=0
echo "Arrows between folders (includes of another folder's headers):"
while read -r from to count; do
  [ -n "$from" ] || continue
  mark=""
  if [ -z "${rank[$to]:-}" ]; then
    mark="  <- unknown folder"; status=1
  elif [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
    mark="  <- runs up"; status=1
  fi
  printf '  %-8s -> %-8s %4d%s\n' "$from" "$to" "$count" "$mark"
done < <(printf '%s\n' "$lines" | awk 'NF { n[$1 " " $2]++ } END { for (k in n) print k, n[k] }' | sort)
if [ "$status" -ne 0 ]; then
  echo "Includes that run up the layers:"
  printf '%s\n' "$lines" | while read -r from to file; do
    [ -n "$from" ] || continue
    if [ -z "${rank[$to]:-}" ] || [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
      echo "  $file includes a header of $to/"
    fi
  done | sort -u
fi
exit $status
