"""What the PSI writers (mzML, mzPeak) say of a scan's precursor, and which
trailer fields become PSI-MS terms and which user parameters: said once
here, written by each in its own syntax."""

from __future__ import annotations

import math
import pathlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple

from ..source.scans import (
    ACTIVATION_TYPE,
    COLLISION_ENERGY,
    HCD_ENERGY,
    INJECTION_TIME,
    ISOLATION_WIDTH,
    NO_PRECURSOR,
    PRECURSOR_NEGATIVE,
    PRECURSOR_NOT_FINITE,
    Scan,
    ScanSource,
    trailer_number,
)


@dataclass(frozen=True)
class TrailerTerm:
    """One trailer field as the PSI writers write it: as the PSI-MS term
    `term` (in `unit`), or, with `term` None, as a user parameter named as
    the trailer names it; `place` is the element that holds it."""

    key: str
    term: str | None
    unit: str | None
    place: str


#: The trailer fields the PSI writers write, in the order they write them
#: within their element. mzPeak also keeps the whole trailer, every field as
#: the instrument recorded it, as user parameters of the scan (mzML does
#: not). The trailer's "Collision Energy" states no unit and the PSI-MS term
#: requires one: a user parameter. The HCD energy is in
#: electronvolt. An activation type is written as its dissociation method
#: (ACTIVATION_TERMS), the isolation width as two offsets of half of it.
TRAILER_TERMS: tuple[TrailerTerm, ...] = (
    TrailerTerm(INJECTION_TIME, "ion injection time", "millisecond", "scan"),
    TrailerTerm(ISOLATION_WIDTH, "isolation window lower offset", "m/z", "isolation window"),
    TrailerTerm(ISOLATION_WIDTH, "isolation window upper offset", "m/z", "isolation window"),
    TrailerTerm(ACTIVATION_TYPE, "dissociation method", None, "activation"),
    TrailerTerm(HCD_ENERGY, "collision energy", "electronvolt", "activation"),
    TrailerTerm(COLLISION_ENERGY, None, None, "activation"),
)

#: Activation types the trailer names, and their PSI-MS dissociation terms;
#: any other (or none) is written as the generic "dissociation method".
ACTIVATION_TERMS = {
    "HigherEnergyCollisionalDissociation": "beam-type collision-induced dissociation",
}


#: The terms of the activation's energies (picked once: `precursor_of` runs per scan).
ENERGY_TERMS = tuple(e for e in TRAILER_TERMS if e.place == "activation" and e.key != ACTIVATION_TYPE)


# Named tuples rather than frozen dataclasses: as immutable, and made in
# half the time (one of each per MS2 scan of every PSI conversion).
class Energy(NamedTuple):
    """An activation energy: the PSI-MS term and unit it is written as, or
    (term None) a user parameter named `key`."""

    key: str
    term: str | None
    unit: str | None
    value: float


class Precursor(NamedTuple):
    """The precursor of an MS2 (or higher) scan, as the PSI writers write it."""

    #: selected ion m/z (also the isolation window's target); None when not finite
    mz: float | None
    charge: int | None
    #: the scan it was selected from (the writer refers to it when written)
    master_scan: int
    #: half the isolation width: each side of the window; None when unusable
    isolation_offset: float | None
    #: the dissociation method's term name
    activation: str
    energies: tuple[Energy, ...]


def precursor_of(scan: Scan, warn: Callable[[str], None]) -> Precursor | None:
    """The precursor of `scan` (None for an MS1 scan, a precursor m/z of 0,
    or a negative one). A precursor m/z that is not finite leaves out the
    selected ion's m/z and the isolation window, the precursor keeping its
    charge and activation; each value left out is counted with `warn`."""
    kind = scan.precursor
    trailer = scan.trailer
    if kind == PRECURSOR_NEGATIVE:
        warn("precursor m/z negative (precursor left out)")
    if kind in (NO_PRECURSOR, PRECURSOR_NEGATIVE):
        return None
    mz: float | None = scan.monomz
    if kind == PRECURSOR_NOT_FINITE:
        warn("precursor m/z not finite")
        mz = None
    offset = None
    width = trailer.get(ISOLATION_WIDTH)
    if isinstance(width, float) and mz is not None:
        if math.isfinite(width) and width > 0:
            offset = width / 2
        elif not math.isfinite(width):
            warn("isolation width not finite")
    energies = []
    for entry in ENERGY_TERMS:
        value = trailer.get(entry.key)
        if isinstance(value, str):  # a text field: read with the reader's decimal grammar
            number = trailer_number(trailer, entry.key)
            if number is not None and math.isfinite(number):
                energies.append(Energy(entry.key, entry.term, entry.unit, number))
            else:
                warn(
                    "HCD energy not a finite number" if entry.key == HCD_ENERGY else f"{entry.key} not a finite number"
                )
        elif isinstance(value, float):
            if math.isfinite(value):
                energies.append(Energy(entry.key, entry.term, entry.unit, value))
            else:
                warn("collision energy not finite" if entry.key == COLLISION_ENERGY else f"{entry.key} not finite")
    return Precursor(
        mz=mz,
        charge=scan.charge if scan.charge > 0 else None,
        master_scan=scan.master_scan,
        isolation_offset=offset,
        activation=ACTIVATION_TERMS.get(str(trailer.get(ACTIVATION_TYPE)), "dissociation method"),
        energies=tuple(energies),
    )


def source_location(source: ScanSource) -> str:
    """Where the source file is, for its record in the output: the folder of
    the URL it was fetched from, or its folder's file URI."""
    if "://" in source.origin:
        return source.origin.rsplit("/", 1)[0]
    return pathlib.Path(source.path).absolute().parent.as_uri()
