"""find_files_with_extensions: extensions, start paths, exclusions, prefixes, messages and the
two orders. (test_discovery_property.py compares it with os.walk on generated trees.)"""

import os
import signal
import sys
import textwrap
from pathlib import Path

import pytest
import reference_discovery as reference
from helpers import TESTS, Recorder, run_python

from quillkit import cargohold, stampkit

find = cargohold.find_files_with_extensions
SCAN_DONE = "✅ 已掃描處理完畢，共找到 {} 個檔案"
DATECODE_DONE = "✅ 已完成檔案 VEV 時間排序 (DateCode)"
DATECODE_ERROR = "❌ 無法使用 DateCode 排序：未找到 quillkit.stampkit。改用字母排序。"


def make(root, *paths):
    for path in paths:
        target = root / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text("")


@pytest.fixture
def project(tmp_path, monkeypatch):
    make(
        tmp_path,
        "a.py",
        "B.TXT",
        "c.Py",
        "d.tar.gz",
        ".bashrc",
        "e.",
        "sub/b.py",
        "sub/deep/x.py",
        "build/gen.py",
        "buildx/keep.py",
    )
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_extensions_match_the_last_suffix_in_any_case(project, recorder):
    files, names = find(".", ["PY", "txt", "tar.gz", ""], logger=recorder)
    # "" stands for the suffix ".", which "e." has where pathlib makes a trailing dot one (3.14 on).
    trailing = (["e."], ["e"]) if Path("e.").suffix == "." else ([], [])
    assert (files, names) == (["B.TXT", "a.py", "c.Py"] + trailing[0], ["B", "a", "c"] + trailing[1])
    assert recorder.records == [("info", "🔍 正在掃描路徑：."), ("debug", SCAN_DONE.format(len(files)))]


@pytest.mark.parametrize("extensions", [None, [], ()])
def test_no_extensions_find_nothing(project, recorder, extensions):
    assert find(project, extensions, recursive=True, logger=recorder) == ([], [])
    assert recorder.messages() == [f"🔍 正在掃描路徑：{project}", SCAN_DONE.format(0)]


class PyLike:
    """Not a text, but equal to ".py" wherever a set compares it."""

    def lower(self):
        return self

    def startswith(self, prefix):
        return True

    def __hash__(self):
        return hash(".py")

    def __eq__(self, other):
        return other == ".py"


def test_a_lone_extension_text_is_one_extension(project, recorder):
    # Iterated letter by letter, "py" would look for ".p" and ".y" files.
    (project / "odd.p").write_text("")
    assert find(".", "PY", logger=recorder)[0] == ["a.py", "c.Py"]
    assert find(".", (e for e in ["txt"]), logger=recorder)[0] == ["B.TXT"]
    # The set decides membership, whatever its members are.
    assert find(".", [PyLike()], logger=recorder)[0] == ["a.py", "c.Py"]


def test_recursion_exclusions_and_prefix(project, recorder):
    assert find(".", [".py"], logger=recorder) == (["a.py", "c.Py"], ["a", "c"])
    files, names = find("./", [".py"], recursive=True, logger=recorder)
    assert files == ["a.py", "build/gen.py", "buildx/keep.py", "c.Py", "sub/b.py", "sub/deep/x.py"]
    assert names == ["a", "gen", "keep", "c", "b", "x"]
    for excluded in ["build", "build/", "./build", "sub/../build"]:
        files = find(".", ["py"], recursive=True, exclude_paths=excluded, logger=recorder)[0]
        assert "build/gen.py" not in files and "buildx/keep.py" in files
    assert "build/gen.py" in find(".", ["py"], True, exclude_paths="buil", logger=recorder)[0]
    make(project, "test_a.py", "a_test.py", "Test_b.py")
    assert find(".", ["py"], prefix="test_", logger=recorder)[0] == ["test_a.py"]
    with pytest.raises(TypeError, match="startswith first arg must be str"):
        find(".", ["py"], prefix=5, logger=recorder)


def test_excluded_start(project, recorder):
    assert find("a.py", ["py"], exclude_paths="./a.py", logger=recorder) == ([], [])
    recorder.records.clear()
    assert find("sub/deep", ["py"], exclude_paths=["sub/"], logger=recorder) == ([], [])
    assert recorder.records == [("info", "🔍 正在掃描路徑：sub/deep")]
    # "/" excludes everything, the start directory included.
    assert find(".", ["py"], exclude_paths="/", logger=recorder) == ([], [])
    # A path only excludes itself and what lies below it, never a name it merely begins.
    assert find("sub/deep", ["py"], exclude_paths=["sub/de"], logger=recorder)[0] == ["sub/deep/x.py"]
    assert find("sub/deep/x.py", ["py"], exclude_paths=["sub/deep/x"], logger=recorder)[0] == [
        "sub/deep/x.py"
    ]
    assert find("sub/deep/x.py", ["py"], exclude_paths=["sub"], logger=recorder) == ([], [])


def test_texts_are_compared_whole(project, recorder):
    """A NUL inside an extension or prefix is part of the text, never its end."""
    make(project, "nul.p", "nul.py")
    assert find(".", [".p\0y"], logger=recorder) == ([], [])
    assert find(".", ["p"], logger=recorder)[0] == ["nul.p"]
    assert find(".", ["py"], prefix="nul\0x", logger=recorder) == ([], [])
    assert find(".", ["py"], exclude_paths=["nul.py\0"], logger=recorder)[0] == ["a.py", "c.Py", "nul.py"]


def test_exclusions_that_are_no_list_of_paths(project, recorder):
    with pytest.raises(TypeError, match="not iterable"):
        find(".", ["py"], exclude_paths=project / "build", logger=recorder)
    with pytest.raises(TypeError):
        find(".", ["py"], exclude_paths=[b"build"], logger=recorder)
    with pytest.raises(TypeError, match="not iterable"):
        find(".", 5, logger=recorder)
    assert recorder.records == []  # refused before the scan begins


def test_single_file_and_linked_starts(project, recorder):
    assert find("sub/b.py", ["PY"], logger=recorder) == (["sub/b.py"], ["b"])
    assert find(project / "d.tar.gz", ["gz"], prefix="d", logger=recorder) == (
        [str(project / "d.tar.gz")],
        ["d.tar"],
    )
    assert find("a.py", ["txt"], logger=recorder) == ([], [])
    assert recorder.messages("warning") == []
    os.symlink(project / "sub", project / "link")
    assert find("link", ["py"], logger=recorder)[0] == ["link/b.py"]  # a linked start is read


def test_invalid_start_paths(project, recorder, monkeypatch):
    os.symlink(project / "gone", project / "dangling")
    os.mkfifo(project / "pipe.py")
    for start in ["missing", "dangling", "pipe.py", "a\0b", "\ud800"]:
        recorder.records.clear()
        assert find(start, ["py"], logger=recorder) == ([], [])
        assert recorder.records == [
            ("info", f"🔍 正在掃描路徑：{start}"),
            ("warning", f"⚠️ 跳過無效路徑：{start}"),
            ("debug", SCAN_DONE.format(0)),
        ]
    with pytest.raises(TypeError):
        find(None, ["py"], logger=recorder)
    module_log = Recorder()
    monkeypatch.setattr(cargohold, "log", module_log)
    find("missing", ["py"], logger=0)
    assert module_log.messages("warning") == ["⚠️ 跳過無效路徑：missing"]


# (forced thread count, every read seems to wait as on a cold disk, helpers the walk then has)
WALK_THREADS = {
    "1": ("1", False, None),
    "4": ("4", False, None),
    "4, reads waiting": ("4", True, 3),
    "joining": (None, True, 15),
}


@pytest.mark.parametrize("threads", WALK_THREADS.values(), ids=WALK_THREADS.keys())
def test_a_signal_stops_a_long_walk(recorder, monkeypatch, threads):
    """The walk runs without the GIL, in slices, on several threads if it may: a signal handler
    still runs, and its exception ends the call, as it would end os.walk, with no thread left.
    While reads wait, helpers join beyond the cores', up to 15, unless the count is forced."""

    class Stop(Exception):
        pass

    forced, waiting, helpers = threads
    threads_before = []
    helpers_during = []  # as the handler sees them, while the walk is at work

    def stop(signum, frame):
        helpers_during.append(len(os.listdir("/proc/self/task")) - threads_before[-1])
        if helpers is None or helpers_during[-1] >= helpers:  # else let them join, tick by tick
            raise Stop

    monkeypatch.delenv("QUILLKIT_DISCOVERY_THREADS", raising=False)
    if forced:
        monkeypatch.setenv("QUILLKIT_DISCOVERY_THREADS", forced)
    if waiting:
        monkeypatch.setenv("QUILLKIT_DISCOVERY_WAITING", "1")
    previous = signal.signal(signal.SIGALRM, stop)
    threads_after = []  # a thread left behind by each stopped walk would add up
    try:
        for _ in range(2):
            threads_before.append(len(os.listdir("/proc/self/task")))
            if helpers is None:
                signal.setitimer(signal.ITIMER_REAL, 0.02)
            else:
                signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
            with pytest.raises(Stop):
                find("/usr", ["py"], recursive=True, logger=recorder)
            signal.setitimer(signal.ITIMER_REAL, 0)
            threads_after.append(len(os.listdir("/proc/self/task")))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert threads_after == threads_before
    if helpers is not None:
        assert max(helpers_during) == helpers


def test_paths_too_long_for_the_system_stay_out_of_reach(tmp_path, recorder, monkeypatch):
    """The walk opens and stats relative to open directories, where os.walk goes by whole paths:
    what those cannot reach (a directory, or a link's target) stays out of reach all the same."""
    monkeypatch.chdir(tmp_path)
    parent = os.open(".", os.O_RDONLY)
    names = [f"{level:03d}" + "x" * 197 for level in range(20)] + ["y" * 70]  # 4,090 bytes
    try:
        for name in names:
            os.mkdir(name, dir_fd=parent)
            child = os.open(name, os.O_RDONLY, dir_fd=parent)
            os.close(parent)
            parent = child
            os.close(os.open("f.py", os.O_CREAT | os.O_WRONLY, dir_fd=parent))
        # "./" + 4,090 bytes + "/link.py" is beyond the limit; "./" + 4,094 bytes too.
        os.symlink(str(tmp_path), "link.py", dir_fd=parent)
        os.mkdir("sub", dir_fd=parent)
        os.close(os.open("sub/f.py", os.O_CREAT | os.O_WRONLY, dir_fd=parent))
    finally:
        os.close(parent)
    expected = reference.find_files_with_extensions(".", ["py"], recursive=True, logger=recorder)
    assert sorted(expected[1]) == ["f"] * 21 + ["link"]
    for threads in ["1", "4"]:
        monkeypatch.setenv("QUILLKIT_DISCOVERY_THREADS", threads)
        assert find(".", ["py"], recursive=True, logger=recorder) == expected


DESCRIPTORS = textwrap.dedent("""
    import os, resource, sys, json
    sys.path.insert(0, {tests!r})
    import reference_discovery as reference
    from helpers import Recorder
    from quillkit import cargohold
    os.chdir({root!r})
    for number in range(600):  # wide enough for helpers
        os.makedirs(f"wide/w{{number // 30}}/v{{number % 30}}")
        open(f"wide/w{{number // 30}}/v{{number % 30}}/a.py", "w").close()
    os.makedirs("wide/" + "/".join(["deep"] * 80))
    for depth in range(81):
        open("wide/" + "deep/" * depth + "b.py", "w").close()
    # A first walk with descriptors to spare: a sanitizer runtime needs some the first time it
    # checks a type (as when a thread starts).
    os.environ["QUILLKIT_DISCOVERY_THREADS"] = "3"
    cargohold.find_files_with_extensions("wide", ["py"], True, logger=Recorder())
    # One descriptor left (below the highest one open, none is free): enough for os.walk, far
    # fewer than the walk would like to hold on three threads, so that they compete for it.
    taken = {{int(fd) for fd in os.listdir("/proc/self/fd")}}
    for _ in range(max(taken) + 1):
        os.open(os.devnull, os.O_RDONLY)  # the lowest free numbers first
    highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))  # os.listdir's own is free again
    resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 1, highest + 1))
    report = {{}}
    for threads in ["1", "3", "3", "3", "3", "joining", "joining"]:
        if threads == "joining":  # helpers join while reads seem to wait, until none is left
            os.environ.pop("QUILLKIT_DISCOVERY_THREADS", None)
            os.environ["QUILLKIT_DISCOVERY_WAITING"] = "1"
        else:
            os.environ["QUILLKIT_DISCOVERY_THREADS"] = threads
        report.setdefault(threads, []).append(
            cargohold.find_files_with_extensions("wide", ["py"], True, logger=Recorder()))
    expected = reference.find_files_with_extensions("wide", ["py"], True, logger=Recorder())
    print(json.dumps([expected, report]))
""")


def test_few_descriptors_left_change_nothing(tmp_path):
    """The walk holds descriptors for the directories it is inside, on every thread; when the
    process runs out, it goes on by whole paths and on one thread, as os.walk would."""
    import json

    tests = str(TESTS)
    expected, report = json.loads(run_python(DESCRIPTORS.format(tests=tests, root=str(tmp_path))).stdout)
    assert len(expected[0]) == 600 + 81
    assert report == {"1": [expected], "3": [expected] * 4, "joining": [expected] * 2}


DATED = ["notes", "b_20240301", "a_20240101_0930", "run-20231231-235959", "readme", "x_20241301"]


@pytest.fixture
def dated(tmp_path):
    make(tmp_path, *(name + ".md" for name in DATED))
    return tmp_path


def test_datecode_order_puts_undated_names_first_in_discovery_order(dated, recorder):
    discovered = [n[:-3] for n in os.listdir(dated)]
    files, names = find(dated, ["md"], sort_datecode=True, logger=recorder)
    undated = [n for n in discovered if n in ("notes", "readme", "x_20241301")]
    assert names == undated + ["run-20231231-235959", "a_20240101_0930", "b_20240301"]
    assert files == [str(dated / (n + ".md")) for n in names]
    assert recorder.messages("info")[1] == DATECODE_DONE


def test_datecode_module_looked_up_at_each_call(dated, recorder, monkeypatch):
    calls = []
    monkeypatch.setattr(stampkit, "parseVEV_fileNameTime", lambda stem: calls.append(stem) or stem[::-1])
    names = find(dated, ["md"], sort_datecode=True, logger=recorder)[1]
    assert names == sorted(DATED, key=lambda n: n[::-1]) and sorted(calls) == sorted(DATED)


@pytest.mark.parametrize("breakage", ["no module", "no function", "raises AttributeError"])
def test_datecode_falls_back_to_alphabetical_order(dated, recorder, monkeypatch, breakage):
    if breakage == "no module":
        monkeypatch.setitem(sys.modules, "quillkit.stampkit", None)
    elif breakage == "no function":
        monkeypatch.delattr(stampkit, "parseVEV_fileNameTime")
    else:
        monkeypatch.setattr(stampkit, "parseVEV_fileNameTime", lambda stem: stem.missing)
    files, names = find(dated, ["md"], sort_datecode=True, logger=recorder)
    assert names == sorted(DATED)
    assert recorder.messages("error") == [DATECODE_ERROR]
    assert recorder.messages("debug") == [SCAN_DONE.format(6)]


def test_other_datecode_failures_propagate(dated, recorder, monkeypatch):
    monkeypatch.setattr(stampkit, "parseVEV_fileNameTime", lambda stem: 1 if "2024" in stem else None)
    with pytest.raises(TypeError, match="'<' not supported"):
        find(dated, ["md"], sort_datecode=True, logger=recorder)
    monkeypatch.setattr(stampkit, "parseVEV_fileNameTime", lambda stem: int(stem))
    with pytest.raises(ValueError):
        find(dated, ["md"], sort_datecode=True, logger=recorder)
    # Nothing found: the date-code module is not even imported.
    monkeypatch.setitem(sys.modules, "quillkit.stampkit", None)
    assert find(dated, ["py"], sort_datecode=True, logger=recorder) == ([], [])
    assert DATECODE_ERROR not in recorder.messages()


PERMISSIONS = textwrap.dedent("""
    import os, sys, json
    sys.path.insert(0, {tests!r})
    import reference_discovery as reference
    from helpers import Recorder
    from quillkit import cargohold
    os.chdir({root!r})
    for path in ["top/ok/a.py", "top/closed/b.py", "top/readonly/c.py", "top/readonly/sub/g.py",
                 "top/searchonly/d.py", "top/e.py", "closed_start/f.py"]:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "w").close()
    os.chmod("top/closed", 0)
    os.chmod("top/readonly", 0o500 & 0o444)
    os.chmod("top/searchonly", 0o111)
    os.chmod("closed_start", 0)
    # Wide enough that the walk shares it out between threads, with some doors shut.
    for number in range(400):
        path = f"wide/d{{number // 20}}/e{{number % 20}}"
        os.makedirs(path)
        open(path + "/g.py", "w").close()
        if number % 7 == 3:
            os.chmod(path, (0, 0o111, 0o500 & 0o444)[number % 3])

    def outcome(function, *args, **kwargs):
        logger = Recorder()
        try:
            result = function(*args, logger=logger, **kwargs)
        except Exception as error:
            return ["raised", type(error).__name__, str(error)]
        return [result, logger.records]

    def directory_list(function, *args, **kwargs):
        try:
            return function(*args, **kwargs)
        except Exception as error:
            return ["raised", type(error).__name__, str(error)]

    report = {{}}
    for start in ["top", "closed_start", "top/closed/b.py", "top/searchonly", "top/readonly"]:
        report[start] = [outcome(f, start, ["py"], recursive=True)
                         for f in (reference.find_files_with_extensions,
                                   cargohold.find_files_with_extensions)]
    for threads in ["1", "3"]:
        os.environ["QUILLKIT_DISCOVERY_THREADS"] = threads
        report["wide " + threads] = [outcome(f, "wide", ["py"], recursive=True)
                                     for f in (reference.find_files_with_extensions,
                                               cargohold.find_files_with_extensions)]
    log = Recorder()
    for root in ["top", "closed_start", "top/readonly", "top/searchonly"]:
        report["directory list " + root] = [directory_list(reference.get_directory_list, root, log=log),
                                            directory_list(cargohold.get_directory_list, root)]
    print(json.dumps(report, ensure_ascii=False))
""")


def test_permission_failures_match_os_walk_and_pathlib(tmp_path):
    import json

    tests = str(TESTS)
    result = run_python(PERMISSIONS.format(tests=tests, root=str(tmp_path)), unprivileged=True)
    report = json.loads(result.stdout)
    for case, (expected, actual) in report.items():
        assert actual == expected, case
    # Directories that cannot be read are skipped without a word (one that can be read but not
    # searched still lists its files); unreadable starts give nothing.
    assert report["top"][1][0] == [["top/e.py", "top/ok/a.py", "top/readonly/c.py"], ["e", "a", "c"]]
    assert report["closed_start"][1][0] == [[], []]
    assert 300 < len(report["wide 3"][1][0][0]) < 400
    assert report["top/closed/b.py"][1][1][1] == ["warning", "⚠️ 跳過無效路徑：top/closed/b.py"]
    assert report["directory list closed_start"][1][:2] == ["raised", "PermissionError"]
