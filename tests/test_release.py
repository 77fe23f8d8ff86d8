"""scripts/release: what it accepts as a wheel of the package, and how it
reads auditwheel."""
import subprocess
import sys
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
DIST_INFO = ["vorlundpython-0.1.0.dist-info/" + n for n in ("METADATA", "WHEEL", "RECORD")]


@pytest.mark.parametrize("change, problem", [
    (lambda names: names, None),
    (lambda names: names + ["vorlundpython.libs/libstdc++.so.6"], "not part of the package"),
    (lambda names: names + ["vorlundpython/cpp_src/Concordix.cpp"], "not part of the package"),
    (lambda names: [n for n in names if not n.endswith(".h")], "missing"),
    (lambda names: [n for n in names if not n.endswith("RECORD")], "incomplete dist-info"),
], ids=["exact", "grafted-library", "sources", "no-header", "no-record"])
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
])
def test_each_wheel_platform_is_a_row_of_the_interpreter_table(name, root, python):
    # The platforms enter as rows of the shared tables; the release's own
    # table must name the root each runs in and the interpreter there, and
    # know which are emulated and which are built against musl.
    assert release.interpreter(name) == (root, python)
    assert release.emulated(name) == (root in release.platforms.EMULATED)
    assert release.musl(name) == ("musl" in name)


@pytest.mark.parametrize("given, passed", [
    (["-Wl,--version-script=/a b/exports.map"], ["-Wl,--version-script,/a b/exports.map"]),
    (["-Xlinker", "--version-script=/a b/exports.map"],
     ["-Xlinker", "--version-script", "-Xlinker", "/a b/exports.map"]),
    (["-O3", "-DX=a=b", "-o", "out dir/m.so"], ["-O3", "-DX=a=b", "-o", "out dir/m.so"]),
], ids=["Wl", "Xlinker", "untouched"])
@pytest.mark.no_refleak_hunt(reason="drives a shell in a subprocess")
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
