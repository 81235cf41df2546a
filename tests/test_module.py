"""What importing the module binds, and how its functions behave as Python callables."""

import datetime
import enum
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vela_optimizer import exception, optimizer as opt


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_optimize_method_is_a_real_enum():
    M = opt.OptimizeMethod
    assert issubclass(M, enum.Enum) and M.__module__ == "vela_optimizer.optimizer"
    assert [(m.name, m.value) for m in M] == [
        ("RISK_PARITY", "risk_parity"),
        ("MIN_VARIANCE", "min_variance"),
        ("MEAN_VARIANCE", "mean_variance"),
        ("MIN_TRACKING_ERROR", "min_tracking_error"),
    ]
    assert M("min_tracking_error") is M.MIN_TRACKING_ERROR
    assert M.MIN_VARIANCE != "min_variance"
    assert pickle.loads(pickle.dumps(M.MEAN_VARIANCE)) is M.MEAN_VARIANCE


def test_constants_and_aliases():
    assert type(opt.MIN_OPTIMIZE_DATE) is datetime.datetime
    assert opt.MIN_OPTIMIZE_DATE == datetime.datetime(2005, 7, 1, 0, 0)
    assert opt.MIN_OPTIMIZE_DATE_STR == "2005-07-01"
    import collections
    import warnings

    import pandas
    import scipy.optimize
    import scipy.spatial

    assert opt.datetime is datetime and opt.warnings is warnings and opt.Enum is enum.Enum
    assert opt.defaultdict is collections.defaultdict
    assert (opt.pd, opt.np, opt.sc_opt, opt.scsp) == (pandas, np, scipy.optimize, scipy.spatial)
    assert opt.InvalidArgument is exception.InvalidArgument
    assert opt.OptimizationFailed is exception.OptimizationFailed
    assert opt.__doc__ is None and not hasattr(opt, "__all__")


def test_names_are_bound_in_import_order():
    names = [k for k in vars(opt) if not k.startswith("__")]
    expected_prefix = [
        "datetime",
        "warnings",
        "Enum",
        "defaultdict",
        "pd",
        "np",
        "sc_opt",
        "scsp",
        "veladatac",
        "InvalidArgument",
        "OptimizationFailed",
        "OptimizeMethod",
        "_to_constraint",
        "GICSConstraint",
        "ShenWanConstraint",
        "FundTypeConstraint",
        "MIN_OPTIMIZE_DATE",
        "MIN_OPTIMIZE_DATE_STR",
        "_general_bnds",
    ]
    assert names[: len(expected_prefix)] == expected_prefix


@pytest.mark.parametrize(
    "blocked, needle",
    [("veladatac", "veladatac"), ("vela_optimizer.exception", "vela_optimizer.exception")],
)
def test_import_fails_with_the_failing_steps_error(blocked, needle):
    r = run_python(f"""
        import sys
        sys.modules[{blocked!r}] = None
        try:
            import vela_optimizer.optimizer
        except ImportError as e:
            print("ImportError:", e)
        else:
            print("imported")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("ImportError:") and needle in r.stdout


def test_no_version_warning_on_the_build_interpreter():
    r = run_python("""
        import warnings
        warnings.simplefilter("error")
        import vela_optimizer.optimizer
        print("ok")
    """)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


# Plain Python functions with the same parameters give the host's reference error texts.
def _general_bnds(order_book_ids, bounds):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((["a"],), {}),
        ((["a"], None, 3), {}),
        ((["a"],), {"order_book_ids": ["b"]}),
        ((["a"],), {"bound": None}),
        ((), {"bounds": None}),
        ((1, 2, 3, 4), {"zz": 1}),
    ],
)
def test_argument_errors_match_the_hosts(args, kwargs):
    with pytest.raises(TypeError) as reference:
        _general_bnds(*args, **kwargs)
    with pytest.raises(TypeError) as ours:
        opt._general_bnds(*args, **kwargs)
    assert str(ours.value) == str(reference.value)


def test_function_attributes_signature_and_help():
    f = opt._general_bnds
    assert (f.__name__, f.__qualname__, f.__module__) == ("_general_bnds", "_general_bnds", "vela_optimizer.optimizer")
    assert f.__doc__ is None and f.__defaults__ is None
    sig = inspect.signature(f)
    assert list(sig.parameters) == ["order_book_ids", "bounds"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert "_general_bnds(order_book_ids, bounds)" in pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert pickle.loads(pickle.dumps(f)) is f
    assert repr(f).startswith("<function _general_bnds at 0x")


def test_methods_bind_to_instances():
    cls = opt.GICSConstraint
    assert cls.__bases__ == (object,) and cls.__module__ == "vela_optimizer.optimizer"
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
        "__init__",
        "_verify_rules",
        "to_constraint",
    ]
    assert cls.to_constraint.__qualname__ == "GICSConstraint.to_constraint"
    assert isinstance(vars(cls)["_verify_rules"], staticmethod)
    obj = cls({"X": (0, 1)})
    bound = obj.to_constraint
    assert bound.__self__ is obj and bound.__func__ is cls.to_constraint
    assert list(inspect.signature(bound).parameters) == ["order_book_ids", "date"]
    missing = r"GICSConstraint.to_constraint\(\) missing 1 required positional argument: 'date'"
    with pytest.raises(TypeError, match=missing):
        obj.to_constraint(["a"])
