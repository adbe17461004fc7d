"""Choosing files on the terminal: interactive_select_files and scan_and_select_files, through
click's own CliRunner isolation, and once end to end in a real pseudo-terminal."""

import os
import sys
import textwrap

import click
import pexpect
import pytest
from click.testing import CliRunner
from helpers import Recorder

from quillkit import cargohold

select = cargohold.interactive_select_files
scan = cargohold.scan_and_select_files
QUESTION = "\n請輸入檔案編號 (例如: 1,2,5) 或輸入 'all' 代表全部 (直接按 Enter 則不選取): "
FORMAT_ERROR = "輸入格式錯誤，請提供數字編號並以逗號分隔。"


def dialogue(function, *args, input="", color=False, **kwargs):
    """Runs one call with `input` as the terminal's input; gives the result and the output."""
    with CliRunner().isolation(input=input, color=color) as (stdout, _, _):
        result = function(*args, **kwargs)
    return result, stdout.getvalue().decode()


@pytest.fixture
def three(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return ["a.py", "b.py", "c.py"], ["a", "b", "c"]


def test_numbers_in_the_order_given(three):
    result, output = dialogue(select, *three, input=" 3, 1 ,3\n")
    assert result == [("c.py", "c"), ("a.py", "a"), ("c.py", "c")]
    assert output == ("\n找到以下 .py 檔案：\n  [1] a.py\n  [2] b.py\n  [3] c.py\n" + QUESTION + " 3, 1 ,3\n")


@pytest.mark.parametrize(
    "answer, expected",
    [
        ("  ALL \n", [("a.py", "a"), ("b.py", "b"), ("c.py", "c")]),
        ("aLl\n", [("a.py", "a"), ("b.py", "b"), ("c.py", "c")]),
        ("0,5,-1,2\n", [("b.py", "b")]),
        ("+2, 0002 ,99999999999999999999999\n", [("b.py", "b"), ("b.py", "b")]),
        ("\n", []),
        (" , ,,\n", []),
    ],
)
def test_answers(three, answer, expected):
    result, output = dialogue(select, *three, input=answer)
    assert result == expected and FORMAT_ERROR not in output


@pytest.mark.parametrize("answer", ["1,x\n", "1.5\n", "all,1\n", "1 2\n"])
def test_an_answer_that_is_not_numbers_selects_nothing(three, answer):
    result, output = dialogue(select, *three, input=answer, color=True)
    assert result == []
    assert output.endswith(f"\x1b[31m{FORMAT_ERROR}\x1b[0m\n")


def test_the_input_stream_ending_at_the_prompt_propagates(three):
    with pytest.raises(click.exceptions.Abort):
        dialogue(select, *three, input="")


def test_excluded_names(three):
    files, names = three
    result, output = dialogue(select, files, names, ".md", ["b"], input="all\n")
    assert result == [("a.py", "a"), ("c.py", "c")] and "[2] c.md" in output
    result, output = dialogue(select, files, names, ".md", ["a", "b", "c", "d"])
    assert (result, output) == ([], "經過過濾後，找不到任何可用的 .md 檔案。\n")  # no prompt
    # An empty exclusion list filters nothing, and neither does None.
    assert dialogue(select, files, names, exclude_names=[], input="3\n")[0] == [("c.py", "c")]


def test_excluded_names_as_in_compares_them(three):
    """`name in exclude_names`, however long the list, for names and members that are not
    texts, and when a comparison (Python code) changes the list: later names see the change."""
    files, names = three
    many = [f"n{number}" for number in range(20_000)]
    assert dialogue(select, files, names, exclude_names=many + ["c", "a"], input="all\n")[0] == [
        ("b.py", "b")
    ]
    assert dialogue(
        select, files + ["d.py"], [1, "a", 2.0, "b"], exclude_names=["b", 2, None], input="all\n"
    )[0] == [("a.py", 1), ("b.py", "a")]

    class Meddling(str):
        def __eq__(self, other):
            exclude[:] = ["x", "c"] if adding else []
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    # `adding` is read by Meddling.__eq__, during the call.
    cases = [(True, ["x"], ["a", "b"]), (False, ["x", "c"], ["a", "b", "c"])]
    for adding, exclude, kept in cases:  # noqa: B007
        result = dialogue(select, files, ["a", Meddling("b"), "c"], exclude_names=exclude, input="all\n")[0]
        assert [name for _, name in result] == kept


def test_display_names(tmp_path, monkeypatch):
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    files = [
        str(tmp_path / "work" / "sub" / "a.py"),
        str(tmp_path / "work" / "top.py"),
        str(tmp_path / "other" / "b.py"),
        "https://example.com/x/c.py",
        "http://h/d",
        7,
        "",
        "sub\\e.py",
    ]
    names = ["a", "top", "b", "c", "d", "n", "empty", "e"]
    _, output = dialogue(select, files, names, "", input="\n")
    assert output.splitlines()[2:10] == [
        "  [1] sub/a.py",
        "  [2] top",
        "  [3] ../other/b.py",
        "  [4] c",
        "  [5] d",
        "  [6] n",
        "  [7] empty",  # relpath("") raises; the short form stays
        "  [8] e",
    ]


def test_lists_of_different_lengths_offer_only_whole_pairs(three):
    files, names = three
    result, output = dialogue(select, files, names[:2], input="1,3,2\n")
    assert result == [("a.py", "a"), ("b.py", "b")] and "[3]" not in output
    result, _ = dialogue(select, files[:1], names, input="all\n")
    assert result == [("a.py", "a")]


@pytest.fixture
def folder(tmp_path, monkeypatch):
    for name in ["notes.md", "todo.MD", "sub/deep.md", "skip/old.md", "x.txt"]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_scan_and_choose(folder, recorder):
    result, output = dialogue(
        scan,
        ".",
        ["md"],
        exclude_paths=["skip"],
        exclude_names=["todo"],
        label="筆記",
        logger=recorder,
        input="2,1\n",
    )
    assert result == [("sub/deep.md", "deep"), ("notes.md", "notes")]
    assert "\n找到以下 .md 檔案：\n  [1] notes.md\n  [2] sub/deep.md\n" in output
    assert recorder.records == [
        ("info", "🔍 正在掃描路徑：."),
        ("debug", "✅ 已掃描處理完畢，共找到 3 個檔案"),
    ]


def test_scan_shows_the_extension_only_when_one_was_scanned(folder, recorder):
    _, output = dialogue(scan, ".", ["md", "txt"], recursive=False, logger=recorder, input="\n")
    assert "\n找到以下  檔案：\n  [1] notes\n  [2] todo\n  [3] x\n" in output
    _, output = dialogue(scan, folder, iter(["MD", ".md"]), logger=recorder, input="\n")
    assert "找到以下 .md 檔案" in output and "[2] skip/old.md" in output


def test_scan_reports_why_nothing_came_out(folder, recorder):
    result, output = dialogue(scan, "missing", ["md"], logger=recorder)
    assert (result, output) == ([], "")
    assert recorder.records == [
        ("warning", "⚠️ 路徑不存在或無效：missing"),
        ("error", "❌ 來源資料夾不存在或無效：missing"),
    ]
    recorder.records.clear()
    assert dialogue(scan, folder / "x.txt", ["txt"], logger=recorder) == ([], "")
    assert recorder.records == [("error", f"❌ 來源資料夾不存在或無效：{folder}/x.txt")]
    recorder.records.clear()
    assert dialogue(scan, "sub", ["py"], label="程式", logger=recorder) == ([], "")
    assert recorder.messages("error") == ["❌ 在 sub 中找不到任何 程式。"]
    recorder.records.clear()
    assert dialogue(scan, "sub", ["md"], label="筆記", logger=recorder, input="7\n")[0] == []
    assert recorder.messages("warning") == ["⚠️ 未選取任何有效筆記，程序結束。"]


def test_scan_calls_the_module_functions_through_its_globals(folder, monkeypatch):
    calls = []
    module_log = Recorder()
    monkeypatch.setattr(cargohold, "log", module_log)
    monkeypatch.setattr(cargohold, "get_path_type", lambda path, logger: calls.append(logger) or 0)
    monkeypatch.setattr(
        cargohold,
        "find_files_with_extensions",
        lambda *args, **kwargs: calls.append(kwargs) or (["f.md"], ["f"]),
    )
    monkeypatch.setattr(
        cargohold,
        "interactive_select_files",
        lambda files, names, **kwargs: calls.append(kwargs) or [("f.md", "f")],
    )
    assert scan("anything", ["md"], recursive=0, exclude_paths="p", exclude_names=["n"]) == [("f.md", "f")]
    assert calls == [
        module_log,
        {"extensions": ["md"], "recursive": 0, "exclude_paths": "p", "logger": module_log},
        {"extension": ".md", "exclude_names": ["n"]},
    ]
    monkeypatch.setattr(cargohold, "find_files_with_extensions", lambda *args, **kwargs: ["only one"])
    with pytest.raises(ValueError, match="not enough values to unpack"):
        scan("anything", ["md"])


END_TO_END = textwrap.dedent("""
    from quillkit import cargohold, chronicle
    chronicle.setup_logging("e2e", file=None)
    chosen = cargohold.scan_and_select_files(".", [".md"], label="筆記")
    print("RESULT", chosen)
""")


def test_end_to_end_in_a_pseudo_terminal(folder):
    child = pexpect.spawn(
        sys.executable,
        ["-P", "-c", END_TO_END],
        cwd=str(folder),
        encoding="utf-8",
        timeout=20,
        env={**os.environ, "COLUMNS": "120"},
    )
    try:
        child.expect_exact("e2e.cargohold: 🔍 正在掃描路徑：.")
        child.expect_exact("找到以下 .md 檔案：")
        child.expect(r"\[1\] notes\.md\s+\[2\] skip/old\.md\s+\[3\] sub/deep\.md\s+\[4\] todo\.md")
        child.expect_exact("(直接按 Enter 則不選取): ")
        child.sendline("4, 2")
        child.expect_exact("RESULT [('todo.MD', 'todo'), ('skip/old.md', 'old')]")
        child.expect(pexpect.EOF)
    finally:
        child.close()
    assert child.exitstatus == 0
