"""libFuzzer's entry: each input is one program (fuzz/program.py) run
against the module built with ASan, UBSan and libFuzzer's coverage counters
(scripts/fuzz builds it and preloads the sanitizer runtime)."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["program"]):
    import program


def one_input(data):
    program.run_input(data)


if __name__ == "__main__":
    program.prepare()
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
