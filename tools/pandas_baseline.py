#!/usr/bin/env python3
"""Reads a CSV log once with pandas' C reader and prints its time and memory.

    pandas_baseline.py PATH

Prints one line: `read_ms=… peak_rss_mb=… start_rss_mb=… rows=…`, where
read_ms is the time of pandas' own read_csv(engine="c") call in this process,
peak_rss_mb the peak resident size of the whole process (interpreter and
pandas included) and start_rss_mb the resident size just before the call.
The benchmarks' targets are set against these figures on the same machine
and the same file: `make bench` runs this beside import_once
(tools/import_vs_pandas.py) when pandas is installed (Debian package
python3-pandas).
"""
import resource
import sys
import time


def resident_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def main():
    if len(sys.argv) != 2:
        print("usage: pandas_baseline.py PATH", file=sys.stderr)
        return 2
    try:
        import pandas
    except ImportError:
        print("pandas baseline: pandas is not installed (python3-pandas)", file=sys.stderr)
        return 3
    path = sys.argv[1]
    start_rss = resident_mb()
    start = time.perf_counter()
    frame = pandas.read_csv(path, engine="c")
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(f"read_ms={seconds * 1000.0:.1f} peak_rss_mb={peak:.1f} "
          f"start_rss_mb={start_rss:.1f} rows={frame.shape[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
