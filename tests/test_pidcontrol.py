import copy
import inspect
import math
import pickle

import numpy as np
import pytest

from ovelin.algorithm.pidcontrol import PID

SAVE_KEYS = ["OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"]
WORKING = ["_et1", "_et2", "_OP1", "_FF1", "_dOPD1"]
SAVE_ATTRS = ["_OP_save", "_OPcal_save", "_dOP_save", "_dOP_P_save", "_dOP_I_save", "_dOP_D_save", "_dFF_save"]


def reference_pid(samples, kp=1.0, ti=60.0, td=0.0, n=10.0, ts=1.0, hi=100.0, lo=0.0):
    """Independent straight-line model of the controller, for comparison."""
    out, st = [], None
    for mode, sp, pv, tv, ff in samples:
        if st is None:
            st = dict(et1=sp - pv, et2=sp - pv, op1=tv, ff1=ff, d1=0.0)
        if round(mode) != 1:
            out.append(min(max(tv, lo), hi))
            st = dict(et1=sp - pv, et2=sp - pv, op1=tv, ff1=ff, d1=0.0)
            continue
        et = sp - pv
        dp = kp * (et - st["et1"])
        di = kp * ts / ti * et if ti > 0 else 0.0
        dd = 0.0
        if td > 0:
            tao = td / n
            dd = (tao * st["d1"] + kp * td * (et - 2 * st["et1"] + st["et2"])) / max(tao + ts, 1e-6)
        op = min(max(st["op1"] + (dp + di + dd + (ff - st["ff1"])), lo), hi)
        st = dict(et1=et, et2=st["et1"], op1=op, ff1=ff, d1=dd)
        out.append(op)
    return out


class TestConstruction:
    def test_defaults(self):
        pid = PID()
        assert pid.getPIDParam() == (1.0, 60.0, 0.0, 10.0)
        assert pid.getOPHighLowLimit() == (100.0, 0.0)
        assert pid._TS == 1.0 and pid._iniFlag is True

    def test_ts_stored_unchanged(self):
        assert type(PID(2)._TS) is int
        assert PID(TS=0.5)._TS == 0.5

    def test_ts_without_float_value_is_refused(self):
        with pytest.raises(TypeError):
            PID("1")

    @pytest.mark.parametrize("name", WORKING + SAVE_ATTRS)
    def test_state_missing_until_first_run(self, name):
        with pytest.raises(AttributeError, match=f"'PID' object has no attribute '{name}'"):
            getattr(PID(), name)

    def test_auto_and_save_state_before_first_run(self):
        with pytest.raises(AttributeError, match="'_et1'"):
            PID().PID_Auto(1.0, 2.0)
        with pytest.raises(AttributeError, match="'_OP_save'"):
            PID().getInnerSaveState()

    def test_new_attributes_and_missing_ones(self):
        pid = PID()
        pid.loop_name = "FIC-101"
        assert pid.loop_name == "FIC-101"
        with pytest.raises(AttributeError, match="no_such"):
            pid.no_such


class TestRun:
    def test_first_automatic_call(self):
        pid = PID()
        assert pid.run(1, 50, 40, 30) == pytest.approx(30 + 10 / 60, abs=1e-15)
        assert pid.getInnerSaveState() == {
            "OP": 30 + 1 / 60 * 10, "OPcal": 30 + 1 / 60 * 10, "dOP": 1 / 60 * 10,
            "dOP_P": 0.0, "dOP_I": 1 / 60 * 10, "dOP_D": 0.0, "dFF": 0.0,
        }
        assert list(pid.getInnerSaveState()) == SAVE_KEYS

    def test_manual_output_is_limited_tracking_value(self):
        pid = PID()
        assert pid.run(0, 50, 40, 150) == 100.0
        assert pid.getInnerSaveState()["OP"] == 150
        assert pid._OP1 == 150.0 and pid._et1 == pid._et2 == 10.0

    @pytest.mark.parametrize("mode,auto", [(0.5, False), (2, False), (1.4, True), (1.5, False), (-1, False), (0.51, True)])
    def test_mode_rounding_ties_to_even(self, mode, auto):
        pid = PID()
        pid.run(0, 50, 40, 30)
        op = pid.run(mode, 50, 40, 30)
        assert (op != 30.0) == auto

    @pytest.mark.parametrize("mode,error,text", [
        (math.nan, ValueError, "cannot convert float NaN to integer"),
        (math.inf, OverflowError, "cannot convert float infinity to integer"),
        (-math.inf, OverflowError, "cannot convert float infinity to integer"),
    ])
    def test_mode_without_integer_value(self, mode, error, text):
        pid = PID()
        with pytest.raises(error, match=text):
            pid.run(mode, 50, 40, 30)
        # The first-call initialisation has happened, nothing else.
        assert pid._iniFlag is False and pid._OP1 == 30.0

    @pytest.mark.parametrize("bad", ["1", None, [1.0], object()])
    def test_non_numeric_argument_leaves_controller_unchanged(self, bad):
        pid = PID()
        pid.run(1, 50, 40, 30)
        before = pid.__getstate__()
        for position in range(5):
            args = [1, 50, 40, 30, 0.0]
            args[position] = bad
            with pytest.raises(TypeError):
                pid.run(*args)
            with pytest.raises(TypeError):
                pid.PID_Auto(*(args[1:3] + [bad]))
        assert pid.__getstate__() == before

    def test_sample_time_must_be_a_number(self):
        with pytest.raises(TypeError, match="^must be real number, not NoneType$"):
            PID(None)

    def test_numeric_argument_kinds(self):
        class Floaty:
            def __float__(self):
                return 40.0

        class Indexy:
            def __index__(self):
                return 30

        a, b = PID(), PID()
        assert a.run(np.float32(1), np.int64(50), Floaty(), Indexy()) == b.run(1.0, 50.0, 40.0, 30.0)
        assert a.run(True, 50, 40, 30) == b.run(1, 50, 40, 30)

    def test_keywords_and_argument_errors(self):
        a, b = PID(), PID()
        assert a.run(TV=30, PV=40, SP=50, MODE=1, FF=2) == b.run(1, 50, 40, 30, 2)
        assert a.PID_Auto(SP=50, PV=40) == b.PID_Auto(50, 40)
        with pytest.raises(TypeError, match=r"run\(\) missing required argument 'TV' \(pos 4\)"):
            a.run(1, 50, 40)
        with pytest.raises(TypeError, match=r"run\(\) takes at most 5 arguments \(6 given\)"):
            a.run(1, 2, 3, 4, 5, 6)
        with pytest.raises(TypeError, match="unexpected keyword argument 'sp'"):
            a.run(1, 2, 3, 4, sp=1)
        with pytest.raises(TypeError, match=r"given by name \('MODE'\) and position \(1\)"):
            a.run(1, 2, 3, 4, MODE=1)
        assert str(inspect.signature(PID.run)) == "(self, /, MODE, SP, PV, TV, FF=0.0)"

    def test_matches_reference_over_random_sequence(self):
        rng = np.random.default_rng(7)
        samples = [(float(rng.integers(0, 2) if k % 17 == 0 else 1), *rng.uniform(-50, 150, 3), rng.uniform(-5, 5))
                   for k in range(500)]
        pid = PID(TS=0.5)
        pid.setPIDParam(2.5, 12.0, 3.0, 8.0)
        pid.setOPHighLowLimit(90.0, 5.0)
        got = [pid.run(*s) for s in samples]
        assert got == reference_pid(samples, 2.5, 12.0, 3.0, 8.0, 0.5, 90.0, 5.0)


class TestBehaviour:
    def test_bumpless_switch_to_automatic(self):
        pid = PID()
        for _ in range(5):
            pid.run(0, 50, 50, 42.0)
        assert pid.run(1, 50, 50, 0.0) == 42.0

    def test_output_held_at_limit_does_not_wind_up(self):
        pid = PID()
        pid.setPIDParam(KP=1.0, TI=1.0)
        pid.run(0, 50, 40, 99.0)
        for _ in range(20):
            assert pid.run(1, 50, 40, 0) == 100.0
        assert pid._OP1 == 100.0
        # A negative error leaves the limit at once.
        assert pid.run(1, 50, 60, 0) < 100.0

    def test_feedforward_step_adds_once(self):
        a, b = PID(), PID()
        for pid in (a, b):
            pid.run(0, 50, 50, 40.0)
        assert a.run(1, 50, 50, 0, FF=5.0) == b.run(1, 50, 50, 0) + 5.0
        for _ in range(3):
            assert a.run(1, 50, 50, 0, FF=5.0) == b.run(1, 50, 50, 0) + 5.0
        assert a.getInnerSaveState()["dFF"] == 0.0

    def test_derivative_divisor_floor(self):
        pid = PID(TS=0.0)
        pid.setPIDParam(KP=1.0, TI=0.0, TD=1e-9, N=10.0)
        pid.run(0, 0, 0, 0)
        op = pid.run(1, 1, 0, 0)
        assert op == pytest.approx(1.0 + 1e-9 / 1e-6)

    def test_first_call_in_manual_then_auto_with_derivative(self):
        samples = [(0, 50, 40, 30, 0), (1, 50, 41, 0, 0), (1, 52, 41, 0, 1), (1, 52, 43, 0, 1)]
        pid = PID()
        pid.setPIDParam(1.5, 20.0, 4.0, 5.0)
        assert [pid.run(*s) for s in samples] == reference_pid(samples, 1.5, 20.0, 4.0, 5.0)


class TestParameters:
    def test_bounds(self):
        pid = PID()
        pid.setPIDParam(TI=0)
        assert pid._TI == 0
        pid.setPIDParam(TI=-5, TD=-1, N=0)
        assert pid.getPIDParam() == (1.0, 0.0, 0.0, 1e-6)
        assert type(pid._TI) is float

    def test_values_stored_unchanged(self):
        pid = PID()
        pid.setPIDParam(2, 30, 1, 10)
        assert pid.getPIDParam() == (2, 30, 1, 10)
        assert all(type(v) is int for v in pid.getPIDParam())
        pid.setPIDParam(-2.0)
        assert pid._KP == -2.0

    def test_no_integral_with_ti_zero(self):
        pid = PID()
        pid.setPIDParam(TI=0)
        pid.run(0, 50, 40, 30)
        assert pid.run(1, 50, 40, 0) == 30.0

    def test_bad_parameter_changes_nothing(self):
        pid = PID()
        with pytest.raises(TypeError):
            pid.setPIDParam(2.0, "x")
        assert pid.getPIDParam() == (1.0, 60.0, 0.0, 10.0)

    def test_tuning_change_is_bumpless(self):
        pid = PID()
        pid.run(0, 50, 50, 40.0)
        pid.setPIDParam(KP=5.0, TI=2.0)
        assert pid.run(1, 50, 50, 0) == 40.0

    def test_limits(self, capsys):
        pid = PID()
        pid.setOPHighLowLimit(0, 100)
        assert capsys.readouterr().out == "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!\n"
        assert pid.getOPHighLowLimit() == (100.0, 0.0)
        pid.setOPHighLowLimit(50, 50)
        assert pid.getOPHighLowLimit() == (50.0, 50.0)
        assert type(pid._OP_HI) is float
        assert pid.run(0, 0, 0, 80) == 50.0
        pid.setOPHighLowLimit(OP_LO=10)
        assert pid.getOPHighLowLimit() == (100.0, 10.0)
        assert capsys.readouterr().out == ""

    def test_limit_with_nan_tracking_value(self):
        assert math.isnan(PID().run(0, 0, 0, math.nan))


class TestInnerState:
    def test_set_and_reset(self):
        pid = PID()
        pid._setInnerSaveState(1, 2.0, 3, 4, 5, 6, "seven")
        assert pid.getInnerSaveState() == dict(zip(SAVE_KEYS, [1, 2.0, 3, 4, 5, 6, "seven"]))
        assert pid._dFF_save == "seven"
        with pytest.raises(TypeError):
            pid._setInnerSaveState(1, 2, 3)
        pid._resetPID(50, 40, 30, 2)
        assert pid.getInnerSaveState() == dict(zip(SAVE_KEYS, [30, 30, 0.0, 0.0, 0.0, 0.0, 0.0]))
        assert (pid._et1, pid._et2, pid._OP1, pid._FF1, pid._dOPD1) == (10.0, 10.0, 30.0, 2.0, 0.0)
        assert pid._iniFlag is False
        pid.run(1, 50, 40, 0, 2)
        assert type(pid.getInnerSaveState()["OP"]) is float

    def test_ini_flag_forces_reinitialisation(self):
        pid = PID()
        pid.run(1, 50, 40, 30)
        pid._iniFlag = True
        assert pid.run(1, 50, 40, 70) == pytest.approx(70 + 10 / 60)

    def test_pid_form_text(self):
        lines = PID().getPIDForm().split("\n")
        assert lines[0] == "" and lines[-1] == "" and len(lines) == 21
        assert lines[4] == "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]"
        assert lines[1] == "Name: Non-Interacting A" and lines[19] == "TS = 1"
        assert lines[10:13] == ["    1        TS*z", "---- = ------------", "    s        z - 1"]


class TestCopyAndPickle:
    def make_running(self):
        pid = PID(TS=0.5)
        pid.setPIDParam(2, 20.0, 3.0, 7.0)
        pid.setOPHighLowLimit(80.0, -10.0)
        pid.tag = "TIC-7"
        for k in range(10):
            pid.run(1 if k > 2 else 0, 50, 40 + k, 30, k * 0.1)
        return pid

    @pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))])
    def test_restored_controller_continues_identically(self, clone):
        pid = self.make_running()
        twin = clone(pid)
        assert twin is not pid and twin.tag == "TIC-7"
        assert twin.getPIDParam() == (2, 20.0, 3.0, 7.0) and type(twin._KP) is int
        for k in range(50):
            args = (1, 55 - k % 7, 40 + math.sin(k), 0, 0.2)
            assert twin.run(*args) == pid.run(*args)
        assert twin.getInnerSaveState() == pid.getInnerSaveState()

    def test_fresh_and_custom_save_state_survive_pickling(self):
        fresh = pickle.loads(pickle.dumps(PID()))
        assert fresh._iniFlag is True
        with pytest.raises(AttributeError):
            fresh._et1
        pid = PID()
        pid._setInnerSaveState(1, 2, 3, 4, 5, 6, 7)
        assert pickle.loads(pickle.dumps(pid)).getInnerSaveState()["OP"] == 1

    def test_uninitialised_instance_does_not_crash(self):
        blank = PID.__new__(PID)
        with pytest.raises(TypeError):
            blank.run(1, 2, 3, 4)
