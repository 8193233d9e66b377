"""The stub checker: the shipped stubs match the installed modules, and each kind of drift
between a stub and its module is caught."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"


def test_installed_stubs_match_the_modules():
    proc = subprocess.run(
        [sys.executable, str(TOOLS / "check_stubs.py")], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr


@pytest.fixture(scope="module")
def check_stubs():
    found = importlib.util.spec_from_file_location("check_stubs", TOOLS / "check_stubs.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


# Stands in for a nanobind function: its signatures are in __nb_signature__ only.
NBFAKE = """
class NbFunc:
    def __init__(self, *overloads):
        self.__nb_signature__ = overloads

    def __call__(self, *args, **kwargs):
        raise NotImplementedError
"""


# The module's source, as a C extension would behave; nanobind-style objects are made in it.
MODULE = '''
"""A module."""

from pathlib import Path

from nbfake import NbFunc as _NbFunc


def plain(path, start=None, *, strict=False):
    """Read a thing."""


native = _NbFunc(("def native(path: object | None, limit: object | None = \\\\0) -> object",
                 "Find things.", (100,)))


class Agent:
    """An agent."""

    LIMIT = 50

    def __init__(self, key, model="m", *, roots=None):
        self._key = key

    def run(self, task):
        """Run a task."""

    @property
    def busy(self):
        """Whether it runs."""
        return False
'''

STUB = '''
"""A module."""

from pathlib import Path as Path
from typing import Any

def plain(path: str, start: int | None = None, *, strict: bool = False) -> None:
    """Read a thing."""

def native(path: str, limit: int = 100) -> dict[str, Any]:
    """Find things."""

class Agent:
    """An agent."""

    LIMIT: int
    _key: str
    def __init__(self, key: str, model: str = "m", *, roots: list[str] | None = None) -> None: ...
    def run(self, task: str) -> None:
        """Run a task."""

    @property
    def busy(self) -> bool:
        """Whether it runs."""
'''

# (id, text in the stub, what it becomes, words the report must contain)
DRIFTS = [
    ("renamed-parameter", "def run(self, task: str)", "def run(self, job: str)", "run: signature"),
    ("changed-default", 'model: str = "m"', 'model: str = "n"', "__init__: signature"),
    ("lost-keyword-only", ", *, roots: list[str] | None = None", "", "__init__: signature"),
    (
        "keyword-only-made-positional",
        "start: int | None = None, *, strict",
        "start: int | None = None, strict",
        "plain: signature",
    ),
    ("nanobind-default", "limit: int = 100", "limit: int = 10", "native: signature"),
    ("nanobind-docstring", '"""Find things."""', '"""Finds things."""', "native: docstring"),
    (
        "missing-function",
        'def native(path: str, limit: int = 100) -> dict[str, Any]:\n    """Find things."""',
        "",
        "native: the module has it",
    ),
    (
        "function-gone",
        "class Agent:",
        "def gone() -> None: ...\n\nclass Agent:",
        "gone: in the stub",
    ),
    ("class-docstring", '"""An agent."""', '"""A robot."""', "Agent: docstring"),
    ("module-docstring", '"""A module."""\n\nfrom', '"""Another."""\n\nfrom', "docstring differs"),
    ("constant-type", "LIMIT: int", "LIMIT: str", "LIMIT: annotated str"),
    ("instance-attribute", "_key: str", "_secret: str", "_secret: in the stub"),
    ("property-docstring", '"""Whether it runs."""', '"""Busy."""', "busy: docstring"),
    (
        "reexport-gone",
        "from pathlib import Path as Path",
        "from pathlib import Path as Path\nfrom os import path as path",
        "path: the stub re-exports",
    ),
    ("reexport-missing", "from pathlib import Path as Path", "", "Path: the module has it"),
]


def write_package(root, stub, module=MODULE):
    (root / "nbfake.py").write_text(NBFAKE)
    pkg = root / "stubpkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "mod.py").write_text(module)
    (pkg / "mod.pyi").write_text(stub)


def run_checker(check_stubs, tmp_path, monkeypatch, stub, module=MODULE):
    write_package(tmp_path, stub, module)
    monkeypatch.syspath_prepend(str(tmp_path))
    for name in ("stubpkg", "stubpkg.mod", "nbfake"):
        sys.modules.pop(name, None)
    monkeypatch.setitem(check_stubs.SAMPLES, "stubpkg.mod.Agent", lambda cls: cls("k"))
    return "\n".join(check_stubs.Checker("stubpkg.mod").run())


def test_matching_stub_passes(check_stubs, tmp_path, monkeypatch):
    assert run_checker(check_stubs, tmp_path, monkeypatch, STUB) == ""


@pytest.mark.parametrize("old,new,words", [d[1:] for d in DRIFTS], ids=[d[0] for d in DRIFTS])
def test_drift_is_reported(check_stubs, tmp_path, monkeypatch, old, new, words):
    assert old in STUB
    report = run_checker(check_stubs, tmp_path, monkeypatch, STUB.replace(old, new, 1))
    assert words in report, report


def test_positional_only_names_are_free(check_stubs, tmp_path, monkeypatch):
    module = MODULE.replace("def plain(path,", "def plain(path, /,")
    stub = STUB.replace("def plain(path: str,", "def plain(p: str, /,")
    assert run_checker(check_stubs, tmp_path, monkeypatch, stub, module) == ""
