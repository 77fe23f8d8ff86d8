"""What a wheel of the package must be, read from the wheel itself and
from auditwheel; and a shell without compilers to install it in."""

import re
import subprocess
import zipfile


def expected_files(ext_suffix):
    """What a wheel must hold, its dist-info aside."""
    return {"vorlundpython/__init__.py", "vorlundpython/Concordix.h",
            "vorlundpython/Concordix.pyi", "vorlundpython/py.typed",
            "vorlundpython/Concordix" + ext_suffix}


def wheel_problems(path, ext_suffix):
    """Why the wheel at `path` is not exactly the package (empty: it is)."""
    with zipfile.ZipFile(path) as wheel:
        names = {n for n in wheel.namelist() if not n.endswith("/")}
    dist_info = {n for n in names if n.split("/")[0].endswith(".dist-info")}
    problems = []
    missing = expected_files(ext_suffix) - names
    extra = names - dist_info - expected_files(ext_suffix)
    if missing:
        problems.append("missing: " + ", ".join(sorted(missing)))
    if extra:
        problems.append("not part of the package: " + ", ".join(sorted(extra)))
    # LICENSE: the licence text, which setuptools puts in the dist-info
    # (under licenses/ from metadata 2.4 on)
    if not {n.rsplit("/", 1)[-1] for n in dist_info} >= {"METADATA", "WHEEL", "RECORD",
                                                         "LICENSE"}:
        problems.append("incomplete dist-info: " + ", ".join(sorted(dist_info)))
    return problems


def exported_symbols(path, ext_suffix, scratch):
    """The extension module's defined dynamic symbols."""
    with zipfile.ZipFile(path) as wheel:
        library = scratch / ("Concordix" + ext_suffix)
        library.write_bytes(wheel.read("vorlundpython/Concordix" + ext_suffix))
    # readelf reads every architecture's ELF files; the host's nm only some.
    out = subprocess.run(["readelf", "--dyn-syms", "--wide", str(library)], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    return defined_dynamic_symbols(out)


def defined_dynamic_symbols(readelf_output):
    """The names of the defined symbols in `readelf --dyn-syms --wide`
    output (as nm -D --defined-only lists them: no section symbols)."""
    names = []
    for line in readelf_output.splitlines():
        # Num: Value Size Type Bind Vis [other, e.g. ppc64's <localentry>] Ndx
        # Name [(version index)]
        fields = re.sub(r" \(\d+\)$", "", line.strip()).split()
        if (len(fields) >= 8 and re.fullmatch(r"\d+:", fields[0])
                and fields[-2] != "UND" and fields[3] != "SECTION"):
            names.append(fields[-1].split("@")[0])
    return names


def platform_tag(show_output):
    """The policy `auditwheel show` says the wheel is consistent with."""
    found = re.search(r'platform tag:\s*"([^"]+)"', show_output)
    if not found:
        raise SystemExit("release: auditwheel show named no platform tag:\n" + show_output)
    return found.group(1)


def wheel_tag(wheel):
    """The platform part of a wheel's file name."""
    return wheel.name[:-len(".whl")].split("-")[4]


def wheel_machine(wheel):
    """The machine of a wheel's (first) platform tag: x86_64, i686, aarch64..."""
    platform = wheel_tag(wheel).split(".")[0]
    return re.sub(r"^(linux|(many|musl)linux_\d+_\d+|manylinux\d*)_", "", platform)


def no_compiler_path():
    """Shell lines that put on PATH a directory with every command of PATH
    except the compilers, and forget CC and CXX."""
    return r"""
nocc=$(mktemp -d)
IFS=: read -ra dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
  for tool in "$dir"/*; do
    base=${tool##*/}
    [[ -x $tool && ! -e $nocc/$base ]] || continue
    [[ $base =~ ^(.*-)?(gcc|g\+\+|cc|c\+\+|cpp|c89|c99|clang|clang\+\+)(-[0-9.]+)?$ ]] && continue
    ln -s "$tool" "$nocc/$base"
  done
done
with_compiler=$PATH
export PATH=$nocc
unset CC CXX
for tool in cc c++ gcc g++; do
  if command -v $tool; then echo "release: $tool is still on PATH" >&2; exit 97; fi
done
"""
