"""Counts raw Python C-API calls and manual reference-count operations in native sources.

Run:  python tools/count_capi.py [DIR ...]   (default: native/steerix)

A call is an identifier of the C API (Py..., _Py..., PyUnstable_...) followed by "(", outside
comments and string literals; Py_VISIT and the type-check macros count as calls too. Manual
reference counting is Py_INCREF, Py_DECREF, their X forms, Py_NewRef, Py_XNewRef, Py_CLEAR,
Py_SETREF and Py_XSETREF. Prints one line per file and the totals.
"""

import re
import sys
from pathlib import Path

CALL = re.compile(r"\b_?Py[A-Za-z0-9_]*\s*\(")
REFCOUNT = re.compile(r"\bPy_(?:X?INCREF|X?DECREF|X?NewRef|CLEAR|X?SETREF)\s*\(")
# Comments, then string and character literals; all replaced by blanks before counting.
STRIP = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def counts(text):
    code = STRIP.sub(" ", text)
    return len(CALL.findall(code)), len(REFCOUNT.findall(code))


def main(argv):
    dirs = [Path(a) for a in argv] or [Path(__file__).resolve().parent.parent / "native/steerix"]
    total_calls = total_refs = 0
    for d in dirs:
        for path in sorted(p for p in d.rglob("*") if p.suffix in {".cpp", ".h", ".hpp"}):
            calls, refs = counts(path.read_text(encoding="utf-8"))
            if calls or refs:
                print(f"{calls:5d} {refs:5d}  {path.name}")
            total_calls += calls
            total_refs += refs
    print(f"{total_calls:5d} {total_refs:5d}  total (C-API calls, manual reference counts)")


if __name__ == "__main__":
    main(sys.argv[1:])
