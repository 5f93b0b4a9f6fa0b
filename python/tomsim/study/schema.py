"""The study description: a TOML file read with tomllib and checked key by
key before any work, so that a typing error costs nothing and every error
names the key and its line."""

import math
import os
import re
import tomllib
from dataclasses import dataclass, field

from . import spectral_schema, steps
from .tomllines import key_lines, line_of


class StudyError(Exception):
    """A study description or output folder that cannot be used as it is."""


@dataclass(frozen=True)
class Phantom:
    """One object of the study; its label is part of every sample id."""
    label: str
    kind: str
    seed: int | None = None          # random phantoms
    path: str | None = None          # files and descriptions
    options: tuple = ()              # (name, value) pairs passed to the generator


@dataclass(frozen=True)
class Condition:
    """A dose condition; i0 None means noise-free projections."""
    i0: float | None
    electronic: float = 0.0
    mu: float | None = None

    @property
    def label(self):
        if self.i0 is None:
            return "noise-free"
        text = "i0-" + _number(self.i0)
        if self.electronic:
            text += "-e" + _number(self.electronic)
        if self.mu is not None:
            text += "-mu" + _number(self.mu)
        return text


@dataclass(frozen=True)
class Reconstruction:
    name: str
    method: str
    options: tuple = ()


@dataclass(frozen=True)
class Store:
    folder: str = "samples"
    phantom: str | None = "float32"
    projections: str | None = None
    noisy: str | None = None
    reconstructions: str | None = "float32"
    compression: str | None = "lzf"


@dataclass
class Study:
    name: str
    seed: int
    path: str
    text: str
    description: str = ""
    phantoms: list = field(default_factory=list)
    conditions: list = field(default_factory=list)
    projection: str = "voxel"
    reconstructions: list = field(default_factory=list)
    metrics: list = field(default_factory=list)
    store: Store = field(default_factory=Store)
    batch: int = 1
    geometry: object = None      # a tomsim.Geometry, or None: the defined scan as the programs run it
    spectral: object = None      # a spectral_steps.Spectral, or None: monochromatic line integrals


def _number(x):
    """A short, stable spelling of a number for ids: 10000 -> 10000, 1e6 -> 1e6."""
    text = format(float(x), "g")
    return text.replace("e+0", "e").replace("e+", "e").replace("e-0", "e-")


_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]*$")
_DTYPES = ("float32", "float16")
_COMPRESSIONS = ("none", "lzf", "gzip")

# Every key the description may hold, table by table.
_KEYS = {
    "study": {"name", "seed", "description"},
    "conditions": {"i0", "electronic", "mu", "noise_free"},
    "projection": {"method", "voxel_mm"},
    "metrics": {"names"},
    "store": {"folder", "phantom", "projections", "noisy", "reconstructions", "compression", "log", "paths"},
    "run": {"batch"},
    "spectrum": {"kvp", "anode_angle", "filtration", "bin_width", "file", "photons"},
    "detector": {"kind", "thresholds", "sensor", "thickness"},
    "correction": {"method", "bin"},
}
_TOP = set(_KEYS) | {"phantoms", "reconstruction", "geometry", "materials"}


class _Checker:
    """Collects every error of a description, each with its file line."""

    def __init__(self, path, text, check_build):
        self.path = path
        self.check_build = check_build
        self.lines = key_lines(text)
        self.errors = []

    def error(self, key_path, message):
        line = line_of(self.lines, key_path)
        where = f"{self.path}:{line}" if line else self.path
        name = ".".join(str(k) if not isinstance(k, int) else f"[{k}]" for k in key_path)
        name = name.replace(".[", "[")
        self.errors.append(f"{where}: {name}: {message}" if name else f"{where}: {message}")

    def unknown_keys(self, table, allowed, key_path):
        for key in table:
            if key not in allowed:
                hint = ", ".join(sorted(allowed))
                self.error(key_path + (key,), f"unknown key (this table takes: {hint})")

    def get(self, table, key, kind, key_path, default=None, required=False):
        """The value of a key if it has the kind asked (int, float, str, bool,
        or a tuple of them); records an error and returns the default if not."""
        if key not in table:
            if required:
                self.error(key_path, f"the key '{key}' is missing")
            return default
        value = table[key]
        kinds = kind if isinstance(kind, tuple) else (kind,)
        ok = any(_is(value, k) for k in kinds)
        if not ok:
            names = " or ".join(_KIND_NAMES[k] for k in kinds)
            self.error(key_path + (key,), f"expected {names}, got {value!r}")
            return default
        return float(value) if float in kinds and int not in kinds and _is(value, int) else value

    def numbers(self, table, key, key_path, positive, default):
        """A number or a list of numbers (a list is a sweep)."""
        if key not in table:
            return default
        value = table[key]
        values = value if isinstance(value, list) else [value]
        if not values:
            self.error(key_path + (key,), "the list is empty")
            return default
        out = []
        for v in values:
            if not _is(v, float) or not math.isfinite(float(v)) or (positive and float(v) <= 0) \
                    or float(v) < 0:
                need = "positive" if positive else "non-negative"
                self.error(key_path + (key,), f"expected {need} finite numbers, got {v!r}")
                return default
            out.append(float(v))
        if len(set(out)) != len(out):
            self.error(key_path + (key,), "a value is listed twice")
            return default
        return out


_KIND_NAMES = {int: "an integer", float: "a number", str: "a string", bool: "true or false",
               list: "a list"}


def _is(value, kind):
    if kind is int:
        return isinstance(value, int) and not isinstance(value, bool)
    if kind is float:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    return isinstance(value, kind)


def load(path, check_build=True):
    """Reads and checks a study description; raises StudyError listing every
    fault with its line. Nothing is written and nothing is computed but the
    figure names of one small comparison, which check_build False leaves out
    (the metric names are then not checked)."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise StudyError(f"{path}: cannot read the study description: {e.strerror}") from None
    try:
        text = raw.decode("utf-8")
        data = tomllib.loads(text)
    except UnicodeDecodeError as e:
        raise StudyError(f"{path}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    except tomllib.TOMLDecodeError as e:
        raise StudyError(f"{path}: not a valid TOML file: {e}") from None
    check = _Checker(path, text, check_build)
    study = _read(check, data, path, text)
    if check.errors:
        raise StudyError("\n".join(check.errors))
    return study


def _table(check, data, key):
    value = data.get(key, {})
    if not isinstance(value, dict):
        check.error((key,), "expected a table")
        return {}
    return value


def _read(check, data, path, text):
    for key in data:
        if key not in _TOP:
            check.error((key,), f"unknown key (the description takes: {', '.join(sorted(_TOP))})")
    for key, allowed in _KEYS.items():
        check.unknown_keys(_table(check, data, key), allowed, (key,))

    head = _table(check, data, "study")
    if "study" not in data:
        check.error((), "the table [study] is missing")
    name = check.get(head, "name", str, ("study",), "study", required="study" in data)
    if name and not _NAME.match(name):
        check.error(("study", "name"), "use letters, digits, '.', '_' and '-' only")
    seed = check.get(head, "seed", int, ("study",), 0, required="study" in data)
    if seed is not None and not 0 <= seed < 2**63:
        check.error(("study", "seed"), "expected an integer from 0 to 2^63 - 1")
    study = Study(name=name or "study", seed=seed or 0, path=os.path.abspath(path), text=text,
                  description=check.get(head, "description", str, ("study",), ""))

    base = os.path.dirname(os.path.abspath(path))
    study.geometry = _geometry(check, data, text, base)
    study.phantoms = _phantoms(check, data, base, study.geometry)
    study.conditions = _conditions(check, _table(check, data, "conditions"))
    projection = _table(check, data, "projection")
    study.projection = check.get(projection, "method", str, ("projection",), "voxel")
    if study.projection not in steps.PROJECTIONS:
        check.error(("projection", "method"),
                    f"unknown method {study.projection!r} (known: {', '.join(steps.PROJECTIONS)})")
    if study.projection == "analytic":
        for i, p in enumerate(study.phantoms):
            if not steps.has_description(p.kind):
                check.error(("phantoms", i, "kind"),
                            f"analytic projection needs phantoms with a description; '{p.kind}' has none")
                break
    study.reconstructions = _reconstructions(check, data, study.geometry)
    study.metrics = _metrics(check, _table(check, data, "metrics"), study.reconstructions, study.geometry)
    study.store = _store(check, _table(check, data, "store"))
    study.spectral = spectral_schema.read(check, data, base, study)
    run = _table(check, data, "run")
    study.batch = check.get(run, "batch", int, ("run",), 1)
    if study.batch is not None and study.batch < 1:
        check.error(("run", "batch"), "expected an integer of at least 1")
    return study


def _first_line(check, table):
    """The first line of a table or of its sub-tables and keys."""
    return min((line for path, line in check.lines.items() if path[:1] == (table,)), default=None)


def _geometry(check, data, text, base):
    """The study's scan: a [geometry] table of this file or a geometry file
    named by `geometry`, read and checked by the library's geometry reader,
    whose errors name the file, the line and the key."""
    if "geometry" not in data:
        return None
    from tomsim import Geometry, TomsimInputError
    value = data["geometry"]
    try:
        if isinstance(value, dict):
            return Geometry.from_toml_text(text, table="geometry", name=check.path)
        if isinstance(value, str):
            try:
                return Geometry.from_toml(os.path.join(base, value))
            except ValueError as e:
                check.errors.append(f"{e} (the geometry file of {check.path}:{_first_line(check, 'geometry')})")
                return None
        check.error(("geometry",), "expected a [geometry] table or the name of a geometry file")
    except TomsimInputError as e:
        check.error(("geometry",), str(e))
    except ValueError as e:  # the reader's message names the line and the key
        check.errors.append(str(e))
    return None


def _phantoms(check, data, base, geometry=None):
    sources = data.get("phantoms")
    if sources is None:
        check.error((), "no [[phantoms]] table: the study needs objects")
        return []
    if not isinstance(sources, list) or not all(isinstance(s, dict) for s in sources):
        check.error(("phantoms",), "expected tables, written [[phantoms]]")
        return []
    phantoms = []
    for i, source in enumerate(sources):
        where = ("phantoms", i)
        kind = check.get(source, "kind", str, where, None, required=True)
        if kind is None:
            continue
        if kind not in steps.PHANTOM_KINDS:
            check.error(where + ("kind",), f"unknown kind {kind!r} (known: {', '.join(steps.PHANTOM_KINDS)})")
            continue
        allowed = steps.PHANTOM_KINDS[kind]
        check.unknown_keys(source, allowed | {"kind"}, where)
        options = tuple(sorted((k, v) for k, v in source.items()
                               if k not in ("kind", "first_seed", "count", "folder", "pattern", "files")))
        for key, value in options:
            problem = steps.phantom_option_problem(kind, key, value)
            if problem:
                check.error(where + (key,), problem)
        if kind == "random":
            first = check.get(source, "first_seed", int, where, 0)
            count = check.get(source, "count", int, where, None, required=True)
            if first is not None and first < 0:
                check.error(where + ("first_seed",), "expected a non-negative integer")
            if count is not None and count < 1:
                check.error(where + ("count",), "expected an integer of at least 1")
            if first is not None and count is not None and first >= 0 and count >= 1:
                phantoms += [Phantom(f"random-{s}", kind, seed=s, options=options)
                             for s in range(first, first + count)]
        elif kind in ("files", "descriptions"):
            phantoms += _phantom_files(check, source, where, kind, base, options, geometry)
        else:
            # The label says what the phantom is, not where its table stands.
            label = "-".join([kind] + [f"{k}-{v}" for k, v in options])
            label = re.sub(r"[^A-Za-z0-9.-]+", "-", label)
            phantoms.append(Phantom(label, kind, options=options))
    labels = [p.label for p in phantoms]
    for label in sorted({l for l in labels if labels.count(l) > 1}):
        check.error(("phantoms",), f"two phantoms have the label {label!r}; sample ids must be unique")
    return phantoms


def _phantom_files(check, source, where, kind, base, options, geometry):
    folder = check.get(source, "folder", str, where, None)
    names = check.get(source, "files", list, where, None)
    if (folder is None) == (names is None):
        check.error(where, "give either 'folder' (with an optional 'pattern') or 'files'")
        return []
    default = "*.img" if kind == "files" else "*.txt"
    pattern = check.get(source, "pattern", str, where, default)
    if names is not None:
        if not all(isinstance(n, str) for n in names) or not names:
            check.error(where + ("files",), "expected a non-empty list of file names")
            return []
        paths = [os.path.join(base, n) for n in names]
        key = "files"
    else:
        import glob
        folder = os.path.join(base, folder)
        if not os.path.isdir(folder):
            check.error(where + ("folder",), f"no such folder: {folder}")
            return []
        paths = sorted(glob.glob(os.path.join(folder, pattern)))
        key = "pattern" if "pattern" in source else "folder"
        if not paths:
            check.error(where + (key,), f"no file matches {pattern!r} in {folder}")
            return []
    phantoms = []
    for p in paths:
        if not os.path.isfile(p):
            check.error(where + (key,), f"no such file: {p}")
            continue
        problem = steps.phantom_file_problem(kind, p, geometry)
        if problem:
            check.error(where + (key,), problem)
            continue
        stem = os.path.splitext(os.path.basename(p))[0]
        label = re.sub(r"[^A-Za-z0-9.-]+", "-", stem).strip("-") or "phantom"
        phantoms.append(Phantom(label, kind, path=os.path.abspath(p), options=options))
    return phantoms


def _conditions(check, table):
    where = ("conditions",)
    i0s = check.numbers(table, "i0", where, positive=True, default=[])
    electronic = check.numbers(table, "electronic", where, positive=False, default=[0.0])
    mus = check.numbers(table, "mu", where, positive=True, default=[None])
    noise_free = check.get(table, "noise_free", bool, where, not i0s)
    if not i0s and ("electronic" in table or "mu" in table):
        check.error(where + ("i0" if "i0" in table else "electronic",),
                    "'electronic' and 'mu' apply to noisy conditions: give 'i0' too")
    conditions = [Condition(None)] if noise_free else []
    conditions += [Condition(i0, e, mu) for i0 in i0s for e in electronic for mu in mus]
    if not conditions:
        check.error(where + ("noise_free",), "no condition left: give 'i0' or noise_free = true")
    return conditions


def _scan_problem(method, options, geometry):
    """Why a reconstruction cannot run on the study's scan, or None."""
    if not steps.general(geometry):
        return None
    if method in steps.DEFINED_ONLY:
        return (f"'{method}' reconstructs the defined scan only (its rebinning and weights are that "
                "scan's); the study's geometry is another scan: use fdk, sirt, os-sart or cgls")
    if geometry.form == "vectors" and (method == "fdk" or options.get("start") == "fdk"):
        return "FDK needs a circular geometry (views or angles), not per-view vectors"
    return None


def _reconstructions(check, data, geometry=None):
    tables = data.get("reconstruction", [])
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        check.error(("reconstruction",), "expected tables, written [[reconstruction]]")
        return []
    out = []
    for i, table in enumerate(tables):
        where = ("reconstruction", i)
        method = check.get(table, "method", str, where, None, required=True)
        if method is None:
            continue
        if method not in steps.RECONSTRUCTIONS:
            check.error(where + ("method",),
                        f"unknown method {method!r} (known: {', '.join(steps.RECONSTRUCTIONS)})")
            continue
        allowed, defaults = steps.RECONSTRUCTIONS[method]
        check.unknown_keys(table, allowed | {"method", "name"}, where)
        name = check.get(table, "name", str, where, method)
        if name and not _NAME.match(name):
            check.error(where + ("name",), "use letters, digits, '.', '_' and '-' only")
        options = dict(defaults)
        for key in allowed:
            if key in table:
                problem = steps.reconstruction_option_problem(method, key, table[key])
                if problem:
                    check.error(where + (key,), problem)
                options[key] = table[key]
        problem = _scan_problem(method, options, geometry)
        if problem:
            check.error(where + ("method",), f"{problem} (geometry on line {_first_line(check, 'geometry')})")
        out.append(Reconstruction(name, method, tuple(sorted(options.items()))))
    names = [r.name for r in out]
    for name in sorted({n for n in names if names.count(n) > 1}):
        check.error(("reconstruction",), f"two reconstructions are named {name!r}: give each a 'name'")
    return out


def _metrics(check, table, reconstructions, geometry=None):
    names = check.get(table, "names", list, ("metrics",), None)
    if names is None:
        return []
    if not all(isinstance(n, str) and n for n in names):
        check.error(("metrics", "names"), "expected a list of figure names")
        return []
    if len(set(names)) != len(names):
        check.error(("metrics", "names"), "a metric is listed twice")
    if names and not reconstructions:
        check.error(("metrics", "names"), "metrics compare reconstructions with the phantom: "
                    "add a [[reconstruction]]")
    if check.check_build:
        known = steps.metric_names(geometry)
        for name in names:
            if name not in known:
                shown = ", ".join(sorted(k for k in known if "." not in k))
                check.error(("metrics", "names"), f"unknown metric {name!r} (tomsim.compare gives: "
                            f"{shown}, each also as whole.NAME and per region)")
    return list(names)


def _store(check, table):
    where = ("store",)
    values = {}
    for key in ("phantom", "projections", "noisy", "reconstructions"):
        value = check.get(table, key, (str, bool), where, Store.__dataclass_fields__[key].default)
        if value is False or value == "none":
            value = None
        elif value is True:
            value = "float32"
        elif value is not None and value not in _DTYPES:
            check.error(where + (key,), f"expected one of {', '.join(_DTYPES)}, none, true or false; got {value!r}")
            value = None
        values[key] = value
    folder = check.get(table, "folder", str, where, "samples")
    if folder is not None and (os.path.isabs(folder) or ".." in folder.split("/") or not folder.strip("./")):
        check.error(where + ("folder",), "expected a folder inside the output folder (relative, no '..')")
    compression = check.get(table, "compression", str, where, "lzf")
    if compression not in _COMPRESSIONS:
        check.error(where + ("compression",), f"expected one of {', '.join(_COMPRESSIONS)}")
    return Store(folder=folder or "samples", compression=None if compression == "none" else compression,
                 **values)
