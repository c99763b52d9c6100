"""RAW to indexed mzML, written with psims (PSI-MS controlled vocabulary)."""

from __future__ import annotations

import math
import os
import pathlib
import re
from collections.abc import Callable, Sequence
from typing import Any

from ._deps import missing
from .atomic import atomic_path
from .reading import iter_scans, read_peaks
from .formats import WriteOptions, Written
from .reading import Scan, ScanSource, StrPath
from .version import tool_version

PURPOSE = "vantoro convert --to mzml"

# Activation types the trailer names, and their PSI-MS dissociation terms.
ACTIVATION_TERMS = {
    "HigherEnergyCollisionalDissociation": "beam-type collision-induced dissociation",
}


def _xml_id(text: str) -> str:
    """`text` as an XML ID (an NCName): other characters become "_", and
    one that cannot start it gets a "_" before it."""
    ident = re.sub(r"[^\w.-]", "_", text, flags=re.ASCII)
    return ident if re.match(r"[A-Za-z_]", ident) else "_" + ident


def _precursor(scan: Scan, written: set[int]) -> dict[str, Any] | None:
    mz = scan.precursor_mz
    if mz is None:
        return None
    activation_type = scan.trailer.get("Activation Type")
    # An activation needs one dissociation method: the generic term when the
    # trailer names none that is known.
    activation: list[Any] = [ACTIVATION_TERMS.get(str(activation_type), "dissociation method")]
    energy = scan.trailer.get("Collision Energy")
    if isinstance(energy, float) and math.isfinite(energy):
        activation.append({"collision energy": energy})
    info: dict[str, Any] = {"mz": mz, "activation": activation}
    if scan.charge > 0:
        info["charge"] = scan.charge
    if scan.master_scan in written:
        info["scan_id"] = f"scan={scan.master_scan}"
    width = scan.trailer.get("Isolation Width")
    if isinstance(width, float) and math.isfinite(width) and width > 0:
        info["isolation_window"] = [width / 2, mz, width / 2]
    return info


def write_mzml(raw: StrPath, dest: StrPath, *, on_scan: Callable[[], None] | None = None) -> int:
    """Writes every scan of `raw` that has a peak list to `dest` as one
    spectrum of an indexed mzML file and returns how many were written.
    Raises LayoutError when the file fails the layout check."""
    return write_mzml_source(ScanSource(raw, on_scan=on_scan), [os.fspath(dest)], WriteOptions()).spectra


def write_mzml_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans of `source` that have a peak list to `dests[0]` as
    the spectra of an indexed mzML file.

    Each spectrum has the id "scan=N", its MS level (the trailer's "MS
    Order", else 1), its scan start time in minutes and ion injection time,
    64-bit m/z and 32-bit intensity arrays (zlib), and for MS2 scans the
    precursor: monoisotopic m/z, charge, the master scan as reference,
    isolation window and activation where the trailer has them. The file
    appears under its name only when complete."""
    try:
        import numpy as np
        from psims.controlled_vocabulary import controlled_vocabulary
        from psims.mzml.writer import MzMLWriter
    except ImportError as exc:
        raise missing(exc.name or "psims", PURPOSE, "convert") from exc
    # The PSI-MS vocabulary bundled with psims: never a network look-up.
    controlled_vocabulary.obo_cache.use_remote = False

    raw, dest = source.path, dests[0]
    reader = source.reader
    levels = options.ms_levels
    # spectrumList states its count up front: a first pass finds which scans
    # have peak lists, dropping each as soon as it is found.
    with_peaks = {s.number for s in iter_scans(reader, peaks=False)
                  if (levels is None or s.ms_level in levels) and read_peaks(reader, s.number) is not None}
    encoding = {"m/z array": np.float64, "intensity array": np.float32}
    name = os.path.basename(raw)
    with atomic_path(dest) as tmp, open(tmp, "wb") as fh:
        with MzMLWriter(fh, close=False) as out:
            out.controlled_vocabularies()
            out.file_description(
                ["MS1 spectrum", "MSn spectrum", "centroid spectrum"],
                source_files=[{"id": "RAW1", "name": name,
                               "location": pathlib.Path(raw).absolute().parent.as_uri(),
                               "params": ["Thermo RAW format", "scan number only nativeID format"]}])
            out.software_list([{"id": "vantoro", "version": tool_version(),
                                "params": [{"custom unreleased software tool": "vantoro"}]}])
            # The file says nothing of the instrument's parts: generic terms.
            parts = [out.Source(1, ["ionization type"]), out.Analyzer(2, ["mass analyzer type"]),
                     out.Detector(3, ["detector type"])]
            out.instrument_configuration_list([out.InstrumentConfiguration(
                id="IC1", component_list=parts, params=["Thermo Fisher Scientific instrument model"])])
            out.data_processing_list([out.DataProcessing(
                [out.ProcessingMethod(order=1, software_reference="vantoro", params=["Conversion to mzML"])],
                id="vantoro_conversion")])
            with out.run(id=_xml_id(os.path.splitext(name)[0]), instrument_configuration="IC1"):
                with out.spectrum_list(count=len(with_peaks)):
                    for scan in source.scans():
                        if scan.number not in with_peaks:
                            continue
                        out.write_spectrum(
                            scan.mz, scan.intensity, id=f"scan={scan.number}", polarity=None,
                            centroided=True, scan_start_time=scan.rt,
                            params=[{"ms level": scan.ms_level},
                                    "MS1 spectrum" if scan.ms_level == 1 else "MSn spectrum"],
                            scan_params=[{"name": "ion injection time", "value": scan.injection_time,
                                          "unit_name": "millisecond", "unit_accession": "UO:0000028"}],
                            precursor_information=_precursor(scan, with_peaks), encoding=encoding)
    return Written(len(with_peaks), source.warnings)
