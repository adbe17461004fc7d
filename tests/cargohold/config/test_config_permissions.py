"""Configuration and metadata on files the process may not read or write (run without root's
permission-override capabilities, in a child interpreter)."""

import textwrap

from helpers import TESTS, run_python


def test_unreadable_and_unwritable_files(tmp_path):
    for name, text in [
        ("settings.yaml", "a: 1\n"),
        ("config.json", '{"a": 1}'),
        ("setup.py", "setup(name='hidden', version='9')\n"),
    ]:
        (tmp_path / name).write_text(text)
        (tmp_path / name).chmod(0o000)
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "old.yaml").write_text("kept: true\n")
    (locked / "old.yaml").chmod(0o444)
    locked.chmod(0o555)
    try:
        result = run_python(
            textwrap.dedent(f"""
            import os
            from quillkit import cargohold
            from helpers import Recorder
            cargohold.log = log = Recorder()
            os.chdir({str(tmp_path)!r})
            try:
                cargohold.load_yaml_config("settings.yaml")
            except PermissionError as error:
                print("yaml:", type(error).__name__)
            print("json:", cargohold.load_json_config("config.json"))
            print("meta:", cargohold.get_package_name_version(), cargohold.get_cli_name())
            for target in ["locked/new.yaml", "locked/old.yaml"]:
                try:
                    cargohold.save_yaml_template("x: 1\\n", target)
                except PermissionError as error:
                    print("template:", error.strerror)
            print("log:", log.records)
        """),
            unprivileged=True,
            env={"PYTHONPATH": str(TESTS)},
        )
    finally:
        locked.chmod(0o755)
    lines = result.stdout.splitlines()
    assert lines[:5] == [
        "yaml: PermissionError",
        "json: None",
        "meta: ('unknown', 'unknown') quill-cli",
        "template: Permission denied",
        "template: Permission denied",
    ]
    assert lines[5] == (
        "log: [('error', \"❌ 載入 JSON 設定失敗 config.json：[Errno 13] Permission denied: 'config.json'\")]"
    )
    assert (locked / "old.yaml").read_text() == "kept: true\n"
