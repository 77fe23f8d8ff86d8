"""Writes the seed corpus: small programs that make an instance (of the
class, or of a subclass) and reach every operation and each of its kinds.
Each byte of an input is one choice (program.DataSource)."""
import os
import sys

OPS = 12  # program.Program.run: nine instance operations, three on the environment


def seeds():
    # new: op 0, slot 0, kind (< 3: the class; 3: a C subclass of the test
    # build, by index; else a Python subclass by slots kind, __getattr__ and
    # __del__), arguments, keywords.
    makers = [bytes([0, 0, 0, 1, 1]), bytes([0, 0, 4, 0, 0, 0, 0, 1]),
              bytes([0, 0, 4, 0, 0, 2, 1, 0]), bytes([0, 0, 4, 0, 0, 4, 0, 2]),
              bytes([0, 0, 3, 0, 0, 0]), bytes([0, 0, 3, 0, 0, 1])]
    for op in range(OPS):
        for variant in range(len(makers)):
            maker = makers[variant % len(makers)]
            yield maker + bytes([op, 0, variant, variant * 3 + 1, variant + 2, 1, 5,
                                 op, 0, variant + 4, 2, 7])
    # Ints at each boundary (program.BOUNDARIES), exactly, one above and one
    # below, either sign: base, delta + 2, sign.
    for base in range(11):
        for delta, sign in ((2, 0), (2, 1), (3, 0), (1, 1)):
            yield makers[0] + bytes([2, 0, 3, 0, 0, base, delta, sign, 1, 0])
    # Every kind of assigned value, through the first route.
    for kind in range(12):
        for sub in (0, 3, 6):
            yield makers[0] + bytes([2, 0, 3, 0, kind, sub, 1, 2, 1, 0, 2, 0, 1, 0, 3])


def main(directory):
    os.makedirs(directory, exist_ok=True)
    for number, data in enumerate(seeds()):
        with open(os.path.join(directory, "seed-%03d" % number), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
