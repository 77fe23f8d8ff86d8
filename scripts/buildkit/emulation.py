"""Running programs of other architectures through qemu-user."""

import shutil
import subprocess
from pathlib import Path

from .platforms import ARCHITECTURES
from .procs import apt_install_on_host, apt_locks


def ensure_emulation(arch):
    """Makes the host run programs of the Debian architecture `arch` through
    qemu-user, registered with binfmt_misc (with the F flag: the handler is
    opened once, so it works inside a chroot that lacks it)."""
    qemu = ARCHITECTURES[arch][2]
    if qemu is None:
        return
    handler = Path("/proc/sys/fs/binfmt_misc") / f"qemu-{qemu}"
    if handler.exists():
        return
    with apt_locks["host"]:
        if not shutil.which("update-binfmts") or not Path(
                f"/usr/libexec/qemu-binfmt/{qemu}-binfmt-P").exists():
            apt_install_on_host(["qemu-user-static", "binfmt-support"])
        if not Path("/proc/sys/fs/binfmt_misc/register").exists():
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc",
                            "/proc/sys/fs/binfmt_misc"], check=True)
        if not handler.exists():
            subprocess.run(["update-binfmts", "--enable", f"qemu-{qemu}"],
                           check=True)
