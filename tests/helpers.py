"""Helpers the tests share: a recording logger and child interpreters."""

import os
import shutil
import subprocess
import sys


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
    result = subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=merged,
                            timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"child failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result
