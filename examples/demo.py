"""Writes a small synthetic RAW-like file and reads it back with vantoro.

Run from the repository root after `python3 -m pip install .`:

    python3 examples/demo.py
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from builders import orbitrap_v66  # noqa: E402  (the same builders the tests use)

from vantoro import RawFileReader  # noqa: E402


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        # The reader picks its layout from markers in the path: "orbitrap" here.
        path = os.path.join(tmp, "demo_orbitrap.raw")
        orbitrap_v66(num_peaks=40, block_stride=1000).write(path)
        reader = RawFileReader(path)

        print(f"file           {path}")
        print(f"version        {reader.version}")
        print(f"num_scans      {reader.num_scans}")
        print(f"creation_date  {reader.creation_date}  (seconds since 1970, UTC)")
        print()
        print(f"{'scan':>5} {'rt (min)':>9} {'inj (ms)':>9} {'master':>7} {'z':>3} {'mono m/z':>9}")
        for row in reader.list_spectra()[:10]:
            print(f"{row['scan_number']:>5} {row['rt']:>9.3f} {row['injection_time']:>9.3f} "
                  f"{row['master_scan']:>7} {row['charge']:>3} {row['monomz']:>9.3f}")
        print(f"  ... {reader.num_scans - 10} more scans")


if __name__ == "__main__":
    main()
