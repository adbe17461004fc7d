"""Moving and removing: force-moves with a backup, removal of files and trees with the read-only
retry, permissions put back when the retry fails, and no success reported for what stays."""

import inspect
import os
import shutil
import stat
import sys
import textwrap
import types
from pathlib import Path

import pytest
from helpers import run_python

from quillkit import cargohold


@pytest.fixture(autouse=True)
def in_tmp_path(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def make_file(path, file_mode=0o644, text="x"):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(text)
    os.chmod(path, file_mode)


class Stop(BaseException):
    """Outside the Exception family, like KeyboardInterrupt."""


def read_only_unlink(monkeypatch, refuse=lambda attempt: None):
    """Gives os.unlink the rule of systems where a read-only file cannot be deleted; `refuse`
    may give an exception to raise at an attempt (counted per file). Returns the modes seen."""
    real_unlink, seen, attempts = os.unlink, [], {}

    def unlink(path, *, dir_fd=None):
        status = os.stat(path, dir_fd=dir_fd, follow_symlinks=False)
        seen.append(stat.S_IMODE(status.st_mode))
        attempts[status.st_ino] = attempt = attempts.get(status.st_ino, 0) + 1
        if refuse(attempt):
            raise refuse(attempt)
        if not status.st_mode & stat.S_IWRITE:
            raise PermissionError(13, "read-only file", os.fspath(path))
        real_unlink(path, dir_fd=dir_fd)

    monkeypatch.setattr(os, "unlink", unlink)
    return seen


def test_what_is_not_there_or_of_another_kind_is_left_alone(module_log):
    make_file("file")
    Path("dir").mkdir()
    os.symlink("gone", "dangling")
    for remove in [cargohold.remove_directory, cargohold.remove_file]:
        for path in ["missing", "file" if remove is cargohold.remove_directory else "dir", "dangling"]:
            assert remove(path) is None
        for path in [None, 3, b"file", object()]:
            with pytest.raises(TypeError):
                remove(path)
    assert module_log.records == [] and sorted(os.listdir()) == ["dangling", "dir", "file"]


def test_removal_with_the_read_only_retry(monkeypatch, module_log):
    seen = read_only_unlink(monkeypatch)
    make_file("single.txt", 0o444)
    make_file("target.txt")
    os.symlink("target.txt", "link.txt")
    for name in ["tree/a.txt", "tree/deep/b.txt"]:
        make_file(name, 0o400)
    cargohold.remove_file("./single.txt")
    assert seen == [0o444, 0o200]  # exactly owner-write for the retry
    cargohold.remove_file(Path("link.txt"))
    cargohold.remove_directory("./tree//")
    assert module_log.messages("info") == [
        "✅ 已處理：移除檔案 single.txt",
        "✅ 已處理：移除檔案 link.txt",
        "✅ 已處理：移除目錄 tree",
    ]
    assert os.listdir() == ["target.txt"] and len(module_log.records) == 3


def test_a_failed_retry_puts_the_permissions_back(monkeypatch, module_log):
    read_only_unlink(monkeypatch, refuse=lambda attempt: PermissionError(13, f"attempt {attempt}"))
    make_file("kept.txt", 0o444)
    make_file("tree/f", 0o604)
    os.chmod("tree", 0o750)
    cargohold.remove_file("kept.txt")
    cargohold.remove_directory("tree")
    real_chmod = os.chmod
    monkeypatch.setattr(
        os, "chmod", lambda path, new_mode: real_chmod(path, new_mode) if new_mode == stat.S_IWRITE else 1 / 0
    )  # a failing restore is ignored
    cargohold.remove_file("tree/f")
    assert module_log.messages() == [
        "⚠️ 無法移除檔案 kept.txt：[Errno 13] attempt 2",
        "⚠️ 無法移除目錄 tree：[Errno 13] attempt 2",
        "⚠️ 無法移除檔案 tree/f：[Errno 13] attempt 4",
    ]
    assert (mode("kept.txt"), mode("tree")) == (0o444, 0o750) and Path("tree/f").exists()


def test_errors_outside_the_exception_family_propagate(monkeypatch, module_log):
    read_only_unlink(monkeypatch, refuse=lambda attempt: Stop() if attempt == 2 else PermissionError())
    make_file("kept.txt", 0o440)
    make_file("tree/f", 0o604)
    with pytest.raises(Stop):
        cargohold.remove_file("kept.txt")
    with pytest.raises(Stop):
        cargohold.remove_directory("tree")
    assert (mode("kept.txt"), mode("tree/f")) == (0o440, 0o604) and module_log.records == []


def test_real_permission_failures_without_root_privileges(tmp_path):
    """Entries that stay keep their permissions, and the tree is not reported removed."""
    for name in ["ro/f.txt", "tree1/ro/f", "tree1/other.txt"]:
        make_file(tmp_path / name, 0o640)
    (tmp_path / "tree2" / "locked").mkdir(parents=True)
    (tmp_path / "hidden").mkdir()
    locked = {"ro": 0o555, "tree1/ro": 0o555, "tree2/locked": 0, "hidden": 0}
    for directory, directory_mode in locked.items():
        (tmp_path / directory).chmod(directory_mode)
    try:
        result = run_python(
            textwrap.dedent(f"""
            import os, shutil
            from pathlib import Path
            from quillkit import cargohold
            cargohold.log = type("Show", (), {{"info": print, "warning": print}})
            os.chdir({str(tmp_path)!r})
            cargohold.remove_file("ro/f.txt")
            cargohold.remove_directory("tree1")
            cargohold.remove_directory("tree2")
            # The existence test runs before the guard: where Path.exists raises for a directory
            # that may not be searched (before 3.14), so do the removals; else they do nothing.
            for test in [Path("hidden/x").exists, lambda: cargohold.remove_file("hidden/x"),
                         lambda: cargohold.remove_directory("hidden/x")]:
                try:
                    print(test())
                except PermissionError:
                    print("raised")
            met = []  # what rmtree itself reports for tree2 (its wording varies by version)
            shutil.rmtree(Path("tree2"), onexc=lambda function, path, error: met.append(error))
            print(met[0])
        """),
            unprivileged=True,
        )
        modes = {name: mode(tmp_path / name) for name in ["ro/f.txt", "tree1", "tree1/ro/f", "tree2"]}
        modes.update({name: mode(tmp_path / name) for name in locked})
    finally:
        for directory in locked:
            (tmp_path / directory).chmod(0o755)
    *shown, rmtree_error = result.stdout.splitlines()
    assert rmtree_error.startswith("[Errno 13] Permission denied:")
    assert shown == [
        "⚠️ 無法移除檔案 ro/f.txt：[Errno 13] Permission denied: 'ro/f.txt'",
        "⚠️ 無法移除目錄 tree1：[Errno 13] Permission denied: 'tree1/ro/f'",
        # os.open cannot be repeated on a bare path: the error rmtree met is the one shown
        f"⚠️ 無法移除目錄 tree2：{rmtree_error}",
        *(["raised"] * 3 if shown[3] == "raised" else ["False", "None", "None"]),
    ]
    assert modes == {"ro/f.txt": 0o640, "tree1": 0o755, "tree1/ro/f": 0o640, "tree2": 0o755, **locked}
    assert not (tmp_path / "tree1" / "other.txt").exists()  # what could go, went


def test_the_retry_never_changes_what_a_link_points_to(tmp_path):
    """A link that cannot go (its directory is read-only) is retried without a mode change:
    chmod would follow it to a file outside the tree."""
    make_file(tmp_path / "outside.txt", 0o444)
    for link in ["ro/link", "tree/ro/link"]:
        (tmp_path / link).parent.mkdir(parents=True)
        os.symlink(tmp_path / "outside.txt", tmp_path / link)
        (tmp_path / link).parent.chmod(0o555)
    before = os.stat(tmp_path / "outside.txt").st_ctime_ns
    try:
        result = run_python(
            textwrap.dedent(f"""
            import os
            from quillkit import cargohold
            cargohold.log = type("Show", (), {{"info": print, "warning": print}})
            os.chdir({str(tmp_path)!r})
            cargohold.remove_file("ro/link")
            cargohold.remove_directory("tree")
        """),
            unprivileged=True,
        )
    finally:
        for directory in ["ro", "tree/ro"]:
            (tmp_path / directory).chmod(0o755)
    assert result.stdout.splitlines() == [
        "⚠️ 無法移除檔案 ro/link：[Errno 13] Permission denied: 'ro/link'",
        "⚠️ 無法移除目錄 tree：[Errno 13] Permission denied: 'tree/ro/link'",
    ]
    assert os.stat(tmp_path / "outside.txt").st_ctime_ns == before  # not even changed and restored
    assert mode(tmp_path / "outside.txt") == 0o444


def test_a_link_to_a_directory_is_refused_and_its_target_untouched(module_log):
    make_file("real/f")
    os.chmod("real", 0o750)
    os.symlink("real", "link")
    cargohold.remove_directory("link")
    refusals = []  # rmtree's own refusal, whose wording varies by version
    shutil.rmtree(Path("link"), onexc=lambda function, path, error: refusals.append(error))
    assert module_log.messages() == [f"⚠️ 無法移除目錄 link：{refusals[0]}"]
    assert mode("real") == 0o750 and Path("link/f").exists()


@pytest.mark.parametrize("version, hook", [(sys.version_info, "onexc"), ((3, 11, 9), "onerror")])
def test_the_tree_handler(monkeypatch, module_log, version, hook):
    handlers = []

    def rmtree(path, **hooks):
        assert list(hooks) == [hook] and isinstance(path, Path)
        handlers.append(hooks[hook])
        error = PermissionError(13, "denied")
        hooks[hook](os.open, "tree/sub", error if hook == "onexc" else (type(error), error, None))
        hooks[hook](os.unlink, "tree/gone", error)  # overcome: nothing recorded

    monkeypatch.setattr(cargohold, "shutil", types.SimpleNamespace(rmtree=rmtree))
    monkeypatch.setattr(sys, "version_info", version)
    Path("tree/sub").mkdir(mode=0o711, parents=True)
    make_file("tree/gone")
    cargohold.remove_directory("tree")
    cargohold.remove_directory("tree")
    monkeypatch.setattr(cargohold, "shutil", types.SimpleNamespace(rmtree=lambda path, **hooks: None))
    cargohold.remove_directory("tree")
    first, second = handlers
    assert first is not second and first.__name__ == "_handle_readonly"
    assert first.__qualname__ == "remove_directory.<locals>._handle_readonly"
    assert list(inspect.signature(first).parameters) == ["func", "path_str", "exc_info"]
    assert "_handle_readonly" not in vars(cargohold)
    assert mode("tree/sub") == 0o711 and not Path("tree/gone").exists()
    assert module_log.messages() == ["⚠️ 無法移除目錄 tree：[Errno 13] denied"] * 2 + [
        "⚠️ 無法移除目錄 tree：目錄仍存在"
    ]


def test_force_move(module_log):
    make_file("src.txt", 0o640, "content")
    os.utime("src.txt", (1_000_000, 1_000_000))
    make_file("bk/old.txt", text="previous backup")
    make_file("dest/target.txt", text="replaced, not kept")
    assert cargohold.force_move_file("./nope.txt", "dest/target.txt", backup="x/b.txt") is None
    cargohold.force_move_file("src.txt", "dest/target.txt", backup="bk/old.txt")
    cargohold.force_move_file(Path("dest/target.txt"), "./moved.txt", backup=Path("new/deep/bk"))
    cargohold.force_move_file("moved.txt", "a/b/final.txt", backup="")
    assert module_log.messages() == [
        "❌ 來源檔案不存在：nope.txt",
        "✅ 備份成功：src.txt -> bk/old.txt",
        "✅ 搬移成功：src.txt -> dest/target.txt",
        "✅ 備份成功：dest/target.txt -> new/deep/bk",
        "✅ 搬移成功：dest/target.txt -> moved.txt",
        "✅ 搬移成功：moved.txt -> a/b/final.txt",
    ]
    assert module_log.messages("error") == module_log.messages()[:1]
    for copy in ["bk/old.txt", "new/deep/bk", "a/b/final.txt"]:
        assert Path(copy).read_text() == "content"
        assert mode(copy) == 0o640 and os.stat(copy).st_mtime == 1_000_000
    assert sorted(os.listdir()) == ["a", "bk", "dest", "new"] and os.listdir("dest") == []


def test_force_move_failures_propagate(module_log):
    make_file("tree/sub/f")
    make_file("bk/old")
    cargohold.force_move_file("tree", "moved/tree")  # a whole tree, without a backup
    with pytest.raises(IsADirectoryError):
        cargohold.force_move_file("moved/tree", "elsewhere", backup="bk/old")
    assert not Path("bk/old").exists() and Path("moved/tree/sub/f").exists()
    make_file("f.txt")
    with pytest.raises(IsADirectoryError):
        cargohold.force_move_file("f.txt", "moved", backup="bk/kept.txt")
    assert Path("bk/kept.txt").exists() and Path("f.txt").exists()  # the backup stays
    assert module_log.messages() == ["✅ 搬移成功：tree -> moved/tree", "✅ 備份成功：f.txt -> bk/kept.txt"]
    for source, destination in [(None, "x"), ("f.txt", 3), (b"f.txt", "y")]:
        with pytest.raises(TypeError):
            cargohold.force_move_file(source, destination)


def test_a_file_moved_onto_itself_is_kept(tmp_path, module_log):
    make_file("a.txt", text="precious")
    os.symlink(tmp_path, "here")
    cargohold.force_move_file("a.txt", "./a.txt")
    cargohold.force_move_file("a.txt", "here/a.txt")
    with pytest.raises(OSError, match="are the same file"):
        cargohold.force_move_file("a.txt", "b.txt", backup=tmp_path / "a.txt")
    assert Path("a.txt").read_text() == "precious" and not Path("b.txt").exists()
    os.link("a.txt", "hard.txt")  # another entry of the same file is replaced as usual
    cargohold.force_move_file("a.txt", "hard.txt")
    assert not Path("a.txt").exists() and Path("hard.txt").read_text() == "precious"
    assert module_log.messages() == [
        "✅ 搬移成功：a.txt -> a.txt",
        "✅ 搬移成功：a.txt -> here/a.txt",
        "✅ 搬移成功：a.txt -> hard.txt",
    ]


def test_move_uses_the_module_globals(monkeypatch, module_log):
    calls = []
    monkeypatch.setattr(
        cargohold,
        "shutil",
        types.SimpleNamespace(copy2=lambda *args: calls.append(args), move=lambda *args: calls.append(args)),
    )
    make_file("s.txt")
    cargohold.force_move_file("s.txt", "d.txt", "b.txt")
    assert calls == [(Path("s.txt"), Path("b.txt")), ("s.txt", "d.txt")]
