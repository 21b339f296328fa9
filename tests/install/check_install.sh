#!/usr/bin/env bash
# Installs a build into a scratch DESTDIR and checks what lands there: the programs,
# their manual pages (whose options must match each program's --help), and the user
# unit, which must pass systemd-analyze where that exists. Without a user session the
# unit's own commands are then run by hand, as its manager would run them: first
# start, discovery through the state folder, a second daemon refused, the SIGTERM
# stop (a clean exit: no restart) and a crash (a failure exit: restarted).
# Usage: check_install.sh BUILD_DIR [CMAKE]
set -euo pipefail

build=$1
cmake=${2:-cmake}
prefix=/opt/nimbrel-check
tmp=$(mktemp -d /tmp/nimbrel-install-XXXXXX)
dest=$tmp/dest
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$dest "$cmake" --install "$build" --prefix "$prefix" >/dev/null
root=$dest$prefix
programs=(nimbreld nimbrelctl nimbrel-refserver nimbrel-delta)
unit=$root/lib/systemd/user/nimbreld.service
[ -f "$unit" ] || fail "no unit at $unit"
for p in "${programs[@]}"; do
  [ -x "$root/bin/$p" ] || fail "$p is not installed in $root/bin"
  page=$root/share/man/man1/$p.1
  [ -f "$page" ] || fail "no manual page $page"
  if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  fi
  help=$("$root/bin/$p" --help) || fail "$p --help failed"
  in_help=$(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
  in_page=$(sed 's/\\-/-/g' "$page" | grep -o -- '--[a-z][a-z-]*' | sort -u)
  [ "$in_help" = "$in_page" ] || fail "$p: options in --help and in the manual page differ:
$(diff <(echo "$in_help") <(echo "$in_page"))"
done
grep -q "^ExecStart=$prefix/bin/nimbrelctl daemon " "$unit" || fail "the unit does not start $prefix/bin/nimbrelctl"
echo "ok: installed files, manual pages and --help"

# The unit as it would be seen at $prefix: its paths moved into the scratch tree.
relocate() { sed "s#$prefix/#$root/#g"; }
relocate <"$unit" >"$tmp/nimbreld.service"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 700 "$tmp/analyze"
  XDG_RUNTIME_DIR=$tmp/analyze MANPATH=$root/share/man systemd-analyze --user verify "$tmp/nimbreld.service" ||
    fail "systemd-analyze verify rejects the unit"
  echo "ok: systemd-analyze verify"
  # The free hardening is in place: far from the 9.8 of an unhardened unit.
  score=$(XDG_RUNTIME_DIR=$tmp/analyze systemd-analyze security --offline=yes --user "$tmp/nimbreld.service" 2>&1 |
    sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p')
  [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s < 4) }' || fail "the unit is exposed (score '${score}')"
  echo "ok: systemd-analyze security $score"
else
  echo "skip: systemd-analyze is not installed"
fi

# The manager's environment for the unit: %E and %S from these.
mkdir -p "$tmp/home" "$tmp/run1" "$tmp/run2"
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/config XDG_STATE_HOME=$tmp/state XDG_RUNTIME_DIR=$tmp/run1
unset NIMBREL_HOME
command_of() {
  grep "^$1=" "$tmp/nimbreld.service" | cut -d= -f2- | sed -e "s#%E#$XDG_CONFIG_HOME#g" -e "s#%S#$XDG_STATE_HOME#g"
}
read -ra pre <<<"$(command_of ExecStartPre)"
read -ra start <<<"$(command_of ExecStart)"
grep -q '^KillMode=mixed$' "$tmp/nimbreld.service" || fail "SIGTERM must reach nimbrelctl alone"
grep -q '^Restart=on-failure$' "$tmp/nimbreld.service" || fail "a crash must restart the daemon"

"${pre[@]}" 2>/dev/null || fail "ExecStartPre failed"
[ -f "$XDG_CONFIG_HOME/nimbrel/nimbreld.conf" ] || fail "no sample configuration written"

# A client in another login (its own runtime folder) finds the daemon through the state folder.
status() { XDG_RUNTIME_DIR=$tmp/run2 "$root/bin/nimbrelctl" status --json 2>"$tmp/status.err"; }
start_daemon() {
  "${start[@]}" >"$tmp/out" 2>"$tmp/err" </dev/null &
  main=$!
  pids+=("$main")
  for _ in $(seq 240); do
    if status >/dev/null; then return 0; fi
    kill -0 "$main" 2>/dev/null || fail "ExecStart ended early: $(cat "$tmp/err")"
    sleep 0.5
  done
  fail "the daemon was not found through the state folder: $(cat "$tmp/status.err")"
}
# Sets rc to the exit status of the unit's main process.
wait_main() {
  rc=0
  wait "$main" || rc=$?
}

start_daemon
[ "$(status)" = '{"ack":"ok"}' ] || fail "status through the state folder"
rc=0
"${start[@]}" >/dev/null 2>"$tmp/second.err" </dev/null || rc=$?
[ "$rc" = 1 ] && grep -q "another daemon already runs" "$tmp/second.err" ||
  fail "a second daemon on the same state folder was not refused (exit $rc): $(cat "$tmp/second.err")"
kill -TERM "$main"
wait_main
[ "$rc" = 0 ] || fail "the SIGTERM stop exited $rc (a restart would follow): $(cat "$tmp/err")"
grep -q "asked the daemon to stop" "$tmp/err" || fail "SIGTERM was not forwarded as stop: $(cat "$tmp/err")"
! status >/dev/null || fail "a stopped daemon is still found"
echo "ok: the unit's commands start, find, refuse a second, and stop in order"

start_daemon
daemon_pid=$(sed -n 's/.*started .* (pid \([0-9]*\)).*/\1/p' "$tmp/err")
[ -n "$daemon_pid" ] || fail "no daemon pid in: $(cat "$tmp/err")"
kill -KILL "$daemon_pid"
wait_main
[ "$rc" != 0 ] || fail "a crashed daemon gave a clean exit: no restart would follow"
echo "ok: a crash is a failure exit"
