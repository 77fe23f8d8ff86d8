"""The shipped stubs let a strict type checker see the class."""
import importlib.util
import subprocess
import sys

import pytest

import support

SAMPLE = '''
from vorlundpython import get_include
from vorlundpython.Concordix import Concordix

def fill(tally: Concordix, matches: int, total: int) -> int:
    tally.matching = matches
    tally.total = total
    return tally.nonMissing + tally.nonMatching

include_dir: str = get_include()
print(fill(Concordix(1, mode="any"), 1, 2))
'''


@pytest.mark.no_refleak_hunt(reason="runs mypy in a subprocess only")
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                    reason="mypy is not installed (the runs under emulation and under Wine "
                           "leave the type checker out: it has no wheel for every "
                           "architecture, and under Wine 8.0 its native parser's DLL does "
                           "not load)")
def test_mypy_strict_accepts_typed_use_and_rejects_a_str_count(tmp_path):
    good, bad = tmp_path / "good.py", tmp_path / "bad.py"
    good.write_text(SAMPLE)
    bad.write_text(SAMPLE + "Concordix().total = 'seven'\n")

    def mypy(path):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(path)],
                              **support.CAPTURE, cwd=tmp_path)

    result = mypy(good)
    assert result.returncode == 0, result.stdout
    result = mypy(bad)
    assert result.returncode == 1 and "Incompatible types in assignment" in result.stdout
