"""zig, the cross compiler for the builds this machine has no Debian
toolchain for (musl libc, Windows, macOS): PyPI's `ziglang` wheel (the
compiler, its clang and linkers, and the C libraries of every target it
supports, in one download) in a venv of its own in the cache."""
import subprocess
import sys
from pathlib import Path

# The release whose builds were checked; a new one is a deliberate change
# (0.14 cannot link for macOS: it has no -exported_symbols_list).
ZIGLANG = "ziglang==0.17.1"


def zig_command(cache: Path) -> list:
    """The argv prefix that runs zig, installed under `cache` on first use."""
    # one venv per release: a venv of another release stays as it was
    venv = cache / "zig" / ZIGLANG.replace("==", "-")
    python = venv / "bin" / "python"
    stamp = venv / ".vorlund-ziglang"
    if not (python.exists() and stamp.exists() and stamp.read_text() == ZIGLANG):
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q",
                        "--disable-pip-version-check", ZIGLANG], check=True)
        stamp.write_text(ZIGLANG)
    return [str(python), "-m", "ziglang"]


def zig_environment(cache: Path) -> dict:
    """Where zig keeps what it builds (its C++ runtime and start-up files
    for each target, minutes to build the first time): in the cache, not the
    home directory."""
    return {"ZIG_GLOBAL_CACHE_DIR": str(cache / "zig" / "cache"),
            "ZIG_LOCAL_CACHE_DIR": str(cache / "zig" / "cache")}
