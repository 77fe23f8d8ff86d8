"""Random programs of operations on live instances (fuzz/program.py, the
fuzzer's own target) agree with the model of the class: a fixed set of
seeds, on every interpreter the suite runs on (PyPy included, where
libFuzzer does not run)."""
import pytest

from support import REPO, run_python


@pytest.mark.no_refleak_hunt(reason="the programs run in a subprocess: nothing of this "
                                    "process's to hunt, and each round would rerun them")
@pytest.mark.parametrize("programs", [
    ["--programs", "100", "--seed", "0"],
    # libFuzzer's committed inputs, the regressions of its findings among them
    ["--corpus", str(REPO / "fuzz" / "corpus")],
], ids=["seeded", "corpus"])
def test_random_programs_agree_with_the_model(programs):
    # A subprocess: the programs replace builtins.TypeError, cython_runtime
    # and the warning filters for a while, and the unraisable hook for good.
    proc = run_python(
        """
        import sys
        sys.argv = ["random_driver"] + %r
        sys.path.insert(0, %r)
        import random_driver
        sys.exit(random_driver.main())
        """ % (programs, str(REPO / "fuzz")), check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr
