"""The errors that end a batch as a whole, each of which the command turns
into its exit status. Kept apart from the modules that raise them so that
the command knows them without importing every layer."""

from __future__ import annotations


class ClusterError(RuntimeError):
    """The Dask scheduler could not be reached."""


class MeaninglessOptions(ValueError):
    """Options that could only give an empty or meaningless output."""


class UnsafeScratch(ValueError):
    """Scratch space whose path would change the layout of the files fetched into it."""


class Stopped(BaseException):
    """SIGTERM (or SIGINT in a worker) asked this process to stop."""

    def __init__(self, signum: int):
        super().__init__(f"stopped by signal {signum}")
        self.signum = signum
