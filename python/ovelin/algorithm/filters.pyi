from typing import Any, Sequence, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex
_Coefficients = Union[Sequence[_Float], npt.ArrayLike]

class zFilter:
    _Bz: npt.NDArray[np.float64]
    _Az: npt.NDArray[np.float64]
    _zi: npt.NDArray[np.float64]
    _u_ini: Any
    _y_ini: Any
    def __init__(
        self,
        Bz: _Coefficients = [0, 0.1],
        Az: _Coefficients = [1, -0.9],
        u_ini: _Float | None = None,
        y_ini: _Float | None = None,
    ) -> None: ...
    def __call__(self, Ut: _Float, y_ini: _Float = 0.0) -> float: ...
    def run(self, Ut: _Float, y_ini: _Float = 0.0) -> float: ...
    def run_multistep(self, U_arr: Union[list, np.ndarray], y_ini: _Float = 0.0) -> npt.NDArray[np.float64]: ...

class sFilter:
    _Bs: npt.NDArray[np.float64]
    _As: npt.NDArray[np.float64]
    _Ts: Any
    @property
    def _zfilter(self) -> zFilter: ...
    def __init__(
        self,
        Bs: _Coefficients = [1],
        As: _Coefficients = [5, 1],
        Ts: _Float = 1,
        u_ini: _Float | None = None,
        y_ini: _Float | None = None,
    ) -> None: ...
    def __call__(self, Ut: _Float, y_ini: _Float = 0.0) -> float: ...
    def run(self, Ut: _Float, y_ini: _Float = 0.0) -> float: ...
    def run_multistep(self, U_arr: list, y_ini: _Float = 0.0) -> npt.NDArray[np.float64]: ...
