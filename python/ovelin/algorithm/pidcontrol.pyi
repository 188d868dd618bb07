from typing import Any, SupportsFloat, SupportsIndex

_Float = SupportsFloat | SupportsIndex

class PID:
    _TS: Any
    _KP: Any
    _TI: Any
    _TD: Any
    _N: Any
    _OP_HI: float
    _OP_LO: float
    _iniFlag: bool
    _et1: float
    _et2: float
    _OP1: float
    _FF1: float
    _dOPD1: float
    _OP_save: Any
    _OPcal_save: Any
    _dOP_save: Any
    _dOP_P_save: Any
    _dOP_I_save: Any
    _dOP_D_save: Any
    _dFF_save: Any
    def __init__(self, TS: _Float = 1.0) -> None: ...
    def run(self, MODE: _Float, SP: _Float, PV: _Float, TV: _Float, FF: _Float = 0.0) -> float: ...
    def PID_Auto(self, SP: _Float, PV: _Float, FF: _Float = 0.0) -> float: ...
    def setPIDParam(self, KP: _Float = 1.0, TI: _Float = 60.0, TD: _Float = 0.0, N: _Float = 10.0) -> None: ...
    def getPIDParam(self) -> tuple[Any, Any, Any, Any]: ...
    def setOPHighLowLimit(self, OP_HI: _Float = 100.0, OP_LO: _Float = 0.0) -> None: ...
    def getOPHighLowLimit(self) -> tuple[float, float]: ...
    def getInnerSaveState(self) -> dict[str, Any]: ...
    def _setInnerSaveState(
        self, OP_save: Any, OPcal_save: Any, dOP_save: Any, dOP_P_save: Any,
        dOP_I_save: Any, dOP_D_save: Any, dFF_save: Any,
    ) -> None: ...
    def _resetPID(self, SP: _Float, PV: _Float, TV: _Float, FF: _Float) -> None: ...
    def getPIDForm(self) -> str: ...
