"""Output paths, path kinds and extension replacement: collision-free names, output directories
with their status messages, directory 0 / regular file 1 / anything else None with a warning, and
the path facility's own rules and errors passed on unchanged."""

import os
import textwrap
from pathlib import Path

import pytest

from helpers import Recorder, run_python
from quillkit import cargohold


def test_unique_path(tmp_path):
    unique = cargohold.get_unique_path
    assert unique(tmp_path, "report", "csv") == tmp_path / "report.csv"
    for name in ["report.csv", "report_2.csv", "data.tar.gz", "r."]:
        (tmp_path / name).touch()
    assert unique(str(tmp_path), "report", ".csv") == tmp_path / "report_1.csv"  # a gap is reused
    (tmp_path / "report_1.csv").mkdir()  # any kind of entry is taken
    assert unique(tmp_path, "report", "csv") == tmp_path / "report_3.csv"
    assert unique(tmp_path, "data", ".tar.gz") == tmp_path / "data_1.tar.gz"
    assert unique(tmp_path, "r", "") == tmp_path / "r_1."
    os.symlink(tmp_path / "gone", tmp_path / "link.txt")
    assert unique(tmp_path, "link", "txt") == tmp_path / "link.txt"  # a dangling link is free
    assert type(unique("", "名稱", "md")) is type(Path()) and len(list(tmp_path.iterdir())) == 6
    for directory in [None, 3, b"/tmp"]:
        with pytest.raises(TypeError):
            unique(directory, "a", "b")
    with pytest.raises(TypeError, match=r"Argument 'base_name' has incorrect type \(expected str, got PosixPath\)"):
        unique(tmp_path, Path("a"), "b")


def test_output_dir_and_file(tmp_path, monkeypatch, recorder):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cargohold, "log", None)  # never a fallback here
    cargohold.setup_output_dir("out", recorder)
    assert cargohold.setup_output_dir("out", logger=recorder) is None
    cargohold.setup_output_dir("a/b/c", recorder)
    assert cargohold.setup_output_file("", "x.txt", recorder) == Path("x.txt")
    assert cargohold.setup_output_file("new", "sub/y.txt", recorder) == Path("new/sub/y.txt")
    assert cargohold.setup_output_file("new", "/abs/y.txt", 0) == Path("/abs/y.txt")
    cargohold.setup_output_dir("quiet", logger="")
    assert recorder.messages("info") == [
        "✅ 輸出目錄已建立：out", "✅ 輸出目錄已就緒：out", "✅ 輸出目錄已建立：a/b/c",
        "✅ 輸出目錄已就緒：.", "🚀 輸出檔案路徑已就緒：x.txt",
        "✅ 輸出目錄已建立：new", "🚀 輸出檔案路徑已就緒：new/sub/y.txt"]
    assert Path("a/b/c").is_dir() and Path("quiet").is_dir() and not Path("new/sub").exists()
    Path("file").touch()
    with pytest.raises(FileExistsError):
        cargohold.setup_output_dir("file", recorder)
    with pytest.raises(NotADirectoryError):
        cargohold.setup_output_file("file/d", "x", recorder)
    with pytest.raises(TypeError, match="Argument 'dir_path'"):
        cargohold.setup_output_dir(Path("p"), recorder)
    assert len(recorder.records) == 7


def test_output_dir_permission_error_keeps_created_parents(tmp_path):
    # With this umask the first missing level is made without write permission, so the next
    # one fails once root's override is gone.
    result = run_python(textwrap.dedent(f"""
        import os
        from quillkit import cargohold
        os.umask(0o222)
        try:
            cargohold.setup_output_dir("{tmp_path}/made/sub", print)
        except PermissionError as error:
            print("PermissionError", error.filename)
    """), unprivileged=True)
    (tmp_path / "made").chmod(0o755)
    assert result.stdout == f"PermissionError {tmp_path}/made/sub\n"
    assert (tmp_path / "made").is_dir() and not (tmp_path / "made" / "sub").exists()


def test_module_globals_are_used_at_call_time(tmp_path, monkeypatch, recorder):
    calls = []

    class TracedPath(type(Path())):
        def exists(self, **kwargs):
            calls.append(self.name)
            return super().exists(**kwargs)

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cargohold, "setup_output_dir", lambda *a, **k: calls.append((a, k)))
    monkeypatch.setattr(cargohold, "Path", TracedPath)
    assert type(cargohold.setup_output_file("nowhere", "f.txt", recorder)) is TracedPath
    assert calls == [(("nowhere",), {"logger": recorder})] and not Path("nowhere").exists()
    (tmp_path / "r.txt").touch()
    cargohold.get_unique_path(tmp_path, "r", "txt")
    assert calls[1:] == ["r.txt", "r_1.txt"]


@pytest.mark.parametrize("fn, org, new, expected", [
    ("a/b.txt", ".txt", "md", "a/b.md"), ("a/b.tar.gz", ".gz", ".zip", "a/b.tar.zip"),
    ("notes", "", ".md", "notes.md"), (".env", "", ".bak", ".env.bak"),
    ("a.csv", ".txt", ".json", "a.json"), ("./x.py", ".py", ".md", "x.md"),
    ("a//b/./c.", "", "x", "a/b/c..x"), ("報告.文件", "", "新", "報告.新"),
])
def test_replace_extension(fn, org, new, expected):
    assert cargohold.replace_file_extension(fn, org, new) == expected


def test_replace_extension_errors_come_from_the_path_facility():
    # pathlib's wording differs between versions: the expected text is the running one's.
    for fn, new in [("", ".md"), (".", ".md"), ("/", ".md"), ("./", ".md"),
                    ("a.txt", ""), ("a.txt", "."), ("a.txt", "a/b")]:
        with pytest.raises(ValueError) as expected:
            Path(fn).with_suffix(new if new.startswith(".") else "." + new)
        with pytest.raises(ValueError) as raised:
            cargohold.replace_file_extension(fn, ".txt", new)
        assert str(raised.value) == str(expected.value)
    for position in range(3):
        arguments = ["a.txt", ".txt", ".md"]
        arguments[position] = Path(arguments[position])
        with pytest.raises(TypeError, match="has incorrect type"):
            cargohold.replace_file_extension(*arguments)


def test_kinds_with_links_followed(tmp_path, recorder):
    (tmp_path / "file").write_text("x")
    os.symlink(tmp_path / "file", tmp_path / "to_file")
    os.symlink(tmp_path, tmp_path / "to_dir")
    os.symlink(tmp_path / "gone", tmp_path / "dangling")
    kinds = [cargohold.get_path_type(p, recorder) for p in
             [tmp_path, str(tmp_path / "file"), bytes(tmp_path / "to_file"), tmp_path / "to_dir"]]
    assert kinds == [0, 1, 1, 0] and recorder.records == []
    assert cargohold.get_path_type(tmp_path / "dangling", logger=recorder) is None
    assert cargohold.get_path_type("/dev/null", logger=recorder) is None
    assert recorder.messages("warning") == [f"⚠️ 路徑不存在或無效：{tmp_path}/dangling",
                                            "⚠️ 路徑不存在或無效：/dev/null"]


def test_module_logger_and_bad_types(monkeypatch):
    module_log = Recorder()
    monkeypatch.setattr(cargohold, "log", module_log)
    assert cargohold.get_path_type("/no/such/path", logger=0) is None
    assert module_log.messages("warning") == ["⚠️ 路徑不存在或無效：/no/such/path"]
    for refused in [None, 1.5, object()]:
        with pytest.raises(TypeError):
            cargohold.get_path_type(refused)
