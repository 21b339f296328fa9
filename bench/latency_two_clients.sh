#!/usr/bin/env bash
# How soon a change crosses: two clients (each nimbrelctl daemon with its nimbreld)
# on one view of nimbrel-refserver, loopback, TLS. Prints p50 and p95 of
# NIMBREL_LATENCY_TRIALS (20) trials of:
#   1. a file written on client A until it is present, with its content, on client B;
#   2. a file just saved on client A until the server logs it stored (an upper bound
#      on the upload's start: the files are a few bytes).
# Trials are a second apart, so each starts from a quiet client. Each wait ends after
# NIMBREL_LATENCY_TIMEOUT seconds (60); a missed trial is reported and the run exits 1.
# Usage: bench/latency_two_clients.sh
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source bench/sync_env.sh

trials=${NIMBREL_LATENCY_TRIALS:-20}
limit=${NIMBREL_LATENCY_TIMEOUT:-60}
bench_require sqlite3 setsid python3
bench_build

tmp=$(mktemp -d "${NIMBREL_LATENCY_DIR:-/tmp}/nimbrel-latency-XXXXXX")
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

start_server "$tmp/server"
start_client "$tmp/a"
add_session "$tmp/a" 1 1 "$tmp/a/folder"
start_client "$tmp/b"
add_session "$tmp/b" 1 1 "$tmp/b/folder"
# Both sides settled: a first file crosses before the trials start.
echo warm >"$tmp/a/folder/warm.txt"
arrived() { [ -f "$2" ] && [ "$(cat "$2" 2>/dev/null)" = "$1" ]; }
wait_for arrived warm "$tmp/b/folder/warm.txt" || { echo "latency: the clients never exchanged a file" >&2; exit 1; }
echo "latency: $trials trials each (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2

step=0.005
failed=0
cross=()
for i in $(seq "$trials"); do
  sleep 1
  text="cross $i $EPOCHREALTIME"
  t=$(now)
  printf '%s' "$text" >"$tmp/a/folder/cross$i.txt"
  if wait_for arrived "$text" "$tmp/b/folder/cross$i.txt"; then
    cross+=("$(since "$t")")
  else
    echo "latency: cross$i.txt did not reach client B in ${limit}s" >&2
    failed=1
  fi
done
saved=()
stored() { grep -q ": /$1: stored as" "$tmp/server/refserver.log"; }
for i in $(seq "$trials"); do
  sleep 1
  t=$(now)
  printf 'saved %s' "$i" >"$tmp/a/folder/saved$i.txt"
  if wait_for stored "saved$i.txt"; then
    saved+=("$(since "$t")")
  else
    echo "latency: saved$i.txt was not uploaded in ${limit}s" >&2
    failed=1
  fi
done

echo
printf '%-40s %8s %8s %s\n' "figure (s)" "p50" "p95" "aim"
[ ${#cross[@]} -eq 0 ] || printf '%-40s %8s %8s %s\n' "A's change present on B" "$(median "${cross[@]}")" "$(p95 "${cross[@]}")" "<= 0.5 / <= 1"
[ ${#saved[@]} -eq 0 ] || printf '%-40s %8s %8s %s\n' "just-saved file stored at the server" "$(median "${saved[@]}")" "$(p95 "${saved[@]}")" "<= 0.2"
echo "runs: crossing ${cross[*]:-}; saving ${saved[*]:-}"
exit "$failed"
