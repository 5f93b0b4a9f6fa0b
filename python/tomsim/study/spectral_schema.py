"""The polychromatic tables of a study description: [spectrum],
[[materials]], [detector], [correction] and the keys of other tables they
bring. Each value is checked by making the library's object from it, so
the rules are tomsim.spectral's own; each error names its key and line."""

import hashlib
import os

from . import spectral_steps
from .spectral_steps import Spectral

_TABLES = ("spectrum", "materials", "detector", "correction")
_DETECTORS = ("integrating", "counting")
_CORRECTIONS = ("water", "linear")
_DTYPES = ("float32", "float16")

# Words of the tube model's refusals and the keys they are about.
_SPECTRUM_KEYS = (("kVp", "kvp"), ("anode", "anode_angle"), ("bin width", "bin_width"))


def _library(check, key_path, make, *args):
    """make(*args), or None with its refusal recorded at the key."""
    try:
        return make(*args)
    except (ValueError, OSError) as e:
        check.error(key_path, str(e))
        return None


def read(check, data, base, study):
    """The Spectral of a description, or None for a monochromatic study
    (whose other keys are then refused)."""
    if "spectrum" not in data:
        for key in _TABLES[1:]:
            if key in data:
                where = (key, 0) if isinstance(data[key], list) else (key,)
                check.error(where, "a polychromatic table: give the study a [spectrum] too")
        for key_path in (("projection", "voxel_mm"), ("store", "log"), ("store", "paths")):
            if key_path[1] in data.get(key_path[0], {}):
                check.error(key_path, "applies to polychromatic studies: give the study a [spectrum]")
        return None
    spectrum, photons = _spectrum(check, data.get("spectrum"), base)
    materials = _materials(check, data.get("materials"))
    detector = _detector(check, data.get("detector", {}))
    spectral = Spectral(spectrum=spectrum, photons=photons, materials=materials, **detector)
    spectral = _correction(check, data.get("correction", {}), spectral)
    spectral = _others(check, data, study, spectral)
    if not check.errors:
        spectral_steps._setup(spectral)
    return spectral


def _spectrum(check, table, base):
    where = ("spectrum",)
    if not isinstance(table, dict):
        check.error(where, "expected a table")
        return (), 1.0
    photons = check.get(table, "photons", float, where, 1e5)
    if photons is not None and not photons > 0:
        check.error(where + ("photons",), "expected a positive number of photons per pixel")
    if "file" in table:
        for key in ("kvp", "anode_angle", "filtration", "bin_width"):
            if key in table:
                check.error(where + (key,), "a spectrum file replaces the tube model: give one of them")
        name = check.get(table, "file", str, where, None)
        if name is None:
            return (), photons
        path = os.path.join(base, name)
        spectrum = _library(check, where + ("file",), spectral_steps._sp().spectra.read, path)
        if spectrum is None:
            return (), photons
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        return (("file", os.path.abspath(path)), ("file_sha256", digest)), photons
    options = {}
    for key in ("kvp", "anode_angle", "bin_width"):
        value = check.get(table, key, float, where, None)
        if value is not None:
            options[key] = value
    if "filtration" in table:
        filtration = table["filtration"]
        if not (isinstance(filtration, list) and all(
                isinstance(f, list) and len(f) == 2 and isinstance(f[0], str)
                and isinstance(f[1], (int, float)) and not isinstance(f[1], bool) for f in filtration)):
            check.error(where + ("filtration",), 'expected a list of [material, mm], e.g. [["Al", 2.75]]')
        else:
            options["filtration"] = tuple((name, float(mm)) for name, mm in filtration)
    spectrum = tuple(sorted(options.items()))
    try:
        spectral_steps.spectrum_of(Spectral(spectrum=spectrum, photons=1.0, materials=()))
    except ValueError as e:
        key = next((k for word, k in _SPECTRUM_KEYS if word in str(e)), "filtration")
        check.error(where + (key,) if key in table else where, str(e))
    return spectrum, photons


def _materials(check, tables):
    if tables is None:
        check.error(("spectrum",), "a polychromatic study needs [[materials]]: the material of each shape")
        return ()
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        check.error(("materials",), "expected tables, written [[materials]]")
        return ()
    out, listed, rest = [], {}, []
    for i, table in enumerate(tables):
        where = ("materials", i)
        check.unknown_keys(table, {"material", "density", "shapes"}, where)
        name = check.get(table, "material", str, where, None, required=True)
        density = check.get(table, "density", float, where, None)
        shapes = check.get(table, "shapes", list, where, None)
        if shapes is not None:
            if not shapes or not all((isinstance(s, int) and not isinstance(s, bool) and s >= 0)
                                     or (isinstance(s, str) and s) for s in shapes):
                check.error(where + ("shapes",), "expected shape positions (from 0) or shape names")
                shapes = None
            else:
                for s in shapes:
                    if s in listed:
                        check.error(where + ("shapes",), f"shape {s!r} is also given to materials[{listed[s]}]")
                    listed[s] = i
                shapes = tuple(shapes)
        else:
            rest.append(i)
        if len(rest) > 1 and i == rest[-1]:
            check.error(where, "only one material may go without 'shapes' (it takes every shape left)")
        if name is not None and _library(check, where + ("material",), spectral_steps.material_of, name,
                                         density) is not None:
            out.append((name, density, shapes))
    return tuple(out)


def _detector(check, table):
    where = ("detector",)
    if not isinstance(table, dict):
        check.error(where, "expected a table")
        return {}
    kind = check.get(table, "kind", str, where, "counting" if "thresholds" in table else "integrating")
    if kind not in _DETECTORS:
        check.error(where + ("kind",), f"expected one of {', '.join(_DETECTORS)}")
    thresholds = check.get(table, "thresholds", list, where, [])
    if kind == "counting" and not thresholds:
        check.error(where + ("kind",), "a counting detector needs 'thresholds' (keV)")
    if kind == "integrating" and thresholds:
        check.error(where + ("thresholds",), "an integrating detector has no thresholds")
    if not all(isinstance(t, (int, float)) and not isinstance(t, bool) for t in thresholds):
        check.error(where + ("thresholds",), "expected numbers of keV")
        thresholds = []
    options = {"thresholds": tuple(float(t) for t in thresholds),
               "sensor": check.get(table, "sensor", str, where, None),
               "thickness": check.get(table, "thickness", float, where, 0.0)}
    try:
        spectral_steps.detector_of(Spectral((), 1.0, (), **options))
    except ValueError as e:
        key = next((k for k in ("thresholds", "thickness") if k[:-1] in str(e)), "sensor")
        check.error(where + (key,) if key in table else where, str(e))
        return {}
    return options


def _correction(check, table, spectral):
    where = ("correction",)
    if not isinstance(table, dict):
        check.error(where, "expected a table")
        return spectral
    method = check.get(table, "method", str, where, "linear")
    if method not in _CORRECTIONS:
        check.error(where + ("method",), f"expected one of {', '.join(_CORRECTIONS)}")
    index = check.get(table, "bin", int, where, 0)
    if index is not None and not 0 <= index < spectral_steps.bins(spectral):
        check.error(where + ("bin",), f"expected a bin of the detector, 0 ... {spectral_steps.bins(spectral) - 1}")
    return Spectral(**{**spectral.__dict__, "correction": method or "linear", "bin": index or 0})


def _others(check, data, study, spectral):
    """The keys of the study's other tables that a polychromatic study
    reads, and the steps it cannot take."""
    projection, store, conditions = (data.get(k, {}) for k in ("projection", "store", "conditions"))
    values = {}
    if "voxel_mm" in projection:
        if study.geometry is not None:
            check.error(("projection", "voxel_mm"), "the geometry gives the voxel size: leave voxel_mm out")
        value = check.get(projection, "voxel_mm", float, ("projection",), None)
        if value is not None and not value > 0:
            check.error(("projection", "voxel_mm"), "expected a positive number of mm")
        elif value is not None:
            values["voxel_mm"] = value
    for key in ("log", "paths"):
        if key in store:
            value = store[key]
            value = None if value in (False, "none") else "float32" if value is True else value
            if value is not None and value not in _DTYPES:
                check.error(("store", key), f"expected one of {', '.join(_DTYPES)}, none, true or false")
            values["store_" + key] = value
    for key in ("projections", "noisy"):
        if store.get(key) not in (None, False, "none"):
            check.error(("store", key), "a polychromatic study keeps 'log' (and 'paths'), not this")
    if "mu" in conditions:
        check.error(("conditions", "mu"), "the materials' attenuation replaces mu in a polychromatic study")
    if study.projection != "voxel":
        check.error(("projection", "method"), "a polychromatic study projects its material volumes ('voxel')")
    for i, p in enumerate(study.phantoms):
        if p.kind == "files":
            check.error(("phantoms", i, "kind"), "a polychromatic study needs phantoms with shapes, not Volume files")
            break
    return Spectral(**{**spectral.__dict__, **values})
