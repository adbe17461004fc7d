"""File-name fields and matching: the documented examples, the errors, and a property test that
holds the native text rules to pathlib's `name` and `stem` on generated names."""

from pathlib import Path

import pytest
from helpers import DOT_NAMES, globals_replaced
from hypothesis import example, given, settings
from hypothesis import strategies as st
from reference_filenames import reference_extract, reference_match

from quillkit import cargohold

extract, match = cargohold.extract_filename_info, cargohold.match_filename


def test_fields():
    assert extract("test_-90.txt") == ("test", "-90")
    assert extract("dir/a_b_c.csv", (2, 0, 2)) == ("c", "a", "c")
    assert extract("a_b.final.txt", (1,)) == ("b.final",)
    assert extract("x-y", partNumber=(True,), sp="-") == ("y",) and extract("   ", ()) == ()
    for name, indices, error, text in [
        ("abc.txt", (0, 1), IndexError, r"^Index in partNumber is out of range\.$"),
        ("a_b", (-1,), IndexError, "out of range"),
        ("a_b", (0.5, 7), IndexError, "out of range"),  # every index is checked first
        ("", (0,), ValueError, r"^fileName cannot be empty\.$"),
        ("a_b", ("0",), TypeError, "not supported between"),
        ("a_b", (0.5,), TypeError, "list indices must be integers"),
        ("a_b", [0], TypeError, r"Argument 'partNumber' has incorrect type \(expected tuple, got list\)"),
        (Path("a_b"), (0,), TypeError, "Argument 'fileName'"),
    ]:
        with pytest.raises(error, match=text):
            extract(name, indices)
    with pytest.raises(ValueError, match="empty separator"):
        extract("a_b", sp="")


def test_matching():
    assert match("data/test_file.CSV", prefix="test", suffix=".csv") is True
    assert match("data/test_file.CSV", "test", ".csv", ignore_case=[]) is False
    assert match("test/a.txt", "test") is False  # only the last component counts
    assert all(match(name) for name in ["", ".", "/", "a/b/"]) and match("x", "", "")
    assert match("İSTANBUL.txt", "i̇st") is True  # str.lower, not ASCII folding
    for arguments in [("a", b"a"), (None,), ("a", None, 1)]:
        with pytest.raises(TypeError, match="has incorrect type"):
            match(*arguments)


def outcome(function, *args):
    try:
        return function(*args)
    except Exception as error:
        return type(error), str(error)


# Names built mostly from the characters that the rules treat specially.
names = st.text(st.sampled_from(list("/._ aAZ-ßİ語\\\x00") + ["\udc80"]) | st.characters(), max_size=14)


@settings(max_examples=2000, deadline=None)
@given(
    name=names,
    indices=st.lists(st.integers(-2, 4), max_size=3).map(tuple),
    separator=st.sampled_from(["_", ".", "/", "a", "__", ""]),
)
@example(name="a/./", indices=(0,), separator="_")
@example(name="//.a.", indices=(0,), separator=".")
def test_fields_agree_with_pathlib(name, indices, separator):
    assert outcome(extract, name, indices, separator) == outcome(reference_extract, name, indices, separator)


@pytest.mark.parametrize("name", DOT_NAMES)
@pytest.mark.parametrize("way", ["native", "library"])
def test_the_edges_of_the_dot_rules_agree_with_pathlib(name, way):
    # The library's way: the module's Path replaced by one that makes the same paths.
    calls = []
    replaced = {"Path": lambda text: calls.append(text) or Path(text)} if way == "library" else {}
    with globals_replaced(cargohold, **replaced):
        for text in [name, "d/" + name, name + "/", "/" + name + "/."]:
            for indices, separator in [((0,), "_"), ((0, 1), "."), ((), "x")]:
                assert outcome(extract, text, indices, separator) == outcome(
                    reference_extract, text, indices, separator
                )
            for prefix, suffix in [(name[:1], name[-1:]), (None, "."), (".", None)]:
                assert match(text, prefix, suffix) is reference_match(text, prefix, suffix)
    assert len(calls) == (24 if way == "library" else 0)


@settings(max_examples=2000, deadline=None)
@given(name=names, prefix=st.none() | names, suffix=st.none() | names, ignore_case=st.booleans())
@example(name="a/..", prefix="..", suffix=None, ignore_case=True)
def test_matching_agrees_with_pathlib(name, prefix, suffix, ignore_case):
    assert match(name, prefix, suffix, ignore_case) is reference_match(name, prefix, suffix, ignore_case)
