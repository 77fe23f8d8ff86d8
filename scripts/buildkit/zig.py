"""zig, the cross compiler for the builds this machine cannot run: PyPI's
`ziglang` wheel (the compiler, its clang and linkers, and the C libraries of
every target it supports, in one download) in a venv of its own."""
import subprocess
import sys
from pathlib import Path

# The release whose cross builds were checked; a new one is a deliberate change.
ZIGLANG = "ziglang==0.17.1"


def zig_command(cache: Path) -> list:
    """The argv prefix that runs zig, installed under `cache` on first use."""
    # one venv per release: other tools may keep another zig under `cache`
    venv = cache / "zig" / ZIGLANG.replace("==", "-")
    python = venv / "bin" / "python"
    stamp = venv / ".vorlund-ziglang"
    if not (python.exists() and stamp.exists() and stamp.read_text() == ZIGLANG):
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q",
                        "--disable-pip-version-check", ZIGLANG], check=True)
        stamp.write_text(ZIGLANG)
    return [str(python), "-m", "ziglang"]
