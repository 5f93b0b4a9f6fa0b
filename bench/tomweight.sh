#!/usr/bin/env bash
# Figures of tomweight: a full run (wall time, CPU time, peak memory) on all
# processors and on one, and the ratio against the straightforward rendering
# of the same two files (the literal walk timed on sample views, scaled to
# all 256).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
work=$(mktemp -d /tmp/tomweight-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j2 --target tomweight tomrec_bench > /dev/null

cd "$work"
mkdir one all
echo "== tomweight, full run (16,777,216 rays), $(nproc) processors"
"$here/bench/measure.py" "tomweight" "" -- "$build/bin/tomweight" --dir all 2>&1 \
  | tee all.txt
echo "== tomweight on one processor"
"$here/bench/measure.py" "tomweight (taskset -c 0)" "" -- taskset -c 0 "$build/bin/tomweight" --dir one
cmp all/long_sum_voxel.img one/long_sum_voxel.img && cmp all/long_sum_detector.img one/long_sum_detector.img \
  && echo "one and all processors: bit-identical files"
"$build/bench/tomrec_bench" --weight-walk | tee literal.txt
python3 - <<'PY'
import re
wall = float(re.search(r"wall ([0-9.]+) s", open("all.txt").read()).group(1))
literal = float(re.search(r"views: ([0-9.]+) s", open("literal.txt").read()).group(1))
print(f"ratio against the straightforward rendering: {literal / wall:.1f}x")
PY
