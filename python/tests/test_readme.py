"""The README's Python round trip runs as it stands."""

import os
import re
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR


@pytest.mark.slow
def test_readme_round_trip(tmp_path):
    text = open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8").read()
    block = re.search(r"<!-- round-trip:[^>]*-->\s*```python\n(.*?)```", text, re.S)
    assert block, "the README has no round-trip block"
    assert len(block.group(1).strip().splitlines()) <= 10  # the ten lines it promises
    done = subprocess.run([sys.executable, "-c", block.group(1)], cwd=tmp_path, env=os.environ,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=900)
    assert done.returncode == 0, done.stderr.decode()
    r = float(re.search(r"r = ([0-9.]+)", done.stdout.decode()).group(1))
    assert r > 0.75
    assert (tmp_path / "round-trip.png").stat().st_size > 1000
