#!/usr/bin/env bash
# Generates the locales the message and date tests run under, when missing.
# Idempotent; needs root (localedef writes to the system locale archive).
set -euo pipefail
# name:input-definition:charmap
wanted=(
  "de_DE.ISO-8859-1:de_DE:ISO-8859-1"
  "de_DE.UTF-8:de_DE:UTF-8"
  "sv_SE.UTF-8:sv_SE:UTF-8"
  "ja_JP.EUC-JP:ja_JP:EUC-JP"
  "en_US.UTF-8:en_US:UTF-8"
  "en_US.ISO-8859-1:en_US:ISO-8859-1"
)
have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | tr -d '_.-')
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
for w in "${wanted[@]}"; do
  IFS=: read -r name def cmap <<<"$w"
  key=$(echo "$name" | tr 'A-Z' 'a-z' | tr -d '_.-')
  if grep -qx "$key" <<<"$have"; then
    continue
  fi
  echo "== generating locale $name"
  # localedef warns (exit 1) about harmless details of some definitions; the
  # locale is still written, so only a missing result counts as a failure.
  $SUDO localedef -i "$def" -f "$cmap" "$name" || true
  locale -a 2>/dev/null | tr 'A-Z' 'a-z' | tr -d '_.-' | grep -qx "$key" || {
    echo "locale $name could not be generated" >&2; exit 1; }
done
