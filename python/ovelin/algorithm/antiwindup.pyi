from typing import Any, SupportsFloat, SupportsIndex

_Float = SupportsFloat | SupportsIndex

class AntiWindupLimter:
    _u0: Any
    _y0: Any
    def __init__(self) -> None: ...
    def __call__(self, u: _Float, HI: Any = 100, LO: Any = 0) -> Any: ...
    def run(self, u: _Float, HI: Any = 100, LO: Any = 0) -> Any: ...
