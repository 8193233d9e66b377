"""The Windows worker executable under Wine: a private Wine prefix for the session, and the
worker started the way a host on Windows starts it, with pipes for its standard streams.

The tests skip (with the reason) where Wine or the executable is missing; in CI (CI set in the
environment) they fail instead, since CI installs both (.ci/run).
"""

import os
import shutil
import subprocess
from pathlib import Path, PureWindowsPath

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXE = ROOT / "build" / "windows" / "talmek-scrivel.exe"
# Debian's wine64 package installs its loader here, and no `wine` command on the PATH.
WINE_CANDIDATES = ["/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")]
TIMEOUT = 60


def _wine():
    for w in WINE_CANDIDATES:
        if w and os.access(w, os.X_OK):
            return w
    return None


def _missing(reason):
    if os.environ.get("CI"):
        pytest.fail(f"CI runs the Windows tests, but {reason}")
    pytest.skip(reason)


@pytest.fixture(scope="session")
def wine_env(tmp_path_factory):
    wine = _wine()
    if wine is None:
        _missing("Wine is not installed (Debian's wine64)")
    if not EXE.exists():
        _missing(f"{EXE} is not built (scripts/build-windows)")
    prefix = tmp_path_factory.mktemp("wineprefix")
    env = dict(
        os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml="
    )
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded into the tests is not Wine's
    # One wine server for the whole session (-p: it stays until told to go), so that each worker
    # starts in a fraction of a second.
    wineserver = str(Path(wine).with_name("wineserver"))
    subprocess.run([wineserver, "-p"], env=env, check=True, timeout=TIMEOUT)
    # The prefix is made on first use, here by a worker that reads an empty input and ends. The
    # prefix's own services start with it and stay, so they must not inherit pipes whose end a
    # caller would wait for.
    subprocess.run(
        [wine, str(EXE)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=env,
        timeout=300,
    )
    yield {"wine": wine, "env": env, "prefix": prefix}
    subprocess.run([wineserver, "-k"], env=env, timeout=TIMEOUT)


def windows_path(p):
    """The Windows path of a Unix path under Wine: its default drive Z: is the Unix root."""
    return str(PureWindowsPath("Z:" + str(p).replace("/", "\\")))


class WineWorker:
    def __init__(self, wine_env, cwd):
        self.proc = subprocess.Popen(
            [wine_env["wine"], str(EXE)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=cwd,
            env=wine_env["env"],
        )

    def request_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()
        return self.proc.stdout.readline()

    def request(self, obj):
        import json

        line = self.request_raw(json.dumps(obj).encode() + b"\n")
        assert line.endswith(b"\r\n"), line  # text-mode output on Windows: "\n" as "\r\n"
        return json.loads(line)

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(TIMEOUT)
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def wine_worker(wine_env, tmp_path):
    w = WineWorker(wine_env, tmp_path)
    yield w
    w.close()


@pytest.fixture
def run_wine(wine_env, tmp_path):
    def run(data, cwd=None):
        done = subprocess.run(
            [wine_env["wine"], str(EXE)],
            input=data,
            capture_output=True,
            cwd=cwd or tmp_path,
            env=wine_env["env"],
            timeout=TIMEOUT,
        )
        return done.returncode, done.stdout, done.stderr.decode(errors="replace")

    return run
