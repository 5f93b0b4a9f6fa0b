#!/usr/bin/env bash
# The simulation study in one command: builds the programs and tools, makes
# the Shepp-Logan head, projects it with tomproj, reconstructs the projections
# with FDK (tomfdk, the project's best reconstruction, in the head's units),
# rebins them into tomrec's ray geometry, makes tomrec's weight files,
# reconstructs both the rebinned and the unrebinned stack with tomrec,
# compares each reconstruction with the head and writes pictures and a short
# report.
#
# Usage: scripts/study.sh [OUTPUT-FOLDER]        (default: ./study-out)
# Environment: STUDY_BUILD_DIR  an existing build folder to build in and use
#              (default: a fresh OUTPUT-FOLDER/build without the tests)
set -euo pipefail

source "$(dirname "$0")/lib/steps.sh"
study_setup ./study-out "$@"

start_all=$(date +%s.%N)

build_all() {
  build_targets tomproj tomrec tomfdk tomweight tomphantom tomrebin tompng tomcompare tommhd
}

step build build_all
bin_proj="$build/bin/tomproj"
bin_rec="$build/bin/tomrec"

cd "$out"
step phantom "$(tool tomphantom)" shepp-logan phantom.img
step project dialogue "$out" "$bin_proj" phantom.img projections.img
mkdir -p rec-fdk
step reconstruct-fdk "$(tool tomfdk)" projections.img rec-fdk/reconstruction.img
step rebin "$(tool tomrebin)" projections.img rebinned.img
mkdir -p weights
step weights "$(tool tomweight)" --dir weights

# tomrec reads its weight files from, and writes its filtered stack into, its
# working directory: each reconstruction runs in a folder of its own.
for which in rebinned raw; do
  mkdir -p "rec-$which"
  ln -sf ../weights/long_sum_detector.img "rec-$which/long_sum_detector.img"
  ln -sf ../weights/long_sum_voxel.img "rec-$which/long_sum_voxel.img"
done
step reconstruct-rebinned dialogue "$out/rec-rebinned" "$bin_rec" ../rebinned.img reconstruction.img
step reconstruct-raw dialogue "$out/rec-raw" "$bin_rec" ../projections.img reconstruction.img

compare() {
  local which=$1
  "$(tool tomcompare)" --no-fail --format kv \
    --fitted-out "rec-$which/fitted.img" --residual-out "rec-$which/residual.img" \
    phantom.img "rec-$which/reconstruction.img" > "compare-$which.txt"
  "$(tool tomcompare)" --no-fail --format json phantom.img "rec-$which/reconstruction.img" \
    > "compare-$which.json"
}
step compare-fdk compare fdk
step compare-rebinned compare rebinned
step compare-raw compare raw

pictures() {
  local png; png=$(tool tompng)
  local f=figures
  # The fitted reconstructions are in the head's units, so one window serves
  # all; a narrow one shows the soft features, the full one the skull.
  "$png" --zoom 2 --window 0,1 phantom.img $f/phantom-axial.png
  "$png" --zoom 2 --window 0.1,0.45 phantom.img $f/phantom-axial-narrow.png
  "$png" --zoom 2 --coronal 64 --window 0,1 phantom.img $f/phantom-coronal.png
  for which in fdk rebinned raw; do
    "$png" --zoom 2 --window 0,1 rec-$which/fitted.img $f/$which-axial.png
    "$png" --zoom 2 --window 0.1,0.45 rec-$which/fitted.img $f/$which-axial-narrow.png
    "$png" --zoom 2 --coronal 64 --window 0,1 rec-$which/fitted.img $f/$which-coronal.png
    "$png" --zoom 2 --window -0.5,0.5 rec-$which/residual.img $f/$which-difference.png
    "$png" --zoom 2 --coronal 64 --window -0.5,0.5 rec-$which/residual.img $f/$which-difference-coronal.png
  done
  "$png" --montage $f/axial.png \
    --label "phantom" $f/phantom-axial.png --label "FDK (tomfdk)" $f/fdk-axial.png \
    --label "tomrec, rebinned" $f/rebinned-axial.png \
    --label "FDK difference" $f/fdk-difference.png --label "tomrec difference" $f/rebinned-difference.png
  "$png" --montage $f/axial-raw.png \
    --label "phantom" $f/phantom-axial.png --label "unrebinned rec." $f/raw-axial.png \
    --label "difference" $f/raw-difference.png
  "$png" --montage $f/axial-narrow.png \
    --label "phantom" $f/phantom-axial-narrow.png --label "FDK" $f/fdk-axial-narrow.png \
    --label "tomrec, rebinned" $f/rebinned-axial-narrow.png --label "tomrec, unrebinned" $f/raw-axial-narrow.png
  "$png" --montage $f/coronal.png \
    --label "phantom" $f/phantom-coronal.png --label "FDK" $f/fdk-coronal.png \
    --label "tomrec, rebinned" $f/rebinned-coronal.png \
    --label "FDK difference" $f/fdk-difference-coronal.png \
    --label "tomrec difference" $f/rebinned-difference-coronal.png
  "$png" --stack --view 0 projections.img $f/view0-projector.png
  "$png" --stack --view 0 rebinned.img $f/view0-rebinned.png
  "$png" --stack --view 64 rebinned.img $f/view64-rebinned.png
  "$png" --montage $f/views.png \
    --label "tomproj, view 0" $f/view0-projector.png --label "rebinned, view 0" $f/view0-rebinned.png \
    --label "rebinned, view 64" $f/view64-rebinned.png
}
step pictures pictures

headers() {
  local mhd; mhd=$(tool tommhd)
  "$mhd" phantom.img
  "$mhd" --stack projections.img
  "$mhd" --stack rebinned.img
  for which in fdk rebinned raw; do
    "$mhd" rec-$which/reconstruction.img
    "$mhd" rec-$which/fitted.img
    "$mhd" rec-$which/residual.img
  done
}
step headers headers

total=$(awk -v a="$start_all" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

# figure WHICH KEY: one figure of a comparison.
figure() { sed -n "s/^$2=//p" "compare-$1.txt"; }
fmt() { awk -v x="$1" 'BEGIN { if (x == "inf") print "inf"; else printf "%.4f", x }'; }
row() {
  local which=$1 label=$2
  echo "| $label | $(fmt "$(figure "$which" whole.pearson_r)") | $(fmt "$(figure "$which" central.pearson_r)") | $(fmt "$(figure "$which" axial_slice.pearson_r)") | $(fmt "$(figure "$which" whole.fit_rmse)") | $(fmt "$(figure "$which" whole.fit_psnr_db)") | $(fmt "$(figure "$which" whole.fit_scale)") |"
}

commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
{
  echo "# Cone-beam study: Shepp-Logan head"
  echo
  echo "Made by scripts/study.sh on $(date -u '+%Y-%m-%d %H:%M UTC') from commit $commit, $jobs processors; $total s in all."
  echo
  echo "The head (skull 1, brain 0.2, 128^3 voxels) was projected by tomproj and"
  echo "reconstructed two ways. FDK (tomfdk) reconstructs the projector's stack as it"
  echo "is, in the head's units: the best reconstruction the project has. tomrec, the"
  echo "defined reconstructor, traces each column's ray on the other side of the"
  echo "central column and to a curved row of detector points, so its input was first"
  echo "rebinned with tomrebin; the unrebinned projections were reconstructed too, for"
  echo "comparison. Each reconstruction is compared with the head after the"
  echo "least-squares fit head ~ scale x reconstruction + offset (tomrec's units are its"
  echo "own; FDK's fit scale is about 1)."
  echo
  echo "## Results"
  echo
  echo "| reconstruction | r, whole volume | r, central cube | r, axial slice 64 | RMSE after fit | PSNR after fit (dB) | fit scale |"
  echo "|---|---|---|---|---|---|---|"
  row fdk "FDK, tomfdk (projections.img)"
  row rebinned "tomrec, rebinned stack (rebinned.img)"
  row raw "tomrec, the projector's stack as it is (projections.img)"
  echo
  echo "The central cube holds the voxels 32 ... 95 on every axis. Every figure of the"
  echo "comparisons is in compare-fdk.txt / .json, compare-rebinned.txt / .json and"
  echo "compare-raw.txt / .json."
  echo
  echo "## Figures"
  echo
  echo "Central axial slice (iz = 64): phantom, FDK and tomrec (rebinned input), each"
  echo "fitted to the head's units, and their differences from the head (window -0.5 ... 0.5):"
  echo
  echo "![axial](figures/axial.png)"
  echo
  echo "tomrec on the unrebinned input: the mirrored columns give a doubled image."
  echo
  echo "![axial, unrebinned](figures/axial-raw.png)"
  echo
  echo "Narrow window (0.1 ... 0.45) for the soft features:"
  echo
  echo "![axial, narrow window](figures/axial-narrow.png)"
  echo
  echo "Central coronal slice (iy = 64):"
  echo
  echo "![coronal](figures/coronal.png)"
  echo
  echo "Projection views: tomproj's view 0, and the rebinned views 0 and 64 (mirrored columns):"
  echo
  echo "![views](figures/views.png)"
  echo
  times_table "$total"
  echo
  echo "## Files"
  echo
  echo "All in $out; every raw file has a MetaImage header (.mhd) beside it for 3-D viewers."
  echo
  echo "| file | what |"
  echo "|---|---|"
  echo "| phantom.img | the head, Volume (128^3 float32) |"
  echo "| projections.img | tomproj's ProjectionStack (256 views x 256 rows x 256 columns) |"
  echo "| rebinned.img | the stack in tomrec's ray geometry (tomrebin) |"
  echo "| weights/long_sum_detector.img, weights/long_sum_voxel.img | tomrec's weight files (tomweight) |"
  echo "| rec-fdk/reconstruction.img | tomfdk's Volume from projections.img, in the head's units |"
  echo "| rec-rebinned/reconstruction.img | tomrec's Volume from rebinned.img |"
  echo "| rec-raw/reconstruction.img | tomrec's Volume from projections.img |"
  echo "| rec-rebinned/Radon_FLT_dounatsu.img, rec-raw/Radon_FLT_dounatsu.img | tomrec's filtered stack |"
  echo "| rec-*/fitted.img, rec-*/residual.img | the reconstruction in the head's units, and minus the head |"
  echo "| compare-*.txt, compare-*.json | tomcompare's figures |"
  echo "| figures/*.png | the pictures |"
  echo "| logs/*.log | each step's console output |"
  echo "| build/ | the Release build used (unless STUDY_BUILD_DIR was set) |"
} > report.md

echo "study: $total s; report in $out/report.md" >&2
echo "study: r (whole volume): FDK $(fmt "$(figure fdk whole.pearson_r)"), tomrec rebinned $(fmt "$(figure rebinned whole.pearson_r)"), unrebinned $(fmt "$(figure raw whole.pearson_r)")" >&2
