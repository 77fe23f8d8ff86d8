"""scripts/release: what it accepts as a wheel of the package, how it reads
auditwheel, and what it accepts of a cross build for Windows or macOS; and
setup.py's plan on every platform's interpreter settings."""
import importlib.machinery
import importlib.util
import runpy
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]

if sys.version_info < (3, 9):
    pytest.skip("scripts/release is a host tool that needs Python 3.9 or later",
                allow_module_level=True)

sys.path.insert(0, str(REPO / "scripts"))
from buildkit import wheels  # noqa: E402
from buildkit.musl import zig_wrapper  # noqa: E402
from support import load_script  # noqa: E402

release = load_script("release")

SUFFIX = ".cpython-311-x86_64-linux-gnu.so"
PACKAGE = ["vorlundpython/__init__.py", "vorlundpython/Concordix.h",
           "vorlundpython/Concordix.pyi", "vorlundpython/py.typed",
           "vorlundpython/Concordix" + SUFFIX]
DIST_INFO = ["vorlundpython-0.1.0.dist-info/" + n
             for n in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE")]


@pytest.mark.parametrize("change, problem", [
    (lambda names: names, None),
    (lambda names: names + ["vorlundpython.libs/libstdc++.so.6"], "not part of the package"),
    (lambda names: names + ["vorlundpython/cpp_src/Concordix.cpp"], "not part of the package"),
    (lambda names: [n for n in names if not n.endswith(".h")], "missing"),
    (lambda names: [n for n in names if not n.endswith("RECORD")], "incomplete dist-info"),
    (lambda names: [n for n in names if not n.endswith("LICENSE")], "incomplete dist-info"),
], ids=["exact", "grafted-library", "sources", "no-header", "no-record", "no-licence"])
def test_wheel_must_hold_exactly_the_package(tmp_path, change, problem):
    wheel = tmp_path / "vorlundpython-0.1.0-cp311-cp311-manylinux1_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as out:
        for name in change(PACKAGE + DIST_INFO):
            out.writestr(name, "")
    problems = wheels.wheel_problems(wheel, SUFFIX)
    assert (problems == []) if problem is None else (len(problems) == 1
                                                     and problem in problems[0])


def test_platform_tag_is_read_from_auditwheel_show():
    show = ('\nvorlundpython-0.1.0-cp36-cp36m-linux_x86_64.whl is consistent with\n'
            'the following platform tag: "manylinux_2_5_x86_64".\n')
    assert wheels.platform_tag(show) == "manylinux_2_5_x86_64"
    with pytest.raises(SystemExit):
        wheels.platform_tag("This does not look like a platform wheel")
    assert wheels.wheel_tag(Path("vorlundpython-0.1.0-cp313-cp313t-manylinux1_x86_64"
                                  ".manylinux_2_5_x86_64.whl")) \
        == "manylinux1_x86_64.manylinux_2_5_x86_64"


READELF = """
Symbol table '.dynsym' contains 5 entries:
   Num:    Value          Size Type    Bind   Vis      Ndx Name
     0: 0000000000000000     0 NOTYPE  LOCAL  DEFAULT  UND
     1: 0000000000001c70     0 SECTION LOCAL  DEFAULT    9 .init
     2: 0000000000000000     0 FUNC    GLOBAL DEFAULT  UND PyType_Ready
     3: 0000000000000000     0 FUNC    GLOBAL DEFAULT  UND memcpy@GLIBC_2.17 (2)
     4: 0000000000002450  1668 FUNC    GLOBAL DEFAULT   11 PyInit_Concordix
"""
# ppc64le: the entry point's local entry offset stands between Vis and Ndx.
READELF_PPC64 = """
     1: 0000000000000000     0 FUNC    GLOBAL DEFAULT  UND memcpy@GLIBC_2.17 (2)
     2: 0000000000002ac0  1868 FUNC    GLOBAL DEFAULT [<localentry>: 8]    11 PyInit_Concordix
"""


@pytest.mark.parametrize("wheel, machine", [
    ("vorlundpython-0.1.0-cp311-cp311-linux_aarch64.whl", "aarch64"),
    ("vorlundpython-0.1.0-cp311-cp311-manylinux2014_s390x.manylinux_2_17_s390x.whl", "s390x"),
    ("vorlundpython-0.1.0-cp311-cp311-manylinux_2_17_ppc64le.whl", "ppc64le"),
    ("vorlundpython-0.1.0-cp311-cp311-manylinux1_i686.manylinux_2_5_i686.whl", "i686"),
    ("vorlundpython-0.1.0-cp36-cp36m-manylinux1_x86_64.manylinux_2_5_x86_64.whl", "x86_64"),
    ("vorlundpython-0.1.0-cp313-cp313-musllinux_1_2_x86_64.whl", "x86_64"),
    ("vorlundpython-0.1.0-cp311-cp311-manylinux2014_armv7l.manylinux_2_17_armv7l.whl", "armv7l"),
])
def test_wheels_of_one_version_are_told_apart_by_machine(wheel, machine):
    # 3.11's x86-64 wheel and those of other architectures share cp311-cp311.
    assert wheels.wheel_machine(Path(wheel)) == machine


@pytest.mark.parametrize("listing", [READELF, READELF_PPC64], ids=["plain", "ppc64le"])
def test_exported_symbols_are_the_defined_ones_readelf_lists(listing):
    # readelf, not nm: it reads the ELF files of every architecture.
    assert wheels.defined_dynamic_symbols(listing) == ["PyInit_Concordix"]


@pytest.mark.parametrize("name, root, python", [
    ("3.11-aarch64", "bookworm-arm64", "python3.11"),
    ("3.11-armv7l", "bookworm-armhf", "python3.11"),
    ("3.13-riscv64", "trixie-riscv64", "python3.13"),
    ("3.11-i686", "bookworm-i386", "python3.11"),
    ("3.13-musl-x86_64", "trixie", "/opt/cpython-3.13-musl-x86_64/bin/python3"),
    # python.org's interpreter, run by Wine on the host
    ("3.13-win_amd64", None, "/usr/lib/wine/wine64"),
])
def test_each_wheel_platform_is_a_row_of_the_interpreter_table(name, root, python):
    # The platforms enter as rows of the shared tables; the release's own
    # table must name the root each runs in and the interpreter there, and
    # know which are emulated and which are built against musl.
    assert release.interpreter(name) == (root, python)
    assert release.emulated(name) == (root in release.platforms.EMULATED)
    assert release.musl(name) == ("musl" in name)
    assert release.windows(name) == name.endswith("win_amd64")


@pytest.mark.parametrize("given, passed", [
    (["-Wl,--version-script=/a b/exports.map"], ["-Wl,--version-script,/a b/exports.map"]),
    (["-Xlinker", "--version-script=/a b/exports.map"],
     ["-Xlinker", "--version-script", "-Xlinker", "/a b/exports.map"]),
    (["-O3", "-DX=a=b", "-o", "out dir/m.so"], ["-O3", "-DX=a=b", "-o", "out dir/m.so"]),
], ids=["Wl", "Xlinker", "untouched"])
@pytest.mark.no_refleak_hunt(reason="drives a shell in a subprocess")
@pytest.mark.skipif(sys.platform == "win32", reason="the wrapper is a POSIX shell script "
                                                    "(the musl builds run on a Linux host)")
def test_the_musl_compiler_passes_the_version_script_as_zig_takes_it(tmp_path, given, passed):
    # zig refuses --version-script=FILE ("unsupported linker arg"), the form
    # CMake passes; every other argument must reach zig unchanged.
    fake_zig = tmp_path / "zig"
    fake_zig.write_text('#!/bin/sh\nfor arg do printf "%s\\n" "$arg"; done\n')
    fake_zig.chmod(0o755)
    zig_wrapper(tmp_path / "zig-c++", [str(fake_zig)], "x86_64-linux-musl")
    out = subprocess.run([str(tmp_path / "zig-c++")] + given, check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert out.splitlines() == ["c++", "-target", "x86_64-linux-musl", "-g0"] + passed


# ------------------------------------------------------------ cross builds

foreign = release.foreign_builds
WINDOWS = foreign.FOREIGN_TARGETS["win_amd64"]
MACOS = foreign.FOREIGN_TARGETS["macosx_arm64"]
DECLARED = {"PyLong_AsLong", "PyExc_TypeError", "PyType_Ready"}
GOOD_WINDOWS = {"format": "COFF-x86-64", "arch": "x86_64", "exports": ["PyInit_Concordix"],
                "imports": {"python311.dll": ["PyLong_AsLong", "PyExc_TypeError"],
                            "api-ms-win-crt-heap-l1-1-0.dll": ["free"],
                            "KERNEL32.dll": ["Sleep"]}}
GOOD_MACOS = {"format": "Mach-O arm64", "arch": "aarch64",
              "exports": ["_PyInit_Concordix", "__mh_dylib_header", "___dso_handle"],
              "dylibs": ["/usr/lib/libSystem.B.dylib"],
              "undefined": {"_PyType_Ready": foreign.LOOKED_UP,
                            "dyld_stub_binder": "from libSystem"}}


def changed(facts, **changes):
    return dict(facts, **changes)


@pytest.mark.parametrize("target, facts, problem", [
    (WINDOWS, GOOD_WINDOWS, None),
    (WINDOWS, changed(GOOD_WINDOWS, arch="aarch64", format="COFF-ARM64"), "not COFF-x86-64"),
    # MinGW exports every global symbol when nothing is marked dllexport
    (WINDOWS, changed(GOOD_WINDOWS, exports=["PyInit_Concordix", "_ZN9concordix4initEv"]),
     "exports"),
    # Debian's mingw links the old msvcrt.dll, not python.org's runtime; a
    # C++ runtime DLL would have to ship beside the module
    (WINDOWS, changed(GOOD_WINDOWS, imports={**GOOD_WINDOWS["imports"], "msvcrt.dll": ["free"]}),
     "imports msvcrt.dll"),
    (WINDOWS, changed(GOOD_WINDOWS, imports={**GOOD_WINDOWS["imports"],
                                             "libstdc++-6.dll": ["_Znwm"]}), "imports libstdc++"),
    # a private name the DLL may not export, or not in another version
    (WINDOWS, changed(GOOD_WINDOWS, imports={"python311.dll": ["_PyLong_Sign"]}),
     "no public header declares: _PyLong_Sign"),
    # a wheel's module must take the interpreter's API from its own version's DLL
    (WINDOWS._replace(imports=("python313.dll",) + WINDOWS.imports[1:]), GOOD_WINDOWS,
     "imports python311.dll"),
    (MACOS, GOOD_MACOS, None),
    (MACOS, changed(GOOD_MACOS, exports=["_PyInit_Concordix", "__ZN9concordix4initEv"]),
     "exports"),
    (MACOS, changed(GOOD_MACOS, dylibs=["/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"]),
     "links /usr/lib/libc++.1.dylib"),
    (MACOS, changed(GOOD_MACOS, undefined={**GOOD_MACOS["undefined"],
                                           "__Znwm": "from libc++"}), "needs __Znwm"),
    (MACOS, changed(GOOD_MACOS, undefined={"_Py_Private": foreign.LOOKED_UP}),
     "no public header declares: _Py_Private"),
], ids=["windows", "windows-arch", "windows-exports", "windows-msvcrt", "windows-libstdc++",
        "windows-private-name", "windows-other-version", "macos", "macos-exports", "macos-libc++", "macos-c++-symbol",
        "macos-private-name"])
def test_cross_built_module_checks(target, facts, problem):
    problems = foreign.problems_of(target, facts, DECLARED)
    assert (problems == []) if problem is None else (len(problems) == 1
                                                     and problem in problems[0]), problems


def test_cross_build_tool_output_is_read():
    readobj = """
Export {
  Ordinal: 1
  Name: PyInit_Concordix
  RVA: 0x1000
}
Import {
  Name: python311.dll
  ImportLookupTableRVA: 0x34ED0
  Symbol: PyBaseObject_Type (0)
  Symbol: PyCapsule_New (0)
}
DelayImport {
  Name: KERNEL32.dll
  Symbol: Sleep (0)
}
"""
    assert foreign.pe_exports(readobj) == ["PyInit_Concordix"]
    assert foreign.pe_imports(readobj) == {"python311.dll": ["PyBaseObject_Type", "PyCapsule_New"],
                                           "KERNEL32.dll": ["Sleep"]}
    nm = """                 (undefined) external _PyCapsule_New
                 (undefined) external _PyType_Ready (dynamically looked up)
                 (undefined) external ___bzero (from libSystem)
"""
    assert foreign.macho_undefined(nm) == {"_PyCapsule_New": foreign.LOOKED_UP,
                                           "_PyType_Ready": foreign.LOOKED_UP,
                                           "___bzero": "from libSystem"}
    dylibs = ("Concordix.so:\n\tConcordix.so (compatibility version 1.0.0)\n"
              "\t/usr/lib/libSystem.B.dylib (compatibility version 1.0.0)\n")
    assert foreign.macho_dylibs(dylibs) == ["/usr/lib/libSystem.B.dylib"]


def test_public_declarations_are_read_from_the_headers(tmp_path):
    (tmp_path / "cpython").mkdir()
    (tmp_path / "internal").mkdir()
    (tmp_path / "object.h").write_text(
        "PyAPI_FUNC(PyObject *) PyLong_FromLong(long);\n"
        "PyAPI_DATA(PyTypeObject) PyLong_Type;\n"
        "PyAPI_FUNC(void) _Py_NO_RETURN Py_FatalError(const char *message);\n"
        "PyAPI_FUNC(int) (PyArg_Parse)(PyObject *, const char *, ...);\n"
        "PyAPI_FUNC(void (*)(int)) PyOS_getsig(int);\n"
        # 3.9's boolobject.h
        "PyAPI_DATA(struct _longobject) _Py_FalseStruct, _Py_TrueStruct;\n")
    (tmp_path / "cpython" / "dictobject.h").write_text(
        "PyAPI_FUNC(PyObject *) _PyDict_GetItem_KnownHash(PyObject *mp, PyObject *key,\n"
        "                                                 Py_hash_t hash);\n")
    (tmp_path / "internal" / "pycore_dict.h").write_text("PyAPI_FUNC(int) _PyDict_Private(void);\n")
    assert foreign.declared_names(tmp_path) == {
        "PyLong_FromLong", "PyLong_Type", "Py_FatalError", "PyArg_Parse", "PyOS_getsig",
        "_PyDict_GetItem_KnownHash", "_Py_FalseStruct", "_Py_TrueStruct"}
    assert foreign.declared_names(tmp_path, "DATA") == {"PyLong_Type", "_Py_FalseStruct",
                                                         "_Py_TrueStruct"}


# ------------------------------------------------------------ setup.py's plan

def _load_build_plan():
    spec = importlib.util.spec_from_file_location("build_plan", str(REPO / "build_plan.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


build_plan = _load_build_plan()

# (SOABI, EXT_SUFFIX, os.name, sysconfig.get_platform(), cache tag, cl on PATH)
# -> (build_base, module_glob, cmake, vcvars)
PLANS = {
    "linux": (("cpython-311-x86_64-linux-gnu", ".cpython-311-x86_64-linux-gnu.so", "posix",
               "linux-x86_64", "cpython-311", False),
              ("build/cpython-311-x86_64-linux-gnu", "Concordix*.so", "cmake", None)),
    "macos-arm64": (("cpython-311-darwin", ".cpython-311-darwin.so", "posix",
                     "macosx-11.0-arm64", "cpython-311", False),
                    ("build/cpython-311-darwin", "Concordix*.so", "cmake", None)),
    # Windows has no SOABI before 3.13
    "windows": ((None, ".cp311-win_amd64.pyd", "nt", "win-amd64", "cpython-311", False),
                ("build/cp311-win_amd64", "Concordix*.pyd", "cmake.exe", "x86_amd64")),
    "windows-debug": ((None, "_d.cp311-win_amd64.pyd", "nt", "win-amd64", "cpython-311", False),
                      ("build/d.cp311-win_amd64", "Concordix*.pyd", "cmake.exe", "x86_amd64")),
    "windows-3.13t": (("cp313t-win_amd64", ".cp313t-win_amd64.pyd", "nt", "win-amd64",
                       "cpython-313", False),
                      ("build/cp313t-win_amd64", "Concordix*.pyd", "cmake.exe", "x86_amd64")),
    "win32-3.6": ((None, ".cp36-win32.pyd", "nt", "win32", "cpython-36", False),
                  ("build/cp36-win32", "Concordix*.pyd", "cmake.exe", "x86")),
    # a developer prompt has set MSVC's environment up already
    "windows-prompt": ((None, ".cp311-win_arm64.pyd", "nt", "win-arm64", "cpython-311", True),
                       ("build/cp311-win_arm64", "Concordix*.pyd", "cmake.exe", None)),
    # MSYS2's MinGW interpreter: GCC, no MSVC environment
    "mingw": (("cpython-311", ".cpython-311.pyd", "nt", "mingw_x86_64_ucrt", "cpython-311",
               False), ("build/cpython-311", "Concordix*.pyd", "cmake.exe", None)),
}


@pytest.mark.parametrize("name", PLANS)
def test_setup_plans_a_build_for_each_platform(name):
    (soabi, ext_suffix, os_name, platform, tag, cl), expected = PLANS[name]
    plan = build_plan.build_plan({"SOABI": soabi, "EXT_SUFFIX": ext_suffix}, os_name, platform,
                                 tag, cl)
    assert (plan.build_base, plan.module_glob, plan.cmake, plan.vcvars) == expected
    assert Path(plan.ninja).suffix == Path(plan.cmake).suffix
    # the module CMake names the file it builds is the one the pattern finds
    assert Path("Concordix" + ext_suffix).match(plan.module_glob)


@pytest.mark.parametrize("name", ["windows", "macos-arm64"])
def test_setup_py_loads_with_another_platforms_settings(monkeypatch, name):
    """setup.py runs its plan at load: with Windows' settings (no SOABI) that
    once raised TypeError before pip got anywhere."""
    setuptools = pytest.importorskip(
        "setuptools", reason="setuptools is not installed (runs with only pytest and "
                             "hypothesis leave it out from 3.12 on)")
    (soabi, ext_suffix, _, platform, _, _), (build_base, _, _, _) = PLANS[name]
    settings = {"SOABI": soabi, "EXT_SUFFIX": ext_suffix}
    monkeypatch.setattr(sysconfig, "get_config_var", settings.get)
    monkeypatch.setattr(sysconfig, "get_platform", lambda: platform)
    calls = []
    monkeypatch.setattr(setuptools, "setup", lambda **kwargs: calls.append(kwargs))
    namespace = runpy.run_path(str(REPO / "setup.py"))
    (kwargs,) = calls
    assert kwargs["options"]["build"]["build_base"] == build_base
    assert namespace["PLAN"].module_glob.endswith(Path(ext_suffix).suffix)
