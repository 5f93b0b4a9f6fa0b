#!/usr/bin/env bash
# Samples per hour of a tomstudy study, one process against a local Dask
# cluster of two workers, on the same study into fresh folders; checks that
# both runs made the same arrays. Timings on a shared machine are noisy: run it
# when the machine is quiet, and more than once.
#
# Usage: bench/study.sh [STUDY.toml]      (default: examples/dose-sweep.toml)
# Environment: PYTHON (default /usr/bin/python3) with tomsim importable, as
# after scripts/install.sh or with the PYTHONPATH line of the README.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
study=${1:-$here/examples/dose-sweep.toml}
python=${PYTHON:-/usr/bin/python3}
work=$(mktemp -d /tmp/study-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

if ! "$python" -c 'import tomsim.study' 2> /dev/null; then
  echo "study.sh: $python cannot import tomsim.study: install the package (scripts/install.sh)" \
       "or set PYTHONPATH as the README says" >&2
  exit 1
fi
"$python" -m tomsim.study check "$study"
echo "== $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) processors"

# Warm the weight cache, so that neither run pays for making it.
"$python" -c 'import tomsim; tomsim.weights()' 2> /dev/null || true

rate() {
  "$python" -c 'import json, sys; r = json.load(open(sys.argv[1]))["run"]
print("%d samples in %.1f s: %.0f samples per hour (%s)" % (r["samples_computed"], r["wall_seconds"],
      r.get("samples_per_hour", 0), r["mode"]))' "$1/summary.json"
}
wall() { "$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["run"]["wall_seconds"])' "$1/summary.json"; }

echo "== one process"
"$python" -m tomsim.study run "$study" --out "$work/one" --in-process --quiet
rate "$work/one"
echo "== local cluster, 2 workers"
"$python" -m tomsim.study run "$study" --out "$work/cluster" --workers 2 --quiet
rate "$work/cluster"
awk -v a="$(wall "$work/one")" -v b="$(wall "$work/cluster")" \
  'BEGIN { printf "cluster wall time / one process: %.3f\n", b / a }'

"$python" - "$work/one" "$work/cluster" <<'PY'
import os, sys
from tomsim.study.store import read_arrays
one, cluster = sys.argv[1:]
names = sorted(n for n in os.listdir(os.path.join(one, "samples")) if n.endswith(".h5"))
for n in names:
    a, b = (read_arrays(os.path.join(d, "samples", n)) for d in (one, cluster))
    assert a.keys() == b.keys() and all(a[k].tobytes() == b[k].tobytes() for k in a), n
print(f"both runs: the same bits in all {len(names)} samples")
PY
