#!/usr/bin/env python3
"""First loads of generated logs: import_once against pandas, side by side.

    import_vs_pandas.py BENCH_DIR

BENCH_DIR holds the built gen_log and import_once (build-release/bench).
For every case the log is generated in the temporary folder (TMPDIR) and
read in alternating rounds, each in a fresh process: import_once (the import
dialog's code path) and tools/pandas_baseline.py (pandas' read_csv with the C
engine). Prints the medians and their ratios.

Environment:
  BENCH_ROUNDS  rounds per case (default 5)
  BENCH_LARGE   0 skips the 3.2-million-line cases (default 1)
  BENCH_CASES   comma-separated case names to run (default all)
"""
import os
import statistics
import subprocess
import sys

TOOLS = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# name, gen_log options, import limit, grouping (None: the dialog's default)
CASES = [
    ("project-800k", ["--shape", "project", "--lines", "800000"], 800000, "ip.src"),
    ("network-800k", ["--shape", "network", "--lines", "800000"], 800000, "ip.src"),
    ("network-800k-default-grouping", ["--shape", "network", "--lines", "800000"], 800000, None),
    ("project-3.2M", ["--shape", "project", "--lines", "3200000"], 3200000, "ip.src"),
    ("network-3.2M", ["--shape", "network", "--lines", "3200000"], 3200000, "ip.src"),
]


def fields(text):
    """The key=value pairs of the last line of a program's output."""
    lines = [line for line in text.splitlines() if "=" in line]
    if not lines:
        return None
    result = {}
    for token in lines[-1].split():
        key, _, value = token.partition("=")
        try:
            result[key] = float(value)
        except ValueError:
            pass
    return result


def run(command):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        return None, done.stderr.strip() or f"exit code {done.returncode}"
    return fields(done.stdout), None


def median(rows, key):
    values = [row[key] for row in rows if row and key in row]
    return statistics.median(values) if values else None


def show(value, unit=""):
    return "-" if value is None else f"{value:.1f}{unit}"


def count(value):
    return "-" if value is None else str(int(value))


def ratio(a, b):
    return "-" if a is None or not b else f"{a / b:.2f}x"


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    bench_dir = sys.argv[1]
    gen_log = os.path.join(bench_dir, "gen_log")
    import_once = os.path.join(bench_dir, "import_once")
    rounds = max(1, int(os.environ.get("BENCH_ROUNDS", "5")))
    large = os.environ.get("BENCH_LARGE", "1") != "0"
    only = [c for c in os.environ.get("BENCH_CASES", "").split(",") if c]
    cases = [c for c in CASES if (large or "3.2M" not in c[0]) and (not only or c[0] in only)]

    print(f"== import_once against pandas.read_csv(engine=\"c\"): medians of {rounds} alternating "
          f"rounds, fresh processes")
    failed = False
    pandas_missing = False
    for name, options, limit, grouping in cases:
        made = subprocess.run([gen_log] + options, stdout=subprocess.PIPE, text=True)
        path = made.stdout.strip()
        if made.returncode != 0 or not path:
            print(f"{name}: the log could not be generated")
            failed = True
            continue
        ours, theirs = [], []
        command = [import_once, path, str(limit)] + ([grouping] if grouping else [])
        yardstick = [PYTHON, os.path.join(TOOLS, "pandas_baseline.py"), path]
        for r in range(rounds):
            order = (0, 1) if r % 2 == 0 else (1, 0)
            for which in order:
                if which == 0:
                    row, error = run(command)
                    if error:
                        print(f"{name}: import_once failed: {error}")
                        failed = True
                    ours.append(row)
                elif not pandas_missing:
                    row, error = run(yardstick)
                    if error:
                        pandas_missing = True
                        print(f"pandas yardstick unavailable: {error}")
                    theirs.append(row)
        imp = median(ours, "import_ms")
        rel = median(ours, "release_ms")
        freed = median(ours, "freed_ms")
        peak = median(ours, "peak_rss_mb")
        events = median(ours, "events")
        traces = median(ours, "traces")
        pread = median(theirs, "read_ms")
        ppeak = median(theirs, "peak_rss_mb")
        pstart = median(theirs, "start_rss_mb")
        print(f"{name}: {os.path.basename(path)}, grouping {grouping or 'dialog default'}, "
              f"{count(events)} events, {count(traces)} traces")
        print(f"  import_once: import_ms={show(imp)} release_ms={show(rel)} freed_ms={show(freed)} "
              f"peak_rss_mb={show(peak)}")
        print(f"  pandas:      read_ms={show(pread)} peak_rss_mb={show(ppeak)} "
              f"(resident before read_csv {show(pstart)} MB)")
        print(f"  ratio:       time {ratio(imp, pread)}  peak {ratio(peak, ppeak)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
