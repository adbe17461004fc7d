"""Output-path search and the file-name rules on many names, against the same operations written in
plain Python with pathlib (plain.py)."""

import random
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import compare, compare_once
from plain import extract_filename_info, get_unique_path, match_filename

from quillkit import cargohold


def sample_names(count):
    """File names as tools meet them: measurement files, some in folders, mixed case."""
    rng = random.Random(7)
    folders = ["", "data/", "runs/2024/", "./out/"]
    kinds = ["test", "Test", "sample", "report"]
    return [
        f"{rng.choice(folders)}{rng.choice(kinds)}_{rng.randint(-99, 99)}_{i}"
        f"{rng.choice(['.csv', '.CSV', '.txt', '.tar.gz'])}"
        for i in range(count)
    ]


def main():
    ratios = {}
    with tempfile.TemporaryDirectory() as directory:
        (Path(directory) / "report.csv").touch()
        for counter in range(1, 1000):
            (Path(directory) / f"report_{counter}.csv").touch()
        assert get_unique_path(directory, "report", "csv") == cargohold.get_unique_path(
            directory, "report", "csv"
        )
        ratios["unique path"] = compare(
            "get_unique_path past 1,000 taken names",
            lambda: get_unique_path(directory, "report", "csv"),
            lambda: cargohold.get_unique_path(directory, "report", "csv"),
            5,
            rounds=10,
        )

    names = sample_names(100_000)
    native_extract, native_match = cargohold.extract_filename_info, cargohold.match_filename
    assert [extract_filename_info(n) for n in names] == [native_extract(n) for n in names]
    assert [match_filename(n, "test", ".csv") for n in names] == [
        native_match(n, "test", ".csv") for n in names
    ]
    ratios["match"] = compare_once(
        "match_filename on 100,000 names",
        lambda: [match_filename(n, "test", ".csv") for n in names],
        lambda: [native_match(n, "test", ".csv") for n in names],
    )
    ratios["extract"] = compare_once(
        "extract_filename_info on 100,000 names",
        lambda: [extract_filename_info(n) for n in names],
        lambda: [native_extract(n) for n in names],
    )
    return ratios


if __name__ == "__main__":
    main()
