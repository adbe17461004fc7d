"""The lazy logger and get_logger against the same logic written in plain Python (plain.py)."""

import logging
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import plain
from common import compare
from plain import LazyLogger as PyLazyLogger
from plain import get_logger

from quillkit import chronicle


def main():
    chronicle._BASE_NAME = "app"
    dropped = logging.getLogger("app.bench_dropped")
    dropped.setLevel(logging.WARNING)
    shown = logging.getLogger("app.bench_shown")
    shown.setLevel(logging.INFO)
    shown.addHandler(logging.NullHandler())
    shown.propagate = False

    registry = {"app.x": logging.getLogger("app.x")}
    python_dropped, native_dropped = PyLazyLogger("bench_dropped"), chronicle.lazy_logger("bench_dropped")
    python_shown, native_shown = PyLazyLogger("bench_shown"), chronicle.lazy_logger("bench_shown")
    ratios = {
        "dropped": compare(
            "debug, record dropped by the level",
            lambda: python_dropped.debug("message %s", 1),
            lambda: native_dropped.debug("message %s", 1),
            20_000,
        ),
        "null handler": compare(
            "info into a NullHandler",
            lambda: python_shown.info("message"),
            lambda: native_shown.info("message"),
            5_000,
        ),
        "get_logger": compare(
            "get_logger('x')", lambda: get_logger("x"), lambda: chronicle.get_logger("x"), 20_000
        ),
        # The aims: no dearer than what a plain program would do instead (a ratio of 1 or more).
        "dropped vs plain": compare(
            "debug dropped, vs a plain Logger.debug",
            lambda: dropped.debug("message %s", 1),
            lambda: native_dropped.debug("message %s", 1),
            20_000,
            baseline_label="Logger ",
        ),
        "info dropped vs plain": compare(
            "info dropped, vs a plain Logger.info",
            lambda: dropped.info("message %s", 1),
            lambda: native_dropped.info("message %s", 1),
            20_000,
            baseline_label="Logger ",
        ),
        "get_logger vs lookup": compare(
            "get_logger('x'), vs dict look-up + join",
            lambda: registry[".".join((plain._BASE_NAME, "x"))],
            lambda: chronicle.get_logger("x"),
            20_000,
            baseline_label="dict   ",
        ),
    }
    cost = {name: 1 / ratio for name, ratio in ratios.items()}
    print(
        f"aims: a dropped debug or info no dearer than a plain Logger's ({cost['dropped vs plain']:.2f} "
        f"and {cost['info dropped vs plain']:.2f} times its cost), get_logger no dearer than a look-up "
        f"and a join ({cost['get_logger vs lookup']:.2f} times)"
    )
    return ratios


if __name__ == "__main__":
    main()
