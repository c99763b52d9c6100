"""One outcome per input, in one vocabulary for every command, and the
tally that prints each outcome's line and owns the summary and the exit
status."""

from __future__ import annotations

import sys
from collections import Counter
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from ..base.text import message

#: What became of an input.
CONVERTED, UP_TO_DATE, REFUSED, FAILED, READ, WRITTEN, ADDED = (
    "converted",
    "up to date",
    "refused",
    "failed",
    "read",
    "written",
    "added",
)
#: Exit statuses: every input handled; some refused or failed; a usage error,
#: a missing package, an unreachable cluster or a busy output directory.
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


def exit_stopped(signum: int) -> int:
    """The exit status of a command a signal stopped: 128 plus its number (SIGINT 130, SIGTERM 143)."""
    return 128 + signum


@dataclass(frozen=True)
class Outcome:
    """What became of one input: its status, the files written, why none
    were, and the values left out of its outputs by kind."""

    source: str
    outputs: tuple[str, ...] = ()
    error: str | None = None
    status: str = CONVERTED
    warnings: dict[str, int] = field(default_factory=dict)
    #: a failure that may not happen again (an I/O error, a lost worker): `--retry` tries it again
    transient: bool = False
    #: what the ledger records of the attempt: host, worker, start and end, each output's size and SHA-256
    details: Mapping[str, Any] = field(default_factory=dict)
    #: of the scans at the levels the format holds: how many had a peak list, and how many had none
    #: the reader could find (written without peaks, or left out, as the format does)
    spectra: tuple[int, int] | None = None

    @property
    def ok(self) -> bool:
        return self.status not in (REFUSED, FAILED)

    def line(self) -> str | None:
        """The line standard error shows for this input, if any: one line,
        its control characters escaped."""
        if self.error is not None:
            return message(self.source, self.error)
        if self.warnings:
            counted = ", ".join(f"{n} {kind}" for kind, n in sorted(self.warnings.items()))
            return message(self.source, f"{self.status}, with warnings: {counted}")
        if self.spectra is not None and self.spectra[1] and not self.spectra[0]:
            return message(self.source, f"{self.status}, but none of its {self.spectra[1]} spectra has a peak list")
        return None

    @property
    def without_peaks(self) -> int:
        return 0 if self.spectra is None else self.spectra[1]


def failed(source: str, error: str, *, transient: bool = False) -> Outcome:
    return Outcome(source, error=error, status=FAILED, transient=transient)


def refused(source: str, error: str) -> Outcome:
    return Outcome(source, error=error, status=REFUSED)


@dataclass
class Tally:
    """Counts the outcomes of one command, prints each one's line as it
    comes, and gives the summary line and the exit status: 0 when every
    input was handled, 1 when any was refused or failed."""

    verb: str = CONVERTED
    print_lines: bool = True
    counts: Counter[str] = field(default_factory=Counter)
    outcomes: list[Outcome] = field(default_factory=list)

    def add(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)
        self.counts[outcome.status] += 1
        line = outcome.line()
        if self.print_lines and line is not None:
            print(line, file=sys.stderr)

    @property
    def exit_status(self) -> int:
        return EXIT_FAILED if self.counts[REFUSED] or self.counts[FAILED] else EXIT_OK

    def summary(self) -> str:
        statuses = (
            [self.verb, UP_TO_DATE, REFUSED, FAILED]
            if self.verb in (CONVERTED, ADDED)
            else [self.verb, REFUSED, FAILED]
        )
        warned = sum(1 for o in self.outcomes if o.warnings)
        text = ", ".join(f"{self.counts[s]} {s}" for s in statuses)
        text += f"; {warned} with warnings" if warned else ""
        peakless = [o.without_peaks for o in self.outcomes if o.without_peaks]
        if peakless:
            text += f"; {sum(peakless)} spectra without a peak list in {len(peakless)} file(s)"
        return text
