"""The version of the code that runs, as the commands' records and the backtest's checkpoints read it."""

from __future__ import annotations

import re
import sys
from pathlib import Path

NAME = "vela_optimizer"

# the [project] table's name and version lines, as this project writes them: `key = "text"`
_HEADER = re.compile(r"\[\s*([^\]]*?)\s*\]")
_KEY = re.compile(r"""(name|version)\s*=\s*(["'])(.*?)\2\s*(#.*)?$""")


def package_version() -> str:
    """The package's version: the project's own pyproject.toml when it runs from a source tree
    (``PYTHONPATH=python``), else the installed package's metadata; "unknown" without either.

    The source tree's file comes first: a copy installed beside it (a virtual environment's, an
    editable install made before the version changed) names another version than the code running,
    and a checkpoint keyed by it would mix the figures of two versions.
    """
    from importlib import metadata

    root = Path(__file__).resolve().parent.parent.parent  # python/vela_optimizer/ -> the tree's root
    found = project_version(root / "pyproject.toml")
    if found is not None:
        return found
    try:
        return metadata.version(NAME)
    except metadata.PackageNotFoundError:
        return "unknown"


def project_version(path) -> str | None:
    """The version of this project's pyproject.toml at ``path``; None when there is no such file or it
    is another project's (an installed package's folders hold none)."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return None
    project = read_project(text)
    name = str(project.get("name", "")).replace("-", "_").lower()
    version = project.get("version")
    return str(version) if name == NAME and isinstance(version, str) else None


def read_project(text: str) -> dict:
    """The [project] table of a pyproject.toml's text (an empty dict when it does not read)."""
    if sys.version_info >= (3, 11):
        import tomllib

        try:
            return dict(tomllib.loads(text).get("project", {}))
        except (tomllib.TOMLDecodeError, TypeError, ValueError):
            return {}
    return project_lines(text)


def project_lines(text: str) -> dict:
    """The name and version lines of [project] in a pyproject.toml's text, for Python 3.10, which has
    no TOML reader (the project adds no dependency for it)."""
    table: str | None = None
    out: dict = {}
    for line in text.splitlines():
        line = line.strip()
        header = _HEADER.match(line)
        if header:
            table = header.group(1)
            continue
        key = _KEY.match(line)
        if table == "project" and key:
            out.setdefault(key.group(1), key.group(3))
    return out
