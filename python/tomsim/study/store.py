"""Files of a study: one HDF5 file per sample, and the folder-level text files.
Every file is written under a temporary name in its own folder and renamed
over the target only when complete, so a file under its final name is always
whole and an interrupted run never destroys one."""

import json
import os
import socket
import time

import numpy as np

TEMP_SUFFIX = ".tmp"

LAYOUTS = {"phantom": "Volume [iz, iy, ix]", "projections": "ProjectionStack [view, row, column]",
           "noisy": "ProjectionStack [view, row, column]", "reconstructions": "Volume [iz, iy, ix]",
           "log": "-ln(signal / flat) per detector bin [bin, view, row, column]",
           "paths": "path lengths in g/cm^2 per material [material, view, row, column]"}
# A polychromatic study's phantom: one partial density (g/cm^3) per material.
MATERIAL_LAYOUT = "partial density in g/cm^3 per material [material, iz, iy, ix]"


def _write_geometry(f, geometry):
    """The scan of a sample, so that a reader knows it exactly: the view
    vectors and the grid as arrays, and the geometry file's text, from which
    read_geometry() remakes it. Studies without a geometry ran on the
    defined scan: its preset is stored, with `defined` true."""
    from tomsim import Geometry
    geometry = geometry or Geometry.defined()
    group = f.create_group("geometry")
    group.create_dataset("vectors", data=np.asarray(geometry.vectors(), dtype=np.float64))
    group.attrs["vectors_layout"] = ("[view, 12]: source, detector centre, column step, row step "
                                     "(x, y, z in mm)")
    group.attrs["detector_shape"] = np.asarray(geometry.detector_shape, dtype=np.int64)
    group.attrs["volume_shape"] = np.asarray(geometry.volume_shape, dtype=np.int64)
    group.attrs["voxel_size"] = np.asarray(geometry.voxel_size, dtype=np.float64)
    group.attrs["volume_offset"] = np.asarray(geometry.volume_offset, dtype=np.float64)
    group.attrs["defined"] = bool(geometry.is_defined())
    group.attrs["toml"] = geometry.to_toml_text()


def read_geometry(path):
    """The tomsim.Geometry a sample file was made on."""
    import h5py
    from tomsim import Geometry
    with h5py.File(path, "r") as f:
        if "geometry" not in f:
            raise ValueError(f"{path}: the sample file holds no geometry (made before samples stored it: "
                             "the defined scan)")
        text = f["geometry"].attrs["toml"]
    return Geometry.from_toml_text(text.decode() if isinstance(text, bytes) else text, name=path)


def temp_name(path):
    """A temporary name beside PATH, unique to this process on this host."""
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.{socket.gethostname()}.{os.getpid()}{TEMP_SUFFIX}")


def _sync_and_rename(temp, path):
    fd = os.open(temp, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(temp, path)
    try:
        fd = os.open(os.path.dirname(path) or ".", os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    except OSError:
        pass  # some file systems refuse to sync a folder; the rename has happened


def write_text(path, text):
    temp = temp_name(path)
    try:
        with open(temp, "w", encoding="utf-8") as f:
            f.write(text)
        _sync_and_rename(temp, path)
    except BaseException:
        _remove(temp)
        raise


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def write_sample(path, arrays, attributes, compression, geometry=None):
    """Writes one sample: arrays is {dataset path: (array, stored dtype)},
    attributes plain data (dicts become JSON text), and the geometry the
    sample was made on (None: the defined scan)."""
    import h5py
    temp = temp_name(path)
    try:
        with h5py.File(temp, "w") as f:
            for name, value in attributes.items():
                f.attrs[name] = json.dumps(value, sort_keys=True) if isinstance(value, (dict, list)) else value
            for name, (array, dtype) in arrays.items():
                data = np.ascontiguousarray(array, dtype=dtype)
                chunks = (1,) + data.shape[1:] if compression else None
                ds = f.create_dataset(name, data=data, compression=compression, chunks=chunks)
                materials = name == "phantom" and data.ndim == 4
                ds.attrs["layout"] = MATERIAL_LAYOUT if materials else LAYOUTS[name.split("/")[0]]
                ds.attrs["computed_dtype"] = str(array.dtype)
            _write_geometry(f, geometry)
        _sync_and_rename(temp, path)
    except BaseException:
        _remove(temp)
        raise


def read_attributes(path):
    """The attributes of a sample file, JSON text decoded; raises OSError for
    an unreadable file."""
    import h5py
    with h5py.File(path, "r") as f:
        out = {}
        for name, value in f.attrs.items():
            if isinstance(value, bytes):
                value = value.decode()
            if isinstance(value, str) and value[:1] in "{[":
                value = json.loads(value)
            elif isinstance(value, np.generic):
                value = value.item()
            out[name] = value
        return out


def read_arrays(path):
    """Every array of a sample file, by dataset path."""
    import h5py
    arrays = {}
    with h5py.File(path, "r") as f:
        def visit(name, obj):
            if isinstance(obj, h5py.Dataset):
                arrays[name] = obj[()]
        f.visititems(visit)
    return arrays


def sample_key(path):
    """The key a complete sample file was made for, or None when the file is
    missing or unreadable (it is then made again)."""
    if not os.path.exists(path):
        return None
    try:
        return read_attributes(path).get("sample_key")
    except (OSError, ValueError):
        return None


def stale_temporaries(folder):
    """Temporary files left by a process that died while writing."""
    if not os.path.isdir(folder):
        return []
    return [os.path.join(folder, n) for n in os.listdir(folder)
            if n.startswith(".") and n.endswith(TEMP_SUFFIX)]


def utc_now():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
