#!/usr/bin/env bash
# Installs what is missing, builds the agent and starts it the way a client
# program does (22 arguments, two pipes), showing the checks a caller meets
# and the exit status of each, with the caller's view of it in words.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
bash scripts/build.sh plain

agent=$PWD/build/kelvlx
stamp=$(sed -n 's/^KEL_BUILD_STAMP:[A-Z]*=//p' build/CMakeCache.txt)
iface=$(printf 'QRB Linkag\bestab\b VOMP Edition 4')
if [ "$(id -u)" -ne 0 ]; then
  echo "note: not running as root; past the argument checks the agent refuses with 138" >&2
fi

tmp=$(mktemp -d /tmp/kelvlx-demo.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkfifo "$tmp/request" "$tmp/answer"

status_words() {
  case $1 in
    0)   echo "0: request served" ;;
    255) echo "255 (-1): usage error, this is not how the agent is called" ;;
    138) echo "138: calling program and agent not compatible (argument count, build stamp or privilege)" ;;
    98)  echo "98 (610): message catalog could not be set up" ;;
    36)  echo "36 (292): out of memory at start-up" ;;
    39)  echo "39 (295): unknown operation letter" ;;
    41)  echo "41 (297): pipe read or write incomplete" ;;
    *)   echo "$1: result of the request" ;;
  esac
}

# run TITLE INPUT ARG... : starts the agent on the two named pipes; INPUT is written
# to its input pipe first (printf format).
run() {
  local title=$1 input=$2
  shift 2
  echo
  echo "== $title"
  # Each pipe is opened twice: the agent's end and the caller's end that the
  # agent closes (arguments 4 and 5).
  exec {req}<>"$tmp/request" {req_caller}<>"$tmp/request" {ans_caller}<>"$tmp/answer" {ans}<>"$tmp/answer"
  [ -n "$input" ] && printf "$input" >&"$req_caller"
  local args=("$@") rc=0
  for i in "${!args[@]}"; do
    case ${args[$i]} in
      @IN) args[$i]=$req ;; @CIN) args[$i]=$req_caller ;; @COUT) args[$i]=$ans_caller ;; @OUT) args[$i]=$ans ;;
    esac
  done
  (exec -a "${args[0]}" "$agent" "${args[@]:1}") 2>"$tmp/stderr" || rc=$?
  exec {req}>&- {req_caller}>&- {ans_caller}>&- {ans}>&-
  if [ -s "$tmp/stderr" ]; then
    echo "   the agent's standard error:"
    sed 's/^/   | /' "$tmp/stderr"
  else
    echo "   (nothing on standard error)"
  fi
  echo "-> exit status $(status_words "$rc")"
}

# A well-formed 22-entry command line for operation $1.
call() {
  printf '%s\n' kelvlx 0 "$iface" @IN @CIN @COUT @OUT "$tmp/dsm.sys" EN_US "" "$PWD/build/catalogs" \
    "$1" NODE1 SERVER1 "$tmp/dsm.opt" "" "$stamp" "$stamp" 1 0 0 1
}
mapfile -t ok_x < <(call X)
mapfile -t ok_b < <(call B)

echo "Agent: $agent"
echo "Build stamp: '$stamp'"
echo "Password directory: $tmp"

run "Started by hand, without the caller's arguments: the usage text" "" kelvlx
run "A caller of another interface version: 21 arguments" "" "${ok_x[@]:0:21}"
wrong_stamp=("${ok_x[@]}"); wrong_stamp[16]=" Mon Jan 01 00:00:00 2024"
run "A caller from another build: its build stamp differs" "" "${wrong_stamp[@]}"
run "A compatible caller asking for operation 'X'" "" "${ok_x[@]}"
run "Operation 'B' with a non-zero flag byte: nothing to do" '\001' "${ok_b[@]}"
echo
[ -e "$tmp/ZAR.PWD" ] || echo "None of these calls created a password file in $tmp."
