"""The type stubs describe exactly what the modules export: mypy's stubtest compares the stubs
shipped beside the modules under test with those modules, on the running interpreter (the same
functions, classes, methods and module attributes, parameter names, kinds and defaults)."""

import ast
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quillkit

PACKAGE_DIR = Path(quillkit.__file__).resolve().parent
MODULES = ["chronicle", "cargohold", "stampkit"]


def test_stubtest_accepts_the_stubs(tmp_path):
    # The stubs of the build under test, first on mypy's path; the runtime modules are imported
    # as usual. The working directory is empty, so no source tree stands in for either.
    stubs = tmp_path / "stubs" / "quillkit"
    stubs.mkdir(parents=True)
    for name in ["__init__.py", "py.typed"] + [f"{module}.pyi" for module in MODULES]:
        shutil.copy(PACKAGE_DIR / name, stubs / name)
    result = subprocess.run(
        [
            sys.executable,
            "-P",
            "-m",
            "mypy.stubtest",
            "--concise",
            *[f"quillkit.{module}" for module in MODULES],
        ],
        cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(stubs.parent)},
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module", MODULES)
def test_every_stub_default_is_written_out(module):
    # stubtest compares a default only when the stub states it; `...` would pass unchecked.
    tree = ast.parse((PACKAGE_DIR / f"{module}.pyi").read_text(encoding="utf-8"))
    unstated = [
        node.name
        for node in ast.walk(tree)
        if isinstance(node, ast.FunctionDef)
        for default in node.args.defaults + [d for d in node.args.kw_defaults if d is not None]
        if isinstance(default, ast.Constant) and default.value is Ellipsis
    ]
    assert unstated == []
