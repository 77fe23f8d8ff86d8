"""Packaging of vorlundpython.

CMakeLists.txt is the one description of how the module is compiled: the
test builds and the benchmark build use it directly, and this file only runs
it for pip and packs what it built. setuptools is the build backend because
it is the one that runs on every interpreter the package supports (3.6 and
up) with a single configuration.

CONCORDIX_CMAKE_DEFINE passes CMake options to the build, separated by ';'
(for example "CONCORDIX_WERROR=ON;CONCORDIX_SANITIZE=address,undefined").
CONCORDIX_BUILD_DIR, when set, is the CMake tree to build in and keep.
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent


def _load_build_plan():
    # By its path: the build backend runs this file from a directory that
    # need not be on sys.path.
    spec = importlib.util.spec_from_file_location("build_plan", str(HERE / "build_plan.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


build_plan = _load_build_plan()
PLAN = build_plan.build_plan(
    {name: sysconfig.get_config_var(name) for name in ("SOABI", "EXT_SUFFIX")},
    os.name, sysconfig.get_platform(), sys.implementation.cache_tag,
    cl_on_path=shutil.which("cl") is not None)


def cmake_defines():
    defines = []
    for item in os.environ.get("CONCORDIX_CMAKE_DEFINE", "").split(";"):
        item = item.strip()
        if item:
            defines.append("-D" + item)
    return defines


def build_tool(name, file_name):
    """The build environment's own CMake or Ninja (from PyPI), else PATH's."""
    try:
        module = __import__(name)
        directory = getattr(module, "CMAKE_BIN_DIR", None) or getattr(module, "BIN_DIR", None)
        if directory and Path(directory, file_name).exists():
            return str(Path(directory, file_name))
    except ImportError:
        pass
    found = shutil.which(name)
    if not found:
        sys.exit("vorlundpython: {} is needed to build the module".format(name))
    return found


class CMakeBuild(build_ext):
    """Builds the extension with CMake instead of setuptools' compiler."""

    def build_extension(self, ext):
        # A fresh CMake tree every time: a cached one would keep the options
        # (sanitizers, say) of whichever build ran there before. A coverage
        # build names a tree to keep: its counters are written beside the
        # objects when the tests run.
        kept = os.environ.get("CONCORDIX_BUILD_DIR")
        if kept:
            shutil.rmtree(kept, ignore_errors=True)
            self.cmake_build(ext, Path(kept).resolve())
            return
        with tempfile.TemporaryDirectory(prefix="vorlundpython-cmake-") as build_dir:
            self.cmake_build(ext, Path(build_dir))

    def cmake_build(self, ext, build_dir):
        cmake, ninja = build_tool("cmake", PLAN.cmake), build_tool("ninja", PLAN.ninja)
        # Ninja runs the compiler it is told of; with MSVC that compiler needs
        # the environment a Visual Studio prompt sets, which setuptools' own
        # compiler step would have set up for itself.
        env = None
        if PLAN.vcvars:
            env = dict(os.environ, **build_plan.msvc_environment(PLAN.vcvars))
        output_dir = build_dir / "out"
        configure = [
            cmake, "-S", str(HERE), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_MAKE_PROGRAM=" + ninja,
            "-DPython_EXECUTABLE=" + sys.executable,
            "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + str(output_dir),
        ] + cmake_defines()
        if self.debug:
            configure.append("-DCMAKE_BUILD_TYPE=Debug")
        subprocess.check_call(configure, env=env)
        subprocess.check_call([cmake, "--build", str(build_dir)], env=env)
        (built,) = output_dir.glob(PLAN.module_glob)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(str(built), str(target))
        shutil.copymode(str(built), str(target))


# Tools that dropped old interpreters are pinned by their own Requires-Python;
# only the example consumer's build needs markers: setuptools builds its
# wheel without the separate wheel package from 70.1 on, which needs 3.8.
CONSUMER_BUILD = [
    "setuptools>=70.1; python_version >= '3.8'",
    "setuptools; python_version < '3.8'",
    "wheel; python_version < '3.8'",
]

setup(
    name="vorlundpython",
    version="0.1.0",
    description="Concordix: four 32-bit comparison tallies as a native CPython class, "
                "fillable from C in one call",
    long_description=(HERE / "README.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    license="MIT",
    classifiers=[
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: Implementation :: CPython",
        "Programming Language :: Python :: Implementation :: PyPy",
        "License :: OSI Approved :: MIT License",
        # 64-bit Windows wheels are tested with python.org's interpreters
        # under Wine; macOS builds are only checked by cross compiling: see
        # the README.
        "Operating System :: POSIX :: Linux",
        "Operating System :: Microsoft :: Windows",
    ],
    python_requires=">=3.6",
    packages=["vorlundpython"],
    # The native sources are compiled into the extension; of them only the
    # declarations header is meant for consumers.
    package_data={"vorlundpython": ["Concordix.h", "Concordix.pyi", "py.typed"]},
    include_package_data=False,
    ext_modules=[Extension("vorlundpython.Concordix", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # One build tree per interpreter ABI: interpreters that share a version
    # (a debug or free-threaded build beside the release one) would otherwise
    # pack each other's module into their wheels.
    options={"build": {"build_base": PLAN.build_base}},
    zip_safe=False,
    extras_require={
        # what the README's demonstration needs besides the package
        "demo": CONSUMER_BUILD,
        # test builds of the module use CMake and Ninja
        # On PyPy: mypy 1.19 imports its librt helper, which it does not
        # install there, and hypothesis' recent PyPy wheels carry a native
        # part that needs a newer PyPy than 7.3.19 (PyModule_FromDefAndSpec2);
        # 6.141 is the last pure-Python release known to work on both.
        # From 3.9 on the type checker must know disjoint bases (PEP 800),
        # which mypy does from 1.18; the last mypys for 3.6 to 3.8 predate
        # them.
        "test": ["pytest", "cmake>=3.17", "ninja",
                 "hypothesis; platform_python_implementation != 'PyPy'",
                 "hypothesis<6.142; platform_python_implementation == 'PyPy'",
                 "mypy; python_version < '3.9'",
                 "mypy>=1.18; python_version >= '3.9' and platform_python_implementation != 'PyPy'",
                 "mypy>=1.18,<1.19; python_version >= '3.9' and "
                 "platform_python_implementation == 'PyPy'"] + CONSUMER_BUILD,
    },
)
