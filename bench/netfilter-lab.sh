#!/usr/bin/env bash
# bench/netfilter-lab.sh BIN_DIR [RUNS [ARGS...]]: NetfilterLabBench RUNS times (default 3, as
# root) with ARGS (such as --filter_nice=-10), then the median of every counter over all
# repetitions of all runs. The laboratory shares the
# machine's CPUs with whatever else runs, so single runs wander; medians of several settle.
set -euo pipefail
bin=${1:?usage: bench/netfilter-lab.sh BIN_DIR [RUNS [ARGS...]]}
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for run in $(seq 1 "$runs"); do
  echo "run $run of $runs (load average $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  "$bin/NetfilterLabBench" "$@" --benchmark_out="$work/run$run.json" --benchmark_out_format=json \
    > "$work/run$run.txt" 2>&1 || { cat "$work/run$run.txt" >&2; exit 1; }
  grep -h "skipped\|netfilter stopped" "$work/run$run.txt" >&2 || true
done
python3 - "$work"/run*.json <<'PY'
import json, statistics, sys
skip = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
        "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
        "time_unit", "aggregate_name", "aggregate_unit"}
values = {}
for path in sys.argv[1:]:
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name = b["run_name"].split("/iterations")[0]
        for key, value in b.items():
            if key not in skip and isinstance(value, (int, float)):
                values.setdefault(name, {}).setdefault(key, []).append(value)
for name, counters in values.items():
    print(name)
    for key, samples in sorted(counters.items()):
        print(f"  {key:32} median {statistics.median(samples):12.2f}"
              f"   min {min(samples):12.2f}   max {max(samples):12.2f}   n {len(samples)}")
PY
