from collections import deque
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

class Delay:
    def __init__(self, max_cache: SupportsIndex | None = 10000) -> None: ...
    def __call__(self, Ut: Any, nLag: SupportsIndex = 1) -> Any: ...
    @property
    def _cache(self) -> deque[Any]: ...

class Delay_Algorithm:
    Ut: Any
    nLag: SupportsIndex  # class-level defaults: Ut = 0, nLag = 1, Yt = 0
    Yt: Any
    U_array: npt.NDArray[np.float64] | Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...
