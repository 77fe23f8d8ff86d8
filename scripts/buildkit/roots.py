"""Debian roots in the cache directory: built with debootstrap (roots that
run natively) or unpacked with mmdebstrap (roots that run under
emulation), stamped with their recipe, checked on reuse, and entered with
chroot in a mount namespace of their own."""

import datetime
import hashlib
import json
import os
import shlex
import shutil
import time

from .emulation import ensure_emulation
from .platforms import (EMULATED, PYPY_PACKAGES, PYPY_SUITES, SOURCE_BUILD_PACKAGES,
                        SOURCE_BUILDS, suite_and_arch)
from .procs import (base_env, du_gb, ensure_host_command, remove_tree, run_logged,
                    stopping, tail)

STAMP = ".vorlund-root-ok"


def packages(suite, versions):
    # binutils: nm for symbol checks; ca-certificates: pip over https.
    extra = (SOURCE_BUILD_PACKAGES
             if any(b[0] == suite for b in SOURCE_BUILDS.values()) else [])
    if suite in PYPY_SUITES:
        extra = extra + PYPY_PACKAGES
    return [f"{name}{ver}{suffix}" for ver in versions
            for name, suffix in (("python", ""), ("python", "-dev"),
                                 ("python", "-dbg"), ("python", "-venv"),
                                 ("libpython", "-testsuite"))
            ] + ["g++", "binutils", "ca-certificates"] + extra


def stamp_text(suite, versions, mirror):
    listed = (emulated_packages(versions) if suite in EMULATED
              else packages(suite, versions))
    key = json.dumps({"suite": suite, "packages": listed, "mirror": mirror},
                     sort_keys=True)
    return hashlib.sha256(key.encode()).hexdigest()


def sanity_check(root, suite, versions, log_path):
    # Cheap enough to run on every reuse: catches a root whose interpreter
    # or compiler was damaged (interrupted upgrade, half-deleted files).
    script = " && ".join(
        [f"python{ver} -c 'import ensurepip, venv, sysconfig' && "
         f"python{ver}d -c 'import sys; sys.gettotalrefcount'"
         for ver in versions]
        + (["pypy3 -c 'import ensurepip, venv'"] if suite in PYPY_SUITES else [])
        + ["g++ --version >/dev/null && nm --version >/dev/null"])
    return run_logged(["chroot", str(root), "/bin/sh", "-c", script],
                      log_path, timeout=120, env=base_env()) == 0


def stamped(cache, suite, versions, mirror):
    """Whether the root was built, completely, from today's recipe."""
    try:
        return ((cache / suite / STAMP).read_text().split()[0]
                == stamp_text(suite, versions, mirror))
    except (OSError, IndexError):
        return False


def root_ok(cache, suite, versions, mirror, log_path):
    return (stamped(cache, suite, versions, mirror)
            and sanity_check(cache / suite, suite, versions, log_path))


def install_root(tmp, root, suite, versions, mirror):
    """Puts a root built at `tmp` in the place of `root`, stamped: a root
    that failed half-way is never found at `root`."""
    remove_tree(root)
    os.rename(tmp, root)
    (root / STAMP).write_text(
        f"{stamp_text(suite, versions, mirror)} {datetime.datetime.now():%F %T}\n")
    return True


def build_root(cache, suite, versions, mirror, log_path):
    root = cache / suite
    tmp = cache / f"{suite}.building"
    remove_tree(tmp)
    env = {**base_env(), "DEBIAN_FRONTEND": "noninteractive"}
    # debootstrap's own --include resolver trips over the -venv packages'
    # dependencies; it only lays down minbase, and apt installs the rest.
    # Everything runs in a private mount namespace, so the /proc and /sys
    # that debootstrap and apt mount in the target never outlive a build.
    t = shlex.quote(str(tmp))
    install = f"""
set -e
mount -t proc proc {t}/proc
cp -L /etc/resolv.conf {t}/etc/resolv.conf
# A mirror that serves a snapshot of sid keeps an InRelease whose
# Valid-Until has passed; debootstrap doesn't check it, apt would refuse.
chroot {t} apt-get -o Acquire::Check-Valid-Until=false update -q
chroot {t} apt-get install -y -q --no-install-recommends {' '.join(packages(suite, versions))}
chroot {t} apt-get clean
rm -rf {t}/var/lib/apt/lists/*
"""
    debian_suite, arch = suite_and_arch(suite)
    ensure_host_command("debootstrap")
    ok = (run_logged(["unshare", "--mount", "--propagation", "private",
                      "debootstrap", "--variant=minbase"]
                     + ([f"--arch={arch}"] if arch else [])
                     + [debian_suite, str(tmp), mirror],
                     log_path, timeout=1800, env=env) == 0
          and run_logged(["unshare", "--mount", "--propagation", "private",
                          "/bin/sh", "-c", install], log_path, timeout=1800,
                         env=env) == 0
          and sanity_check(tmp, suite, versions, log_path))
    if not ok:
        dlog = tmp / "debootstrap" / "debootstrap.log"
        if dlog.exists():
            with open(log_path, "a") as out:
                out.write("\n--- debootstrap.log (tail)\n")
                out.writelines(tail(dlog, 60))
        remove_tree(tmp)
        return False
    return install_root(tmp, root, suite, versions, mirror)


def ensure_root(cache, suite, versions, mirror, rebuild, logdir):
    """Return (ok, note).  Reuses a stamped, working root; else builds it,
    retrying once (mirrors hiccup, and a half-synced sid is common)."""
    log_path = logdir / f"root-{suite}.log"
    emulated = suite in EMULATED
    if emulated:
        ensure_emulation(suite_and_arch(suite)[1])
    ok = (emulated_root_ok if emulated else root_ok)
    if not rebuild and ok(cache, suite, versions, mirror, log_path):
        return True, "cached"
    build = build_emulated_root if emulated else build_root
    for attempt in (1, 2):
        if stopping.is_set():
            return False, "interrupted"
        t0 = time.monotonic()
        if build(cache, suite, versions, mirror, log_path):
            size = du_gb(cache / suite)
            return True, (f"built in {time.monotonic() - t0:.0f} s, "
                          f"{size:.2f} GB" + (" (retry)" if attempt == 2
                                               else ""))
        with open(log_path, "a") as f:
            f.write(f"\n*** root build attempt {attempt} failed\n")
    return False, f"building the root failed twice, see {log_path}"


# ---------------------------------------------------- emulated architectures

def emulated_packages(versions):
    # The interpreter with venv and _testcapi (libpython-testsuite), the
    # headers and C library that the host's cross compiler builds against
    # (libpython-dev), nm for the symbol check, the C.UTF-8 locale (libc-bin)
    # and the shell and tools that the test run's script uses. Nothing is
    # configured: what a test run needs of the maintainer scripts' work,
    # post_extract does.
    return [f"{name}{ver}{suffix}" for ver in versions
            for name, suffix in (("python", ""), ("python", "-venv"),
                                 ("libpython", "-dev"),
                                 ("libpython", "-testsuite"))
            ] + ["libc6-dev", "libc-bin", "binutils", "bash", "dash", "coreutils",
                 "base-files", "base-passwd"]


def emulated_sanity_check(root, versions, log_path):
    script = " && ".join(
        f"python{ver} -c 'import ensurepip, venv, _testcapi'" for ver in versions)
    return run_logged(["chroot", str(root), "/bin/sh", "-c", script + " && nm --version"],
                      log_path, timeout=300, env=base_env()) == 0


def emulated_root_ok(cache, suite, versions, mirror, log_path):
    if not stamped(cache, suite, versions, mirror):
        return False
    # what post_extract makes may have grown since the root was unpacked
    post_extract(cache / suite)
    return emulated_sanity_check(cache / suite, versions, log_path)


def build_emulated_root(cache, suite, versions, mirror, log_path):
    debian_suite, arch = suite_and_arch(suite)
    root, tmp = cache / suite, cache / f"{suite}.building"
    remove_tree(tmp)
    ensure_host_command("mmdebstrap")
    ok = run_logged(["mmdebstrap", "--variant=extract", f"--arch={arch}",
                     "--include=" + ",".join(emulated_packages(versions)),
                     debian_suite, str(tmp), mirror],
                    log_path, timeout=1800, env=base_env()) == 0
    if ok:
        post_extract(tmp)
        ok = emulated_sanity_check(tmp, versions, log_path)
    if not ok:
        remove_tree(tmp)
        return False
    return install_root(tmp, root, suite, versions, mirror)


def post_extract(root):
    """What the maintainer scripts of an unpacked root would have made and
    a test run needs: the user and group databases (base-passwd copies its
    masters), and the directories that chroot_command fills."""
    for name in ("passwd", "group"):
        shutil.copy(root / "usr/share/base-passwd" / f"{name}.master",
                    root / "etc" / name)
    for directory in ("etc/ssl/certs", "root", "tmp", "proc", "dev", "sys"):
        (root / directory).mkdir(parents=True, exist_ok=True)
    os.chmod(root / "tmp", 0o1777)
    # The bundle that ca-certificates' script would have made, and that pip
    # from 25.1 on (trixie's) loads as it starts, even offline: the host's,
    # which chroot_command copies in for every run.
    bundle = root / "etc/ssl/certs/ca-certificates.crt"
    if not os.path.lexists(bundle):
        os.symlink("host-ca.crt", bundle)


# ------------------------------------------------------------ entering one

def chroot_command(root, cache, inner):
    # Everything mounted here lives in a private mount namespace: when the
    # last process in it exits (normally, on error, or killed by ^C) the
    # kernel drops the mounts, so the host never sees them.  The explicit
    # umounts on EXIT are for tidiness, not correctness.
    r = shlex.quote(str(root))
    # Whichever script first runs something in a root makes the shared pip
    # cache (scripts/release may run before scripts/matrix ever has).
    (cache / "pip-cache").mkdir(parents=True, exist_ok=True)
    pipcache = shlex.quote(str(cache / "pip-cache"))
    outer = f"""
set -eu
cleanup() {{
  for m in {r}/root/.cache/pip {r}/sys {r}/dev {r}/proc; do
    mountpoint -q "$m" && umount -R -l "$m" || true
  done
}}
trap cleanup EXIT
mount -t proc proc {r}/proc
mount --rbind /dev {r}/dev
mount --rbind /sys {r}/sys
mkdir -p {r}/root/.cache/pip
mount --bind {pipcache} {r}/root/.cache/pip
# Two runs may start in one root at once (a suite's two interpreters): each
# file is copied beside its place and renamed into it, which replaces
# whatever stands there (a link included) and never races the other run.
cp -L /etc/resolv.conf {r}/etc/resolv.conf.$$
mv -f {r}/etc/resolv.conf.$$ {r}/etc/resolv.conf
# The host's trust store: lets pip reach the index through a TLS-inspecting
# proxy, the same way the host's own pip does.
cp -L /etc/ssl/certs/ca-certificates.crt {r}/etc/ssl/certs/host-ca.crt.$$
mv -f {r}/etc/ssl/certs/host-ca.crt.$$ {r}/etc/ssl/certs/host-ca.crt
set +e
chroot {r} /usr/bin/env PIP_CERT=/etc/ssl/certs/host-ca.crt \\
  SSL_CERT_FILE=/etc/ssl/certs/host-ca.crt /bin/bash -c {shlex.quote(inner)}
"""
    return ["unshare", "--mount", "--propagation", "private",
            "/bin/bash", "-c", outer]
