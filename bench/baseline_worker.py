"""BASELINE for benchmarks only: a plain json + pathlib worker for read, write, append, quit.

Not part of the product. It is the straightforward Python implementation that the native worker
is measured against, answering the same request lines with the same records.
"""

import json
import signal
import sys
from pathlib import Path


def ok(result):
    return {"success": True, "result": result}


def fail(error):
    return {"success": False, "error": error}


def read_file(path, start_line=None, end_line=None):
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return fail(f"File not found: {path}")
        if not p.is_file():
            return fail(f"Not a file: {path}")
        content = p.read_text(encoding="utf-8", errors="replace")
        lines = content.splitlines(keepends=True)
        total = len(lines)
        if start_line is not None or end_line is not None:
            first = max((start_line - 1) if start_line else 0, 0)
            content = "".join(lines[first : end_line if end_line else total])
        return ok(
            {"content": content, "total_lines": total, "path": str(p), "size": p.stat().st_size}
        )
    except Exception as e:  # noqa: BLE001
        return fail(str(e))


def write_file(path, content, create_dirs=True):
    try:
        p = Path(path).expanduser().resolve()
        if create_dirs:
            p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(content, encoding="utf-8")
        return ok({"path": str(p), "size": p.stat().st_size, "lines": len(content.splitlines())})
    except Exception as e:  # noqa: BLE001
        return fail(str(e))


def append_file(path, content):
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return write_file(path, content)
        with open(p, "a", encoding="utf-8") as f:
            f.write(content)
        return ok({"path": str(p), "size": p.stat().st_size})
    except Exception as e:  # noqa: BLE001
        return fail(str(e))


def handle_command(cmd):
    action = cmd.get("action", "")
    if action == "quit":
        return ok("goodbye")
    if action == "read":
        return read_file(cmd.get("path", ""), cmd.get("start_line"), cmd.get("end_line"))
    if action == "write":
        return write_file(cmd.get("path", ""), cmd.get("content", ""), cmd.get("create_dirs", True))
    if action == "append":
        return append_file(cmd.get("path", ""), cmd.get("content", ""))
    return fail(f"Unknown action: {action}")


def main():
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            cmd = json.loads(line)
        except json.JSONDecodeError as e:
            print(json.dumps(fail(f"Invalid JSON: {e}")), flush=True)
            continue
        print(json.dumps(handle_command(cmd)), flush=True)
        if cmd.get("action") == "quit":
            break


if __name__ == "__main__":
    main()
