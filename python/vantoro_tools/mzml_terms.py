"""Imported by a worker pool's server before it forks its workers: resolves
the mzML writer's vocabulary once for all of them."""

from .mzml import vocabulary

vocabulary()
