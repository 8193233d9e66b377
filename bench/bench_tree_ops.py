"""The worker's copy, delete and move against shutil doing the same work, as ratios.

Run:  .venv/bin/python bench/bench_tree_ops.py [--runs N]

Workloads (each timed N times, baseline and native interleaved, median taken):
  copy-tree     a tree of 100 directories with 20 small files each: copy_file against
                shutil.copytree.
  delete-tree   the same tree: delete_file against shutil.rmtree.
  copy-64mb     one 64 MB file: copy_file against shutil.copy2.
  move-xdev     the small-file tree moved from /dev/shm to the temporary directory and back:
                move_file against shutil.move (skipped when both are on one device).
Ratios are baseline time / native time: above 1 means the native operation is faster.
The copy and delete workloads run on /dev/shm when it exists: on a journalled disk file
system the times of a shared machine vary several-fold between runs with the journal's
flushes, which hides the work of the code measured.
"""

import argparse
import os
import shutil
import statistics
import tempfile
import time

from talmek.workers import scrivel


def make_tree(root, dirs=100, files=20):
    for d in range(dirs):
        sub = os.path.join(root, f"d{d // 10}", f"e{d}")
        os.makedirs(sub)
        for f in range(files):
            with open(os.path.join(sub, f"f{f}.txt"), "wb") as fh:
                fh.write(b"x" * (100 + f))


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def checked(record):
    assert record["success"], record
    return record


def bench(name, runs, setup, baseline, native):
    base_times, native_times = [], []
    for _ in range(runs):
        for fn, times in ((baseline, base_times), (native, native_times)):
            ctx = setup()
            times.append(timed(lambda: fn(ctx)))  # noqa: B023
    base, nat = statistics.median(base_times), statistics.median(native_times)
    print(f"{name:12s} ratio {base / nat:5.2f}  (shutil / worker, median of {runs})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=9)
    runs = parser.parse_args().runs
    work_dir = "/dev/shm" if os.path.isdir("/dev/shm") else None

    with tempfile.TemporaryDirectory(dir=work_dir) as tmp, tempfile.TemporaryDirectory() as disk:
        src = os.path.join(tmp, "src")
        make_tree(src)
        counter = iter(range(10**9))

        def fresh_dst():
            return os.path.join(tmp, f"dst{next(counter)}")

        bench(
            "copy-tree",
            runs,
            fresh_dst,
            lambda dst: shutil.copytree(src, dst),
            lambda dst: checked(scrivel.copy_file(src, dst)),
        )

        def fresh_tree():
            dst = fresh_dst()
            shutil.copytree(src, dst)
            return dst

        bench(
            "delete-tree",
            runs,
            fresh_tree,
            lambda dst: shutil.rmtree(dst),
            lambda dst: checked(scrivel.delete_file(dst)),
        )

        big = os.path.join(tmp, "big")
        with open(big, "wb") as fh:
            fh.write(os.urandom(64 * 1024 * 1024))
        bench(
            "copy-64mb",
            runs,
            fresh_dst,
            lambda dst: shutil.copy2(big, dst),
            lambda dst: checked(scrivel.copy_file(big, dst)),
        )
        os.unlink(big)

        if work_dir and os.stat(work_dir).st_dev != os.stat(disk).st_dev:

            def there_and_back(move):
                def run(dst):
                    move(dst, os.path.join(disk, "t"))
                    move(os.path.join(disk, "t"), dst)

                return run

            bench(
                "move-xdev",
                runs,
                fresh_tree,
                there_and_back(shutil.move),
                there_and_back(lambda a, b: checked(scrivel.move_file(a, b))),
            )
        else:
            print("move-xdev    skipped: /dev/shm is on the temporary directory's device")


if __name__ == "__main__":
    main()
