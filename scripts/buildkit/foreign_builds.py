"""Builds of the module for platforms this machine cannot run (Windows,
macOS), made from an unpacked sdist through the project's own CMakeLists.txt
and a CMake toolchain file per target (cmake/toolchains/), with zig's clang
and warnings as errors, then checked: file format and architecture, the one
exported symbol, and what the module imports.

Headers: the upstream CPython source of the host's Debian release (its
source package's .orig tarball, without Debian's patches) gives Include/ and,
for Windows, PC/pyconfig.h. The configure-made pyconfig.h of a macOS
interpreter exists only on a Mac: macOS builds use Debian's pyconfig.h of the
same version for x86-64 Linux (libpython3.11-dev), also LP64; what it sets
that macOS would set differently (which libc functions exist) is nothing the
module's code or the headers it uses depend on.

Windows' import library for python311.dll is made from a .def of the names
the module's objects import, and each of those must be declared PyAPI_FUNC or
PyAPI_DATA in the public headers: the interpreter's DLL exports those.

These are build checks: nothing here runs on Windows or macOS.
"""
import fnmatch
import os
import re
import shlex
import shutil
import subprocess
import sys
import zipfile
from collections import namedtuple
from pathlib import Path

from . import cross, platforms, wine, zig
from .mirror import debian_mirror, host_codename
from .procs import ensure_host_command

ForeignTarget = namedtuple("ForeignTarget", [
    "zig_target",   # zig's target triple, as the toolchain file names it
    "toolchain",    # the toolchain file, relative to the sdist's top
    "headers",      # "windows": PC/pyconfig.h; "posix": Debian's configure-made one
    "file_format",  # llvm-readobj's Format: of the module
    "arch",         # llvm-readobj's Arch:
    "module",       # the file name the target's interpreter imports
    "exports",      # the module's exported names, exactly
    "imports",      # the libraries it may import (fnmatch patterns)
])

PYTHON = "3.11"             # the interpreter version built for: the host's Debian release's
SOURCE_PACKAGE = "python3.11"
CONFIG_PACKAGE = "libpython3.11-dev"
PYTHON_DLL = "python311.dll"
# What a module built for python.org's Windows interpreters may import: the
# interpreter's DLL and the Universal C Runtime, as python.org's own modules
# do, and KERNEL32, which the C runtime's DLL start-up code calls.
WINDOWS_IMPORTS = (PYTHON_DLL, "api-ms-win-crt-*.dll", "KERNEL32.dll")
# macOS: the system library (for memcpy and the like, and dyld's binder);
# everything else is left undefined for the interpreter that loads the module.
MACOS_IMPORTS = ("/usr/lib/libSystem.B.dylib",)

FOREIGN_TARGETS = {
    "win_amd64": ForeignTarget(
        "x86_64-windows-gnu", "cmake/toolchains/x86_64-windows-gnu.cmake", "windows",
        "COFF-x86-64", "x86_64", "Concordix.cp311-win_amd64.pyd",
        ("PyInit_Concordix",), WINDOWS_IMPORTS),
    "win_arm64": ForeignTarget(
        "aarch64-windows-gnu", "cmake/toolchains/aarch64-windows-gnu.cmake", "windows",
        "COFF-ARM64", "aarch64", "Concordix.cp311-win_arm64.pyd",
        ("PyInit_Concordix",), WINDOWS_IMPORTS),
    "macosx_x86_64": ForeignTarget(
        "x86_64-macos.10.9", "cmake/toolchains/x86_64-macos.cmake", "posix",
        "Mach-O 64-bit x86-64", "x86_64", "Concordix.cpython-311-darwin.so",
        ("_PyInit_Concordix",), MACOS_IMPORTS),
    "macosx_arm64": ForeignTarget(
        "aarch64-macos.11.0", "cmake/toolchains/aarch64-macos.cmake", "posix",
        "Mach-O arm64", "aarch64", "Concordix.cpython-311-darwin.so",
        ("_PyInit_Concordix",), MACOS_IMPORTS),
}
# zig's Mach-O linker exports the two names it makes for the image header
# itself, whatever the export list says (Apple's linker keeps them private).
# They are no code of the module.
MACHO_LINKER_NAMES = {"__mh_dylib_header", "___dso_handle"}

HOST_PACKAGES = {"llvm-readobj": "llvm", "llvm-nm": "llvm", "llvm-objdump": "llvm"}


def log_run(command, log, **kwargs):
    log.write("$ " + " ".join(shlex.quote(str(c)) for c in command) + "\n")
    log.flush()
    return subprocess.run([str(c) for c in command], check=True, stdout=log,
                          stderr=subprocess.STDOUT, **kwargs)


def output(command):
    return subprocess.run([str(c) for c in command], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout


# ------------------------------------------------------------------ headers

def apt_fetch(base, suite, source_package, binary_packages, log):
    """Downloads a source package (and binary packages) of a Debian suite
    into `base`/downloads, through a private apt configuration (the host's
    own lists and sources stay as they are); returns that directory."""
    apt = base / "apt"
    for directory in (apt / "lists" / "partial", apt / "cache" / "archives" / "partial",
                      base / "downloads"):
        directory.mkdir(parents=True, exist_ok=True)
    mirror = debian_mirror()
    (apt / "sources.list").write_text(
        f"deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {mirror} {suite} main\n"
        f"deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {mirror} {suite} main\n")
    options = [f"-oDir::Etc::SourceList={apt}/sources.list", "-oDir::Etc::SourceParts=/nonexistent",
               f"-oDir::State::Lists={apt}/lists", f"-oDir::Cache={apt}/cache",
               "-oAPT::Sandbox::User=root", "-oDebug::NoLocking=1",
               "-oAPT::Architecture=amd64", "-oAPT::Architectures::=amd64"]
    downloads = base / "downloads"
    log_run(["apt-get"] + options + ["update", "-q"], log)
    log_run(["apt-get"] + options + ["source", "--download-only", "-q", source_package], log,
            cwd=str(downloads))
    for package in binary_packages:
        log_run(["apt-get"] + options + ["download", "-q", package], log, cwd=str(downloads))
    return downloads


def unpack_windows_headers(downloads, source_package, layout, log):
    """Include/ of the upstream source in `downloads`, with PC/pyconfig.h
    beside it as pyconfig.h (3.13 ships it as PC/pyconfig.h.in, usable as it
    stands: only the free-threaded installer fills its one placeholder in),
    at `layout`."""
    (tarball,) = [t for t in downloads.glob(f"{source_package}_*.orig.tar.*")
                  if not t.name.endswith(".asc")]
    source = downloads.parent / "source"
    shutil.rmtree(str(source), ignore_errors=True)
    source.mkdir()
    log_run(["tar", "-xf", tarball, "-C", source, "--strip-components=1", "--wildcards",
             "*/Include", "*/PC/pyconfig.h*"], log)
    (config,) = [c for c in (source / "PC" / "pyconfig.h", source / "PC" / "pyconfig.h.in")
                 if c.exists()]
    shutil.copytree(str(source / "Include"), str(layout))
    shutil.copy(str(config), str(layout / "pyconfig.h"))
    return source


def fetch_headers(cache, log):
    """{"windows": dir, "posix": dir}: the interpreter's headers laid out as an
    installed interpreter has them (pyconfig.h beside Python.h), made once."""
    base = cache / "foreign" / f"headers-{PYTHON}"
    done = base / ".vorlund-ok"
    layouts = {"windows": base / "windows", "posix": base / "posix"}
    if done.exists():
        return layouts
    shutil.rmtree(str(base), ignore_errors=True)
    downloads = apt_fetch(base, host_codename(), SOURCE_PACKAGE, [CONFIG_PACKAGE], log)
    source = unpack_windows_headers(downloads, SOURCE_PACKAGE, layouts["windows"], log)
    (deb,) = downloads.glob(f"{CONFIG_PACKAGE}_*.deb")
    unpacked = base / "deb"
    log_run(["dpkg-deb", "-x", deb, unpacked], log)
    (posix_config,) = unpacked.glob(f"usr/include/*-linux-gnu/python{PYTHON}/pyconfig.h")
    shutil.copytree(str(source / "Include"), str(layouts["posix"]))
    shutil.copy(str(posix_config), str(layouts["posix"] / "pyconfig.h"))
    done.write_text("")
    return layouts


def windows_headers(cache, version, suite, log):
    """Include/ and PC/pyconfig.h of CPython `version` from `suite`'s
    python`version` source package, laid out as an installed interpreter
    has them, made once."""
    base = cache / "foreign" / f"headers-{version}-windows"
    done = base / ".vorlund-ok"
    if not done.exists():
        shutil.rmtree(str(base), ignore_errors=True)
        package = f"python{version}"
        downloads = apt_fetch(base, suite, package, [], log)
        unpack_windows_headers(downloads, package, base / "include", log)
        done.write_text("")
    return base / "include"


def declared_names(include_dir, kinds="FUNC|DATA"):
    """Every name the public headers declare PyAPI_FUNC or PyAPI_DATA (or
    only one of them: `kinds`), the interpreter's internal headers aside."""
    declaration = re.compile(
        r"PyAPI_(?:" + kinds + r")\s*\((?:[^()]|\([^()]*\))*\)\s*"   # PyAPI_FUNC(type)
        r"(?:\w+\s+)*?"                                      # e.g. _Py_NO_RETURN
        r"\(?\s*(\w+)\s*\)?\s*[(;\[]")                       # name, maybe (name)
    # 3.9's boolobject.h declares two in one: PyAPI_DATA(type) a, b;
    listed = re.compile(r"PyAPI_(?:" + kinds + r")\s*\([^()]*\)\s*(\w+(?:\s*,\s*\w+)+)\s*;")
    names = set()
    for header in Path(include_dir).rglob("*.h"):
        if "internal" in header.relative_to(include_dir).parts:
            continue
        text = header.read_text(errors="replace")
        names.update(declaration.findall(text))
        for group in listed.findall(text):
            names.update(name.strip() for name in group.split(","))
    return names


# ------------------------------------------------------------------ checks

def readobj_field(readobj_output, field):
    found = re.search(r"^\s*" + field + r":\s*(.+?)\s*$", readobj_output, re.M)
    return found.group(1) if found else None


def pe_exports(readobj_output):
    """Exported names in `llvm-readobj --coff-exports` output."""
    return re.findall(r"Export \{[^}]*?Name:\s*(\S+)", readobj_output)


def pe_imports(readobj_output):
    """{dll: [names]} from `llvm-readobj --coff-imports` output (delay-loaded
    imports included: they are imports too)."""
    imports = {}
    for block in re.findall(r"(?:Delay)?Import \{(.*?)\n\}", readobj_output, re.S):
        dll = re.search(r"Name:\s*(\S+)", block).group(1)
        imports.setdefault(dll, []).extend(re.findall(r"Symbol:\s*(\S+)", block))
    return imports


def macho_exports(trie_output):
    """Names in `llvm-objdump --macho --exports-trie` output."""
    return re.findall(r"^0x[0-9A-Fa-f]+\s+(\S+)", trie_output, re.M)


LOOKED_UP = "dynamically looked up"


def macho_undefined(nm_output):
    """{name: where from} in `llvm-nm -m -u` output: "from" a library, or
    LOOKED_UP for what the loading process provides (which LLVM 14's nm
    shows as no library at all)."""
    return {name: source or LOOKED_UP for name, source in re.findall(
        r"^\s*\(undefined\) (?:weak )?external (\S+)(?: \((.+)\))?$", nm_output, re.M)}


def macho_dylibs(dylibs_output):
    """The libraries in `llvm-objdump --macho --dylibs-used` output, the
    image's own install name (its first line after the file name) aside."""
    lines = [line.strip() for line in dylibs_output.splitlines()[1:] if line.strip()]
    return [line.split(" (")[0] for line in lines[1:]]


def problems_of(target, facts, declared):
    """Why the built module is not what `target` must be (empty: it is); on
    Windows the first of its imports is the interpreter's DLL.
    `facts` holds format, arch, exports, and for Windows imports
    ({dll: [names]}), for macOS dylibs and undefined ({name: from})."""
    problems = []
    if (facts["format"], facts["arch"]) != (target.file_format, target.arch):
        problems.append(f"is {facts['format']} {facts['arch']}, "
                        f"not {target.file_format} {target.arch}")
    exports = [name for name in facts["exports"] if name not in MACHO_LINKER_NAMES]
    if exports != list(target.exports):
        problems.append("exports " + (", ".join(exports) or "nothing"))
    if "imports" in facts:
        stray = [dll for dll in facts["imports"]
                 if not any(fnmatch.fnmatch(dll.lower(), allowed.lower())
                            for allowed in target.imports)]
        if stray:
            problems.append("imports " + ", ".join(stray))
        dll = target.imports[0]
        undeclared = sorted(set(facts["imports"].get(dll, [])) - declared)
        if undeclared:
            problems.append(f"takes from {dll} what no public header declares: "
                            + ", ".join(undeclared))
    else:
        stray = [lib for lib in facts["dylibs"] if lib not in target.imports]
        if stray:
            problems.append("links " + ", ".join(stray))
        looked_up = {name for name, source in facts["undefined"].items()
                     if source == LOOKED_UP}
        undeclared = sorted(name for name in looked_up
                            if not (name.startswith("_") and name[1:] in declared))
        if undeclared:
            problems.append("leaves to the interpreter what no public header declares: "
                            + ", ".join(undeclared))
        other = sorted(f"{name} ({source})" for name, source in facts["undefined"].items()
                       if source != LOOKED_UP
                       and source not in ("from " + Path(lib).name.split(".")[0]
                                          for lib in target.imports))
        if other:
            problems.append("needs " + ", ".join(other))
    return problems


def module_facts(target, module):
    facts = {}
    headers = output(["llvm-readobj", "--file-headers", module])
    facts["format"] = readobj_field(headers, "Format")
    facts["arch"] = readobj_field(headers, "Arch")
    if target.headers == "windows":
        facts["exports"] = pe_exports(output(["llvm-readobj", "--coff-exports", module]))
        facts["imports"] = pe_imports(output(["llvm-readobj", "--coff-imports", module]))
    else:
        facts["exports"] = macho_exports(output(["llvm-objdump", "--macho", "--exports-trie",
                                                 module]))
        facts["dylibs"] = macho_dylibs(output(["llvm-objdump", "--macho", "--dylibs-used",
                                               module]))
        facts["undefined"] = macho_undefined(output(["llvm-nm", "-m", "-u", module]))
    return facts


# ------------------------------------------------------------------ builds

def ensure_host_tools():
    for command, package in HOST_PACKAGES.items():
        ensure_host_command(command, package)


def build_tools(cache, log):
    """(cmake, ninja, the directory of the zig wrappers the toolchain files
    run, the environment to build in)."""
    venv = cache / "foreign" / "tools"
    if not (venv / "bin" / "ninja").exists():
        log_run([sys.executable, "-m", "venv", "--clear", venv], log)
        log_run([venv / "bin" / "python", "-m", "pip", "install", "-q",
                 "--disable-pip-version-check", "cmake>=3.17", "ninja"], log)
    wrappers = cache / "foreign" / "zig-tools"
    wrappers.mkdir(parents=True, exist_ok=True)
    command = " ".join(shlex.quote(c) for c in zig.zig_command(cache))
    for name, tool in (("c++", "c++"), ("ar", "ar"), ("ranlib", "ranlib"),
                       ("dlltool", "dlltool")):
        wrapper = wrappers / name
        wrapper.write_text(f'#!/bin/sh\nexec {command} {tool} "$@"\n')
        wrapper.chmod(0o755)
    env = dict(os.environ, CONCORDIX_ZIG_TOOLS=str(wrappers), **zig.zig_environment(cache))
    return venv / "bin" / "cmake", venv / "bin" / "ninja", wrappers, env


def import_definitions(objects, data):
    """A .def for the interpreter's DLL of what the objects import from it
    (the __imp_ names of dllimport declarations); `data` holds the names
    that are variables."""
    names = set()
    for obj in objects:
        names.update(re.findall(r"^\s*U __imp_(\w+)$", output(["llvm-nm", obj]), re.M))
    lines = [f"LIBRARY {PYTHON_DLL}", "EXPORTS"]
    lines += [name + (" DATA" if name in data else "") for name in sorted(names)]
    return "\n".join(lines) + "\n", names


def build_and_check(name, source, work, cache, log):
    """Builds FOREIGN_TARGETS[name] from the unpacked sdist at `source` in
    `work` and checks it; returns (module path, problems)."""
    target = FOREIGN_TARGETS[name]
    ensure_host_tools()
    headers = fetch_headers(cache, log)[target.headers]
    declared = declared_names(headers)
    cmake, ninja, wrappers, env = build_tools(cache, log)
    shutil.rmtree(str(work), ignore_errors=True)
    build = work / "build"
    configure = [cmake, "-S", source, "-B", build, "-G", "Ninja",
                 "-DCMAKE_MAKE_PROGRAM=" + str(ninja),
                 "-DCMAKE_TOOLCHAIN_FILE=" + str(source / target.toolchain),
                 "-DCONCORDIX_WERROR=ON", "-DCMAKE_BUILD_TYPE=Release",
                 "-DPython_INCLUDE_DIR=" + str(headers),
                 "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + str(work / "out")]
    windows = target.headers == "windows"
    # python.org's name for it (libs\\python311.lib)
    library = work / (PYTHON_DLL[:-4] + ".lib")
    if windows:
        # The objects first: they say what the import library must hold.
        machine = {"x86_64": "i386:x86-64", "aarch64": "arm64"}[target.arch]
        write_import_library(wrappers, machine, f"LIBRARY {PYTHON_DLL}\nEXPORTS\n", work, library,
                             log, env)
        # FindPython takes an interpreter without its DLL for a static one and
        # links it with that interpreter's own link flags (here the host's:
        # -ldl -lm); an empty stand-in for the DLL is all it looks at.
        (work / PYTHON_DLL).write_bytes(b"")
        configure += ["-DPython_LIBRARY=" + str(library),
                      "-DPython_RUNTIME_LIBRARY=" + str(work / PYTHON_DLL)]
    log_run(configure, log, env=env)
    if windows:
        objects_targets = [line.split(":")[0] for line in
                           output([ninja, "-C", build, "-t", "targets", "all"]).splitlines()
                           if re.match(r"^\S+\.obj:", line)]
        log_run([ninja, "-C", build] + objects_targets, log, env=env)
        text, _names = import_definitions([build / t for t in objects_targets],
                                     declared_names(headers, "DATA"))
        write_import_library(wrappers, machine, text, work, library, log, env)
    log_run([cmake, "--build", build], log, env=env)
    (built,) = (work / "out").glob("Concordix*" + Path(target.module).suffix)
    module = work / target.module
    shutil.copyfile(str(built), str(module))
    return module, problems_of(target, module_facts(target, module), declared)


def write_import_library(wrappers, machine, definitions, work, library, log, env):
    definition = library.with_suffix(".def")
    work.mkdir(parents=True, exist_ok=True)
    definition.write_text(definitions)
    log_run([wrappers / "dlltool", "-d", definition, "-l", library, "-m", machine], log, env=env)


# ------------------------------------------------------------------ wheels

def dll_definitions(dll, data):
    """A .def of everything the interpreter's real DLL exports (its export
    table, read by llvm-readobj); `data` holds the names that are
    variables, which get only their __imp_ pointer."""
    names = pe_exports(output(["llvm-readobj", "--coff-exports", dll]))
    lines = [f"LIBRARY {Path(dll).name}", "EXPORTS"]
    lines += [name + (" DATA" if name in data else "") for name in sorted(set(names))]
    return "\n".join(lines) + "\n"


def windows_settings(host_python, version, work):
    """The host interpreter's own build settings (its _sysconfigdata, which
    setuptools reads for everything but the module's name) with a Windows
    interpreter's extension suffix and no SOABI, as python.org's builds have
    none that bdist_wheel could read an ABI tag from: the wheel is then
    tagged cpXY-cpXY. Returns the file."""
    library = subprocess.run(
        [str(host_python), "-c", "import importlib, sysconfig; print(importlib.import_module("
         "sysconfig._get_sysconfigdata_name()).__file__)"],
        check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    tag = "cp" + version.replace(".", "")
    settings = work / f"_sysconfigdata__win_amd64_{tag}.py"
    work.mkdir(parents=True, exist_ok=True)
    settings.write_text(Path(library).read_text() + (
        "\n# a python.org interpreter for 64-bit Windows\n"
        f"build_time_vars.update(EXT_SUFFIX='.{tag}-win_amd64.pyd', SOABI=None,\n"
        "                       SHLIB_SUFFIX='.pyd')\n"))
    return settings


def build_windows_wheel(name, cache, host_python, sdist, work, log_path):
    """The win_amd64 wheel of Windows row `name` from the sdist: the host's
    interpreter of the same version runs setup.py with a Windows
    interpreter's extension suffix and platform, and CMake builds with zig
    for x86_64-windows-gnu against that version's own headers and an import
    library of its real DLL. Returns (wheel, EXT_SUFFIX, problems)."""
    version, suite, _, _ = platforms.WINDOWS[name]
    target = FOREIGN_TARGETS["win_amd64"]
    with open(log_path, "w") as log:
        ensure_host_tools()
        headers = windows_headers(cache, version, suite, log)
        wine.ensure_interpreter(cache, name, log)
        dll = wine.python_dll(cache, name)
        _, _, wrappers, env = build_tools(cache, log)
        shutil.rmtree(str(work), ignore_errors=True)
        libs = work / "libs"
        libs.mkdir(parents=True)
        library = libs / (dll.stem + ".lib")
        write_import_library(wrappers, "i386:x86-64",
                             dll_definitions(dll, declared_names(headers, "DATA")),
                             libs, library, log, env)
        # FindPython takes an interpreter without its DLL for a static one;
        # the DLL itself is all it looks at.
        shutil.copy(str(dll), str(libs / dll.name))
        toolchain_dir = work / "toolchains"
        subprocess.run(["tar", "-xzf", str(sdist), "-C", str(work), "--strip-components=1",
                        "--wildcards", "*/cmake/toolchains"], check=True)
        shutil.move(str(work / "cmake" / "toolchains"), str(toolchain_dir))
        settings = windows_settings(host_python, version, work / "settings")
    toolchain = (f'include("{toolchain_dir}/x86_64-windows-gnu.cmake")\n'
                 f'set(Python_INCLUDE_DIR "{headers}")\n'
                 f'set(Python_LIBRARY "{library}")\n'
                 f'set(Python_RUNTIME_LIBRARY "{libs / dll.name}")\n')
    tag = "cp" + version.replace(".", "")
    wheel, ext_suffix = cross.build_wheel_for_target(
        name, "amd64", work / "wheel", settings, toolchain, sdist, host_python,
        f"echo .{tag}-win_amd64.pyd", "raw", log_path, env, host_platform="win-amd64")
    windows_target = target._replace(module=f"Concordix{ext_suffix}",
                                      imports=(dll.name,) + WINDOWS_IMPORTS[1:])
    scratch = work / "check"
    scratch.mkdir()
    with zipfile.ZipFile(wheel) as archive:
        module = scratch / windows_target.module
        module.write_bytes(archive.read("vorlundpython/" + windows_target.module))
    problems = problems_of(windows_target, module_facts(windows_target, module),
                           declared_names(headers))
    return wheel, ext_suffix, problems


def build_windows_consumer(name, cache, work, site_packages, out_dir, log_path):
    """The example consumer (examples/concordance) built with zig for the
    Windows row `name` against the header the wheel installed (in
    `site_packages`), that version's headers and the import library its
    wheel was linked with (in `work`, build_windows_wheel's); returns the
    module, in `out_dir`."""
    version, suite, _, _ = platforms.WINDOWS[name]
    tag = "cp" + version.replace(".", "")
    with open(log_path, "a") as log:
        headers = windows_headers(cache, version, suite, log)
        (library,) = (work / "libs").glob("python3*.lib")
        _, _, wrappers, env = build_tools(cache, log)
        zig_cc = zig.zig_command(cache) + ["cc", "-target", "x86_64-windows-gnu"]
        # MS_WIN64 as the module's own build decides it: only where
        # pyconfig.h leaves it out (up to 3.11 it sets it for MSVC alone)
        probe = subprocess.run(zig_cc + ["-E", "-dM", "-I", str(headers), "-x", "c", "-"],
                               input="#include <pyconfig.h>\n", stdout=subprocess.PIPE,
                               universal_newlines=True, check=True, env=env).stdout
        defines = [] if re.search(r"^#define MS_WIN64\b", probe, re.M) else ["-DMS_WIN64"]
        out_dir.mkdir(parents=True, exist_ok=True)
        module = out_dir / f"concordance.{tag}-win_amd64.pyd"
        source = Path(__file__).resolve().parents[2] / "examples" / "concordance" / "concordance.c"
        log_run(zig_cc + ["-shared", "-O2", "-std=c11", "-Wall", "-Wextra", "-Werror"] + defines
                + ["-I", headers, "-I", site_packages / "vorlundpython", source, library,
                   "-o", module], log, env=env)
    return module


def prepare_windows(name, cache, log):
    """What the Windows row's wheel and test run need, made once into the
    cache: Wine and the official interpreter with its prefix, that
    version's headers, zig, and zig's build of the MinGW runtime for its
    first Windows link (minutes from nothing)."""
    version, suite, _, _ = platforms.WINDOWS[name]
    wine.ensure_interpreter(cache, name, log)
    windows_headers(cache, version, suite, log)
    _, _, wrappers, env = build_tools(cache, log)
    work = cache / "zig" / "warm-x86_64-windows-gnu"
    shutil.rmtree(str(work), ignore_errors=True)
    work.mkdir(parents=True)
    (work / "module.cpp").write_text(
        'extern "C" __declspec(dllexport) int PyInit_module() { return 0; }\n')
    log_run([wrappers / "c++", "-target", "x86_64-windows-gnu", "-O3", "-shared",
             "-nostdlib++", "-fno-exceptions", "-fno-rtti", work / "module.cpp", "-o",
             work / "module.pyd"], log, env=env)
