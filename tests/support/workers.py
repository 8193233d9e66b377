"""How the tests start the file worker: as a host starts it."""

import sys
from pathlib import Path


def worker_command():
    """The console script beside the interpreter, else the module run with -c."""
    script = Path(sys.executable).with_name("talmek-scrivel")
    if script.exists():
        return [str(script)]
    return [sys.executable, "-c", "from talmek.workers import scrivel; scrivel.main()"]
