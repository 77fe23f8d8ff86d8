"""A short tour of vorlundpython.Concordix and the example consumer."""
import pickle
import sys
import traceback

import concordance
from vorlundpython.Concordix import Concordix

observed = ["A", "C", None, "G", "T", "T", None]
expected = ["A", "G", "G", None, "T", "A", "C"]
tally = concordance.compare(observed, expected)
print("compare(observed, expected), filled from C in one call:")
for name in ("matching", "nonMatching", "nonMissing", "total"):
    print(f"  {name:12} {getattr(tally, name)}")

tally.total = 10  # counts are plain attributes too
print("after tally.total = 10:", tally.total)

print("\nA value that is not an integer is refused, with an entry naming the accessor:")
try:
    tally.matching = "seven"
except TypeError:
    traceback.print_exc(limit=-1, file=sys.stdout)

print("\nInstances refuse pickling:")
try:
    pickle.dumps(Concordix())
except TypeError:
    traceback.print_exc(limit=-1, file=sys.stdout)
