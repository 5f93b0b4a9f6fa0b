"""The scan geometry of a cone-beam scan: tomsim.Geometry.

The frame is the defined scan's, in millimetres: the rotation axis is z; the
source of angle a stands at sod * (sin a, -cos a, 0) (on -y at angle 0,
looking along +y, moving towards +x as a grows). Volumes are arrays
[iz, iy, ix]; voxel (iz, iy, ix) is centred at

    x = x0 + (ix - (nx - 1) / 2) * dx
    y = y0 - (iy - (ny - 1) / 2) * dy
    z = z0 - (iz - (nz - 1) / 2) * dz

with (z0, y0, x0) = volume_offset: the x index grows with x, the y and z
indices grow as y and z fall, as in the defined scan. Stacks are arrays
[view, row, column]; pixel (r, c) of view k is centred at
d + (c - (C-1)/2) u + (r - (R-1)/2) v with the view's vectors (source s,
detector centre d, column step u, row step v) of vectors(). Rows run top
first: the row step points along -z. detector_offset (v, u) moves the
detector's centre along the row step and the column step, from the point
where the perpendicular from the source meets it.

Every check is the library's (core/geometry.h): a geometry it refuses raises
TomsimUsageError, a ValueError, naming the field by its keyword here and by
its name in a geometry file, e.g. "sdd (source.sdd): must be a finite number
above sod (500), not 400".
"""

import os

import numpy as np

from . import _core

__all__ = ["Geometry"]


class Geometry:
    """A scan geometry (immutable).

    Geometry(volume_shape=(nz, ny, nx), voxel_size=(dz, dy, dx),
             volume_offset=(z, y, x), detector_shape=(rows, columns),
             detector_pitch=(row, column), detector_offset=(v, u),
             sod=..., sdd=..., views=N, start=0.0, arc=360.0)
    or with angles=[...] (degrees, one per view) instead of views, start
    and arc. A circle of N views has the angles start + k * arc / N
    (k = 0 ... N-1; the end excluded). voxel_size and detector_pitch may be
    one number for every axis. trace=((zmin, ymin, xmin), (zmax, ymax, xmax))
    limits the region rays are traced through (strict bounds); without it
    the region is the volume's box.

    Geometry.from_vectors(vectors, volume_shape=..., ...) makes a free
    geometry of per-view vectors; Geometry.defined() is the defined scan of
    tomproj and tomrec; Geometry.from_toml(path) reads a geometry file
    (docs/geometry.md).
    """

    __slots__ = ("_value",)

    def __init__(self, *, volume_shape, voxel_size=(1.0, 1.0, 1.0), volume_offset=(0.0, 0.0, 0.0),
                 detector_shape, detector_pitch=(1.0, 1.0), detector_offset=(0.0, 0.0),
                 sod, sdd, views=None, start=0.0, arc=360.0, angles=None, trace=None):
        value = _core.GeometryValue.circular(
            volume_shape, voxel_size, volume_offset, detector_shape, detector_pitch, detector_offset,
            sod, sdd, views, float(start), float(arc), angles, trace)
        object.__setattr__(self, "_value", value)

    @classmethod
    def _of(cls, value):
        g = cls.__new__(cls)
        object.__setattr__(g, "_value", value)
        return g

    def __setattr__(self, name, value):
        raise AttributeError("a Geometry cannot be changed; make another one")

    # -- other ways to make one ------------------------------------------

    @classmethod
    def from_vectors(cls, vectors, *, volume_shape, voxel_size=(1.0, 1.0, 1.0), volume_offset=(0.0, 0.0, 0.0),
                     detector_shape, trace=None):
        """A free geometry: vectors (views, 12), each row the source, the
        detector's centre, the column step u and the row step v (mm)."""
        return cls._of(_core.GeometryValue.free(vectors, volume_shape, voxel_size, volume_offset,
                                                detector_shape, trace))

    @classmethod
    def defined(cls):
        """The defined scan of tomproj and tomrec: 128^3 voxels of 1 mm with
        volume_offset (1, 1, 0), a 256 x 256 detector of pitch 1 with
        detector_offset (-0.5, -0.5), sod 256, sdd 512, 256 views over 360
        degrees, and the trace region -63 < x < 62, -62 < y < 63,
        -62 < z < 63. The programs' own angles use pi = 3.14159265358979:
        their rays differ from vectors() by the rounding of sin and cos."""
        return cls._of(_core.GeometryValue.defined_preset())

    @classmethod
    def from_toml(cls, path, table=None):
        """The geometry of a geometry file, or of the table `table` (dotted,
        e.g. "geometry") of a bigger TOML file. A file that cannot be read
        raises TomsimInputError; a geometry the file gets wrong raises
        TomsimUsageError (a ValueError) naming the file, the line and the
        field."""
        return cls._of(_core.GeometryValue.from_toml_file(os.fspath(path), table or ""))

    @classmethod
    def from_toml_text(cls, text, table=None, name="<text>"):
        """The geometry in a TOML text (see from_toml); `name` stands for the
        file in messages."""
        return cls._of(_core.GeometryValue.from_toml_text(str(text), str(name), table or ""))

    # -- writing ----------------------------------------------------------

    def to_toml(self, path):
        """Writes the geometry file (the file appears only once complete)."""
        self._value.write_toml(os.fspath(path))

    def to_toml_text(self):
        """The geometry file's text; numbers read back exactly."""
        return self._value.toml_text()

    # -- what it is -------------------------------------------------------

    def is_defined(self):
        """Whether this is the defined scan itself (Geometry.defined(), or a
        file with preset = "defined" and nothing that changes it). A geometry
        with the same numbers made otherwise is a general geometry."""
        return self._value.defined

    def matches_defined(self):
        """Whether the values are the defined scan's, whatever is_defined() says."""
        return self._value.matches_defined()

    @property
    def form(self):
        """How the views are given: "circle", "angles" or "vectors"."""
        return self._value.form

    @property
    def volume_shape(self):
        """(nz, ny, nx): the shape of a Volume array."""
        return self._value.volume_shape

    @property
    def stack_shape(self):
        """(views, rows, columns): the shape of a stack array."""
        return (self.views,) + self.detector_shape

    @property
    def voxel_size(self):
        return self._value.voxel_size

    @property
    def volume_offset(self):
        return self._value.volume_offset

    @property
    def detector_shape(self):
        return self._value.detector_shape

    @property
    def detector_pitch(self):
        """(row, column) in mm; (1, 1) and unused for free vectors."""
        return self._value.detector_pitch

    @property
    def detector_offset(self):
        """(v, u) in mm; (0, 0) and unused for free vectors."""
        return self._value.detector_offset

    @property
    def sod(self):
        """Source to isocentre (mm); 0 for free vectors."""
        return self._value.sod

    @property
    def sdd(self):
        """Source to detector (mm); 0 for free vectors."""
        return self._value.sdd

    @property
    def views(self):
        """The number of views."""
        return self._value.views

    @property
    def start(self):
        return self._value.start

    @property
    def arc(self):
        return self._value.arc

    @property
    def angles(self):
        """The view angles in degrees (float64), None for free vectors."""
        return self._value.angles()

    @property
    def trace(self):
        """None, or ((zmin, ymin, xmin), (zmax, ymax, xmax))."""
        return self._value.trace

    # -- where things are -------------------------------------------------

    def vectors(self):
        """(views, 12) float64: per view the source, the detector's centre,
        the column step u and the row step v (mm)."""
        return self._value.vectors()

    def voxel_centre(self, iz, iy, ix):
        """The centres of voxels (iz, iy, ix), broadcast over arrays, as an
        array (..., 3) whose last axis is (x, y, z) in mm. Fractional indices
        give points between centres."""
        iz, iy, ix = np.broadcast_arrays(*(np.asarray(i, dtype=np.float64) for i in (iz, iy, ix)))
        shape = iz.shape
        flat = [np.ascontiguousarray(a).reshape(-1) for a in (iz, iy, ix)]
        return self._value.voxel_centres(*flat).reshape(shape + (3,))

    def pixel_centre(self, view, row, column):
        """The centres of detector pixels (view, row, column), broadcast over
        arrays, as an array (..., 3) whose last axis is (x, y, z) in mm."""
        view, row, column = np.broadcast_arrays(*(np.asarray(i, dtype=np.float64) for i in (view, row, column)))
        shape = view.shape
        flat = [np.ascontiguousarray(a).reshape(-1) for a in (view, row, column)]
        return self._value.pixel_centres(*flat).reshape(shape + (3,))

    def metaimage_header(self, kind, data_file):
        """The MetaImage header text of a raw file of this geometry's
        "volume" or "stack" (see tomsim.io.write_header)."""
        if kind not in ("volume", "stack"):
            raise ValueError(f"kind must be 'volume' or 'stack', not {kind!r}")
        return self._value.metaimage_header(kind == "stack", str(data_file))

    # -- value semantics --------------------------------------------------

    def __eq__(self, other):
        if not isinstance(other, Geometry):
            return NotImplemented
        return self._value == other._value

    def __ne__(self, other):
        result = self.__eq__(other)
        return result if result is NotImplemented else not result

    __hash__ = None

    def __reduce__(self):
        return (_from_toml_text, (self.to_toml_text(),))

    def __repr__(self):
        if self.is_defined():
            return "Geometry.defined()"
        if self.form == "vectors":
            return (f"Geometry.from_vectors(<{self.views} views>, volume_shape={self.volume_shape}, "
                    f"voxel_size={self.voxel_size}, volume_offset={self.volume_offset}, "
                    f"detector_shape={self.detector_shape}"
                    + (f", trace={self.trace}" if self.trace else "") + ")")
        views = (f"views={self.views}, start={self.start!r}, arc={self.arc!r}" if self.form == "circle"
                 else f"angles=<{self.views} angles>")
        return (f"Geometry(volume_shape={self.volume_shape}, voxel_size={self.voxel_size}, "
                f"volume_offset={self.volume_offset}, detector_shape={self.detector_shape}, "
                f"detector_pitch={self.detector_pitch}, detector_offset={self.detector_offset}, "
                f"sod={self.sod!r}, sdd={self.sdd!r}, {views}"
                + (f", trace={self.trace}" if self.trace else "") + ")")


def _from_toml_text(text):
    return Geometry.from_toml_text(text)
