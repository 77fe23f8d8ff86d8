"""zig, from its PyPI package, in a venv of its own in the cache: a C and
C++ compiler for targets the host has no Debian toolchain for (musl libc),
with their C libraries' headers built in."""

import subprocess
import sys
from pathlib import Path

# A fixed release: a new zig may change what the compiler accepts or what
# the link records.
ZIGLANG = "ziglang==0.14.1"


def zig_command(cache: Path) -> list[str]:
    """The argv prefix that runs zig, installing it under `cache` first if
    need be. zig keeps its own build cache (its libc++ and startup files for
    each target, minutes to build the first time) beside it."""
    venv = cache / "zig" / "venv"
    python = venv / "bin" / "python"
    marker = venv / ".vorlund-ziglang"
    if not (marker.exists() and marker.read_text() == ZIGLANG):
        if not python.exists():
            subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", ZIGLANG], check=True)
        marker.write_text(ZIGLANG)
    return [str(python), "-m", "ziglang"]


def zig_environment(cache: Path) -> dict:
    """Where zig keeps what it builds: in the cache, not the home directory."""
    return {"ZIG_GLOBAL_CACHE_DIR": str(cache / "zig" / "cache"),
            "ZIG_LOCAL_CACHE_DIR": str(cache / "zig" / "cache")}
