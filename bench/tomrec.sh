#!/usr/bin/env bash
# Figures of tomrec: a full run of the program (wall time, CPU time, peak
# memory) on a fixed test stack with weight files made by tomweight; the
# filtering and backprojection stages timed apart through the library; the
# ratio against the straightforward rendering (timed on sample views and
# scaled to all 256); and, where Debian's plastimatch is installed, its FDK
# reconstruction of the same geometry for scale.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
work=$(mktemp -d /tmp/tomrec-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j2 --target tomrec tomweight tomrec_bench projector_bench > /dev/null

cd "$work"
"$build/bench/tomrec_bench" --write-stack stack.img
"$build/bin/tomweight" 2> /dev/null
echo "== tomrec, full run (16,777,216 rays), $(nproc) processors"
"$here/bench/measure.py" "tomrec" "stack.img volume.img" -- "$build/bin/tomrec"
echo "== tomrec, full run on one processor"
"$here/bench/measure.py" "tomrec (taskset -c 0)" "stack.img volume1.img" -- taskset -c 0 "$build/bin/tomrec"
cmp volume.img volume1.img && echo "one and all processors: bit-identical volumes"
echo "== stages through the library, and the straightforward rendering"
"$build/bench/tomrec_bench" stack.img
echo "== several stacks per walk: K copies of the test stack backprojected together"
"$build/bench/tomrec_bench" --several stack.img

if command -v plastimatch > /dev/null; then
  echo "== plastimatch fdk (cpu), 256 views of 256 x 256 onto 128^3, for scale"
  "$here/bench/plastimatch_views.sh" "$build/bench/projector_bench"
  "$here/bench/measure.py" "plastimatch fdk" "" -- plastimatch fdk -I peer -O peer_fdk.mha \
    -r "128 128 128" -z "128 128 128" -A cpu
else
  echo "(plastimatch is not installed: apt-get install plastimatch to time its fdk for scale)"
fi
