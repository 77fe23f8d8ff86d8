"""CPython built from the upstream source that a suite's source package
carries, into /opt of that suite's root."""

import hashlib
import json
import time

from .platforms import SOURCE_BUILDS
from .procs import apt_locks, base_env, run_logged
from .roots import chroot_command

SOURCE_BASE = "/srv/cpython-src"     # where sources unpack inside a root


def source_prefix(name):
    return f"/opt/cpython-{name}"


def source_stamp(name):
    suite, package, options = SOURCE_BUILDS[name]
    return hashlib.sha256(json.dumps([package, list(options)]).encode()
                          ).hexdigest()


def ensure_source_build(cache, name, mirror, logdir):
    """Return (ok, note): builds SOURCE_BUILDS[name] in its suite's root
    unless a build with the same recipe is already there."""
    suite, package, options = SOURCE_BUILDS[name]
    root = cache / suite
    prefix = source_prefix(name)
    log_path = logdir / f"build-{name}.log"
    stamp = root / prefix.lstrip("/") / ".vorlund-built"
    try:
        if (stamp.read_text().strip() == source_stamp(name)
                and (root / prefix.lstrip("/") / "bin" / "python3").exists()):
            return True, "cached"
    except OSError:
        pass
    t0 = time.monotonic()
    downloads, src = f"{SOURCE_BASE}/downloads", f"{SOURCE_BASE}/{name}"
    fetch = f"""
set -eux
mkdir -p {downloads} && cd {downloads}
ls {package}_*.orig.tar.xz && exit 0
echo "deb-src {mirror} {suite} main" > /etc/apt/sources.list.d/vorlund-src.list
apt-get -o Acquire::Check-Valid-Until=false update -q
apt-get source --download-only -q {package}
"""
    build = f"""
set -eux
rm -rf {src} && mkdir -p {src} && cd {src}
tar -xf {downloads}/{package}_*.orig.tar.xz
cd Python-*/
rm -rf {prefix}
./configure --prefix={prefix} --with-ensurepip=no {' '.join(options)} \
    > configure.log
make -j"$(nproc)" > make.log 2>&1 || {{ tail -50 make.log; exit 1; }}
make install > install.log 2>&1 || {{ tail -50 install.log; exit 1; }}
{prefix}/bin/python3 -c "import ssl, zlib, ctypes, sqlite3"
echo {source_stamp(name)} > {prefix}/.vorlund-built
"""
    with apt_locks[suite]:     # one apt at a time in a root
        rc = run_logged(chroot_command(root, cache, fetch), log_path,
                        timeout=1800, env=base_env())
    if rc == 0:
        rc = run_logged(chroot_command(root, cache, build), log_path,
                        timeout=3600, env=base_env())
    if rc != 0:
        return False, f"build failed, see {log_path}"
    return True, f"built in {time.monotonic() - t0:.0f} s"
