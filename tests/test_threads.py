"""Threads sharing one instance, and each making many of its own, with the
interpreter switching between them as often as it can."""
import itertools
import pickle
import sys
import threading
import time
import traceback

from vorlundpython.Concordix import Concordix

FIELDS = ("matching", "nonMatching", "nonMissing", "total")
SETTER = "vorlundpython.Concordix.Concordix.{}.__set__"
NATIVE = {"matching": 1358, "nonMatching": 1434, "nonMissing": 1510, "total": 1585}
REDUCE = "vorlundpython.Concordix.Concordix.__reduce_cython__"
THREADS = 6
SECONDS = 1.0


class SwitchesThreads:
    """Converts through Python code, so that a switch may happen inside the
    assignment."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        time.sleep(0)
        return self.value


def module_entries(error):
    return [e.name for e in traceback.extract_tb(error.__traceback__)
            if e.filename in (".\\vorlundpython\\Concordix", "stringsource")]


def test_threads_hammer_shared_and_fresh_instances(consumer, switch, record_property):
    import cython_runtime

    switch(False)
    shared = Concordix()
    written = {field: {0} for field in FIELDS}
    seen = {field: set() for field in FIELDS}
    problems, counts = [], [0] * THREADS
    stop = threading.Event()

    def worker(index):
        base = (index + 1) * 1_000_000
        values = itertools.count(base)
        fresh = Concordix()
        operations = itertools.cycle(range(7))
        while not stop.is_set():
            operation = next(operations)
            field = FIELDS[counts[index] % 4]
            counts[index] += 1
            if operation == 0:
                value = next(values)
                written[field].add(value)
                setattr(shared, field, value)
            elif operation == 1:
                value = next(values)
                written[field].add(value)
                setattr(shared, field, SwitchesThreads(value))
            elif operation == 2:
                seen[field].add(getattr(shared, field))
            elif operation == 3:
                try:
                    setattr(shared if counts[index] % 2 else fresh, field, "x")
                except TypeError as e:
                    names = module_entries(e)
                    plain = SETTER.format(field)
                    native = f"{plain} (vorlundpython/cpp_src/Concordix:{NATIVE[field]})"
                    if len(names) != 1 or names[0] not in (plain, native):
                        problems.append(("failing assignment", names))
                else:
                    problems.append(("failing assignment", "no error"))
            elif operation == 4:
                try:
                    pickle.dumps(shared)
                except TypeError as e:
                    names = [n.split(" (")[0] for n in module_entries(e)]
                    if names != [REDUCE]:
                        problems.append(("pickling", names))
            elif operation == 5:
                record = [next(values) for _ in range(4)]
                for field_name, value in zip(("matching", "total", "nonMissing", "nonMatching"),
                                             record):
                    written[field_name].add(value)
                consumer.fill(shared, *record)
            else:
                # A fresh instance and this thread's own: it must read back
                # exactly what was written, whatever the others do meanwhile.
                fresh = Concordix()
                value = next(values)
                consumer.fill_through_instance(fresh, value, value + 1, value + 2, value + 3)
                setattr(fresh, field, SwitchesThreads(-value))
                expected = {"matching": value, "total": value + 1, "nonMissing": value + 2,
                            "nonMatching": value + 3, field: -value}
                got = {name: getattr(fresh, name) for name in FIELDS}
                if got != expected:
                    problems.append(("fresh instance", got, expected))
                cython_runtime.cline_in_traceback = bool(value % 2)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        time.sleep(SECONDS)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        sys.setswitchinterval(interval)
    for field in FIELDS:
        seen[field].add(getattr(shared, field))

    record_property("threads", THREADS)
    record_property("operations", sum(counts))
    print(f"{THREADS} threads, {sum(counts)} operations ({counts})")
    assert not problems, problems[:5]
    for field in FIELDS:
        assert seen[field] <= written[field], (field, sorted(seen[field] - written[field])[:5])
    # Every thread went through every operation (under valgrind a second is short).
    assert min(counts) >= 7, counts
