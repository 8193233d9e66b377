"""The talmek file worker: JSON-lines requests on standard input, one reply per line."""

import os
from collections.abc import Iterable
from typing import Any

def set_roots(roots: Iterable[str | os.PathLike[str]] | None, read_only: bool = False) -> None:
    """Confine every operation of this process to the given directories (an empty list or None: no
    confinement); read_only refuses every change. Checks only: Landlock is applied by main()."""

def main() -> None:
    """Run the worker: read JSON commands from stdin, write results to stdout."""

def handle_command(cmd: dict[str, Any]) -> dict[str, Any]:
    """Route a command to the appropriate handler."""

def read_file(
    path: str, start_line: int | None = None, end_line: int | None = None
) -> dict[str, Any]:
    """Read file content, optionally with line range."""

def write_file(path: str, content: str, create_dirs: object = True) -> dict[str, Any]:
    """Write content to a file, creating directories if needed."""

def append_file(path: str, content: str) -> dict[str, Any]:
    """Append content to a file."""

def edit_file(path: str, edits: list[dict[str, Any]]) -> dict[str, Any]:
    """Apply find/replace edits to a file.

    edits: [{"find": "old", "replace": "new", "all": false}]
    """

def delete_file(path: str) -> dict[str, Any]:
    """Delete a file or directory."""

def move_file(src: str, dst: str) -> dict[str, Any]:
    """Move or rename a file/directory."""

def copy_file(src: str, dst: str) -> dict[str, Any]:
    """Copy a file or directory."""

def make_dir(path: str) -> dict[str, Any]:
    """Create a directory (and parents)."""

def list_dir(path: str, recursive: object = False, pattern: str | None = None) -> dict[str, Any]:
    """List directory contents."""

def find_files(path: str, pattern: str, max_results: int = 100) -> dict[str, Any]:
    """Find files matching a glob pattern."""

def grep_files(
    path: str, regex: str, file_pattern: str = "*", max_results: int = 100, context_lines: int = 0
) -> dict[str, Any]:
    """Search file contents with regex."""

def diff_files(file_a: str, file_b: str) -> dict[str, Any]:
    """Show diff between two files."""
