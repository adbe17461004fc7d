"""load_or_download_content, download_and_save_from_registry and extract_and_save_code, with
the download replaced through the module's own global (the service is unreachable here)."""

import re
import textwrap

import pytest
from helpers import Recorder, run_python
from hypothesis import given
from hypothesis import strategies as st

from quillkit import cargohold


@pytest.fixture
def downloads(monkeypatch):
    """Replaces download_github_content: answers from a dict, keeps the addresses asked for."""
    asked = []
    answers = {}

    def download(url):
        asked.append(url)
        return answers.get(url, "")

    monkeypatch.setattr(cargohold, "download_github_content", download)
    download.asked, download.answers = asked, answers
    return download


URL = "https://github.com/o/r/blob/main/docs/guide.md"


def test_local_content_wins(tmp_path, downloads, recorder):
    (tmp_path / "p.md").write_text("local", encoding="utf-8")
    assert cargohold.load_or_download_content(tmp_path / "p.md", URL, "提示", recorder) == "local"
    assert downloads.asked == [] and recorder.messages() == [f"✅ 已成功載入提示：{tmp_path}/p.md"]


def test_empty_local_file_is_downloaded_and_kept(tmp_path, downloads, module_log):
    target = tmp_path / "p.md"
    target.write_text("")
    downloads.answers[URL] = "remote text"
    assert cargohold.load_or_download_content(str(target), URL) == "remote text"
    assert target.read_text(encoding="utf-8") == "remote text"
    assert module_log.messages() == [
        f"✅ 已成功載入檔案：{target}",
        f"⚠️ 找不到檔案檔案：{target}，嘗試從網路下載...",
        f"🎉 成功產出 檔案：{target}",
    ]


def test_nothing_local_and_no_address(tmp_path, downloads, module_log):
    assert cargohold.load_or_download_content(tmp_path / "none.md") == ""
    assert cargohold.load_or_download_content(tmp_path / "none.md", URL) == ""
    assert downloads.asked == [URL]
    assert module_log.messages() == [f"⚠️ 找不到檔案檔案：{tmp_path}/none.md，嘗試從網路下載..."]


def test_downloaded_text_returned_even_when_the_save_fails(tmp_path, downloads, recorder):
    (tmp_path / "blocker").write_text("a file where a directory should be")
    downloads.answers[URL] = "remote"
    target = tmp_path / "blocker" / "p.md"
    assert cargohold.load_or_download_content(target, URL, logger=recorder) == "remote"
    assert recorder.messages("error")[0].startswith(f"❌ 儲存檔案失敗 {target}: ")


def test_load_or_download_argument_rules(downloads):
    with pytest.raises(TypeError, match="Argument 'url'"):
        cargohold.load_or_download_content("x", None)
    with pytest.raises(TypeError, match="Argument 'label'"):
        cargohold.load_or_download_content("x", label=b"l")


REGISTRY = [
    {"display": "Guide", "url": "https://github.com/o/r/blob/main/docs/guide.md"},
    {"display": "Nested", "url": "https://github.com/o/r/blob/main/n.md", "filename": "a/b.md"},
    {"display": "Empty", "url": "https://github.com/o/r/blob/main/empty.md"},
]


def test_automatic_mode_saves_every_item(tmp_path, downloads, recorder):
    downloads.answers.update({REGISTRY[0]["url"]: "guide", REGISTRY[1]["url"]: "nested"})
    out = str(tmp_path / "out")
    assert (
        cargohold.download_and_save_from_registry(
            REGISTRY, out, label_prefix="P-", logger=recorder, auto_download=1
        )
        is None
    )
    assert (tmp_path / "out" / "guide.md").read_text() == "guide"
    assert (tmp_path / "out" / "a" / "b.md").read_text() == "nested"
    assert not (tmp_path / "out" / "empty.md").exists()
    assert recorder.records == [
        ("debug", "🚀 已啟用自動模式，將下載全部 3 個項目。"),
        ("info", "📡 正在從網路下載：Guide ..."),
        ("info", f"🎉 成功產出 P-Guide：{out}/guide.md"),
        ("info", "📡 正在從網路下載：Nested ..."),
        ("info", f"🎉 成功產出 P-Nested：{out}/a/b.md"),
        ("info", "📡 正在從網路下載：Empty ..."),
    ]


def test_automatic_mode_with_an_empty_registry(tmp_path, module_log, downloads):
    cargohold.download_and_save_from_registry([], str(tmp_path), auto_download=True)
    assert module_log.records == [
        ("debug", "🚀 已啟用自動模式，將下載全部 0 個項目。"),
        ("info", "⚠️ 已跳過下載流程。"),
    ]


def test_file_names_that_escape_the_output_directory_are_skipped(tmp_path, downloads, recorder):
    registry = [
        {"display": "Up", "url": "https://h/up.md", "filename": "../outside.md"},
        {"display": "Deep", "url": "https://h/deep.md", "filename": "a/../../outside.md"},
        {"display": "Absolute", "url": "https://h/abs.md", "filename": str(tmp_path / "abs.md")},
        {"display": "Inside", "url": "https://h/in.md", "filename": "a/../in.md"},
        {"display": "Dots", "url": "https://h/x/..dots.md"},
    ]
    for entry in registry:
        downloads.answers[entry["url"]] = "text"
    out = tmp_path / "out"
    cargohold.download_and_save_from_registry(registry, str(out), logger=recorder, auto_download=True)
    assert recorder.messages("error") == [
        "❌ 檔名超出輸出目錄，已略過：../outside.md",
        "❌ 檔名超出輸出目錄，已略過：a/../../outside.md",
        f"❌ 檔名超出輸出目錄，已略過：{tmp_path}/abs.md",
    ]
    assert downloads.asked == ["https://h/in.md", "https://h/x/..dots.md"]
    assert sorted(p.name for p in tmp_path.rglob("*.md")) == ["..dots.md", "in.md"]


def test_display_names_that_are_not_texts_label_by_their_text_form(tmp_path, downloads, recorder):
    registry = [
        {"display": 7, "url": "https://h/7", "filename": "seven.md"},
        {"display": None, "url": "https://h/none", "filename": "none.md"},
    ]
    downloads.answers.update({"https://h/7": "seven", "https://h/none": "nothing"})
    cargohold.download_and_save_from_registry(
        registry, str(tmp_path), label_prefix="文件 ", logger=recorder, auto_download=True
    )
    assert recorder.messages("info") == [
        "📡 正在從網路下載：7 ...",
        f"🎉 成功產出 文件 7：{tmp_path}/seven.md",
        "📡 正在從網路下載：None ...",
        f"🎉 成功產出 文件 None：{tmp_path}/none.md",
    ]


def test_duplicate_addresses_resolve_to_the_first_entry(tmp_path, downloads, recorder, monkeypatch):
    registry = [
        {"display": "One", "url": "https://h/same", "filename": "one.md"},
        {"display": "Two", "url": "https://h/same", "filename": "two.md"},
    ]
    downloads.answers["https://h/same"] = "x"
    cargohold.download_and_save_from_registry(registry, str(tmp_path), logger=recorder, auto_download=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["one.md"]
    assert recorder.messages("info")[-1] == f"🎉 成功產出 Two：{tmp_path}/one.md"


def test_interactive_mode_asks_with_the_registry(tmp_path, downloads, recorder, monkeypatch):
    asked = []

    def select(files, names, extension=".py", exclude_names=None):
        asked.append((files, names, extension))
        return [(files[1], names[1])]

    echoed = []
    monkeypatch.setattr(cargohold, "interactive_select_files", select)
    monkeypatch.setattr(cargohold.click, "echo", lambda text: echoed.append(text))
    downloads.answers[REGISTRY[1]["url"]] = "chosen"
    cargohold.download_and_save_from_registry(REGISTRY, str(tmp_path), "挑選", logger=recorder)
    assert echoed == ["\n--- 挑選 ---"]
    assert asked == [([e["url"] for e in REGISTRY], [e["display"] for e in REGISTRY], "")]
    assert (tmp_path / "a" / "b.md").read_text() == "chosen"
    monkeypatch.setattr(cargohold, "interactive_select_files", lambda *a, **k: [])
    cargohold.download_and_save_from_registry(REGISTRY, str(tmp_path), logger=recorder)
    assert recorder.messages("info")[-1] == "⚠️ 已跳過下載流程。"


def test_registry_errors_propagate(tmp_path, downloads, monkeypatch):
    save = cargohold.download_and_save_from_registry
    with pytest.raises(KeyError, match="url"):
        save([{"display": "x"}], str(tmp_path), auto_download=True)
    with pytest.raises(KeyError, match="display"):
        save([{"url": "u"}], str(tmp_path), logger=Recorder())  # display names come first
    with pytest.raises(TypeError):
        save(["not a dict"], str(tmp_path), auto_download=True)
    monkeypatch.setattr(cargohold, "interactive_select_files", lambda *a, **k: [("https://unknown", "U")])
    with pytest.raises(StopIteration):
        save(REGISTRY, str(tmp_path), logger=Recorder())
    monkeypatch.setattr(cargohold, "interactive_select_files", lambda *a, **k: [("only one",)])
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        save(REGISTRY, str(tmp_path), logger=Recorder())
    for name, value in [("registry", ()), ("output_dir", tmp_path), ("title", None), ("label_prefix", 1)]:
        arguments = {"registry": [], "output_dir": "o", name: value}
        with pytest.raises(TypeError, match=f"Argument '{name}'"):
            save(**arguments)


ANSWER = "Here is the script:\n```python\n  print('hi')\n```\nand another:\n```bash\necho no\n```\n"


@pytest.mark.parametrize(
    "text, saved",
    [
        (ANSWER, "print('hi')"),
        ("```\nplain block\n```", "plain block"),
        ('intro\n```json\n{"a": 1}\n```\n', 'intro\n```json\n{"a": 1}\n```'),
        ("```python\nx = 1```  \n", "```python\nx = 1```"),
        ("```yaml\nk: v\n```trailing\n```", "k: v"),
    ],
)
def test_code_extraction(tmp_path, recorder, text, saved):
    target = tmp_path / "out" / "code.txt"
    ok, message = cargohold.extract_and_save_code(text, target, "程式", logger=recorder)
    assert (ok, message) == (True, f"🎉 成功產出 程式：{target}")
    assert target.read_text(encoding="utf-8") == saved


FENCE_PIECES = ["```", "```python", "```bash", "```yaml", "```json", "python", "\n", "x", " ", "`", "é"]


@given(st.lists(st.sampled_from(FENCE_PIECES), max_size=30))
def test_code_extraction_finds_what_the_pattern_finds(tmp_path_factory, pieces):
    """The fence search is native while `re` is the standard module; it finds the same block."""
    text = "".join(pieces) + "."
    target = tmp_path_factory.mktemp("fences") / "code.txt"
    match = re.search("```(?:python|bash|yaml)?\n(.*?)\n```", text, re.DOTALL)
    expected = (match.group(1) if match else text).strip()
    ok, _ = cargohold.extract_and_save_code(text, target, logger=Recorder())
    assert (target.read_text(encoding="utf-8") if ok else "") == expected


def test_code_extraction_takes_linear_time(tmp_path):
    """Megabytes of unclosed fences (hours for the regular expression) take a moment."""
    result = run_python(
        textwrap.dedent(f"""
        from quillkit import cargohold
        text = "```python\\nx" * 100000  # no line ever starts with a fence: nothing closes
        print(cargohold.extract_and_save_code(text, {str(tmp_path / "c.txt")!r}, logger=0)[0])
    """),
        timeout=60,
    )
    assert result.stdout.split() == ["True"]
    assert (tmp_path / "c.txt").read_text() == "```python\nx" * 100000


def test_code_extraction_failures(tmp_path, recorder, module_log):
    target = tmp_path / "code.py"
    assert cargohold.extract_and_save_code("", target, logger=recorder) == (False, "擷取程式碼失敗")
    assert cargohold.extract_and_save_code(" \n\t", target, fail_msg="空的", logger=recorder) == (
        False,
        "空的",
    )
    assert cargohold.extract_and_save_code("```\n \n```", target, error_msg="", logger=recorder) == (
        False,
        "擷取程式碼失敗",
    )
    assert recorder.messages("error") == ["❌ 無法從 agy 輸出中擷取程式碼。"] * 2
    assert not target.exists()
    ok, message = cargohold.extract_and_save_code("code", tmp_path, logger=0)  # a directory
    assert not ok and message.startswith(f"❌ 儲存檔案失敗 {tmp_path}: [Errno 21]")
    assert module_log.messages("error") == [message]
    with pytest.raises(TypeError, match="Argument 'error_msg'"):
        cargohold.extract_and_save_code("x", target, error_msg=None)


def test_a_saver_that_does_not_answer_a_pair(tmp_path, monkeypatch):
    monkeypatch.setattr(cargohold, "save_local_file_content", lambda *a, **k: (True,))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        cargohold.extract_and_save_code("x", tmp_path / "a")


def test_interactive_mode_through_the_real_dialogue(tmp_path, downloads, recorder):
    from click.testing import CliRunner

    for entry in REGISTRY:
        downloads.answers[entry["url"]] = "text of " + entry["display"]
    with CliRunner().isolation(input="3, 1\n") as (stdout, _, _):
        cargohold.download_and_save_from_registry(REGISTRY, str(tmp_path), "文件", "D-", recorder)
        shown = stdout.getvalue().decode()
    assert shown.splitlines()[:6] == [
        "",
        "--- 文件 ---",
        "",
        "找到以下  檔案：",
        "  [1] Guide",
        "  [2] Nested",
    ]
    assert downloads.asked == [REGISTRY[2]["url"], REGISTRY[0]["url"]]
    assert (tmp_path / "empty.md").read_text() == "text of Empty"
    assert recorder.messages("info")[-1] == f"🎉 成功產出 D-Guide：{tmp_path}/guide.md"
