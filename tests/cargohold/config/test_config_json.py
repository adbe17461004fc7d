"""JSON settings: `//` line comments (never inside a string), required keys, and failures that
are logged through the module logger."""

import json
import re
import tempfile
import textwrap
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillkit import cargohold

LOAD_FAILED = "❌ 載入 JSON 設定失敗 "

# The comment rule in plain Python: a string literal (a backslash escapes the next character;
# an unterminated one runs to the end) or an escaped character is kept; `//` outside them starts
# a comment that runs to the line break.
_TOKEN = re.compile(r'(\\[\s\S]|"(?:[^"\\]|\\[\s\S])*(?:"|\\?\Z))|//[^\n]*')


def strip_comments(text):
    return _TOKEN.sub(lambda match: match.group(1) or "", text)


def write(directory, content, name="c.json"):
    path = Path(directory) / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def test_comments_are_dropped_outside_strings(tmp_path, module_log):
    path = write(
        tmp_path,
        textwrap.dedent("""\
        // 伺服器設定
        {
          "url": "https://example.com/a//b", // 網址
          "quote": "say \\"hi\\" // not a comment",   // but this is
          "slashes": "\\\\", "port": 8080 //
        }"""),
    )
    assert cargohold.load_json_config(path) == {
        "url": "https://example.com/a//b",
        "quote": 'say "hi" // not a comment',
        "slashes": "\\",
        "port": 8080,
    }
    assert module_log.records == []


PIECES = ["//", "/", '"', "\\", '\\"', "\\\\", "\n", "\r\n", " ", "a", "1", ":", "é", "中", "🎉"]


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=30).map("".join))
def test_stripping_follows_the_rule(text):
    seen = []
    original, cargohold.json = cargohold.json, SimpleNamespace(loads=seen.append)
    try:
        with tempfile.TemporaryDirectory() as directory:
            path = write(directory, text)
            cargohold.load_json_config(path)
            expected = strip_comments(Path(path).read_text(encoding="utf-8"))  # newlines as read
    finally:
        cargohold.json = original
    assert seen == [expected]
    assert seen[0].isascii() == expected.isascii()  # the narrowest kind of str, as Python makes it


def test_required_keys(tmp_path, module_log):
    path = write(tmp_path, '{"port": 80, "host": "h", "debug": false}')
    load = cargohold.load_json_config
    assert load(path, ["host", "port"]) == ("h", 80)
    assert load(path, ["debug", "debug"]) == (False, False)
    assert load(path, []) == load(path) == {"port": 80, "host": "h", "debug": False}
    assert load(path, ["host", "user", "pass", "user"]) is None
    with pytest.raises(TypeError, match="Argument 'required_keys'"):
        load(path, ("host",))
    array, scalar = write(tmp_path, '["host", 1]', "array.json"), write(tmp_path, "5", "scalar.json")
    assert load(array, ["host"]) is load(array, ["port"]) is load(scalar, ["port"]) is None
    # An array is searched by its elements, however many, after elements that are not texts too.
    long_array = write(
        tmp_path, "[" + ", ".join(f'"k{n}"' for n in range(5000)) + ', "é", 1, "port"]', "long.json"
    )
    assert load(long_array, ["é", "k4999", "user", "k5000"]) is None
    assert load(long_array, [1, "port"]) is None
    parsed_array = ["host", 1]
    long_parsed = [f"k{n}" for n in range(5000)] + ["é", 1, "port"]
    assert module_log.messages("error") == [
        f"❌ JSON 格式錯誤，缺少 Key：['user', 'pass', 'user'] 於 {path}",
        f"{LOAD_FAILED}{array}：{raised_text(lambda: parsed_array['host'])}",
        f"❌ JSON 格式錯誤，缺少 Key：['port'] 於 {array}",
        f"{LOAD_FAILED}{scalar}：{raised_text(lambda: 'port' in 5)}",
        f"❌ JSON 格式錯誤，缺少 Key：['user', 'k5000'] 於 {long_array}",
        f"{LOAD_FAILED}{long_array}：{raised_text(lambda: long_parsed['port'])}",
    ]


def raised_text(operation):
    """The text of the error the running interpreter raises for `operation` (its wording changes
    between versions)."""
    with pytest.raises(Exception) as raised:
        operation()
    return str(raised.value)


@pytest.mark.parametrize(
    "content", [b"", b"// nothing\r\n  // here", b'{"a": 1,}', b'{"url": "http://x"', b'{"a": "\xff"}']
)
def test_unusable_content(tmp_path, module_log, content):
    path = write(tmp_path, content)
    try:
        json.loads(strip_comments(Path(path).read_text(encoding="utf-8")))
    except Exception as error:
        expected = f"{LOAD_FAILED}{path}：{error}"
    assert cargohold.load_json_config(path) is None
    assert module_log.records == [("error", expected)]


def test_paths_that_are_not_regular_files(tmp_path, module_log):
    assert cargohold.load_json_config(str(tmp_path)) is None
    assert cargohold.load_json_config(str(tmp_path / "none.json")) is None
    assert module_log.records == [
        ("error", f"❌ JSON 檔案不存在或無效：{tmp_path}"),
        ("warning", f"⚠️ 路徑不存在或無效：{tmp_path}/none.json"),
        ("error", f"❌ JSON 檔案不存在或無效：{tmp_path}/none.json"),
    ]
    with pytest.raises(TypeError, match="Argument 'file_path'"):
        cargohold.load_json_config(tmp_path / "c.json")
