"""YAML settings: files and texts through the safe loader, the optional package, and templates
that a failed write never damages."""

import datetime
import os
import textwrap
from types import SimpleNamespace

import pytest
from helpers import Recorder, run_python

from quillkit import cargohold

MISSING_PACKAGE = "❌ 缺少 Python 套件 'PyYAML'。請執行：pip install pyyaml"


@pytest.mark.parametrize(
    "text, value",
    [
        ("", None),
        ("# only a comment\n", None),
        ("- a\n- 2\n", ["a", 2]),
        ("42\n", 42),
        ("name: 設定\nwhen: 2024-05-01\n", {"name": "設定", "when": datetime.date(2024, 5, 1)}),
    ],
)
def test_documents_load_as_safe_loading_builds_them(tmp_path, recorder, text, value):
    (tmp_path / "c.yaml").write_text(text, encoding="utf-8")
    assert cargohold.load_yaml_config(str(tmp_path / "c.yaml"), recorder) == value
    assert cargohold.load_yaml_string(text, logger=recorder) == value
    assert recorder.records == []


def test_file_failures(tmp_path, recorder):
    (tmp_path / "bad.yaml").write_text("a: [1, 2\n")
    (tmp_path / "object.yaml").write_text("!!python/object/apply:os.system ['true']\n")
    for path in [tmp_path, tmp_path / "none.yaml", "", tmp_path / "bad.yaml", tmp_path / "object.yaml"]:
        assert cargohold.load_yaml_config(str(path), logger=recorder) is None
    errors = recorder.messages("error")
    assert errors[:3] == [
        f"❌ 找不到 YAML 設定檔或路徑無效：{path}" for path in [tmp_path, tmp_path / "none.yaml", ""]
    ]
    assert errors[3].startswith("❌ 解析 YAML 失敗：while parsing a flow sequence")
    assert errors[4].startswith("❌ 解析 YAML 失敗：could not determine a constructor")
    (tmp_path / "latin1.yaml").write_bytes(b"a: caf\xe9\n")
    with pytest.raises(UnicodeDecodeError):  # not a YAML error: the caller's to handle
        cargohold.load_yaml_config(str(tmp_path / "latin1.yaml"), recorder)
    for refused in [tmp_path / "c.yaml", None, type("S", (str,), {})("c.yaml")]:
        with pytest.raises(TypeError, match="Argument 'file_path'"):
            cargohold.load_yaml_config(refused, recorder)
    assert len(recorder.records) == 5


def test_text_failures_name_the_label(recorder, monkeypatch):
    assert cargohold.load_yaml_string("a: [1", logger=recorder) is None
    assert cargohold.load_yaml_string("a: [1", "預設設定", recorder) is None
    monkeypatch.setattr(cargohold, "yaml", SimpleNamespace(safe_load=lambda text: 1 / 0))
    assert cargohold.load_yaml_string("a: 1", "x", recorder) is None
    first, second, third = recorder.messages("error")
    assert first.startswith("❌ 解析 YAML 內容 失敗：while parsing a flow sequence")
    assert second.startswith("❌ 解析 預設設定 失敗：while parsing")
    assert third == "❌ 解析 x 失敗：division by zero"


def test_flag_is_read_on_every_call(tmp_path, monkeypatch):
    module_log = Recorder()
    monkeypatch.setattr(cargohold, "log", module_log)
    monkeypatch.setattr(cargohold, "_HAS_YAML", False)
    assert cargohold.load_yaml_config(str(tmp_path / "none.yaml"), logger=0) is None
    assert cargohold.load_yaml_string("a: 1") is None
    assert module_log.messages("error") == [MISSING_PACKAGE] * 2


def test_without_the_package_installed(tmp_path):
    (tmp_path / "c.yaml").write_text("a: 1\n")
    result = run_python(
        textwrap.dedent(f"""
        import sys
        sys.modules["yaml"] = None
        from quillkit import cargohold
        class Print:
            def error(self, m): print("error", m)
            def info(self, m): print("info", m)
        print(cargohold.load_yaml_config({str(tmp_path / "c.yaml")!r}, Print()))
        print(cargohold.load_yaml_string("a: 1", logger=Print()))
        cargohold.save_yaml_template("b: 2\\n", {str(tmp_path / "t.yaml")!r}, Print())
    """)
    )
    assert result.stdout.splitlines() == [f"error {MISSING_PACKAGE}", "None"] * 2 + [
        f"info 🎉 成功產出 YAML 範本：{tmp_path / 't.yaml'}"
    ]


def test_templates(tmp_path, monkeypatch, recorder):
    monkeypatch.chdir(tmp_path)
    assert cargohold.save_yaml_template("key: value", logger=recorder) == str(
        tmp_path / "default_config.yaml"
    )
    assert (tmp_path / "default_config.yaml").read_bytes() == b"key: value"
    assert cargohold.save_yaml_template("新: 值\n", "./default_config.yaml", recorder) == str(
        tmp_path / "default_config.yaml"
    )
    assert (tmp_path / "default_config.yaml").read_text(encoding="utf-8") == "新: 值\n"
    assert recorder.messages("info") == [
        "🎉 成功產出 YAML 範本：default_config.yaml",
        "🎉 成功產出 YAML 範本：./default_config.yaml",
    ]
    # A failed write keeps the old template whole; no directory is made for a new one.
    with pytest.raises(UnicodeEncodeError):
        cargohold.save_yaml_template("bad: \udc80", "default_config.yaml", recorder)
    with pytest.raises(FileNotFoundError):
        cargohold.save_yaml_template("a: 1", "no/t.yaml", recorder)
    assert (tmp_path / "default_config.yaml").read_text(encoding="utf-8") == "新: 值\n"
    assert os.listdir(tmp_path) == ["default_config.yaml"] and len(recorder.records) == 2
