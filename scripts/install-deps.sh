#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, if missing.
set -euo pipefail
need=()
# The Python package tomsim is built for Debian's interpreter with Debian's
# pybind11 and numpy; its tests use pytest, tqdm, matplotlib, scikit-image,
# h5py, Dask's distributed and plastimatch. The reconstructions beside tomrec
# use FFTW. The dose study rescales its reconstructions with numpy. The
# polychromatic physics (tomsim.spectral) takes its attenuation data from
# xraylib.
for pkg in g++ cmake make libgtest-dev libpng-dev zlib1g-dev libfftw3-dev \
    python3 util-linux python3-dev python3-numpy pybind11-dev python3-pybind11 python3-pytest \
    python3-tqdm python3-matplotlib python3-skimage python3-h5py python3-distributed plastimatch \
    libxrl-dev python3-xraylib; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]} (run as root or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
