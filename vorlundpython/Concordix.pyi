from typing import Any, NoReturn

class Concordix:
    """Four 32-bit signed counts of a comparison.

    Assignment converts by the integer rules (ints, bools, and anything with
    __int__) and refuses values outside -2**31 .. 2**31-1; the counts cannot
    be deleted. Instances refuse pickling and copying.
    """

    matching: int
    nonMatching: int
    nonMissing: int
    total: int
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __state: object) -> NoReturn: ...
