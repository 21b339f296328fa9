#!/usr/bin/env bash
# Times the delta engine against rdiff on the same files in one run and prints the ratios:
# signature, delta and patch (ours / rdiff), MD4 against reading the file, and signature
# against MD4. Files: a random file (NIMBREL_BENCH_MIB MiB, default 256) and a copy with
# 1% of its blocks changed and one with half its blocks new, made under /tmp by the
# benchmark and deleted afterwards.
# Usage: bench/compare_rdiff.sh [REPETITIONS]      (default 7; medians are compared)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-7}
build=${NIMBREL_BENCH_BUILD:-build-rel}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SANITIZE=OFF -DNIMBREL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_delta_engine >/dev/null
out=$(mktemp /tmp/nimbrel-bench-result-XXXXXX.json)
trap 'rm -f "$out"' EXIT
"$build/bin/bench_delta_engine" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
rows = json.load(open(sys.argv[1]))["benchmarks"]
med = {r["run_name"].split("/")[0]: r["real_time"] for r in rows if r.get("aggregate_name") == "median"}
def ratio(a, b, label, aim):
    if a in med and b in med:
        r = med[a] / med[b]
        print(f"{label:<32} {med[a]:9.1f} ms / {med[b]:9.1f} ms = {r:5.2f}   (aim {aim})")
print("median wall times, ratio = first / second")
ratio("BM_Signature_Ours", "BM_Signature_Rdiff", "signature: ours / rdiff", "< 1")
ratio("BM_Delta_Ours", "BM_Delta_Rdiff", "delta (1% changed): ours / rdiff", "< 1")
ratio("BM_DeltaHalfNew_Ours", "BM_DeltaHalfNew_Rdiff", "delta (half new): ours / rdiff", "< 1")
ratio("BM_Patch_Ours", "BM_Patch_Rdiff", "patch: ours / rdiff", "< 1")
ratio("BM_Md4", "BM_ReadFile", "md4 / reading the file", "-")
ratio("BM_Signature_Ours", "BM_Md4", "signature / md4", "<= 1.2")
import os
mib = int(os.environ.get("NIMBREL_BENCH_MIB", "256"))
for name in ("BM_DeltaHalfNew_Ours", "BM_DeltaHalfNew_Rdiff"):
    if name in med:
        print(f"{name:<32} {mib * 1048576 / 1e6 / (med[name] / 1000):9.1f} MB/s")
PY
