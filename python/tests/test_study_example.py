"""The example study as a new user runs it: examples/dose-sweep.toml from
start to report (several minutes: slow)."""

import json
import os
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR
from study_support import python_env

EXAMPLE = os.path.join(SOURCE_DIR, "examples", "dose-sweep.toml")


@pytest.mark.slow
def test_the_dose_sweep_example_runs_and_reports(tmp_path):
    def tomstudy(*args):
        return subprocess.run([sys.executable, "-m", "tomsim.study", *args], env=python_env(),
                              capture_output=True, text=True, timeout=3600)
    check = tomstudy("check", EXAMPLE)
    assert check.returncode == 0, check.stderr
    out = str(tmp_path / "sweep")
    run = tomstudy("run", EXAMPLE, "--out", out, "--workers", "2", "--quiet")
    assert run.returncode == 0, run.stderr
    summary = json.load(open(os.path.join(out, "summary.json")))
    assert summary["done"] == 8
    for entry in summary["entries"]:
        assert set(entry["metrics"]) == {"fdk", "tomrec"}
    report = tomstudy("report", out)
    assert report.returncode == 0, report.stderr
    text = open(os.path.join(out, "report.md")).read()
    for name in ("metric-pearson_r.png", "metric-rmse.png", "slices.png"):
        assert f"figures/{name}" in text and os.path.getsize(os.path.join(out, "figures", name)) > 1000
