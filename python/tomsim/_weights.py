"""tomrec's weight arrays, made once: kept for the process and on disk.

The disk cache lives in $XDG_CACHE_HOME/tomsim (~/.cache/tomsim without
it), in a folder named after the build of the extension module, so that a
changed library never reads arrays that an older one made. Each folder holds
the two files under the names tomrec reads (so it also serves as
`tomrec --weights DIR`) and a list of their SHA-256 sums, written last; a
file that is short, altered or unlisted is made anew, never trusted.
"""

import hashlib
import os
import threading

import numpy as np

from . import _core
from ._progress import run

DETECTOR_FILE = "long_sum_detector.img"
VOXEL_FILE = "long_sum_voxel.img"
_SUMS_FILE = "sha256sums"

_lock = threading.Lock()
_memory = None
_build_id = None


def build_id():
    """A short digest of the extension module's file: the library's build."""
    global _build_id
    if _build_id is None:
        digest = hashlib.sha256()
        with open(_core.__file__, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        _build_id = digest.hexdigest()[:16]
    return _build_id


def cache_folder():
    """The folder of this build's cached weight files (it may not exist yet)."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tomsim", "weights-" + build_id())


def _sha256(array):
    return hashlib.sha256(memoryview(array).cast("B")).hexdigest()


def _load(folder):
    """The cached pair, or None when anything about it is missing or wrong."""
    try:
        with open(os.path.join(folder, _SUMS_FILE), encoding="ascii") as f:
            sums = dict(reversed(line.split()) for line in f if line.strip())
        pair = []
        for name, shape in ((DETECTOR_FILE, (256, 256, 256)), (VOXEL_FILE, (128, 128, 128))):
            path = os.path.join(folder, name)
            expected = 4 * int(np.prod(shape))
            if os.path.getsize(path) != expected:
                return None
            array = np.fromfile(path, dtype="<f4")
            if array.size * 4 != expected or sums.get(name) != _sha256(array):
                return None
            pair.append(array.reshape(shape))
        return tuple(pair)
    except (OSError, ValueError):
        return None


def _store(folder, pair):
    """Writes the pair, then the list of sums; a failure leaves no list."""
    try:
        os.makedirs(folder, exist_ok=True)
        sums_path = os.path.join(folder, _SUMS_FILE)
        if os.path.exists(sums_path):
            os.remove(sums_path)
        lines = []
        for name, array in zip((DETECTOR_FILE, VOXEL_FILE), pair):
            _core.write_samples(os.path.join(folder, name), array)
            lines.append(f"{_sha256(array)}  {name}\n")
        temporary = sums_path + ".part"
        with open(temporary, "w", encoding="ascii") as f:
            f.writelines(lines)
        os.replace(temporary, sums_path)
    except (OSError, RuntimeError):
        pass  # a cache that cannot be written only costs time on the next run


def weights(threads=None, progress=False, cache=True):
    """tomrec's weight arrays: (detector_weights, voxel_weights).

    The arrays of tomweight's long_sum_detector.img (shape (256, 256, 256))
    and long_sum_voxel.img (shape (128, 128, 128)). Made on the first call
    (about as long as a tomweight run) or read from the disk cache, then
    kept for the process; the arrays are read-only. cache=False makes them
    anew without reading or writing the disk cache.
    """
    global _memory
    with _lock:
        if _memory is not None and cache:
            return _memory
        pair = _load(cache_folder()) if cache else None
        if pair is None:
            pair = run(_core.compute_weights, progress, "weights", threads)
            if cache:
                _store(cache_folder(), pair)
        for array in pair:
            array.flags.writeable = False
        if cache:
            _memory = pair
        return pair


def forget():
    """Drops the in-memory copy (the disk cache stays)."""
    global _memory
    with _lock:
        _memory = None
