#!/usr/bin/env bash
# Races Nimbrel against rsync on loopback, side by side in one run. Each round runs
# ours, then rsync, for every case, so that machine load falls on both alike; the
# figures are the medians over the rounds, with the ratio ours / rsync:
#   1. first upload of NIMBREL_RACE_FILES (10000) files of 4 KiB, and the CPU per file
#      of each side's client and server;
#   2. a NIMBREL_RACE_MIB (1024) MiB file already on the server, changed by 100 edits
#      of 100 bytes at random offsets, synchronised again, and the bytes each sent.
# rsync: "rsync -a --stats" to an rsync daemon (a scratch module on a free loopback
# port); its time is the client's run time, its CPU the client's and the daemon's
# (with the children it forked), its bytes the client's "Total bytes sent". Ours: a
# Release build of nimbreld behind nimbrelctl daemon, linked over TLS to
# nimbrel-refserver; a fresh session and view per round; its time runs from the
# session's start (case 1) or the edits (case 2) until the server holds the result,
# checked byte for byte against its blob; its bytes are the payload the server logs
# as received. Each wait ends after NIMBREL_RACE_TIMEOUT seconds (300) with a message;
# the run exits 1 when our side did not finish a case.
# Scratch space (about 2 + rounds GiB with the default sizes) in NIMBREL_RACE_DIR
# (/tmp), removed afterwards.
# Usage: bench/race_rsync.sh      (NIMBREL_RACE_ROUNDS=3: rounds per case)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source bench/sync_env.sh

files=${NIMBREL_RACE_FILES:-10000}
mib=${NIMBREL_RACE_MIB:-1024}
rounds=${NIMBREL_RACE_ROUNDS:-3}
limit=${NIMBREL_RACE_TIMEOUT:-300}
bench_require rsync sqlite3 setsid cmp python3
bench_build

tmp=$(mktemp -d "${NIMBREL_RACE_DIR:-/tmp}/nimbrel-race-XXXXXX")
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

echo "race: preparing $files files of 4 KiB and a $mib MiB file in $tmp (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
mkdir -p "$tmp/files"
head -c $((4096 * files)) /dev/urandom >"$tmp/all"
(cd "$tmp/files" && split -b 4096 -d -a 7 "$tmp/all" f)
rm "$tmp/all"
head -c $((mib * 1048576)) /dev/urandom >"$tmp/big.orig"
# The same 100 edits for both sides of a round: 100 random bytes each, at random
# offsets; new ones each round, or the server would already hold the edited content.
new_edits() {
  head -c 10000 /dev/urandom >"$tmp/edits.bin"
  awk -v max=$((mib * 1048576 - 100)) -v seed="$RANDOM" \
    'BEGIN { srand(seed); for (i = 0; i < 100; i++) printf "%d\n", int(rand() * max) }' >"$tmp/offsets"
}
apply_edits() {
  local i=0 off
  while read -r off; do
    dd if="$tmp/edits.bin" of="$1" bs=100 skip=$i count=1 seek="$off" oflag=seek_bytes conv=notrunc status=none
    i=$((i + 1))
  done <"$tmp/offsets"
}
# CPU seconds of the main shell's reaped children (the rsync clients run so far).
children_cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($16 + $17) / hz }' /proc/$$/stat; }
# CPU seconds of a process and of the children it reaped (the rsync daemon forks).
tree_cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15 + $16 + $17) / hz }' "/proc/$1/stat"; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
per_file_us() { awk -v s="$1" -v n="$files" 'BEGIN { printf "%.0f", 1e6 * s / n }'; }
rsync_sent() { sed -n 's/^Total bytes sent: \([0-9,.]*\).*/\1/p' | tr -d ',.'; }

# ---- the peer: an rsync daemon with one writable module
mkdir -p "$tmp/rsync/module"
cat >"$tmp/rsync/rsyncd.conf" <<CONF
pid file = $tmp/rsync/rsyncd.pid
use chroot = no
uid = $(id -u)
gid = $(id -g)
[race]
path = $tmp/rsync/module
read only = no
CONF
rport=$(free_port)
rsync --daemon --no-detach --config="$tmp/rsync/rsyncd.conf" --port="$rport" --address=127.0.0.1 \
  --log-file="$tmp/rsync/rsyncd.log" &
rsyncd=$!
bench_pids+=($rsyncd)
for _ in $(seq 100); do
  rsync "rsync://127.0.0.1:$rport/" >/dev/null 2>&1 && break
  sleep 0.1
done
url=rsync://127.0.0.1:$rport/race

# ---- ours: one server and one daemon; a session (and view) per round
start_server "$tmp/server"
sdir=$tmp/server
home=$tmp/ours
start_client "$home"

q() { sqlite3 -cmd '.timeout 10000' "$sdir/data/index.sqlite" "$1" 2>/dev/null || echo 0; }
# "HASH SYNC_ID" of a path's latest change in a view.
server_latest() { q "SELECT hash || ' ' || sync_id FROM changes WHERE view_id = $1 AND path = '$2' ORDER BY sync_id DESC LIMIT 1;"; }
log_mark() { wc -l <"$sdir/refserver.log"; }
received_since() {
  tail -n +"$(($1 + 1))" "$sdir/refserver.log" |
    sed -n 's/.*stored as [0-9]* ([a-z]*, \([0-9]*\) bytes received).*/\1/p' | awk '{ s += $1 } END { print s + 0 }'
}
failed=0
declare -a o1 r1 o2 r2 o1_dcpu o1_scpu r1_ccpu r1_scpu o2_sent r2_sent

ours_case1() {  # round
  local r=$1 local_dir=$tmp/ours/local$1 t dc sc
  mkdir -p "$local_dir"
  cp -r "$tmp/files/." "$local_dir/"
  dc=$(cpu_of "$daemon_pid")
  sc=$(cpu_of "$server_pid")
  t=$(now)
  add_session "$home" "$r" "$r" "$local_dir"
  all_uploaded() { [ "$(server_files "$sdir" "$r")" -ge "$files" ]; }
  if wait_for all_uploaded; then
    o1+=("$(since "$t")")
    o1_dcpu+=("$(sub "$(cpu_of "$daemon_pid")" "$dc")")
    o1_scpu+=("$(sub "$(cpu_of "$server_pid")" "$sc")")
  else
    echo "race: ours, case 1, round $r: timed out with $(server_files "$sdir" "$r") of $files files" >&2
    failed=1
  fi
}
rsync_case1() {
  local r=$1 t cc sc
  rm -rf "$tmp/rsync/module/case1"
  cc=$(children_cpu)
  sc=$(tree_cpu "$rsyncd")
  t=$(now)
  rsync -a "$tmp/files/" "$url/case1/"
  r1+=("$(since "$t")")
  r1_ccpu+=("$(sub "$(children_cpu)" "$cc")")
  sleep 0.5  # the daemon reaps its connection's child on its own time
  r1_scpu+=("$(sub "$(tree_cpu "$rsyncd")" "$sc")")
}
# seen: when the row was read, so that the byte comparison after it is not timed.
big_on_server() {  # view, hash it must differ from
  local latest
  latest=$(server_latest "$1" /big)
  seen=$(now)
  [ -n "$latest" ] && [ "${latest% *}" != "$2" ] && cmp -s "$tmp/ours/local$1/big" "$sdir/data/blobs/${latest% *}"
}
ours_case2() {
  local r=$1 before mark t
  cp "$tmp/big.orig" "$tmp/ours/local$r/big.part"
  mv "$tmp/ours/local$r/big.part" "$tmp/ours/local$r/big"
  if ! wait_for big_on_server "$r" none; then
    echo "race: ours, case 2, round $r: the $mib MiB file did not reach the server" >&2
    failed=1
    return
  fi
  before=$(server_latest "$r" /big)
  mark=$(log_mark)
  apply_edits "$tmp/ours/local$r/big"
  t=$(now)
  if wait_for big_on_server "$r" "${before% *}"; then
    o2+=("$(awk -v a="$t" -v b="$seen" 'BEGIN { printf "%.3f", b - a }')")
    o2_sent+=("$(received_since "$mark")")
  else
    echo "race: ours, case 2, round $r: the edited file was not on the server" >&2
    failed=1
  fi
  # Scratch space: the next round makes its own session and folder.
  send "$home" "{\"action\": \"pause\", \"session_id\": $r}"
  send "$home" "{\"action\": \"remove_session\", \"session_id\": $r}"
  rm -rf "$tmp/ours/local$r" 2>/dev/null || true
}
rsync_case2() {
  local r=$1 t stats
  rm -rf "$tmp/rsync/src2" "$tmp/rsync/module/case2"
  mkdir -p "$tmp/rsync/src2"
  cp "$tmp/big.orig" "$tmp/rsync/src2/big"
  rsync -a "$tmp/rsync/src2/" "$url/case2/"
  apply_edits "$tmp/rsync/src2/big"
  touch -d "@$((EPOCHSECONDS + 5))" "$tmp/rsync/src2/big"  # a different time stamp, whatever the clock
  t=$(now)
  stats=$(rsync -a --stats "$tmp/rsync/src2/" "$url/case2/")
  r2+=("$(since "$t")")
  r2_sent+=("$(rsync_sent <<<"$stats")")
  cmp -s "$tmp/rsync/src2/big" "$tmp/rsync/module/case2/big" || { echo "race: rsync's copy differs" >&2; exit 1; }
}

for r in $(seq "$rounds"); do
  echo "race: round $r of $rounds (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  ours_case1 "$r"
  rsync_case1 "$r"
  new_edits
  ours_case2 "$r"
  rsync_case2 "$r"
done

med() { [ $# -gt 0 ] && median "$@" || echo -; }
echo
printf '%-36s %10s %10s %8s\n' "case (median of $rounds rounds)" "rsync" "ours" "ratio"
row() { printf '%-36s %10s %10s %8s\n' "$1" "$2" "$3" "$(ratio "$3" "$2")"; }
row "1. $files x 4 KiB first upload (s)" "$(med "${r1[@]}")" "$(med "${o1[@]}")"
row "   client CPU per file (us)" "$(per_file_us "$(med "${r1_ccpu[@]}")")" "$(per_file_us "$(med "${o1_dcpu[@]:-0}")")"
row "   server CPU per file (us)" "$(per_file_us "$(med "${r1_scpu[@]}")")" "$(per_file_us "$(med "${o1_scpu[@]:-0}")")"
row "2. $mib MiB, 100 x 100-byte edits (s)" "$(med "${r2[@]}")" "$(med "${o2[@]}")"
row "   bytes sent" "$(med "${r2_sent[@]}")" "$(med "${o2_sent[@]}")"
if [ ${#o2_sent[@]} -gt 0 ]; then
  awk -v s="$(med "${o2_sent[@]}")" -v m="$mib" \
    'BEGIN { printf "case 2: ours sent %.3f%% of the file (aim <= 0.5%%)\n", 100 * s / (m * 1048576) }'
fi
echo "runs: rsync case 1 ${r1[*]}; ours ${o1[*]:-}; rsync case 2 ${r2[*]}; ours ${o2[*]:-}"
echo "bytes sent per round: rsync ${r2_sent[*]}; ours ${o2_sent[*]:-}"
echo "aims: case 1 ratio <= 2, daemon <= 250 us and server <= 150 us per file; case 2 ratio <= 1"
exit "$failed"
