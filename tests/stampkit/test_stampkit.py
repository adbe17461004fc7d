"""quillkit.stampkit: the date code of a file stem, checked against the regular expression and
the datetime module it stands for."""

import datetime
import inspect
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillkit import stampkit

parse = stampkit.parseVEV_fileNameTime
PATTERN = re.compile(
    r"(?<![0-9])([0-9]{4})([0-9]{2})([0-9]{2})(?:[_-]?([0-9]{2})([0-9]{2})([0-9]{2}))?(?![0-9])"
)


def reference(stem):
    for match in PATTERN.finditer(stem):
        year, month, day, hour, minute, second = (int(g) if g else 0 for g in match.groups())
        try:
            datetime.datetime(year, month, day, hour, minute, second)
        except ValueError:
            continue
        return f"{year:04d}-{month:02d}-{day:02d} {hour:02d}:{minute:02d}:{second:02d}"
    return None


@pytest.mark.parametrize(
    "stem, expected",
    [
        ("run_20240131_235959", "2024-01-31 23:59:59"),
        ("log20231105", "2023-11-05 00:00:00"),
        ("x20241301", None),
        ("20240229", "2024-02-29 00:00:00"),
        ("20230229", None),
        ("19000229", None),
        ("20000229-000000", "2000-02-29 00:00:00"),
        ("20240131240000", None),  # hour 24: the match is skipped, not shortened
        ("20240131_235960 20240201", "2024-02-01 00:00:00"),
        ("20240131T235959", "2024-01-31 00:00:00"),
        ("120240131", None),  # a digit right before
        ("2024013112", None),  # ... or right after
        ("00000101", None),
        ("a_20240131__120000", "2024-01-31 00:00:00"),
        ("日誌20240131一", "2024-01-31 00:00:00"),
        ("٢٠٢٤٠١٣١ 20240131", "2024-01-31 00:00:00"),  # only ASCII digits count
        ("", None),
    ],
)
def test_examples(stem, expected):
    assert parse(stem) == expected == reference(stem)


@settings(max_examples=2000, deadline=None)
@given(st.text(alphabet="0123456789_-a", max_size=40))
def test_agrees_with_the_regular_expression(stem):
    assert parse(stem) == reference(stem)


@settings(max_examples=500, deadline=None)
@given(st.datetimes(min_value=datetime.datetime(1, 1, 1)), st.sampled_from(["", "_", "-"]), st.booleans())
def test_every_real_date_is_read(moment, separator, with_time):
    stem = f"{moment.year:04d}{moment:%m%d}" + (f"{separator}{moment:%H%M%S}" if with_time else "")
    expected = moment if with_time else moment.replace(hour=0, minute=0, second=0)
    assert parse("n_" + stem + ".v2") == f"{expected.year:04d}-{expected:%m-%d %H:%M:%S}"


def test_reads_like_a_python_function():
    assert str(inspect.signature(parse)) == "(stem: 'str') -> 'str | None'"
    assert parse.__module__ == "quillkit.stampkit" and parse.__doc__
    assert [n for n in vars(stampkit) if not n.startswith("__")] == ["parseVEV_fileNameTime"]
    for bad in [b"20240101", None, 20240101]:
        with pytest.raises(
            TypeError, match=rf"Argument 'stem' has incorrect type \(expected str, got {type(bad).__name__}\)"
        ):
            parse(bad)

    class Text(str):
        pass

    with pytest.raises(TypeError, match="got Text"):
        parse(Text("20240101"))
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'stem'"):
        parse()
