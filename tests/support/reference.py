"""What the native operations answer, written plainly with the standard library.

The differential tests compare the modules with these, and the benchmarks time the modules
against them: one definition of the behaviour for both, so that a benchmark's baseline is the
behaviour the tests hold the module to.
"""

import difflib
import fnmatch
import os
import re
import subprocess
from pathlib import Path

# ---------------------------------------------------------------------------------------------
# The file worker


def entry(p: Path, shown: str) -> dict:
    """One list_dir or find_files record."""
    size = p.stat().st_size if p.is_file() else 0
    return {"path": shown, "type": "dir" if p.is_dir() else "file", "size": size}


def find_files(root: Path, pattern: str) -> list:
    """find_files's matches, without the count limit."""
    # rglob can reach one path twice through an inner "**"; each path is reported once.
    seen = dict.fromkeys(str(p) for p in Path(root).resolve().rglob(pattern))
    return [entry(Path(p), p) for p in seen]


def list_dir(root: Path, recursive: bool, pattern) -> list:
    """list_dir's entries."""
    base = Path(root).resolve()
    items = sorted(base.rglob("*")) if recursive else sorted(base.iterdir())
    out = []
    for p in items:
        if pattern and not fnmatch.fnmatch(p.name, pattern):
            continue
        out.append(entry(p, str(p.relative_to(base)) if recursive else p.name))
    return out


def grep_files(root, regex, file_pattern="*", max_results=100, context_lines=0):
    """grep_files's record, written with pathlib and re."""
    pattern = re.compile(regex)
    matches = []
    for fp in Path(root).resolve().rglob(file_pattern):
        if not fp.is_file():
            continue
        try:
            lines = fp.read_text(encoding="utf-8", errors="replace").splitlines()
        except PermissionError:
            continue
        for i, line in enumerate(lines):
            if pattern.search(line):
                matches.append(
                    {
                        "file": str(fp),
                        "line_number": i + 1,
                        "line": line,
                        "context_before": lines[max(0, i - context_lines) : i],
                        "context_after": lines[i + 1 : i + 1 + context_lines],
                    }
                )
                if len(matches) >= max_results:
                    break
        if len(matches) >= max_results:
            break
    return {"success": True, "result": {"matches": matches, "count": len(matches)}}


def diff_files(file_a, file_b):
    """diff_files's record, written with pathlib and difflib."""
    try:
        pa = Path(file_a).expanduser().resolve()
        pb = Path(file_b).expanduser().resolve()
        if not pa.exists():
            return {"success": False, "error": f"File not found: {file_a}"}
        if not pb.exists():
            return {"success": False, "error": f"File not found: {file_b}"}
        a = pa.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True)
        b = pb.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True)
        diff = "".join(difflib.unified_diff(a, b, str(pa), str(pb)))
        return {"success": True, "result": {"diff": diff}}
    except Exception as e:  # noqa: BLE001 - the worker's guard turns every error into a record
        return {"success": False, "error": str(e)}


def edit_file(path, edits):
    """edit_file's record (and the file it leaves), written with pathlib, str and difflib."""
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return {"success": False, "error": f"File not found: {path}"}
        original = content = p.read_text(encoding="utf-8")
        changes = 0
        for edit in edits:
            find = edit.get("find", "")
            replace = edit.get("replace", "")
            if not find:
                continue
            if find not in content:
                return {"success": False, "error": f"Text not found in file: {find[:100]!r}"}
            if edit.get("all", False):
                changes += content.count(find)
                content = content.replace(find, replace)
            else:
                content = content.replace(find, replace, 1)
                changes += 1
        p.write_text(content, encoding="utf-8")
        diff = difflib.unified_diff(
            original.splitlines(keepends=True),
            content.splitlines(keepends=True),
            f"a/{p.name}",
            f"b/{p.name}",
        )
        result = {"path": str(p), "changes": changes, "diff": "".join(diff)}
        return {"success": True, "result": result}
    except Exception as e:  # noqa: BLE001 - the worker's guard turns every error into a record
        return {"success": False, "error": str(e)}


# ---------------------------------------------------------------------------------------------
# The agent's tools


def editor_view(path_text, content, view_range=None):
    """The editor's "view" text of a file whose text-mode content is `content`."""
    lines = content.splitlines()
    if view_range and len(view_range) == 2:
        start, end = view_range
        lines = lines[start - 1 : end]
        header = f"Lines {start}-{end} of {path_text}:\n"
    else:
        header = f"Contents of {path_text}:\n"
    return header + "\n".join(f"{i:4d} | {line}" for i, line in enumerate(lines, 1))


def editor_insert(content, position, new_str):
    """The text that the editor's "insert" leaves."""
    lines = content.splitlines(keepends=True)
    lines.insert(position, new_str + "\n")
    return "".join(lines)


def bash_tool(command):
    """The bash tool's outcome, spelled out with subprocess (no timeout case)."""
    cwd = None if command.startswith("cd ") else os.path.expanduser("~")
    try:
        r = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=30, cwd=cwd)
    except Exception as e:  # noqa: BLE001 - every failure is a "Command failed: " outcome
        return {"type": "error", "error": f"Command failed: {e}"}
    text = r.stdout
    if r.stderr:
        text += f"\nSTDERR:\n{r.stderr}"
    if r.returncode != 0:
        text += f"\n(exit code: {r.returncode})"
    return {"type": "text", "text": text or "(no output)"}
