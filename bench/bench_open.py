"""Cost of opening a reader on a 1 GiB file, against one whole-file read.

Writes a sparse 1 GiB version-66 file whose path holds "orbitrap" (offset
chain, retention times and trailer blocks in place), then measures in the
same run:
  - one whole-file read with readinto into a preallocated buffer (baseline),
  - RawFileReader(path) construction,
and prints the medians, their ratio and the bytes the process read during one
construction (rchar delta from /proc/self/io).

    python3 bench/bench_open.py [--size-gib 1] [--repeat 7]
"""

import argparse
import os
import statistics
import tempfile
import time

from vantoro import RawFileReader

from builders import orbitrap_v66
from common import bytes_read, whole_file_read


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-gib", type=float, default=1.0)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    size = int(args.size_gib * (1 << 30))

    with tempfile.TemporaryDirectory(prefix="bench_orbitrap_") as tmp:
        path = os.path.join(tmp, "orbitrap_run.raw")
        orbitrap_v66(block_stride=5000, size=size).write(path)

        buf = bytearray(size)

        def whole_read():
            whole_file_read(path, buf)

        whole_read()  # warm the page cache for both sides alike
        RawFileReader(path)

        reader, construct_bytes = bytes_read(lambda: RawFileReader(path))
        assert reader.num_scans == 145 and reader.get_rt(145) == 72.5

        t_whole = median_time(whole_read, args.repeat)
        t_open = median_time(lambda: RawFileReader(path), args.repeat * 20)

        print(f"file size                      {size} bytes ({size / (1 << 30):.2f} GiB, sparse)")
        print(f"whole-file read, median        {t_whole * 1e3:10.3f} ms")
        print(f"RawFileReader(path), median    {t_open * 1e3:10.3f} ms")
        print(f"ratio whole-read / construct   {t_whole / t_open:10.0f}x")
        print(f"bytes read by one construction {construct_bytes:10d}")


if __name__ == "__main__":
    main()
