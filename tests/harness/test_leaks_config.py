"""Leak check of configuration files and package metadata (see leakcheck.py)."""

import importlib.metadata

import pytest
from leakcheck import Silent, assert_no_leak, calling, expect

from quillkit import cargohold


def yaml_cases(tmp_path):
    for name, content in [("ok", b"a: [1]\n"), ("bad", b"a: [1\n"), ("latin1", b"a: \xe9\n")]:
        (tmp_path / f"{name}.yaml").write_bytes(content)
    load, text, save = cargohold.load_yaml_config, cargohold.load_yaml_string, cargohold.save_yaml_template

    def without_package():
        cargohold._HAS_YAML = False
        try:
            load(str(tmp_path / "ok.yaml"), Silent())
        finally:
            cargohold._HAS_YAML = True

    return {
        "load": calling(load, str(tmp_path / "ok.yaml"), Silent()),
        "load missing": calling(load, str(tmp_path / "none.yaml"), Silent()),
        "load invalid": calling(load, str(tmp_path / "bad.yaml"), Silent()),
        "load undecodable": expect(UnicodeDecodeError, load, str(tmp_path / "latin1.yaml"), Silent()),
        "load refused": expect(TypeError, load, tmp_path / "ok.yaml"),
        "without package": without_package,
        "text": calling(text, "a: 1", "標籤", Silent()),
        "text invalid": calling(text, "a: [1", logger=Silent()),
        "text refused": expect(TypeError, text, "a", None),
        "save": calling(save, "a: 1\n", str(tmp_path / "t.yaml"), Silent()),
        "save no parent": expect(FileNotFoundError, save, "a", str(tmp_path / "no" / "t.yaml")),
        "save unencodable": expect(UnicodeEncodeError, save, "\udc80", str(tmp_path / "t.yaml")),
        "save refused": expect(TypeError, save, b"a"),
    }


def json_cases(tmp_path):
    for name, content in [
        ("ok", '{"host": "h", // 主機\n "url": "https://x//y", "port": 1}'),
        ("array", '["host"] // 陣列'),
        ("bad", "{// \U0001f389\n"),
    ]:
        (tmp_path / f"{name}.json").write_text(content, encoding="utf-8")
    load, ok = cargohold.load_json_config, str(tmp_path / "ok.json")
    return {
        "load": calling(load, ok),
        "keys": calling(load, ok, ["port", "host"]),
        "keys missing": calling(load, ok, ["port", "user", "user"]),
        "array indexed": calling(load, str(tmp_path / "array.json"), ["host"]),
        "invalid": calling(load, str(tmp_path / "bad.json")),
        "missing": calling(load, str(tmp_path / "none.json")),
        "keys refused": expect(TypeError, load, ok, ("host",)),
        "path refused": expect(TypeError, load, tmp_path / "ok.json"),
    }


def metadata_cases(tmp_path):
    script, entry = tmp_path / "setup.py", tmp_path / "entry.py"
    entry.write_text("['quill-note = quillkit.cli:main']")
    for _ in range(1000):  # importlib.metadata fills caches of its own over the first calls
        importlib.metadata.version("quillkit")

    def reading(content):
        def case():
            script.write_bytes(content)
            cargohold.get_package_name_version()

        return case

    return {
        "tree": reading(b"setup(name='n', version='1', other=f(x))"),
        "patterns": reading(b"setup(name='n', version='1'"),
        "nothing": reading(b"setup(name=N)"),
        "undecodable": reading(b"setup(name='\xff')"),
        "version": calling(cargohold.get_package_version, "quillkit"),
        "version missing": calling(cargohold.get_package_version, "no-such-distribution"),
        "version refused": expect(TypeError, cargohold.get_package_version, None),
        "cli name": calling(cargohold.get_cli_name, entry),
        "cli default": calling(cargohold.get_cli_name, str(tmp_path / "none.py")),
        "cli refused": expect(TypeError, cargohold.get_cli_name, default=None),
    }


@pytest.mark.parametrize("group", ["yaml", "json", "metadata"])
def test_no_leaks(group, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cargohold, "log", Silent())
    monkeypatch.setattr(cargohold, "__file__", str(tmp_path / "pkg" / "quillkit" / "cargohold.so"))
    cases = {"yaml": yaml_cases, "json": json_cases, "metadata": metadata_cases}[group](tmp_path)
    for name, case in cases.items():
        try:
            assert_no_leak(case)
        except AssertionError as error:
            raise AssertionError(f"{group} / {name}: {error}") from None
