"""The type stubs describe exactly what the modules export: the same functions and classes, the
same parameter names, kinds and defaults."""

import ast
import inspect
from pathlib import Path

import pytest

import quillkit
from quillkit import cargohold, chronicle, stampkit

STUB_DIR = Path(quillkit.__file__).resolve().parent
KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def stub_parameters(node):
    arguments = node.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    result = []
    for argument, default in zip(positional, defaults):
        kind = KINDS["posonlyargs"] if argument in arguments.posonlyargs else KINDS["args"]
        result.append((argument.arg, kind, default))
    if arguments.vararg:
        result.append((arguments.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None))
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
        result.append((argument.arg, KINDS["kwonlyargs"], default))
    if arguments.kwarg:
        result.append((arguments.kwarg.arg, inspect.Parameter.VAR_KEYWORD, None))
    return result


def check_function(node, function):
    signature = inspect.signature(function)
    described = stub_parameters(node)
    actual = list(signature.parameters.values())
    assert [name for name, _, _ in described] == [p.name for p in actual], node.name
    for (name, kind, default), parameter in zip(described, actual):
        assert kind == parameter.kind, (node.name, name)
        if default is None:
            assert parameter.default is parameter.empty, (node.name, name)
        else:
            assert ast.literal_eval(default) == parameter.default, (node.name, name)


@pytest.mark.parametrize("module", [chronicle, cargohold, stampkit], ids=lambda m: m.__name__)
def test_stub_matches_module(module):
    tree = ast.parse((STUB_DIR / (module.__name__.rsplit(".", 1)[1] + ".pyi")).read_text())
    described = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            described.add(node.name)
            check_function(node, getattr(module, node.name))
        elif isinstance(node, ast.ClassDef):
            described.add(node.name)
            cls = getattr(module, node.name)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    real = vars(cls)[member.name]
                    check_function(member, real.fget if isinstance(real, property) else real)
    exported = {
        name for name, value in vars(module).items()
        if callable(value) and getattr(value, "__module__", None) == module.__name__
    }
    assert exported == described
