#!/usr/bin/env python3
"""Figures of the Python package against the programs' full runs.

Usage: bench/python_package.py BUILD_DIR [REPEATS]
Run with Debian's /usr/bin/python3; BUILD_DIR holds a Release build with the
package (BUILD_DIR/python). Prints, for the Shepp-Logan head:
  - tomproj's full run (dialogue, load, projection, write) against
    tomsim.project on the array, and their ratio;
  - tomrec's full run (weight files from tomweight) against
    tomsim.reconstruct with the same weights in memory, and their ratio;
  - the README's round trip (phantom, project, rebin, reconstruct, compare)
    with the weights made afresh and with them cached.
Each figure is the best of REPEATS (default 3) wall times. Nothing fails on
time; the figures are only meaningful on a quiet machine.
"""

import os
import subprocess
import sys
import tempfile
import time


def best(repeats, run):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    sys.path.insert(0, os.path.join(build, "python"))
    work = tempfile.mkdtemp(prefix="tomsim-bench-")
    os.environ["XDG_CACHE_HOME"] = os.path.join(work, "cache")
    import tomsim  # noqa: E402  (from the build)

    flags = open("/proc/cpuinfo").read()
    model = next((line.split(":", 1)[1].strip() for line in flags.splitlines()
                  if line.startswith("model name")), "unknown")
    kernel = "AVX-512" if " avx512f" in flags else "AVX2" if " avx2" in flags else "scalar"
    print(f"processor: {model}; {tomsim.available_threads()} threads; widest vector kernel {kernel}")
    print(f"load average before: {os.getloadavg()[0]:.1f} (figures are noisy on a shared machine)")

    def program(*args, stdin=b""):
        subprocess.run(list(args), cwd=work, input=stdin, stdout=subprocess.DEVNULL, check=True)

    head = tomsim.phantom.shepp_logan()
    tomsim.io.write(os.path.join(work, "head.img"), head)
    tomproj = os.path.join(build, "tomproj", "tomproj")
    t_program = best(repeats, lambda: program(tomproj, "head.img", "proj.img"))
    t_package = best(repeats, lambda: tomsim.project(head))
    print(f"tomproj full run {t_program:.2f} s; tomsim.project {t_package:.2f} s; "
          f"ratio {t_package / t_program:.2f}")

    stack = tomsim.rebin(tomsim.project(head))
    tomsim.io.write(os.path.join(work, "rebinned.img"), stack)
    program(os.path.join(build, "tools", "tomweight", "tomweight"))
    weights = (tomsim.io.read_stack(os.path.join(work, "long_sum_detector.img")),
               tomsim.io.read_volume(os.path.join(work, "long_sum_voxel.img")))
    weights = tuple(w.copy() for w in weights)  # in memory, as the cache holds them
    tomrec = os.path.join(build, "tomrec", "tomrec")
    t_program = best(repeats, lambda: program(tomrec, "rebinned.img", "rec.img"))
    t_package = best(repeats, lambda: tomsim.reconstruct(stack, weights))
    print(f"tomrec full run {t_program:.2f} s; tomsim.reconstruct {t_package:.2f} s; "
          f"ratio {t_package / t_program:.2f}")

    def round_trip():
        h = tomsim.phantom.shepp_logan()
        v = tomsim.reconstruct(tomsim.rebin(tomsim.project(h)))
        return tomsim.compare(h, v)

    tomsim._weights.forget()
    start = time.perf_counter()
    round_trip()  # the weights made and written to the cache
    fresh = time.perf_counter() - start
    tomsim._weights.forget()
    cached = best(1, round_trip)  # the weights read from the disk cache
    print(f"round trip: {fresh:.2f} s with the weights made, {cached:.2f} s with them read from the cache")
    print(f"load average after: {os.getloadavg()[0]:.1f}")
    subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    main()
