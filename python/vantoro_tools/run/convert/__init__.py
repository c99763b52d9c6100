"""Converting RAW files, one at a time or many at once on a local process
pool or an existing Dask cluster: planning in `plan`, one file's task in
`task`, a batch in `batch`.

No file is lost: every output goes through the output layer (never over an
input, never over a file vantoro did not write from the same input unless
`overwrite`, whole or not at all, one run per output directory); an output
that is up to date (its stamp shows it was converted from this input as it
is now, with the same options) is skipped. A file that fails the layout
check is refused unless `force` is given."""

from __future__ import annotations

from ..errors import MeaninglessOptions
from .batch import UnlockedOutput, convert_held, convert_many
from .plan import check_options, input_record, ledger_options, output_paths, plan, plan_remote, recorded_options, writer
from .task import attempt_details, convert_file, convert_one, convert_remote_task, convert_task, held_directory

__all__ = [
    "MeaninglessOptions",
    "UnlockedOutput",
    "attempt_details",
    "check_options",
    "convert_file",
    "convert_held",
    "convert_many",
    "convert_one",
    "convert_remote_task",
    "convert_task",
    "held_directory",
    "input_record",
    "ledger_options",
    "output_paths",
    "plan",
    "plan_remote",
    "recorded_options",
    "writer",
]
