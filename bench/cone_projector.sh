#!/usr/bin/env bash
# Figures of the cone projector (the exact voxel walk on any scan vectors)
# and its transpose, with the kernel that ran:
#  (a) the defined scan's rays through the general walk against tomproj's
#      own tracer, on the Shepp-Logan head, in the same run;
#  (b) the matched backprojection against the projection on that scan;
#  (c) a larger scan (256^3 voxels of 0.5 mm, 360 views of 384 x 512 pixels
#      of 0.8 mm, source at 500 mm, panel at 800 mm) against Debian's
#      plastimatch drr -i exact on the same rays: both times, and the RMSE of
#      the two stacks relative to the largest line integral, away from the
#      detector's border; peak memory of the run from /usr/bin/time -v.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
work=$(mktemp -d /tmp/cone-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j"$(nproc)" --target tomproj tomphantom cone_bench > /dev/null

cd "$work"
"$build/bin/tomphantom" shepp-logan shepp.img
echo "== (a, b) the defined scan, Shepp-Logan head, $(nproc) processors"
"$here/bench/measure.py" "tomproj (its own tracer, whole run)" "shepp.img shepp.stack" -- "$build/bin/tomproj"
"$build/bench/cone_bench" defined shepp.img shepp.stack

echo "== (c) 256^3 voxels of 0.5 mm, 360 views of 384 x 512"
mkdir -p large peer
/usr/bin/time -v "$build/bench/cone_bench" large large 2> large.time
grep -E "Maximum resident" large.time | sed 's/^\s*/cone_bench large (volume 64 MiB + stack 270 MiB): /'
if command -v plastimatch > /dev/null; then
  # The peer's frame is (x, -y, -z) of this one (see large/large.mhd). As
  # bench/plastimatch_views.sh has it: its start angle (-y) is read in
  # radians, -pi/2 putting the source on -y of this frame, its step (-N) in
  # degrees; its -r, -z and -c take columns first; -s 10 because its exact
  # mode integrates in cm.
  "$here/bench/measure.py" "plastimatch drr -i exact (360 views)" "" -- \
    plastimatch drr -i exact -t pfm --sad 500 --sid 800 -r "512 384" -z "409.6 307.2" -c "255.5 191.5" \
    --vup "0 0 -1" -y -1.5707963267948966 -N 1 -a 360 -P none -s 10 -O peer/view large/large.mhd
  "$build/bench/cone_bench" compare-pfm peer large/large.stack
else
  echo "(plastimatch is not installed: apt-get install plastimatch to time and compare against it)"
fi
