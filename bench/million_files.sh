#!/usr/bin/env bash
# A view of NIMBREL_MILLION_FILES (1000000) empty files in folders of 1,000, written
# straight into a fresh reference server's index (and the one empty blob), then:
#   1. a client's first pull of the whole view: the time until the server has sent
#      the reply and the client's peak resident memory (VmHWM of nimbreld);
#   2. the time until every file is in the client's folder and its status says up
#      to date (its peak memory again);
#   3. the client restarted on the unchanged folder: the time from its start until
#      it has pulled again and its status says up to date. (The status can say "up to
#      date" while a rescan still runs; the bench also waits for the first pull after
#      the restart, and reports what it saw.)
# Each wait ends after NIMBREL_MILLION_TIMEOUT seconds (7200). Smaller runs:
#   NIMBREL_MILLION_FILES=20000 bench/million_files.sh
# NIMBREL_MILLION_PULL_ONLY=1 stops after step 1 (the server's and the puller's part).
# Aims: the pull completes, client RSS <= 600 MB, restart to up to date <= 15 s.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
source bench/sync_env.sh

n=${NIMBREL_MILLION_FILES:-1000000}
limit=${NIMBREL_MILLION_TIMEOUT:-7200}
bench_require sqlite3 setsid python3
bench_build

tmp=$(mktemp -d "${NIMBREL_MILLION_DIR:-/tmp}/nimbrel-million-XXXXXX")
trap bench_cleanup EXIT
trap 'exit 130' INT TERM
failed=0

start_server "$tmp/server"
empty=31d6cfe0d16ae931b73c59d7e0c089c0  # MD4 of no bytes
: >"$tmp/server/data/blobs/$empty"
t=$(now)
sqlite3 -cmd '.timeout 10000' "$tmp/server/data/index.sqlite" "
  INSERT OR IGNORE INTO views(view_id, created) VALUES (1, strftime('%s'));
  BEGIN;
  WITH RECURSIVE d(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM d WHERE i + 1 < ($n + 999) / 1000)
    INSERT INTO changes(view_id, path, is_dir, mtime) SELECT 1, printf('/d%05d', i), 1, 1700000000 FROM d;
  WITH RECURSIVE f(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM f WHERE i + 1 < $n)
    INSERT INTO changes(view_id, path, hash, size, mtime)
    SELECT 1, printf('/d%05d/f%07d', i / 1000, i), '$empty', 0, 1700000000 FROM f;
  COMMIT;"
echo "million: $n files in the server's index in $(since "$t") s (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2

home=$tmp/client
folder=$tmp/client/folder
uptodate() { "$ctl" status --json --state "$home" 2>/dev/null | grep -q '"uptodate"'; }
pulled_after() {  # log line count: a pull logged after it
  tail -n +"$(($1 + 1))" "$tmp/server/refserver.log" | grep -q 'pull_event: view 1 since'
}
local_files() { find "$folder" -type f -not -path '*/.VarnelWorkingDirectory/*' | wc -l; }

start_client "$home"
t=$(now)
mark=$(wc -l <"$tmp/server/refserver.log")
add_session "$home" 1 1 "$folder"
# A client whose receive limits refuse the whole reply as one value says so in its log.
refused() { grep -q "value too large" "$home/log/nimbreld.log" 2>/dev/null; }
big_pull_sent() { refused || tail -n +"$((mark + 1))" "$tmp/server/refserver.log" | grep -q "pull_event: view 1 since 0: [1-9]"; }
if wait_for big_pull_sent && ! refused; then
  pull_time=$(since "$t")
elif refused; then
  echo "million: the client refused the reply after $(since "$t") s: $(grep -m1 "value too large" "$home/log/nimbreld.log")" >&2
  failed=1
else
  echo "million: the first pull was not answered in ${limit}s" >&2
  failed=1
fi
sleep 3  # the puller is still turning the reply into events
pull_rss=$(peak_rss_mib "$daemon_pid")
if [ "${NIMBREL_MILLION_PULL_ONLY:-0}" = 1 ]; then
  printf '\n%-48s %12s\n%-48s %12s\n' "first pull answered, $n files (s)" "${pull_time:--}" \
    "client peak RSS after the pull (MiB)" "$pull_rss"
  exit "$failed"
fi
step=2
all_here() { uptodate && [ "$(local_files)" -ge "$n" ]; }
if [ "$failed" = 0 ] && wait_for all_here; then
  all_time=$(since "$t")
else
  echo "million: the client had $(local_files) of $n files after ${limit}s" >&2
  failed=1
fi
all_rss=$(peak_rss_mib "$daemon_pid")

restart_time=-
if [ "$failed" = 0 ]; then
  stop_client
  mark=$(wc -l <"$tmp/server/refserver.log")
  t=$(now)
  start_client "$home"
  add_session "$home" 1 1 "$folder"
  step=0.05
  settled() { pulled_after "$mark" && uptodate; }
  if wait_for settled; then
    restart_time=$(since "$t")
  else
    echo "million: the restarted client was not up to date in ${limit}s" >&2
    failed=1
  fi
fi

echo
printf '%-48s %12s %s\n' "figure ($n files)" "measured" "aim"
printf '%-48s %12s %s\n' "first pull answered (s)" "${pull_time:--}" "completes"
printf '%-48s %12s %s\n' "client peak RSS after the pull (MiB)" "$pull_rss" "<= 600 MB"
printf '%-48s %12s %s\n' "every file in place, up to date (s)" "${all_time:--}" ""
printf '%-48s %12s %s\n' "client peak RSS at the end (MiB)" "$all_rss" "<= 600 MB"
printf '%-48s %12s %s\n' "restart to up to date (s)" "$restart_time" "<= 15"
exit "$failed"
