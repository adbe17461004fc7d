"""get_directory_list: one level of subdirectories in the order the system lists them, the three
name rules, the warning for a missing root, and errors that are not caught. (Permission failures
are compared with pathlib in test_discovery.py; generated trees in test_discovery_property.py.)"""

import os

import pytest
from helpers import Recorder

from quillkit import cargohold

directory_list = cargohold.get_directory_list


@pytest.fixture
def module_log(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(cargohold, "log", recorder)
    return recorder


@pytest.fixture
def root(tmp_path, monkeypatch):
    for name in [".git", "_cache", "build", "dist", "docs", "src", "BUILD", "mypkg.egg-info"]:
        (tmp_path / name).mkdir()
    (tmp_path / "README").write_text("")
    (tmp_path / "src" / "lib").mkdir()
    monkeypatch.chdir(tmp_path)
    return tmp_path


def in_system_order(directory, names):
    return [name for name in os.listdir(directory) if name in names]


def test_defaults_keep_visible_directories_in_system_order(root, module_log):
    kept = in_system_order(root, {"docs", "src", "BUILD", "mypkg.egg-info"})
    assert directory_list() == (kept, kept)
    assert directory_list(".", (), ("build", "dist"), (".egg-info",))[1] == in_system_order(
        root, {".git", "_cache", "docs", "src", "BUILD"}
    )
    assert directory_list(root, ("d", "s", "B"), ())[1] == in_system_order(
        root, {".git", "_cache", "build", "mypkg.egg-info"}
    )
    assert module_log.records == []


def test_a_member_may_be_the_whole_name_among_thousands(root):
    """A name begins and ends with itself, a longer member matches nothing, and a match is
    found however many members come before it."""
    many = tuple(f"x{number}" for number in range(5000))
    kept = directory_list(".", many + ("docs", "srcx"), many + ("BUILD",), many + ("src", "xdocs"))[1]
    assert kept == in_system_order(root, {".git", "_cache", "build", "dist", "mypkg.egg-info"})


def test_paths_are_joined_as_pathlib_joins(root):
    assert directory_list("src/") == (["src/lib"], ["lib"])
    assert directory_list("./src/../src") == (["src/../src/lib"], ["lib"])
    assert directory_list(root / "src") == ([str(root / "src" / "lib")], ["lib"])
    assert "tmp" in directory_list("/", (), (), ())[1] and "/tmp" in directory_list("/", (), (), ())[0]


def test_links_to_directories_count_dangling_ones_do_not(root):
    os.symlink(root / "src", root / "alias")
    os.symlink(root / "gone", root / "dangling")
    os.symlink(root / "README", root / "readme_link")
    names = directory_list()[1]
    assert "alias" in names and "dangling" not in names and "readme_link" not in names
    assert directory_list("alias") == (["alias/lib"], ["lib"])


@pytest.mark.parametrize("root_path", ["missing", "README", "a\0b"])
def test_missing_or_file_root_warns_on_the_module_logger(root, module_log, root_path):
    assert directory_list(root_path) == ([], [])
    assert module_log.records == [("warning", f"⚠️ 指定的目錄不存在或非資料夾：{root_path}")]


def test_rules_must_be_tuples_and_hold_texts(root, module_log):
    for bad in [["build"], None, "build"]:
        with pytest.raises(TypeError, match="Argument 'exclude_names' has incorrect type"):
            directory_list("missing", exclude_names=bad)
    assert module_log.records == []  # refused before anything is looked at
    with pytest.raises(TypeError, match="tuple for startswith must only contain str"):
        directory_list(".", exclude_prefixes=(1,))
    # As str.startswith does, a match before the bad element ends the test without an error.
    assert directory_list("src", exclude_prefixes=("l", 1)) == ([], [])
    assert directory_list(".", (), (1, None, "docs"))[1].count("docs") == 0
    with pytest.raises(TypeError):
        directory_list(None)
