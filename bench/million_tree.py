"""The trees of the discovery benchmark, each made once and kept under the user's cache directory
($XDG_CACHE_HOME or ~/.cache, then quillkit-bench/). The million-file tree: 10 top directories
d0..d9, each with 10 below it, each of those with 20, each of those with 20 again (42,110
directories, four levels deep), and 1,000,000 empty files spread evenly over all of them (23 or 24
per directory). The 100,000-file tree: 10, 10 and 40 (4,110 directories, three levels deep),
24 or 25 files in each. Files are named like module_0012345.py with eight extensions in turn
(.py .md .txt .json .PY .csv .TXT .rs)."""

import os
from pathlib import Path

WORDS = ["report", "module", "test_case", "notes", "data", "index", "setup_helper", "x"]
EXTENSIONS = [".py", ".md", ".txt", ".json", ".PY", ".csv", ".TXT", ".rs"]
SHAPE = "v1"  # change when the shape changes, so that an old tree is not reused
# Name: (files, directories below each directory, level by level).
TREES = {"1m": (1_000_000, (10, 10, 20, 20)), "100k": (100_000, (10, 10, 40))}


def directories(fan_outs, above=""):
    """The directories of a tree, relative, parents before children."""
    if not fan_outs:
        return
    for number in range(fan_outs[0]):
        relative = f"{above}d{number}"
        yield relative
        yield from directories(fan_outs[1:], relative + "/")


def file_names(count, first):
    for number in range(first, first + count):
        word = WORDS[number % 7] if number % 11 else WORDS[7]
        yield f"{word}_{number:07d}{EXTENSIONS[number % 8]}"


def cache_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "quillkit-bench"


def bench_tree(name):
    """The path of the tree TREES names, made first when it is not there yet (the million-file
    one takes a minute or two)."""
    files, fan_outs = TREES[name]
    root = cache_root() / f"tree-{name}-{SHAPE}"
    done = root / ".complete"
    if done.exists():
        return root
    print(f"making the {name}-file tree in {root} (once) ...", flush=True)
    if root.exists():
        import shutil

        shutil.rmtree(root)
    every = list(directories(fan_outs))
    per_directory, extra = divmod(files, len(every))
    number = 0
    for index, relative in enumerate(every):
        directory = root / relative
        directory.mkdir(parents=True)
        count = per_directory + (index < extra)
        for file_name in file_names(count, number):
            os.close(os.open(directory / file_name, os.O_CREAT | os.O_WRONLY, 0o644))
        number += count
    # The marker has no suffix (its only dot comes first), so no query finds it.
    done.write_text(f"{len(every)} directories, {number} files\n")
    return root


def million_tree():
    return bench_tree("1m")


if __name__ == "__main__":
    for tree_name in TREES:
        print(bench_tree(tree_name))
