"""The Debian mirror that roots and source packages come from."""

import os


def debian_mirror():
    return os.environ.get("VORLUND_MIRROR", "http://deb.debian.org/debian")
