"""Helpers the tests share: a recording logger, child interpreters, replaced module globals."""

import contextlib
import os
import shutil
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import requests

# The folder of this file, the fixtures and the references several folders share: what a child
# interpreter puts on its path to import them.
TESTS = Path(__file__).resolve().parent

# Names at the edges of pathlib's dot rules, which changed in 3.14 ("0." has the suffix "." there,
# "..tar" none): only dots, leading and trailing dots, doubled dots, a suffix of one dot.
DOT_NAMES = [
    ".",
    "..",
    "...",
    ".x",
    "..x",
    "x.",
    "x..",
    ".x.",
    "..x.",
    "x.y",
    "x..y",
    "..x.y",
    "x.y.",
    "0.",
    "x_0.",
    "..tar",
    ".a.b",
    "a.b.c",
    "a. ",
    " .a",
]


class Recorder:
    """A logger stand-in that keeps (level, message) pairs."""

    def __init__(self):
        self.records = []

    def _keep(level):
        def method(self, message, *args, **kwargs):
            self.records.append((level, message))

        return method

    debug = _keep("debug")
    info = _keep("info")
    warning = _keep("warning")
    error = _keep("error")
    exception = _keep("exception")
    critical = _keep("critical")

    def messages(self, level=None):
        return [message for kept, message in self.records if level in (None, kept)]


def run_python(code, *, unprivileged=False, cwd=None, env=None, check=True, timeout=60):
    """Runs `code` in a child interpreter; `unprivileged` drops the capabilities that let root
    ignore permission bits, so permission failures are real."""
    command = [sys.executable, "-P", "-c", code]  # -P: the source tree must not shadow the build
    if unprivileged:
        setpriv = shutil.which("setpriv")
        assert setpriv, "setpriv (util-linux) is needed to test permission failures as root"
        command = [setpriv, "--bounding-set=-dac_override,-dac_read_search"] + command
    merged = dict(os.environ)
    if env:
        merged.update(env)
    result = subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=merged, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"child failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


class FaultLibrary:
    """tests/harness/syscall_faults.c built into `directory`: a library that a child interpreter preloads
    to make chosen system calls fail (its opening comment says how they are chosen)."""

    def __init__(self, directory):
        self.path = Path(directory) / "syscall_faults.so"
        source = TESTS / "harness" / "syscall_faults.c"
        subprocess.run(
            [
                "cc",
                "-shared",
                "-fPIC",
                "-O2",
                "-Wall",
                "-Werror",
                "-o",
                str(self.path),
                str(source),
                "-ldl",
                "-lpthread",
            ],
            check=True,
        )

    def environment(self, directory, **settings):
        """What a child needs to count the calls made inside `directory`; `settings` are the
        library's other variables (FAULT=..., FAULT_TRACE=...), without the QUILLKIT_ prefix."""
        # After what is preloaded already: the sanitizer's runtime must come first.
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(self.path)]))
        return {
            "LD_PRELOAD": preload,
            "QUILLKIT_FAULT_DIR": str(directory),
            **{f"QUILLKIT_{name}": str(value) for name, value in settings.items()},
        }


class Server:
    """A local HTTP server: GET /<status>/<text> answers with that status and text, and every
    request's headers are kept."""

    def __init__(self):
        seen = self.seen = []

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                seen.append(dict(self.headers))
                _, status, text = self.path.split("/", 2)
                body = text.encode()
                self.send_response(int(status))
                self.send_header("Content-Type", "text/plain; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True  # otherwise the server keeps every finished thread
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def fake_response(url, status, text=""):
    response = requests.Response()
    response.status_code = status
    response._content = text.encode()
    response.encoding = "utf-8"
    response.url = url
    response.reason = {200: "OK", 404: "Not Found"}.get(status, "Status")
    return response


@contextlib.contextmanager
def globals_replaced(module, **values):
    """Module globals replaced for the duration of a block (for generated cases, where pytest's
    monkeypatch fixture cannot be used)."""
    saved = {name: vars(module)[name] for name in values if name in vars(module)}
    vars(module).update(values)
    try:
        yield
    finally:
        vars(module).update(saved)  # in place: the namespace keeps its order
        for name in values.keys() - saved.keys():
            del vars(module)[name]
