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
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The tests' references and fakes (tests/support, imported as `support`) are the baselines and
# stand-ins of the benchmarks too; a benchmark script imports this module first.
sys.path.insert(0, str(HERE.parent / "tests"))


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


def cpu_seconds(pid):
    """User plus system time that process `pid` has used so far (Linux /proc)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def time_stream(command, lines, cwd, check=None):
    """(wall, cpu) seconds from the first request to the last reply, after start-up.

    Wall time is what the host sees; the worker's own processor time is the steadier figure on
    a shared machine, where other load stretches every wall-clock measurement.
    """
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
        cpu_start = cpu_seconds(proc.pid)
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
        cpu = cpu_seconds(proc.pid) - cpu_start
        writer.join()
        if check:
            check(chunks[0].split(b"\n", 1)[0])
        proc.stdin.close()
        proc.wait(30)
        return elapsed, cpu
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def compare(workloads, runs=5, contenders=None):
    """Runs each workload `runs` times per worker, alternating; prints and returns the ratios
    of the median wall and processor times (baseline over native: higher is better)."""
    contenders = contenders or [("scrivel", native_command()), ("baseline", baseline_command())]
    results = {}
    for w in workloads:
        with tempfile.TemporaryDirectory(prefix=f"bench-{w.name}-") as tmp:
            lines = w.prepare(Path(tmp))
            walls = {name: [] for name, _ in contenders}
            cpus = {name: [] for name, _ in contenders}
            for _ in range(runs):
                for name, command in contenders:
                    wall, cpu = time_stream(command, lines, tmp, w.check)
                    walls[name].append(wall)
                    cpus[name].append(cpu)
        (a, _), (b, _) = contenders[:2]
        wall_a, wall_b = statistics.median(walls[a]), statistics.median(walls[b])
        cpu_a, cpu_b = statistics.median(cpus[a]), statistics.median(cpus[b])
        results[w.name] = {"wall": wall_b / wall_a, "cpu": cpu_b / max(cpu_a, 1e-9)}
        print(
            f"{w.name}: {len(lines)} requests, medians of {runs} runs\n"
            f"  wall: {a} {wall_a:.3f} s, {b} {wall_b:.3f} s -> {a} {wall_b / wall_a:.1f}x\n"
            f"  cpu:  {a} {cpu_a:.3f} s, {b} {cpu_b:.3f} s -> {a} {cpu_b / max(cpu_a, 1e-9):.1f}x"
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
    return compare(chosen, runs=args.runs)
