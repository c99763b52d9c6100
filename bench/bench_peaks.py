"""get_peaks on a 1 GiB sparse orbitrap file against one whole-file read.

Prints the median whole-file read time (readinto a preallocated buffer), the
median get_peaks time over every scan, their ratio, the bytes read per call
(/proc/self/io rchar) for two file sizes, and native_get_peaks against
get_peaks. Ratios, not absolute times, are what to compare: the machine is
shared and noisy.
"""

import os
import statistics
import sys
import time

import vantoro

from builders import orbitrap_v66
from common import bytes_read, whole_file_read

GIB = 1 << 30
PEAKS = 1000
STRIDE = 16384  # room for a 1000-peak block (12004 bytes) per scan
ROUNDS = 20
READS = 5


def build(path, size):
    return orbitrap_v66(PEAKS, size=size, block_stride=STRIDE).write(path)


def time_calls(method, scans, rounds):
    times = []
    for _ in range(rounds):
        for s in scans:
            t0 = time.perf_counter()
            method(s)
            times.append(time.perf_counter() - t0)
    return statistics.median(times)


def bytes_per_call(method, scans):
    def run():
        for s in scans:
            method(s)

    return bytes_read(run)[1] / len(scans)


def main():
    big = "/tmp/vantoro-bench-orbitrap-1g.raw"
    small = "/tmp/vantoro-bench-orbitrap-64m.raw"
    try:
        build(big, GIB)
        build(small, 64 << 20)
        r = vantoro.RawFileReader(big)
        scans = range(1, r.num_scans + 1)
        mz, inten = r.get_peaks(1)
        assert len(mz) == PEAKS and len(inten) == PEAKS

        buf = bytearray(os.path.getsize(big))
        whole_file_read(big, buf)  # warm the page cache for both sides
        reads = []
        for _ in range(READS):
            t0 = time.perf_counter()
            assert whole_file_read(big, buf) == len(buf)
            reads.append(time.perf_counter() - t0)
        del buf
        t_read = statistics.median(reads)

        t_peaks = time_calls(r.get_peaks, scans, ROUNDS)
        t_native = time_calls(r.native_get_peaks, scans, ROUNDS)
        b_big = bytes_per_call(r.get_peaks, scans)
        b_small = bytes_per_call(vantoro.RawFileReader(small).get_peaks, scans)
        b_native = bytes_per_call(r.native_get_peaks, scans)

        print(f"file: {GIB} bytes, {r.num_scans} scans, {PEAKS} peaks per scan")
        print(f"whole-file read (median of {READS}):      {t_read * 1e3:10.3f} ms")
        print(f"get_peaks (median of {ROUNDS * len(scans)} calls):   {t_peaks * 1e6:10.3f} us")
        print(f"whole-file read / get_peaks:          {t_read / t_peaks:10.0f}x")
        print(f"rchar per get_peaks call, 1 GiB file:  {b_big:10.0f} bytes")
        print(f"rchar per get_peaks call, 64 MiB file: {b_small:10.0f} bytes")
        print(f"rchar per native_get_peaks call:       {b_native:10.0f} bytes")
        print(f"native_get_peaks (median):             {t_native * 1e6:10.3f} us")
        print(f"native_get_peaks / get_peaks:          {t_native / t_peaks:10.2f}x")
        return 0
    finally:
        for p in (big, small):
            if os.path.exists(p):
                os.remove(p)


if __name__ == "__main__":
    sys.exit(main())
