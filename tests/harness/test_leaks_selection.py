"""Leak check of discovery, the directory list, the dialogues and quillkit.stampkit (see leakcheck.py),
on their success and failure paths. The terminal is click itself for one case and a stand-in
module elsewhere, so that thousands of dialogues run quickly."""

import logging
import os
import sys
from pathlib import Path

import click
import pytest
from click.testing import CliRunner
from leakcheck import Silent, assert_no_leak, calling, expect, with_globals

from quillkit import cargohold, stampkit


@pytest.fixture(autouse=True)
def quiet_logging(clean_logging):
    logging.getLogger("app").addHandler(logging.NullHandler())
    logging.getLogger("app").propagate = False


class Terminal:
    """A stand-in for the click module: answers every prompt with `answer` (raising a new one
    when it is an exception class) and every edit with `edited`."""

    Choice = click.Choice

    def __init__(self, answer="1", edited="text"):
        self.answer, self.edited = answer, edited

    def echo(self, text):
        pass

    def secho(self, text, fg=None):
        pass

    def prompt(self, text, **kwargs):
        if isinstance(self.answer, type):
            raise self.answer()
        return self.answer

    def edit(self, text):
        return self.edited


class ComparedText(str):
    """A text whose comparison is Python code."""

    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def tree(root):
    for path in ["a.py", "b_20240101.py", "c.txt", "sub/d_20230101.py", "sub/skip/e.py", "f\udcff.py"]:
        full = os.fsencode(root / path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        open(full, "wb").close()
    os.symlink(root / "sub", root / "link")
    return root


def discovery_cases(tmp_path, monkeypatch):
    root = tree(tmp_path)
    find = cargohold.find_files_with_extensions
    quiet = Silent()
    return {
        "recursive": calling(
            find, root, ["PY", "txt"], True, exclude_paths=[root / "sub/skip"], logger=quiet
        ),
        "relative with prefix": calling(find, ".", "py", True, prefix="b", logger=quiet),
        "prefix on text": calling(find, root, ["py"], True, prefix="\udcff", logger=quiet),
        "datecode": calling(find, root, ["py"], True, True, logger=quiet),
        "single file": calling(find, root / "a.py", ["py"], logger=quiet),
        "invalid start": calling(find, root / "missing", ["py"], logger=quiet),
        "excluded start": calling(find, root / "sub", ["py"], exclude_paths=str(root), logger=quiet),
        "no extensions": calling(find, root, None, True, logger=quiet),
        "bad start": expect(TypeError, find, None, ["py"], logger=quiet),
        "bad extensions": expect(TypeError, find, root, 5, logger=quiet),
        "bad exclusions": expect(TypeError, find, root, ["py"], exclude_paths=root, logger=quiet),
        "bad prefix mid-walk": expect(TypeError, find, root, ["py"], True, prefix=5, logger=quiet),
        "prefixes and many extensions": calling(
            find,
            root,
            [f".z{n}" for n in range(50)] + ["PY"],
            True,
            prefix=("z", "b_", "\udcff"),
            logger=quiet,
        ),
        "prefixes with a non-text": expect(
            TypeError, find, root, ["py"], True, prefix=("b", 1), logger=quiet
        ),
        "bad datecode keys": expect(TypeError, find, root, ["py"], True, True, logger=quiet),
        "datecode fallback": calling(find, root, ["py"], True, True, logger=quiet),
        "names by the library": with_globals(
            cargohold, {"Path": lambda *args: Path(*args)}, calling(find, root, ["py"], True, logger=quiet)
        ),
        "directory list": calling(cargohold.get_directory_list, root, ()),
        "directory list missing": calling(cargohold.get_directory_list, root / "missing"),
        "directory list bad rule": expect(TypeError, cargohold.get_directory_list, root, (1,)),
        "directory list rules by hash": calling(
            cargohold.get_directory_list, root, ("x", "\udcff"), ("sub", "é"), ("nk", "日")
        ),
        "directory list rules by Python": calling(
            cargohold.get_directory_list, root, ("x", ComparedText("l")), ("x", ComparedText("sub")), ("y",)
        ),
        "directory list refused": expect(TypeError, cargohold.get_directory_list, root, ["x"]),
        "stampkit": calling(stampkit.parseVEV_fileNameTime, "run_20240131_235959"),
        "stampkit none": calling(stampkit.parseVEV_fileNameTime, "x20241301_2"),
        "stampkit refused": expect(TypeError, stampkit.parseVEV_fileNameTime, b"20240101"),
    }


def dialogue_cases(tmp_path, monkeypatch):
    root = tree(tmp_path)
    quiet = Silent()
    files = [str(root / "a.py"), str(root / "sub" / "d.py"), "https://x/y.py", 3]
    names = ["a", "d", "y", "n"]
    select, scan = cargohold.interactive_select_files, cargohold.scan_and_select_files

    def with_terminal(terminal, function, *args, **kwargs):
        def case():
            cargohold.click = terminal
            try:
                function(*args, **kwargs)
            finally:
                cargohold.click = click

        return case

    return {
        "select numbers": with_terminal(Terminal("2, 1,9"), select, files, names),
        "select all": with_terminal(Terminal("ALL"), select, files, names, ".md", ["d"]),
        "select excluded by Python": with_terminal(
            Terminal("ALL"), select, files, names, ".md", ["x", 3, ComparedText("y"), "d"]
        ),
        "select format error": with_terminal(Terminal("1,x"), select, files, names),
        "select all excluded": with_terminal(Terminal(), select, files, names, exclude_names=names),
        "select aborted": expect(
            click.exceptions.Abort, with_terminal(Terminal(click.exceptions.Abort), select, files, names)
        ),
        "select refused": expect(TypeError, select, tuple(files), names),
        "scan": with_terminal(Terminal("1"), scan, root, ["py"], logger=quiet),
        "scan nothing chosen": with_terminal(Terminal(""), scan, root, ["py"], logger=quiet),
        "scan missing": with_terminal(Terminal(), scan, root / "missing", ["py"], logger=quiet),
        "scan no files": with_terminal(Terminal(), scan, root, ["md"], logger=quiet),
        "scan finds no pair": expect(
            ValueError,
            with_globals(
                cargohold,
                {"find_files_with_extensions": lambda *args, **kwargs: ([], [], [])},
                calling(scan, root, ["py"], logger=quiet),
            ),
        ),
        "option": with_terminal(Terminal("2"), cargohold.select_option, "q", ["A", "B"], title="t"),
        "option all": with_terminal(Terminal("all"), cargohold.select_option, "q", ["A"], allow_all=True),
        "option not a text": expect(
            TypeError, with_terminal(Terminal("1"), cargohold.select_option, "q", [5])
        ),
        "option refused": expect(TypeError, cargohold.select_option, "q", ("A",)),
        "editor": with_terminal(
            Terminal(edited="# m\ntext # m\n"), cargohold.get_user_input_via_editor, "# m", logger=quiet
        ),
        "editor unsaved": with_terminal(
            Terminal(edited=None), cargohold.get_user_input_via_editor, "# m", logger=quiet
        ),
        "editor refused": expect(TypeError, cargohold.get_user_input_via_editor, b"m"),
    }


CASE_GROUPS = {"discovery": discovery_cases, "dialogues": dialogue_cases}


@pytest.mark.parametrize("group", CASE_GROUPS)
def test_no_leaks(group, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name, case in CASE_GROUPS[group](tmp_path, monkeypatch).items():
        if name == "bad datecode keys":
            monkeypatch.setattr(stampkit, "parseVEV_fileNameTime", lambda stem: 1 if "2024" in stem else "")
        elif name == "datecode fallback":
            monkeypatch.setitem(sys.modules, "quillkit.stampkit", None)
        try:
            assert_no_leak(case)
        except AssertionError as error:
            raise AssertionError(f"{group} / {name}: {error}") from None
        finally:
            monkeypatch.undo()
            monkeypatch.chdir(tmp_path)


def test_no_leaks_with_click_itself(tmp_path):
    """click's own prompts, in one CliRunner isolation for the whole loop (each isolation keeps
    some memory of its own, with or without quillkit)."""
    files, names = [str(tmp_path / "a.py"), "b.py"], ["a", "b"]
    cases = {
        "option": (lambda: cargohold.select_option("q", ["A", "B"], allow_all=True), "2\n"),
        "option asked again": (lambda: cargohold.select_option("q", ["A", "B"]), "x\n1\n"),
        "files": (lambda: cargohold.interactive_select_files(files, names), "2,1\n"),
        "files format error": (lambda: cargohold.interactive_select_files(files, names), "a\n"),
    }
    for name, (case, answer) in cases.items():
        # Enough answers for the warm-up and both measured windows of the leak check.
        with CliRunner().isolation(input=answer * 7000) as (stdout, _, _):
            try:
                assert_no_leak(case)
            except AssertionError as error:
                raise AssertionError(f"{name}: {error}") from None
