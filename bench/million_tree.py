"""The million-file tree of the discovery benchmark, made once and kept under the user's cache
directory ($XDG_CACHE_HOME or ~/.cache, then quillkit-bench/): 10 top directories d0..d9, each
with 10 below it, each of those with 20, each of those with 20 again (42,110 directories, four
levels deep), and 1,000,000 empty files spread evenly over all of them (23 or 24 per directory),
named like module_0012345.py with eight extensions in turn (.py .md .txt .json .PY .csv .TXT .rs)."""

import os
from pathlib import Path

FILES = 1_000_000
WORDS = ["report", "module", "test_case", "notes", "data", "index", "setup_helper", "x"]
EXTENSIONS = [".py", ".md", ".txt", ".json", ".PY", ".csv", ".TXT", ".rs"]
SHAPE = "v1"  # change when the shape changes, so that an old tree is not reused


def directories():
    """The directories of the tree, relative, parents before children."""
    for a in range(10):
        yield f"d{a}"
        for b in range(10):
            yield f"d{a}/d{b}"
            for c in range(20):
                yield f"d{a}/d{b}/d{c}"
                for d in range(20):
                    yield f"d{a}/d{b}/d{c}/d{d}"


def file_names(count, first):
    for number in range(first, first + count):
        word = WORDS[number % 7] if number % 11 else WORDS[7]
        yield f"{word}_{number:07d}{EXTENSIONS[number % 8]}"


def cache_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "quillkit-bench"


def million_tree():
    """The path of the tree, made first when it is not there yet (a minute or two)."""
    root = cache_root() / f"tree-1m-{SHAPE}"
    done = root / ".complete"
    if done.exists():
        return root
    print(f"making the million-file tree in {root} (once) ...", flush=True)
    if root.exists():
        import shutil
        shutil.rmtree(root)
    every = list(directories())
    per_directory, extra = divmod(FILES, len(every))
    number = 0
    for index, relative in enumerate(every):
        directory = root / relative
        directory.mkdir(parents=True)
        count = per_directory + (index < extra)
        for name in file_names(count, number):
            os.close(os.open(directory / name, os.O_CREAT | os.O_WRONLY, 0o644))
        number += count
    # The marker has no suffix (its only dot comes first), so no query finds it.
    done.write_text(f"{len(every)} directories, {number} files\n")
    return root


if __name__ == "__main__":
    print(million_tree())
