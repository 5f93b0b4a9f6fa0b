"""Progress of long calls: a tqdm bar, a callable, or nothing."""

import sys


def reporter(progress, label):
    """What the extension calls with (done, total) for a `progress` argument.

    False or None: nothing. True: a tqdm bar on standard error that shows
    itself only when the call lasts longer than a second. A callable is
    called as progress(done, total) itself. Returns (callable or None, close).
    """
    if progress is None or progress is False:
        return None, lambda: None
    if progress is True:
        try:
            from tqdm import tqdm
        except ImportError:  # python3-tqdm not installed: no bar, same result
            return None, lambda: None
        bar = None

        def update(done, total):
            nonlocal bar
            if bar is None:
                bar = tqdm(total=total, desc=label, unit="view", delay=1.0,
                           file=sys.stderr, leave=False)
            bar.update(done - bar.n)

        def close():
            if bar is not None:
                bar.close()

        return update, close
    if callable(progress):
        return progress, lambda: None
    raise TypeError("progress must be True, False, None or a callable(done, total)")


def run(function, progress, label, *args):
    """Calls function(*args, progress=<reporter>), closing the bar after."""
    callback, close = reporter(progress, label)
    try:
        return function(*args, progress=callback)
    finally:
        close()
