"""Leak check of configuration files and package metadata (see leakcheck.py)."""

import pytest

from leakcheck import Silent, assert_no_leak, calling, expect
from quillkit import cargohold


class StrSub(str):
    pass


def yaml_cases(tmp_path):
    (tmp_path / "ok.yaml").write_text("a: [1, 2]\n")
    (tmp_path / "bad.yaml").write_text("a: [1\n")
    (tmp_path / "latin1.yaml").write_bytes(b"a: \xe9\n")
    (tmp_path / "t.yaml").write_text("old")
    load, text, save = cargohold.load_yaml_config, cargohold.load_yaml_string, cargohold.save_yaml_template

    def without_package():
        cargohold._HAS_YAML = False
        try:
            load(str(tmp_path / "ok.yaml"), Silent())
            text("a: 1", logger=Silent())
        finally:
            cargohold._HAS_YAML = True

    return {
        "load": calling(load, str(tmp_path / "ok.yaml"), Silent()),
        "load missing": calling(load, str(tmp_path / "none.yaml"), Silent()),
        "load invalid": calling(load, str(tmp_path / "bad.yaml"), Silent()),
        "load undecodable": expect(UnicodeDecodeError, load, str(tmp_path / "latin1.yaml"), Silent()),
        "load refused": expect(TypeError, load, tmp_path / "ok.yaml"),
        "text": calling(text, "a: 1", "標籤", Silent()),
        "text invalid": calling(text, "a: [1", logger=Silent()),
        "text refused": expect(TypeError, text, "a", StrSub("x")),
        "without package": without_package,
        "save": calling(save, "a: 1\n", str(tmp_path / "t.yaml"), Silent()),
        "save no parent": expect(FileNotFoundError, save, "a", str(tmp_path / "no" / "t.yaml"), Silent()),
        "save unencodable": expect(UnicodeEncodeError, save, "\udc80", str(tmp_path / "t.yaml"), Silent()),
        "save refused": expect(TypeError, save, b"a"),
    }


def json_cases(tmp_path, monkeypatch):
    monkeypatch.setattr(cargohold, "log", Silent())
    ok = tmp_path / "ok.json"
    ok.write_text('{"host": "h", // 主機\n "url": "https://x//y", "port": 1}\n', encoding="utf-8")
    (tmp_path / "plain.json").write_text('{"a": 1}')
    (tmp_path / "array.json").write_text('["host"] // 陣列')
    (tmp_path / "bad.json").write_text("{// \U0001F389\n")
    load = cargohold.load_json_config
    return {
        "load": calling(load, str(ok)),
        "load without comments": calling(load, str(tmp_path / "plain.json")),
        "keys": calling(load, str(ok), ["port", "host"]),
        "keys missing": calling(load, str(ok), ["port", "user", "user"]),
        "array indexed": calling(load, str(tmp_path / "array.json"), ["host"]),
        "invalid": calling(load, str(tmp_path / "bad.json")),
        "not a file": calling(load, str(tmp_path)),
        "missing": calling(load, str(tmp_path / "none.json")),
        "keys refused": expect(TypeError, load, str(ok), ("host",)),
        "path refused": expect(TypeError, load, ok),
    }


def metadata_cases(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cargohold, "__file__", str(tmp_path / "pkg" / "quillkit" / "cargohold.so"))
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "setup.py").write_text("setup(name=N, version=V)")  # gives nothing
    script = tmp_path / "setup.py"

    def reading(text):
        def case():
            script.write_bytes(text.encode() if isinstance(text, str) else text)
            cargohold.get_package_name_version()
        return case

    entry = tmp_path / "entry.py"
    entry.write_text("['quill-note = quillkit.cli:main']")
    return {
        "tree": reading("setup(name='n', version='1', other=f(x))"),
        "patterns": reading("setup(name='n', version='1'"),
        "nothing": reading("setup(name=N)"),
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
    if group == "yaml":
        cases = yaml_cases(tmp_path)
    elif group == "json":
        cases = json_cases(tmp_path, monkeypatch)
    else:
        cases = metadata_cases(tmp_path, monkeypatch)
    for name, case in cases.items():
        try:
            assert_no_leak(case, rounds=1000 if group == "metadata" else 3000)
        except AssertionError as error:
            raise AssertionError(f"{group} / {name}: {error}") from None
