"""tomstudy runs that go wrong on the way: a worker killed in the middle, a
run interrupted and resumed. Every sample ends complete, computed once per
run that needed it, and with the same bits as a run in one process."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from study_support import (assert_same_arrays, python_env, sample_files, small_study,
                           tomstudy)
from tomsim.study import steps

TIMEOUT = 600


def wait_for(condition, what, timeout=TIMEOUT, process=None):
    end = time.time() + timeout
    while not condition():
        if process is not None and process.poll() is not None:
            out, err = process.communicate()
            pytest.fail(f"tomstudy ended (status {process.returncode}) before {what}:\n{err}")
        if time.time() > end:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.05)


def finish(process):
    try:
        out, err = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        pytest.fail(f"tomstudy did not finish:\n{err}")
    return process.returncode, err


def temporaries(out):
    return [n for n in os.listdir(os.path.join(out, "samples")) if n.endswith(".tmp")]


@pytest.fixture(scope="module")
def resumed_in_process(tmp_path_factory):
    """A study interrupted by SIGINT after two samples, then run again: the
    reference for the cluster test, as one process computes it."""
    folder = tmp_path_factory.mktemp("resume")
    study = small_study(str(folder))
    out = str(folder / "out")
    first = tomstudy("run", study, "--out", out, "--in-process", "--quiet")
    wait_for(lambda: len([n for n in sample_files(out) if n.endswith(".h5")]) >= 2,
             "two samples were written", process=first)
    first.send_signal(signal.SIGINT)
    status, err = finish(first)
    kept = {n: os.stat(os.path.join(out, "samples", n)) for n in sample_files(out)}
    summary = json.load(open(os.path.join(out, "summary.json")))

    second = tomstudy("run", study, "--out", out, "--in-process", "--quiet")
    status2, err2 = finish(second)
    return {"study": study, "out": out, "first": (status, err, kept, summary),
            "second": (status2, err2, json.load(open(os.path.join(out, "summary.json"))))}


def test_an_interrupted_run_resumes_with_only_the_missing_samples(resumed_in_process):
    status, err, kept, summary = resumed_in_process["first"]
    out = resumed_in_process["out"]
    assert status == 130, err
    assert "interrupted" in err
    assert 2 <= len(kept) < 6 and all(n.endswith(".h5") for n in kept)  # no half-written file
    assert summary["done"] == len(kept) and summary["missing"] == 6 - len(kept)

    status, err, summary = resumed_in_process["second"]
    assert status == 0, err
    assert summary["done"] == 6 and summary["run"]["samples_computed"] == 6 - len(kept)
    for name, before in kept.items():  # the first run's files were not remade
        after = os.stat(os.path.join(out, "samples", name))
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert not temporaries(out)


def _start(command, log):
    return subprocess.Popen([sys.executable, "-m", *command], env=python_env(),
                            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)


def test_a_worker_killed_mid_run_loses_nothing(resumed_in_process, tmp_path):
    scheduler_file = str(tmp_path / "scheduler.json")
    log = open(tmp_path / "cluster.log", "w")
    processes = []
    try:
        processes.append(_start(["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                                 "--no-dashboard", "--scheduler-file", scheduler_file], log))
        wait_for(lambda: os.path.exists(scheduler_file), "the scheduler started", timeout=120)
        for i in range(2):
            processes.append(_start(["distributed.cli.dask_worker", "--scheduler-file", scheduler_file,
                                     "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                                     "--no-dashboard", "--name", f"worker-{i}",
                                     "--local-directory", str(tmp_path / f"w{i}")], log))
        # The same study, its phantoms projected two at a time by the batch
        # kernel: a plan that must not change a bit.
        original = resumed_in_process["study"]
        phantoms = os.path.join(os.path.dirname(original), "phantoms")
        study = str(tmp_path / "batched.toml")
        with open(original) as f, open(study, "w") as g:
            text = f.read().replace('folder = "phantoms"', f'folder = "{phantoms}"')
            g.write(text + "\n[run]\nbatch = 2\n")
        out = str(tmp_path / "out")
        run = tomstudy("run", study, "--out", out,
                       "--scheduler-file", scheduler_file, "--threads", "1", "--quiet")
        wait_for(lambda: any(n.endswith(".h5") for n in sample_files(out)), "a first sample",
                 process=run)
        victim = processes[1]
        victim.send_signal(signal.SIGKILL)
        victim.wait()
        done_at_kill = len([n for n in sample_files(out) if n.endswith(".h5")])
        status, err = finish(run)
        assert status == 0, err
        assert done_at_kill < 6, "the worker was killed after the study ended"
        summary = json.load(open(os.path.join(out, "summary.json")))
        assert summary["done"] == 6 and summary["missing"] == 0 and summary["failed"] == 0
        assert_same_arrays(resumed_in_process["out"], out)
        assert not temporaries(out)
    finally:
        for p in processes:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in processes:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
        log.close()


def test_report_draws_metrics_and_slices(resumed_in_process):
    out = resumed_in_process["out"]
    run = subprocess.run([sys.executable, "-m", "tomsim.study", "report", out], env=python_env(),
                         capture_output=True, text=True, timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr
    text = open(os.path.join(out, "report.md")).read()
    assert "figures/slices.png" in text and "6 of 6 samples complete" in text
    for name in ("slices.png",):
        with open(os.path.join(out, "figures", name), "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def test_a_folder_of_another_description_is_refused(resumed_in_process, tmp_path):
    out = tmp_path / "out"
    (out / "samples").mkdir(parents=True)
    first = sample_files(resumed_in_process["out"])[0]
    stranger = out / "samples" / first
    with open(os.path.join(resumed_in_process["out"], "samples", first), "rb") as f:
        stranger.write_bytes(f.read())
    with open(resumed_in_process["study"]) as f:
        text = f.read().replace("seed = 1234", "seed = 4321")
    study = tmp_path / "reseeded.toml"
    study.write_text(text.replace('folder = "phantoms"',
                                  f'folder = "{os.path.dirname(resumed_in_process["study"])}/phantoms"'))
    status, err = finish(tomstudy("run", str(study), "--out", str(out), "--in-process", "--quiet"))
    assert status == 1 and f"samples/{first}" in err and "different description" in err
    assert sample_files(str(out)) == [first] and not (out / "manifest.csv").exists()


def test_an_interrupted_local_cluster_leaves_only_whole_samples(resumed_in_process, tmp_path):
    out = str(tmp_path / "out")
    run = tomstudy("run", resumed_in_process["study"], "--out", out, "--workers", "2", "--quiet")
    wait_for(lambda: any(n.endswith(".h5") for n in sample_files(out)), "a first sample", process=run)
    run.send_signal(signal.SIGINT)
    status, err = finish(run)
    assert status == 130, err
    assert not temporaries(out)
    assert_same_arrays(resumed_in_process["out"], out, all_samples=False)


def test_a_failing_sample_is_named_and_its_neighbours_are_made(tmp_path, monkeypatch):
    """A phantom's samples are computed together; when one of them fails, the
    others are still made and the failure names its own sample."""
    from tomsim.study import expand, load, runner
    study = small_study(str(tmp_path), samples=4)
    real_noise = steps.add_noise

    def noise(stack, condition, seed, threads):
        if seed == failing[0]:
            raise RuntimeError("a broken detector")
        return real_noise(stack, condition, seed, threads)

    samples = expand(load(study))
    failing = [next(s.noise_seed for s in samples if s.condition.i0 is not None)]
    monkeypatch.setattr(steps, "add_noise", noise)
    out = str(tmp_path / "out")
    status = runner.run(study, runner.Options(out=out, in_process=True, quiet=True))
    summary = json.load(open(os.path.join(out, "summary.json")))
    bad = next(s.id for s in samples if s.noise_seed == failing[0])
    assert status == 1
    assert summary["done"] == 3 and summary["failed"] == 1
    assert "a broken detector" in json.dumps(summary) and bad in json.dumps(summary)
    assert sorted(sample_files(out)) == sorted(os.path.basename(s.file) for s in samples if s.id != bad)
