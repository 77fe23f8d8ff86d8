"""Prepare everything the benchmark needs, then run it: one command from a clone.

    bash benchmarks/run [--quick] [--out DIR] [other options of bench.py]

Steps, each printed as it starts:

1. a virtual environment in ``<repo>/.venv-bench/<impl>-<X.Y>/`` (made once,
   then reused), with pybind11, nanobind, matplotlib, cmake and ninja;
2. ``pip install .`` of the repository, on every run, so the figures are those
   of the working tree (a failed install removes the old one, so no stale
   build is ever measured);
3. a CMake build of ``benchmarks/native`` into the environment (incremental):
   the PyMemberDef reference type, the pybind11 and nanobind classes, the fill
   loops, and the table loop once the package is importable;
4. ``bench.py`` with the environment's interpreter.

Options handled here (all others go to bench.py, see ``bench.py --help``):
``--python`` interpreter to build the environment from (default: this one),
``--no-install`` skips step 2, ``--require-module`` fails when
``vorlundpython.Concordix`` cannot be installed or imported (for CI),
``--test`` runs the harness's own tests (benchmarks/test_harness.py, which
include a ``--quick`` run) instead of the benchmark, and
``--callgrind`` runs valgrind's callgrind over one row (``--row``, default
write_small) for the contenders in ``--contender`` (comma-separated, default
``concordix,member``) and prints instructions per operation, empty loop
subtracted.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEPS = ["pybind11", "nanobind", "matplotlib", "cmake", "ninja", "pytest"]
PROBE = r"""
import json, os
try:
    import vorlundpython
    import vorlundpython.Concordix
    inc = vorlundpython.get_include()
    print(json.dumps({"ok": True, "include": inc,
                      "header": os.path.isfile(os.path.join(inc, "Concordix.h"))}))
except Exception as exc:
    print(json.dumps({"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}))
"""
T0 = time.time()


def step(text):
    print("[bench %5.1fs] %s" % (time.time() - T0, text), flush=True)


def run(cmd, log=None, **kw):
    """Run cmd; with a log file, keep its output there and show the tail on failure."""
    if log is None:
        return subprocess.run(cmd, **kw).returncode
    with open(log, "w") as fh:
        rc = subprocess.run(cmd, stdout=fh, stderr=subprocess.STDOUT,
                            **kw).returncode
    if rc != 0:
        with open(log) as fh:
            tail = fh.readlines()[-40:]
        sys.stdout.write("".join("    | " + line for line in tail))
        print("    (full log: %s)" % log)
    return rc


def venv_tag(python):
    out = subprocess.check_output([python, "-c", (
        "import platform, sys; print('%s-%d.%d' % ("
        "platform.python_implementation().lower(), *sys.version_info[:2]))")])
    return out.decode().strip()


def ensure_venv(python, venv):
    vpy = os.path.join(venv, "bin", "python")
    logs = os.path.join(venv, "logs")
    if not os.path.exists(vpy):
        step("creating virtual environment %s" % venv)
        if run([python, "-m", "venv", venv]) != 0:
            raise SystemExit("could not create %s" % venv)
        os.makedirs(logs, exist_ok=True)
        run([vpy, "-m", "pip", "install", "-q", "--upgrade", "pip"],
            log=os.path.join(logs, "pip-upgrade.log"))
    os.makedirs(logs, exist_ok=True)
    marker = os.path.join(venv, ".bench-deps")
    wanted = "\n".join(DEPS)
    have = open(marker).read() if os.path.exists(marker) else None
    if have != wanted:
        step("installing %s" % ", ".join(DEPS))
        log = os.path.join(logs, "pip-deps.log")
        if run([vpy, "-m", "pip", "install", "-q"] + DEPS, log=log) != 0:
            # Keep whatever installs: a contender that cannot be had on this
            # interpreter is reported missing instead of sinking the run.
            for dep in DEPS:
                run([vpy, "-m", "pip", "install", "-q", dep], log=log)
        else:
            with open(marker, "w") as fh:
                fh.write(wanted)
    return vpy


def install_package(vpy, venv):
    step("pip install . (the repository's working tree)")
    log = os.path.join(venv, "logs", "pip-install-package.log")
    rc = run([vpy, "-m", "pip", "install", "--no-deps", REPO], log=log,
             cwd=REPO)
    if rc != 0:
        run([vpy, "-m", "pip", "uninstall", "-y", "-q", "vorlundpython"],
            log=os.path.join(venv, "logs", "pip-uninstall.log"))
    return rc == 0


def probe_module(vpy):
    out = subprocess.run([vpy, "-c", PROBE], stdout=subprocess.PIPE,
                         cwd=HERE).stdout.decode()
    try:
        return json.loads(out.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"ok": False, "error": "probe printed %r" % out}


def tool(venv, name):
    path = os.path.join(venv, "bin", name)
    return path if os.path.exists(path) else shutil.which(name)


def cmake_dir(vpy, module, flag):
    r = subprocess.run([vpy, "-m", module, flag], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL)
    return r.stdout.decode().strip() if r.returncode == 0 else None


def build_native(vpy, venv, module):
    build = os.path.join(venv, "native-build")
    cmake = tool(venv, "cmake")
    ninja = tool(venv, "ninja")
    if cmake is None:
        raise SystemExit("cmake not found")
    args = [cmake, "-S", os.path.join(HERE, "native"), "-B", build,
            "-DCMAKE_BUILD_TYPE=Release", "-DPython_EXECUTABLE=" + vpy]
    if ninja is not None and not os.path.exists(
            os.path.join(build, "CMakeCache.txt")):
        args += ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja]
    for name, module_name, flag in (("pybind11", "pybind11", "--cmakedir"),
                                    ("nanobind", "nanobind", "--cmake_dir")):
        where = cmake_dir(vpy, module_name, flag)
        if where:
            args += ["-D%s_DIR=%s" % (name, where),
                     "-DBENCH_%s=ON" % name.upper()]
        else:
            print("    %s not installed: its contender is left out" % name)
            args += ["-DBENCH_%s=OFF" % name.upper()]
    with_table = bool(module.get("ok") and module.get("header"))
    args += ["-DBENCH_CONCORDIX=" + ("ON" if with_table else "OFF")]
    if with_table:
        args += ["-DCONCORDIX_INCLUDE_DIR=" + module["include"]]
    lib = os.path.join(build, "lib")
    if not with_table:
        # A table loop left over from an earlier build would call into a
        # module (or a header) that is no longer there.
        for stale in glob.glob(os.path.join(lib, "_bench_concordix_fill*")):
            os.remove(stale)
    step("building native contenders (CMake, %s)" % build)
    logs = os.path.join(venv, "logs")
    if run(args, log=os.path.join(logs, "cmake-configure.log")) != 0:
        raise SystemExit("CMake configure failed")
    jobs = ["-j", str(os.cpu_count() or 2)]
    if run([cmake, "--build", build] + jobs,
           log=os.path.join(logs, "cmake-build.log")) != 0:
        # A binding library that does not build on this interpreter (the
        # newest pybind11 on PyPy 3.9, say) leaves only its own contender out.
        left_out = []
        for name in ("pybind11", "nanobind"):
            if "-DBENCH_%s=ON" % name.upper() not in args:
                continue
            log = os.path.join(logs, "cmake-build-%s.log" % name)
            if run([cmake, "--build", build, "--target", "_bench_" + name] + jobs,
                   log=log) != 0:
                print("    %s does not build on this interpreter: its contender is "
                      "left out (%s)" % (name, log))
                args[args.index("-DBENCH_%s=ON" % name.upper())] = \
                    "-DBENCH_%s=OFF" % name.upper()
                left_out.append(name)
        if not left_out or run(args, log=os.path.join(logs, "cmake-configure.log")) != 0 \
                or run([cmake, "--build", build] + jobs,
                       log=os.path.join(logs, "cmake-build.log")) != 0:
            raise SystemExit("native build failed")
    return lib


def callgrind_totals(path):
    total = None
    with open(path) as fh:
        for line in fh:
            if line.startswith(("totals:", "summary:")):
                total = int(line.split()[1])
    if total is None:
        raise SystemExit("no totals in %s" % path)
    return total


def run_callgrind(vpy, venv, lib, row, contenders, loops, extra):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        raise SystemExit("valgrind not found (apt-get install valgrind)")
    outdir = os.path.join(venv, "callgrind")
    os.makedirs(outdir, exist_ok=True)
    fill = row.startswith("fill_")
    if fill and loops is None:
        loops = 200
    loops = loops or 200000
    per_op = {}
    for who in ["empty"] + contenders:
        out = os.path.join(outdir, "%s.%s.out" % (row, who))
        args = [valgrind, "--tool=callgrind", "--collect-atstart=no",
                "--callgrind-out-file=" + out, vpy,
                os.path.join(HERE, "bench.py"), "--native-dir", lib,
                "--callgrind-loop", str(loops)] + extra
        args += ["--row", "empty"] if who == "empty" else \
            ["--row", row, "--contender", who]
        step("callgrind: %s / %s x %d" % (row, who, loops))
        if run(args, log=out + ".log") != 0:
            raise SystemExit("callgrind run failed")
        per_op[who] = callgrind_totals(out) / loops
    fill_n = 1000
    if "--fill-n" in extra:
        fill_n = int(extra[extra.index("--fill-n") + 1])
    print("instructions per %s (empty loop subtracted; profiles in %s):" % (
        "instance" if fill else "operation", outdir))
    for who in contenders:
        net = per_op[who] - per_op["empty"]
        print("  %-10s %10.1f" % (who, net / fill_n if fill else net))
    print("  (empty loop: %.1f per iteration)" % per_op["empty"])
    print("read with: callgrind_annotate %s" % os.path.join(
        outdir, "%s.%s.out" % (row, contenders[0])))


def main():
    ap = argparse.ArgumentParser(
        description="Set up and run the benchmark (extra options go to "
                    "bench.py).", add_help=False)
    ap.add_argument("--python", default=sys.executable)
    ap.add_argument("--venv", default=None,
                    help="default: <repo>/.venv-bench/<impl>-<X.Y>")
    ap.add_argument("--no-install", action="store_true")
    ap.add_argument("--require-module", action="store_true")
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--test", action="store_true")
    ap.add_argument("--row", default=None)
    ap.add_argument("--contender", default=None)
    ap.add_argument("--callgrind-loop", type=int, default=None)
    ap.add_argument("-h", "--help", action="store_true")
    opts, rest = ap.parse_known_args()
    if opts.help:
        print(__doc__)
        return 0

    venv = opts.venv or os.path.join(REPO, ".venv-bench",
                                     venv_tag(opts.python))
    vpy = ensure_venv(opts.python, os.path.abspath(venv))
    venv = os.path.dirname(os.path.dirname(vpy))
    if not opts.no_install and not install_package(vpy, venv):
        print("    pip install . failed: the Concordix rows are left out")
    module = probe_module(vpy)
    if not module["ok"]:
        print("    vorlundpython.Concordix not importable: %s" % module["error"])
        if opts.require_module:
            raise SystemExit("--require-module: stopping")
    elif not module["header"]:
        print("    %s/Concordix.h not installed: no table fill row"
              % module["include"])
    lib = build_native(vpy, venv, module)

    if opts.callgrind:
        contenders = (opts.contender or "concordix,member").split(",")
        run_callgrind(vpy, venv, lib, opts.row or "write_small", contenders,
                      opts.callgrind_loop, rest)
        return 0
    if opts.test:
        step("pytest benchmarks/test_harness.py")
        env = dict(os.environ, BENCH_NATIVE_DIR=lib)
        return subprocess.run([vpy, "-m", "pytest", "-p", "no:cacheprovider",
                               os.path.join(HERE, "test_harness.py")] + rest,
                              cwd=HERE, env=env).returncode
    bench = [vpy, os.path.join(HERE, "bench.py"), "--native-dir", lib] + rest
    for name in ("row", "contender", "callgrind_loop"):
        value = getattr(opts, name)
        if value is not None:
            bench += ["--" + name.replace("_", "-"), str(value)]
    step("running %s" % " ".join(bench[1:]))
    sys.stdout.flush()
    return subprocess.run(bench, cwd=REPO).returncode


if __name__ == "__main__":
    sys.exit(main())
