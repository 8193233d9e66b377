"""Checks a repaired wheel before it leaves the build: what it claims and what it carries.

    python tools/check_wheel.py WHEEL [--executable]

The interpreter that builds and tests the wheel runs on a private, newer C library (provisioned
beside Debian 12's own), so neither pip's acceptance of the tag nor the test run proves that the
wheel loads on Debian 12 itself. This script checks that against the system's own libraries:

- the manylinux tag asks for no newer glibc than the system's (`getconf GNU_LIBC_VERSION`);
- every ELF file resolves, libraries and symbol versions, with the system's loader (`ldd`);
- PCRE2 is linked in: no module needs a libpcre2 at run time, none exports a pcre2_ symbol,
  nothing was grafted, and the JIT is compiled in (its target name is in the worker module);
- the stubs, `py.typed` and PCRE2's licence are in the wheel;
- with --executable, the native worker `talmek-scrivel` is among the wheel's scripts, and no
  console script of that name would overwrite it when pip installs the wheel.
"""

import argparse
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ELF_MAGIC = b"\x7fELF"
# The string PCRE2 answers for PCRE2_CONFIG_JITTARGET on x86-64: present only with the JIT.
JIT_TARGET = b"x86 64bit"
REQUIRED = [
    "talmek/py.typed",
    "talmek/workers/scrivel.pyi",
    "talmek/core/steerix.pyi",
]


def system_glibc():
    out = subprocess.run(
        ["getconf", "GNU_LIBC_VERSION"], capture_output=True, text=True, check=True
    ).stdout.split()
    return tuple(int(part) for part in out[1].split("."))


def wheel_glibc(name):
    """The highest glibc any manylinux tag of the wheel's file name asks for."""
    found = [(int(a), int(b)) for a, b in re.findall(r"manylinux_(\d+)_(\d+)_", name)]
    if not found:
        raise SystemExit(f"check-wheel: {name} has no manylinux_X_Y tag")
    return max(found)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument(
        "--executable",
        action="store_true",
        help="the build defines the native worker executable: require it",
    )
    args = parser.parse_args(argv)
    problems = []

    tag, system = wheel_glibc(args.wheel.name), system_glibc()
    if tag > system[:2]:
        problems.append(
            f"tag asks for glibc {tag[0]}.{tag[1]}, this system has {'.'.join(map(str, system))}"
        )

    with zipfile.ZipFile(args.wheel) as zf, tempfile.TemporaryDirectory() as tmp:
        names = zf.namelist()
        for required in REQUIRED:
            if required not in names:
                problems.append(f"missing {required}")
        if not any(n.endswith(".dist-info/licenses/PCRE2-COPYRIGHT") for n in names):
            problems.append("missing PCRE2's licence in the dist-info")
        if any(".libs/" in n for n in names):
            problems.append(
                "auditwheel grafted libraries: " + ", ".join(n for n in names if ".libs/" in n)
            )
        scripts = [n for n in names if ".data/scripts/" in n]
        executable = [n for n in scripts if n.endswith("/talmek-scrivel")]
        if args.executable and not executable:
            problems.append("the build defines talmek-scrivel, but the wheel's scripts lack it")
        entry_points = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
        console = zf.read(entry_points[0]).decode() if entry_points else ""
        if executable and re.search(r"(?m)^talmek-scrivel\s*=", console):
            # pip writes the entry point's launcher after the data scripts, over the executable.
            problems.append(
                "a console script named talmek-scrivel would replace the native "
                "executable on install: drop it from [project.scripts]"
            )

        elves = []
        for n in names:
            with zf.open(n) as f:
                if f.read(4) == ELF_MAGIC:
                    elves.append(n)
        zf.extractall(tmp)
        for n in elves:
            path = Path(tmp, n)
            data = path.read_bytes()
            if executable and n == executable[0]:
                path.chmod(0o755)
            ldd = subprocess.run(["ldd", str(path)], capture_output=True, text=True)
            text = ldd.stdout + ldd.stderr
            if "not found" in text or ldd.returncode != 0:
                problems.append(f"{n} does not load on this system's libraries:\n{text}")
            if "libpcre2" in text:
                problems.append(f"{n} needs a shared libpcre2 at run time")
            dynsym = subprocess.run(
                ["nm", "-D", "--defined-only", str(path)],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            exported = [line.split()[-1] for line in dynsym.splitlines() if " pcre2_" in line]
            if exported:
                problems.append(f"{n} exports PCRE2's symbols: {', '.join(exported[:3])} ...")
            if "/scrivel." in n and JIT_TARGET not in data:
                problems.append(f"{n}: no PCRE2 JIT inside the module")
        if not any("/scrivel." in n for n in elves):
            problems.append("the worker module is missing")

    for problem in problems:
        print(f"check-wheel: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(
        f"check-wheel: {args.wheel.name}: loads on glibc "
        f"{'.'.join(map(str, system))} (tag asks {tag[0]}.{tag[1]}), {len(elves)} ELF files, "
        f"PCRE2 inside with JIT" + (", native worker included" if executable else "")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
