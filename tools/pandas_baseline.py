#!/usr/bin/env python3
"""Reads a CSV log with pandas' C reader and prints its time and peak memory.

The benchmarks' targets are set against this figure on the same machine and
the same file: `make bench` runs it on the generated 800000-line log when
pandas is installed (Debian package python3-pandas).
"""
import resource
import sys
import time

try:
    import pandas
except ImportError:
    print("pandas baseline: pandas is not installed (python3-pandas)")
    sys.exit(0)

path = sys.argv[1]
start = time.perf_counter()
frame = pandas.read_csv(path, engine="c")
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
print(f"pandas baseline: {frame.shape[0]} rows read in {seconds:.2f} s, peak {peak:.0f} MB ({path})")
