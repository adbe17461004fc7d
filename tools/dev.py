"""The development tasks; tools/dev.sh runs this with any CPython 3.11 or later.

  example    run the example tool on the data the repository ships (the default)
  test       run the whole test suite
  sanitize   build the modules with AddressSanitizer and UndefinedBehaviorSanitizer and run the
             whole test suite against that build
  bench      run the benchmarks
  lint       the formatters and linters, checking only (--fix applies the formatters)
  release    the source distribution and a tested manylinux wheel for each supported CPython
             (tools/release.py)
  setup      only set up

Extra arguments go to the task (pytest options, for instance). The tasks run on the interpreter
that QUILLKIT_PYTHON names (a path, or a version such as 3.14 or 3.14d, fetched when missing),
else on the first supported CPython this machine has, 3.12 first; its environment is .venv (or
.venv-3.14 and the like for a version named by QUILLKIT_PYTHON).
"""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import interpreters

ROOT = Path(__file__).resolve().parent.parent


def say(text):
    interpreters.say(text)


def fail(text):
    sys.exit(f"error: {text}")


def chosen_interpreter():
    """The interpreter the tasks run on, and the environment that holds its build."""
    named = os.environ.get("QUILLKIT_PYTHON", "")
    version = named.rstrip("d")
    if version in interpreters.SUPPORTED:
        debug = named.endswith("d")
        python = interpreters.find(version, debug)
        return python, ROOT / f".venv-{named}"
    return interpreters.find_for_development(), ROOT / ".venv"


def unmet_build_tools(python):
    """The build requirements the environment of `python` does not meet."""
    result = subprocess.run(
        [python, str(ROOT / "tools" / "build_requirements.py"), "unmet"],
        capture_output=True,
        text=True,
        cwd=ROOT,
        check=True,
    )
    return result.stdout.split()


def source_digest(python):
    """A digest of what the installed build is made from: the interpreter, pyproject.toml,
    CMakeLists.txt and the package's files."""
    digest = hashlib.sha256()
    digest.update(
        subprocess.run(
            [python, "-c", "import sys; print(sys.version, sys.abiflags)"], capture_output=True, check=True
        ).stdout
    )
    files = [ROOT / "pyproject.toml", ROOT / "CMakeLists.txt"]
    files += [
        path
        for path in (ROOT / "quillkit").rglob("*")
        if path.is_file() and path.suffix != ".so" and "__pycache__" not in path.parts
    ]
    for path in sorted(files, key=lambda path: str(path.relative_to(ROOT)).encode()):
        digest.update(str(path.relative_to(ROOT)).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


def imports_cleanly(python):
    check = "import quillkit.cargohold, quillkit.chronicle, quillkit.stampkit"
    return subprocess.run([python, "-P", "-c", check], cwd="/", capture_output=True).returncode == 0


def setup():
    """The environment with the build tools and the package built from the current sources; the
    environment's interpreter."""
    base, venv = chosen_interpreter()
    python = str(venv / "bin" / "python")
    version = subprocess.run(
        [base, "-c", "import sys; print(sys.version)"], capture_output=True, text=True, check=True
    ).stdout
    if (
        not os.path.exists(python)
        or subprocess.run(
            [python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
        ).stdout
        != version
    ):
        say(f"creating the virtual environment {venv.name} with {base}")
        interpreters.make_environment(base, venv)
    stamp = venv / "quillkit-build.sha256"
    unmet = unmet_build_tools(python)
    if unmet:
        say(f"installing the build tools: {' '.join(unmet)}")
        pip(python, *unmet)
        stamp.unlink(missing_ok=True)  # new tools: build again
    digest = source_digest(python)
    if stamp.exists() and stamp.read_text().strip() == digest and imports_cleanly(python):
        say("quillkit is built and installed from the current sources")
        return python
    say("building and installing quillkit with its dependencies")
    stamp.unlink(missing_ok=True)
    pip(python, "--no-build-isolation", ".[test,yaml]")
    stamp.write_text(digest + "\n")
    return python


def pip(python, *arguments):
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *arguments])


def run(command, **options):
    """Runs a command from the repository; a failure ends the task with its status."""
    result = subprocess.run(command, cwd=options.pop("cwd", ROOT), **options)
    if result.returncode != 0:
        sys.exit(result.returncode)


def configure(python, build, *definitions):
    """Configures a CMake build of the modules in `build` with the environment's CMake and Ninja."""
    bin_dir = Path(python).parent
    cmake = [str(bin_dir / "cmake"), "-S", str(ROOT), "-B", str(build), "-G", "Ninja"]
    tools = [f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}", f"-DPython_EXECUTABLE={python}"]
    run([*cmake, *tools, *definitions], stdout=subprocess.DEVNULL)


def build_sanitized(python):
    """The modules built with both sanitizers into build/sanitize, staged as an importable
    package; the stage's directory."""
    build = ROOT / "build" / "sanitize"
    say(f"building the sanitizer variant in {build}")
    configure(python, build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DQUILLKIT_SANITIZE=ON")
    run([str(Path(python).parent / "cmake"), "--build", str(build)])
    stage = build / "stage" / "quillkit"
    subprocess.run(["rm", "-rf", str(stage)], check=True)
    stage.mkdir(parents=True)
    for pattern in ("*.py", "*.pyi", "py.typed"):
        for path in (ROOT / "quillkit").glob(pattern):
            (stage / path.name).write_bytes(path.read_bytes())
    for path in build.glob("*.so"):
        (stage / path.name).write_bytes(path.read_bytes())
    return stage.parent


def sanitize(python, arguments):
    stage = build_sanitized(python)
    compiler = os.environ.get("CXX", "g++")

    def runtime(name):
        return subprocess.run(
            [compiler, f"-print-file-name={name}"], capture_output=True, text=True, check=True
        ).stdout.strip()

    # ASan must load first; libstdc++ is preloaded too so that ASan finds the real __cxa_throw
    # when the C++ code throws (the interpreter itself is not a C++ program).
    environment = dict(
        os.environ,
        PYTHONPATH=str(stage),
        QUILLKIT_EXPECT_BUILD=str(stage / "quillkit"),
        LD_PRELOAD=f"{runtime('libasan.so')} {runtime('libstdc++.so')}",
        PYTHONMALLOC="malloc",
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1",
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
    )
    say("running the test suite against the sanitizer build")
    run([str(Path(python).parent / "pytest"), "-p", "no:cacheprovider", *arguments], env=environment)


def main():
    task = sys.argv[1] if len(sys.argv) > 1 else "example"
    arguments = sys.argv[2:]
    tasks = ("example", "test", "sanitize", "bench", "lint", "release", "setup")
    if task not in tasks:
        sys.exit(f"usage: tools/dev.sh [{'|'.join(tasks)}] [arguments...]")
    try:
        if task == "release":
            import release

            release.main(arguments)
            return
        python = setup()
    except interpreters.Missing as missing:
        fail(str(missing))
    if task == "example":
        say("running the example tool")
        run([python, "examples/notes_tool.py", *arguments])
    elif task == "test":
        say("running the test suite")
        run([str(Path(python).parent / "pytest"), *arguments])
    elif task == "sanitize":
        sanitize(python, arguments)
    elif task == "lint":
        import lint

        lint.main(arguments, python, configure)
    elif task == "bench":
        say("running the benchmarks")
        run([python, "bench/run_all.py", *arguments])


if __name__ == "__main__":
    main()
