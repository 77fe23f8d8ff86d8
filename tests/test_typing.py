"""The shipped stubs let a strict type checker see the class as it is at run
time."""
import importlib.util
import subprocess
import sys

import pytest

import support

MYPY = importlib.util.find_spec("mypy")

SAMPLE = '''
from vorlundpython import get_include
from vorlundpython.Concordix import Concordix

class Tally(Concordix):
    pass

def fill(tally: Concordix, matches: int, total: int) -> int:
    tally.matching = matches
    tally.total = total
    return tally.nonMissing + tally.nonMatching

include_dir: str = get_include()
kept: Tally = Tally(3, "any", mode=None)
print(fill(Concordix(1, mode="any"), 1, 2), fill(kept, 0, 0))
'''


pytestmark = [
    pytest.mark.no_refleak_hunt(reason="runs mypy in a subprocess only"),
    pytest.mark.skipif(MYPY is None,
                       reason="mypy is not installed (the runs under emulation and under Wine "
                              "leave the type checker out: it has no wheel for every "
                              "architecture, and under Wine 8.0 its native parser's DLL does "
                              "not load)"),
]
# PEP 800's decorator: mypy knows it from 1.18 on, and every interpreter from
# 3.9 on gets such a mypy (PyPy's is held below 1.19, see setup.py).
needs_disjoint_bases = pytest.mark.skipif(
    sys.version_info < (3, 9),
    reason="the last mypys for 3.6 to 3.8 (0.971, 1.4.1, 1.14.1) predate disjoint bases (PEP 800)")


def mypy(tmp_path, *args):
    # From a folder outside the checkout: the installed package is checked.
    return subprocess.run([sys.executable, "-m"] + list(args), **support.CAPTURE, cwd=tmp_path)


@pytest.mark.parametrize("addition, error", [
    ("", None),
    ("Concordix().total = 'seven'\n", "Incompatible types in assignment"),
    # Instances have their own layout: such a class statement fails at run
    # time, and the stub says so.
    pytest.param("class Both(Concordix, int):\n    pass\n",
                 'Class "Both" has incompatible disjoint bases', marks=needs_disjoint_bases),
], ids=["typed-use", "str-count", "second-disjoint-base"])
def test_mypy_strict_accepts_typed_use_and_rejects_what_the_run_time_refuses(
        tmp_path, addition, error):
    (tmp_path / "sample.py").write_text(SAMPLE + addition)
    result = mypy(tmp_path, "mypy", "--strict", "--no-incremental", "sample.py")
    if error is None:
        assert result.returncode == 0, result.stdout
    else:
        assert result.returncode == 1 and error in result.stdout, result.stdout


@needs_disjoint_bases
@pytest.mark.skipif(support.PYPY, reason="stubtest imports symtable, whose native part "
                                         "(_symtable) PyPy does not have")
def test_stubtest_finds_the_stub_and_the_run_time_alike(tmp_path):
    result = mypy(tmp_path, "mypy.stubtest", "vorlundpython.Concordix")
    assert result.returncode == 0, result.stdout + result.stderr

