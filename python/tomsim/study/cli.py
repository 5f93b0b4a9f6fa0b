"""tomstudy: run a dataset study, check its description, report on it."""

import argparse
import sys

from .schema import StudyError

USAGE = """\
tomstudy run STUDY.toml --out DIR [--scheduler ADDRESS | --scheduler-file FILE]
                                  [--workers N | --in-process] [--threads N] [--quiet]
tomstudy check STUDY.toml
tomstudy report DIR"""


def _parser():
    parser = argparse.ArgumentParser(
        prog="tomstudy", usage=USAGE,
        description="Dataset studies: phantoms, noisy projections and reconstructions, "
                    "one HDF5 file per sample, on this machine or on a Dask cluster.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    run = commands.add_parser("run", help="compute the samples of a study that are not done yet")
    run.add_argument("study", metavar="STUDY.toml")
    run.add_argument("--out", required=True, metavar="DIR", help="the study's output folder")
    where = run.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="an existing Dask scheduler (tcp://host:port)")
    where.add_argument("--scheduler-file", metavar="FILE", help="the file a Dask scheduler wrote")
    where.add_argument("--workers", type=int, metavar="N",
                       help="workers of the local cluster (default: one per processor)")
    where.add_argument("--in-process", action="store_true",
                       help="no cluster: the samples one after another in this process")
    run.add_argument("--threads", type=int, metavar="N",
                     help="threads per sample (default: processors / workers on a local cluster, "
                          "all processors otherwise); results never depend on it")
    run.add_argument("--quiet", action="store_true", help="no progress bar, only errors")

    check = commands.add_parser("check", help="check a study description and count its samples")
    check.add_argument("study", metavar="STUDY.toml")

    report = commands.add_parser("report", help="figures and report.md of a study's output folder")
    report.add_argument("dir", metavar="DIR")
    return parser


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        if args.command == "run":
            from .runner import Options, run
            for name in ("workers", "threads"):
                value = getattr(args, name)
                if value is not None and value < 1:
                    print(f"tomstudy: --{name} must be at least 1", file=sys.stderr)
                    return 2
            return run(args.study, Options(out=args.out, scheduler=args.scheduler,
                                           scheduler_file=args.scheduler_file, workers=args.workers,
                                           in_process=args.in_process, threads=args.threads,
                                           quiet=args.quiet))
        if args.command == "check":
            from .schema import load
            from .manifest import expand
            study = load(args.study)
            samples = expand(study)
            print(f"{args.study}: study {study.name}, {len(study.phantoms)} phantoms x "
                  f"{len(study.conditions)} conditions = {len(samples)} samples, "
                  f"reconstructions: {', '.join(r.name for r in study.reconstructions) or 'none'}")
            return 0
        from .report import report
        print(report(args.dir))
        return 0
    except StudyError as e:
        print(f"tomstudy: {e}", file=sys.stderr)
        return 1
