"""The raw files of the programs: headerless little-endian float32 samples.

A Volume file holds 128 x 128 x 128 samples (8 MiB), read as an array
[iz, iy, ix]; a ProjectionStack file 256 x 256 x 256 samples (64 MiB), read
as [view, row, column]. Reading maps the file into memory (nothing is copied
until it is touched) after checking its size; writing goes through the
programs' own writer, under a temporary name renamed over the target only
when complete.
"""

import errno
import os

import numpy as np

from . import _core
from ._errors import failure

VOLUME_SHAPE = (128, 128, 128)
STACK_SHAPE = (256, 256, 256)
_SHAPES = {"volume": VOLUME_SHAPE, "stack": STACK_SHAPE}


def _shape_of(path, kind):
    if kind is not None:
        if kind not in _SHAPES:
            raise ValueError(f"kind must be 'volume', 'stack' or None, not {kind!r}")
        return _SHAPES[kind]
    # Without a kind, the size tells: the two layouts differ in size.
    try:
        size = os.stat(path).st_size
    except OSError as e:
        raise failure("input", f"cannot open {path}: {os.strerror(e.errno or errno.EIO)}") from None
    for shape in _SHAPES.values():
        if size == 4 * int(np.prod(shape)):
            return shape
    raise failure("input", f"{path} holds {size} bytes, which is neither a Volume "
                  f"({4 * int(np.prod(VOLUME_SHAPE))} bytes) nor a ProjectionStack "
                  f"({4 * int(np.prod(STACK_SHAPE))} bytes)")


def read(path, kind=None):
    """A read-only array mapped onto the file; kind 'volume', 'stack' or None.

    A file that cannot be opened, or whose size is not exactly 4 bytes times
    the samples of its kind, raises TomsimInputError (an OSError) naming both
    sizes, as the programs refuse it.
    """
    path = os.fspath(path)
    shape = _shape_of(path, kind)
    samples = int(np.prod(shape))
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size != 4 * samples:
                raise failure("input", f"{path} holds {size} bytes, expected {4 * samples} "
                              f"({samples} float32 samples)")
            return np.memmap(f, dtype="<f4", mode="r", shape=shape)
    except OSError as e:
        if isinstance(e, RuntimeError):  # already ours
            raise
        raise failure("input", f"cannot open {path}: {os.strerror(e.errno or errno.EIO)}") from None


def read_volume(path):
    """A Volume file as a read-only array (128, 128, 128) [iz, iy, ix]."""
    return read(path, "volume")


def read_stack(path):
    """A ProjectionStack file as a read-only array (256, 256, 256) [view, row, column]."""
    return read(path, "stack")


def write(path, array):
    """Writes a Volume or ProjectionStack as the programs do.

    The file appears under its name only once it is complete; a failure
    raises TomsimOutputError (an OSError) and leaves any previous file as it
    was. The array is converted to float32 if it is not.
    """
    _core.write_samples(os.fspath(path), array)


def header_path(raw_path):
    """The .mhd name beside a raw file: its extension replaced."""
    root, extension = os.path.splitext(os.fspath(raw_path))
    return (root if extension else os.fspath(raw_path)) + ".mhd"


def write_header(raw_path, kind="volume", header=None, geometry=None):
    """Writes tommhd's MetaImage header for a raw file; returns its path.

    The header (default: beside the raw file) names the raw file relative to
    its own folder, so that 3-D viewers and ITK-based tools open it in place.
    With a tomsim.Geometry, the header is that geometry's: a Volume's size,
    spacing and origin, a stack's size, detector pitch and origin (the
    defined scan's headers are tommhd's, byte for byte; docs/geometry.md).
    """
    if kind not in _SHAPES:
        raise ValueError(f"kind must be 'volume' or 'stack', not {kind!r}")
    raw_path = os.fspath(raw_path)
    header = os.fspath(header) if header is not None else header_path(raw_path)
    folder = os.path.dirname(os.path.abspath(header))
    data_file = os.path.relpath(os.path.abspath(raw_path), folder)
    if "\n" in data_file:
        raise ValueError("a file name with a line break cannot be named in a header")
    if geometry is None:
        text = _core.metaimage_header(kind == "stack", data_file)
    else:
        text = geometry.metaimage_header(kind, data_file)
    temporary = os.path.join(folder, "." + os.path.basename(header) + ".part")
    try:
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, header)
    except OSError as e:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise failure("output", f"cannot write {header}: {os.strerror(e.errno or errno.EIO)}") from None
    return header
