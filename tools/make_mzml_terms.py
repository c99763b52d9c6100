"""Writes python/vantoro_tools/write/terms.py: the PSI-MS and UO terms
the mzML and mzPeak writers use, with their accessions and the vocabularies' versions,
taken from the vocabularies psims ships (no network).

The package carries the result, so converting reads no other package's
files at run time. Run it again after adding a term below or updating
psims (`pip install psims`), and commit the module it writes; a test checks
the module against psims' vocabularies.

    python3 tools/make_mzml_terms.py
"""

from __future__ import annotations

import json
import os
import sys

#: Every term the mzML and mzPeak writers use, by name.
NAMES = (
    "MS1 spectrum",
    "MSn spectrum",
    "centroid spectrum",
    "ms level",
    "total ion current",
    "Thermo RAW format",
    "SHA-1",
    "scan number only nativeID format",
    "custom unreleased software tool",
    "ionization type",
    "mass analyzer type",
    "detector type",
    "Thermo Fisher Scientific instrument model",
    "Conversion to mzML",
    "no combination",
    "scan start time",
    "ion injection time",
    "isolation window target m/z",
    "isolation window lower offset",
    "isolation window upper offset",
    "selected ion m/z",
    "charge state",
    "collision energy",
    "dissociation method",
    "beam-type collision-induced dissociation",
    "m/z array",
    "intensity array",
    "time array",
    "64-bit float",
    "32-bit float",
    "zlib compression",
    "no compression",
    "MS-Numpress linear prediction compression",
    "MS-Numpress short logged float compression",
    "total ion current chromatogram",
    # mzPeak's columns, array index and file-level metadata
    "spectrum representation",
    "spectrum type",
    "number of peaks",
    "base peak m/z",
    "base peak intensity",
    "lowest observed m/z",
    "highest observed m/z",
    "filter string",
    "basepeak chromatogram",
    "chromatogram type",
    "number of data points",
    "file format conversion",
    # units
    "m/z",
    "number of detector counts",
    "minute",
    "millisecond",
    "electronvolt",
)

TARGET = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "vantoro_tools", "write", "terms.py")


def module_text() -> str:
    """The generated module's text, from psims' vocabularies."""
    import psims
    from psims.controlled_vocabulary import controlled_vocabulary as cv

    cv.obo_cache.use_remote = False
    ms, uo = cv.load_psims(), cv.load_uo()
    lines = []
    for name in NAMES:
        term = ms.get(name) or uo.get(name)
        if term is None:
            raise LookupError(f"{name!r} is in neither PSI-MS nor UO")
        prefix = str(term.id).split(":")[0]
        lines.append(f"    {json.dumps(name)}: ({json.dumps(prefix)}, {json.dumps(str(term.id))}),\n")
    return (
        '"""The PSI-MS and UO terms the mzML and mzPeak writers use: name ->\n'
        "(prefix, accession). Written by tools/make_mzml_terms.py from the\n"
        f'vocabularies of psims {psims.__version__}; do not edit."""\n\n'
        f"PSI_MS_VERSION = {json.dumps(str(ms.version))}\n"
        f"UO_VERSION = {json.dumps(str(uo.version))}\n\n"
        "TERMS: dict[str, tuple[str, str]] = {\n" + "".join(lines) + "}\n"
    )


def main() -> int:
    text = module_text()
    with open(TARGET, "w", encoding="utf-8") as f:
        f.write(text)
    print(f"wrote {os.path.normpath(TARGET)} ({len(NAMES)} terms)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
