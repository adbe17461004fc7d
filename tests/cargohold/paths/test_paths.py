"""Output paths, path kinds and extension replacement: collision-free names, output directories
with their status messages, directory 0 / regular file 1 / anything else None with a warning, and
the path facility's own rules and errors passed on unchanged."""

import contextlib
import importlib
import inspect
import os
import sys
import textwrap
import types
from pathlib import Path, PurePath

import pytest
from helpers import DOT_NAMES, TESTS, Recorder, globals_replaced, run_python
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

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
    with pytest.raises(
        TypeError, match=r"Argument 'base_name' has incorrect type \(expected str, got PosixPath\)"
    ):
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
        "✅ 輸出目錄已建立：out",
        "✅ 輸出目錄已就緒：out",
        "✅ 輸出目錄已建立：a/b/c",
        "✅ 輸出目錄已就緒：.",
        "🚀 輸出檔案路徑已就緒：x.txt",
        "✅ 輸出目錄已建立：new",
        "🚀 輸出檔案路徑已就緒：new/sub/y.txt",
    ]
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
    result = run_python(
        textwrap.dedent(f"""
        import os
        from quillkit import cargohold
        os.umask(0o222)
        try:
            cargohold.setup_output_dir("{tmp_path}/made/sub", print)
        except PermissionError as error:
            print("PermissionError", error.filename)
    """),
        unprivileged=True,
    )
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


@pytest.mark.parametrize(
    "fn, org, new, expected",
    [
        ("a/b.txt", ".txt", "md", "a/b.md"),
        ("a/b.tar.gz", ".gz", ".zip", "a/b.tar.zip"),
        ("notes", "", ".md", "notes.md"),
        (".env", "", ".bak", ".env.bak"),
        ("a.csv", ".txt", ".json", "a.json"),
        ("./x.py", ".py", ".md", "x.md"),
        ("a//b/./c.d", "", "x", "a/b/c.x"),
        ("報告.文件", "", "新", "報告.新"),
    ],
)
def test_replace_extension(fn, org, new, expected):
    assert cargohold.replace_file_extension(fn, org, new) == expected


def replaced_by_pathlib(fn, new):
    """What replace_file_extension must give: pathlib's with_suffix on the running interpreter,
    in the form outcome() reports it."""
    try:
        return (str(Path(fn).with_suffix(new if new.startswith(".") else "." + new)), [])
    except ValueError as error:
        return ("raised", ValueError, str(error), [])


def test_replace_extension_errors_come_from_the_path_facility():
    # pathlib's wording differs between versions, and so does whether a lone "." (what an empty
    # newExt becomes) is a suffix (3.14 on): the expected outcome is the running one's.
    for fn, new in [
        ("", ".md"),
        (".", ".md"),
        ("/", ".md"),
        ("./", ".md"),
        ("a.txt", ""),
        ("a.txt", "."),
        ("a.txt", "a/b"),
    ]:
        assert both_ways(cargohold.replace_file_extension, fn, ".txt", new) == replaced_by_pathlib(fn, new)
    for fn in ["", ".", "/", "./"]:  # no name: an error on every version
        assert replaced_by_pathlib(fn, ".md")[:2] == ("raised", ValueError)
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
    kinds = [
        cargohold.get_path_type(p, recorder)
        for p in [tmp_path, str(tmp_path / "file"), bytes(tmp_path / "to_file"), tmp_path / "to_dir"]
    ]
    assert kinds == [0, 1, 1, 0] and recorder.records == []
    assert cargohold.get_path_type(tmp_path / "dangling", logger=recorder) is None
    assert cargohold.get_path_type("/dev/null", logger=recorder) is None
    assert recorder.messages("warning") == [
        f"⚠️ 路徑不存在或無效：{tmp_path}/dangling",
        "⚠️ 路徑不存在或無效：/dev/null",
    ]


INTERRUPTED_STAT = """
import json, os, sys
from pathlib import Path
sys.path.insert(0, {tests!r})
from helpers import Recorder
from quillkit import cargohold
root = Path({root!r})
calls = {{
    "directory kind": lambda: cargohold.get_path_type(str(root), Recorder()),
    "file kind": lambda: cargohold.get_path_type(bytes(root / "a.py"), Recorder()),
    "discovery": lambda: cargohold.find_files_with_extensions(root, [".py"], logger=Recorder()),
    "directory list": lambda: cargohold.get_directory_list(root),
    "file content": lambda: cargohold.load_local_file_content(root / "a.py", logger=Recorder()),
}}
report = {{}}
for serial, (case, call) in enumerate(calls.items(), 1):
    os.environ["QUILLKIT_FAULT"] = f"{{serial}};stat 1 eintr"
    interrupted = call()
    os.environ["QUILLKIT_FAULT"] = ""
    report[case] = [repr(interrupted), repr(call())]
print(json.dumps(report))
"""


def test_an_interrupted_stat_is_made_again(tmp_path, fault_library):
    """A signal that interrupts the first stat of a call changes nothing: the stat is made again,
    as os.stat makes it, and the answer is the one an uninterrupted call gives."""
    import json

    root = tmp_path / "tree"  # inside the folder whose calls fail: the folder itself is not
    (root / "sub").mkdir(parents=True)
    (root / "a.py").write_text("x")
    code = INTERRUPTED_STAT.format(tests=str(TESTS), root=str(root))
    report = json.loads(run_python(code, env=fault_library.environment(tmp_path)).stdout)
    assert {case: interrupted for case, (interrupted, plain) in report.items() if interrupted != plain} == {}


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
PIECES = [
    "a",
    "b.txt",
    ".env",
    "é.語",
    ".",
    "..",
    "",
    "x.",
    "d",
    "f",
    "link",
    "dangling",
    "loop",
    "fifo",
    "none",
    "n" * 300,
    "a\x00b",
    "\udc80",
    "\ud800",
] + DOT_NAMES
path_texts = st.tuples(
    st.sampled_from(["", "/", "//", "///", "./"]), st.lists(st.sampled_from(PIECES), max_size=4)
).map(lambda t: t[0] + "/".join(t[1]))


@settings(max_examples=1500, deadline=None)
@given(fn=path_texts | st.text(max_size=8), new=st.text(st.sampled_from(list("./aé \x00")), max_size=4))
@example(fn="a.txt", new="")
@example(fn="//x/.", new=".md")
def test_extension_replacement_agrees_with_pathlib(fn, new):
    assert both_ways(cargohold.replace_file_extension, fn, ".txt", new) == replaced_by_pathlib(fn, new)


@pytest.mark.parametrize("name", DOT_NAMES)
def test_extension_replacement_at_the_dot_rules_edges(name):
    for fn in [name, "d/" + name, "/" + name + "/"]:
        for new in ["", ".", "x", ".x", "..x", "x."]:
            assert both_ways(cargohold.replace_file_extension, fn, ".txt", new) == replaced_by_pathlib(
                fn, new
            )


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


def tree_contents(root):
    return sorted(
        (os.path.relpath(folder, root), sorted(names), sorted(files))
        for folder, names, files in os.walk(root)
    )


# Directories as callers write them (relative, kept inside the sandbox: they are created), names
# with separators, empty and overlong parts; the output directory holds taken names, a dangling
# link and an entry that is no directory.
directories = st.lists(
    st.sampled_from(["out", "new", ".", "..", "", "f", "taken", "n" * 300, "a\x00", "é"]), max_size=3
).map(lambda parts: "/".join(parts).lstrip("/"))
names = st.sampled_from(["r", "", ".", "a/b", "/abs", "taken", "n" * 300, "é", "r\x00"])
extensions = st.sampled_from(["csv", ".csv", "", ".", ".tar.gz", "x/y"])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(directory=directories, base=names, extension=extensions, as_path=st.booleans(), out_file=names)
def test_output_paths_agree_with_pathlib(tmp_path_factory, directory, base, extension, as_path, out_file):
    outcomes = []
    for way in (contextlib.nullcontext, library_called):
        top = tmp_path_factory.mktemp("out")
        root = top / "1" / "2" / "3"  # ".." three times stays inside
        (root / "out").mkdir(parents=True)
        for name in ["out/r.csv", "out/r_1.csv", "out/r_3.csv", "f", "out/taken"]:
            (root / name).touch()
        os.symlink("none", root / "out" / "r_2.csv")  # dangling: free
        with working_directory(root), way():
            outcomes.append(
                [
                    outcome(
                        cargohold.get_unique_path, Path(directory) if as_path else directory, base, extension
                    ),
                    outcome(cargohold.setup_output_dir, directory, logged=True),
                    outcome(cargohold.setup_output_file, directory, out_file, logged=True),
                    tree_contents(top),
                ]
            )
    assert outcomes[0] == outcomes[1]


class Recording:
    """Stands in for a module or a class attribute such as pathlib's parser: every attribute read
    is recorded, and answered by the real object."""

    def __init__(self, real, calls):
        self._real, self._calls = real, calls

    def __getattr__(self, name):
        self._calls.append(name)
        return getattr(self._real, name)


def recording(raw, calls):
    """`raw` (an attribute as it sits in its class or module) made to record each use."""
    if isinstance(raw, property):
        return property(lambda self: (calls.append(self), raw.__get__(self, type(self)))[1])
    if isinstance(raw, staticmethod):
        return staticmethod(lambda *args, **kwargs: (calls.append(args), raw.__func__(*args, **kwargs))[1])
    if isinstance(raw, types.ModuleType):
        return Recording(raw, calls)

    def traced(*args, **kwargs):
        calls.append(args)
        return raw(*args, **kwargs)

    return traced


def download_with_a_local_dotenv(directory):
    """download_github_content where find_dotenv finds nothing, so that the .env beside the
    package is looked for (Path(__file__).parent.parent / ".env")."""
    service = types.SimpleNamespace(
        get=lambda url, **options: types.SimpleNamespace(
            status_code=200, text="text", raise_for_status=lambda: None
        )
    )
    with globals_replaced(cargohold, requests=service, find_dotenv=lambda *args, **kwargs: ""):
        cargohold.download_github_content("https://github.com/o/r/blob/main/a.md")


# Calls whose stand-ins rely on the members below; on the running release, every one of them
# falls to the library once such a member is replaced.
USES = {
    "with_suffix": lambda d: cargohold.replace_file_extension("d/a.b", "", "c"),
    "name": lambda d: cargohold.match_filename("d/a.b", "a"),
    "stem": lambda d: cargohold.extract_filename_info("d/a_b.c"),
    "join": lambda d: cargohold.setup_output_file(str(d), "x", Recorder()),
    "parent": download_with_a_local_dotenv,
    "exists": lambda d: cargohold.get_unique_path(d, "f", ""),
    "mkdir": lambda d: cargohold.setup_output_dir(str(d)),
    "read": lambda d: cargohold.load_local_file_content(str(d / "f"), logger=Recorder()),
    "os.path tests": lambda d: cargohold.get_path_type(str(d / "f")),
    "suffix": lambda d: cargohold.find_files_with_extensions(d, ["b"], logger=Recorder()),
}
ALL, BEFORE_313, SINCE_313, BEFORE_314, SINCE_314 = (3, 12), (3, 12, 3, 12), (3, 13), (3, 12, 3, 13), (3, 14)

# Each member a guard compares: where it is (a module, or pathlib.Path, whose class the paths
# are), the releases whose library reaches it (from a release, or from one to another), and a
# use it serves there.
GUARDED = [
    ("os", "fspath", ALL, "name"),
    ("os", "stat", ALL, "os.path tests"),
    ("os", "stat", ALL, "exists"),
    ("os", "mkdir", ALL, "mkdir"),
    ("os", "path", ALL, "os.path tests"),
    ("os", "path", SINCE_314, "exists"),
    ("os.path", "isdir", ALL, "os.path tests"),
    ("os.path", "isdir", SINCE_314, "mkdir"),
    ("os.path", "isfile", ALL, "os.path tests"),
    ("os.path", "isfile", SINCE_314, "read"),
    ("os.path", "exists", SINCE_314, "exists"),
    ("io", "open", ALL, "read"),
    ("io", "text_encoding", ALL, "read"),
    ("Path", "__new__", ALL, "name"),
    ("Path", "__init__", ALL, "stem"),
    ("Path", "__str__", ALL, "with_suffix"),
    ("Path", "__fspath__", ALL, "read"),
    ("Path", "drive", ALL, "with_suffix"),
    ("Path", "root", ALL, "join"),
    ("Path", "_flavour", BEFORE_313, "name"),
    ("Path", "parser", SINCE_313, "stem"),
    ("Path", "__truediv__", ALL, "join"),
    ("Path", "joinpath", BEFORE_313, "join"),
    ("Path", "parent", ALL, "parent"),
    ("Path", "with_segments", ALL, "join"),
    ("Path", "stat", BEFORE_314, "exists"),
    ("Path", "stat", BEFORE_314, "mkdir"),
    ("Path", "exists", ALL, "exists"),
    ("Path", "is_file", ALL, "read"),
    ("Path", "is_dir", ALL, "mkdir"),
    ("Path", "mkdir", ALL, "mkdir"),
    ("Path", "read_text", ALL, "read"),
    ("Path", "open", ALL, "read"),
    ("Path", "with_suffix", ALL, "with_suffix"),
    ("Path", "name", ALL, "name"),
    ("Path", "suffix", ALL, "suffix"),
    ("Path", "suffix", BEFORE_313, "with_suffix"),
    ("Path", "stem", ALL, "stem"),
    ("Path", "stem", SINCE_313, "with_suffix"),
    ("Path", "with_name", SINCE_313, "with_suffix"),
]


def on_this_release(releases):
    first, last = releases[:2], releases[2:] or (3, 15)
    return first <= sys.version_info[:2] <= last


@pytest.mark.parametrize(
    "owner, name, use",
    [(owner, name, use) for owner, name, releases, use in GUARDED if on_this_release(releases)],
)
def test_a_replaced_library_member_is_called(tmp_path, monkeypatch, owner, name, use):
    """Replaced after a use that found everything as it was, the member is called at the next."""
    (tmp_path / "f").write_text("x")
    (tmp_path / "a.b").write_text("x")
    target = Path if owner == "Path" else importlib.import_module(owner)
    calls = []
    raw = inspect.getattr_static(target, name)
    before = USES[use](tmp_path)
    monkeypatch.setattr(target, name, recording(raw, calls))
    assert USES[use](tmp_path) == before and calls


# On a release the stand-ins have not been proven on, each use calls the library: the member
# that shows it, for every use of the table above.
UNKNOWN_RELEASE = textwrap.dedent("""
    import collections, json, os, sys
    import click, dotenv, importlib.metadata, requests, yaml  # as on the real release
    # The release after the last known one, while the module starts (what it keeps).
    real, sys.version_info = sys.version_info, collections.namedtuple(
        "version_info", "major minor micro releaselevel serial")(3, 16, 0, "final", 0)
    from quillkit import cargohold
    sys.version_info = real
    sys.path[:0] = [{here!r}, {tests!r}]
    import inspect, pathlib
    import reference_discovery, test_paths
    from helpers import DOT_NAMES, Recorder
    os.chdir({root!r})
    for name in ["f", "a.b"] + [name for name in DOT_NAMES if name not in (".", "..")]:
        open(name, "w").close()
    shown = {{"with_suffix": "with_suffix", "name": "name", "stem": "stem", "join": "__truediv__",
             "parent": "parent", "exists": "exists", "mkdir": "mkdir", "read": "read_text",
             "suffix": "suffix", "os.path tests": "os.path.isdir"}}
    report = {{}}
    for use, member in shown.items():
        owner, name = (os.path, "isdir") if "." in member else (pathlib.Path, member)
        raw, calls, had = inspect.getattr_static(owner, name), [], name in vars(owner)
        setattr(owner, name, test_paths.recording(raw, calls))
        try:
            test_paths.USES[use](pathlib.Path("."))
        finally:
            if had:
                setattr(owner, name, raw)
            else:
                delattr(owner, name)
        report[use] = bool(calls)
    for extensions in [["b"], ["", "."], ["x", "y", "tar"]]:
        for module in (reference_discovery, cargohold):
            function = module.find_files_with_extensions
            report.setdefault(str(extensions), []).append(function(".", extensions, logger=Recorder()))
    print(json.dumps(report))
""")


def test_an_unknown_release_leaves_every_use_to_the_library(tmp_path):
    import json

    here = os.path.dirname(os.path.abspath(__file__))
    code = UNKNOWN_RELEASE.format(here=here, tests=str(TESTS), root=str(tmp_path))
    report = json.loads(run_python(code).stdout)
    for case, result in report.items():
        assert result is True or result[0] == result[1], case


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
