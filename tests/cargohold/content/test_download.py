"""download_github_content: the token, the request (against a real local HTTP server, and a
recorder for the service's own addresses), the status handling and the `gh api` fallback (a
stand-in script first on PATH)."""

import json
import os
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest
import requests
from helpers import TESTS, Recorder, Server, fake_response

from quillkit import cargohold

TOKEN = "s3cret-token"


@pytest.fixture
def token(monkeypatch):
    monkeypatch.setenv("GITHUB_TOKEN", TOKEN)
    monkeypatch.delenv("GH_TOKEN", raising=False)
    return TOKEN


@pytest.fixture
def server():
    running = Server()
    yield running
    running.close()


GH_STAND_IN = """#!{python}
import json, os, sys
with open({record!r}, "a") as record:
    record.write(json.dumps({{"argv": sys.argv, "GH_TOKEN": os.environ.get("GH_TOKEN")}}) + "\\n")
sys.stdout.write(os.environ.get("GH_STAND_IN_OUT", ""))
sys.stderr.write(os.environ.get("GH_STAND_IN_ERR", ""))
sys.exit(int(os.environ.get("GH_STAND_IN_EXIT", "0")))
"""


@pytest.fixture
def gh(tmp_path, monkeypatch):
    """A `gh` stand-in first on PATH; returns a reader of the calls it recorded."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    record = tmp_path / "gh-calls.jsonl"
    script = bin_dir / "gh"
    script.write_text(GH_STAND_IN.format(python=sys.executable, record=str(record)))
    script.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")

    def calls():
        if not record.exists():
            return []
        return [json.loads(line) for line in record.read_text().splitlines()]

    calls.path = str(script)
    return calls


@pytest.fixture
def no_gh(monkeypatch):
    monkeypatch.setattr(cargohold.shutil, "which", lambda name, *a, **k: None)


@pytest.fixture
def service(monkeypatch):
    """Stands in for the service's own hosts (unreachable here): a recorder of requests.get."""
    calls = []
    answers = {}

    def get(url, **kwargs):
        calls.append((url, kwargs))
        answer = answers.get("next", (200, "from the service"))
        if isinstance(answer, BaseException):
            raise answer
        return fake_response(url, *answer)

    monkeypatch.setattr(cargohold.requests, "get", get)
    get.calls, get.answers = calls, answers
    return get


def test_missing_token_stops_before_any_request(monkeypatch, module_log, service, gh):
    for value in [None, ""]:
        if value is None:
            monkeypatch.delenv("GITHUB_TOKEN", raising=False)
        else:
            monkeypatch.setenv("GITHUB_TOKEN", value)
        assert cargohold.download_github_content("https://github.com/o/r/blob/main/a.md") == ""
    assert service.calls == [] and gh() == []
    assert (
        module_log.messages("error")
        == [
            "❌ 無法從 https://github.com/o/r/blob/main/a.md 下載 GitHub 內容：環境變數 GITHUB_TOKEN 未設定。"
        ]
        * 2
    )


def test_local_server_gets_the_text_without_the_token(server, token, module_log):
    text = cargohold.download_github_content(f"{server.base}/200/hello")
    assert text == "hello"
    assert "Authorization" not in server.seen[0]
    assert module_log.records == [
        ("info", f"正在嘗試從網路下載內容：{server.base}/200/hello ..."),
        ("info", f"✅ 已成功由 {server.base}/200/hello 下載內容。"),
    ]


@pytest.mark.parametrize("status, token_message", [(401, True), (403, True), (404, True), (500, False)])
def test_error_statuses(server, token, module_log, no_gh, status, token_message):
    url = f"{server.base}/{status}/nope"
    assert cargohold.download_github_content(url) == ""
    errors = module_log.messages("error")
    assert errors == (
        [
            f"❌ GitHub Token 驗證失敗或權限不足 (HTTP {status})。請確認 Token 是否有效，"
            "或該儲存庫是否為私有且未正確授權。"
        ]
        if token_message
        else []
    )
    [warning] = module_log.messages("warning")
    assert warning.startswith(f"❌ 從 {url} 下載內容失敗: {status} ")


def test_connection_error_is_a_warning(token, module_log, no_gh):
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
    url = f"http://127.0.0.1:{port}/x"
    assert cargohold.download_github_content(url) == ""
    [warning] = module_log.messages("warning")
    assert warning.startswith(f"❌ 從 {url} 下載內容失敗: ") and "Connection" in warning


def test_service_addresses_carry_the_token(service, token, module_log):
    browser = "https://github.com/owner/repo/blob/main/docs/a.md"
    assert cargohold.download_github_content(browser) == "from the service"
    assert service.calls == [
        (
            "https://raw.githubusercontent.com/owner/repo/main/docs/a.md",
            {"headers": {"Authorization": f"token {TOKEN}"}, "timeout": 10},
        )
    ]
    assert module_log.records[0] == (
        "debug",
        f"GitHub URL 轉換：{browser} -> https://raw.githubusercontent.com/owner/repo/main/docs/a.md",
    )
    assert module_log.records[-1] == ("info", f"✅ 已成功由 {browser} 下載內容。")


@pytest.mark.parametrize(
    "address, sent",
    [
        ("https://raw.githubusercontent.com/o/r/main/a.md", True),
        ("https://api.github.com/repos/o/r/contents/a.md", True),
        ("https://GitHub.com:443/o/r/raw/main/a.md", True),
        ("http://github.com/o/r/raw/main/a.md", False),
        ("https://example.com/github.com/o/r/blob/x", False),
        ("https://github.com@evil.example/o/r/raw/main/a", False),
        ("https://github.com.evil.example/o/r/raw/main/a", False),
        ("https://evil.example\\@github.com/o", False),
        ("https://github.com:x@evil.example/", False),
    ],
)
def test_token_goes_only_to_the_service(service, token, module_log, no_gh, address, sent):
    cargohold.download_github_content(address)
    [(requested, kwargs)] = service.calls
    assert kwargs == {"headers": {"Authorization": f"token {TOKEN}"} if sent else {}, "timeout": 10}


def test_gh_fallback_after_a_failed_request(service, token, module_log, gh, monkeypatch):
    service.answers["next"] = (404, "")
    monkeypatch.setenv("GH_STAND_IN_OUT", "content from gh\n")
    url = "https://github.com/owner/repo/blob/feature/x/src/a.py?raw=true"
    assert cargohold.download_github_content(url) == "content from gh\n"
    [record] = gh()
    assert record == {
        "argv": [
            gh.path,
            "api",
            "repos/owner/repo/contents/x/src/a.py?raw=true?ref=feature",
            "-H",
            "Accept: application/vnd.github.raw",
        ],
        "GH_TOKEN": TOKEN,
    }
    assert "GH_TOKEN" not in os.environ
    levels = [level for level, _ in module_log.records]
    assert levels == ["debug", "info", "error", "warning", "info", "info"]
    assert module_log.records[-2:] == [
        ("info", f"🔄 正在嘗試使用 gh api 備用下載：{url} ..."),
        ("info", f"🎉 已成功透過 gh api 下載 {url} 內容！"),
    ]


@pytest.mark.parametrize(
    "address, api_path",
    [
        ("https://github.com/o/r/raw/v1/a.md", "repos/o/r/contents/a.md?ref=v1"),
        ("https://raw.githubusercontent.com/o/r/main/dir/a.md", "repos/o/r/contents/dir/a.md?ref=main"),
    ],
)
def test_fallback_reads_raw_addresses(service, token, module_log, gh, address, api_path):
    service.answers["next"] = requests.exceptions.ReadTimeout("timed out")
    assert cargohold.download_github_content(address) == ""  # gh printed nothing
    assert gh()[0]["argv"][2] == api_path
    assert module_log.messages("warning") == [f"❌ 從 {address} 下載內容失敗: timed out"]
    assert module_log.messages("info")[-1] == f"🎉 已成功透過 gh api 下載 {address} 內容！"


def test_gh_failure_and_disappearance(service, token, module_log, gh, monkeypatch):
    service.answers["next"] = (500, "")
    monkeypatch.setenv("GH_STAND_IN_EXIT", "1")
    monkeypatch.setenv("GH_STAND_IN_ERR", "  gh: Not Found (HTTP 404)\n\n")
    url = "https://github.com/o/r/blob/main/a.md"
    assert cargohold.download_github_content(url) == ""
    assert (
        module_log.messages("warning")[-1] == "❌ 使用 gh api 下載內容失敗 (Exit 1): gh: Not Found (HTTP 404)"
    )
    monkeypatch.setattr(cargohold.shutil, "which", lambda name: "/nonexistent/gh")
    assert cargohold.download_github_content(url) == ""
    assert module_log.messages("warning")[-1].startswith(
        "❌ 執行 gh api 下載時發生異常: [Errno 2] No such file or directory"
    )


def test_other_hosts_and_odd_addresses_have_no_fallback(service, token, module_log, gh):
    service.answers["next"] = (404, "")
    for address in ["https://example.com/o/r/blob/main/a.md", "", "not a url"]:
        assert cargohold.download_github_content(address) == ""
    assert gh() == []


def test_real_request_errors_for_odd_addresses(token, module_log, no_gh):
    assert cargohold.download_github_content("not a url") == ""
    [warning] = module_log.messages("warning")
    assert warning.startswith("❌ 從 not a url 下載內容失敗: ") and len(warning) > 20


def test_argument_rule_and_propagating_errors(token, monkeypatch, module_log, service):
    for refused in [None, b"https://github.com/o/r/blob/m/a", Path("x")]:
        with pytest.raises(TypeError, match="Argument 'url' has incorrect type"):
            cargohold.download_github_content(refused)

    def broken(*args, **kwargs):
        raise OSError("dotenv broke")

    monkeypatch.setattr(cargohold, "find_dotenv", broken)
    with pytest.raises(OSError, match="dotenv broke"):
        cargohold.download_github_content("https://github.com/o/r/blob/m/a")
    assert service.calls == [] and module_log.records == []


DOTENV_CHILD = """
import os, sys
sys.path.insert(0, {tests!r})
from helpers import Recorder
from quillkit import cargohold
cargohold.log = Recorder()
import requests
seen = []
def get(url, **kwargs):
    seen.append(kwargs["headers"])
    raise requests.ConnectionError("offline")
requests.get = get
cargohold.shutil.which = lambda name: None
print(cargohold.download_github_content("https://raw.githubusercontent.com/o/r/main/a"), seen)
"""


def run_token_child(cwd, *, script=None, **environment):
    """The child above, or `script` read from standard input, run from `cwd` with no GITHUB_TOKEN
    in its environment (plus `environment`)."""
    env = {k: v for k, v in os.environ.items() if k != "GITHUB_TOKEN"} | environment
    child = ["-c", DOTENV_CHILD.format(tests=str(TESTS))] if script is None else ["-"]
    return subprocess.run(
        [sys.executable, "-P", *child],
        input=script,
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_token_from_a_dotenv_file_found_by_the_search(tmp_path):
    # A program without a main file (here `python -c`) searches from the working directory.
    project = tmp_path / "project"
    project.mkdir()
    (project / ".env").write_text(f"GITHUB_TOKEN={TOKEN}\n")
    result = run_token_child(project)
    assert result.stdout == f" [{{'Authorization': 'token {TOKEN}'}}]\n", result.stderr


def test_search_from_a_script_without_a_file(tmp_path):
    # No caller has a source file on disk: the search still starts beside the package.
    script = DOTENV_CHILD.format(tests=str(TESTS)).replace(
        "from quillkit import cargohold",
        "import __main__; __main__.__file__ = 'gone.py'\nfrom quillkit import cargohold",
    )
    result = run_token_child(tmp_path, script=script)
    assert (result.returncode, result.stdout) == (0, " []\n"), result.stderr


def test_token_from_the_package_level_dotenv(tmp_path):
    import quillkit

    packages = tmp_path / "packages"
    shutil.copytree(Path(quillkit.__file__).parent, packages / "quillkit")
    (packages / ".env").write_text(f"GITHUB_TOKEN={TOKEN}\n")
    work = tmp_path / "work"
    work.mkdir()
    result = run_token_child(work, PYTHONPATH=str(packages))
    assert result.stdout == f" [{{'Authorization': 'token {TOKEN}'}}]\n", result.stderr


@pytest.mark.parametrize(
    "module_file",
    [
        "pkg/quillkit/cargohold.so",
        "./pkg//quillkit/x.so/",
        "x.so",
        "/x.so",
        "pkg/.env/cargohold.so",
        "pkg/.envless/x.so",
        "é/\udcff/x",
    ],
)
def test_package_level_dotenv_when_the_search_finds_none(tmp_path, monkeypatch, module_file):
    """Path(__file__).parent.parent / ".env", worked out natively while Path is pathlib's."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "pkg" / ".env").mkdir(parents=True)  # a directory exists as well
    (tmp_path / ".env").write_text("")
    loaded = []
    monkeypatch.setattr(cargohold, "find_dotenv", lambda: "")
    monkeypatch.setattr(cargohold, "load_dotenv", loaded.append)
    monkeypatch.setattr(cargohold, "__file__", module_file)
    monkeypatch.setattr(cargohold, "log", Recorder())
    monkeypatch.delenv("GITHUB_TOKEN", raising=False)
    cargohold.download_github_content("https://x/y")
    monkeypatch.setattr(cargohold, "Path", lambda *args: Path(*args))
    cargohold.download_github_content("https://x/y")
    expected = Path(module_file).parent.parent / ".env"
    assert loaded == [str(expected) if expected.exists() else ""] * 2
