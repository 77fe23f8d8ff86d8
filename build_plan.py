"""What setup.py needs to know about the platform it builds on, as plain data.

setup.py runs CMake; what differs between Linux, macOS and Windows is decided
here, from the interpreter's build settings (sysconfig), the OS name and the
tools found, by functions that run nothing. The tests call them with other
platforms' settings, so a Windows or macOS user's path is exercised on any
machine. setup.py loads this file by its path: setuptools' build backend runs
setup.py as __main__, from a directory that need not be on sys.path.
"""
import os
from collections import namedtuple

BuildPlan = namedtuple("BuildPlan", [
    "build_base",   # setuptools' build directory, one per interpreter ABI
    "module_glob",  # the module CMake builds, as a pattern in its output dir
    "cmake",        # file name of CMake's executable
    "ninja",        # file name of Ninja's executable
    "vcvars",       # the MSVC environment to set up (vcvarsall's argument), or None
])

# The MSVC environment for each Windows platform, as setuptools' own compiler
# step asks vcvarsall for it (an x86-hosted toolset exists in every Visual
# Studio installation, whatever the build machine's architecture).
VCVARS = {"win32": "x86", "win-amd64": "x86_amd64", "win-arm32": "x86_arm",
          "win-arm64": "x86_arm64"}


def abi_name(config, platform, cache_tag):
    """A directory name that differs between interpreters whose modules
    differ: SOABI where the interpreter has one (Windows CPython before 3.13
    has none), else what the extension suffix carries besides the file type
    ('_d.cp311-win_amd64.pyd': 'd.cp311-win_amd64'), else the platform and
    the interpreter's cache tag."""
    if config.get("SOABI"):
        return config["SOABI"]
    suffix = config.get("EXT_SUFFIX") or ""
    stem = os.path.splitext(suffix)[0].lstrip("._")
    if stem:
        return stem
    return "{}-{}".format(platform, cache_tag)


def build_plan(config, os_name, platform, cache_tag, cl_on_path):
    """The plan for one build. `config` maps sysconfig's names (SOABI,
    EXT_SUFFIX) to their values, `os_name` is os.name, `platform` is
    sysconfig.get_platform(), `cache_tag` is sys.implementation.cache_tag and
    `cl_on_path` whether MSVC's compiler is already on PATH (a developer
    prompt has set its environment up)."""
    windows = os_name == "nt"
    # Windows' interpreters load .pyd files, the others .so (macOS included).
    suffix = os.path.splitext(config.get("EXT_SUFFIX") or "")[1] or (
        ".pyd" if windows else ".so")
    exe = ".exe" if windows else ""
    # python.org's Windows interpreters are built with MSVC, and pip builds
    # their modules with it; a MinGW interpreter reports a mingw_* platform.
    vcvars = VCVARS.get(platform) if windows and not cl_on_path else None
    return BuildPlan(build_base="build/" + abi_name(config, platform, cache_tag),
                     module_glob="Concordix*" + suffix,
                     cmake="cmake" + exe, ninja="ninja" + exe, vcvars=vcvars)


def msvc_environment(vcvars):
    """The environment that vcvarsall sets up for `vcvars`, found the way
    setuptools' own compiler step finds it. Its helper has moved between
    setuptools releases (and lived in the standard library's distutils
    before), so each known home is tried in turn."""
    homes = ["setuptools._distutils.compilers.C.msvc",
             "setuptools._distutils._msvccompiler",
             "distutils._msvccompiler"]
    for home in homes:
        try:
            module = __import__(home, fromlist=["_get_vc_env"])
            get_vc_env = module._get_vc_env
        except (ImportError, AttributeError):
            continue
        found = get_vc_env(vcvars)
        # its keys come lower-cased; the values are what vcvarsall set
        return {key.upper(): value for key, value in found.items()}
    raise RuntimeError("no MSVC environment helper in this setuptools: build from a "
                       "Developer Command Prompt for Visual Studio")
