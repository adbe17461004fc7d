"""Leak check of output paths, file-name fields, moving and removing (see leakcheck.py)."""

import os
import stat
import types
from pathlib import Path

import pytest
from leakcheck import Silent, assert_no_leak, calling, expect, with_globals

from quillkit import cargohold as ch


def then(prepare, case):
    def prepared():
        prepare()
        case()

    return prepared


def as_path_exists_answers(path, function, *args):
    """A case that raises what `path.exists()` raises on the running interpreter, or returns."""
    try:
        path.exists()
    except OSError as error:
        return expect(type(error), function, *args)
    return calling(function, *args)


def path_cases(tmp_path):
    for name in ["r.txt", "r_1.txt", "file"]:
        (tmp_path / name).touch()
    out, file = str(tmp_path / "out"), str(tmp_path / "file")
    return {
        "unique": calling(ch.get_unique_path, tmp_path, "r", "txt"),
        "unique refused": expect(TypeError, ch.get_unique_path, None, "r", "txt"),
        "unique as text": calling(ch.get_unique_path, str(tmp_path) + "/./", "r", ".txt"),
        # Path.exists raises for an overlong name before 3.14, answers False since.
        "unique overlong": as_path_exists_answers(
            tmp_path / ("n" * 300 + ".txt"), ch.get_unique_path, tmp_path, "n" * 300, "txt"
        ),
        "path kind": calling(ch.get_path_type, str(tmp_path / "r.txt")),
        "path kind bytes": calling(ch.get_path_type, bytes(tmp_path), Silent()),
        "path kind missing": calling(ch.get_path_type, str(tmp_path / "é" / "none"), Silent()),
        "output dir": calling(ch.setup_output_dir, out, Silent()),
        "output dir failure": expect(FileExistsError, ch.setup_output_dir, file, Silent()),
        "output dir type": expect(TypeError, ch.setup_output_dir, tmp_path),
        "output file": calling(ch.setup_output_file, out, "x.txt", Silent()),
        "output file failure": expect(NotADirectoryError, ch.setup_output_file, file + "/d", "x"),
        "replace": calling(ch.replace_file_extension, "a/b.txt", ".txt", "md"),
        "replace empty name": expect(ValueError, ch.replace_file_extension, ".", "", "md"),
        "replace wide": calling(ch.replace_file_extension, "//a/./名稱.tar.gz/", ".gz", "zip"),
        "replace invalid suffix": expect(ValueError, ch.replace_file_extension, "a.txt", "", "x/y"),
        "replace type": expect(TypeError, ch.replace_file_extension, "a", "", b"md"),
        "fields": calling(ch.extract_filename_info, "dir/a_b_c.csv", (2, 0, 2)),
        "fields out of range": expect(IndexError, ch.extract_filename_info, "abc.txt"),
        "fields empty name": expect(ValueError, ch.extract_filename_info, ""),
        "fields text index": expect(TypeError, ch.extract_filename_info, "a_b", (0, "1")),
        "fields float index": expect(TypeError, ch.extract_filename_info, "a_b", (0, 1.0)),
        "fields list": expect(TypeError, ch.extract_filename_info, "a_b", [0]),
        "match": calling(ch.match_filename, "data/./test_file.CSV/", "TEST", ".csv"),
        "match exact case": calling(ch.match_filename, "名稱.txt", "名", None, False),
        "match type": expect(TypeError, ch.match_filename, "a", 1),
        # The library's way, through a replaced Path: one that makes the same paths, one whose
        # names are no texts.
        "fields by the library": with_globals(
            ch, {"Path": lambda text: Path(text)}, calling(ch.extract_filename_info, "d/a_b.c", (1, 0))
        ),
        "match by the library": with_globals(
            ch, {"Path": lambda text: Path(text)}, calling(ch.match_filename, "d/A.b", "a", ".B")
        ),
        "match on no text": with_globals(
            ch,
            {"Path": lambda text: types.SimpleNamespace(name=5)},
            expect(AttributeError, ch.match_filename, "d/a.b", "a"),
        ),
    }


def removal_cases(tmp_path):
    refused, file, tree = tmp_path / "refused", tmp_path / "file.txt", tmp_path / "tree"
    refused.mkdir()
    (refused / "locked").touch()
    (tmp_path / "real").mkdir()
    os.symlink(tmp_path / "real", tmp_path / "link")

    def fresh_file(file_mode=0o644):
        file.touch()
        file.chmod(file_mode)

    def fresh_tree():
        (tree / "sub").mkdir(parents=True, exist_ok=True)
        (tree / "sub" / "f").touch()
        (tree / "sub" / "f").chmod(0o444)

    return {
        "remove file": then(fresh_file, calling(ch.remove_file, file)),
        "remove read-only file": then(lambda: fresh_file(0o444), calling(ch.remove_file, str(file))),
        "remove refused file": calling(ch.remove_file, refused / "locked"),
        "remove missing file": calling(ch.remove_file, tmp_path / "none"),
        "remove file type": expect(TypeError, ch.remove_file, None),
        "remove tree": then(fresh_tree, calling(ch.remove_directory, tree)),
        "remove refused tree": calling(ch.remove_directory, refused),
        "remove link": calling(ch.remove_directory, tmp_path / "link"),
        "remove not a tree": calling(ch.remove_directory, file),
        "remove tree type": expect(TypeError, ch.remove_directory, 1),
        "move": then(fresh_file, calling(ch.force_move_file, file, tmp_path / "d" / "t", tmp_path / "bk")),
        "move onto itself": calling(ch.force_move_file, refused / "locked", str(refused / "locked")),
        "move missing": calling(ch.force_move_file, tmp_path / "none", tmp_path / "t.txt"),
        "move onto a directory": then(
            fresh_file, expect(IsADirectoryError, ch.force_move_file, file, tmp_path / "real")
        ),
        "move type": expect(TypeError, ch.force_move_file, file, None),
    }


@pytest.mark.parametrize("group", ["paths", "removal"])
def test_no_leaks(group, tmp_path, monkeypatch):
    real_unlink = os.unlink

    def unlink(path, *, dir_fd=None):
        # Read-only files cannot be deleted (as on some systems), and files named "locked" never.
        file_mode = os.stat(path, dir_fd=dir_fd, follow_symlinks=False).st_mode
        if not file_mode & stat.S_IWRITE or os.path.basename(path) == "locked":
            raise PermissionError(13, "refused", os.fspath(path))
        real_unlink(path, dir_fd=dir_fd)

    monkeypatch.setattr(os, "unlink", unlink)
    monkeypatch.setattr(ch, "log", Silent())
    cases = path_cases(tmp_path) if group == "paths" else removal_cases(tmp_path)
    for name, case in cases.items():
        try:
            assert_no_leak(case)
        except AssertionError as error:
            raise AssertionError(f"{group} / {name}: {error}") from None
