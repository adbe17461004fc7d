"""The native walk and directory list against the same functions written with os.walk and pathlib
(reference_discovery.py), on generated trees: links to files and directories, dangling links,
hidden, non-ASCII and undecodable names, exclusions written in every form, prefixes; and trees
large enough that the walk shares them out between threads."""

import contextlib
import os
import pathlib
import random
import string
import tempfile
from pathlib import Path

import pytest
import reference_discovery as reference
from helpers import DOT_NAMES, Recorder
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from quillkit import cargohold

# Pieces of names, as bytes: undecodable bytes, an encoded surrogate (also undecodable), a
# Kelvin sign (lower-cases to ASCII "k"), date codes for the date-code order, and pieces that
# end names next to the edges of the walk's sort key (see KEY_EDGE_STEMS).
FRAGMENTS = [
    b"a",
    b"B",
    b"_",
    b".",
    b"x1",
    b" ",
    b"-",
    "é".encode(),
    "日".encode(),
    b"\xff",
    b"\xc3",
    b"\xed\xa0\x80",
    "\u212a".encode(),
    b"20240131",
    b"20230101_120000",
    b"19990231",
    b"abcdefg",
    b"abcdefghijklmno",
]
SUFFIXES = [
    b"",
    b"",
    b".py",
    b".py",
    b".PY",
    b".Py",
    b".txt",
    b".TXT",
    b".tar.gz",
    b".md",
    b".",
    ".é".encode(),
    ".É".encode(),
    ".\u212a".encode(),
    b".\xff",
    b".p\xc3",
]
EXTENSION_CHOICES = ["py", ".PY", "txt", "tar.gz", ".é", "k", "md", "."]
# A long extension list: what matches is looked up among thousands that do not, with duplicates,
# names' own pieces as suffixes (".b" matches a.B) and a surrogate (".\udcff" matches ".\xff").
MANY_EXTENSIONS = (
    [f".z{number}" for number in range(3000)]
    + ["B", ".x1", "X1", ".b", ".日", ".\udcff"]
    + [f"Q{number}" for number in range(3000)]
)
KINDS = ["file", "file", "file", "dir", "dir", "link_dir", "link_file", "dangling"]

names = st.tuples(
    st.lists(st.sampled_from(FRAGMENTS), min_size=1, max_size=3), st.sampled_from(SUFFIXES)
).map(lambda parts: b"".join(parts[0]) + parts[1])
operations = st.lists(
    st.tuples(st.integers(0, 50), names, st.sampled_from(KINDS), st.integers(0, 50)), min_size=8, max_size=40
)


def build_tree(root, steps, make_root=False):
    """Creates the entries below `root` (bytes); returns the directories and files made."""
    if make_root:
        os.mkdir(root)
    directories, files = [root], []
    for parent_pick, name, kind, target_pick in steps:
        if name in (b".", b".."):
            continue
        parent = directories[parent_pick % len(directories)]
        path = os.path.join(parent, name)
        if os.path.lexists(path):
            continue
        if kind == "file":
            open(path, "wb").close()
            files.append(path)
        elif kind == "dir":
            os.mkdir(path)
            directories.append(path)
        elif kind == "link_dir":
            os.symlink(directories[target_pick % len(directories)], path)
        elif kind == "link_file" and files:
            os.symlink(files[target_pick % len(files)], path)
        else:
            os.symlink(os.path.join(root, b"no-such-target"), path)
    return directories, files


def spelling(path, form):
    """The path (bytes) as a caller may write it, relative to the working directory or not."""
    text = os.fsdecode(os.path.relpath(path))
    absolute = os.fsdecode(os.path.abspath(path))
    return [
        text,
        text + "/",
        "./" + text,
        absolute,
        absolute + "//",
        text + "/../" + os.path.basename(absolute),
        pathlib.Path(text),
    ][form]


@contextlib.contextmanager
def tree_in_working_directory():
    before = os.getcwd()
    with tempfile.TemporaryDirectory() as workdir:
        os.chdir(workdir)
        try:
            root = os.path.join(os.fsencode(workdir), b"tree")
            os.mkdir(root)
            yield root
        finally:
            os.chdir(before)


def outcome(function, *args, **kwargs):
    """The result and messages of a call, or the exception it raised (type and text)."""
    logger = Recorder()
    try:
        result = function(*args, logger=logger, **kwargs)
    except Exception as error:  # the same failure is expected of both
        return ("raised", type(error), str(error), logger.records)
    return (result, logger.records)


def same_as_reference(start, **arguments):
    """The outcome of discovery from `start`, asserted the same natively and in plain Python."""
    expected = outcome(reference.find_files_with_extensions, start, **arguments)
    assert outcome(cargohold.find_files_with_extensions, start, **arguments) == expected
    return expected


# The walk sorts a directory's names by a key whose first sixteen bytes are compared as two
# numbers, with a directory's name read as if "/" followed it, and the rest byte by byte. Names
# end on each side of those edges, followed by every kind of next character: below and above
# "/", and characters of two, three and four bytes that straddle an edge; each is a file and
# a directory holding one. All are UTF-8, so the walk's own order is the one returned.
KEY_EDGE_STEMS = [1, 6, 7, 8, 9, 14, 15, 16, 17, 24, 200]
NEXT_CHARACTERS = ["", "-", ".", " ", "0", "A", "~", "\x7f", "é", "日", "\U0001f600"]


def key_edge_steps(stem_lengths, next_characters=NEXT_CHARACTERS, width=1):
    """Steps for build_tree: for each stem ("abc…" of each length, `width` of each), each next
    character, a file `stem + character + ".py"` and a directory `stem + character` holding
    "x.py"; the stems share their beginnings, so every pair of names meets at an edge."""
    steps, directories = [], 0
    for length in stem_lengths:
        for number in range(width):
            stem = (string.ascii_lowercase * 10)[:length] + (f"{number:03}" if width > 1 else "")
            for character in next_characters:
                name = (stem + character).encode()
                directories += 1
                steps += [
                    (0, name + b".py", "file", 0),
                    (0, name, "dir", 0),
                    (directories, b"x.py", "file", 0),
                ]
    return steps


exclusions = st.lists(st.tuples(st.integers(0, 60), st.integers(0, 6)), max_size=4)
# Mostly no prefix and extensions that match, so that most trees yield files. A tuple of
# prefixes is tested with startswith, which raises for a member that is not a text.
prefixes = st.one_of(
    st.none(),
    st.none(),
    st.none(),
    st.just(""),
    st.just(("a", "_")),
    st.just(tuple(f"z{number}" for number in range(500)) + ("aB", "a", "x1", "\udcff", "日")),
    st.just(("a", 1)),
    st.sampled_from(["a", "B", "_", "é", "\udcc3", "\udcff", "20", "x1."]),
)
extension_sets = st.one_of(
    st.just(["py", "TXT", ".md", "é", "k"]),
    st.just("py"),
    st.none(),
    st.lists(st.sampled_from(EXTENSION_CHOICES), max_size=4),
    st.lists(st.sampled_from(EXTENSION_CHOICES), max_size=2).map(lambda chosen: MANY_EXTENSIONS + chosen),
)
starts = st.sampled_from(["tree", "tree/", "./tree", "absolute", "tree/../tree", "."])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@example(
    steps=key_edge_steps(KEY_EDGE_STEMS),
    extensions="py",
    recursive=True,
    sort_datecode=False,
    excluded=[],
    prefix=None,
    start="tree",
)
# A directory whose listing needs more than one chunk of the arena, its names sharing a long start.
@example(
    steps=key_edge_steps([190], ["", ".", "-", "é"], width=100),
    extensions="py",
    recursive=True,
    sort_datecode=False,
    excluded=[],
    prefix=None,
    start="tree",
)
@given(
    steps=operations,
    extensions=extension_sets,
    recursive=st.booleans(),
    sort_datecode=st.booleans(),
    excluded=exclusions,
    prefix=prefixes,
    start=starts,
)
def test_discovery_matches_os_walk(steps, extensions, recursive, sort_datecode, excluded, prefix, start):
    with tree_in_working_directory() as root:
        directories, files = build_tree(root, steps)
        if start == "absolute":
            start = os.fsdecode(root)
        elif start == ".":
            os.chdir(root)
        # The start directory itself may be excluded too, or the directory above it.
        entries = directories + files + [os.path.dirname(root)]
        exclude_paths = [spelling(entries[pick % len(entries)], form) for pick, form in excluded]
        expected = same_as_reference(
            start,
            extensions=extensions,
            recursive=recursive,
            sort_datecode=sort_datecode,
            exclude_paths=exclude_paths or None,
            prefix=prefix,
        )
        if expected[0] != "raised":
            for path in expected[0][0]:
                assert os.path.lexists(path)


@pytest.mark.parametrize("extensions", [["", "."], ["x", "y", "tar"], [".X.", "x."], ["b", "a b"]])
@pytest.mark.parametrize("way", ["native", "library"])
def test_the_edges_of_the_dot_rules_match_pathlib(tmp_path, monkeypatch, extensions, way):
    """Names at the edges of pathlib's dot rules, found natively and through the module's Path
    (replaced by one that makes the same paths, so that every name is asked of it)."""
    for directory in [tmp_path, tmp_path / "sub"]:
        directory.mkdir(exist_ok=True)
        for name in DOT_NAMES + [".a.b", "a. b"]:
            if name not in (".", ".."):
                (directory / name).write_text("")
    monkeypatch.chdir(tmp_path)
    if way == "library":
        monkeypatch.setattr(cargohold, "Path", lambda *args: Path(*args))
    for start in [".", "sub", str(tmp_path)]:
        same_as_reference(start, extensions=extensions, recursive=True)


def wide_steps(seed, count):
    """Steps for build_tree from a seed, a third of them directories."""
    rng = random.Random(seed)
    kinds = ["file"] * 5 + ["dir"] * 4 + ["link_dir", "link_file", "dangling"]
    return [
        (
            rng.randrange(1 << 20),
            b"".join(rng.choices(FRAGMENTS, k=rng.randint(1, 3))) + rng.choice(SUFFIXES),
            rng.choice(kinds),
            rng.randrange(1 << 20),
        )
        for _ in range(count)
    ]


@pytest.fixture(scope="module")
def wide_trees():
    """Three trees of some hundreds of directories (the walk starts helper threads only past
    its first few hundred), made once: (working directory, [(start, entries)])."""
    with tempfile.TemporaryDirectory() as workdir:
        trees = []
        for seed in range(3):
            start = f"tree{seed}"
            directories, files = build_tree(
                os.path.join(os.fsencode(workdir), start.encode()), wide_steps(seed, 1500), make_root=True
            )
            assert len(directories) > 400
            trees.append((start, directories + files))
        yield workdir, trees


# Forced thread counts, and the walk's own choice while every read seems to wait, as on a cold
# disk: helpers then join part-way through, up to the most a walk uses.
WALK_THREADS = {
    "1": {"QUILLKIT_DISCOVERY_THREADS": "1"},
    "2": {"QUILLKIT_DISCOVERY_THREADS": "2"},
    "5": {"QUILLKIT_DISCOVERY_THREADS": "5"},
    "joining": {"QUILLKIT_DISCOVERY_WAITING": "1"},
}


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    pick=st.integers(0, 2),
    extensions=extension_sets,
    sort_datecode=st.booleans(),
    excluded=exclusions,
    prefix=prefixes,
    threads=st.sampled_from(sorted(WALK_THREADS)),
)
def test_parallel_walk_matches_os_walk(
    wide_trees, pick, extensions, sort_datecode, excluded, prefix, threads
):
    """The same result whichever thread reads which directory: order, names, pruning."""
    workdir, trees = wide_trees
    start, entries = trees[pick]
    variables = ("QUILLKIT_DISCOVERY_THREADS", "QUILLKIT_DISCOVERY_WAITING")
    saved = os.getcwd(), {name: os.environ.pop(name, None) for name in variables}
    os.chdir(workdir)
    os.environ.update(WALK_THREADS[threads])
    try:
        exclude_paths = [spelling(entries[index % len(entries)], form) for index, form in excluded]
        same_as_reference(
            start,
            extensions=extensions,
            recursive=True,
            sort_datecode=sort_datecode,
            exclude_paths=exclude_paths or None,
            prefix=prefix,
        )
    finally:
        os.chdir(saved[0])
        for name, value in saved[1].items():
            os.environ.pop(name, None)
            if value is not None:
                os.environ[name] = value


class Compared(str):
    """A rule member whose == is Python code, counting its calls: the interpreter compares it,
    in order, as often as the plain test would."""

    calls = 0

    def __eq__(self, other):
        Compared.calls += 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


# Texts that begin or end one another and the names below, surrogates among them; a member that
# is not a text (startswith raises on reaching it), one compared by Python code, and rules that
# put a few thousand members that match nothing before these.
rule_texts = st.one_of(
    st.sampled_from(
        [
            ".",
            "_",
            "a",
            "aB",
            "a_",
            "é",
            "日",
            "\udcff",
            "\udcc3",
            "\udced\udca0\udc80",
            "build",
            "x1",
            "x1.py",
            "-",
            ".egg-info",
            ".py",
            "y",
            "",
        ]
    ),
    st.sampled_from(["a", "B", ".py", "x1"]).map(Compared),
    st.just(1),
)
MANY_RULES = tuple(f"unmatched{number}" for number in range(2000))
name_rules = st.tuples(st.booleans(), st.lists(rule_texts, max_size=4)).map(
    lambda rule: (MANY_RULES if rule[0] else ()) + tuple(rule[1])
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    steps=operations,
    prefixes_=name_rules,
    names_=name_rules,
    suffixes=name_rules,
    start=st.sampled_from(["tree", "tree/", "./tree", "absolute", "."]),
)
def test_directory_list_matches_pathlib(steps, prefixes_, names_, suffixes, start):
    def listed(function, *args, **kwargs):
        """The result or the exception, with the comparisons Python code made."""
        Compared.calls = 0
        try:
            result = function(start, prefixes_, names_, suffixes, *args, **kwargs)
        except Exception as error:  # the same failure is expected of both
            result = ("raised", type(error), str(error))
        return result, Compared.calls

    with tree_in_working_directory() as root:
        build_tree(root, steps)
        if start == "absolute":
            start = os.fsdecode(root)
        elif start == ".":
            os.chdir(root)
        expected = listed(reference.get_directory_list, log=Recorder())
        assert listed(cargohold.get_directory_list) == expected
