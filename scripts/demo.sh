#!/usr/bin/env bash
# Installs what is missing, builds what it runs and walks through the agent's
# whole job in a temporary password directory: the administrator stores a
# machine's first password, a caller has the agent change it, enciphers and
# deciphers a challenge with it, fetches the data-encryption keys, and the
# file is listed and checked at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
# Only what the demo runs (the test command builds everything), with the
# build's progress shown so a first run is not a silent wait.
echo "Building the agent, the tools, the catalogs and the crypto library in build/ ..."
cmake -S . -B build -DKEL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kelvlx keladm kelcall catalogs oxllib

if [ "$(id -u)" -ne 0 ]; then
  echo "The agent serves requests only with super-user rights: run this demo as root." >&2
  exit 1
fi

# The tools default to the installed agent, catalogs and password directory;
# here they are pointed at this build's.
build=$PWD/build
keladm() { "$build/tools/keladm" --catalogs "$build/catalogs" "$@"; }
kelcall() { "$build/tools/kelcall" --agent "$build/kelvlx" --catalogs "$build/catalogs" "$@"; }
# The crypto library of this build, for AES (an installed agent finds its own).
export LD_LIBRARY_PATH=$PWD/build

dir=$(mktemp -d /tmp/kelvlx-demo.XXXXXX)
trap 'rm -rf "$dir"' EXIT
node=NODE1
server=SERVER1
callargs=(--dir "$dir" --node "$node" --server "$server")
call() { kelcall "${callargs[@]}" "$@"; }

step() {
  echo
  echo "== $*"
}
show() {   # runs a command, printing it first and its output indented
  printf '$'
  printf ' %q' "${@/#$PWD\//}"
  echo
  local rc=0
  "$@" 2>&1 | sed 's/^/    /' || rc=${PIPESTATUS[0]}
  return "$rc"
}

echo "Agent:              $PWD/build/kelvlx"
echo "Password directory: $dir"
echo "Node and server:    $node on $server"

step "1. The administrator stores the machine's first passwords (keladm, as root)"
echo "    server password 'first-Password-1', encryption-key password 'Data-Key-2024'"
echo 'first-Password-1' | show keladm --dir "$dir" set-server "$node" "$server"
echo 'Data-Key-2024' | show keladm --dir "$dir" set-key "$node" "$server"
show keladm --dir "$dir" list

step "2. A caller answers a challenge: operation 'A' enciphers it with the stored password (DES)"
challenge=000102030405060708090a0b0c0d0e0f
echo "    challenge: $challenge"
answer=$(call --cipher des encipher "$challenge")
echo "    answer:    $answer"

step "3. Operation 'B' deciphers the answer again"
back=$(call --cipher des decipher "$answer")
echo "    deciphered: $back"
[ "$back" = "$challenge" ] && echo "    -> the challenge came back unchanged"

step "4. The same with AES-128 (cipher type 2): the answer is padded to whole 16-byte blocks"
if aes=$(call --cipher aes encipher "$challenge" 2>"$dir/aes.err"); then
  echo "    answer:     $aes"
  echo "    deciphered: $(call --cipher aes decipher "$aes")"
else
  echo "    AES is not available here: $(sed 's/^kelcall: //' "$dir/aes.err")"
fi

step "5. Operation 'C': the agent makes a new password, shows old and new, and stores it on confirmation"
show kelcall "${callargs[@]}" generate --confirm
echo "    (the agent upper-cases the old password before it sends it, as the server expects)"

step "6. The challenge of step 2 now gets another answer: the key comes from the new password"
new_answer=$(call --cipher des encipher "$challenge")
echo "    answer now: $new_answer"
[ "$new_answer" != "$answer" ] && echo "    -> differs from step 2's $answer"

step "7. A refused 'C' keeps the password: the answer stays the same"
show kelcall "${callargs[@]}" generate
[ "$(call --cipher des encipher "$challenge")" = "$new_answer" ] && echo "    -> same answer as in step 6"

step "8. Operation 'A' with a key request: the data-encryption key texts"
show kelcall "${callargs[@]}" keys

step "9. The file at the end: records (never a password) and a check"
show keladm --dir "$dir" list
show keladm --dir "$dir" check

step "10. What callers that get it wrong are told"
show kelcall --dir "$dir" --node "$node" --server NOSUCH --cipher des encipher 00 || true
show kelcall "${callargs[@]}" --build-stamp " Mon Jan 01 00:00:00 2001" encipher 00 || true
echo
echo "The temporary password directory $dir is removed now."
