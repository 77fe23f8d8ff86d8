"""CPython against musl libc, built from source in a Debian root, and the
package's wheel for it compiled on the host with zig."""

import hashlib
import json
import shlex
import subprocess
import time

from .cross import build_wheel_for_target, cmake_toolchain
from .platforms import MUSL_BUILD_PACKAGES, MUSL_BUILDS
from .procs import apt_locks, base_env, remove_tree, run_logged
from .roots import chroot_command
from .source_builds import SOURCE_BASE
from .zig import zig_command, zig_environment

# What auditwheel looks for to tell a musl wheel: Alpine's name for musl's
# C library. A link against Debian's musl (or zig's) records libc.so, which
# auditwheel cannot place.
MUSL_LIBC_SONAME = {"x86_64": "libc.musl-x86_64.so.1",
                    "aarch64": "libc.musl-aarch64.so.1"}
# The other sources built against musl, besides CPython: zlib (pip needs
# it) and libffi (ctypes).
DEPENDENCY_SOURCES = ("zlib", "libffi")


def musl_prefix(name):
    return f"/opt/cpython-{name}"


def musl_interpreter(name):
    return f"{musl_prefix(name)}/bin/python3"


def musl_stamp(name):
    return hashlib.sha256(json.dumps(
        ["musl", *MUSL_BUILDS[name], *DEPENDENCY_SOURCES, *MUSL_BUILD_PACKAGES]).encode()
    ).hexdigest()


def fetch_script(suite, package, mirror):
    """Into the root: the upstream sources and Debian's musl. Installed
    here rather than listed among the root's packages, so that the root's
    recipe (and its stamp, shared with every run of the suite) stays as it is."""
    downloads = f"{SOURCE_BASE}/downloads"
    sources = " ".join((package,) + DEPENDENCY_SOURCES)
    packages = " ".join(MUSL_BUILD_PACKAGES)
    return f"""
set -eux
mkdir -p {downloads} && cd {downloads}
missing=
for source in {sources}; do
  ls "$source"_*.orig.tar.* >/dev/null 2>&1 || missing="$missing $source"
done
installed() {{ dpkg -s {packages} >/dev/null 2>&1; }}
installed && [ -z "$missing" ] && exit 0
echo "deb-src {mirror} {suite} main" > /etc/apt/sources.list.d/vorlund-src.list
apt-get -o Acquire::Check-Valid-Until=false update -q
# Only the upstream tarballs are used, and apt checks each file it fetches
# against the index: a mirror that lacks a package's Debian parts (seen for
# zlib) need not stop the build, the check below says whether it must.
[ -z "$missing" ] || apt-get source --download-only -q $missing || true
for source in {sources}; do ls "$source"_*.orig.tar.*; done
installed || DEBIAN_FRONTEND=noninteractive \\
  apt-get install -y -q --no-install-recommends {packages}
"""


def build_script(name):
    suite, package, machine = MUSL_BUILDS[name]
    prefix, src = musl_prefix(name), f"{SOURCE_BASE}/{name}"
    downloads = f"{SOURCE_BASE}/downloads"
    return f"""
set -eux
rm -rf {src} {prefix} && mkdir -p {src}/bin {src}/kernel && cd {src}
# musl-dev ships no kernel headers (libffi and CPython include some): the
# host's, after musl's own.
ln -s /usr/include/linux /usr/include/asm-generic /usr/include/{machine}-linux-gnu/asm kernel/
# CPython's configure and its setup ask the compiler for its multiarch
# triplet, and gcc (under musl-gcc) answers with the glibc one.
cat > bin/musl-cc <<'EOF'
#!/bin/sh
for arg do
  case $arg in -print-multiarch|--print-multiarch) echo {machine}-linux-musl; exit 0;; esac
done
exec musl-gcc "$@" -idirafter {src}/kernel
EOF
chmod +x bin/musl-cc
export CC={src}/bin/musl-cc PKG_CONFIG_LIBDIR={prefix}/lib/pkgconfig PKG_CONFIG_PATH= \\
  CPPFLAGS=-I{prefix}/include LDFLAGS="-L{prefix}/lib -Wl,-rpath,{prefix}/lib"
tar -xf {downloads}/zlib_*.orig.tar.*
(cd zlib-*/ && ./configure --prefix={prefix} && make -j"$(nproc)" && make install) \\
  > zlib.log 2>&1 || {{ tail -50 zlib.log; exit 1; }}
tar -xf {downloads}/libffi_*.orig.tar.*
# out of its tree: configured in place, libffi's wrapper Makefile looks for
# the build of the host's glibc triplet
(cd libffi-*/ && ./autogen.sh && mkdir build && cd build \\
  && ../configure --prefix={prefix} --disable-docs --disable-multi-os-directory \\
  && make -j"$(nproc)" && make install) > libffi.log 2>&1 || {{ tail -50 libffi.log; exit 1; }}
tar -xf {downloads}/{package}_*.orig.tar.xz
cd Python-*/
./configure --prefix={prefix} --with-ensurepip=no > configure.log 2>&1 \\
  || {{ tail -50 configure.log; tail -50 config.log; exit 1; }}
make -j"$(nproc)" > make.log 2>&1 || {{ tail -50 make.log; exit 1; }}
make install > install.log 2>&1 || {{ tail -50 install.log; exit 1; }}
# musl's loader, not glibc's, and what pip and the suite need of the library
{prefix}/bin/python3 -c "import zlib, ctypes, _testcapi, venv, ensurepip, sysconfig; \\
assert sysconfig.get_config_var('MULTIARCH') == '{machine}-linux-musl'"
readelf -l {prefix}/bin/python3 | grep -q 'ld-musl-{machine}.so.1'
echo {musl_stamp(name)} > {prefix}/.vorlund-built
"""


def ensure_musl_build(cache, name, mirror, logdir):
    """Return (ok, note): builds MUSL_BUILDS[name] in its suite's root unless
    a build with the same recipe is already there."""
    suite, package, _ = MUSL_BUILDS[name]
    root = cache / suite
    prefix = root / musl_prefix(name).lstrip("/")
    log_path = logdir / f"build-{name}.log"
    try:
        if ((prefix / ".vorlund-built").read_text().strip() == musl_stamp(name)
                and (prefix / "bin" / "python3").exists()):
            return True, "cached"
    except OSError:
        pass
    t0 = time.monotonic()
    with apt_locks[suite]:     # one apt at a time in a root
        rc = run_logged(chroot_command(root, cache, fetch_script(suite, package, mirror)),
                        log_path, timeout=1800, env=base_env())
    if rc == 0:
        rc = run_logged(chroot_command(root, cache, build_script(name)), log_path,
                        timeout=3600, env=base_env())
    if rc != 0:
        return False, f"build failed, see {log_path}"
    return True, f"built in {time.monotonic() - t0:.0f} s"


def zig_wrapper(path, zig, target):
    """A compiler command for CMake: zig's C++ compiler for `target`. zig's
    linker driver takes the version script's file only as an argument of its
    own (-Wl,--version-script,FILE), not joined with "=" as CMake's LINKER:
    prefix passes it (-Wl,... or, for a compiler it takes for clang,
    -Xlinker ...). zig compiles with debug information unless told not to:
    -g0 leaves it out, as gcc does for the other wheels."""
    path.write_text(f"""\
#!/bin/sh
for arg do
  shift
  case $arg in
    -Wl,--version-script=*) set -- "$@" "-Wl,--version-script,${{arg#-Wl,--version-script=}}" ;;
    --version-script=*) set -- "$@" --version-script -Xlinker "${{arg#--version-script=}}" ;;
    *) set -- "$@" "$arg" ;;
  esac
done
exec {" ".join(shlex.quote(a) for a in zig)} c++ -target {target} -g0 "$@"
""")
    path.chmod(0o755)


def warm_zig(cache, name, log):
    """Has zig build, once, what its first link for the musl build's target
    builds (its C++ runtime and startup files, minutes): a module of the
    same kind, compiled the way CMake compiles the package's, so that a run
    that prepares the interpreters also prepares that."""
    machine = MUSL_BUILDS[name][2]
    work = cache / "zig" / f"warm-{machine}"
    remove_tree(work)
    work.mkdir(parents=True)
    (work / "module.cpp").write_text('extern "C" int PyInit_module() { return 0; }\n')
    compiler = work / "zig-c++"
    zig_wrapper(compiler, zig_command(cache), f"{machine}-linux-musl")
    command = [str(compiler), "-fPIC", "-O3", "-DNDEBUG", "-fno-exceptions", "-fno-rtti",
               "-shared", str(work / "module.cpp"), "-o", str(work / "module.so")]
    return run_logged(command, log, timeout=1800,
                      env={**base_env(), **zig_environment(cache)}) == 0


def musl_build_wheel(name, cache, host_python, sdist, work, log, patchelf):
    """Builds the wheel of the musl interpreter `name` from the sdist on the
    host: `host_python` (the same version) runs setup.py with the musl
    build's settings, zig compiles and links against musl, and the C
    library's entry is renamed to the soname auditwheel knows.
    Returns (wheel, EXT_SUFFIX)."""
    suite, package, machine = MUSL_BUILDS[name]
    root = cache / suite
    prefix = root / musl_prefix(name).lstrip("/")
    version = package[len("python"):]
    compiler = work.parent / f"{name}-zig-c++"
    zig_wrapper(compiler, zig_command(cache), f"{machine}-linux-musl")
    (settings,) = (prefix / "lib" / f"python{version}").glob(
        f"_sysconfigdata_*_linux_{machine}-linux-musl.py")
    suffix = (f"chroot {root} {musl_interpreter(name)} -c "
              "'import sysconfig; print(sysconfig.get_config_var(\"EXT_SUFFIX\"))'")
    wheel, ext_suffix = build_wheel_for_target(
        name, machine, work, settings,
        cmake_toolchain(machine, None, compiler, f"{prefix}/include/python{version}"),
        sdist, host_python, suffix, "unpatched", log, {**base_env(), **zig_environment(cache)})
    (work / "raw").mkdir()
    return rename_libc(wheel, work / "raw", MUSL_LIBC_SONAME[machine], patchelf, log), ext_suffix
    return rename_libc(wheel, work / "raw", MUSL_LIBC_SONAME[machine], patchelf, log), \
        (work / "ext-suffix").read_text().strip()


def rename_libc(wheel, outdir, soname, patchelf, log):
    """The wheel again, in `outdir`, with its extension module's entry for
    the C library (libc.so) naming `soname` instead."""
    unpacked = outdir.parent / "unpacked"
    remove_tree(unpacked)
    python = str(patchelf.parent / "python")
    subprocess.run([python, "-m", "wheel", "unpack", "-d", str(unpacked), str(wheel)],
                   check=True, stdout=subprocess.DEVNULL)
    (tree,) = unpacked.iterdir()
    (module,) = tree.glob("vorlundpython/Concordix*.so")
    with open(log, "a") as out:
        subprocess.run([str(patchelf), "--replace-needed", "libc.so", soname, str(module)],
                       check=True, stdout=out, stderr=subprocess.STDOUT)
        needed = subprocess.run([str(patchelf), "--print-needed", str(module)], check=True,
                                stdout=subprocess.PIPE, universal_newlines=True).stdout.split()
        out.write(f"DT_NEEDED after renaming: {' '.join(needed)}\n")
    if soname not in needed or "libc.so" in needed:
        raise SystemExit(f"release: {module.name} needs {', '.join(needed)}, not {soname}")
    # `wheel pack` rewrites RECORD with the patched module's hash
    subprocess.run([python, "-m", "wheel", "pack", "-d", str(outdir), str(tree)],
                   check=True, stdout=subprocess.DEVNULL)
    (packed,) = outdir.glob("*.whl")
    return packed
