"""tomstudy report DIR: the figures a user looks at first, from a study's
summary.json and sample files: each metric against dose per reconstruction,
central slices of a few samples, and report.md tying them together."""

import json
import math
import os
from collections import defaultdict

import numpy as np

from . import store
from .schema import StudyError


def _load_summary(folder):
    path = os.path.join(folder, "summary.json")
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        raise StudyError(f"{folder}: no summary.json; is this the output folder of tomstudy run?") from None
    except (OSError, ValueError) as e:
        raise StudyError(f"{path}: cannot be read: {e}") from None


def _save(figure, path):
    """Saves a figure under a temporary name and renames it into place."""
    temp = store.temp_name(path)
    try:
        figure.savefig(temp, format="png", dpi=110, bbox_inches="tight")
        os.replace(temp, path)
    except BaseException:
        if os.path.exists(temp):
            os.remove(temp)
        raise


def _dose_label(i0):
    return "noise-free" if i0 is None else f"I0 = {i0:g}"


def _metric_table(done, reconstructions, metrics):
    """{(reconstruction, metric): {i0: [values]}} over the complete samples."""
    table = defaultdict(lambda: defaultdict(list))
    for e in done:
        for recon in reconstructions:
            for metric in metrics:
                value = e.get("metrics", {}).get(recon, {}).get(metric)
                if value is not None and math.isfinite(value):
                    table[(recon, metric)][e["i0"]].append(value)
    return table


def _metric_figures(plt, table, reconstructions, metrics, figures):
    made = []
    for metric in metrics:
        fig, ax = plt.subplots(figsize=(6, 4), layout="constrained")
        doses_all = set()
        for recon in reconstructions:
            by_dose = table.get((recon, metric), {})
            doses = sorted(d for d in by_dose if d is not None)
            doses_all.update(doses)
            if doses:
                means = [np.mean(by_dose[d]) for d in doses]
                line, = ax.plot(doses, means, "o-", label=recon)
                for d in doses:
                    ax.plot([d] * len(by_dose[d]), by_dose[d], ".", color=line.get_color(), alpha=0.35)
                colour = line.get_color()
            else:
                colour = None
            if None in by_dose:
                ax.axhline(np.mean(by_dose[None]), linestyle="--", color=colour,
                           label=f"{recon}, noise-free")
        if doses_all:
            ax.set_xscale("log")
            ax.set_xlabel("I0 (photons per detector pixel, unattenuated)")
        else:
            ax.set_xticks([])
        ax.set_ylabel(metric)
        ax.set_title(f"{metric} against dose")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize="small")
        name = "metric-" + metric.replace(".", "-") + ".png"
        _save(fig, os.path.join(figures, name))
        plt.close(fig)
        made.append((metric, name))
    return made


def _examples(done, count=3):
    """A few samples to show: the first phantoms, each at its lowest and its
    highest dose (noise-free counts as highest)."""
    by_phantom = defaultdict(list)
    for e in done:
        by_phantom[e["phantom"]].append(e)
    chosen = []
    for phantom in list(by_phantom)[:count]:
        entries = sorted(by_phantom[phantom], key=lambda e: math.inf if e["i0"] is None else e["i0"])
        chosen += [entries[0]] + ([entries[-1]] if len(entries) > 1 else [])
    return chosen


def _middle(volume):
    """The axial slice a figure shows: 64 of the defined grid, the middle of any."""
    return volume[volume.shape[0] // 2].astype(np.float32)


def _slice_figure(plt, folder, chosen, figures):
    import h5py
    rows, middle = [], 64
    for e in chosen:
        with h5py.File(os.path.join(folder, e["file"]), "r") as f:
            images = []
            if "phantom" in f:
                phantom = f["phantom"][()]
                if phantom.ndim == 4:  # a polychromatic study's materials: their total density
                    phantom = phantom.sum(axis=0, dtype=np.float32)
                images.append(("phantom", _middle(phantom)))
                middle = phantom.shape[0] // 2
            for name in f.get("reconstructions", {}):
                volume = f["reconstructions"][name][()]
                images.append((name, _middle(volume)))
                middle = volume.shape[0] // 2
        if images:
            rows.append((e, images))
    if not rows:
        return None
    columns = max(len(images) for _, images in rows)
    fig, axes = plt.subplots(len(rows), columns, figsize=(2.6 * columns, 2.7 * len(rows)), squeeze=False,
                             layout="constrained")
    for r, (e, images) in enumerate(rows):
        for c in range(columns):
            ax = axes[r][c]
            ax.axis("off")
            if c < len(images):
                title, image = images[c]
                lo, hi = np.percentile(image, [1, 99.5])
                ax.imshow(image, cmap="gray", vmin=lo, vmax=hi if hi > lo else lo + 1)
                ax.set_title(f"{title}\n{e['phantom']}, {_dose_label(e['i0'])}", fontsize=7)
    fig.suptitle(f"central axial slice (iz = {middle}), each image in its own window", fontsize=9)
    name = "slices.png"
    _save(fig, os.path.join(figures, name))
    plt.close(fig)
    return name


def report(folder):
    """Writes DIR/figures/*.png and DIR/report.md; returns a one-line account."""
    summary = _load_summary(folder)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figures = os.path.join(folder, "figures")
    os.makedirs(figures, exist_ok=True)
    entries = summary["entries"]
    done = [e for e in entries if e["state"] == "done"]
    reconstructions, metrics = summary["reconstructions"], summary["metrics"]
    table = _metric_table(done, reconstructions, metrics)
    metric_pngs = _metric_figures(plt, table, reconstructions, metrics, figures) if done else []
    slices = _slice_figure(plt, folder, _examples(done), figures) if done else None

    lines = [f"# Study {summary['study']}", "",
             f"{summary['done']} of {summary['samples']} samples complete"
             + (f", {summary['failed']} failed" if summary["failed"] else "")
             + (f", {summary['missing']} missing" if summary["missing"] else "")
             + f"; description {summary['description']}, study seed {summary['seed']}.", ""]
    if metric_pngs:
        lines += ["## Metrics against dose", "",
                  "Mean over the phantoms of each condition (single samples as faint points; "
                  "noise-free as a dashed line).", ""]
        doses = sorted({e["i0"] for e in done}, key=lambda d: math.inf if d is None else d)
        lines += ["| reconstruction | metric | " + " | ".join(_dose_label(d) for d in doses) + " |",
                  "|---|---|" + "---|" * len(doses)]
        for recon in reconstructions:
            for metric in metrics:
                cells = []
                for d in doses:
                    values = table.get((recon, metric), {}).get(d)
                    cells.append(f"{np.mean(values):.4g}" if values else "")
                lines.append(f"| {recon} | {metric} | " + " | ".join(cells) + " |")
        lines.append("")
        lines += [f"![{metric}](figures/{name})" for metric, name in metric_pngs]
        lines.append("")
    if slices:
        lines += ["## Example slices", "", f"![central slices](figures/{slices})", ""]
    timings = defaultdict(list)
    for e in done:
        for step, seconds in e.get("timings", {}).items():
            timings[step].append(seconds)
    if timings:
        lines += ["## Time per sample", "", "| step | mean seconds | samples |", "|---|---|---|"]
        lines += [f"| {step} | {np.mean(v):.2f} | {len(v)} |" for step, v in timings.items()]
        lines.append("")
        lines.append("The phantom and projection times are those of the phantom's one projection, "
                     "shared by all its conditions.")
        lines.append("")
    run = summary.get("run", {})
    if run:
        lines += ["## Last run", "", f"{run.get('mode')}: {run.get('samples_computed', 0)} samples computed "
                  f"in {run.get('wall_seconds', 0):.1f} s"
                  + (f" ({run['samples_per_hour']:.0f} samples per hour)" if run.get("samples_per_hour") else "")
                  + (", interrupted" if run.get("interrupted") else "") + ".", ""]
    store.write_text(os.path.join(folder, "report.md"), "\n".join(lines))
    pngs = len(metric_pngs) + (1 if slices else 0)
    return f"{folder}/report.md and {pngs} figures in {figures}"
