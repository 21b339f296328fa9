#!/usr/bin/env bash
# Times the event path of this tree against a baseline revision in one run and prints
# the ratios: events queued through EventManager per second (file status database open,
# a UI listening on loopback) and how long the removal of a folder with 5,000 waiting
# children keeps the manager's lock. The baseline is the same benchmark source built
# against the baseline revision's code (git archive of NIMBREL_BASELINE_REF, default
# main) in its own Release build directory.
# Usage: bench/compare_event_path.sh [REPETITIONS]      (default 3; medians are compared)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-3}
build=${NIMBREL_BENCH_BUILD:-build-rel}
base_ref=${NIMBREL_BASELINE_REF:-main}
base_root=${NIMBREL_BASELINE_DIR:-build-bench-base}

# Ours.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SANITIZE=OFF -DNIMBREL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_event_manager >/dev/null

# The baseline: its sources as committed, this benchmark added.
base_commit=$(git rev-parse "$base_ref")
rm -rf "$base_root/src"
mkdir -p "$base_root/src"
git archive "$base_commit" | tar -x -C "$base_root/src"
cp bench/event_manager.cpp "$base_root/src/bench/event_manager.cpp"
cmake -S "$base_root/src" -B "$base_root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SANITIZE=OFF \
  -DNIMBREL_BENCH=ON -DNIMBREL_TESTS=OFF -DCMAKE_CXX_FLAGS=-DNIMBREL_BENCH_BASELINE >/dev/null
cmake --build "$base_root/build" -j2 --target bench_event_manager >/dev/null

ours=$(mktemp /tmp/nimbrel-bench-ours-XXXXXX.json)
base=$(mktemp /tmp/nimbrel-bench-base-XXXXXX.json)
trap 'rm -f "$ours" "$base"' EXIT
echo "baseline: $base_ref ($base_commit)"
for i in $(seq "$reps"); do
  "$base_root/build/bin/bench_event_manager" --benchmark_out="$base.$i" --benchmark_out_format=json >/dev/null 2>&1
  "$build/bin/bench_event_manager" --benchmark_out="$ours.$i" --benchmark_out_format=json >/dev/null 2>&1
done
python3 - "$ours" "$base" "$reps" <<'PY'
import json, statistics, sys
ours, base, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
def load(prefix):
    vals = {}
    for i in range(1, reps + 1):
        for r in json.load(open(f"{prefix}.{i}"))["benchmarks"]:
            for k in ("events_per_s", "events_per_s_written", "ui_received", "removal_call_ms", "lock_wait_max_ms"):
                if k in r:
                    vals.setdefault(k, []).append(r[k])
    return {k: statistics.median(v) for k, v in vals.items()}
o, b = load(ours), load(base)
print(f"{'median of ' + str(reps) + ' runs':<44} {'baseline':>12} {'ours':>12} {'ours/base':>10}")
for k, label in (("events_per_s", "events queued per second"),
                 ("events_per_s_written", "  ... until marks written, notices out"),
                 ("ui_received", "  notices the UI received (of 3 x 20,000)"),
                 ("removal_call_ms", "remove folder, 5,000 waiting: call ms"),
                 ("lock_wait_max_ms", "  longest wait for the lock meanwhile ms")):
    if k in o and k in b:
        ratio = o[k] / b[k] if b[k] else float("nan")
        print(f"{label:<44} {b[k]:12.1f} {o[k]:12.1f} {ratio:10.3f}")
print("aim: >= 100,000 events queued per second; the lock never held across I/O")
PY
rm -f "$ours".* "$base".*
