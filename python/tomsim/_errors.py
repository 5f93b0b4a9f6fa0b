"""The exceptions that failures of the library become."""


class TomsimError(RuntimeError):
    """A failure of the library: what the programs report and end with.

    ``kind`` is "input" (a file to read cannot be used), "output" (a file
    cannot be written), "usage" or "run"; ``detail`` is the line the programs
    print on standard error, ``str(error)`` the whole message.
    """

    def __init__(self, message, kind="run", detail=""):
        super().__init__(message)
        self.kind = kind
        self.detail = detail or message


class TomsimInputError(TomsimError, OSError):
    """An input file cannot be opened, read, or has the wrong size."""


class TomsimOutputError(TomsimError, OSError):
    """An output file cannot be created, written or put in place."""


class TomsimUsageError(TomsimError, ValueError):
    """The library refused an argument or a description (a usage failure):
    a scan geometry it cannot use, a value out of its range. Also a
    ValueError, as Python's own bad arguments are."""


# The console message of each kind, as the programs print it.
_CONSOLE = {"input": "error input data", "output": "error output data"}
_CLASSES = {"input": TomsimInputError, "output": TomsimOutputError, "usage": TomsimUsageError}


def failure(kind, detail):
    """The exception of a library failure of this kind (used by tomsim._core)."""
    console = _CONSOLE.get(kind)
    message = f"{console}: {detail}" if console else detail
    return _CLASSES.get(kind, TomsimError)(message, kind, detail)
