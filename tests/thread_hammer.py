"""Many threads at once on shared and private Concordix instances.

Run as a script (the free-threading tests do, in a fresh interpreter; the
ThreadSanitizer run gives it more rounds): every thread mixes reads, good and
failing writes, refusals, fills through the C-level table (the example
consumer, which must be importable) and switch toggles, for a bounded time and
number of operations. The first round starts with nothing cached, so threads
race to cache the code objects of their entries. Where the module is a test
build, every thread also makes entries under keys of its own, in a file of
its own, so that the code-object cache grows while others search it.

It checks every traceback entry (exactly one of the module's, with its name,
file and line), every count read (a value that some write stored), each
private instance's exact contents, the cache afterwards (sorted, every key
there once), and that the references held by the module's long-lived objects
are the same after the later rounds as before them. Prints one JSON line: the
figures and the first problems found.
"""
import argparse
import gc
import json
import pickle
import sys
import threading
import time

import concordance
import cython_runtime
import vorlundpython.Concordix as module
from support import out_of_range
from vorlundpython.Concordix import Concordix

FIELDS = ("matching", "nonMatching", "nonMissing", "total")
DECLARATIONS = ".\\vorlundpython\\Concordix"
IMPLEMENTATION = "vorlundpython\\cpp_src\\Concordix"
STRINGSOURCE = "stringsource"
FILES = (DECLARATIONS, IMPLEMENTATION, STRINGSOURCE)   # as the test build numbers them
HOOKS = hasattr(module, "_raise_with_entry")
FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
KINDS = 10 if HOOKS else 9     # of operations: Worker.step
NATIVE_PATH = "vorlundpython/cpp_src/Concordix"
PREFIX = "vorlundpython.Concordix.Concordix."
# (function name, file, line, native line) of every entry the hammer provokes
SETTERS = {field: (PREFIX + field + ".__set__", DECLARATIONS, line, native)
           for field, line, native in (("matching", 6, 1358), ("nonMatching", 7, 1434),
                                       ("nonMissing", 8, 1510), ("total", 9, 1585))}
REDUCE = (PREFIX + "__reduce_cython__", STRINGSOURCE, 2, 1634)
SETSTATE = (PREFIX + "__setstate_cython__", STRINGSOURCE, 4, 1687)
MESSAGES = {TypeError: ("an integer is required",
                        "no default __reduce__ due to non-trivial __cinit__"),
            OverflowError: (str(out_of_range(2**40)),)}


class Converts:
    """A value that converts through Python code, inside the assignment."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def module_entries(error):
    """(name, file, line) of the module's entries, straight from the traceback."""
    found, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename in FILES:
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def entry_problem(error, expected):
    name, filename, line, native = expected
    if str(error) not in MESSAGES.get(type(error), ()):
        return ("exception", type(error).__name__, str(error))
    entries = module_entries(error)
    shown = "%s (%s:%d)" % (name, NATIVE_PATH, native)
    if len(entries) != 1 or entries[0] not in ((name, filename, line), (shown, filename, line)):
        return ("entries", entries, expected)
    return None


class Worker:
    def __init__(self, index, shared, deadline, max_operations):
        self.index, self.shared = index, shared
        self.deadline, self.max_operations = deadline, max_operations
        self.written = {field: set() for field in FIELDS}
        self.seen = {field: set() for field in FIELDS}
        self.problems = []
        self.operations = self.entries = 0
        # Values of this thread only, so that a torn or foreign value shows.
        self.next_value = (index + 1) * 10_000_000
        # Cache keys of this thread only (declaration lines no site uses).
        self.keys = []
        self.next_key = (index + 1) * 10_000_000

    def value(self):
        self.next_value += 1
        return self.next_value

    def expect_failure(self, call, expected):
        try:
            call()
        except (TypeError, OverflowError) as error:
            self.entries += 1
            problem = entry_problem(error, expected)
            if problem:
                self.problems.append(problem)
        else:
            self.problems.append(("no failure", expected[0]))

    def step(self, n):
        shared, field = self.shared, FIELDS[n % 4]
        operation = n % KINDS
        if operation == 0:
            value = self.value()
            self.written[field].add(value)
            setattr(shared, field, value)
        elif operation == 1:
            value = -self.value()
            self.written[field].add(value)
            setattr(shared, field, Converts(value))
        elif operation == 2:
            for name in FIELDS:
                self.seen[name].add(getattr(shared, name))
        elif operation == 3:
            target = shared if n % 2 else Concordix()
            bad = "x" if n % 3 else 2**40
            self.expect_failure(lambda: setattr(target, field, bad), SETTERS[field])
        elif operation == 4:
            self.expect_failure(lambda: pickle.dumps(shared), REDUCE)
        elif operation == 5:
            self.expect_failure(lambda: shared.__setstate__(None), SETSTATE)
        elif operation == 6:
            record = [self.value() for _ in range(4)]
            for name, value in zip(("matching", "total", "nonMissing", "nonMatching"), record):
                self.written[name].add(value)
            concordance.fill(shared, *record)
        elif operation == 7:
            # A private instance reads back exactly what this thread wrote.
            private, value = Concordix(), self.value()
            concordance.fill_through_instance(private, value, value + 1, value + 2, value + 3)
            setattr(private, field, Converts(-value))
            expected = {"matching": value, "total": value + 1, "nonMissing": value + 2,
                        "nonMatching": value + 3, field: -value}
            got = {name: getattr(private, name) for name in FIELDS}
            if got != expected:
                self.problems.append(("private instance", got, expected))
        elif operation == 8:
            cython_runtime.cline_in_traceback = bool(n % 4)
        else:
            self.own_entry()

    def own_entry(self):
        """An entry made as a failing site makes it, under a new key: the
        cache grows (and moves) while the other threads search it."""
        self.next_key += 1
        key, file_index = self.next_key, self.index % 3
        name = "hammer.thread%d" % self.index
        try:
            module._raise_with_entry(LookupError("own"), name, 0, key, file_index)
        except LookupError as error:
            self.entries += 1
            self.keys.append(key)
            entries = module_entries(error)
            if entries != [(name, FILES[file_index], key)]:
                self.problems.append(("own entry", entries, key))
            # without a GIL each thread's failure position is its own
            if FREE_THREADED and module._error_position() != (FILES[file_index], key, 0):
                self.problems.append(("failure position", module._error_position(), key))
        else:
            self.problems.append(("own entry", "no failure"))

    def run(self):
        # Every kind of operation at least once, however slowly the thread is
        # scheduled (valgrind runs one thread at a time).
        n = self.index
        while self.operations < self.max_operations and (
                self.operations < KINDS or time.monotonic() < self.deadline):
            self.step(n)
            n += 1
            self.operations += 1


def hammer(threads, seconds, max_operations):
    shared = Concordix()
    deadline = time.monotonic() + seconds
    workers = [Worker(i, shared, deadline, max_operations) for i in range(threads)]
    start = threading.Barrier(threads)

    def run(worker):
        start.wait()
        worker.run()

    pool = [threading.Thread(target=run, args=(w,)) for w in workers]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    written = {field: {0}.union(*(w.written[field] for w in workers)) for field in FIELDS}
    problems = [p for w in workers for p in w.problems]
    if HOOKS:
        count, capacity, keys = module._code_cache()
        own = [k for w in workers for k in w.keys]
        if (keys != sorted(set(keys)) or count != len(keys) or capacity % 64
                or not set(own) <= set(keys)):
            problems.append(("code-object cache", count, capacity,
                             len(set(own) - set(keys)), "keys missing"))
    for w in workers:
        for field in FIELDS:
            stray = w.seen[field] - written[field]
            if stray:
                problems.append(("count read that no write stored", field, sorted(stray)[:3]))
    return {"operations": [w.operations for w in workers],
            "entries": sum(w.entries for w in workers),
            "reads": sum(len(w.seen[f]) for w in workers for f in FIELDS),
            "problems": problems}


def cached_code_objects():
    """The code objects the module has cached for the hammer's entries."""
    codes = {}
    for switch in (False, True):
        cython_runtime.cline_in_traceback = switch
        for field in FIELDS:
            for bad in ("x", 2**40):
                try:
                    setattr(Concordix(), field, bad)
                except (TypeError, OverflowError) as e:
                    tb = e.__traceback__
                    while tb.tb_next:
                        tb = tb.tb_next
                    codes[id(tb.tb_frame.f_code)] = tb.tb_frame.f_code
        for call in (lambda: pickle.dumps(Concordix()), lambda: Concordix().__setstate__(None)):
            try:
                call()
            except TypeError as e:
                tb = e.__traceback__
                while tb.tb_next:
                    tb = tb.tb_next
                codes[id(tb.tb_frame.f_code)] = tb.tb_frame.f_code
    return list(codes.values())


def refusal_arguments():
    """The argument tuples that the refusals hand to TypeError, which keeps
    them as its args: each refusal takes and gives back references to them."""
    found = []
    for call in (lambda: pickle.dumps(Concordix()), lambda: Concordix().__setstate__(None)):
        try:
            call()
        except TypeError as e:
            found.append(e.args)
    return found + [found[0][0]]


# Free-threaded 3.13 makes code objects, classes and modules immortal once a
# second thread starts; their counts then say nothing.
IMMORTAL = 2**31


def references(objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--max-operations", type=int, default=200_000,
                        help="per thread and round")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args(argv)

    # The first round starts with nothing cached: threads race to cache.
    rounds = [hammer(args.threads, args.seconds, args.max_operations)]
    long_lived = (cached_code_objects() + refusal_arguments()
                  + [Concordix, concordance, cython_runtime])
    before = references(long_lived)
    # Debug builds count every reference: the last round, after the others
    # have warmed the interpreter's caches, must end where it began. (A test
    # build's hammer caches new code objects for good, so not there.)
    total = None if HOOKS else getattr(sys, "gettotalrefcount", None)
    total_changes = []
    for _ in range(max(1, args.rounds - 1)):
        start = total and (gc.collect(), total())[1]
        rounds.append(hammer(args.threads, args.seconds, args.max_operations))
        cython_runtime.cline_in_traceback = False
        if total:
            gc.collect()
            total_changes.append(total() - start)
    after = references(long_lived)
    counted = [(o, a - b) for o, a, b in zip(long_lived, after, before)
               if max(a, b) < IMMORTAL]
    print(json.dumps({
        "threads": args.threads,
        "rounds": len(rounds),
        "operations": sum(sum(r["operations"]) for r in rounds),
        "fewest_operations": min(min(r["operations"]) for r in rounds),
        "kinds_of_operation": KINDS,
        "entries_checked": sum(r["entries"] for r in rounds),
        "reads_checked": sum(r["reads"] for r in rounds),
        "problems": [p for r in rounds for p in r["problems"]][:10],
        "references_compared": len(counted),
        "reference_changes": [[repr(o)[:80], change] for o, change in counted if change],
        "total_refcount_changes": total_changes,
        "test_build": HOOKS,
        "gil_enabled": not FREE_THREADED,
    }, default=repr))


if __name__ == "__main__":
    main()
