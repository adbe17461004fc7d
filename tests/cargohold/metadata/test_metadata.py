"""Package name, version and command name: setup scripts read as a syntax tree, then by
patterns; the installed metadata; all of it quiet."""

import importlib.metadata
import os
import textwrap
import types
import warnings
from pathlib import Path

import pytest
from helpers import run_python

from quillkit import cargohold

UNKNOWN = ("unknown", "unknown")


@pytest.fixture
def scripts(tmp_path, monkeypatch):
    """Places setup scripts (None: no script) in the working directory and in the source
    checkout that the module believes it lives in, then reads the name and version."""
    work, root = tmp_path / "work", tmp_path / "checkout"
    work.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setattr(cargohold, "__file__", str(root / "quillkit" / "cargohold.so"))

    def read(in_work, in_checkout=None):
        for directory, text in [(work, in_work), (root, in_checkout)]:
            (directory / "setup.py").unlink(missing_ok=True)
            if text is not None:
                directory.mkdir(exist_ok=True)
                (directory / "setup.py").write_bytes(
                    text if isinstance(text, bytes) else textwrap.dedent(text).encode()
                )
        return cargohold.get_package_name_version()

    return read


def test_where_scripts_are_found(scripts):
    assert scripts(None) == UNKNOWN
    assert scripts("setup(name='here', version='1.0')", "setup(name='there', version='2')") == ("here", "1.0")
    assert scripts(None, "setup(name='there', version='2')") == ("there", "2")
    assert scripts("setup(name=NAME, version=VERSION)\n", "setup(version='2')") == ("unknown", "2")
    assert scripts(b"setup(name='caf\xe9')", "setup(name='ok')") == ("ok", "unknown")


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_only_regular_files_are_read(tmp_path, kind):
    """A FIFO named setup.py would block the read forever; a link to /dev/zero never ends."""
    work = tmp_path / "work"
    work.mkdir()
    if kind == "fifo":
        os.mkfifo(work / "setup.py")
    else:
        os.symlink("/dev/zero", work / "setup.py")
    result = run_python(
        "from quillkit import cargohold; print(cargohold.get_package_name_version())", cwd=work, timeout=30
    )
    assert result.stdout.strip() == "('unknown', 'unknown')"


@pytest.mark.parametrize(
    "script, expected",
    [
        ("setup(name='only')", ("only", "unknown")),
        ("setup(name='n', version=VERSION)", ("n", "unknown")),
        ("setup(name='n', version=2.5)", ("n", 2.5)),
        ("setup(name='', version=0, **extra)\nsetup(version='second')", ("unknown", "second")),
        ("import setuptools\nsetuptools.setup(name='q', version='3')", ("q", "3")),
        ("setup(packages=find_packages(), name='late', version='1'", UNKNOWN),
        ("setup(\n  package_name='pkg',\n  name='real',\n  version = \"9\",\n  )\n)", ("pkg", "9")),
        ("def f(:\nsetup(name='broken', version='1')", ("broken", "1")),
        ("x = 1\n# name = 'x' version='7'\n", ("x", "7")),
    ],
)
def test_reading_a_script(scripts, script, expected):
    result = scripts(script)
    assert result == expected and type(result[1]) is type(expected[1])


@pytest.mark.parametrize(
    "script",
    [
        b"setup(\r\n  name='crlf',\r  version='1')\r\n# 'x-y = a.cli:main'",
        b"\xef\xbb\xbfsetup(name='bom', entry_points=['b-o-m = b.cli:main'])",
        b"setup(name='caf\xe9')\n'c = c.cli:main'",
    ],
)
def test_scripts_read_natively_as_open_reads_them(scripts, monkeypatch, script):
    """The setup script is read natively while `open` and `Path` are the standard ones."""
    native = scripts(script), cargohold.get_cli_name()
    monkeypatch.setattr(cargohold, "open", lambda *args, **kwargs: open(*args, **kwargs), raising=False)
    monkeypatch.setattr(cargohold, "Path", lambda *args: Path(*args))
    assert (scripts(script), cargohold.get_cli_name()) == native


def test_open_of_the_callers_builtins(scripts):
    """Without an `open` of the module's own, the caller's built-in one is called: code run with
    builtins of its own has its `open` used, after the standard one was."""
    assert scripts("setup(name='seen', version='1')") == ("seen", "1")
    opened = []

    def recording_open(*args, **kwargs):
        opened.append(args[0])
        return open(*args, **kwargs)

    builtins = dict(
        vars(__builtins__) if isinstance(__builtins__, types.ModuleType) else __builtins__,
        open=recording_open,
    )
    read = eval("lambda: read()", {"__builtins__": builtins, "read": cargohold.get_package_name_version})
    assert read() == ("seen", "1") and opened
    assert cargohold.get_package_name_version() == ("seen", "1") and len(opened) == 1


def test_patterns_still_answer_when_ast_cannot_be_imported(tmp_path):
    (tmp_path / "setup.py").write_text("setup(name='plain', version='4')")
    result = run_python(
        textwrap.dedent("""
        import sys
        from quillkit import cargohold
        sys.modules["ast"] = None  # its import now fails
        print(cargohold.get_package_name_version())
    """),
        cwd=tmp_path,
    )
    assert result.stdout.strip() == "('plain', '4')"


def test_package_version():
    assert cargohold.get_package_version("quillkit") == importlib.metadata.version("quillkit")
    assert cargohold.get_package_version("no-such-distribution") == "unknown"
    with pytest.raises(TypeError, match="Argument 'package_name'"):
        cargohold.get_package_version(None)


@pytest.mark.parametrize(
    "entry, expected",
    [
        ("quill-note = quillkit.tools.cli:main", "quill-note"),
        ("note_2=pkg.cli:main", "note_2"),
        ("quill-note = quillkit.tools.cli:run", None),
        ("quill-note = quillkit.app:main", None),
        (" quill-note = quillkit.cli:main", None),
        ("caf\udcff = a.cli:main", None),
    ],
)
def test_cli_name(tmp_path, monkeypatch, entry, expected):
    monkeypatch.chdir(tmp_path)
    text = f"setup(entry_points={{'console_scripts': ['{entry}']}})"
    (tmp_path / "setup.py").write_bytes(text.encode("utf-8", "surrogateescape"))
    assert cargohold.get_cli_name() == (expected or "quill-cli")
    assert cargohold.get_cli_name(tmp_path / "setup.py", default="x") == (expected or "x")


def test_cli_name_without_a_script(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert cargohold.get_cli_name() == "quill-cli"
    assert cargohold.get_cli_name(str(tmp_path), "d") == "d"
    with pytest.raises(TypeError, match="Argument 'default'"):
        cargohold.get_cli_name(default=None)
    with pytest.raises(TypeError):  # pathlib refuses it
        cargohold.get_cli_name(None)


def test_all_quiet(scripts, capfd):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert scripts("setup(name=NAME, version=get_version())\n", "setup(") == UNKNOWN
        cargohold.get_package_version("no-such-distribution")
        cargohold.get_cli_name("missing.py")
    assert capfd.readouterr() == ("", "") and caught == []
