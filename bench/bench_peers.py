"""The worker against the tools people pick instead, all measured in the same run.

  grep   the worker's grep (all threads, and forced onto one) against ripgrep on one thread
         (rg -j1) and on every processor (rg -jN), same tree (3,000 files, 60 MB of source-like
         text, page cache warm), same pattern, context 2, output to /dev/null for ripgrep
  find   find with a name pattern against fd (when installed) and GNU find, 50,000 entries
  read   20,000 requests for 4 KB files pipelined through one worker: microseconds per request,
         against the plain json + pathlib worker of bench/baseline_worker.py
  memory peak resident memory (/usr/bin/time -v) of a fresh worker process answering one grep
         whose reply is about 1.3 GB, against a plain Python grep (pathlib, re, json.dumps) that
         builds the same reply; and of one read of a 0.5 GB file

Times are wall-clock medians of interleaved runs (the worker's from writing the request to
reading the whole reply; the peers' for the whole command, start-up included, as a person runs
them). The machine is shared: only the ratios of one run mean anything, and every run's figures
are printed so the spread can be seen.

Run: .venv/bin/python bench/bench_peers.py [--runs N] [--skip-memory]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_search
from common import baseline_command, native_command, time_stream
from run import prepare_reads


class Worker:
    """A worker process; one request at a time, its whole reply read raw."""

    def __init__(self, threads=None):
        env = dict(os.environ)
        if threads:
            env["TALMEK_SCRIVEL_THREADS"] = str(threads)
        self.proc = subprocess.Popen(
            native_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, bufsize=0
        )
        self.raw({"action": "list", "path": "/"})

    def raw(self, req):
        self.proc.stdin.write((json.dumps(req) + "\n").encode())
        chunks = []
        while True:
            chunk = self.proc.stdout.read(1 << 20)
            if not chunk:
                raise RuntimeError("worker ended")
            chunks.append(chunk)
            if chunk.endswith(b"\n"):
                return b"".join(chunks)

    def timed(self, req):
        t0 = time.perf_counter()
        line = self.raw(req)
        return time.perf_counter() - t0, line

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


def timed_command(cmd):
    t0 = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, check=False)
    return time.perf_counter() - t0


def report(title, times, ours="scrivel"):
    med = {k: statistics.median(v) for k, v in times.items()}
    print(title)
    for k, v in times.items():
        runs = " ".join(f"{x * 1e3:.1f}" for x in v)
        print(f"  {k:18s} median {med[k] * 1e3:8.1f} ms   runs: {runs}")
    for k in times:
        if k != ours:
            print(f"  {ours} / {k}: {med[ours] / med[k]:.2f}")
    return med


def bench_grep(runs, cpus):
    rg = shutil.which("rg")
    if not rg:
        print("grep: ripgrep (rg) is not installed; skipped")
        return
    root = str(bench_search.GREP_ROOT)
    workers = {"scrivel": Worker(), "scrivel 1 thread": Worker(threads=1)}
    try:
        for name, regex in (("literal", "needle_marker"), ("regex", r"def \w+_handler\(\w+, ")):
            req = {
                "action": "grep",
                "path": root,
                "regex": regex,
                "max_results": 10**9,
                "context_lines": 2,
            }
            counts = {json.loads(w.raw(req))["result"]["count"] for w in workers.values()}  # warm
            rg_cmd = lambda j: [rg, f"-j{j}", "-n", "-C", "2", "--no-heading", regex, root]  # noqa: B023, E731
            times = {k: [] for k in (*workers, "rg -j1", f"rg -j{cpus}")}
            for _ in range(runs):
                for k, w in workers.items():
                    times[k].append(w.timed(req)[0])
                times["rg -j1"].append(timed_command(rg_cmd(1)))
                times[f"rg -j{cpus}"].append(timed_command(rg_cmd(cpus)))
            report(f"grep {name} ({counts} matches, context 2), {cpus} processors", times)
    finally:
        for w in workers.values():
            w.close()


def bench_find(runs):
    root = str(bench_search.WALK_ROOT)
    peers = {}
    for name in ("fd", "fdfind"):
        if shutil.which(name):
            peers[name] = [shutil.which(name), "-u", "-g", "*.py", root]
            break
    peers["find"] = ["find", root, "-mindepth", "1", "-name", "*.py"]
    w = Worker()
    try:
        req = {"action": "find", "path": root, "pattern": "*.py", "max_results": 10**9}
        count = json.loads(w.raw(req))["result"]["count"]
        times = {"scrivel": [], **{k: [] for k in peers}}
        for _ in range(runs):
            times["scrivel"].append(w.timed(req)[0])
            for k, cmd in peers.items():
                times[k].append(timed_command(cmd))
        report(f"find '*.py' ({count} matches of 50,000 entries)", times)
    finally:
        w.close()


def bench_read(runs):
    with tempfile.TemporaryDirectory(prefix="bench-read-") as tmp:
        lines = prepare_reads(Path(tmp))
        per = {"scrivel": [], "python baseline": []}
        for _ in range(runs):
            for k, cmd in (("scrivel", native_command()), ("python baseline", baseline_command())):
                wall, _ = time_stream(cmd, lines, tmp)
                per[k].append(wall / len(lines))
    med = {k: statistics.median(v) for k, v in per.items()}
    print(f"read: {len(lines)} pipelined requests for 4 KB files (a quarter of them a line range)")
    for k, v in per.items():
        print(
            f"  {k:18s} median {med[k] * 1e6:6.1f} us/request   runs: "
            + " ".join(f"{x * 1e6:.1f}" for x in v)
        )
    print(f"  python baseline / scrivel: {med['python baseline'] / med['scrivel']:.2f}")


PY_GREP = r"""
import json, re, sys
from pathlib import Path
root, regex, ctx = sys.argv[1], sys.argv[2], int(sys.argv[3])
pattern = re.compile(regex)
matches = []
for fp in Path(root).resolve().rglob("*"):
    if not fp.is_file():
        continue
    lines = fp.read_text(encoding="utf-8", errors="replace").splitlines()
    for i, line in enumerate(lines):
        if pattern.search(line):
            matches.append({"file": str(fp), "line_number": i + 1, "line": line,
                            "context_before": lines[max(0, i - ctx):i],
                            "context_after": lines[i + 1:i + 1 + ctx]})
sys.stdout.write(json.dumps({"success": True, "result": {"matches": matches, "count": len(matches)}}) + "\n")
"""  # noqa: E501


def peak_rss(cmd, stdin_bytes=None):
    """(peak resident bytes, bytes written to standard output) of `cmd` under /usr/bin/time -v."""
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(
            ["/usr/bin/time", "-v", *cmd], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err
        )
        if stdin_bytes:
            proc.stdin.write(stdin_bytes)
        proc.stdin.close()
        size = 0
        while chunk := proc.stdout.read(1 << 20):
            size += len(chunk)
        proc.wait()
        err.seek(0)
        text = err.read().decode(errors="replace")
    kb = next(int(line.split()[-1]) for line in text.splitlines() if "Maximum resident" in line)
    return kb * 1024, size


def bench_memory():
    if not os.path.exists("/usr/bin/time"):
        print("memory: /usr/bin/time is not installed; skipped")
        return
    root, regex, ctx = str(bench_search.GREP_ROOT), "", 8
    req = (
        json.dumps(
            {
                "action": "grep",
                "path": root,
                "regex": regex,
                "max_results": 10**9,
                "context_lines": ctx,
            }
        )
        + "\n"
    )
    ours, size = peak_rss(native_command(), req.encode())
    base, base_size = peak_rss([sys.executable, "-c", PY_GREP, root, regex, str(ctx)])
    print(f"memory: one grep answering every line with context {ctx}")
    print(
        f"  scrivel         reply {size / 1e9:.2f} GB, peak RSS {ours / 1e9:.2f} GB "
        f"({ours / size:.2f} x the reply)"
    )
    print(
        f"  python baseline reply {base_size / 1e9:.2f} GB, peak RSS {base / 1e9:.2f} GB "
        f"({base / base_size:.2f} x the reply)"
    )
    # A large read: the file's text is the reply's one long string (line ends translated).
    with tempfile.TemporaryDirectory(prefix="bench-bigread-") as tmp:
        path = Path(tmp) / "big.txt"
        with open(path, "w", newline="\r\n") as f:
            f.writelines(
                "value_index = buffer.handler(token[42])  # a line of source\n"
                for _ in range(8_000_000)
            )
        req = json.dumps({"action": "read", "path": str(path)}) + "\n"
        ours, size = peak_rss(native_command(), req.encode())
        print(f"memory: one read of a {path.stat().st_size / 1e9:.2f} GB file with CRLF line ends")
        print(
            f"  scrivel         reply {size / 1e9:.2f} GB, peak RSS {ours / 1e9:.2f} GB "
            f"({ours / size:.2f} x the reply)"
        )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--skip-memory", action="store_true")
    args = ap.parse_args()
    cpus = len(os.sched_getaffinity(0))
    for root, make in (
        (bench_search.GREP_ROOT, bench_search.make_grep_tree),
        (bench_search.WALK_ROOT, bench_search.make_walk_tree),
    ):
        shutil.rmtree(root, ignore_errors=True)
        make()
    try:
        bench_grep(args.runs, cpus)
        bench_find(args.runs)
        bench_read(max(3, args.runs // 2))
        if not args.skip_memory:
            bench_memory()
    finally:
        for root in (bench_search.GREP_ROOT, bench_search.WALK_ROOT):
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
