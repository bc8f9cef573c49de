#!/usr/bin/env bash
# Samples each native pass with perf (call graphs), only while the pass runs, and keeps the
# per-library and per-symbol summaries in bench/results/perf-<pass>.txt.
set -eu
n=${1:-1000000}
shape=${2:-merge-rich}
here=$(cd "$(dirname "$0")" && pwd)
out=$here/results
mkdir -p "$out"
tmp=$(mktemp -d)
mkfifo "$tmp/ctl" "$tmp/ack"
: > "$out/perf-summary.txt"
for pass in qc2dag dag2qc compress dd; do
    PERF_CTL_FIFO=$tmp/ctl PERF_ACK_FIFO=$tmp/ack \
        perf record -q -F 499 -g -D -1 --control "fifo:$tmp/ctl,$tmp/ack" -o "$tmp/$pass.data" \
        -- python "$here/profile_native.py" "$pass" "$n" "$shape" 2 2>&1 | grep -v '^Events disabled\|^Events enabled' || true
    {
        echo "# perf: $pass, $shape, $n gates"
        perf report -i "$tmp/$pass.data" --no-children --sort dso --stdio -g none 2>/dev/null | grep -v '^$' | head -20
        perf report -i "$tmp/$pass.data" --no-children --sort dso,symbol --stdio -g none 2>/dev/null \
            | grep -v '^$' | grep -v '^#' | head -60
    } > "$out/perf-$pass.txt"
    python "$here/profile_summary.py" "$pass, $shape, $n gates" "$tmp/$pass.data" | tee -a "$out/perf-summary.txt"
done
rm -rf "$tmp"
