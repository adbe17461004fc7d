"""Discovery and the directory list against the same functions in plain Python (os.walk and
pathlib), and discovery against GNU find with the equivalent expression.

The discovery tree holds 100,000 files in about 5,000 directories; the scan looks for two of its
five extensions, recursively, with two sub-trees excluded. A second scan looks through 20,000
files for 100,000 extensions, where the two that match come last. The directory list reads a
folder of 10,000 entries, once with the default rules and once with 10,000 texts in each rule.
All are built in a temporary directory and removed afterwards."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "tests"))

import reference_discovery as reference  # noqa: E402
from common import compare, compare_once  # noqa: E402

from quillkit import cargohold  # noqa: E402

EXTENSIONS = [".py", ".txt", ".md", ".json", ".csv"]


class Silent:
    def debug(self, message):
        pass

    info = warning = error = debug


def build_discovery_tree(root):
    """50 groups of 100 folders with 20 files each: 100,000 files in 5,051 directories."""
    for group in range(50):
        for folder in range(100):
            directory = os.path.join(root, f"group{group:02d}", f"folder{folder:03d}")
            os.makedirs(directory)
            for number in range(20):
                extension = EXTENSIONS[number % len(EXTENSIONS)]
                name = f"item_{group:02d}{folder:03d}{number:02d}{extension}"
                os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, 0o644))


def build_directory_list_folder(root):
    """10,000 entries: 7,000 directories (some hidden, private or named build) and 3,000 files."""
    os.makedirs(root)
    for number in range(7000):
        prefix = "._"[number % 2] if number % 10 == 0 else ""
        os.mkdir(os.path.join(root, f"{prefix}package{number:05d}"))
    os.mkdir(os.path.join(root, "build"))
    for number in range(2999):
        os.close(os.open(os.path.join(root, f"file{number:05d}.txt"), os.O_CREAT | os.O_WRONLY, 0o644))


def build_flat_tree(root):
    """100 folders of 200 files each: 20,000 files."""
    for folder in range(100):
        directory = os.path.join(root, f"folder{folder:03d}")
        os.makedirs(directory)
        for number in range(200):
            name = f"item_{folder:03d}{number:03d}{EXTENSIONS[number % len(EXTENSIONS)]}"
            os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, 0o644))


def many_extensions_ratio(workdir):
    """Discovery with 100,000 extensions, against os.walk with a set look-up."""
    tree = os.path.join(workdir, "flat")
    build_flat_tree(tree)
    extensions = [f".x{number:05d}" for number in range(99_998)] + ["PY", ".txt"]
    arguments = dict(recursive=True, logger=Silent())
    native = cargohold.find_files_with_extensions(tree, extensions, **arguments)
    assert native == reference.find_files_with_extensions(tree, extensions, **arguments)
    assert len(native[0]) == 2 * 20_000 // 5
    return compare_once(
        "discovery, 20k files / 100k extensions",
        lambda: reference.find_files_with_extensions(tree, extensions, **arguments),
        lambda: cargohold.find_files_with_extensions(tree, extensions, **arguments),
    )


def main():
    workdir = tempfile.mkdtemp(prefix="quillkit-bench-")
    try:
        tree = os.path.join(workdir, "tree")
        print("building 100,000 files in 5,051 directories ...", flush=True)
        build_discovery_tree(tree)
        excluded = [os.path.join(tree, "group07"), os.path.join(tree, "group31", "folder050")]
        arguments = dict(recursive=True, exclude_paths=excluded, logger=Silent())
        wanted = [".py", ".TXT"]

        native = cargohold.find_files_with_extensions(tree, wanted, **arguments)
        plain = reference.find_files_with_extensions(tree, wanted, **arguments)
        assert native == plain and len(native[0]) == 2 * (100_000 - 2000 - 20) // 5

        pruned = ["(", "-path", excluded[0], "-o", "-path", excluded[1], ")", "-prune"]
        wanted_files = "-type f ( -iname *.py -o -iname *.txt ) -print".split()
        find_command = ["find", tree, *pruned, "-o", *wanted_files]

        def gnu_find():
            with open(os.devnull, "wb") as sink:
                subprocess.run(find_command, stdout=sink, check=True)

        ratios = {
            "discovery vs python": compare_once(
                "discovery, 100k files / 5k dirs",
                lambda: reference.find_files_with_extensions(tree, wanted, **arguments),
                lambda: cargohold.find_files_with_extensions(tree, wanted, **arguments),
            ),
            "discovery vs find": compare_once(
                "discovery, 100k files / 5k dirs",
                gnu_find,
                lambda: cargohold.find_files_with_extensions(tree, wanted, **arguments),
                rounds=9,
                baseline_label="find  ",
            ),
        }

        folder = os.path.join(workdir, "directory_list")
        build_directory_list_folder(folder)
        log = Silent()
        assert cargohold.get_directory_list(folder) == reference.get_directory_list(folder, log=log)
        ratios["directory list vs python"] = compare(
            "directory list, 10k entries",
            lambda: reference.get_directory_list(folder, log=log),
            lambda: cargohold.get_directory_list(folder),
            5,
            rounds=9,
        )
        rules = [
            tuple(f"{kind}{number}" for number in range(10_000)) + defaults
            for kind, defaults in [("p", (".", "_")), ("n", ("build",)), ("s", ("99",))]
        ]
        assert cargohold.get_directory_list(folder, *rules) == reference.get_directory_list(
            folder, *rules, log=log
        )
        ratios["directory list, many rules"] = compare(
            "directory list, 10k entries / 3 x 10k rules",
            lambda: reference.get_directory_list(folder, *rules, log=log),
            lambda: cargohold.get_directory_list(folder, *rules),
            1,
            rounds=5,
        )
        ratios["many extensions"] = many_extensions_ratio(workdir)
        print(
            f"aims: discovery ≥ 5x python ({ratios['discovery vs python']:.1f}x), "
            f"≥ 1/1.5 = 0.67x find ({ratios['discovery vs find']:.2f}x)"
        )
        return ratios
    finally:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
