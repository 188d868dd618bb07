from typing import Any, SupportsFloat, SupportsIndex

_Float = SupportsFloat | SupportsIndex

class RateLimit:
    u_last: Any
    Ts: Any
    def __init__(self, u_ini: _Float, Ts: Any = 1) -> None: ...
    def __call__(self, u_end: Any, PRLimPerMin: Any = 60, NRLimPerMin: Any = None) -> float: ...
    def reset(self, u_ini: _Float) -> None: ...
