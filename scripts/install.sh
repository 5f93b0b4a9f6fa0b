#!/usr/bin/env bash
# Builds in Release and installs the programs, the study tools and the Python
# package tomsim (for Debian's /usr/bin/python3).
#
# Usage: scripts/install.sh [PREFIX]        (default: /usr/local)
#   programs and tools:  PREFIX/bin
#   package:             PREFIX/lib/python3.N/dist-packages/tomsim
# Under /usr/local, Debian's interpreter finds the package by itself; for any
# other PREFIX add its folder to PYTHONPATH (the line is printed at the end).
# Environment: INSTALL_BUILD_DIR  the build folder (default: build-install)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
  -*) echo "install.sh: unknown option $1" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "install.sh: one PREFIX at most" >&2; exit 2; }
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-/usr/local}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
build=${INSTALL_BUILD_DIR:-$here/build-install}
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOM_BUILD_TESTS=OFF \
  -DTOM_BUILD_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3 -DCMAKE_INSTALL_PREFIX="$prefix"
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"
cmake --install "$build"
site=$(sed -n 's/^TOMSIM_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")
site=$prefix/${site%/tomsim}
if PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 -c 'import tomsim' 2>/dev/null; then
  echo "installed: $prefix/bin/tomproj, tomrec and the tools; the package tomsim in $site"
else
  echo "install.sh: the package was installed in $site but does not import" >&2
  exit 1
fi
if ! /usr/bin/python3 -c 'import sys; sys.exit(0 if sys.argv[1] in sys.path else 1)' "$site"; then
  echo "to import it: export PYTHONPATH=$site\${PYTHONPATH:+:\$PYTHONPATH}"
fi
