"""The Debian mirror that roots and source packages come from: the one the
host's own apt uses for the main archive, unless VORLUND_MIRROR names
another. No address is written into the repository."""

import os
import re
from pathlib import Path

from .platforms import EMULATED, PYPY_SUITES, SUITES, suite_and_arch

APT = Path("/etc/apt")
# Names under which a Debian release is published, besides codenames.
RELEASE_ALIASES = {"stable", "testing", "unstable", "oldstable", "oldoldstable",
                   "experimental"}


def one_line_entries(text):
    """(uris, suites, components) of each `deb` line of a sources.list file."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        # options in brackets ([arch=amd64 signed-by=...]) say nothing here
        line = re.sub(r"\[[^\]]*\]", " ", line)
        fields = line.split()
        if len(fields) >= 4 and fields[0] == "deb":
            yield [fields[1]], [fields[2]], fields[3:]


def deb822_entries(text):
    """(uris, suites, components) of each enabled `deb` stanza of a
    .sources file."""
    for stanza in re.split(r"\n[ \t]*\n", text):
        fields, key = {}, None
        for line in stanza.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0] in " \t" and key:            # a folded continuation line
                fields[key] += " " + line.strip()
                continue
            key, _, value = line.partition(":")
            key = key.strip().lower()
            fields[key] = value.strip()
        if ("deb" in fields.get("types", "").split()
                and fields.get("enabled", "yes").lower() != "no"):
            yield (fields.get("uris", "").split(), fields.get("suites", "").split(),
                   fields.get("components", "").split())


def host_codename(os_release=Path("/etc/os-release")):
    try:
        found = re.search(r"^VERSION_CODENAME=\"?([\w-]+)", os_release.read_text(), re.M)
    except OSError:
        return None
    return found.group(1) if found else None


def main_archive(entries, codenames):
    """The first URI that serves a Debian release (a codename among
    `codenames`, or an alias such as stable, or its -updates/-backports) with
    the main component: not the security archive, not a third party's
    repository (their suites and components are named otherwise)."""
    known = set(codenames) | RELEASE_ALIASES
    for uris, suites, components in entries:
        if "main" not in components:
            continue
        if not any(s.split("-")[0] in known and not s.endswith("-security")
                   for s in suites):
            continue
        for uri in uris:
            uri = uri.rstrip("/")
            if (re.match(r"https?://", uri)
                    and not uri.rsplit("/", 1)[-1].endswith("-security")):
                return uri
    return None


def apt_entries(apt=APT):
    """Every entry of the host's apt configuration, in apt's order: the main
    sources.list first, then sources.list.d's files by name."""
    try:
        yield from one_line_entries((apt / "sources.list").read_text())
    except OSError:
        pass
    directory = apt / "sources.list.d"
    files = sorted(directory.iterdir()) if directory.is_dir() else []
    for path in files:
        if path.suffix == ".list":
            yield from one_line_entries(path.read_text())
        elif path.suffix == ".sources":
            yield from deb822_entries(path.read_text())


def debian_mirror(apt=APT, environ=None):
    """VORLUND_MIRROR, else the host's main Debian archive."""
    environ = os.environ if environ is None else environ
    if environ.get("VORLUND_MIRROR"):
        return environ["VORLUND_MIRROR"].rstrip("/")
    # the suites the roots are made of, and the host's own
    codenames = {suite_and_arch(name)[0] for name in (*SUITES, *EMULATED, *PYPY_SUITES)}
    own = host_codename(apt.parent / "os-release")
    if own:
        codenames.add(own)
    found = main_archive(apt_entries(apt), codenames)
    if not found:
        raise SystemExit(f"no Debian archive among the host's apt sources ({apt}); "
                         "set VORLUND_MIRROR to a Debian mirror's address")
    return found
