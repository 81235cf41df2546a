"""The type stubs say what the extension module really has: names, parameters, defaults, docstrings."""

import ast
import importlib
import inspect
import pkgutil
from pathlib import Path

import pytest

from vela_optimizer import exception, optimizer as opt

PACKAGE = Path(opt.__file__).parent
ROOT = Path(__file__).resolve().parent.parent  # the checkout: the package may be installed elsewhere


def stub(name: str) -> dict:
    """Top-level functions and classes of a stub file by name."""
    tree = ast.parse((PACKAGE / name).read_text(encoding="utf-8"))
    return {n.name: n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}


def stub_default(node):
    """A stub default as a value: literals, or an attribute path resolved in the module."""
    if isinstance(node, ast.Attribute):
        return getattr(stub_default(node.value), node.attr)
    if isinstance(node, ast.Name):
        return getattr(opt, node.id)
    return ast.literal_eval(node)


def stub_parameters(fn: ast.FunctionDef) -> list:
    """(name, default) per parameter, ``inspect.Parameter.empty`` where there is none."""
    args, defaults = fn.args.args, fn.args.defaults
    required = len(args) - len(defaults)
    return [
        (a.arg, inspect.Parameter.empty if i < required else stub_default(defaults[i - required]))
        for i, a in enumerate(args)
    ]


def runtime_parameters(f) -> list:
    return [(p.name, p.default) for p in inspect.signature(f).parameters.values()]


RUNTIME_FUNCTIONS = sorted(k for k, v in vars(opt).items() if type(v).__name__ == "native_function")
RUNTIME_CLASSES = ["OptimizeMethod", "GICSConstraint", "ShenWanConstraint", "FundTypeConstraint"]


@pytest.mark.parametrize("name", RUNTIME_FUNCTIONS)
def test_every_function_has_a_stub_with_its_signature_and_a_docstring(name):
    fn = stub("optimizer.pyi")[name]
    assert stub_parameters(fn) == runtime_parameters(getattr(opt, name))
    assert ast.get_docstring(fn)


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_every_class_has_a_stub_with_its_methods(name):
    cls = stub("optimizer.pyi")[name]
    assert ast.get_docstring(cls)
    methods = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
    runtime = getattr(opt, name)
    if name == "OptimizeMethod":
        members = [t.targets[0].id for t in cls.body if isinstance(t, ast.Assign)]
        assert members == [m.name for m in runtime]
        return
    for method in ("__init__", "_verify_rules", "to_constraint"):
        assert stub_parameters(methods[method]) == runtime_parameters(
            vars(runtime)[method].__func__ if method == "_verify_rules" else getattr(runtime, method)
        )
        assert ast.get_docstring(methods[method])


def test_the_stub_names_nothing_the_module_lacks():
    names = set(stub("optimizer.pyi"))
    assert names <= set(vars(opt)), names - set(vars(opt))
    assert set(stub("exception.pyi")) == {k for k, v in vars(exception).items() if isinstance(v, type)}


def test_the_stubs_ship_in_the_wheel():
    # scikit-build-core copies every file of the packages it is given into the wheel
    tomllib = pytest.importorskip("tomllib")
    assert (PACKAGE / "py.typed").exists()
    config = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    assert "python/vela_optimizer" in config["tool"]["scikit-build"]["wheel"]["packages"]


# Every Python module of the package (the extension is documented by its stubs; __main__ runs the
# command line when imported), and the client's catalogue the command line reads.
PACKAGE_MODULES = sorted(
    m.name
    for m in pkgutil.walk_packages([str(PACKAGE)], prefix="vela_optimizer.")
    if m.name.rsplit(".", 1)[-1] not in ("optimizer", "__main__")
) + ["veladatac.catalog"]


@pytest.mark.parametrize("name", PACKAGE_MODULES)
def test_public_functions_of_the_package_are_documented(name):
    module = importlib.import_module(name)
    own = [
        v
        for k, v in vars(module).items()
        if not k.startswith("_")
        and getattr(v, "__module__", None) == name
        and (inspect.isfunction(v) or inspect.isclass(v))
    ]
    methods = [
        m
        for c in own
        if inspect.isclass(c)
        for k, m in vars(c).items()
        if not k.startswith("_") and inspect.isfunction(m)
    ]
    # a subpackage's __init__ may only gather its modules' names
    assert own or hasattr(module, "__path__")
    assert (module.__doc__ or "").strip()
    assert [f.__qualname__ for f in own + methods if not (f.__doc__ or "").strip()] == []
