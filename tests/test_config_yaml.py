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


@pytest.fixture
def module_log(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(cargohold, "log", recorder)
    return recorder


@pytest.mark.parametrize("text, value", [
    ("", None), ("# only a comment\n", None), ("- a\n- 2\n", ["a", 2]), ("42\n", 42),
    ("name: 設定\nwhen: 2024-05-01\n", {"name": "設定", "when": datetime.date(2024, 5, 1)}),
])
def test_documents_load_as_safe_loading_builds_them(tmp_path, recorder, text, value):
    (tmp_path / "c.yaml").write_text(text, encoding="utf-8")
    assert cargohold.load_yaml_config(str(tmp_path / "c.yaml"), recorder) == value
    assert cargohold.load_yaml_string(text, logger=recorder) == value
    assert recorder.records == []


def test_file_failures_are_logged(tmp_path, recorder):
    (tmp_path / "bad.yaml").write_text("a: [1, 2\n")
    (tmp_path / "object.yaml").write_text("!!python/object/apply:os.system ['true']\n")
    for path in [str(tmp_path), str(tmp_path / "none.yaml"), "", str(tmp_path / "bad.yaml"),
                 str(tmp_path / "object.yaml")]:
        assert cargohold.load_yaml_config(path, logger=recorder) is None
    errors = recorder.messages("error")
    assert errors[:3] == [f"❌ 找不到 YAML 設定檔或路徑無效：{path}"
                          for path in [tmp_path, tmp_path / "none.yaml", ""]]
    assert errors[3].startswith("❌ 解析 YAML 失敗：while parsing a flow sequence")
    assert errors[4].startswith("❌ 解析 YAML 失敗：could not determine a constructor")
    assert len(recorder.records) == 5


def test_open_and_decoding_failures_reach_the_caller(tmp_path, recorder):
    (tmp_path / "latin1.yaml").write_bytes("a: caf\xe9\n".encode("latin-1"))
    with pytest.raises(UnicodeDecodeError):
        cargohold.load_yaml_config(str(tmp_path / "latin1.yaml"), recorder)
    for refused in [tmp_path / "latin1.yaml", None, type("S", (str,), {})("x.yaml")]:
        with pytest.raises(TypeError, match="Argument 'file_path'"):
            cargohold.load_yaml_config(refused, recorder)
    locked = tmp_path / "locked.yaml"
    locked.write_text("a: 1\n")
    locked.chmod(0o000)
    result = run_python(textwrap.dedent(f"""
        from quillkit import cargohold
        try:
            cargohold.load_yaml_config({str(locked)!r})
        except PermissionError as error:
            print("PermissionError", error.filename)
    """), unprivileged=True)
    assert result.stdout.split() == ["PermissionError", str(locked)]
    assert recorder.records == []


def test_text_failures_name_the_label(recorder, monkeypatch):
    assert cargohold.load_yaml_string("a: [1", logger=recorder) is None
    assert cargohold.load_yaml_string("a: [1", "預設設定", recorder) is None
    first, second = recorder.messages("error")
    assert first.startswith("❌ 解析 YAML 內容 失敗：while parsing a flow sequence")
    assert second.startswith("❌ 解析 預設設定 失敗：while parsing")

    def broken(text):
        raise ValueError("not today")

    monkeypatch.setattr(cargohold, "yaml", SimpleNamespace(safe_load=broken))
    assert cargohold.load_yaml_string("a: 1", "x", recorder) is None
    assert recorder.messages("error")[2] == "❌ 解析 x 失敗：not today"


def test_flag_is_read_on_every_call(tmp_path, module_log, monkeypatch):
    monkeypatch.setattr(cargohold, "_HAS_YAML", False)
    assert cargohold.load_yaml_config(str(tmp_path / "none.yaml"), logger=0) is None
    assert cargohold.load_yaml_string("a: 1") is None
    assert module_log.messages("error") == [MISSING_PACKAGE] * 2
    assert cargohold.save_yaml_template("a: 1\n", str(tmp_path / "t.yaml")).endswith("t.yaml")


def test_without_the_package_installed(tmp_path):
    (tmp_path / "c.yaml").write_text("a: 1\n")
    result = run_python(textwrap.dedent(f"""
        import sys
        sys.modules["yaml"] = None
        from quillkit import cargohold
        class Print:
            def error(self, m): print("error", m)
            def info(self, m): print("info", m)
        print(cargohold.load_yaml_config({str(tmp_path / "c.yaml")!r}, Print()))
        print(cargohold.load_yaml_string("a: 1", logger=Print()))
        cargohold.save_yaml_template("b: 2\\n", {str(tmp_path / "t.yaml")!r}, Print())
    """))
    assert result.stdout.splitlines() == [f"error {MISSING_PACKAGE}", "None"] * 2 + [
        f"info 🎉 成功產出 YAML 範本：{tmp_path / 't.yaml'}"]


def test_template_written_verbatim(tmp_path, monkeypatch, module_log):
    monkeypatch.chdir(tmp_path)
    assert cargohold.save_yaml_template("key: value") == str(tmp_path / "default_config.yaml")
    assert (tmp_path / "default_config.yaml").read_bytes() == b"key: value"
    assert cargohold.save_yaml_template("新: 值\n", "./default_config.yaml", []) == \
        str(tmp_path / "default_config.yaml")
    assert (tmp_path / "default_config.yaml").read_text(encoding="utf-8") == "新: 值\n"
    assert module_log.messages("info") == ["🎉 成功產出 YAML 範本：default_config.yaml",
                                           "🎉 成功產出 YAML 範本：./default_config.yaml"]


def test_failed_template_writes_keep_the_old_file(tmp_path, recorder):
    with pytest.raises(FileNotFoundError):
        cargohold.save_yaml_template("a: 1", str(tmp_path / "no" / "t.yaml"), recorder)
    assert not (tmp_path / "no").exists()
    target = tmp_path / "t.yaml"
    target.write_text("precious: true\n")
    with pytest.raises(UnicodeEncodeError):
        cargohold.save_yaml_template("bad: \udc80", str(target), recorder)
    result = run_python(textwrap.dedent(f"""
        import resource, signal
        from quillkit import cargohold
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            cargohold.save_yaml_template("x: " + "y" * 100000, {str(target)!r})
        except OSError as error:
            print(error.strerror)
    """))
    assert result.stdout.strip() == "File too large"
    assert target.read_text() == "precious: true\n" and os.listdir(tmp_path) == ["t.yaml"]
    assert recorder.records == []
