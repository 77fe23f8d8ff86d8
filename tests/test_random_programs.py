"""Random programs of operations on live instances (fuzz/program.py, the
fuzzer's own target) agree with the model of the class: a fixed set of
seeds, on every interpreter the suite runs on (PyPy included, where
libFuzzer does not run)."""
import pytest

from support import REPO, run_python


@pytest.mark.no_refleak_hunt(reason="the programs run in a subprocess: nothing of this "
                                    "process's to hunt, and each round would rerun them")
def test_random_programs_agree_with_the_model():
    # A subprocess: the programs replace builtins.TypeError, cython_runtime
    # and the warning filters for a while, and the unraisable hook for good.
    proc = run_python(
        """
        import sys
        sys.argv = ["random_driver", "--programs", "100", "--seed", "0"]
        sys.path.insert(0, %r)
        import random_driver
        sys.exit(random_driver.main())
        """ % str(REPO / "fuzz"), check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr
