from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex

def positive_parameter_property(name: str, expected_type: type | tuple[type, ...]) -> property: ...
def filter_stp(
    N: int, tao: _Float, alpha: _Float, r1: _Float = 0.0, r2: _Float = 1.0
) -> npt.NDArray[np.float64]: ...

class LDLAG:
    alpha: float | int
    tao: float | int
    _alpha: Any
    _tao: Any
    _Ts: Any
    _b: npt.NDArray[np.float64]
    _a: npt.NDArray[np.float64]
    _u_ini: Any
    _y_ini: Any
    _zi: npt.NDArray[np.float64] | None
    def __init__(
        self, alpha: _Float = 0.0, tao: _Float = 5.0, Ts: int = 1, u_ini: _Float | None = None, y_ini: _Float | None = None
    ) -> None: ...
    def __call__(self, u: _Float) -> float: ...
    def multi_step(self, u: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def _modify_param(self) -> None: ...
