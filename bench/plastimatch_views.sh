#!/usr/bin/env bash
# Usage: plastimatch_views.sh PROJECTOR_BENCH
# In the working directory: writes the benchmark ball (ball.img, ball.mhd)
# and plastimatch's exact DRRs of it for the scan's 256 views of 256 x 256
# (peer/view*.pfm with their projection matrices), and prints the time that
# plastimatch took.
set -euo pipefail
"$1" --write-phantom ball.img
ln -sf ball.img ball.raw
cat > ball.mhd <<'MHD'
ObjectType = Image
NDims = 3
DimSize = 128 128 128
ElementSpacing = 1 1 1
Offset = -63.5 -64.5 -64.5
ElementType = MET_FLOAT
ElementByteOrderMSB = False
ElementDataFile = ball.raw
MHD
mkdir -p peer
"$(dirname "$0")/measure.py" "plastimatch drr" "" -- \
  plastimatch drr -i exact -t pfm --sad 256 --sid 512 -r "256 256" -z "256 256" -c "128 128" \
  --vup "0 0 -1" -y -1.5707963267948966 -P none -s 10 -a 256 -N 1.40625 -O peer/view ball.mhd
