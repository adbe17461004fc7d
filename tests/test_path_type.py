"""get_path_type: directory 0, regular file 1, anything else None with a warning."""

import os

import pytest

from helpers import Recorder
from quillkit import cargohold


def test_kinds_with_links_followed(tmp_path, recorder):
    (tmp_path / "file").write_text("x")
    os.symlink(tmp_path / "file", tmp_path / "to_file")
    os.symlink(tmp_path, tmp_path / "to_dir")
    os.symlink(tmp_path / "gone", tmp_path / "dangling")
    kinds = [cargohold.get_path_type(p, recorder) for p in
             [tmp_path, str(tmp_path / "file"), bytes(tmp_path / "to_file"), tmp_path / "to_dir"]]
    assert kinds == [0, 1, 1, 0] and recorder.records == []
    assert cargohold.get_path_type(tmp_path / "dangling", logger=recorder) is None
    assert cargohold.get_path_type("/dev/null", logger=recorder) is None
    assert recorder.messages("warning") == [f"⚠️ 路徑不存在或無效：{tmp_path}/dangling",
                                            "⚠️ 路徑不存在或無效：/dev/null"]


def test_module_logger_and_bad_types(monkeypatch):
    module_log = Recorder()
    monkeypatch.setattr(cargohold, "log", module_log)
    assert cargohold.get_path_type("/no/such/path", logger=0) is None
    assert module_log.messages("warning") == ["⚠️ 路徑不存在或無效：/no/such/path"]
    for refused in [None, 1.5, object()]:
        with pytest.raises(TypeError):
            cargohold.get_path_type(refused)
