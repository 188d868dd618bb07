"""help() shows every function and method with its signature and a docstring."""

import importlib
import inspect
import pkgutil
import pydoc

import pytest

import ovelin.algorithm as package

MODULES = [importlib.import_module(f"{package.__name__}.{m.name}") for m in pkgutil.iter_modules(package.__path__)]
SHOWN_SPECIALS = {"__init__", "__call__"}


def callables():
    for module in MODULES:
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == module.__name__ and not name.startswith("_"):
                for member, attribute in vars(value).items():
                    if callable(attribute) and (not member.startswith("__") or member in SHOWN_SPECIALS):
                        yield f"{module.__name__}.{name}.{member}", member, attribute
            elif callable(value) and not name.startswith("__") and not isinstance(value, type):
                yield f"{module.__name__}.{name}", name, value


CASES = [pytest.param(name, f, id=qualified) for qualified, name, f in callables()]


def signature_line(f):
    """The signature as help() shows it: from __text_signature__ or from the docstring's first line."""
    try:
        return str(inspect.signature(f))
    except (TypeError, ValueError):
        return f.__doc__.split("\n", 1)[0]


@pytest.mark.parametrize("name, f", CASES)
def test_signature_names_the_arguments(name, f):
    shown = signature_line(f)
    assert shown.startswith(("(", f"{name}(")), shown
    assert "object | None" not in shown  # a typed signature: None only where it is accepted


@pytest.mark.parametrize("name, f", CASES)
def test_callables_have_a_docstring(name, f):
    text = pydoc.render_doc(f, renderer=pydoc.plaintext)
    described = [line for line in text.splitlines()[2:] if line.strip() and "(" not in line.split()[0]]
    assert described, text


def test_call_signature_comes_with_the_fast_call_slot():
    from ovelin.algorithm.filters import zFilter

    assert str(inspect.signature(zFilter.__call__)) == "(self, /, Ut, y_ini=0.0)"
    assert zFilter.__call__.__doc__.startswith("One sample")
