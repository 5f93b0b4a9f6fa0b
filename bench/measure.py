#!/usr/bin/env python3
"""Runs one command and prints its wall time, CPU time and peak memory.

Usage: measure.py LABEL STDIN_TEXT -- command args...
The text is given on standard input (use '' for none); the command's own
output goes to /dev/null, its standard error is kept.
"""
import resource
import subprocess
import sys
import time


def main():
    if len(sys.argv) < 5 or sys.argv[3] != "--":
        sys.exit(__doc__)
    label, stdin_text, command = sys.argv[1], sys.argv[2], sys.argv[4:]
    start = time.monotonic()
    result = subprocess.run(command, input=stdin_text.encode(), stdout=subprocess.DEVNULL)
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = usage.ru_utime + usage.ru_stime
    print(f"{label}: wall {wall:.2f} s, cpu {cpu:.2f} s, peak memory {usage.ru_maxrss / 1024:.0f} MiB,"
          f" exit {result.returncode}")
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
