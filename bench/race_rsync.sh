#!/usr/bin/env bash
# Races Nimbrel against rsync on loopback, side by side in one run, and prints each
# ratio (ours / rsync) and the bytes each side sent:
#   1. first upload of NIMBREL_RACE_FILES (10000) files of 4 KiB;
#   2. a NIMBREL_RACE_MIB (1024) MiB file already on the server, changed by 100 edits
#      of 100 bytes at random offsets, synchronised again;
#   3. the time from a local file's close to its upload reaching the server (rsync has
#      no watcher: ours only).
# rsync: "rsync -a --stats" to an rsync daemon (--daemon on a free loopback port, a
# scratch module); its time is the client's run time, its bytes the client's "Total
# bytes sent". Ours: a Release build (build-rel) of nimbreld behind nimbrelctl daemon,
# linked to nimbrel-refserver on loopback; its time runs from the moment the files are
# in place (case 1: the session's start) until the server holds the result, checked
# byte for byte against its stored blobs; its bytes are the payload the server logs as
# received ("N bytes received"), protocol framing not counted.
# Each wait of ours ends after NIMBREL_RACE_TIMEOUT seconds (120) with a message: the
# run never hangs, and exits 1 when our side did not finish a case.
# Scratch space (about 5 GiB with the default sizes) in NIMBREL_RACE_DIR (/tmp),
# removed afterwards.
# Usage: bench/race_rsync.sh
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

files=${NIMBREL_RACE_FILES:-10000}
mib=${NIMBREL_RACE_MIB:-1024}
limit=${NIMBREL_RACE_TIMEOUT:-120}
build=${NIMBREL_BENCH_BUILD:-build-rel}
for tool in rsync sqlite3 setsid cmp; do
  command -v "$tool" >/dev/null || { echo "race: $tool is missing (scripts/setup installs it)" >&2; exit 2; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SANITIZE=OFF >/dev/null
cmake --build "$build" -j2 --target nimbreld nimbrelctl nimbrel-refserver >/dev/null
bin=$src/$build/bin

tmp=$(mktemp -d "${NIMBREL_RACE_DIR:-/tmp}/nimbrel-race-XXXXXX")
pids=()
cleanup() {
  # The daemon first (nimbrelctl sends "stop"), then the servers.
  for p in "${pids[@]}"; do
    kill -TERM "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# rsync's client-side "Total bytes sent: 1,234" as a plain number.
rsync_sent() { sed -n 's/^Total bytes sent: \([0-9,.]*\).*/\1/p' | tr -d ',.'; }

echo "race: preparing $files files of 4 KiB and a $mib MiB file in $tmp" >&2
mkdir -p "$tmp/files"
head -c $((4096 * files)) /dev/urandom >"$tmp/all"
(cd "$tmp/files" && split -b 4096 -d -a 6 "$tmp/all" f)
rm "$tmp/all"
head -c $((mib * 1048576)) /dev/urandom >"$tmp/big.orig"
# The same 100 edits for both sides: 100 random bytes each, at random offsets.
head -c 10000 /dev/urandom >"$tmp/edits.bin"
awk -v max=$((mib * 1048576 - 100)) -v seed="$RANDOM" \
  'BEGIN { srand(seed); for (i = 0; i < 100; i++) printf "%d\n", int(rand() * max) }' >"$tmp/offsets"
apply_edits() {
  local i=0 off
  while read -r off; do
    dd if="$tmp/edits.bin" of="$1" bs=100 skip=$i count=1 seek="$off" oflag=seek_bytes conv=notrunc status=none
    i=$((i + 1))
  done <"$tmp/offsets"
}

# ---- rsync: a daemon with one writable module
mkdir -p "$tmp/rsync/module" "$tmp/rsync/src1"
cat >"$tmp/rsync/rsyncd.conf" <<EOF
pid file = $tmp/rsync/rsyncd.pid
use chroot = no
uid = $(id -u)
gid = $(id -g)
[race]
path = $tmp/rsync/module
read only = no
EOF
rport=$(free_port)
rsync --daemon --no-detach --config="$tmp/rsync/rsyncd.conf" --port="$rport" --address=127.0.0.1 \
  --log-file="$tmp/rsync/rsyncd.log" &
pids+=($!)
for _ in $(seq 100); do
  rsync "rsync://127.0.0.1:$rport/" >/dev/null 2>&1 && break
  sleep 0.1
done
url=rsync://127.0.0.1:$rport/race

cp -r "$tmp/files/." "$tmp/rsync/src1/"
t=$(now)
r1_stats=$(rsync -a --stats "$tmp/rsync/src1/" "$url/case1/")
r1_time=$(since "$t")
r1_sent=$(rsync_sent <<<"$r1_stats")

mkdir -p "$tmp/rsync/src2"
cp "$tmp/big.orig" "$tmp/rsync/src2/big"
rsync -a "$tmp/rsync/src2/" "$url/case2/"
apply_edits "$tmp/rsync/src2/big"
touch -d "@$(($(date +%s) + 5))" "$tmp/rsync/src2/big"  # a different time stamp, whatever the clock
t=$(now)
r2_stats=$(rsync -a --stats "$tmp/rsync/src2/" "$url/case2/")
r2_time=$(since "$t")
r2_sent=$(rsync_sent <<<"$r2_stats")
cmp -s "$tmp/rsync/src2/big" "$tmp/rsync/module/case2/big" || { echo "race: rsync's copy differs" >&2; exit 1; }
rm -rf "$tmp/rsync"
echo "race: rsync done" >&2

# ---- ours: reference server, daemon, one session over the whole view
home=$tmp/ours/home
local=$tmp/ours/local
server=$tmp/ours/server
mkdir -p "$home/log" "$local" "$server" "$home/session/conf"
printf '[Version]\nmajor = 1\nminor = 0\n' >"$home/session/conf/blacklist.filter"
printf '[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = "*"\n' >"$home/session/conf/whitelist.filter"
setsid "$bin/nimbrel-refserver" "$server" >"$home/log/refserver.out" 2>"$home/log/refserver.log" </dev/null &
pids=($! "${pids[@]}")
for _ in $(seq 100); do
  [ "$(grep -c . "$home/log/refserver.out")" -ge 2 ] && break
  sleep 0.1
done
sport=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$home/log/refserver.out")
fingerprint=$(sed -n 's/^certificate sha256 \([0-9a-fA-F:]*\)$/\1/p' "$home/log/refserver.out")
[ -n "$sport" ] || { echo "race: the reference server did not start" >&2; exit 1; }

ctl=$bin/nimbrelctl
"$ctl" init-config --config "$home/nimbreld.conf" --state "$home" 2>/dev/null
setsid "$ctl" daemon --config "$home/nimbreld.conf" --state "$home" --nimbreld "$bin/nimbreld" \
  >"$home/log/notifications.jsonl" 2>"$home/log/nimbrelctl.log" </dev/null &
pids=($! "${pids[@]}")
send() {
  local reply
  reply=$("$ctl" send --state "$home" "$1") && [[ $reply != *'"error"'* ]] ||
    { echo "race: the daemon refused $1: ${reply:-no reply}" >&2; exit 1; }
}
for _ in $(seq 100); do
  "$ctl" status --state "$home" >/dev/null 2>&1 && break
  sleep 0.1
done
send '{"action": "link"}'
send "{\"action\": \"link_connection\", \"connection_id\": 1, \"server_ip\": \"127.0.0.1\", \"server_port\": $sport,
       \"session\": \"race\", \"use_ssl\": true, \"ssl_fingerprint\": \"$fingerprint\"}"

q() { sqlite3 -cmd '.timeout 10000' "$server/index.sqlite" "$1" 2>/dev/null || echo 0; }
# Files of the view at the server now (latest change per path, not removed).
server_files() {
  q "SELECT count(*) FROM (SELECT max(sync_id) AS last FROM changes WHERE view_id = 1 GROUP BY path) l
     JOIN changes c ON c.sync_id = l.last WHERE c.is_dir = 0 AND c.is_removed = 0;"
}
# "HASH SYNC_ID" of a path's latest change.
server_latest() { q "SELECT hash || ' ' || sync_id FROM changes WHERE view_id = 1 AND path = '$1' ORDER BY sync_id DESC LIMIT 1;"; }
log_mark() { wc -l <"$home/log/refserver.log"; }
received_since() {
  tail -n +"$(($1 + 1))" "$home/log/refserver.log" |
    sed -n 's/.*stored as [0-9]* ([a-z]*, \([0-9]*\) bytes received).*/\1/p' | awk '{ s += $1 } END { print s + 0 }'
}
# Waits until the command succeeds, looking every $step seconds; false after the time limit.
step=0.05
wait_for() {
  local deadline=$(($(date +%s) + limit))
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep "$step"
  done
}
failed=0
ours_broken=
skip() { echo "race: ours, case $1: skipped ($ours_broken)" >&2; failed=1; }

# Case 1: the files are in place before the session starts; its first rescan uploads them.
cp -r "$tmp/files/." "$local/"
mark=$(log_mark)
t=$(now)
send "{\"action\": \"add_session\", \"connection_id\": 1, \"session_id\": 1, \"view_id\": 1,
       \"config_path\": \"$home/session\", \"sync_folder\": \"$local\"}"
send '{"action": "resume", "session_id": 1}'
all_uploaded() { [ "$(server_files)" -ge "$files" ]; }
if wait_for all_uploaded; then
  o1_time=$(since "$t")
  o1_sent=$(received_since "$mark")
else
  n=$(server_files)
  echo "race: ours, case 1: timed out after ${limit}s with $n of $files files on the server" \
    "(does this build have the rescan and the local change detector?)" >&2
  failed=1
  [ "$n" -gt 0 ] || ours_broken="nothing was uploaded in case 1"
fi

# Case 2: the big file reaches the server first, then the edits go up as a delta.
# seen: when the row was read, so that the byte comparison after it is not timed.
big_on_server() {
  local latest
  latest=$(server_latest /big)
  seen=$(now)
  [ -n "$latest" ] && [ "${latest% *}" != "$1" ] && cmp -s "$local/big" "$server/blobs/${latest% *}"
}
if [ -z "$ours_broken" ]; then
  cp "$tmp/big.orig" "$local/big.part"
  mv "$local/big.part" "$local/big"
  if ! wait_for big_on_server none; then
    echo "race: ours, case 2: the $mib MiB file did not reach the server in ${limit}s" >&2
    failed=1
  else
    before=$(server_latest /big)
    mark=$(log_mark)
    apply_edits "$local/big"
    t=$(now)
    if wait_for big_on_server "${before% *}"; then
      o2_time=$(awk -v a="$t" -v b="$seen" 'BEGIN { printf "%.3f", b - a }')
      o2_sent=$(received_since "$mark")
    else
      echo "race: ours, case 2: the edited file was not on the server after ${limit}s" >&2
      failed=1
    fi
  fi
else
  skip 2
fi

# Case 3: a small file's close to the server holding it (an upper bound on the upload's start).
if [ -z "$ours_broken" ]; then
  printf 'saved at %s\n' "$(now)" >"$local/saved.txt"
  t=$(now)
  saved_on_server() { grep -q ': /saved.txt: stored as' "$home/log/refserver.log"; }
  step=0.005
  if wait_for saved_on_server; then
    o3_time=$(since "$t")
  else
    echo "race: ours, case 3: /saved.txt was not uploaded in ${limit}s" >&2
    failed=1
  fi
else
  skip 3
fi

echo
printf '%-34s %12s %12s %8s %14s %14s\n' "case" "rsync (s)" "ours (s)" "ratio" "rsync sent" "ours sent"
row() {
  local r=-
  [ -z "$3" ] || r=$(ratio "$3" "$2")
  printf '%-34s %12s %12s %8s %14s %14s\n' "$1" "$2" "${3:--}" "$r" "$4" "${5:--}"
}
row "1. $files x 4 KiB first upload" "$r1_time" "${o1_time:-}" "$r1_sent" "${o1_sent:-}"
row "2. $mib MiB, 100 x 100-byte edits" "$r2_time" "${o2_time:-}" "$r2_sent" "${o2_sent:-}"
printf '%-34s %12s %12s\n' "3. local save -> upload" "n/a" "${o3_time:--}"
if [ -n "${o2_sent:-}" ]; then
  awk -v s="$o2_sent" -v m="$mib" 'BEGIN { printf "case 2: ours sent %.3f%% of the file (aim <= 0.5%%)\n", 100 * s / (m * 1048576) }'
fi
echo "aims: case 1 ratio <= 2, case 2 ratio <= 1, case 3 < 1 s"
exit "$failed"
