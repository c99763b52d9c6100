"""Writes a small synthetic RAW-like file and reads it back with vantoro.

Run from the repository root after `python3 -m pip install .`:

    python3 examples/demo.py
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from vantoro import RawFileReader

from builders import orbitrap_v66, utf16

METHOD_XML = b'<?xml version="1.0"?><InstrumentMethod><CmData><Scan Resolution="60000"/></CmData></InstrumentMethod>'


def build(path: str) -> None:
    img = orbitrap_v66(num_peaks=60, block_stride=1000)
    img.put(200000, METHOD_XML + b"\x00\xff binary data follows")
    img.put(300000, utf16("Coulombmeter\0Ambient Temp\0Vacuum (mbar)\0Spray Voltage\0X\0"))
    img.put(400000, utf16("Possible spray instability\0Fan speed low\0Possible spray instability\0"))
    img.write(path)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        # The reader picks its layout from markers in the path: "orbitrap" here.
        path = os.path.join(tmp, "demo_orbitrap.raw")
        build(path)
        reader = RawFileReader(path)

        print(f"file           {path}")
        print(f"version        {reader.version}")
        print(f"num_scans      {reader.num_scans}")
        print(f"creation_date  {reader.creation_date}  (seconds since 1970, UTC)")
        print()
        print(f"{'scan':>5} {'rt (min)':>9} {'inj (ms)':>9} {'master':>7} {'z':>3} {'mono m/z':>9}")
        for row in reader.list_spectra()[:8]:
            print(
                f"{row['scan_number']:>5} {row['rt']:>9.3f} {row['injection_time']:>9.3f} "
                f"{row['master_scan']:>7} {row['charge']:>3} {row['monomz']:>9.3f}"
            )
        print(f"  ... {reader.num_scans - 8} more scans")

        print("\npeaks of scan 3 (first five of get_peaks):")
        try:
            mz, intensity = reader.get_peaks(3)
            print(f"  {len(mz)} peaks, m/z {mz.dtype}, intensity {intensity.dtype}")
            for m, i in list(zip(mz, intensity))[:5]:
                print(f"  m/z {m:10.4f}   intensity {i:10.1f}")
        except BaseException as exc:  # NumPy missing: the list form needs no NumPy
            print(f"  get_peaks unavailable ({type(exc).__name__}); native_get_peaks instead")
            peaks = reader.native_get_peaks(3)
            if peaks is None:
                print("  scan 3 has no peak list")
            else:
                mz_list, intensity_list = peaks
                print(f"  {len(mz_list)} peaks, first m/z {mz_list[0]}, intensity {intensity_list[0]}")

        print("\ntrailer of scan 2:")
        for key, value in reader.get_trailer_extra(2).items():
            print(f"  {key:<26} {value!r}")

        print(f"\ninstrument method: {reader.get_instrument_method(0)}")
        print(f"status-log labels: {reader.get_status_log_labels()}")
        print(f"warnings:          {reader.get_error_logs()}")


if __name__ == "__main__":
    main()
