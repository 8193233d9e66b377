"""Shared pieces of the benchmarks: start workers, stream requests through them, report ratios.

A workload is a name and a function that prepares files in a scratch directory and returns the
request lines to send. Every workload goes through both workers in the same run, alternating
between them, and the report gives the median time of each and the ratio of the medians:
timings on a shared machine vary too much to mean anything on their own.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent


def native_command():
    script = Path(sys.executable).with_name("talmek-scrivel")
    if script.exists():
        return [str(script)]
    return [sys.executable, "-c", "from talmek.workers import scrivel; scrivel.main()"]


def baseline_command():
    return [sys.executable, str(HERE / "baseline_worker.py")]


@dataclass
class Workload:
    name: str
    # prepare(directory) -> request lines (bytes, without line ends)
    prepare: Callable[[Path], list]
    # Optional check of one reply line (bytes), run on the first reply of each run.
    check: Callable[[bytes], None] | None = None


def request(obj):
    return json.dumps(obj).encode()


def time_stream(command, lines, cwd, check=None):
    """Seconds from the first request to the last reply, after the worker has started up."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=cwd)
    try:
        # Warm-up: the interpreter's start is not what we measure.
        proc.stdin.write(b'{"action": "warm-up"}\n')
        proc.stdin.flush()
        proc.stdout.readline()
        payload = b"\n".join(lines) + b"\n"
        writer = threading.Thread(target=lambda: (proc.stdin.write(payload), proc.stdin.flush()))
        # Replies are counted in large raw reads, so that the client costs little next to the
        # workers it measures.
        fd = proc.stdout.fileno()
        chunks, seen = [], 0
        start = time.perf_counter()
        writer.start()
        while seen < len(lines):
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                raise RuntimeError(f"{command[0]} ended early")
            seen += chunk.count(b"\n")
            if len(chunks) < 1:
                chunks.append(chunk)
        elapsed = time.perf_counter() - start
        writer.join()
        if check:
            check(chunks[0].split(b"\n", 1)[0])
        proc.stdin.close()
        proc.wait(30)
        return elapsed
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def compare(workloads, runs=5, contenders=None):
    """Runs each workload `runs` times per worker; prints and returns the median ratios."""
    contenders = contenders or [("scrivel", native_command()), ("baseline", baseline_command())]
    results = {}
    for w in workloads:
        with tempfile.TemporaryDirectory(prefix=f"bench-{w.name}-") as tmp:
            lines = w.prepare(Path(tmp))
            times = {name: [] for name, _ in contenders}
            for _ in range(runs):
                for name, command in contenders:
                    times[name].append(time_stream(command, lines, tmp, w.check))
        medians = {name: statistics.median(t) for name, t in times.items()}
        (a, ta), (b, tb) = list(medians.items())[:2]
        ratio = tb / ta
        results[w.name] = ratio
        print(
            f"{w.name}: {len(lines)} requests, median of {runs} runs: "
            f"{a} {ta:.3f} s, {b} {tb:.3f} s; {a} is {ratio:.1f}x the throughput of {b}"
        )
    return results


def main(workloads, argv=None):
    """Command line of a benchmark script: pick workloads, number of runs."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per worker (median reported)")
    parser.add_argument("names", nargs="*", help="workloads to run (default: all)")
    args = parser.parse_args(argv)
    chosen = [w for w in workloads if not args.names or w.name in args.names]
    if not chosen:
        parser.error(f"no such workload; have {', '.join(w.name for w in workloads)}")
    os.nice(0)
    return compare(chosen, runs=args.runs)
