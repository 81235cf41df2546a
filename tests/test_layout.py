"""The package's shape: no import circle among its modules, no function too long to read in one sitting."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "vela_optimizer"
LONGEST = 120  # lines of a function, its docstring included


def modules() -> dict:
    """Module name -> path, for every module of the package."""
    out = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        out[".".join(parts)] = path
    return out


def imports(name: str, path: Path, known) -> set:
    """The package's modules ``name`` imports anywhere in its code (functions included)."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                up = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(up + ([base] if base else []))
            # `from a import b` imports the module a.b when there is one, else a name of a
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in known else base for a in node.names]
        else:
            continue
        found |= {t for t in targets if t in known and t != name}
    return found


def cycles(graph: dict) -> list:
    """The strongly connected components of more than one module (Tarjan)."""
    index, low, stack, on, out, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in graph[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            part = []
            while True:
                w = stack.pop()
                on.discard(w)
                part.append(w)
                if w == v:
                    break
            if len(part) > 1:
                out.append(sorted(part))

    for v in graph:
        if v not in index:
            visit(v)
    return out


def test_the_package_has_no_import_circle():
    known = modules()
    graph = {name: imports(name, path, known) for name, path in known.items()}
    assert sum(map(len, graph.values())) > 20  # the graph was read at all
    assert cycles(graph) == []


@pytest.mark.parametrize(
    "graph, expected",
    [
        ({"a": {"b"}, "b": {"c"}, "c": set()}, []),
        ({"a": {"b"}, "b": {"a"}, "c": {"a"}}, [["a", "b"]]),
        ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"d"}}, [["a", "b", "c"]]),
    ],
)
def test_cycles_are_found(graph, expected):
    assert cycles(graph) == expected


def test_no_function_is_longer_than_one_sitting():
    long = []
    for name, path in modules().items():
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                size = node.end_lineno - node.lineno + 1
                if size > LONGEST:
                    long.append(f"{name}.{node.name}: {size} lines")
    assert long == []
