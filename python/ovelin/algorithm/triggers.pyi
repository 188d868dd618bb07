from typing import Any

import numpy as np
import numpy.typing as npt

class RStrigger:
    S: Any
    R: Any
    Q: Any
    nQ: bool
    Q_array: npt.NDArray[np.bool_] | Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...

class TONtrigger:
    Ut: Any
    DT: Any
    ET: Any
    Yt: int
    Ut_array: npt.NDArray[np.int64] | Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...

class TOFFtrigger:
    Ut: Any
    DT: Any
    ET: Any
    Yt: int
    Ut_array: npt.NDArray[np.int64] | Any
    def __init__(self) -> None: ...
    def call(self) -> None: ...
