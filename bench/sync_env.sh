# Shared by the sync benchmarks (sourced, not run): a Release build, reference
# servers and daemons on loopback in a scratch folder, clocks and figures.
# Times come from bash's own $EPOCHREALTIME and CPU times from /proc, so a bench
# runs no timing tool besides itself. The caller sets: src (the source tree), tmp
# (the scratch folder), limit (seconds any wait may take), and calls bench_cleanup
# on exit.

bench_pids=()
bench_cleanup() {
  # Daemons first (nimbrelctl sends "stop"), then the servers; what has not ended
  # after 15 s is killed with its process group (each was started by setsid).
  local p i
  for p in "${bench_pids[@]}"; do
    [ -n "$p" ] || continue
    kill -TERM "$p" 2>/dev/null || true
    for i in $(seq 150); do
      kill -0 "$p" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  bench_pids=()
  [ -z "${tmp:-}" ] || rm -rf "$tmp"
}

# NIMBREL_BENCH_BIN names a folder of binaries built elsewhere (another checkout, for a
# before/after run): used as they are, nothing is built.
bench_build() {
  if [ -n "${NIMBREL_BENCH_BIN:-}" ]; then
    bin=$NIMBREL_BENCH_BIN
    ctl=$bin/nimbrelctl
    return
  fi
  local build=${NIMBREL_BENCH_BUILD:-build-rel}
  cmake -S "$src" -B "$src/$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SANITIZE=OFF -DNIMBREL_BENCH=OFF >/dev/null
  cmake --build "$src/$build" -j2 --target nimbreld nimbrelctl nimbrel-refserver >/dev/null
  bin=$src/$build/bin
  ctl=$bin/nimbrelctl
}

now() { echo "$EPOCHREALTIME"; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
# Median and the 95th percentile (nearest rank) of the numbers given as arguments.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.10g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
p95() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { i = int(NR * 0.95 + 0.999); if (i < 1) i = 1; print v[i] }'; }
# CPU seconds (user + system) a process used so far, and its peak resident set in MiB.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat" 2>/dev/null || echo 0; }
peak_rss_mib() { awk '/^VmHWM:/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || echo 0; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until the command succeeds, looking every $step seconds; false after $limit.
step=0.05
wait_for() {
  local deadline=$((${EPOCHSECONDS} + limit))
  until "$@"; do
    [ "$EPOCHSECONDS" -lt "$deadline" ] || return 1
    sleep "$step"
  done
}

# start_server DIR [OPTIONS...]: a reference server storing in DIR/data, its log in
# DIR/refserver.log; sets server_pid, sport and fingerprint.
start_server() {
  local dir=$1
  shift
  mkdir -p "$dir"
  setsid "$bin/nimbrel-refserver" "$@" "$dir/data" >"$dir/refserver.out" 2>"$dir/refserver.log" </dev/null &
  server_pid=$!
  bench_pids=($server_pid "${bench_pids[@]}")
  local _
  for _ in $(seq 200); do
    [ -s "$dir/refserver.out" ] && [ "$(grep -c . "$dir/refserver.out")" -ge 2 ] && break
    sleep 0.05
  done
  sport=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$dir/refserver.out")
  fingerprint=$(sed -n 's/^certificate sha256 \([0-9a-fA-F:]*\)$/\1/p' "$dir/refserver.out")
  [ -n "$sport" ] || { echo "bench: the reference server did not start" >&2; exit 1; }
}

# start_client HOME: a daemon behind nimbrelctl daemon with its state in HOME, linked
# to the server started last (TLS, pinned); sets client_pid (nimbrelctl) and
# daemon_pid (nimbreld).
start_client() {
  local home=$1
  mkdir -p "$home/log"
  if [ ! -f "$home/nimbreld.conf" ]; then
    "$ctl" init-config --config "$home/nimbreld.conf" --state "$home" 2>/dev/null
    # NIMBREL_BENCH_WORKERS=N: the client runs N workers instead of its default.
    [ -z "${NIMBREL_BENCH_WORKERS:-}" ] ||
      sed -i "s/^worker_count = .*/worker_count = $NIMBREL_BENCH_WORKERS/" "$home/nimbreld.conf"
  fi
  setsid "$ctl" daemon --config "$home/nimbreld.conf" --state "$home" --nimbreld "$bin/nimbreld" \
    >>"$home/log/notifications.jsonl" 2>>"$home/log/nimbrelctl.log" </dev/null &
  client_pid=$!
  bench_pids=($client_pid "${bench_pids[@]}")
  local _
  for _ in $(seq 200); do
    "$ctl" status --state "$home" >/dev/null 2>&1 && break
    sleep 0.05
  done
  daemon_pid=$(pgrep -P "$client_pid" -x nimbreld | head -1)
  send "$home" '{"action": "link"}'
  send "$home" "{\"action\": \"link_connection\", \"connection_id\": 1, \"server_ip\": \"127.0.0.1\",
    \"server_port\": $sport, \"session\": \"bench\", \"use_ssl\": true, \"ssl_fingerprint\": \"$fingerprint\"}"
}

# stop_client: ends the client started last and its daemon.
stop_client() {
  kill -TERM "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  local p keep=()
  for p in "${bench_pids[@]}"; do
    [ "$p" = "$client_pid" ] || keep+=("$p")
  done
  bench_pids=("${keep[@]}")
}

send() {
  local reply
  reply=$("$ctl" send --state "$1" "$2") && [[ $reply != *'"error"'* ]] ||
    { echo "bench: the daemon refused $2: ${reply:-no reply}" >&2; exit 1; }
}

# add_session HOME ID VIEW FOLDER: a session of the whole view, everything allowed,
# resumed at once.
add_session() {
  local home=$1 id=$2 view=$3 folder=$4
  mkdir -p "$home/session$id/conf" "$folder"
  printf '[Version]\nmajor = 1\nminor = 0\n' >"$home/session$id/conf/blacklist.filter"
  printf '[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = "*"\n' >"$home/session$id/conf/whitelist.filter"
  send "$home" "{\"action\": \"add_session\", \"connection_id\": 1, \"session_id\": $id, \"view_id\": $view,
    \"config_path\": \"$home/session$id\", \"sync_folder\": \"$folder\"}"
  send "$home" "{\"action\": \"resume\", \"session_id\": $id}"
}

# Live files of a view at a server (latest change per path, not removed).
server_files() {
  sqlite3 -cmd '.timeout 10000' "$1/data/index.sqlite" \
    "SELECT count(*) FROM (SELECT max(sync_id) AS last FROM changes WHERE view_id = $2 GROUP BY path) l
     JOIN changes c ON c.sync_id = l.last WHERE c.is_dir = 0 AND c.is_removed = 0;" 2>/dev/null || echo 0
}

bench_require() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup installs it)" >&2; exit 2; }
  done
}
