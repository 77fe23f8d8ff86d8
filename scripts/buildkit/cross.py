"""Wheels of other Linux architectures, compiled on the host: Debian's cross
compiler against a target root that holds the interpreter's headers and the
C library, driven by a host interpreter of the same version that reads the
target interpreter's build settings."""

import shlex
import shutil

from .platforms import ARCHITECTURES, suite_and_arch
from .procs import base_env, ensure_host_command, remove_tree, run_logged, tail


def cmake_toolchain(machine, root, compiler, include_dir):
    """A CMake toolchain file's text: compile with `compiler` for `machine`
    against the root's headers and libraries (root None: a compiler that
    brings its own C library), run only the host's tools."""
    sysroot = f"""\
set(CMAKE_SYSROOT {root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
""" if root is not None else ""
    return f"""\
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR {machine})
set(CMAKE_CXX_COMPILER {compiler})
{sysroot}set(Python_INCLUDE_DIR {include_dir})
"""


def build_wheel_for_target(name, machine, work, settings, toolchain, sdist, host_python,
                           suffix_command, outdir, log, env, host_platform=None):
    """The wheel of interpreter `name` built in `work` from the sdist, on the
    host: `host_python` (the target's version) runs setup.py with the
    target's build settings (`settings`, its _sysconfigdata: extension
    suffix, platform) and CMake compiles with the `toolchain` file's text.
    `suffix_command` prints the target's EXT_SUFFIX. Returns (wheel,
    EXT_SUFFIX); the wheel, for `machine` as platform tags name it, lands in
    `work`/`outdir`. `host_platform` is the target's sysconfig platform
    (default linux-`machine`)."""
    remove_tree(work)
    (work / outdir).mkdir(parents=True)
    (work / "sysconfig").mkdir()
    shutil.copy(str(settings), str(work / "sysconfig"))
    (work / "toolchain.cmake").write_text(toolchain)
    shutil.copy(str(sdist), str(work))
    target = (f"_PYTHON_HOST_PLATFORM={host_platform or 'linux-' + machine} "
              f"_PYTHON_SYSCONFIGDATA_NAME={settings.stem} PYTHONPATH={work}/sysconfig")
    script = f"""
set -eux
cd {work}
{shlex.quote(str(host_python))} -m venv venv-build
venv-build/bin/python -m pip install -q "setuptools>=40.8" wheel "cmake>=3.17" ninja
{suffix_command} > ext-suffix
{target} CONCORDIX_CMAKE_DEFINE="CONCORDIX_WERROR=ON;CMAKE_TOOLCHAIN_FILE={work}/toolchain.cmake" \\
    PIP_DISABLE_PIP_VERSION_CHECK=1 \\
    venv-build/bin/pip wheel --no-build-isolation --no-deps -w {outdir} {shlex.quote(sdist.name)}
"""
    if run_logged(["/bin/bash", "-c", script], log, timeout=3600, env=env) != 0:
        raise SystemExit(f"release: building the {name} wheel failed, see {log}\n"
                         + "".join(tail(log)))
    (wheel,) = (work / outdir).glob("*.whl")
    return wheel, (work / "ext-suffix").read_text().strip()


def cross_build_wheel(name, root, root_name, version, host_python, sdist, work, log):
    """Builds the wheel of interpreter `name`, python`version` of the emulated
    root `root_name` (at `root`), from the sdist in `work`/raw; returns (wheel, EXT_SUFFIX).
    `host_python` (the same version, on the host) runs setup.py with the
    target's build settings (its _sysconfigdata: extension suffix, platform)."""
    machine, triplet, _ = ARCHITECTURES[suite_and_arch(root_name)[1]]
    compiler = f"{triplet}-g++"
    ensure_host_command(compiler, f"g++-{triplet}")
    (settings,) = (root / "usr" / "lib" / f"python{version}").glob(
        f"_sysconfigdata__linux_{triplet}.py")
    suffix = (f"chroot {root} python{version} -c "
              "'import sysconfig; print(sysconfig.get_config_var(\"EXT_SUFFIX\"))'")
    return build_wheel_for_target(
        name, machine, work, settings,
        cmake_toolchain(machine, root, compiler, f"{root}/usr/include/python{version}"),
        sdist, host_python, suffix, "raw", log, base_env())
