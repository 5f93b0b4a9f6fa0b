#!/usr/bin/env bash
# Usage: bench/quant.sh [WORK_DIR]
# Quantitative reconstruction, side by side, on the Shepp-Logan head and on a
# water cylinder with inserts (air, lung, fat, acrylic, bone), both projected
# by tomproj: tomrec on the rebinned stack, FDK with each window, OS-SART
# (from zero and from the FDK image) and plastimatch's FDK on the very same
# projections; then, on the head's projections made noisy by tomnoise at
# each dose of NOISY_I0 (default 1e4 1e3), FDK against SIRT and OS-SART
# stopped at the noise level the dose implies. For each: wall and CPU seconds, Pearson r (whole
# volume and central axial slice) and RMSE against the phantom; for the
# cylinder also every insert's mean relative to water. Writes the README's
# figures (phantom | tomrec | FDK | OS-SART, axial and coronal) to
# WORK_DIR/quant-montage-axial.png and -coronal.png. The machine is shared: the CPU seconds are
# the steadier figure. BUILD_DIR (default build-bench) is the build used;
# OSART_PASSES (default 6) the passes from zero.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
work=${1:-$(mktemp -d /tmp/quant-bench-XXXXXX)}
passes=${OSART_PASSES:-3}
subsets=${OSART_SUBSETS:-64}
sirt_passes=${SIRT_PASSES:-30}
noisy_doses=(${NOISY_I0:-1e4 1e3})
mkdir -p "$work"
work=$(cd "$work" && pwd)
py=/usr/bin/python3  # Debian's interpreter, the one with numpy

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j2 --target tomproj tomrec tomweight tomphantom tomrebin tompng \
  tomcompare tomfdk tomiter tomnoise > /dev/null
tool() { echo "$build/bin/$1"; }
measure() { "$here/bench/measure.py" "$@"; }
cd "$work"
echo "== $(nproc) processors: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), load $(cut -d' ' -f1-3 /proc/loadavg)"

# The water cylinder (radius 50, z in [-50, 50], value 1) with five
# cylindrical inserts of radius 9 running its whole length.
"$py" - <<'PY'
import numpy as np
iz, iy, ix = np.indices((128, 128, 128))
x, y, z = ix - 63.5, 64.5 - iy, 64.5 - iz
v = np.zeros((128, 128, 128), "<f4")
body = (x * x + y * y <= 50 ** 2) & (np.abs(z) <= 50)
v[body] = 1.0
inserts = {"air": (0.0, 28, 0), "lung": (0.3, 8.65, 26.6), "fat": (0.9, -22.65, 16.46),
           "acrylic": (1.2, -22.65, -16.46), "bone": (1.8, 8.65, -26.6)}
for name, (value, cx, cy) in inserts.items():
    v[((x - cx) ** 2 + (y - cy) ** 2 <= 9 ** 2) & (np.abs(z) <= 50)] = value
v.tofile("cylinder.img")
PY
"$(tool tomphantom)" shepp-logan head.img

if command -v plastimatch > /dev/null; then
  # plastimatch reads PFM views beside their projection matrices. Its own
  # DRR of an empty volume, with the scan's geometry (bench/plastimatch_views.sh),
  # writes the matrices; the views are then replaced by tomproj's.
  "$py" -c "import numpy as np; np.zeros((4, 4, 4), '<f4').tofile('empty.raw')"
  printf 'ObjectType = Image\nNDims = 3\nDimSize = 4 4 4\nElementSpacing = 1 1 1\nOffset = -1.5 -1.5 -1.5\nElementType = MET_FLOAT\nElementByteOrderMSB = False\nElementDataFile = empty.raw\n' > empty.mhd
  mkdir -p geometry
  plastimatch drr -i exact -t pfm --sad 256 --sid 512 -r "256 256" -z "256 256" -c "128 128" \
    --vup "0 0 -1" -y -1.5707963267948966 -P none -s 10 -a 256 -N 1.40625 -O geometry/view \
    empty.mhd > /dev/null
fi

rows=()
row() { rows+=("$(printf '| %-9s | %-22s | %7s | %7s | %7.4f | %7.4f | %9.5f | %s |' "$@")"); }
# figures PHANTOM VOLUME -> "r_whole r_slice rmse"
figures() {
  "$(tool tomcompare)" --no-fail --format kv "$1" "$2" |
    awk -F= '/^whole.pearson_r=/{a=$2} /^axial_slice.pearson_r=/{b=$2} /^whole.rmse=/{c=$2} END{print a, b, c}'
}
# timed LABEL COMMAND... -> sets wall, cpu
timed() {
  local out
  out=$(measure "$1" "${STDIN_TEXT:-}" -- "${@:2}" 2>&1 | tail -n 1)
  echo "$out" >&2
  wall=$(sed -n 's/.*wall \([0-9.]*\) s.*/\1/p' <<< "$out")
  cpu=$(sed -n 's/.*cpu \([0-9.]*\) s.*/\1/p' <<< "$out")
}
insert_means() {
  "$py" - "$1" <<'PY'
import sys, numpy as np
v = np.fromfile(sys.argv[1], "<f4").reshape(128, 128, 128)
iz, iy, ix = np.indices(v.shape)
x, y, z = ix - 63.5, 64.5 - iy, 64.5 - iz
core = np.abs(z) <= 40
def mean(cx, cy, r):
    return float(v[((x - cx) ** 2 + (y - cy) ** 2 <= r * r) & core].mean())
water = mean(0, 0, 8)
names = [("air", 28, 0), ("lung", 8.65, 26.6), ("fat", -22.65, 16.46),
         ("acrylic", -22.65, -16.46), ("bone", 8.65, -26.6)]
ratios = " ".join(f"{n} {mean(cx, cy, 6) / water:.3f}" for n, cx, cy in names)
centre = float(v[(x * x + y * y <= 64) & (np.abs(z) <= 5)].mean())
ends = float(v[(x * x + y * y <= 64) & (np.abs(z) >= 35) & (np.abs(z) <= 40)].mean())
print(f"water {water:.4f}, ends/centre {ends / centre:.3f}; x water: {ratios}")
PY
}

for phantom in head cylinder; do
  echo "== $phantom"
  STDIN_TEXT="$phantom.img $phantom.stack" timed "tomproj" "$build/bin/tomproj"

  # tomrec on the rebinned stack (scripts/study.sh's pipeline); the weight
  # files are made once.
  "$(tool tomrebin)" "$phantom.stack" "$phantom.rebinned" 2> /dev/null
  if [ ! -f weights/long_sum_voxel.img ]; then
    mkdir -p weights
    "$(tool tomweight)" --dir weights 2> /dev/null
  fi
  mkdir -p "rec-$phantom"
  ln -sf ../weights/long_sum_detector.img "rec-$phantom/long_sum_detector.img"
  ln -sf ../weights/long_sum_voxel.img "rec-$phantom/long_sum_voxel.img"
  cd "rec-$phantom"
  STDIN_TEXT="../$phantom.rebinned tomrec.img" timed "tomrec" "$build/bin/tomrec"
  cd "$work"
  read -r a b c <<< "$(figures "$phantom.img" "rec-$phantom/tomrec.img")"
  row "$phantom" "tomrec (rebinned)" "$wall" "$cpu" "$a" "$b" "$c" "own units; rebinning, weights not timed"
  cp "rec-$phantom/tomrec.img" "$phantom.tomrec.img"
  [ "$phantom" = cylinder ] && echo "tomrec: $(insert_means "$phantom.tomrec.img")"

  for window in ram-lak shepp-logan cosine hamming hann; do
    timed "tomfdk $window" "$(tool tomfdk)" --filter "$window" "$phantom.stack" "$phantom.fdk-$window.img"
    read -r a b c <<< "$(figures "$phantom.img" "$phantom.fdk-$window.img")"
    row "$phantom" "FDK $window" "$wall" "$cpu" "$a" "$b" "$c" ""
    [ "$phantom" = cylinder ] && echo "FDK $window: $(insert_means "$phantom.fdk-$window.img")"
  done

  mkdir -p cache
  timed "tomiter OS-SART from zero" "$(tool tomiter)" --subsets "$subsets" --iterations "$passes" \
    --cache cache --truth "$phantom.img" --log "$phantom.osart.csv" "$phantom.stack" "$phantom.osart.img"
  read -r a b c <<< "$(figures "$phantom.img" "$phantom.osart.img")"
  reach=$(awk -F, 'NR > 2 && $6 >= 0.97 && !t { t = $2 } END { print t ? sprintf("r >= 0.97 after %.0f s of passes", t) : "r < 0.97" }' "$phantom.osart.csv")
  row "$phantom" "OS-SART $subsets, $passes passes" "$wall" "$cpu" "$a" "$b" "$c" "from zero; $reach"
  [ "$phantom" = cylinder ] && echo "OS-SART: $(insert_means "$phantom.osart.img")"
  timed "tomiter OS-SART from FDK" "$(tool tomiter)" --subsets "$subsets" --iterations 2 --start fdk \
    --cache cache --truth "$phantom.img" --log "$phantom.osart-fdk.csv" "$phantom.stack" "$phantom.osart-fdk.img"
  read -r a b c <<< "$(figures "$phantom.img" "$phantom.osart-fdk.img")"
  row "$phantom" "OS-SART $subsets, 2 passes" "$wall" "$cpu" "$a" "$b" "$c" "from FDK ram-lak; sums cached"

  if command -v plastimatch > /dev/null; then
    rm -rf peer && cp -r geometry peer
    "$py" - "$phantom.stack" <<'PY'
import sys, numpy as np
stack = np.fromfile(sys.argv[1], "<f4").reshape(256, 65536)
for v in range(256):
    with open(f"peer/view{v:04d}.pfm", "wb") as f:
        f.write(b"Pf\n256 256\n-1\n")
        f.write(stack[v].tobytes())
PY
    timed "plastimatch fdk" plastimatch fdk -I peer -O "$phantom.peer.mha" -r "128 128 128" \
      -z "128 128 128" -A cpu
    # Its grid is centred on the axis; the project's voxel centres lie half a
    # voxel off along y and z, where its index runs the other way: voxel
    # (ix, iy, iz) is its (ix, iy - 1, iz - 1).
    "$py" - "$phantom.peer.mha" "$phantom.peer.img" <<'PY'
import sys, numpy as np
raw = open(sys.argv[1], "rb").read()
key = b"ElementDataFile = LOCAL\n"
a = np.frombuffer(raw[raw.index(key) + len(key):], "<f4").reshape(128, 128, 128)
out = np.zeros_like(a)
out[1:, 1:, :] = a[:-1, :-1, :]
out.tofile(sys.argv[2])
PY
    read -r a b c <<< "$(figures "$phantom.img" "$phantom.peer.img")"
    row "$phantom" "plastimatch fdk" "$wall" "$cpu" "$a" "$b" "$c" "its own units (RMSE not comparable)"
    [ "$phantom" = cylinder ] && echo "plastimatch: $(insert_means "$phantom.peer.img")"
  fi
done

# Noisy projections of the head: does an iterative reconstruction stopped at
# the noise level beat FDK's RMSE?
for i0 in "${noisy_doses[@]}"; do
  echo "== head, I0 $i0"
  "$(tool tomnoise)" --i0 "$i0" --seed 1 head.stack "head.noisy-$i0.stack" 2> /dev/null
  for window in ram-lak hann; do
    timed "tomfdk $window, I0 $i0" "$(tool tomfdk)" --filter "$window" "head.noisy-$i0.stack" "head.noisy-$i0.fdk-$window.img"
    read -r a b c <<< "$(figures head.img "head.noisy-$i0.fdk-$window.img")"
    row "I0 $i0" "FDK $window" "$wall" "$cpu" "$a" "$b" "$c" "noisy head"
  done
  iterative=("$subsets")
  [ "$sirt_passes" -gt 0 ] && iterative=(1 "$subsets")
  for s in "${iterative[@]}"; do
    label="OS-SART $s"; [ "$s" = 1 ] && label="SIRT, λ 1.9"
    # SIRT from the FDK image (from zero it needs hundreds of passes), with
    # the relaxation near its bound of 2: half the passes.
    most=20 relax=1 from=zero
    [ "$s" = 1 ] && most=$sirt_passes relax=1.9 from=fdk
    timed "tomiter $label, I0 $i0" "$(tool tomiter)" --subsets "$s" --iterations "$most" --relaxation "$relax" \
      --start "$from" --noise-i0 "$i0" \
      --cache cache --truth head.img --log "head.noisy-$i0.$s.csv" "head.noisy-$i0.stack" "head.noisy-$i0.iter-$s.img"
    read -r a b c <<< "$(figures head.img "head.noisy-$i0.iter-$s.img")"
    used=$(awk -F, 'END { print $1 }' "head.noisy-$i0.$s.csv")
    why="$used passes to the noise level"
    [ "$used" = "$most" ] && why="stopped at the limit of $most passes"
    row "I0 $i0" "$label, stopped" "$wall" "$cpu" "$a" "$b" "$c" "noisy head; from $from; $why"
  done
done

echo
echo "| phantom   | method                 | wall s  | cpu s   | r whole | r slice | RMSE      | note |"
echo "|-----------|------------------------|---------|---------|---------|---------|-----------|------|"
printf '%s\n' "${rows[@]}"

# The README's figure: the head's central axial and coronal slices.
pngs=()
for which in head head.tomrec head.fdk-ram-lak head.osart; do
  window=(--window 0,0.5)
  [ "$which" = head.tomrec ] && window=(--percentiles 1,99)
  "$(tool tompng)" --axial 64 "${window[@]}" --zoom 2 "$which.img" "$which.axial.png" > /dev/null
  "$(tool tompng)" --coronal 64 "${window[@]}" --zoom 2 "$which.img" "$which.coronal.png" > /dev/null
done
for plane in axial coronal; do
  "$(tool tompng)" --montage "quant-montage-$plane.png" \
    --label "phantom, $plane" "head.$plane.png" --label "tomrec (rebinned)" "head.tomrec.$plane.png" \
    --label "FDK ram-lak" "head.fdk-ram-lak.$plane.png" --label "OS-SART" "head.osart.$plane.png" > /dev/null
done
echo "figures: $work/quant-montage-axial.png $work/quant-montage-coronal.png"
