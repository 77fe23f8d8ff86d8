"""Child processes with their output in logs, the host's apt, progress
lines: what every step of a build or test run goes through."""

import collections
import os
import shlex
import shutil
import signal
import subprocess
import threading
import time

_children = set()
_children_lock = threading.Lock()
stopping = threading.Event()
_print_lock = threading.Lock()


def say(*lines):
    with _print_lock:
        for line in lines:
            print(line, flush=True)


def run_logged(cmd, log_path, timeout=None, env=None):
    """Run cmd in its own session with output appended to log_path.

    Returns the exit status; 124 on timeout.  A session of its own lets an
    interrupt take down chroot'ed pip/compiler/pytest processes as a group.
    """
    if stopping.is_set():
        return 130
    with open(log_path, "ab") as log:
        log.write(("\n$ " + " ".join(shlex.quote(c) for c in cmd) + "\n")
                  .encode())
        log.flush()
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, env=env,
                                start_new_session=True)
        with _children_lock:
            _children.add(proc)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill_group(proc)
            proc.wait()
            log.write(f"\n*** timed out after {timeout} s\n".encode())
            return 124
        finally:
            with _children_lock:
                _children.discard(proc)


def _kill_group(proc, sig=signal.SIGTERM):
    try:
        os.killpg(proc.pid, sig)
    except ProcessLookupError:
        pass


def stop_children():
    stopping.set()
    with _children_lock:
        procs = list(_children)
    for p in procs:
        _kill_group(p)
    deadline = time.monotonic() + 10
    for p in procs:
        try:
            p.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            _kill_group(p, signal.SIGKILL)


def mounts_under(path):
    path = os.path.realpath(path)
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            mnt = line.split()[4].replace("\\040", " ")
            if mnt == path or mnt.startswith(path + "/"):
                found.append(mnt)
    return sorted(found, key=len, reverse=True)


def remove_tree(path):
    """rm -rf a root, never following a mount that outlived its namespace."""
    if not os.path.lexists(path):
        return
    for mnt in mounts_under(path):
        subprocess.run(["umount", "-l", mnt], check=False)
    subprocess.run(["rm", "-rf", "--one-file-system", str(path)], check=True)



def tail(path, n=40):
    try:
        with open(path, errors="replace") as f:
            return f.readlines()[-n:]
    except OSError:
        return []


def du_gb(path):
    out = subprocess.run(["du", "-sxb", str(path)], capture_output=True,
                         text=True).stdout.split()
    return int(out[0]) / 1e9 if out else 0.0


def base_env():
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:"
                   "/sbin:/bin",
           "HOME": "/root", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
    # Network and CI settings are the only things let in from outside.
    for name in ("http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY",
                 "HTTPS_PROXY", "NO_PROXY", "PIP_INDEX_URL",
                 "PIP_DEFAULT_TIMEOUT", "CI"):
        if name in os.environ:
            env[name] = os.environ[name]
    return env


# One apt at a time: on the host, and in each root.
apt_locks = collections.defaultdict(threading.Lock)


def ensure_host_command(command, package=None, recommends=True):
    """Installs the Debian package that provides `command` (by default the
    package of that name) unless the host has it: whichever script needs a
    host tool first installs it (without its recommended packages if
    `recommends` is false)."""
    if shutil.which(command):
        return
    with apt_locks["host"]:
        if not shutil.which(command):
            apt_install_on_host([package or command], recommends)


def apt_install_on_host(names, recommends=True):
    say(f"matrix: installing {' '.join(names)} with apt-get")
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    # The lock above keeps this process's threads apart; another process
    # (a second script, or anyone's apt) may hold dpkg's lock, and apt then
    # fails at once unless told to wait for it.
    wait = ["-o", "DPkg::Lock::Timeout=900"]
    subprocess.run(["apt-get"] + wait + ["update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get"] + wait + ["install", "-y", "-qq"]
                   + ([] if recommends else ["--no-install-recommends"]) + names,
                   check=True, env=env)
