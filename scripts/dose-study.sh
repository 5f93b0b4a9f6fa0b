#!/usr/bin/env bash
# A study at three doses: the low-contrast insert phantom (oversampled 4^3
# per voxel) is projected with tomproj; tomnoise adds seeded Poisson noise for
# three photon counts I0; each stack, and the noise-free one, is rebinned
# and reconstructed with tomrec; every reconstruction is brought into the
# phantom's units with the scale and offset fitted on the noise-free one
# in the traced cylinder (fitting each noisy one by itself would shrink it
# towards its mean), and
# compared with the phantom: SSIM, errors in the traced cylinder, and the
# contrast-to-noise ratio of every insert. Writes pictures and report.md.
#
# Usage: scripts/dose-study.sh [OUTPUT-FOLDER]   (default: ./dose-study-out)
# Environment: STUDY_BUILD_DIR  an existing build folder to build in and use
#              DOSES            the photon counts (default: "100000 10000 1000")
#              SEED             the noise seed (default: 2026)
set -euo pipefail

source "$(dirname "$0")/lib/steps.sh"
study_setup ./dose-study-out "$@"
read -r -a doses <<< "${DOSES:-100000 10000 1000}"
seed=${SEED:-2026}

start_all=$(date +%s.%N)

step build build_targets tomproj tomrec tomweight tomphantom tomrebin tompng tomcompare tomnoise
bin_proj="$build/bin/tomproj"
bin_rec="$build/bin/tomrec"

cd "$out"
step phantom "$(tool tomphantom)" inserts --oversample 4 --description-out phantom.txt phantom.img
step project dialogue "$out" "$bin_proj" phantom.img projections.img
mkdir -p weights
step weights "$(tool tomweight)" --dir weights

# reconstruct NAME STACK: rebins STACK and reconstructs it in rec-NAME/.
reconstruct() {
  local name=$1 stack=$2
  mkdir -p "rec-$name"
  ln -sf ../weights/long_sum_detector.img "rec-$name/long_sum_detector.img"
  ln -sf ../weights/long_sum_voxel.img "rec-$name/long_sum_voxel.img"
  step "rebin-$name" "$(tool tomrebin)" "$stack" "rec-$name/rebinned.img"
  step "reconstruct-$name" dialogue "$out/rec-$name" "$bin_rec" rebinned.img reconstruction.img
}

reconstruct free projections.img
for i0 in "${doses[@]}"; do
  step "noise-$i0" "$(tool tomnoise)" --i0 "$i0" --seed "$seed" projections.img "noisy-$i0.img"
  reconstruct "$i0" "noisy-$i0.img"
done

# The noise-free reconstruction's fit to the phantom over the cylinder every
# view traces (the object and the air around it: both levels, without the
# corners far outside), applied to every one.
"$(tool tomcompare)" --no-fail --format kv --region-cylinder phantom.img rec-free/reconstruction.img \
  > compare-fit.txt
scale=$(sed -n 's/^cylinder.fit_scale=//p' compare-fit.txt)
offset=$(sed -n 's/^cylinder.fit_offset=//p' compare-fit.txt)
fitted() {
  /usr/bin/python3 - "$1" "$2" "$scale" "$offset" <<'PY'
import sys, numpy as np
src, dst, scale, offset = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
v = np.fromfile(src, dtype="<f4").astype(np.float64)
(scale * v + offset).astype("<f4").tofile(dst)
PY
}
for name in free "${doses[@]}"; do
  fitted "rec-$name/reconstruction.img" "rec-$name/fitted.img"
  step "compare-$name" sh -c "'$(tool tomcompare)' --no-fail --format kv --region-cylinder --cnr phantom.txt \
    phantom.img rec-$name/fitted.img > compare-$name.txt"
done

# The narrow window: +-20% of water around the water of the noise-free
# reconstruction (its level after the fit is its own).
water=$(sed -n 's/^cnr.background_mean=//p' compare-free.txt)
window=$(awk -v w="$water" 'BEGIN { printf "%.4f,%.4f", w - 0.04, w + 0.04 }')
pictures() {
  local png; png=$(tool tompng)
  local f=figures
  local narrow=(--label "phantom" $f/phantom.png --label "noise-free" $f/free.png)
  local wide=(--label "phantom" $f/phantom-wide.png --label "noise-free" $f/free-wide.png)
  "$png" --zoom 2 --window 0.16,0.24 phantom.img $f/phantom.png
  "$png" --zoom 2 --window 0,0.45 phantom.img $f/phantom-wide.png
  for name in free "${doses[@]}"; do
    "$png" --zoom 2 --window "$window" rec-$name/fitted.img $f/$name.png
    "$png" --zoom 2 --window 0,0.45 rec-$name/fitted.img $f/$name-wide.png
  done
  for i0 in "${doses[@]}"; do
    narrow+=(--label "I0 $i0" $f/$i0.png)
    wide+=(--label "I0 $i0" $f/$i0-wide.png)
  done
  "$png" --montage $f/doses.png "${narrow[@]}"
  "$png" --montage $f/doses-wide.png "${wide[@]}"
}
step pictures pictures

total=$(awk -v a="$start_all" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
figure() { sed -n "s/^$2=//p" "compare-$1.txt"; }
fmt() { awk -v x="$1" -v d="${2:-4}" 'BEGIN { if (x == "" ) print "-"; else if (x ~ /inf|nan/) print x; else printf "%.*f", d, x }'; }
counts() { sed -n 's/.*mean counts \([0-9.e+]*\) per sample.*/\1/p' "$logs/noise-$1.log"; }
starved() { sed -n 's/.* samples (\([0-9.e+-]*\)%).*/\1/p' "$logs/noise-$1.log"; }
row() {
  local name=$1 label=$2 c s
  c=$([ "$name" = free ] && echo "-" || counts "$name")
  s=$([ "$name" = free ] && echo "-" || starved "$name")
  echo "| $label | $c | $s | $(fmt "$(figure "$name" ssim)") | $(fmt "$(figure "$name" ssim_axial_central)") |" \
       "$(fmt "$(figure "$name" cylinder.rmse)") | $(fmt "$(figure "$name" cylinder.nrmse)") |" \
       "$(fmt "$(figure "$name" cnr.plus1)" 2) | $(fmt "$(figure "$name" cnr.plus2)" 2) |" \
       "$(fmt "$(figure "$name" cnr.plus5)" 2) | $(fmt "$(figure "$name" cnr.plus10)" 2) | $(fmt "$(figure "$name" cnr.minus5)" 2) |"
}

commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
{
  echo "# Cone-beam study at three doses: low-contrast inserts"
  echo
  echo "Made by scripts/dose-study.sh on $(date -u '+%Y-%m-%d %H:%M UTC') from commit $commit, $jobs processors; $total s in all."
  echo
  echo "The insert phantom (water 0.2, radius 50; rods of radius 6 at +100, +10, +5, +2, +1, -1,"
  echo "-5 and -100 per cent; 4^3 sub-samples per voxel) was projected by tomproj. tomnoise added"
  echo "Poisson noise (seed $seed, M = 0.15 per unit value and voxel) for each I0 (photons per"
  echo "detector pixel); every stack was rebinned and reconstructed by tomrec, and brought into"
  echo "the phantom's units by the noise-free reconstruction's fit in the traced cylinder (scale"
  echo "$(fmt "$scale" 6), offset $(fmt "$offset" 6))."
  echo
  echo "| I0 | mean counts | starved % | SSIM 3-D | SSIM slice 64 | RMSE, cylinder | nRMSE, cylinder | CNR +1% | CNR +2% | CNR +5% | CNR +10% | CNR -5% |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
  row free "no noise"
  for i0 in "${doses[@]}"; do row "$i0" "$i0"; done
  echo
  echo "SSIM as scikit-image's structural_similarity (Gaussian weights, sigma 1.5, data range of the"
  echo "phantom); the cylinder is the region every view traces; CNR = (insert mean - background"
  echo "mean) / background deviation in the reconstruction, the background being the ring between"
  echo "1.5 and 2.5 insert radii in the same slices. All figures: compare-*.txt."
  echo
  echo "Central axial slice, window water +- 0.04 (+-20%): 0.16 ... 0.24 for the phantom, $window for"
  echo "the reconstructions (the water of the noise-free one is $(fmt "$water" 4) after the fit):"
  echo
  echo "![doses, narrow window](figures/doses.png)"
  echo
  echo "The same, window 0 ... 0.45:"
  echo
  echo "![doses, wide window](figures/doses-wide.png)"
  echo
  times_table "$total"
} > report.md
echo "dose study: $total s; report in $out/report.md" >&2
