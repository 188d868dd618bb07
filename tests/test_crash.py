"""Calls everything the package offers with hostile arguments and wrong `self` objects.

Modules, functions, classes, methods, properties and special methods are found by
introspection, so modules added later are covered without edits. The calls run in
forked children, many per child: any exception is an answer, but a signal, an abnormal
exit, a hang or a C++ type name in a message fails and names the call. With
OVELIN_FUZZ_CALLS=N (seed OVELIN_FUZZ_SEED) about N randomly composed calls replace the table.
"""

import ast
import copy
import ctypes
import datetime
import decimal
import faulthandler
import fractions
import importlib
import inspect
import math
import mmap
import os
import pickle
import pkgutil
import random
import re
import resource
import select
import signal
import sys
import tempfile
import time
import warnings

import numpy as np
import pytest

import ovelin.algorithm as package

MODULES = sorted(m.name for m in pkgutil.iter_modules(package.__path__))
CPP_NAMES = ("std::", "bad_cast", "nanobind::")
HANG_SECONDS = float(os.environ.get("OVELIN_HANG_SECONDS", "10"))  # longer for slow (sanitized) builds
MEMORY_HEADROOM = 1 << 30  # beyond this a child gets MemoryError instead of swapping the machine
SPECIAL = {"__init__", "__call__", "__getstate__", "__setstate__", "__reduce_ex__", "__reduce__", "__copy__",
           "__deepcopy__", "__new__", "__iter__", "__next__", "__getattr__", "__repr__", "__eq__", "__dict__"}
# Values for documented argument names, so that a hostile value in one position gets past the others.
BENIGN = {"Gs_num": [1.0], "Gs_den": [1.0, 1.0], "Gs_delay": 0.0, "method": "zoh", "d": {}, "path": "",
          "pair": ("a.b", 1.0), "s": "1,2#3,4", "xArray": [1.0, 2.0, 3.0], "matker": ".git", "N": 3, "name": "x",
          "expected_type": float, "U_arr": [1.0, 2.0], "Ts": 1}


def boom(*args, **kwargs):
    raise RuntimeError("hostile")


def odd(base, *args, **methods):
    return type(f"Odd{base.__name__.title()}", (base,), methods)(*args)


def hostile_values():
    """(label, value) pairs: every builtin type, edge numbers, objects whose protocols misbehave, NumPy oddities."""
    raising = odd(object, **{n: boom for n in ("__float__", "__index__", "__int__", "__len__", "__iter__",
                                               "__getitem__", "__eq__", "__hash__", "__bool__", "__lt__", "__str__",
                                               "__format__", "__complex__", "__array__", "__getattr__")})
    wrong = odd(object, __float__=lambda s: "1.0", __index__=lambda s: 1.5, __int__=lambda s: None,
                __len__=lambda s: -1, __iter__=lambda s: 5, __getitem__=lambda s, i: s, __eq__=lambda s, o: raising,
                __hash__=lambda s: 7, __bool__=lambda s: "yes", __complex__=lambda s: 1)
    loop_list, loop_dict, read_only = [], {}, np.arange(4.0)
    loop_list.append(loop_list)
    loop_dict["a"] = loop_dict
    read_only.flags.writeable = False
    items = [
        ("None", None), ("True", True), ("0", 0), ("-1", -1), ("1.0", 1.0), ("-0.0", -0.0), ("nan", math.nan),
        ("inf", math.inf), ("-inf", -math.inf), ("1e308", 1e308), ("5e-324", 5e-324), ("10**400", 10 ** 400),
        ("-10**400", -10 ** 400), ("2**64", 2 ** 64), ("-2**63-1", -2 ** 63 - 1), ("1j", 1j),
        ("complex(nan)", complex(math.nan, 0)), ("''", ""), ("'a.b'", "a.b"), ("'a..b.'", "a..b."),
        ("'1,2#3,4'", "1,2#3,4"), ("'1.5'", "1.5"), ("'\\x00'", "\x00"), ("'\\ud800'", "\ud800"), ("b'1'", b"1"),
        ("bytearray", bytearray(b"12")), ("[]", []), ("[1.0]", [1.0]), ("[[1.0]]", [[1.0]]), ("[None]", [None]),
        ("['a']", ["a"]), ("[1.0]*300", [1.0] * 300), ("()", ()), ("('a.b', 1)", ("a.b", 1)), ("('a', 1, 2)", ("a", 1, 2)),
        ("{}", {}), ("{'a': {'b': 1}}", {"a": {"b": 1}}), ("{1: 2}", {1: 2}), ("{1}", {1}), ("frozenset()", frozenset()),
        ("range(3)", range(3)), ("slice(1, 2)", slice(1, 2)), ("float", float), ("type", type),
        ("(float, int)", (float, int)), ("lambda", lambda *a: None), ("len", len), ("module math", math),
        ("object()", object()), ("...", ...), ("memoryview", memoryview(b"12")), ("generator", (x for x in [1.0])),
        ("recursive list", loop_list), ("recursive dict", loop_dict), ("Fraction(1, 3)", fractions.Fraction(1, 3)),
        ("Decimal('snan')", decimal.Decimal("snan")), ("datetime", datetime.datetime(2024, 1, 1)),
        ("every protocol raises", raising), ("protocols return wrong types", wrong),
        ("__float__ returns a float subclass", odd(object, __float__=lambda s: odd(float, 2.0))),
        ("__index__ returns 10**400", odd(object, __index__=lambda s: 10 ** 400)),
        ("__len__ 5, __getitem__ raises", odd(object, __len__=lambda s: 5, __getitem__=boom)),
        ("__len__ 2**70", odd(object, __len__=lambda s: 2 ** 70)),
        ("int subclass, __index__ raises", odd(int, 3, __index__=boom, __int__=boom)),
        ("float subclass, __float__ raises", odd(float, 1.5, __float__=boom)),
        ("str subclass, __str__ returns 5", odd(str, "a", __str__=lambda s: 5)),
        ("str subclass, __format__ returns 5", odd(str, "a", __format__=lambda s, f: 5)),
        ("list subclass, __iter__ raises", odd(list, [1.0, 2.0], __iter__=boom)),
        ("list subclass, __len__ says 100", odd(list, [1.0], __len__=lambda s: 100)),
        ("list subclass, __getitem__ raises", odd(list, [1.0, 2.0], __getitem__=boom)),
        ("dict subclass, keys returns 5", odd(dict, {"a": 1}, keys=lambda s: 5)),
        ("dict subclass, __iter__ raises", odd(dict, {"a": {"b": 1}}, __iter__=boom)),
        ("dict subclass, items returns [1]", odd(dict, {"a": 1}, items=lambda s: [1])),
        ("dict subclass, __len__ says 100", odd(dict, {"a": 1}, __len__=lambda s: 100)),
        ("dict subclass, setdefault returns 5", odd(dict, {}, setdefault=lambda s, *a: 5)),
        ("np.float64(nan)", np.float64("nan")), ("np.float32(1.5)", np.float32(1.5)), ("np.int8(-1)", np.int8(-1)),
        ("np.uint64(2**64-1)", np.uint64(2 ** 64 - 1)), ("np.bool_(True)", np.bool_(True)),
        ("np.complex128(1j)", np.complex128(1j)), ("np.str_('1')", np.str_("1")), ("np.datetime64", np.datetime64(1, "D")),
        ("array(1.0)", np.array(1.0)), ("zeros((2, 2))", np.zeros((2, 2))), ("zeros(0)", np.zeros(0)),
        ("zeros((3, 0))", np.zeros((3, 0))), ("object array", np.array([object(), 1.0], dtype=object)),
        ("complex array", np.array([1 + 1j, 2])), ("bool array", np.array([True, False])),
        ("int8 array", np.array([1, -1], np.int8)), ("datetime64 array", np.array([1], "datetime64[D]")),
        ("str array", np.array(["a", "b"])), ("strided view", np.arange(10.0)[::3]), ("read-only array", read_only),
        ("big-endian array", np.arange(3, dtype=">f8")), ("nan/inf array", np.array([np.nan, np.inf, -np.inf])),
        ("record array", np.zeros(2, [("a", "f8"), ("b", "i4")])), ("long array", np.arange(300.0)),
    ]
    for label, result in [("5", lambda s, *a: 5), ("[1, 2]", lambda s, *a: [1, 2]), ("None", lambda s, *a: None),
                          ("a generator", lambda s, *a: (x for x in "ab"))]:
        items.append((f"str subclass 'a.b', split returns {label}", odd(str, "a.b", split=result)))
    return items


def nested(items):
    """The same values one level down, where containers are taken apart."""
    return [(f, v) for label, value in items
            for f, v in [(f"[{label}]", [value]), (f"({label}, 1.0)", (value, 1.0)), (f"{{'a': {label}}}", {"a": value})]]


class Spec:
    """An instance made afresh in the child for every group of calls: `Cls()` or uninitialised `Cls.__new__(Cls)`."""

    def __init__(self, cls, blank):
        self.cls, self.blank = cls, blank
        self.label = f"{cls.__name__}.__new__({cls.__name__})" if blank else f"{cls.__name__}()"

    def make(self):
        return self.cls.__new__(self.cls) if self.blank else self.cls()


def param_names(func):
    """Documented parameter names, from the signature or the first line of the docstring."""
    try:
        parameters = list(inspect.signature(func).parameters.values())
    except (TypeError, ValueError):
        parameters = None
    # A compiled function shows no signature (3.12) or (*args, **kwargs) (3.13): its docstring has the real one.
    if parameters is not None and not any(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in parameters):
        return [p.name for p in parameters if p.name != "self"]
    first = (getattr(func, "__doc__", None) or "").split("\n")[0].split(") ->")[0]
    return [n for n in re.findall(r"[(,] ?(\w+)(?=[:=,)]|$)", first) if n != "self"]


def show(arg):
    return arg.label if isinstance(arg, (Spec, Reentry)) else arg[0]


class Plan:
    """Calls as (group, skip key, text, target, args, kwargs, label); args are (label, value) pairs or specimens."""

    def __init__(self):
        self.calls, self.group = [], 0

    def add(self, label, target, args=(), kwargs=None, key=None):
        kwargs = kwargs or {}
        text = f"{label}({', '.join([show(a) for a in args] + [f'{k}={show(v)}' for k, v in kwargs.items()])})"
        self.calls.append((self.group, key or label, text, target, args, kwargs, label))

    def add_hostile(self, label, target, func, pool):
        """Hostile values alone and in every documented position, by position and by keyword; arity errors."""
        names = param_names(func)
        base = [(repr(b)[:40], b) for b in [BENIGN.get(n, 1.0) for n in names] or [1.0, 1.0]]
        self.add(label, target)
        self.add(label, target, base + [("1.0", 1.0)])
        for value in pool:
            if len(base) > 1:
                self.add(label, target, [value])
            for i in range(len(base)):
                args = base[:i] + [value] + base[i + 1:]
                self.add(label, target, args)
                if names:
                    self.add(label, target, (), dict(zip(names, args)))
        self.group += 1


def discover(module_name):
    module = importlib.import_module(f"{package.__name__}.{module_name}")
    found = [(f"{module_name}.{n}", getattr(module, n)) for n in sorted(vars(module)) if not n.startswith("__")]
    return ([(k, o) for k, o in found if callable(o) and not isinstance(o, type)],
            [(k, o) for k, o in found if isinstance(o, type)])


def specimens(cls):
    try:
        cls()
        return [Spec(cls, False), Spec(cls, True)]
    except Exception:
        return [Spec(cls, True)]


def quick_plan(module_name):
    functions, classes = discover(module_name)
    others = [c for m in MODULES for _, c in discover(m)[1]]
    base_pool = hostile_values()
    plan, pool = Plan(), base_pool + nested(base_pool)
    for label, func in functions:
        plan.add_hostile(label, func, func, pool)
    for label, cls in classes:
        plan.add_hostile(label, cls, cls.__init__, pool)
        selves = [("1.0", 1.0), ("object()", object()), ("None", None)] + [
            s for c in others if c is not cls for s in specimens(c)[:1]]
        for spec in specimens(cls):
            for name, op in [("copy.copy", copy.copy), ("copy.deepcopy", copy.deepcopy), ("repr", repr),
                             ("pickle.dumps", pickle.dumps), ("pickle round trip", lambda o: pickle.loads(pickle.dumps(o)))]:
                plan.add(name, op, [spec], key=f"{name}({spec.label})")
        for name in [n for n in dir(cls) if not (n.startswith("__") and n.endswith("__")) or n in SPECIAL]:
            raw, attr, full = inspect.getattr_static(cls, name), getattr(cls, name), f"{label}.{name}"
            if name == "__new__":
                for value in pool[:40]:
                    plan.add(full, attr, [value])
                    plan.add(full, attr, [("cls", cls), value])
            elif callable(attr):
                for spec in specimens(cls):
                    plan.add_hostile(f"{spec.label}.{name}", (lambda inst, name=name: getattr(inst, name), spec), raw, pool)
                for self_ in selves:
                    for extra in [(), [("1.0", 1.0)], [("1.0", 1.0)] * 4]:
                        plan.add(full, attr, [self_, *extra])
            else:  # a data descriptor: get, set and delete on specimens, its accessors on foreign objects
                for spec in specimens(cls):
                    for op, values in [(getattr, [()]), (setattr, [[v] for v in pool]), (delattr, [()])]:
                        access = lambda inst, op=op, name=name: lambda *v: op(inst, name, *v)  # noqa: E731
                        for value in values:
                            plan.add(f"{op.__name__}({spec.label}, {name!r}, ...)", (access, spec), value)
                    plan.group += 1
                for self_ in selves:
                    for acc, extras in [("__get__", [(), [("cls", cls)]]), ("__set__", [[("1.0", 1.0)], [("None", None)]]),
                                        ("__delete__", [()]), ("fget", [()]), ("fset", [[("1.0", 1.0)]]), ("fdel", [()])]:
                        for extra in extras if callable(getattr(raw, acc, None)) else []:
                            plan.add(f"{full}.{acc}", getattr(raw, acc), [self_, *extra])
        plan.group += 1
    return plan


def random_plan(module_name, count, seed):
    """Randomly composed calls to the same targets, with hostile values, nested ones and specimens of every class."""
    quick, rng, base_pool = quick_plan(module_name), random.Random(seed), hostile_values()
    pool = base_pool + nested(base_pool) + nested(nested(base_pool[::3]))
    pool += [s for m in MODULES for _, c in discover(m)[1] for s in specimens(c)] * 10
    targets = list({(key, id(target)): (key, target, label) for _, key, _, target, _, _, label in quick.calls}.values())
    names = sorted(BENIGN) + ["u", "Ut", "y_ini", "u_ini", "TS", "KP", "MODE"]
    plan = Plan()
    for _ in range(count):
        key, target, label = rng.choice(targets)
        kwargs = {rng.choice(names): rng.choice(pool) for _ in range(rng.random() < 0.3)}
        plan.add(label, target, [rng.choice(pool) for _ in range(rng.randint(0, 4))], kwargs, key)
        plan.group += rng.random() < 0.05
    return plan


MODEL = {"y": {"u": {"mode": "tf_s", "num_s": [1.0], "den_s": [2.0, 1.0], "iodelay_s": 1.0}}}


def lpv_plant(cls):
    plant = cls({"u": 0.0, "y": 1.0})
    plant.addPlant(1, 0.0, MODEL, 1)
    plant.addPlant(2, 10.0, MODEL, 1)
    return plant


class ReadySpec(Spec):
    """A ready instance, made with the arguments its class needs to do real work."""

    MAKERS = {"RateLimit": lambda c: c(50.0), "MIMOSim": lambda c: c(MODEL, {"u": 1.0, "y": 2.0}),
              "SISOSim": lambda c: c(2.0, 5.0, 1.0), "LPVPlantSim": lpv_plant,
              "MISOSimulator": lambda c: c([importlib.import_module("ovelin.algorithm.processsim").tfs_model()], [0.0])}

    def __init__(self, cls):
        super().__init__(cls, False)

    def make(self):
        return self.MAKERS.get(self.cls.__name__, lambda c: c())(self.cls)

    @classmethod
    def of(cls, block_class):
        if block_class.__name__ in cls.MAKERS or any(not s.blank for s in specimens(block_class)):
            return [cls(block_class)]
        return []


class Reentrant:
    """A value whose every protocol calls back into the block being called (bound in the child), once at a time."""

    def __init__(self, action, block, hashed="a", shots=-1):
        self.action, self.block, self.hashed, self.busy, self.shots = action, block, hashed, False, shots

    def reenter(self, result):
        # A key that changed the dictionary makes the lookup start again: a few shots, or it never ends.
        if not self.busy and self.shots != 0:
            self.busy, self.shots = True, self.shots - 1
            try:
                self.action(self.block)
            except BaseException:
                pass
            finally:
                self.busy = False
        return result

    __float__ = lambda s: s.reenter(1.0)  # noqa: E731
    __index__ = __int__ = __len__ = lambda s: s.reenter(1)  # noqa: E731
    __bool__ = lambda s: s.reenter(True)  # noqa: E731
    __str__ = __repr__ = lambda s: s.reenter("a")  # noqa: E731
    __eq__ = __lt__ = __gt__ = __le__ = __ge__ = lambda s, o: s.reenter(False)  # noqa: E731
    __hash__ = lambda s: s.reenter(hash(s.hashed))  # noqa: E731
    __iter__ = lambda s: s.reenter(iter([1.0]))  # noqa: E731
    __getitem__ = lambda s, i: s.reenter(1.0) if i == 0 else (_ for _ in ()).throw(IndexError(i))  # noqa: E731
    # Arithmetic gives the value itself, so that it reaches the index and truth tests behind the arithmetic.
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = lambda s, o: s.reenter(s)  # noqa: E731
    __truediv__ = __rtruediv__ = __floordiv__ = __rfloordiv__ = __mod__ = __rmod__ = __add__
    __neg__ = __pos__ = __abs__ = lambda s: s.reenter(s)  # noqa: E731


def attribute_names(block):
    return [n for n in dir(type(block)) if isinstance(inspect.getattr_static(type(block), n), property)
            or n in vars(block)] if not isinstance(block, type) else []


def quietly(*calls):
    for call in calls:
        try:
            call()
        except BaseException:
            pass


# What a re-entrant value does to the block being called.
REENTRY = {
    "calls it again": lambda b: quietly(lambda: b(1.0), lambda: b.call(), lambda: b.run(1.0)),
    "assigns its attributes": lambda b: quietly(*[lambda n=n, v=v: setattr(b, n, v) for n in attribute_names(b)
                                                  for v in (None, 2.0, [1.0] * 3, np.zeros(5), np.full(10000, 0.5), [])]),
    "deletes its attributes": lambda b: quietly(*[lambda n=n: delattr(b, n) for n in attribute_names(b)]),
    "replaces its __dict__": lambda b: quietly(lambda: setattr(b, "__dict__", {})),
    "restores it": lambda b: quietly(lambda: b.__setstate__(b.__getstate__()), lambda: b.__init__()),
    "changes its plants": lambda b: quietly(lambda: b.delPlant(1), lambda: b.addPlant(9, 5.0, {"y": {"u": {}}}, 1),
                                            lambda: b.plant_list.clear()),
}


class Reentry:
    """A plan argument made in the child: a re-entrant value bound to the call's block, alone or nested."""

    def __init__(self, action_name, wrap=lambda v: v, form="{}"):
        self.action_name, self.wrap, self.label = action_name, wrap, form.format(f"value that {action_name}")

    def make(self, block):
        return self.wrap(Reentrant(REENTRY[self.action_name], block))


def reentry_plan(module_name):
    """Every method of every ready block, with re-entrant values in each position and a colliding key in its
    instance dictionary whose __eq__ calls back into it."""
    plan = Plan()
    for label, cls in discover(module_name)[1]:
        for spec in ReadySpec.of(cls):
            names = [n for n in dir(cls) if callable(getattr(cls, n)) and (not n.startswith("__") or n == "__call__")]
            for name in names:
                arity = max(1, len(param_names(inspect.getattr_static(cls, name))))
                for action in REENTRY:
                    for wrap, form in [(lambda v: v, "{}"), (lambda v: [v, v], "[{0}, {0}]"), (lambda v: {"a": v}, "{{'a': {}}}")]:
                        for position in range(arity):
                            args = [("1.0", 1.0)] * position + [Reentry(action, wrap, form)]
                            plan.add(f"{spec.label}.{name}", (lambda b, n=name: getattr(b, n), spec), args)
                    for key in attribute_names(spec.make()) + ["Ut", "nLag", "S", "R", "DT", "ET"]:
                        def colliding(b, n=name, key=key, action=action):
                            collider = Reentrant(REENTRY[action], b, key, shots=0)
                            b.__dict__[collider] = 1
                            collider.shots = 3  # armed once it is in the block's own dictionary
                            return getattr(b, n)
                        plan.add(f"{spec.label}.{name} after a key colliding with {key!r} that {action}",
                                 (colliding, spec), [("1.0", 1.0)] * (arity - 1))
            plan.group += 1
    return plan


def child(plan, start, skip, progress, workdir):
    """Runs the calls from `start` on, publishing the index of each before making it; never returns."""
    try:
        faulthandler.disable()
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (size + MEMORY_HEADROOM, resource.getrlimit(resource.RLIMIT_AS)[1]))
        os.chdir(workdir)  # a block that writes files writes them here
        os.environ["MPLBACKEND"] = "Agg"
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1), os.dup2(null, 2)
        sys.stdout = sys.stderr = open(os.devnull, "w")
        warnings.simplefilter("ignore")
        report, cache, group = open("report", "a", buffering=1), {}, None

        def resolve(arg, block=None):
            if isinstance(arg, Spec):
                return cache[arg] if arg in cache else cache.setdefault(arg, arg.make())
            if isinstance(arg, Reentry):
                return arg.make(block)
            return arg[1]

        for index in range(start, len(plan.calls)):
            progress[0] = index
            group_id, key, _, target, args, kwargs, _ = plan.calls[index]
            if key in skip:
                continue
            if group_id != group:
                cache, group = {}, group_id
            try:
                block = resolve(target[1]) if isinstance(target, tuple) else None
                func = target[0](block) if isinstance(target, tuple) else target
                result = func(*[resolve(a, block) for a in args], **{k: resolve(v, block) for k, v in kwargs.items()})
                if hasattr(type(result), "__next__"):
                    for _ in zip(range(5), result):
                        pass
            except BaseException as exc:  # any exception is an answer; only its text is checked
                try:
                    text = f"{type(exc).__name__}: {exc}"
                except BaseException:
                    text = type(exc).__name__
                if any(name in text for name in CPP_NAMES):
                    report.write(f"{index}\t{text[:200]!r}\n")
        progress[0] = len(plan.calls)
        os._exit(0)
    except BaseException:
        os._exit(3)


def run_plan(plan, hang_seconds=HANG_SECONDS):
    """Runs the plan in forked children, a new one after each crash; returns one line per failure."""
    shared = mmap.mmap(-1, 8)
    progress = memoryview(shared).cast("q")
    failures, crashes, skip, start = [], {}, set(), 0
    with tempfile.TemporaryDirectory(prefix="ovelin-crash-") as workdir:
        while start < len(plan.calls):
            progress[0] = start
            sys.stdout.flush(), sys.stderr.flush()
            pid = os.fork()
            if pid == 0:
                child(plan, start, skip, progress, workdir)
            pidfd, last, stalled_since = os.pidfd_open(pid), -1, time.monotonic()
            while not select.select([pidfd], [], [], min(1.0, hang_seconds / 4))[0]:
                if progress[0] != last:
                    last, stalled_since = progress[0], time.monotonic()
                elif time.monotonic() - stalled_since > hang_seconds:
                    os.kill(pid, signal.SIGKILL)
                    failures.append(f"hang in {plan.calls[last][2]}")
                    skip.add(plan.calls[last][1])
                    break
            os.close(pidfd)
            status, index = os.waitpid(pid, 0)[1], progress[0]
            if index >= len(plan.calls):
                break
            _, key, text, *_ = plan.calls[index]
            if not os.WIFSIGNALED(status):
                failures.append(f"child exited with status {os.WEXITSTATUS(status)} in {text}")
            elif os.WTERMSIG(status) != signal.SIGKILL:
                failures.append(f"{signal.Signals(os.WTERMSIG(status)).name} in {text}")
            crashes[key] = crashes.get(key, 0) + 1
            if crashes[key] >= 2:  # a target that crashes on every call would make the run slow
                skip.add(key)
            start = index + 1
        if os.path.exists(os.path.join(workdir, "report")):
            with open(os.path.join(workdir, "report")) as report:
                for index, text in (line.rstrip("\n").split("\t", 1) for line in report):
                    failures.append(f"C++ name in the message of {plan.calls[int(index)][2]}: {ast.literal_eval(text)}")
    progress.release()
    shared.close()
    return failures


@pytest.mark.parametrize("module_name", MODULES)
def test_hostile_calls_do_not_crash(module_name):
    count = int(os.environ.get("OVELIN_FUZZ_CALLS", "0"))
    seed = int(os.environ.get("OVELIN_FUZZ_SEED", "0"))
    plan = random_plan(module_name, count // len(MODULES) + 1, seed) if count else quick_plan(module_name)
    failures = run_plan(plan)
    assert not failures, f"{len(failures)} failures in {len(plan.calls)} calls:\n" + "\n".join(failures[:60])


@pytest.mark.parametrize("module_name", MODULES)
def test_reentrant_values_do_not_crash(module_name):
    failures = run_plan(reentry_plan(module_name))
    assert not failures, "\n".join(failures[:60])


def test_iterator_advanced_while_it_reads_a_key():
    from ovelin.algorithm.common import dict2pairs

    class Key:
        def __str__(self):
            quietly(lambda: next(pairs), lambda: next(pairs))
            return "k"

    pairs = dict2pairs({Key(): {"x": 1, "y": {"z": 2}}, "b": {Key(): 3}})
    assert all(isinstance(p, tuple) for p in pairs)


def test_enumeration_reaches_the_known_hard_cases():
    assert {"common", "utilities", "pidcontrol", "filters", "leadlag"} <= set(MODULES)
    texts = {text for m in ["pidcontrol", "common"] for _, _, text, *_ in quick_plan(m).calls}
    for expected in ["pidcontrol.PID.getInnerSaveState(1.0)", "pidcontrol.PID._et1.fget(1.0)",
                     "pidcontrol.PID._et1.__get__(1.0)", "copy.copy(PID.__new__(PID))",
                     "pidcontrol.PID.__getstate__(object())", "PID.__new__(PID).__init__(nan)",
                     "setattr(PID(), '_et1', ...)(10**400)", "PID().run(MODE=nan, SP=1.0, PV=1.0, TV=1.0, FF=1.0)",
                     "common.pair2dict((str subclass 'a.b', split returns 5, 1.0), {})"]:
        assert expected in texts


def test_harness_names_crashes_hangs_and_cpp_messages():
    plan = Plan()
    plan.add("fine", float, [("'1'", "1")])
    plan.add("segfault", ctypes.string_at, [("0", 0)])
    plan.add("abort", os.abort)
    plan.add("cpp", lambda: float("std::bad_cast"))
    plan.add("hang", time.sleep, [("60", 60)])
    plan.add("fine", float, [("'x'", "x")])
    assert run_plan(plan, hang_seconds=1) == [
        "SIGSEGV in segfault(0)", "SIGABRT in abort()", "hang in hang(60)",
        "C++ name in the message of cpp(): ValueError: could not convert string to float: 'std::bad_cast'"]
