#!/usr/bin/env bash
# scripts/run on the programs of one build, as a newcomer runs it: it starts the
# reference server and the daemon, links two folders with one view, prints progress
# (JSON lines, standard output not being a terminal), and on SIGTERM stops the
# daemon and then the server, and exits 0.
# Usage: check_run.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d /tmp/nimbrel-run-XXXXXX)
run=
cleanup() {
  [ -z "$run" ] || kill -KILL "$run" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$tmp/err" >&2 || true
  exit 1
}

mkdir -p "$tmp/run"
umask 022
HOME=$tmp XDG_RUNTIME_DIR=$tmp/run NIMBREL_HOME=$tmp/home NIMBREL_RUN_NO_BUILD=1 NIMBREL_BUILD_DIR=$build \
  "$src/scripts/run" "$tmp/A" --second "$tmp/B" >"$tmp/out" 2>"$tmp/err" </dev/null &
run=$!
for _ in $(seq 1200); do
  grep -q '"session_id":2' "$tmp/out" 2>/dev/null && break
  kill -0 "$run" 2>/dev/null || fail "scripts/run ended early"
  sleep 0.1
done
grep -q '"session_id":1' "$tmp/out" && grep -q '"session_id":2' "$tmp/out" || fail "no progress line for both folders"
[ -d "$tmp/A/.VarnelWorkingDirectory" ] && [ -d "$tmp/B/.VarnelWorkingDirectory" ] || fail "the folders were not set up"
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/home/log/refserver.out")
[ -n "$port" ] || fail "no reference server"
# Private state under a careless umask: nothing for group or others, and the server
# takes only the token that scripts/run made (and never put on a command line).
open=$(find "$tmp/home" -perm /077 ! -type l ! -type s 2>/dev/null | head -3)
[ -z "$open" ] || fail "state readable by others: $open"
token=$(cat "$tmp/home/server.token")
[ ${#token} -ge 32 ] || fail "no server token"
! grep -qaF -f "$tmp/home/server.token" /proc/[0-9]*/cmdline 2>/dev/null || fail "the token is on a command line"
# A second start on the same state folder is refused while this one runs.
if HOME=$tmp XDG_RUNTIME_DIR=$tmp/run NIMBREL_HOME=$tmp/home NIMBREL_RUN_NO_BUILD=1 NIMBREL_BUILD_DIR=$build \
  "$src/scripts/run" "$tmp/C" >/dev/null 2>"$tmp/second.err" </dev/null; then
  fail "a second scripts/run on the same state folder ran"
fi
grep -q "already runs" "$tmp/second.err" || fail "the second start was not refused clearly: $(cat "$tmp/second.err")"

# SIGTERM: a background job of a script starts with SIGINT ignored, which no trap can
# undo; on a terminal Ctrl-C takes the same path.
kill -TERM "$run"
rc=
for _ in $(seq 1500); do
  if ! kill -0 "$run" 2>/dev/null; then
    rc=0
    wait "$run" || rc=$?
    break
  fi
  sleep 0.1
done
[ -n "$rc" ] || fail "scripts/run did not stop"
run=
[ "$rc" = 0 ] || fail "scripts/run exited $rc after the interrupt"
grep -q "the daemon exited normally" "$tmp/home/log/nimbrelctl.log" || fail "the daemon did not stop in order"
grep -q "stopping the server" "$tmp/err" || fail "the server was not stopped"
! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "the reference server still listens"
echo "ok: scripts/run started, linked two folders and stopped cleanly"
