"""Runs a study: plans what is missing in the output folder, computes it in
this process or on a Dask cluster, and writes manifest.csv and summary.json.
The sample files themselves are the record of what is done, so a run that is
interrupted or loses a worker is simply run again."""

import fcntl
import json
import os
import signal
import sys
import time
from collections import deque
from contextlib import contextmanager
from dataclasses import dataclass

from . import compute, manifest, steps, store
from .schema import StudyError, load


@dataclass
class Options:
    out: str
    scheduler: str | None = None
    scheduler_file: str | None = None
    workers: int | None = None       # local cluster size; None: one per processor
    in_process: bool = False         # no cluster: samples one after another here
    threads: int | None = None       # threads per sample; None: decided by the mode
    quiet: bool = False


class Interrupted(Exception):
    pass


def processors():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def say(options, text):
    if not options.quiet:
        print(text, file=sys.stderr, flush=True)


@contextmanager
def _locked(out):
    fd = os.open(os.path.join(out, ".tomstudy.lock"), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise StudyError(f"{out}: another tomstudy run is using this folder") from None
        yield
    finally:
        os.close(fd)


@contextmanager
def _terminate_as_interrupt():
    """A batch system stops a job with SIGTERM: treat it as Ctrl-C, so the run
    ends the same clean way."""
    def handler(signum, frame):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _remove_temporaries(out, study):
    for temp in store.stale_temporaries(os.path.join(out, study.store.folder)):
        try:
            os.remove(temp)
        except FileNotFoundError:
            pass


def _check_written(out, computed, failures):
    """A sample that a worker reported done must be here: a worker that wrote
    to a folder of the same name on a disk of its own has made nothing."""
    for s in computed:
        if s.id not in failures and store.sample_key(os.path.join(out, s.file)) != s.key:
            failures[s.id] = (f"reported done, but {s.file} is not in {out}: the workers must write "
                              "to a file system this machine shares")


def plan_missing(out, samples):
    """The samples without a complete file of their own. A file made for other
    parameters under the same id is an error: mixing two studies in one folder
    would give a data set that no description makes."""
    missing, foreign = [], []
    for s in samples:
        key = store.sample_key(os.path.join(out, s.file))
        if key is None:
            missing.append(s)
        elif key != s.key:
            foreign.append(s.file)
    if foreign:
        shown = ", ".join(foreign[:3]) + (f" and {len(foreign) - 3} more" if len(foreign) > 3 else "")
        raise StudyError(f"{out}: {shown} were made by a different description of the same samples; "
                         "use another --out folder, or remove those files to remake them")
    return missing


def run(study_path, options):
    """Runs a study; returns the exit status (0 all done, 1 failures, 130 interrupted)."""
    study = load(study_path)
    samples = manifest.expand(study)
    plan = compute.Plan.of(study)
    out = os.path.abspath(options.out)
    if os.path.exists(out) and not os.path.isdir(out):
        raise StudyError(f"{out}: exists and is not a folder")
    missing = plan_missing(out, samples) if os.path.isdir(out) else list(samples)

    os.makedirs(os.path.join(out, study.store.folder), exist_ok=True)
    with _locked(out), _terminate_as_interrupt():
        _remove_temporaries(out, study)
        store.write_text(os.path.join(out, "study.toml"), study.text)
        store.write_text(os.path.join(out, "manifest.csv"), manifest.manifest_csv(samples))
        say(options, f"study {study.name}: {len(samples)} samples, "
                     f"{len(samples) - len(missing)} already done, {len(missing)} to compute")
        started = time.time()
        failures, mode, interrupted = {}, "nothing to compute", False
        if missing:
            runner = _run_in_process if options.in_process else _run_on_cluster
            try:
                mode = runner(study, plan, missing, len(samples), out, options, failures)
                _check_written(out, missing, failures)
            except Interrupted as e:
                mode, interrupted = str(e), True
            finally:
                # What a killed worker or an interrupted writer left is no
                # sample; a task still writing on a remote worker at this
                # point belongs to no run any more.
                _remove_temporaries(out, study)
        wall = time.time() - started
        summary = write_summary(study, samples, out, failures,
                                {"mode": mode, "wall_seconds": round(wall, 3),
                                 "samples_to_compute": len(missing),
                                 "interrupted": interrupted},
                                {s.id for s in missing})
    computed = summary["run"]["samples_computed"]
    if interrupted:
        print(f"tomstudy: interrupted; {summary['done']} of {len(samples)} samples are complete. "
              f"Run the same command again to compute the other {len(samples) - summary['done']}.",
              file=sys.stderr)
        return 130
    if failures:
        print(f"tomstudy: {len(failures)} samples failed:", file=sys.stderr)
        for sample_id, message in list(failures.items())[:10]:
            print(f"  {sample_id}: {message}", file=sys.stderr)
        return 1
    rate = summary["run"].get("samples_per_hour")
    say(options, f"done: {computed} samples computed in {wall:.1f} s"
                 + (f" ({rate:.0f} samples per hour)" if rate else "")
                 + f"; {summary['done']} of {len(samples)} complete; {out}/summary.json")
    return 0


def _progress(options, total, initial):
    from tqdm import tqdm
    return tqdm(total=total, initial=initial, unit="sample", disable=options.quiet,
                dynamic_ncols=True, file=sys.stderr)


def _batches(missing, batch):
    """Groups of samples sharing a phantom, taken `batch` phantoms at a time."""
    groups = manifest.groups(missing)
    return [groups[i:i + batch] for i in range(0, len(groups), batch)]


def _run_in_process(study, plan, missing, total, out, options, failures):
    threads = options.threads
    bar = _progress(options, total, total - len(missing))
    try:
        shared = compute.shared_arrays(plan, threads, out)
        for batch in _batches(missing, study.batch):
            sources = compute.phantom_sources([g[0].phantom for g in batch], plan, threads)
            for group, source in zip(batch, sources):
                for chunk in compute.chunks(group):
                    outcome = compute.run_chunk(source, shared, chunk, plan, out, threads)
                    failures.update({i: message for i, message in outcome.items() if message})
                    bar.update(len(chunk))
    except KeyboardInterrupt:
        raise Interrupted("in this process") from None
    finally:
        bar.close()
    return f"in this process, {threads or processors()} threads per sample"


def _dashboard_available():
    """Whether this process could serve Dask's dashboard (it needs bokeh)."""
    import importlib.util
    return importlib.util.find_spec("bokeh") is not None


def _connect(options):
    """A client of the cluster asked for, and the local cluster if it is ours."""
    import logging
    from distributed import Client, LocalCluster
    logging.getLogger("distributed").setLevel(logging.ERROR)
    if options.scheduler_file or options.scheduler:
        target = options.scheduler_file or options.scheduler
        try:
            if options.scheduler_file:
                client = Client(scheduler_file=options.scheduler_file, timeout="60s")
            else:
                client = Client(options.scheduler, timeout="60s")
        except (OSError, TimeoutError, ValueError) as e:
            raise StudyError(f"cannot reach the Dask scheduler {target}: {e}") from None
        return client, None, f"cluster at {client.scheduler.address}"
    workers = options.workers or processors()
    # Ctrl-C reaches the whole process group: the worker processes start with
    # it ignored, and this process stops them in order.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        # A free port for the scheduler's web server (the dashboard where
        # bokeh is installed): another cluster may hold the usual one.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address="127.0.0.1:0",
                               silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, previous)
    return Client(cluster), cluster, f"local cluster of {workers} workers"


def _run_on_cluster(study, plan, missing, total, out, options, failures):
    from distributed import as_completed
    client = cluster = None
    described = "a Dask cluster"
    try:
        client, cluster, described = _connect(options)
        if cluster is None and not client.scheduler_info()["workers"]:
            say(options, f"waiting for workers to join {client.scheduler.address}")
            client.wait_for_workers(1)
        link = client.dashboard_link if client.run_on_scheduler(_dashboard_available) else None
        say(options, f"{described}; dashboard: {link or 'none (the scheduler has no bokeh)'}")
        threads = options.threads
        if threads is None and cluster is not None:
            threads = max(1, processors() // len(cluster.workers))
        token = os.urandom(4).hex()
        shared = {}
        if steps.needs_shared(plan.reconstructions):
            shared = client.submit(compute.shared_arrays, plan, threads, out, key=f"tomstudy-shared-{token}")
        todo = deque(_batches(missing, study.batch))
        pending = as_completed()
        ids = {}

        def window():
            # A few tasks (of up to four samples) per worker thread are
            # queued, not the whole study: the scheduler stays light and
            # projections do not pile up.
            return 2 * (sum(client.nthreads().values()) or 1) + 2

        def submit(batch):
            sources = client.submit(compute.phantom_sources, [g[0].phantom for g in batch],
                                    plan, threads,
                                    key=f"tomstudy-phantoms-{batch[0][0].phantom.label}-{token}")
            for i, group in enumerate(batch):
                source = client.submit(compute.pick, sources, i,
                                       key=f"tomstudy-phantom-{group[0].phantom.label}-{token}")
                for chunk in compute.chunks(group):
                    f = client.submit(compute.run_chunk, source, shared, chunk, plan, out, threads,
                                      key=f"tomstudy-samples-{chunk[0].id}-{token}")
                    ids[f.key] = [sample.id for sample in chunk]
                    pending.add(f)

        bar = _progress(options, total, total - len(missing))
        try:
            while todo and pending.count() < window():
                submit(todo.popleft())
            for f in pending:
                try:
                    outcome = f.result()
                except Exception as e:  # the task itself was lost (a worker died too often)
                    outcome = {i: f"{type(e).__name__}: {e}" for i in ids[f.key]}
                failures.update({i: message for i, message in outcome.items() if message})
                bar.update(len(ids.pop(f.key)))
                f.release()
                while todo and pending.count() < window():
                    submit(todo.popleft())
        finally:
            bar.close()
        return f"{described}, {threads or 'all'} threads per sample"
    except KeyboardInterrupt:
        raise Interrupted(described) from None
    finally:
        if client is not None:
            _close(client, cluster)


def _close(client, cluster):
    """Closing the client releases its futures: the scheduler drops the tasks
    not yet started."""
    try:
        client.close(timeout=10)
    except Exception:
        pass
    if cluster is not None:
        try:
            cluster.close(timeout=20)
        except Exception:
            pass


def write_summary(study, samples, out, failures, run_info, computed_ids):
    """summary.json from the sample files themselves, so that samples of
    earlier runs count as much as this run's."""
    entries, done = [], 0
    for s in samples:
        entry = {"id": s.id, "file": s.file, "phantom": s.phantom.label, "i0": s.condition.i0,
                 "electronic": s.condition.electronic, "mu": s.condition.mu}
        path = os.path.join(out, s.file)
        if store.sample_key(path) == s.key:
            attrs = store.read_attributes(path)
            entry.update(state="done", metrics=attrs.get("metrics", {}), timings=attrs.get("timings", {}),
                         made_by=attrs.get("made_by", {}))
            done += 1
        elif s.id in failures:
            entry.update(state="failed", error=failures[s.id])
        else:
            entry.update(state="missing")
        entries.append(entry)
    computed = sum(1 for e in entries if e["id"] in computed_ids and e["state"] == "done")
    run_info = dict(run_info, samples_computed=computed)
    if computed and run_info["wall_seconds"] > 0:
        run_info["samples_per_hour"] = round(3600.0 * computed / run_info["wall_seconds"], 1)
    summary = {"study": study.name, "description": study.path, "seed": study.seed,
               "samples": len(samples), "done": done,
               "failed": sum(1 for e in entries if e["state"] == "failed"),
               "missing": sum(1 for e in entries if e["state"] == "missing"),
               "reconstructions": [r.name for r in study.reconstructions], "metrics": study.metrics,
               "run": run_info, "finished": store.utc_now(), "entries": entries}
    store.write_text(os.path.join(out, "summary.json"), json.dumps(summary, indent=1) + "\n")
    return summary
