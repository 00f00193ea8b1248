from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import Any, ClassVar, SupportsIndex, final, overload

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray
from typing_extensions import TypeAlias

from . import random as random

# One element of a vector container: any non-str sequence of numbers, NumPy arrays included.
_FloatElement: TypeAlias = Sequence[float] | NDArray[Any]
_IntElement: TypeAlias = Sequence[int] | NDArray[Any]

@final
class DoubleVector:
    """A list-like container of float64 values; it may be a view on a geometry's storage, and numpy.asarray gives an
    (n,) array over the same memory (numpy.array a copy).
    """
    def __init__(self, arg: Sequence[float] | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: float) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: float) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: DoubleVector | Sequence[float]) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> float:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: float) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: float) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> float: ...
    def __setitem__(self, key: SupportsIndex, value: float, /) -> None: ...
    def __iter__(self) -> Iterator[float]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Always a copy of the elements, whatever `dtype`.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.float64]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> DoubleVector: ...
    def __deepcopy__(self, _memo: object) -> DoubleVector: ...

@final
class IntVector:
    """A list-like container of int32 values; it may be a view on a geometry's storage, and numpy.asarray gives an (n,)
    array over the same memory (numpy.array a copy).
    """
    def __init__(self, arg: Sequence[int] | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: int) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: int) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: IntVector | Sequence[int]) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> int:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: int) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: int) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> int: ...
    def __setitem__(self, key: SupportsIndex, value: int, /) -> None: ...
    def __iter__(self) -> Iterator[int]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Always a copy of the elements, whatever `dtype`.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.int32]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> IntVector: ...
    def __deepcopy__(self, _memo: object) -> IntVector: ...

@final
class Vector2dVector:
    """A list-like container of 2-vectors of float64; it may be a view on a geometry's storage, and numpy.asarray gives
    an (n, 2) array over the same memory (numpy.array a copy).
    """
    # `arg` is read as an (n, 2) array: another Vector2dVector, a float64 array, or
    # anything numpy.asarray turns into one (a list of 2-element rows, say).
    def __init__(self, arg: ArrayLike | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: _FloatElement) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: _FloatElement) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: ArrayLike) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> NDArray[np.float64]:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: _FloatElement) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: _FloatElement) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.float64]: ...
    def __setitem__(self, key: SupportsIndex, value: _FloatElement, /) -> None: ...
    def __iter__(self) -> Iterator[NDArray[np.float64]]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Without dtype and with copy None or False the array shares memory with the container
    # (or its geometry); with a dtype, or copy=True (what np.array passes), it is a detached copy.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.float64]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> Vector2dVector: ...
    def __deepcopy__(self, _memo: object) -> Vector2dVector: ...

@final
class Vector2iVector:
    """A list-like container of 2-vectors of int32, such as (source, target) correspondences; it may be a view on a
    geometry's storage, and numpy.asarray gives an (n, 2) array over the same memory (numpy.array a copy).
    """
    # `arg` is read as an (n, 2) array: another Vector2iVector, a int32 array, or
    # anything numpy.asarray turns into one (a list of 2-element rows, say).
    def __init__(self, arg: ArrayLike | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: _IntElement) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: _IntElement) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: ArrayLike) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> NDArray[np.int32]:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: _IntElement) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: _IntElement) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.int32]: ...
    def __setitem__(self, key: SupportsIndex, value: _IntElement, /) -> None: ...
    def __iter__(self) -> Iterator[NDArray[np.int32]]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Without dtype and with copy None or False the array shares memory with the container
    # (or its geometry); with a dtype, or copy=True (what np.array passes), it is a detached copy.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.int32]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> Vector2iVector: ...
    def __deepcopy__(self, _memo: object) -> Vector2iVector: ...

@final
class Vector3dVector:
    """A list-like container of 3-vectors of float64: points, normals, colours; it may be a view on a geometry's
    storage, and numpy.asarray gives an (n, 3) array over the same memory (numpy.array a copy).
    """
    # `arg` is read as an (n, 3) array: another Vector3dVector, a float64 array, or
    # anything numpy.asarray turns into one (a list of 3-element rows, say).
    def __init__(self, arg: ArrayLike | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: _FloatElement) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: _FloatElement) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: ArrayLike) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> NDArray[np.float64]:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: _FloatElement) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: _FloatElement) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.float64]: ...
    def __setitem__(self, key: SupportsIndex, value: _FloatElement, /) -> None: ...
    def __iter__(self) -> Iterator[NDArray[np.float64]]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Without dtype and with copy None or False the array shares memory with the container
    # (or its geometry); with a dtype, or copy=True (what np.array passes), it is a detached copy.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.float64]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> Vector3dVector: ...
    def __deepcopy__(self, _memo: object) -> Vector3dVector: ...

@final
class Vector3iVector:
    """A list-like container of 3-vectors of int32, such as triangles; it may be a view on a geometry's storage, and
    numpy.asarray gives an (n, 3) array over the same memory (numpy.array a copy).
    """
    # `arg` is read as an (n, 3) array: another Vector3iVector, a int32 array, or
    # anything numpy.asarray turns into one (a list of 3-element rows, say).
    def __init__(self, arg: ArrayLike | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: _IntElement) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: _IntElement) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: ArrayLike) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> NDArray[np.int32]:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: _IntElement) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: _IntElement) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.int32]: ...
    def __setitem__(self, key: SupportsIndex, value: _IntElement, /) -> None: ...
    def __iter__(self) -> Iterator[NDArray[np.int32]]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Without dtype and with copy None or False the array shares memory with the container
    # (or its geometry); with a dtype, or copy=True (what np.array passes), it is a detached copy.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.int32]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> Vector3iVector: ...
    def __deepcopy__(self, _memo: object) -> Vector3iVector: ...

@final
class Vector4iVector:
    """A list-like container of 4-vectors of int32; it may be a view on a geometry's storage, and numpy.asarray gives
    an (n, 4) array over the same memory (numpy.array a copy).
    """
    # `arg` is read as an (n, 4) array: another Vector4iVector, a int32 array, or
    # anything numpy.asarray turns into one (a list of 4-element rows, say).
    def __init__(self, arg: ArrayLike | None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def append(self, value: _IntElement) -> None:
        """Adds one element at the end."""
    def insert(self, idx: SupportsIndex, value: _IntElement) -> None:
        """Inserts one element before position `idx`."""
    def extend(self, other: ArrayLike) -> None:
        """Adds every element of the other container or array-like at the end."""
    def pop(self, idx: SupportsIndex | None = None) -> NDArray[np.int32]:
        """Removes and returns the element at `idx` (default the last); IndexError when out of range."""
    def remove(self, value: _IntElement) -> None:
        """Removes the first element equal to `value`; ValueError when there is none."""
    def count(self, value: _IntElement) -> int:
        """How many elements equal `value`."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.int32]: ...
    def __setitem__(self, key: SupportsIndex, value: _IntElement, /) -> None: ...
    def __iter__(self) -> Iterator[NDArray[np.int32]]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Without dtype and with copy None or False the array shares memory with the container
    # (or its geometry); with a dtype, or copy=True (what np.array passes), it is a detached copy.
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> NDArray[np.int32]: ...
    @overload
    def __array__(self, dtype: DTypeLike, copy: bool | None = None) -> NDArray[Any]: ...
    def __copy__(self) -> Vector4iVector: ...
    def __deepcopy__(self, _memo: object) -> Vector4iVector: ...

@final
class Matrix3dVector:
    """A list-like container of 3x3 float64 matrices."""
    # Read-only list of 3x3 matrices; it cannot be built from data.
    def __init__(self, arg: None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.float64]: ...
    def __iter__(self) -> Iterator[NDArray[np.float64]]: ...

@final
class Matrix4dVector:
    """A list-like container of 4x4 float64 matrices."""
    # Read-only list of 4x4 matrices; it cannot be built from data.
    def __init__(self, arg: None = None) -> None:
        """An empty container, or one holding copies of the given elements (any array-like of the right shape)."""
    def clear(self) -> None:
        """Removes every element."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> NDArray[np.float64]: ...
    def __iter__(self) -> Iterator[NDArray[np.float64]]: ...

@final
class VerbosityLevel:
    """How much the library would say: Error, Warning, Info or Debug (stored only; nothing is printed)."""
    Error: ClassVar[VerbosityLevel]
    Warning: ClassVar[VerbosityLevel]
    Info: ClassVar[VerbosityLevel]
    Debug: ClassVar[VerbosityLevel]
    @property
    def name(self) -> str:
        """The member's name."""
    @property
    def value(self) -> int:
        """The member's integer value."""
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

Error: VerbosityLevel
Warning: VerbosityLevel
Info: VerbosityLevel
Debug: VerbosityLevel

@final
class VerbosityContextManager:
    """Sets the verbosity level for a `with` block and restores the previous one after it."""
    def __init__(self, level: VerbosityLevel | int) -> None:
        """The level to hold inside the block."""
    # Returns None, so `with VerbosityContextManager(...) as x` binds x to None.
    def __enter__(self) -> None: ...
    def __exit__(
        self,
        _t: type[BaseException] | None,
        _v: BaseException | None,
        _tb: TracebackType | None,
    ) -> None: ...

def set_verbosity_level(verbosity_level: VerbosityLevel | int) -> None:
    """Stores the process-wide verbosity level."""
def get_verbosity_level() -> VerbosityLevel:
    """The stored process-wide verbosity level."""
def reset_print_function() -> None:
    """Kept for compatibility; the library prints nothing, so there is nothing to reset."""
