"""Output paths, path kinds and extension replacement: collision-free names, output directories
with their status messages, directory 0 / regular file 1 / anything else None with a warning, and
the path facility's own rules and errors passed on unchanged."""

import contextlib
import importlib
import os
import textwrap
import types
from pathlib import Path, PurePath

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from helpers import Recorder, globals_replaced, run_python
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


# ---------------------------------------------------------------------------------------------
# While its globals are the standard objects, the module does pathlib's and os.path's work itself;
# once a program replaces one, it calls the library. Both ways must give what the library gives:
# results, messages, errors and what is left on disk.

def library_called():
    """The module's Path and os replaced by stand-ins that call the same library."""
    return globals_replaced(cargohold, Path=lambda *args: Path(*args), os=types.SimpleNamespace(path=os.path))


def outcome(function, *args, logged=False):
    """What a call gives: its result (a path as its type and text), its messages, or its error."""
    logger = Recorder()
    try:
        result = function(*args, logger=logger) if logged else function(*args)
    except Exception as error:
        return ("raised", type(error), str(error), logger.records)
    if isinstance(result, Path):
        result = (type(result), str(result))
    return (result, logger.records)


def both_ways(function, *args, logged=False):
    native = outcome(function, *args, logged=logged)
    with library_called():
        assert outcome(function, *args, logged=logged) == native
    return native


# Path texts built from the pieces pathlib treats specially, and names the system refuses.
PIECES = ["a", "b.txt", ".env", "é.語", ".", "..", "", "x.", "d", "f", "link", "dangling", "loop",
          "fifo", "none", "n" * 300, "a\x00b", "\udc80", "\ud800"]
path_texts = st.tuples(st.sampled_from(["", "/", "//", "///", "./"]),
                       st.lists(st.sampled_from(PIECES), max_size=4)).map(lambda t: t[0] + "/".join(t[1]))


@settings(max_examples=1500, deadline=None)
@given(fn=path_texts | st.text(max_size=8), new=st.text(st.sampled_from(list("./aé \x00")), max_size=4))
@example(fn="a.txt", new="")
@example(fn="//x/.", new=".md")
def test_extension_replacement_agrees_with_pathlib(fn, new):
    suffix = new if new.startswith(".") else "." + new
    try:
        expected = (str(Path(fn).with_suffix(suffix)), [])
    except ValueError as error:
        expected = ("raised", ValueError, str(error), [])
    assert both_ways(cargohold.replace_file_extension, fn, ".txt", new) == expected


@pytest.fixture(scope="module")
def sandbox(tmp_path_factory):
    """Where generated paths lead: a directory, files, links of every kind, a FIFO."""
    root = tmp_path_factory.mktemp("sandbox")
    (root / "d" / "d").mkdir(parents=True)
    for name in ["f", "d/f", "b.txt", "é.語"]:
        (root / name).write_text("x")
    os.symlink("f", root / "link")
    os.symlink("none", root / "dangling")
    os.symlink("loop", root / "loop")
    os.mkfifo(root / "fifo")
    return root


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(path=path_texts, as_bytes=st.booleans())
def test_path_kinds_agree_with_os_path(sandbox, path, as_bytes):
    if as_bytes:
        path = path.encode("utf-8", "surrogatepass")
    with working_directory(sandbox):
        kind = 0 if os.path.isdir(path) else 1 if os.path.isfile(path) else None
        warned = [] if kind is not None else [("warning", f"⚠️ 路徑不存在或無效：{path}")]
        assert both_ways(cargohold.get_path_type, path, logged=True) == (kind, warned)


@contextlib.contextmanager
def working_directory(path):
    before = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(before)


def listing(root):
    return sorted((os.path.relpath(folder, root), sorted(names), sorted(files))
                  for folder, names, files in os.walk(root))


# Directories as callers write them (relative, kept inside the sandbox: they are created), names
# with separators, empty and overlong parts; the output directory holds taken names, a dangling
# link and an entry that is no directory.
directories = st.lists(st.sampled_from(["out", "new", ".", "..", "", "f", "taken", "n" * 300,
                                        "a\x00", "é"]), max_size=3).map(lambda parts: "/".join(parts).lstrip("/"))
names = st.sampled_from(["r", "", ".", "a/b", "/abs", "taken", "n" * 300, "é", "r\x00"])
extensions = st.sampled_from(["csv", ".csv", "", ".", ".tar.gz", "x/y"])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(directory=directories, base=names, extension=extensions, as_path=st.booleans(),
       out_file=names)
def test_output_paths_agree_with_pathlib(tmp_path_factory, directory, base, extension, as_path,
                                         out_file):
    outcomes = []
    for way in (contextlib.nullcontext, library_called):
        top = tmp_path_factory.mktemp("out")
        root = top / "1" / "2" / "3"  # ".." three times stays inside
        (root / "out").mkdir(parents=True)
        for name in ["out/r.csv", "out/r_1.csv", "out/r_3.csv", "f", "out/taken"]:
            (root / name).touch()
        os.symlink("none", root / "out" / "r_2.csv")  # dangling: free
        with working_directory(root), way():
            outcomes.append([
                outcome(cargohold.get_unique_path, Path(directory) if as_path else directory, base, extension),
                outcome(cargohold.setup_output_dir, directory, logged=True),
                outcome(cargohold.setup_output_file, directory, out_file, logged=True),
                listing(top)])
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("owner, name, use", [
    ("os", "stat", lambda d: cargohold.get_path_type(str(d / "f"))),
    ("os", "fspath", lambda d: cargohold.replace_file_extension("a.b", "", "c")),
    ("io", "open", lambda d: cargohold.load_local_file_content(str(d / "f"), logger=Recorder())),
    ("pathlib", "Path.exists", lambda d: cargohold.get_unique_path(d, "f", "")),
    ("pathlib", "Path.mkdir", lambda d: cargohold.setup_output_dir(str(d))),
    ("pathlib", "Path.is_file", lambda d: cargohold.get_cli_name(d / "f")),
    ("pathlib", "PurePath.with_suffix", lambda d: cargohold.replace_file_extension("a.b", "", "c")),
    ("pathlib", "PurePath.__truediv__", lambda d: cargohold.setup_output_file(str(d), "x")),
    ("pathlib", "PurePath.__fspath__", lambda d: cargohold.remove_file(d / "f")),
])
def test_a_replaced_library_member_is_called(tmp_path, monkeypatch, owner, name, use):
    (tmp_path / "f").write_text("x")
    target = importlib.import_module(owner)
    *classes, member = name.split(".")
    for attribute in classes:
        target = getattr(target, attribute)
    real, calls = getattr(target, member), []

    def traced(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(target, member, traced)
    use(tmp_path)
    assert calls


def test_a_path_that_names_itself_in_bytes_of_a_subclass(tmp_path, monkeypatch):
    """os.stat takes any bytes that __fspath__ gives, and so do the native checks."""
    class Bytes(bytes):
        pass

    (tmp_path / "f").write_text("x")
    kind = cargohold.get_path_type(tmp_path / "f")
    real = PurePath.__fspath__
    monkeypatch.setattr(PurePath, "__fspath__", lambda self: Bytes(real(self).encode()))
    assert cargohold.get_path_type(tmp_path / "f") == kind
    cargohold.remove_file(tmp_path / "f")
    assert not (tmp_path / "f").exists()
