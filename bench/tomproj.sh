#!/usr/bin/env bash
# Figures of tomproj: a full run of the program on a fixed phantom (wall time,
# CPU time, peak memory), the ratio against the straightforward rendering,
# and, where Debian's plastimatch is installed, the same rays traced by it,
# timed side by side and compared sample by sample.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
work=$(mktemp -d /tmp/tomproj-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j"$(nproc)" --target tomproj projector_bench > /dev/null

cd "$work"
"$build/bench/projector_bench" --write-phantom ball.img
echo "== tomproj, full run (16,777,216 rays), $(nproc) processors"
"$here/bench/measure.py" "tomproj" "ball.img stack.img" -- "$build/tomproj/tomproj" | tee tomproj.time
echo "== library timing and the straightforward rendering"
"$build/bench/projector_bench"

if command -v plastimatch > /dev/null; then
  echo "== plastimatch drr (exact), the same 256 views of 256 x 256 rays"
  "$here/bench/plastimatch_views.sh" "$build/bench/projector_bench" | tee peer.time
  own=$(sed -n 's/^tomproj: wall \([0-9.]*\) s.*/\1/p' tomproj.time)
  peer=$(sed -n 's/^plastimatch drr: wall \([0-9.]*\) s.*/\1/p' peer.time)
  awk -v a="$own" -v b="$peer" 'BEGIN { printf "ratio to plastimatch drr: %.2fx (tomproj %.2f s, plastimatch %.2f s)\n", b / a, a, b }'
  "$build/bench/projector_bench" --compare-pfm peer stack.img
else
  echo "(plastimatch is not installed: apt-get install plastimatch to time and compare against it)"
fi
