"""Dataset studies: a TOML description expanded into samples (phantom, noisy
projections, reconstructions, metrics), computed in this process or on a Dask
cluster, one HDF5 file per sample; `tomstudy` is its command line."""

from .schema import StudyError, load
from .manifest import derive_seed, expand
from .runner import Options, run
from .store import read_geometry

__all__ = ["StudyError", "load", "expand", "derive_seed", "Options", "run", "read_geometry"]
