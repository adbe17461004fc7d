"""Leak check of the download, load-or-download, registry and code-extraction functions."""

import subprocess
import sys
import types

import pytest
import requests
from helpers import TESTS, fake_response
from leakcheck import Silent, assert_no_leak, calling, expect, with_globals

from quillkit import cargohold


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(cargohold, "log", Silent())
    monkeypatch.setenv("GITHUB_TOKEN", "t")


def test_download_paths(quiet, monkeypatch):
    answers = {"next": (200, "text")}

    def get(url, **kwargs):
        answer = answers["next"]
        if isinstance(answer, type):
            raise answer("no answer")  # a fresh exception: a reused one keeps growing its traceback
        return fake_response(url, *answer)

    monkeypatch.setattr(cargohold.requests, "get", get)
    monkeypatch.setattr(cargohold.shutil, "which", lambda name: "/usr/bin/gh")
    monkeypatch.setattr(
        subprocess,
        "run",
        lambda *a, **k: types.SimpleNamespace(
            returncode=answers.get("exit", 0), stdout="out", stderr=" err "
        ),
    )
    download = cargohold.download_github_content
    browser = "https://github.com/o/r/blob/main/a.md"
    assert_no_leak(calling(download, browser))
    answers["next"] = (404, "")
    assert_no_leak(calling(download, browser))  # then gh succeeds
    answers["exit"] = 1
    answers["next"] = requests.exceptions.ConnectTimeout
    assert_no_leak(calling(download, "https://raw.githubusercontent.com/o/r/main/a"))
    assert_no_leak(calling(download, "https://example.com/x"))
    assert_no_leak(expect(TypeError, download, None))
    monkeypatch.delenv("GITHUB_TOKEN")
    assert_no_leak(calling(download, browser))


SERVE = """
import sys
sys.path.insert(0, {tests!r})
from helpers import Server
server = Server()
print(server.base, flush=True)
sys.stdin.read()
"""


def test_real_requests_to_a_local_server(quiet, monkeypatch):
    # The server runs in its own process, so that only this side's memory is counted.
    monkeypatch.setattr(cargohold.shutil, "which", lambda name: None)  # no gh fallback here
    serving = subprocess.Popen(
        [sys.executable, "-P", "-c", SERVE.format(tests=str(TESTS))],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        base = serving.stdout.readline().strip()
        assert_no_leak(calling(cargohold.download_github_content, f"{base}/200/ok"))
        assert_no_leak(calling(cargohold.download_github_content, f"{base}/404/gone"))
    finally:
        serving.stdin.close()
        serving.wait(timeout=30)


def test_fetch_and_save_paths(quiet, monkeypatch, tmp_path):
    monkeypatch.setattr(cargohold, "download_github_content", lambda url: "remote" if "ok" in url else "")
    (tmp_path / "local.md").write_text("local")
    load = cargohold.load_or_download_content
    assert_no_leak(calling(load, tmp_path / "local.md", "https://h/ok"))
    assert_no_leak(calling(load, tmp_path / "new.md", "https://h/ok"))
    assert_no_leak(calling(load, tmp_path / "none.md", "https://h/fail"))
    assert_no_leak(expect(TypeError, load, "x", 1))

    registry = [
        {"display": "A", "url": "https://h/ok/a.md"},
        {"display": "B", "url": "https://h/ok/b.md", "filename": "../b.md"},
        {"display": "C", "url": "https://h/fail/c.md", "filename": "sub/c.md"},
    ]
    save = cargohold.download_and_save_from_registry
    assert_no_leak(calling(save, registry, str(tmp_path / "out"), auto_download=True))
    monkeypatch.setattr(cargohold, "interactive_select_files", lambda files, names, extension: [])
    monkeypatch.setattr(cargohold.click, "echo", lambda text: None)
    assert_no_leak(calling(save, registry, str(tmp_path / "out")))
    assert_no_leak(expect(KeyError, save, [{"url": "u"}], "o", auto_download=True))
    assert_no_leak(expect(TypeError, save, (), "o"))

    extract = cargohold.extract_and_save_code
    answer = "prose\n```python\nprint(1)\n```\n"
    assert_no_leak(calling(extract, answer, tmp_path / "code.py"))
    assert_no_leak(calling(extract, "   ", tmp_path / "code.py"))
    assert_no_leak(calling(extract, "x", tmp_path))  # the saver fails on a directory
    assert_no_leak(expect(TypeError, extract, b"x", tmp_path / "code.py"))
    # Results that are not pairs, on every unpacking path: too few items and too many.
    for items in [("only",), (True, "m", "extra")]:
        answer_with = {"save_local_file_content": lambda *args, items=items, **kwargs: items}
        assert_no_leak(expect(ValueError, with_globals(cargohold, answer_with, calling(extract, "x", "f"))))
        selection = {"interactive_select_files": lambda *args, items=items, **kwargs: [items]}
        assert_no_leak(
            expect(
                ValueError, with_globals(cargohold, selection, calling(save, registry, str(tmp_path / "out")))
            )
        )
