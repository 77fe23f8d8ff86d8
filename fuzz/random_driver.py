"""The same programs with every choice drawn from a seeded random generator,
for interpreters that libFuzzer does not run on (PyPy). Runs programs for a
bounded time; a finding prints its seed, the program's steps, and exits 1.

Usage: python fuzz/random_driver.py [--seconds S | --programs N] [--seed N]
       python fuzz/random_driver.py --replay SEED
       python fuzz/random_driver.py --corpus DIR   (each libFuzzer input there, once)
"""
import argparse
import os
import random
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import program  # noqa: E402


def run(seed, log=None):
    source = program.RandomSource(random.Random(seed), 400)
    program.Program(source, log=log).run()


def run_corpus(directory):
    """The fuzzer's committed inputs, each the program libFuzzer would run,
    so that interpreters without libFuzzer replay them too."""
    names = sorted(os.listdir(directory))
    for name in names:
        with open(os.path.join(directory, name), "rb") as f:
            data = f.read()
        try:
            program.run_input(data)
        except program.Finding:
            print("finding with input %s:" % name)
            traceback.print_exc()
            return 1
    print("corpus: %d inputs, no finding" % len(names))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--programs", type=int, help="run this many programs, whatever the time")
    parser.add_argument("--replay", type=int)
    parser.add_argument("--corpus", help="run the fuzzer's inputs in this directory instead")
    args = parser.parse_args()
    program.prepare()
    if args.replay is not None:
        run(args.replay, log=print)
        return 0
    if args.corpus:
        return run_corpus(args.corpus)
    started, seed, programs = time.monotonic(), args.seed, 0
    while (programs < args.programs if args.programs is not None
           else time.monotonic() - started < args.seconds):
        try:
            run(seed)
        except program.Finding:
            print("finding with seed %d:" % seed)
            traceback.print_exc()
            print("replay: %s %s --replay %d" % (sys.executable, __file__, seed))
            return 1
        seed += 1
        programs += 1
    print("random programs: %d in %.0f s (seeds %d to %d), no finding"
          % (programs, time.monotonic() - started, args.seed, seed - 1))
    if hasattr(sys, "gettotalrefcount") and programs:
        # A debug interpreter counts every reference: the same programs run
        # again must leave the total where it was. A reference leaked on one
        # path grows it by about once per program that takes the path; the
        # interpreter's and the programs' own caches by far less.
        import gc
        for attempt in range(3):
            gc.collect()
            before = sys.gettotalrefcount()
            for again in range(args.seed, seed):
                run(again)
            gc.collect()
            grown = sys.gettotalrefcount() - before
            if grown < programs // 4:
                break
        else:
            print("the same %d programs again left %d references behind" % (programs, grown))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
