from collections.abc import Iterator, MutableSequence, Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex

def c2d(
    Gs_num: Sequence[float] | npt.ArrayLike,
    Gs_den: Sequence[float] | npt.ArrayLike,
    Gs_delay: _Float,
    Ts: _Float = 1,
    method: str = "zoh",
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def dict2pairs(d: dict[Any, Any], path: str = "") -> Iterator[tuple[str, Any]]: ...
def pair2dict(pair: tuple[str, Any], d: dict[Any, Any]) -> None: ...
def str2xpyp(s: str) -> tuple[list[float], list[float]]: ...
def dataStore(xArray: MutableSequence[Any] | npt.NDArray[Any], xt: Any) -> None: ...
def current_time_str() -> str: ...
