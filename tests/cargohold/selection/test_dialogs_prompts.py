"""select_option through click's CliRunner isolation, and get_user_input_via_editor with an
EDITOR script that really runs as a child process."""

import os
import stat

import click
import pytest
from click.testing import CliRunner
from helpers import Recorder

from quillkit import cargohold

select_option = cargohold.select_option
edit = cargohold.get_user_input_via_editor


def dialogue(function, *args, input="", **kwargs):
    with CliRunner().isolation(input=input) as (stdout, _, _):
        result = function(*args, **kwargs)
    return result, stdout.getvalue().decode()


def test_menu_lines_and_answer():
    result, output = dialogue(select_option, "請選擇", ["A", "B", "C"], input="2\n")
    assert result == "B"
    assert output == "  [1] A\n  [2] B\n  [3] C\n\n請選擇 (1, 2, 3): 2\n"


def test_invalid_answers_are_asked_again():
    result, output = dialogue(select_option, "請選擇", ["A", "B", "C"], input="0\n4\nall\n 2\n2\n")
    assert result == "B"
    assert output.count("請選擇 (1, 2, 3): ") == 5


def test_all_and_titles():
    result, output = dialogue(select_option, "請選擇", ["A", "B"], title="模式", allow_all=[1], input="all\n")
    assert result == "all"
    assert (
        output.startswith("\n模式：\n  [1] A\n") and "請選擇 (或輸入 'all' 代表全部) (1, 2, all): " in output
    )
    for title in ["", None]:
        assert dialogue(select_option, "q", ["A"], title=title, input="1\n")[1].startswith("  [1] A\n")


def test_default_answers_an_empty_input():
    assert dialogue(select_option, "q", ["A", "B"], default="1", input="\n")[0] == "A"


def test_empty_option_list():
    with pytest.raises(click.exceptions.Abort):  # nothing is accepted until the input ends
        dialogue(select_option, "q", [], input="1\n\n")
    assert dialogue(select_option, "q", [], allow_all=True, input="1\nall\n")[0] == "all"


def test_exact_prompt_call(monkeypatch):
    seen = []

    def prompt(*args, **kwargs):
        seen.append((args, kwargs))
        return "3"

    monkeypatch.setattr(click, "prompt", prompt)
    monkeypatch.setattr(click, "echo", lambda text: seen.append(text))
    assert select_option("p", ["A", "B", "C"], allow_all=True) == "C"
    (args, kwargs) = seen[-1]
    assert seen[:3] == ["  [1] A", "  [2] B", "  [3] C"]
    assert args == ("\np (或輸入 'all' 代表全部)",) and set(kwargs) == {"type", "default"}
    assert list(kwargs["type"].choices) == ["1", "2", "3", "all"] and kwargs["default"] is None


def test_option_elements_and_argument_types():
    assert dialogue(select_option, "q", ["A", None], input="2\n")[0] is None
    with pytest.raises(TypeError, match="Expected str, got int"):
        dialogue(select_option, "q", ["A", 5], input="2\n")
    for arguments, keywords in [
        ((b"q", ["A"]), {}),
        (("q", ("A",)), {}),
        (("q", ["A"]), {"default": 1}),
        (("q", ["A"]), {"title": b"t"}),
    ]:
        with pytest.raises(TypeError, match="has incorrect type"):
            assert dialogue(select_option, *arguments, **keywords)[1] == ""


@pytest.fixture
def editor(tmp_path, monkeypatch):
    """Installs an EDITOR script running `body` (a shell fragment; "$1" is the file); the text
    the editor was given is kept in seen.txt."""

    def install(body):
        script = tmp_path / "editor.sh"
        script.write_text(f'#!/bin/sh\ncp "$1" "{tmp_path}/seen.txt"\n{body}\n')
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        monkeypatch.delenv("VISUAL", raising=False)
        monkeypatch.setenv("EDITOR", str(script))
        return tmp_path / "seen.txt"

    return install


def test_edited_text_without_the_marker(editor, recorder):
    seen = editor("printf '# 請輸入\\n  第一行 # 請輸入 留下\\n\\n' > \"$1\"")
    assert edit("# 請輸入", label="描述", logger=recorder) == "第一行  留下"
    assert seen.read_text() == "# 請輸入\n"
    assert recorder.records == [("debug", "正在開啟編輯器獲取 描述...")]


def test_unsaved_and_unchanged_edits_give_an_empty_text(editor, recorder, monkeypatch):
    editor("exit 0")  # closed without saving
    assert edit("# marker", logger=recorder) == ""
    editor('touch "$1"')  # saved as it was: only the marker, which is removed
    assert edit("# marker", logger=recorder) == ""
    module_log = Recorder()
    monkeypatch.setattr(cargohold, "log", module_log)
    edit("# marker", logger=None)
    assert module_log.records == [("debug", "正在開啟編輯器獲取 輸入內容...")]


def test_editor_failures_propagate(editor, monkeypatch, recorder):
    editor("exit 3")
    with pytest.raises(click.ClickException, match="Editing failed"):
        edit("m", logger=recorder)
    monkeypatch.setenv("EDITOR", os.path.join(os.sep, "no", "such", "editor"))
    with pytest.raises(click.ClickException, match="Editing failed"):
        edit("m", logger=recorder)
    with pytest.raises(TypeError, match="Argument 'marker' has incorrect type"):
        edit(None)
