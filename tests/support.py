"""Helpers for tests that need a fresh interpreter or a test build."""
import json
import os
import platform
import shutil
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
TESTS = Path(__file__).resolve().parent

PYPY = platform.python_implementation() == "PyPy"


def cpython_only(reason):
    """Skips a test on PyPy, which lacks the facility it needs (`reason`)."""
    return pytest.mark.skipif(PYPY, reason="PyPy: " + reason)


# subprocess.run's capture_output and text arrived in 3.7.
CAPTURE = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


# The width of C long: where it is 32 bits (i686, as on 64-bit Windows) the
# interpreter's own conversion to C long is the count's range check.
LONG_BITS = 8 * struct.calcsize("l")


def out_of_range(value):
    """The OverflowError that assigning the int `value`, outside the 32-bit
    range, gives: past C long the interpreter's conversion refuses it with its
    own message, within C long the module's range check with the module's."""
    if -(2 ** (LONG_BITS - 1)) <= value < 2 ** (LONG_BITS - 1):
        return OverflowError("Python int out of range for a 32-bit signed count "
                             "(-2147483648 to 2147483647)")
    return OverflowError("Python int too large to convert to C long")


def load_script(name):
    """One of scripts/ (executables without a .py suffix) as a module."""
    import types
    path = REPO / "scripts" / name
    module = types.ModuleType("vorlund_" + name)
    module.__file__ = str(path)
    exec(compile(path.read_text(), str(path), "exec"), module.__dict__)
    return module


def _env(pythonpath=None):
    env = dict(os.environ)
    # The venv's own tools (cmake, ninja) first, activated or not.
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    if pythonpath is not None:
        env["PYTHONPATH"] = str(pythonpath)
    return env


def run_python(code, *, path=None, flags=(), check=True):
    """Runs `code` in a fresh interpreter (this one), with `path` first on
    sys.path when given. Fails the test with the output if it exits non-zero."""
    proc = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        env=_env(path), cwd=TESTS, **CAPTURE, timeout=600,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"subprocess exited {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
    return proc


def run_json(code, **kwargs):
    """run_python for snippets whose last line of output is JSON."""
    return json.loads(run_python(code, **kwargs).stdout.splitlines()[-1])


def exported_names(path):
    """The names a built module exports: on Windows from its PE export
    table (read here: Windows has no nm), elsewhere nm's defined dynamic
    symbols."""
    if os.name != "nt":
        listing = subprocess.run(["nm", "-D", "--defined-only", str(path)],
                                 **CAPTURE, check=True).stdout
        return [line.split()[-1] for line in listing.splitlines()]
    data = Path(path).read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE image"
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    # PE32+ (64-bit) keeps its data directories 112 bytes in, PE32 96
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    export_rva, export_size = struct.unpack_from("<II", data, directories)
    if not export_size:
        return []
    table = [struct.unpack_from("<8xII4xI", data, optional + optional_size + 40 * i)
             for i in range(sections)]   # (virtual size, address, raw pointer) per section

    def offset(rva):
        for size, address, raw in table:
            if address <= rva < address + size:
                return rva - address + raw
        raise AssertionError("address %#x is in no section" % rva)

    count, names = struct.unpack_from("<I4xI", data, offset(export_rva) + 24)
    result = []
    for i in range(count):
        start = offset(struct.unpack_from("<I", data, offset(names) + 4 * i)[0])
        result.append(data[start:data.index(b"\0", start)].decode())
    return result


def need_compilers():
    """Skips the calling test where no C and C++ compiler is on PATH, as for a
    user who installed a wheel: only what the tests build themselves needs
    one."""
    have_c = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    have_cxx = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
    if not (have_c and have_cxx):
        pytest.skip("needs a C and a C++ compiler on PATH (it builds a test variant of the "
                    "module or the example consumer)")


def build_variant(directory, **options):
    """Builds the module with extra CMake options into `directory` and returns
    a path that holds it as the package vorlundpython (to put first on
    sys.path in a subprocess). Test builds only: never installed."""
    need_compilers()
    directory = Path(directory)
    build = directory / "build"
    # Mutation testing rebuilds the variants for every mutant: there they
    # are kept, one tree per set of options, and rebuilt incrementally.
    kept = os.environ.get("CONCORDIX_TEST_BUILD_DIR")
    if kept:
        build = Path(kept, "-".join("{}={}".format(*o) for o in sorted(options.items())))
    defines = dict(options)
    # Test builds take the installed build's warning, sanitizer and coverage
    # settings (split the way setup.py splits them).
    for item in os.environ.get("CONCORDIX_CMAKE_DEFINE", "").split(";"):
        key, _, value = item.strip().partition("=")
        if key in ("CONCORDIX_WERROR", "CONCORDIX_SANITIZE", "CONCORDIX_COVERAGE"):
            defines.setdefault(key, value)
    configure = [
        "cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja",
        f"-DPython_EXECUTABLE={sys.executable}",
        *[f"-D{key}={value}" for key, value in defines.items()],
    ]
    for command in (configure, ["cmake", "--build", str(build)]):
        proc = subprocess.run(command, env=_env(), **CAPTURE)
        if proc.returncode:
            raise AssertionError(f"{' '.join(command)} failed:\n{proc.stdout}\n{proc.stderr}")
    package = directory / "root" / "vorlundpython"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copy(REPO / "vorlundpython" / "__init__.py", package)
    (library,) = build.glob("Concordix*.so")
    shutil.copy(library, package)
    return directory / "root"


def build_consumer(directory):
    """Builds the example consumer against the installed header, the way a
    user's own extension would be built; returns the directory holding it.
    CONCORDIX_PREBUILT_CONSUMER names a directory that holds it built
    elsewhere against the same installed header (a cross build, where the
    interpreter's machine has no compiler)."""
    if os.environ.get("CONCORDIX_PREBUILT_CONSUMER"):
        return Path(os.environ["CONCORDIX_PREBUILT_CONSUMER"])
    need_compilers()
    directory = Path(directory)
    proc = subprocess.run(
        [sys.executable, "setup.py", "build_ext", "--build-lib", str(directory / "lib"),
         "--build-temp", str(directory / "tmp")],
        cwd=REPO / "examples" / "concordance", env=_env(), **CAPTURE,
    )
    if proc.returncode:
        raise AssertionError(f"building the consumer failed:\n{proc.stdout}\n{proc.stderr}")
    return directory / "lib"


def assert_flat(action, *watched, rounds=400, warmup=20):
    """Fails when `rounds` calls of `action` leave memory blocks
    (sys.getallocatedblocks) or references to the `watched` objects behind:
    the leak hunt's check, cheap enough for release builds. An object leaked
    per call shows as `rounds` blocks; caches and tables that grow once in a
    while, as far fewer."""
    import gc
    # Interpreters without reference counts (PyPy) have neither count.
    references = getattr(sys, "getrefcount", lambda o: 0)
    allocated = getattr(sys, "getallocatedblocks", lambda: 0)
    for _ in range(warmup):
        action()
    # A leak grows on every measurement; the interpreter's own caches (a
    # debug 3.15's among them) sometimes grow in bursts that one measurement
    # can catch: three chances to come out flat.
    for attempt in range(3):
        gc.collect()
        blocks, refs = allocated(), [references(o) for o in watched]
        for _ in range(rounds):
            action()
        gc.collect()
        grown = allocated() - blocks
        counts = [references(o) for o in watched]
        if grown < rounds // 2 and counts == refs:
            return
    assert grown < rounds // 2, f"{grown} blocks left by {rounds} rounds"
    assert counts == refs
