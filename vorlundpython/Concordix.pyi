from typing import Any, Dict, NoReturn, Type, TypeVar

# Stubs are read by type checkers only: typing_extensions here is the type
# checker's own copy (typing has disjoint_base from 3.15 on).
from typing_extensions import disjoint_base

_T = TypeVar("_T", bound="Concordix")

__test__: Dict[str, Any]

# Instances have a layout of their own: a class cannot inherit from this one
# and from another class whose instances do (int, tuple, ...).
@disjoint_base
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
    # Creation accepts and ignores any arguments; __init__ is object's.
    def __new__(cls: Type[_T], *args: Any, **kwargs: Any) -> _T: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __state: object) -> NoReturn: ...
