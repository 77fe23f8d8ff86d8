"""scripts/matrix: what it copies into a root, how it reads and reports results."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from support import load_script

REPO = Path(__file__).resolve().parents[1]

if sys.version_info < (3, 9):
    pytest.skip("scripts/matrix is a host tool that needs Python 3.9 or later",
                allow_module_level=True)
if os.name == "nt":
    pytest.skip("scripts/matrix is a Linux host tool (chroot, bind mounts, Debian roots)",
                allow_module_level=True)

# The machinery that scripts/matrix and scripts/release share, and the
# command itself for its command line.
sys.path.insert(0, str(REPO / "scripts"))
from buildkit import procs, roots, suite_runs  # noqa: E402

matrix = load_script("matrix")


@pytest.mark.no_refleak_hunt(reason="drives git in subprocesses")
@pytest.mark.skipif(shutil.which("git") is None,
                    reason="git is not installed (the matrix roots have none)")
def test_checkout_copy_has_local_work_but_nothing_ignored_or_built(tmp_path):
    repo, dest = tmp_path / "repo", tmp_path / "dest"
    files = {".gitignore": "*.so\n", "kept.py": "", "deleted.py": "",
             "untracked.py": "", "mod.so": "", ".venv-3.9/bin/python": "",
             "build/CMakeCache.txt": "", "pkg/build/data.txt": ""}
    for rel, text in files.items():
        (repo / rel).parent.mkdir(parents=True, exist_ok=True)
        (repo / rel).write_text(text)
    os.symlink("kept.py", repo / "link.py")
    git = ["git", "-C", str(repo), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(git[:3] + ["init", "-q"], check=True)
    subprocess.run(git + ["add", ".gitignore", "kept.py", "deleted.py"],
                   check=True)
    subprocess.run(git + ["commit", "-qm", "x"], check=True)
    (repo / "deleted.py").unlink()

    suite_runs.copy_checkout(repo, dest)

    copied = sorted(str(p.relative_to(dest)) for p in dest.rglob("*")
                    if not p.is_dir())
    # a top-level venv or build tree never goes in, .gitignore or not;
    # a nested directory that merely is called build does
    assert copied == [".gitignore", "kept.py", "link.py",
                      "pkg/build/data.txt", "untracked.py"]
    assert os.readlink(dest / "link.py") == "kept.py"


JUNIT = """<?xml version="1.0" encoding="utf-8"?><testsuites>
<testsuite name="pytest" errors="1" failures="2" skipped="4" tests="11">
<testcase classname="tests.test_a" name="test_1">
  <skipped type="pytest.skip" message="needs a debug build">x</skipped></testcase>
<testcase classname="tests.test_a" name="test_2">
  <skipped type="pytest.skip" message="needs a debug build"/></testcase>
<testcase classname="tests.test_b" name="test_3">
  <skipped type="pytest.xfail" message=""/></testcase>
<testcase classname="" name="tests.test_d" time="0.000">
  <skipped message="collection skipped">('/src/tests/test_d.py', 16, 'Skipped: needs 3.9')</skipped></testcase>
</testsuite></testsuites>
"""

LOG = """collected 10 items
refleak hunt: 7 tests hunted (3+5 runs), 1 leaked, 2 ran once by marker
refleak hunt: ran once: tests/test_c.py::test_x -- drives a subprocess
refleak hunt: ran once: tests/test_c.py::test_y -- drives a subprocess
refleak hunt: LEAKED: tests/test_c.py::test_z
=== 2 failed, 4 passed, 3 skipped, 1 error in 9.00s ===
"""


@pytest.mark.parametrize("rc, with_junit, headline", [
    (1, True, "3.11.2 debug   passed=4 failed=2 skipped=4 errors=1 "
              "(bookworm, 95 s)  FAILED: tests failed"),
    (0, True, "3.11.2 debug   passed=4 failed=2 skipped=4 errors=1 "
              "(bookworm, 95 s)"),
    (92, False, "3.11.2 debug   passed=0 failed=0 skipped=0 errors=0 "
                "(bookworm, 95 s)  FAILED: pip install failed"),
    (124, False, "3.11.2 debug   passed=0 failed=0 skipped=0 errors=0 "
                 "(bookworm, 95 s)  FAILED: timed out"),
])
def test_report_shows_counts_skips_exclusions_and_the_failing_log(
        tmp_path, rc, with_junit, headline):
    (tmp_path / "junit.xml").write_text(JUNIT)
    log = tmp_path / "bookworm-debug.log"
    log.write_text(LOG)
    res = {"suite": "bookworm", "flavour": "debug", "version": "3.11.2",
           "rc": rc, "secs": 95.2, "log": log,
           "junit": suite_runs.parse_junit(tmp_path / "junit.xml")
           if with_junit else None}

    lines = suite_runs.report_line(res)

    assert lines[0] == headline
    body = "\n".join(lines[1:])
    if with_junit:
        assert ("skipped x2: needs a debug build "
                "[tests.test_a::test_1, tests.test_a::test_2]") in body
        assert "skipped x1: pytest.xfail [tests.test_b::test_3]" in body
        assert "skipped x1: needs 3.9 [::tests.test_d]" in body
    assert ("hunt ran once x2: drives a subprocess [tests/test_c.py::test_x,"
            " tests/test_c.py::test_y]") in body
    assert (f"log: {log}" in body) == (rc != 0)
    assert ("| === 2 failed, 4 passed" in body) == (rc != 0)


@pytest.mark.parametrize("argv", [
    ["--suite", "buster"],
    ["--release-only", "--debug-only"],
    ["--jobs", "two"],
])
def test_bad_command_lines_are_refused(argv):
    with pytest.raises(SystemExit) as info:
        matrix.parse_args(argv)
    assert info.value.code == 2


ALL_SUITES = ["bullseye", "bookworm", "trixie", "sid", "bookworm-i386"]
ALL_PYENV = ["3.6.15", "3.7.16", "3.8.18", "3.9.18", "3.10.13", "3.11.7", "3.12.1", "3.13.0"]


ALL_SOURCE = ["3.13t", "3.13t-tsan"]


@pytest.mark.parametrize("argv, suites, pyenv, sources", [
    ([], ALL_SUITES, ALL_PYENV, ALL_SOURCE),
    (["--skip-pyenv", "3.11.7", "--skip-pyenv", "2.7.18", "--skip-suite", "bookworm-i386"],
     ALL_SUITES[:-1], [v for v in ALL_PYENV if v != "3.11.7"], ALL_SOURCE),
    (["--suite", "sid"], ["sid"], [], []),
    (["--pyenv", "3.6.15"], [], ["3.6.15"], []),
    (["--source", "3.13t"], [], [], ["3.13t"]),
    (["--debug-only"], ALL_SUITES, [], ALL_SOURCE),   # the pyenv builds are release builds
])
def test_selection_runs_everything_unless_told_otherwise(argv, suites, pyenv, sources):
    chosen = matrix.selection(matrix.parse_args(argv))
    assert (chosen[0], chosen[2], chosen[3]) == (suites, pyenv, sources)


def test_a_missing_pyenv_interpreter_fails_the_run(tmp_path, monkeypatch):
    monkeypatch.setenv("PYENV_ROOT", str(tmp_path / "nowhere"))
    res = suite_runs.run_interpreter(REPO, tmp_path, suite_runs.pyenv_target("3.6.15"),
                                 tmp_path, timeout=10)
    assert res["rc"] == 91
    assert suite_runs.report_line(res)[0].endswith("FAILED: interpreter not found")


def test_the_first_run_in_a_root_makes_the_shared_pip_cache(tmp_path):
    # scripts/release may be the first to run anything in a root, before
    # scripts/matrix has ever made the cache it bind-mounts there.
    command = roots.chroot_command(tmp_path / "root", tmp_path / "cache", "true")
    assert (tmp_path / "cache" / "pip-cache").is_dir()
    assert f"mount --bind {tmp_path / 'cache' / 'pip-cache'} " in command[-1]


@pytest.mark.parametrize("builder, suite, tool", [
    ("build_root", "bookworm-i386", "debootstrap"),
    ("build_emulated_root", "bookworm-arm64", "mmdebstrap"),
])
def test_the_first_root_built_installs_its_host_tool(tmp_path, monkeypatch, builder, suite, tool):
    # scripts/release may build a root on a machine where scripts/matrix
    # never ran, and so never installed the tool.
    installed, commands = [], []
    monkeypatch.setattr(procs.shutil, "which", lambda name: None)
    monkeypatch.setattr(procs, "apt_install_on_host",
                        lambda names, recommends=True: installed.append(names))
    monkeypatch.setattr(roots, "run_logged", lambda command, *a, **k: commands.append(command) or 1)
    assert not getattr(roots, builder)(tmp_path, suite, ("3.11",), "http://mirror", tmp_path / "log")
    assert installed == [[tool]] and tool in commands[0]


@pytest.mark.skipif(os.geteuid() != 0, reason="the matrix checks for root "
                                              "before anything else")
def test_cache_inside_the_repository_is_refused():
    with pytest.raises(SystemExit, match="outside the repository"):
        matrix.main(["--cache-dir", str(REPO / "roots"), "--prepare-only"])


DEB822 = """\
Types: deb
URIs: http://archive/debian-security
Suites: trixie-security
Components: main

Types: deb
URIs: https://vendor/apt
Suites: nodistro
Components: main

Types: deb-src
URIs: http://sources-only/debian
Suites: trixie
Components: main

Types: deb
Enabled: no
URIs: http://disabled/debian
Suites: trixie
Components: main

Types: deb
# the archive a snapshot was taken of
URIs: http://archive/debian/
Suites: trixie trixie-updates
Components: main contrib
"""
ONE_LINE = """\
# deb http://commented/debian bookworm main
deb http://security/debian-security bookworm-security main
deb [arch=amd64 signed-by=/usr/share/keyrings/vendor.gpg] https://vendor/apt cloud-sdk-bookworm main
deb https://docker/linux/debian bookworm stable
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://one-line/debian bookworm main
"""


@pytest.mark.parametrize("files, environ, mirror", [
    ({"sources.list.d/debian.sources": DEB822}, {}, "http://archive/debian"),
    ({"sources.list": ONE_LINE}, {}, "http://one-line/debian"),
    # sources.list comes first, then sources.list.d by name; other suffixes are not read
    ({"sources.list": ONE_LINE, "sources.list.d/debian.sources": DEB822,
      "sources.list.d/a.list.disabled": "deb http://off/debian bookworm main\n"},
     {}, "http://one-line/debian"),
    ({"sources.list.d/debian.sources": DEB822},
     {"VORLUND_MIRROR": "http://override/debian/"}, "http://override/debian"),
    ({"sources.list": ONE_LINE.splitlines(True)[-1].replace("bookworm", "forky")},
     {}, "http://one-line/debian"),            # the host's own codename
    ({"sources.list.d/vendor.sources": DEB822.split("\n\n")[1]}, {}, None),
    ({}, {}, None),
], ids=["deb822", "one-line", "order", "override", "host-codename", "third-party-only", "none"])
def test_the_mirror_is_the_hosts_main_debian_archive(tmp_path, files, environ, mirror):
    from buildkit.mirror import debian_mirror
    apt = tmp_path / "etc" / "apt"
    (apt / "sources.list.d").mkdir(parents=True)
    (tmp_path / "etc" / "os-release").write_text('ID=debian\nVERSION_CODENAME="forky"\n')
    for rel, text in files.items():
        (apt / rel).write_text(text)
    if mirror is None:
        with pytest.raises(SystemExit, match="VORLUND_MIRROR"):
            debian_mirror(apt, environ)
    else:
        assert debian_mirror(apt, environ) == mirror


def test_an_unpacked_root_gets_what_its_maintainer_scripts_would_have_made(tmp_path):
    # Run again on every reuse of the root: it must not trip over its own work.
    masters = tmp_path / "usr/share/base-passwd"
    masters.mkdir(parents=True)
    for name in ("passwd", "group"):
        (masters / f"{name}.master").write_text(f"root:{name}\n")
    (tmp_path / "etc").mkdir()
    for _ in range(2):
        roots.post_extract(tmp_path)
    assert (tmp_path / "etc/passwd").read_text() == "root:passwd\n"
    # trixie's pip loads the system bundle as it starts: it is the host's,
    # which every run copies in
    assert os.readlink(tmp_path / "etc/ssl/certs/ca-certificates.crt") == "host-ca.crt"
    assert (tmp_path / "tmp").stat().st_mode & 0o7777 == 0o1777
