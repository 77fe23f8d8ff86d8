"""The test suite run under one interpreter: the copy of the checkout it
runs in, the script that installs and tests, and what its junit report and
log say."""

import ast
import collections
import os
import shlex
import shutil
import subprocess
import time
import xml.etree.ElementTree as ET
from pathlib import Path

from .platforms import SOURCE_BUILDS, SUITES
from .procs import base_env, remove_tree, run_logged, tail
from .roots import chroot_command
from .source_builds import SOURCE_BASE, source_prefix

# Hammer rounds (1.5 s each) under ThreadSanitizer.
TSAN_HAMMER_ROUNDS = 10
INNER_BASE = "/srv/vorlund-ci"      # where checkouts live inside a root
EXIT_TEXT = {
    1: "tests failed", 2: "pytest interrupted", 3: "pytest internal error",
    4: "pytest usage error", 5: "no tests collected",
    90: "venv creation failed", 91: "interpreter not found",
    92: "pip install failed", 93: "interpreter build failed",
    124: "timed out",
}


def checkout_files(repo):
    out = subprocess.run(
        ["git", "-C", str(repo), "ls-files", "-z", "--cached", "--others",
         "--exclude-standard"], check=True, capture_output=True).stdout
    for rel in sorted(set(out.decode().split("\0"))):
        if not rel:
            continue
        top = rel.split("/", 1)[0]
        # Belt and braces: a local venv or build tree must never leak into
        # the root even if .gitignore stops covering it.
        if top.startswith(".venv") or top in ("build", "dist", ".git"):
            continue
        src = repo / rel
        if src.is_symlink() or src.is_file():     # skips deleted files
            yield rel, src


def copy_checkout(repo, dest):
    remove_tree(dest)
    dest.mkdir(parents=True)
    for rel, src in checkout_files(repo):
        target = dest / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        if src.is_symlink():
            os.symlink(os.readlink(src), target)
        else:
            shutil.copy2(src, target)


def conftest_registers_plugin(repo):
    try:
        return "refleak_hunt" in (repo / "tests" / "conftest.py").read_text()
    except OSError:
        return False


# One interpreter build to test: `suite` is a Debian suite (run in its root)
# or "pyenv" (run on the host); `python` is the interpreter's command there.
Target = collections.namedtuple("Target", "suite version flavour python")


def source_target(name):
    suite = SOURCE_BUILDS[name][0]
    flavour = "tsan" if name.endswith("-tsan") else "freethreaded"
    return Target(suite, name, flavour, f"{source_prefix(name)}/bin/python3")


def debian_target(suite, ver, flavour):
    return Target(suite, ver, flavour,
                  f"python{ver}" + ("d" if flavour == "debug" else ""))


def pyenv_root():
    if os.environ.get("PYENV_ROOT"):
        return Path(os.environ["PYENV_ROOT"])
    try:
        out = subprocess.run(["pyenv", "root"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout
    except OSError:
        out = ""
    return Path(out.strip() or Path.home() / ".pyenv")


def pyenv_target(ver):
    major_minor = ".".join(ver.split(".")[:2])
    python = pyenv_root() / "versions" / ver / "bin" / f"python{major_minor}"
    return Target("pyenv", ver, "release", str(python))


def inner_script(target, work, plugin_via_p):
    py, flavour = shlex.quote(target.python), target.flavour
    # -ra, not -rs: a later -r replaces the one in the project's addopts,
    # and "a" still includes the skip reasons.
    pytest_args = ["-ra", f"--junitxml={work}/junit.xml"]
    env_prefix = ""
    if flavour == "debug":
        if plugin_via_p:
            pytest_args += ["-p", "refleak_hunt"]
            env_prefix = "PYTHONPATH=tests "
        pytest_args.append("--refleaks")
    lines = [
        "set -u",
        f"cd {work}/src",
        f"{py} -c 'import sys; print(sys.version)'",
        f"{py} -c 'import platform; print(platform.python_version())'"
        f" > {work}/version",
        "set -x",
    ]
    if flavour == "tsan":
        # The module and the consumer built with ThreadSanitizer, and the
        # tests that run threads, the hammer for more rounds. The
        # interpreter's own known reports are suppressed by CPython's list
        # and scripts/tsan.supp; any other report ends the process, and so
        # fails its test. pip runs
        # in the root's own Python (under ThreadSanitizer and Py_DEBUG it
        # takes minutes): the pure-Python tools go straight into the venv,
        # and the module is built by the venv's interpreter (pip --python).
        # -P keeps the checkout off sys.path: the tests import the install.
        lines += [
            f"cat {SOURCE_BASE}/{target.version}/Python-*/Tools/tsan/"
            f"suppressions_free_threading.txt scripts/tsan.supp > {work}/tsan.supp",
            f"{py} -m venv --without-pip .venv || exit 90",
            f"python{SUITES[target.suite][0]} -m venv .venv-pip || exit 90",
            ".venv-pip/bin/python -m pip install -q -r requirements-pip.txt || exit 92",
            "site=$(.venv/bin/python -c "
            "'import sysconfig; print(sysconfig.get_path(\"purelib\"))')",
            '.venv-pip/bin/pip install --only-binary :all: --target "$site" '
            'pytest "setuptools>=70.1" cmake ninja || exit 92',
            # the wheels' own programs, where a venv keeps them
            'ln -s "$site"/cmake/data/bin/cmake "$site"/bin/ninja .venv/bin/',
            # the test builds of the module take the same settings
            "export CONCORDIX_CMAKE_DEFINE='CONCORDIX_WERROR=ON;CONCORDIX_SANITIZE=thread'",
            "TSAN_OPTIONS=report_bugs=0 .venv-pip/bin/pip --python .venv/bin/python "
            "install --no-build-isolation --no-deps . || exit 92",
            f'export TSAN_OPTIONS="halt_on_error=1 exitcode=66 '
            f'suppressions={work}/tsan.supp"',
            f"export VORLUND_HAMMER_ROUNDS={TSAN_HAMMER_ROUNDS}",
            f".venv/bin/python -P -m pytest {' '.join(pytest_args)} "
            "tests/test_free_threading.py tests/test_threads.py",
        ]
    else:
        # The README's test command, with a report for this script. On the
        # free-threaded build the newest hypothesis and mypy's newest helpers
        # come as sources only and need a Rust toolchain to build: the newest
        # releases with wheels do, as the README says.
        binary = " --only-binary :all:" if flavour == "freethreaded" else ""
        lines += [
            f"{py} -m venv .venv || exit 90",
            ".venv/bin/python -m pip install -r requirements-pip.txt || exit 92",
            f'.venv/bin/pip install{binary} ".[test]" || exit 92',
            f"{env_prefix}.venv/bin/pytest {' '.join(pytest_args)}",
        ]
    return "\n".join(lines) + "\n"


def collection_skip_reason(text):
    """The reason of a whole module skipped at collection, which pytest's
    junit report keeps only in the element's text, as the repr of
    (path, line, "Skipped: reason")."""
    try:
        reason = ast.literal_eval((text or "").strip())[2]
    except (ValueError, SyntaxError, TypeError, IndexError):
        return None
    if not isinstance(reason, str):
        return None
    return reason[len("Skipped: "):] if reason.startswith("Skipped: ") else reason


def parse_junit(path):
    """Counts and skip reasons from pytest's junit report (or None)."""
    try:
        tree = ET.parse(path)
    except (OSError, ET.ParseError):
        return None
    counts = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
    skips = {}
    for suite in tree.iter("testsuite"):
        for k in counts:
            counts[k] += int(suite.get(k, 0))
    for case in tree.iter("testcase"):
        sk = case.find("skipped")
        if sk is not None:
            name = f"{case.get('classname')}::{case.get('name')}"
            reason = sk.get("message") or sk.get("type") or "?"
            if reason == "collection skipped":
                reason = collection_skip_reason(sk.text) or reason
            skips.setdefault(reason, []).append(name)
    counts["passed"] = (counts["tests"] - counts["failures"]
                        - counts["errors"] - counts["skipped"])
    return counts, skips


def run_interpreter(repo, cache, target, logdir, timeout):
    suite, ver, flavour = target.suite, target.version, target.flavour
    log_path = logdir / f"{suite}-{ver}-{flavour}.log"
    result = {"suite": suite, "flavour": flavour, "version": ver, "rc": 91,
              "secs": 0.0, "log": log_path, "junit": None}
    if suite == "pyenv":
        work = inner_work = cache / "pyenv" / ver
        if not Path(target.python).is_file():
            log_path.write_text(f"{target.python}: no such interpreter\n")
            return result
    else:
        inner_work = f"{INNER_BASE}/{ver}-{flavour}"
        work = cache / suite / inner_work.lstrip("/")
    t0 = time.monotonic()
    copy_checkout(repo, work / "src")
    for stale in ("junit.xml", "version"):
        (work / stale).unlink(missing_ok=True)
    inner = inner_script(target, inner_work,
                         plugin_via_p=not conftest_registers_plugin(repo))
    env = base_env()
    # Any compiler warning on any suite's gcc must fail the run.
    env["CONCORDIX_CMAKE_DEFINE"] = "CONCORDIX_WERROR=ON"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PIP_PROGRESS_BAR"] = "off"
    command = (["/bin/bash", "-c", inner] if suite == "pyenv" else
               chroot_command(cache / suite, cache, inner))
    rc = run_logged(command, log_path, timeout=timeout, env=env)
    secs = time.monotonic() - t0
    try:
        version = (work / "version").read_text().strip()
    except OSError:
        version = ver
    parsed = parse_junit(work / "junit.xml") if rc in (0, 1) else None
    if rc in (0, 1) and parsed is None:
        rc = rc or 3
    result.update(version=version, rc=rc, secs=secs, junit=parsed)
    return result


def report_line(res):
    c = res["junit"][0] if res["junit"] else None
    counts = (f"passed={c['passed']} failed={c['failures']} "
              f"skipped={c['skipped']} errors={c['errors']}" if c
              else "passed=0 failed=0 skipped=0 errors=0")
    line = (f"{res['version']} {res['flavour']:<7} {counts} "
            f"({res['suite']}, {res['secs']:.0f} s)")
    if res["rc"] != 0:
        line += f"  FAILED: {EXIT_TEXT.get(res['rc'], 'exit %d' % res['rc'])}"
    out = [line]
    if res["junit"]:
        for reason, names in sorted(res["junit"][1].items()):
            shown = ", ".join(names[:3]) + (" ..." if len(names) > 3 else "")
            out.append(f"    skipped x{len(names)}: {reason} [{shown}]")
    # No exclusion from the leak hunt may go unseen: its summary line, and
    # the tests it ran only once grouped by the reason given.
    once = {}
    for text in tail(res["log"], 2000):
        text = text.rstrip()
        if text.startswith("refleak hunt: ran once: "):
            nodeid, _, reason = text[24:].partition(" -- ")
            once.setdefault(reason, []).append(nodeid)
        elif (text.startswith("refleak hunt: ")
              and " tests hunted " in text):
            out.append("    " + text)
    for reason, names in sorted(once.items()):
        shown = ", ".join(names[:2]) + (" ..." if len(names) > 2 else "")
        out.append(f"    hunt ran once x{len(names)}: {reason} [{shown}]")
    if res["rc"] != 0:
        out.append(f"    log: {res['log']}")
        out.extend("    | " + t.rstrip() for t in tail(res["log"]))
    return out
