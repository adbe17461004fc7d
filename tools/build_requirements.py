"""The build requirements as pyproject.toml and CMakeLists.txt declare them.

unmet     the ones the running environment does not meet, one a line (Ninja included)
minimum   constraints pinning each one to its declared minimum, then, on the last line, the
          banner scikit-build-core prints when it builds with them
"""

import re
import sys
import tomllib


def declared():
    """The build-system requirements, and CMake as recent as CMakeLists.txt asks."""
    with open("pyproject.toml", "rb") as file:
        requires = tomllib.load(file)["build-system"]["requires"]
    with open("CMakeLists.txt", encoding="utf-8") as file:
        cmake = re.search(r"cmake_minimum_required\(VERSION ([0-9]+(?:\.[0-9]+)*)", file.read()).group(1)
    return requires + [f"cmake>={cmake}"]


def unmet():
    from importlib.metadata import PackageNotFoundError, version

    wanted = declared() + ["ninja"]
    try:
        from packaging.requirements import Requirement
    except ImportError:  # a fresh environment: everything is missing
        print(*wanted, sep="\n")
        return
    for text in wanted:
        requirement = Requirement(text)
        try:
            present = version(requirement.name)
        except PackageNotFoundError:
            print(text)
            continue
        if not requirement.specifier.contains(present, prereleases=True):
            print(text)


def minimum():
    from packaging.requirements import Requirement
    from packaging.version import Version

    pins = {}
    for text in declared():
        requirement = Requirement(text)
        lower = [spec.version for spec in requirement.specifier if spec.operator == ">="]
        if len(lower) != 1:
            raise SystemExit(f"{text!r} in pyproject.toml states no single minimum (>=) to check")
        pins[requirement.name] = Version(lower[0])
    for name, pinned in pins.items():
        print(f"{name}=={pinned}")

    def full(pinned):
        return ".".join(map(str, (pinned.release + (0, 0))[:3]))

    print(f"*** scikit-build-core {full(pins['scikit-build-core'])} using CMake {full(pins['cmake'])}")


if __name__ == "__main__":
    {"unmet": unmet, "minimum": minimum}[sys.argv[1]]()
