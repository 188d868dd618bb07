"""The shipped type stubs: one per module, no catch-all attribute hook, and a type
checker accepts the examples and the README's code with them."""

import ast
import importlib
import importlib.util
import inspect
import pathlib
import re
import subprocess
import sys

import pytest

import ovelin.algorithm

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(ovelin.algorithm.__file__).parent
MODULES = ["common", "utilities", "pidcontrol", "filters", "leadlag", "delay", "ratelimit", "antiwindup",
           "triggers", "watchdog", "testsignal", "softsensor", "processsim", "lpvplant"]


@pytest.mark.parametrize("module", MODULES)
def test_stub_shipped_without_catch_all_getattr(module):
    # A __getattr__ in a stub would switch attribute checking off for every user.
    tree = ast.parse((PACKAGE / f"{module}.pyi").read_text(encoding="utf-8"))
    hooks = [node.name for node in ast.walk(tree) if isinstance(node, ast.FunctionDef) and node.name == "__getattr__"]
    assert hooks == []
    assert (PACKAGE / "py.typed").exists()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_accepts_the_examples_the_typed_usage_and_the_readme(tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```python\n(.*?)^```", readme, re.S | re.M)
    for i, code in enumerate(blocks):
        (tmp_path / f"readme_block_{i}.py").write_text(code, encoding="utf-8")
    # A misspelt attribute must be caught: the stubs really are in use.
    (tmp_path / "misspelt.py").write_text("from ovelin.algorithm.pidcontrol import PID\nPID().setPIDParm()\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "--ignore-missing-imports",
         *map(str, sorted((ROOT / "examples").glob("*.py"))), str(ROOT / "tests" / "typed_usage.py"),
         *map(str, sorted(tmp_path.glob("*.py")))],
        capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "misspelt.py:2" in errors[0] and "setPIDParm" in errors[0], done.stdout


PICKLING = ("__getstate__", "__setstate__")  # the object protocol, declared by typeshed


def declarations(tree):
    """{dotted name: (parameter names, default texts) or None for a data member} of a stub."""
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                found[prefix + node.name] = None
                visit(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                if any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list):
                    continue
                is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
                args = node.args.posonlyargs + node.args.args
                found[prefix + node.name] = None if is_property else (
                    [a.arg for a in args if a.arg != "self"], [ast.unparse(d) for d in node.args.defaults])
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                found[prefix + node.target.id] = None
            elif isinstance(node, ast.ImportFrom) and node.level > 0:  # a re-export from a sibling module
                found.update({prefix + a.name: None for a in node.names if a.asname == a.name})
    visit(tree.body, "")
    return found


def text_signature(module, dotted):
    """Parameters and defaults of a built-in method, which the generator lists as a bare attribute."""
    value = module
    for part in dotted.split("."):
        value = getattr(value, part)
    if not callable(value) or isinstance(value, type):
        return None
    parameters = [p for p in inspect.signature(value).parameters.values() if p.name != "self"]
    return [p.name for p in parameters], [p.default for p in parameters if p.default is not inspect.Parameter.empty]


PATTERNS = ROOT / "algorithm" / "stub_patterns.txt"


def generated_stub(name, patterns=(), **options):
    stubgen = pytest.importorskip("nanobind.stubgen")
    module = importlib.import_module(f"ovelin.algorithm.{name}")
    generator = stubgen.StubGen(module, include_private=True, patterns=list(patterns), **options)
    generator.put(module)
    return generator.get()


@pytest.mark.skipif(not PATTERNS.exists(), reason="needs the source tree")
@pytest.mark.parametrize("name", MODULES)
def test_shipped_stub_is_current(name):
    stubgen = pytest.importorskip("nanobind.stubgen")
    expected = generated_stub(name, stubgen.load_pattern_file(str(PATTERNS)))
    assert (PACKAGE / f"{name}.pyi").read_text(encoding="utf-8") == expected


@pytest.mark.parametrize("name", MODULES)
def test_shipped_stub_declares_what_the_bindings_offer(name):
    # Without the pattern file the generator lists the C-level methods as bare attributes:
    # the declarations that the pattern file gives them must carry their real arguments.
    module = importlib.import_module(f"ovelin.algorithm.{name}")
    generated = declarations(ast.parse(generated_stub(name, include_docstrings=False)))
    shipped = declarations(ast.parse((PACKAGE / f"{name}.pyi").read_text(encoding="utf-8")))
    missing = sorted(n for n in set(generated) - set(shipped)
                     if n != "_c_api" and not n.startswith("_PairIterator") and not n.endswith(PICKLING))
    stale = sorted(n for n in set(shipped) - set(generated) if not n.startswith("_") or "." in n)
    assert (missing, stale) == ([], [])
    for dotted, declared in generated.items():
        if dotted in shipped and shipped[dotted] is not None:
            expected = declared or text_signature(module, dotted)
            if expected is not None:
                names, defaults = shipped[dotted]
                assert names == expected[0], dotted
                assert [ast.literal_eval(d) for d in defaults] == [
                    d if not isinstance(d, str) else ast.literal_eval(d) for d in expected[1]], dotted
