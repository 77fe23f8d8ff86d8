"""Comparison tallies as a native class: ``vorlundpython.Concordix.Concordix``."""

import os as _os

__all__ = ["get_include"]


def get_include() -> str:
    """Directory to put on a native consumer's include path.

    It holds ``Concordix.h``, the instance layout and the C-level table that
    fills all four counts of an instance in one call.
    """
    return _os.path.dirname(_os.path.abspath(__file__))
