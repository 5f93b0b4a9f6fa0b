#!/usr/bin/env bash
# Figures of tomproj: full runs of the program (wall time, CPU time, peak
# memory) on fixed phantoms, the ratio against the straightforward rendering
# measured in the same run, and, where Debian's plastimatch is installed, the
# same rays traced by it, timed side by side and compared sample by sample;
# the transpose of the projector against the projection, kernel by kernel.
#
# The projector leaves out the steps that can only add zeros, so its time
# depends on how much of the traced box a phantom fills: the ball (radius
# 40) and the Shepp-Logan head are typical study phantoms; the random volume
# fills the whole grid and shows the slowest case.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
work=$(mktemp -d /tmp/tomproj-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j"$(nproc)" --target tomproj projector_bench tomphantom > /dev/null

cd "$work"
"$build/bench/projector_bench" --write-phantom ball.img
"$build/bin/tomphantom" shepp-logan shepp.img
"$build/bin/tomphantom" random --seed 1 random.img
for phantom in ball shepp random; do
  echo "== $phantom phantom: tomproj, full run (16,777,216 rays), $(nproc) processors"
  "$here/bench/measure.py" "tomproj" "$phantom.img $phantom.stack" -- "$build/bin/tomproj" |
    tee "$phantom.time"
  echo "-- library timing and the straightforward rendering"
  "$build/bench/projector_bench" "$phantom.img" | tee "$phantom.lib"
  own=$(sed -n 's/^tomproj: wall \([0-9.]*\) s.*/\1/p' "$phantom.time")
  slow=$(sed -n 's/^straightforward rendering, 1 thread: \([0-9.]*\) s.*/\1/p' "$phantom.lib")
  awk -v a="$own" -v b="$slow" -v p="$phantom" \
    'BEGIN { printf "%s: full run %.2f s wall, %.1fx faster than the straightforward rendering (%.1f s)\n", p, a, b / a, b }'
done

echo "== several Volumes per trace: the Shepp-Logan head, K copies projected together"
"$build/bench/projector_bench" --several shepp.img

echo "== the transpose (adjoint) against the projection, Shepp-Logan head, every kernel that runs here"
for kernel in avx512 avx2 portable; do
  if TOMSIM_KERNEL=$kernel "$build/bench/projector_bench" --adjoint shepp.img > adjoint.$kernel 2>&1; then
    cat adjoint.$kernel
  else
    echo "(kernel $kernel: $(tail -1 adjoint.$kernel))"
  fi
done

if command -v plastimatch > /dev/null; then
  echo "== plastimatch drr (exact), the same 256 views of 256 x 256 rays through the ball"
  "$here/bench/plastimatch_views.sh" "$build/bench/projector_bench" | tee peer.time
  own=$(sed -n 's/^tomproj: wall \([0-9.]*\) s.*/\1/p' ball.time)
  peer=$(sed -n 's/^plastimatch drr: wall \([0-9.]*\) s.*/\1/p' peer.time)
  awk -v a="$own" -v b="$peer" 'BEGIN { printf "ratio to plastimatch drr: %.2fx (tomproj %.2f s, plastimatch %.2f s)\n", b / a, a, b }'
  "$build/bench/projector_bench" --compare-pfm peer ball.stack
else
  echo "(plastimatch is not installed: apt-get install plastimatch to time and compare against it)"
fi
