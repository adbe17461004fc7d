"""Start-up of quillkit.cargohold: its globals in order, the optional YAML package, errors that
reach the importer as they were raised, and the module logger."""

import logging
import textwrap

import pytest
from helpers import run_python

from quillkit import cargohold, chronicle


def test_globals_in_start_up_order():
    names = [n for n in vars(cargohold) if not n.startswith("__")]
    assert names[:14] == [
        "os",
        "re",
        "json",
        "shutil",
        "yaml",
        "_HAS_YAML",
        "click",
        "requests",
        "importlib",
        "load_dotenv",
        "find_dotenv",
        "chronicle",
        "Path",
        "log",
    ]
    assert len(names) == 14 + 29
    import importlib.metadata
    import pathlib

    import dotenv

    assert cargohold.importlib is importlib and cargohold.importlib.metadata
    assert cargohold.Path is pathlib.Path and cargohold.chronicle is chronicle
    assert cargohold.load_dotenv is dotenv.load_dotenv and cargohold.find_dotenv is dotenv.find_dotenv
    assert cargohold._HAS_YAML is True
    assert type(cargohold.log) is chronicle._LazyLogger and cargohold.log._child == "cargohold"
    for lazy_import in ["subprocess", "ast"]:
        assert lazy_import not in vars(cargohold)


def test_module_logger_follows_setup_logging(clean_logging):
    seen = []

    class Keep(logging.Handler):
        def emit(self, record):
            seen.append(record.name)

    logging.getLogger("app.cargohold").addHandler(Keep())
    cargohold.log.warning("before")
    chronicle.setup_logging("P", console=False, file=None)
    logging.getLogger("P").addHandler(Keep())
    cargohold.log.warning("after")
    assert seen == ["app.cargohold", "P.cargohold"]


CHILD_PREAMBLE = """
import sys
class Refuse:
    def __init__(self, name, error):
        self.name, self.error = name, error
    def find_spec(self, fullname, path=None, target=None):
        if fullname == self.name or fullname.startswith(self.name + "."):
            raise self.error
        return None
"""


def child(code):
    return run_python(CHILD_PREAMBLE + textwrap.dedent(code), check=False)


def test_missing_yaml_leaves_no_global():
    result = child("""
        sys.modules["yaml"] = None
        from quillkit import cargohold
        print(cargohold._HAS_YAML, *[n for n in vars(cargohold) if not n.startswith("__")][:6])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "os", "re", "json", "shutil", "_HAS_YAML", "click"]


@pytest.mark.parametrize("replaced", ["os.path", "os"])
def test_a_library_module_replaced_before_start_up_is_called(replaced):
    """Start-up may find any object where a library module should be: nothing is read from it
    natively, and what the program put there answers."""
    result = child(f"""
        import os, types
        def like(module, **members):
            names = [name for name in dir(module) if not name.startswith("__")]
            return types.SimpleNamespace(**{{**{{name: getattr(module, name) for name in names}}, **members}})
        calls = []
        real_isdir = os.path.isdir
        path = like(os.path, isdir=lambda name: calls.append(name) or real_isdir(name))
        if "{replaced}" == "os.path":
            os.path = path
        else:
            sys.modules["os"] = like(os, path=path)
        from quillkit import cargohold
        print(cargohold.get_path_type("."), calls)
    """)
    assert result.stdout.split() == ["0", "['.']"], (result.returncode, result.stderr)


def test_yaml_import_error_from_inside_the_package_is_swallowed():
    result = child("""
        sys.meta_path.insert(0, Refuse("yaml", ImportError("its own import failed")))
        from quillkit import cargohold
        print(cargohold._HAS_YAML)
    """)
    assert result.stdout.strip() == "False", result.stderr


@pytest.mark.parametrize("error", ["RuntimeError('yaml broke')", "KeyboardInterrupt()"])
def test_other_errors_while_importing_yaml_propagate_as_themselves(error):
    result = child(f"""
        sys.meta_path.insert(0, Refuse("yaml", {error}))
        try:
            from quillkit import cargohold
        except BaseException as e:
            print(type(e).__name__, e, e.__cause__, e.__context__)
    """)
    name = error.split("(")[0]
    expected = f"{name} yaml broke None None" if name == "RuntimeError" else f"{name}  None None"
    assert result.stdout.strip() == expected, result.stderr


@pytest.mark.parametrize("package", ["click", "requests", "dotenv", "quillkit.chronicle"])
def test_missing_dependency_raises_the_import_error_of_the_import(package):
    result = child(f"""
        sys.modules["{package}"] = None
        try:
            from quillkit import cargohold
        except ImportError as e:
            print(type(e).__name__, "|", e, "|", e.__cause__)
        print("cargohold" in sys.modules.get("quillkit").__dict__, "quillkit.cargohold" in sys.modules)
    """)
    lines = result.stdout.splitlines()
    assert lines[0] == f"ModuleNotFoundError | import of {package} halted; None in sys.modules | None", (
        result.stderr
    )
    assert lines[1] == "False False"


def test_dotenv_without_the_function_names_the_missing_name():
    result = child("""
        import types
        fake = types.ModuleType("dotenv")
        fake.find_dotenv = lambda: ""
        sys.modules["dotenv"] = fake
        try:
            from quillkit import cargohold
        except ImportError as e:
            print(e)
    """)
    assert result.stdout.strip() == "cannot import name 'load_dotenv' from 'dotenv' (unknown location)"


def test_failed_start_up_can_be_retried():
    result = child("""
        sys.modules["click"] = None
        try:
            from quillkit import cargohold
        except ImportError:
            pass
        del sys.modules["click"]
        from quillkit import cargohold
        print(len([n for n in vars(cargohold) if not n.startswith("__")]))
    """)
    assert result.stdout.strip() == "43", result.stderr
