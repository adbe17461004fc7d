"""Leak check of the callable type, quillkit.chronicle and local content (see leakcheck.py)."""

import logging

import pytest
from leakcheck import Silent, assert_no_leak, calling, expect

from quillkit import cargohold, chronicle


class StrSub(str):
    pass


class NumberFormatter:
    def format(self, record):
        return 5


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.fixture(autouse=True)
def quiet_logging(clean_logging):
    logging.getLogger("app").addHandler(logging.NullHandler())
    logging.getLogger("app").propagate = False


def binding_cases():
    load = cargohold.load_local_file_content
    return {
        "missing argument": expect(TypeError, load),
        "too many": expect(TypeError, load, 1, 2, 3, 4),
        "unknown keyword": expect(TypeError, load, "x", bogus=1),
        "duplicate": expect(TypeError, load, "x", file_path="y"),
        "exact type": expect(TypeError, load, "x", label=StrSub("l")),
        "None refused": expect(TypeError, load, "x", label=None),
        "int rule": expect(TypeError, chronicle.setup_logging, "x", level="10"),
        "keyword-only missing": expect(TypeError, chronicle.setup_logging),
        "signature": calling(lambda: load.__signature__ and load.__kwdefaults__),
        "result check": expect(
            TypeError,
            chronicle.LevelSwitchingFormatter({}, NumberFormatter()).format,
            logging.makeLogRecord({}),
        ),
    }


def chronicle_cases(tmp_path):
    dropped = chronicle.lazy_logger("leak")
    logging.getLogger("app.leak").setLevel(logging.WARNING)
    handler = logging.NullHandler()
    shown = chronicle.lazy_logger("shown")
    logging.getLogger("app.shown").setLevel(logging.DEBUG)

    def exception():
        try:
            raise ValueError("x")
        except ValueError:
            shown.exception("failed %s", 1)

    return {
        "dropped debug": calling(dropped.debug, "m %s", 1),
        "info with keywords": calling(shown.info, "m", extra={"a": 1}, stacklevel=2),
        "exception": exception,
        "retry without stacklevel": expect(TypeError, shown.info, "m", bogus=1),
        "every level": calling(
            lambda: [
                dropped.warning("w"),
                dropped.error("e"),
                dropped.critical("c"),
                dropped._emit(10.5, "m"),
            ]
        ),
        "name": calling(lambda: (dropped.name, dropped._l)),
        "pass-through": calling(
            lambda: [
                dropped.isEnabledFor(10),
                dropped.setLevel(30),
                dropped.addHandler(handler),
                dropped.removeHandler(handler),
            ]
        ),
        "pass-through error": expect(TypeError, dropped.setLevel),
        "base_name": calling(chronicle.base_name),
        "get_logger": calling(chronicle.get_logger, "x"),
        "lazy_logger": calling(chronicle.lazy_logger, "x"),
        "bad child": expect(TypeError, chronicle.lazy_logger, None),
        "slot refused": expect(AttributeError, setattr, dropped, "other", 1),
        "setup console": calling(chronicle.setup_logging, "leaky", file=None, level=50),
        "setup file": calling(chronicle.setup_logging, "leaky", console=False, file=str(tmp_path / "x.log")),
        "setup file error": expect(
            FileNotFoundError,
            chronicle.setup_logging,
            "leaky",
            console=False,
            file=str(tmp_path / "no" / "x.log"),
        ),
        "formatter refused": expect(TypeError, chronicle.LevelSwitchingFormatter, [], None),
        "formatter": calling(
            chronicle.LevelSwitchingFormatter({20: logging.Formatter()}, logging.Formatter()).format,
            logging.makeLogRecord({"levelno": 20, "msg": "m"}),
        ),
    }


def content_cases(tmp_path):
    (tmp_path / "a.txt").write_text("text")
    (tmp_path / "bad.txt").write_bytes(b"\xff")
    (tmp_path / "lines.txt").write_bytes(b"a\r\nb\rc")
    (tmp_path / "setup.py").write_text("setup(entry_points=['x-y = a.cli:main'])")
    load, save = cargohold.load_local_file_content, cargohold.save_local_file_content
    return {
        "load": calling(load, tmp_path / "a.txt", logger=Silent()),
        "load missing": calling(load, str(tmp_path / "none"), logger=Silent()),
        "load undecodable": calling(load, tmp_path / "bad.txt", logger=Silent()),
        "load bad path": expect(TypeError, load, None),
        "load line ends": calling(load, str(tmp_path / "lines.txt"), logger=Silent()),
        "load directory": calling(load, str(tmp_path), logger=Silent()),
        "command name": calling(cargohold.get_cli_name, str(tmp_path / "setup.py")),
        "command name undecodable": calling(cargohold.get_cli_name, tmp_path / "bad.txt"),
        "save": calling(save, tmp_path / "out" / "b.txt", "content", logger=Silent()),
        "save failure": calling(save, tmp_path / "a.txt" / "x", "content", logger=Silent()),
        "save unencodable": calling(save, tmp_path / "c.txt", "\udc80", logger=Silent()),
        "save unprintable label": expect(TypeError, save, tmp_path / "d.txt", "c", BadStr()),
        "path type": calling(cargohold.get_path_type, tmp_path, Silent()),
        "path type missing": calling(cargohold.get_path_type, tmp_path / "none", Silent()),
        "path type refused": expect(TypeError, cargohold.get_path_type, None),
    }


CASE_GROUPS = {
    "binding": lambda tmp_path: binding_cases(),
    "chronicle": chronicle_cases,
    "content": content_cases,
}


@pytest.mark.parametrize("group", CASE_GROUPS)
def test_no_leaks(group, tmp_path):
    for name, case in CASE_GROUPS[group](tmp_path).items():
        try:
            assert_no_leak(case)
        except AssertionError as error:
            raise AssertionError(f"{group} / {name}: {error}") from None
