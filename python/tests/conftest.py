"""Shared set-up of the package's tests: where the build is, a private cache
folder, and the slow marker (whole runs, left out of quick passes)."""

import os
import subprocess

import pytest

BINARY_DIR = os.environ.get("TOM_BINARY_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
SOURCE_DIR = os.environ.get("TOM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: whole runs of the programs beside the package")


@pytest.fixture(autouse=True, scope="session")
def private_cache(tmp_path_factory):
    """The weight cache of the tests lives in their own folder, never the user's."""
    folder = tmp_path_factory.mktemp("cache")
    old = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = str(folder)
    yield folder
    if old is None:
        del os.environ["XDG_CACHE_HOME"]
    else:
        os.environ["XDG_CACHE_HOME"] = old


def program(name):
    """The path of a built program or tool."""
    for path in (os.path.join(BINARY_DIR, "bin", name),):
        if os.path.exists(path):
            return path
    pytest.skip(f"{name} is not built in {BINARY_DIR}")


def run(args, cwd, stdin=b"", check=True):
    """Runs a program; returns the completed process (stdout and stderr as bytes)."""
    done = subprocess.run(args, cwd=cwd, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=900)
    if check and done.returncode != 0:
        raise AssertionError(f"{args} ended with {done.returncode}: {done.stderr.decode(errors='replace')}")
    return done
