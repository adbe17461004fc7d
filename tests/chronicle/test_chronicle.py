"""quillkit.chronicle: logger naming, the lazy logger, the level-switching formatter and
setup_logging, through real loggers and handlers."""

import logging
import re
import sys

import pytest

from quillkit import chronicle

pytestmark = pytest.mark.usefixtures("clean_logging")


class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


class Stdout:
    """What the console handler wrote, through pytest's capture of standard output."""

    def __init__(self, capsys):
        self.capsys = capsys
        self.stream = None

    def getvalue(self):
        return self.capsys.readouterr().out


@pytest.fixture
def stdout(capsys):
    return Stdout(capsys)


def test_namespace_in_loading_order():
    names = [n for n in vars(chronicle) if not n.startswith("__")]
    assert names == [
        "logging",
        "sys",
        "Logger",
        "Optional",
        "Dict",
        "_BASE_NAME",
        "LevelSwitchingFormatter",
        "setup_logging",
        "base_name",
        "get_logger",
        "_LazyLogger",
        "lazy_logger",
    ]
    assert chronicle.Logger is logging.Logger


def test_names_follow_the_base_name():
    logger = chronicle.lazy_logger("cargohold")
    assert chronicle.base_name() == "app"
    assert logger.name == "app.cargohold"
    assert chronicle.get_logger() is logging.getLogger("app")
    assert chronicle.get_logger("") is logging.getLogger("app")
    chronicle.setup_logging("proj", console=False, file=None)
    assert logger.name == "proj.cargohold"
    assert logger._l is logging.getLogger("proj.cargohold")
    chronicle._BASE_NAME = "direct"  # read from the namespace at every use
    assert logger.name == "direct.cargohold" and chronicle.base_name() == "direct"
    chronicle._BASE_NAME = 7  # formatted, as an f-string would
    assert chronicle.get_logger("c").name == "7.c"


def test_lazy_logger_class_shape():
    cls = chronicle._LazyLogger
    assert cls.__slots__ == ("_child",) and cls.__bases__ == (object,)
    members = [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
    assert members == [
        "__init__",
        "_l",
        "_emit",
        "debug",
        "info",
        "warning",
        "error",
        "critical",
        "exception",
        "isEnabledFor",
        "setLevel",
        "addHandler",
        "removeHandler",
        "name",
        "_child",
    ]
    assert isinstance(vars(cls)["_l"], property) and isinstance(vars(cls)["name"], property)
    assert "lazy" in cls.__doc__.lower() and "setup_logging" in cls.__doc__
    logger = chronicle.lazy_logger("x")
    assert not isinstance(logger, logging.Logger)
    assert not hasattr(logger, "log") and not hasattr(logger, "handlers")
    with pytest.raises(AttributeError):
        logger.other = 1
    with pytest.raises(
        TypeError, match=r"Argument 'child' has incorrect type \(expected str, got NoneType\)"
    ):
        chronicle.lazy_logger(None)
    with pytest.raises(TypeError, match="Argument 'child'"):
        chronicle.get_logger(b"x")


def test_records_reach_the_logger_of_the_moment():
    capture = Capture()
    logging.getLogger("app.mod").addHandler(capture)
    logger = chronicle.lazy_logger("mod")
    logger.warning("before %s", "setup")
    chronicle.setup_logging("proj", console=False, file=None, level=logging.DEBUG)
    later = Capture()
    logging.getLogger("proj").addHandler(later)
    logger.debug("after %s", 1)
    assert [r.getMessage() for r in capture.records] == ["before setup"]
    assert [(r.name, r.levelno, r.getMessage()) for r in later.records] == [
        ("proj.mod", logging.DEBUG, "after 1")
    ]


class SpyLogger:
    """Stands in for the underlying logger to see exactly what the dispatcher passes."""

    def __init__(self, refuse_stacklevel=False):
        self.calls = []
        self.refuse_stacklevel = refuse_stacklevel

    def log(self, level, msg, *args, **kwargs):
        self.calls.append((level, msg, args, kwargs))
        if self.refuse_stacklevel and "stacklevel" in kwargs:
            raise TypeError("no stacklevel here")


class FakeLogging:
    """Replaces the module's `logging` global: real level numbers, a chosen logger."""

    DEBUG, INFO, WARNING, ERROR, CRITICAL = 10, 20, 30, 40, 50

    def __init__(self, logger):
        self.logger = logger
        self.names = []

    def getLogger(self, name=None):
        self.names.append(name)
        return self.logger


@pytest.fixture
def fake_logging(monkeypatch):
    fake = FakeLogging(SpyLogger())
    monkeypatch.setattr(chronicle, "logging", fake)
    return fake


@pytest.fixture
def spy(fake_logging):
    return fake_logging.logger


def test_dispatch_arguments(spy):
    logger = chronicle.lazy_logger("x")
    logger.debug("m %s", 5)
    logger.info("m", stacklevel=1)
    logger.error(msg="by keyword", extra={"a": 1})
    assert spy.calls == [
        (logging.DEBUG, "m %s", (5,), {"stacklevel": 3}),
        (logging.INFO, "m", (), {"stacklevel": 1}),
        (logging.ERROR, "by keyword", (), {"stacklevel": 3, "extra": {"a": 1}}),
    ]
    spy.calls.clear()
    logger.exception("e")
    logger.exception("e", exc_info=False)
    logger.critical("c")
    logger._emit(25.7, "custom")
    assert spy.calls == [
        (logging.ERROR, "e", (), {"stacklevel": 3, "exc_info": True}),
        (logging.ERROR, "e", (), {"stacklevel": 3, "exc_info": False}),
        (logging.CRITICAL, "c", (), {"stacklevel": 3}),
        (25, "custom", (), {"stacklevel": 3}),
    ]
    with pytest.raises(TypeError, match=r"Argument 'level' has incorrect type \(expected int, got str\)"):
        logger._emit("10", "m")


def test_dispatch_retries_without_stacklevel_once(spy):
    spy.refuse_stacklevel = True
    chronicle.lazy_logger("x").info("m", 1, stacklevel=2)
    assert spy.calls == [(logging.INFO, "m", (1,), {"stacklevel": 2}), (logging.INFO, "m", (1,), {})]


def test_dispatch_lets_other_errors_through(fake_logging):
    class Broken:
        def log(self, *args, **kwargs):
            raise RuntimeError("logger broke")

    fake_logging.logger = Broken()
    with pytest.raises(RuntimeError, match="logger broke"):
        chronicle.lazy_logger("x").info("m")


def test_level_constants_and_names_are_read_at_each_call(spy, fake_logging):
    fake_logging.DEBUG = 5
    logger = chronicle.lazy_logger("x")
    logger.debug("m")
    chronicle._BASE_NAME = "renamed"
    logger.info("m")
    assert [call[0] for call in spy.calls] == [5, 20]
    assert fake_logging.names == ["app.x", "renamed.x"]


def _seen(calls):
    """A stand-in that records what it is called with."""

    def record(*args, **kwargs):
        calls.append(args)
        return None

    return record


class _Noted(logging.Handler):
    """A handler that notes the message of each record it gets."""

    def __init__(self, calls):
        super().__init__(logging.DEBUG)
        self.calls = calls

    def emit(self, record):
        self.calls.append((record.msg,))


def _stand_in(calls):
    """A logger of no class of logging's whose `log` records what it is called with."""
    return type("S", (), {"log": _seen(calls)})()


def _logging_with(log):
    """A class of loggers whose `log` is `log`."""
    return type("L", (logging.Logger,), {"log": log})


def _manager_holding(logger):
    manager = logging.Manager(logging.root)
    manager.loggerDict[logger.name] = logger
    return manager


def _live():
    return logging.getLogger("app.live")


def _new_loggers_of_class(m, calls):
    manager = logging.Logger.manager
    m.setattr(manager, "loggerClass", manager.loggerClass)  # put back afterwards
    m.delitem(manager.loggerDict, "app.live")  # made anew by the next getLogger
    manager.setLoggerClass(_logging_with(_seen(calls)))


class _TrueForEveryLevel(dict):
    def __getitem__(self, level):
        return True


CHANGES = {
    # What a program changes after records went through, and what the next record must show.
    "registry entry": lambda m, calls: m.setitem(
        logging.Logger.manager.loggerDict, "app.live", _logging_with(_seen(calls))("app.live")
    ),
    "class log": lambda m, calls: m.setattr(logging.Logger, "log", _seen(calls)),
    "instance log": lambda m, calls: m.setattr(_live(), "log", _seen(calls), raising=False),
    "level constant": lambda m, calls: (
        m.setattr(logging, "DEBUG", 99) or m.setattr(_live(), "log", _seen(calls), raising=False)
    ),
    "getLogger": lambda m, calls: m.setattr(
        logging,
        "getLogger",
        lambda name: type("S", (), {"log": _seen(calls), "isEnabledFor": lambda *a: False})(),
    ),
    "root name": lambda m, calls: (
        m.setattr(logging.root, "name", "app.live")
        or m.setattr(logging.root, "log", _seen(calls), raising=False)
    ),
    "lazy _emit": lambda m, calls: m.setattr(chronicle._LazyLogger, "_emit", _seen(calls)),
    "module get_logger": lambda m, calls: m.setattr(
        chronicle, "get_logger", lambda child: type("S", (), {"log": _seen(calls)})()
    ),
    # Whether a record is dropped: logging's answer, and what it is made of.
    "level": lambda m, calls: _live().setLevel(logging.DEBUG),
    "ancestor level": lambda m, calls: logging.getLogger("app").setLevel(logging.DEBUG),
    "class isEnabledFor": lambda m, calls: m.setattr(logging.Logger, "isEnabledFor", lambda self, lv: True),
    "instance isEnabledFor": lambda m, calls: m.setattr(
        _live(), "isEnabledFor", lambda lv: True, raising=False
    ),
    "isEnabledFor code": lambda m, calls: m.setattr(
        logging.Logger.isEnabledFor, "__code__", (lambda self, level: True).__code__
    ),
    "an answer in its cache": lambda m, calls: m.setitem(_live()._cache, logging.DEBUG, True),
    "its cache replaced": lambda m, calls: m.setattr(_live(), "_cache", {logging.DEBUG: True}),
    "a cache of another class": lambda m, calls: m.setattr(_live(), "_cache", _TrueForEveryLevel()),
    "logger's class": lambda m, calls: m.setattr(_live(), "__class__", _logging_with(_seen(calls))),
    "class of new loggers": _new_loggers_of_class,
    # How getLogger finds the logger.
    "manager's own getLogger": lambda m, calls: m.setattr(
        logging.Logger.manager, "getLogger", lambda name: _stand_in(calls), raising=False
    ),
    "Manager.getLogger": lambda m, calls: m.setattr(
        logging.Manager, "getLogger", lambda self, name: _stand_in(calls)
    ),
    "registry replaced": lambda m, calls: m.setattr(
        logging.Logger.manager, "loggerDict", {"app.live": _logging_with(_seen(calls))("app.live")}
    ),
    "Logger.manager": lambda m, calls: m.setattr(
        logging.Logger, "manager", _manager_holding(_logging_with(_seen(calls))("app.live"))
    ),
    "logging.root": lambda m, calls: m.setattr(logging, "root", _logging_with(_seen(calls))("app.live")),
    "root's class": lambda m, calls: m.setattr(
        logging.root,
        "__class__",
        type("R", (logging.RootLogger,), {"name": property(lambda self: "app.live"), "log": _seen(calls)}),
    ),
    "manager's class": lambda m, calls: m.setattr(
        logging.Logger.manager,
        "__class__",
        type("M", (logging.Manager,), {"getLogger": lambda self, name: _stand_in(calls)}),
    ),
}


@pytest.mark.parametrize("change", CHANGES)
def test_changes_are_seen_at_the_next_record(monkeypatch, change):
    """What the dispatch learnt about the facility is forgotten the moment any of it changes."""
    logging.getLogger("app").setLevel(logging.WARNING)
    calls = []
    _live().addHandler(_Noted(calls))
    logger = chronicle.lazy_logger("live")
    for _ in range(3):
        logger.debug("dropped")  # the dispatch has seen everything as it stands
    assert calls == []
    CHANGES[change](monkeypatch, calls)
    logger.debug("now %s", 1)
    assert len(calls) == 1 and "now %s" in calls[0]


def test_dropped_records_follow_logging_state():
    """Each change logging makes to its answer (levels, disable, a logger's `disabled` and
    `propagate`) shows at the next record, in both directions, and stays shown."""
    shown = []
    app, follow = logging.getLogger("app"), logging.getLogger("app.follow")
    app.addHandler(_Noted(shown))
    logger = chronicle.lazy_logger("follow")
    steps = [
        (lambda: None, "info", False),  # the root logger's WARNING
        (lambda: app.setLevel(logging.DEBUG), "debug", True),
        (lambda: logging.disable(logging.INFO), "info", False),
        (lambda: None, "warning", True),
        (lambda: logging.disable(logging.NOTSET), "debug", True),
        (lambda: setattr(follow, "disabled", True), "error", False),
        (lambda: setattr(follow, "disabled", False), "debug", True),
        (lambda: follow.setLevel(logging.ERROR), "warning", False),
        (lambda: setattr(follow, "propagate", False), "error", False),
        (lambda: setattr(follow, "propagate", True), "error", True),
        (lambda: follow.setLevel(logging.NOTSET), "debug", True),
    ]
    try:
        for number, (change, method, visible) in enumerate(steps):
            change()
            for _ in range(3):
                shown.clear()
                getattr(logger, method)("step %s", number)
                assert shown == ([("step %s",)] if visible else []), (number, method)
    finally:
        logging.disable(logging.NOTSET)
        follow.disabled = False


def test_pass_through_methods_follow_the_name():
    logger = chronicle.lazy_logger("pt")
    logger.setLevel(10)
    assert logging.getLogger("app.pt").level == 10
    assert logger.isEnabledFor(10) is True
    handler = logging.NullHandler()
    logger.addHandler(handler)
    assert handler in logging.getLogger("app.pt").handlers
    logger.removeHandler(handler)
    chronicle.setup_logging("other", console=False, file=None)
    assert logging.getLogger("other.pt").level == logging.NOTSET


def test_exception_logs_the_traceback():
    capture = Capture()
    chronicle.setup_logging("exc", console=False, file=None)
    logging.getLogger("exc").addHandler(capture)
    try:
        raise ValueError("boom")
    except ValueError:
        chronicle.lazy_logger("x").exception("failed")
    record = capture.records[0]
    assert record.levelno == logging.ERROR and record.exc_info[0] is ValueError


def test_setup_logging_defaults(tmp_path, monkeypatch, stdout):
    monkeypatch.chdir(tmp_path)
    root = chronicle.setup_logging("P")
    assert root is logging.getLogger("P") and chronicle._BASE_NAME == "P"
    assert root.level == logging.INFO and root.propagate is False
    stream, file = root.handlers
    assert type(stream) is logging.StreamHandler and stream.stream is sys.stdout
    assert isinstance(file, logging.FileHandler) and file.encoding == "utf-8"
    assert file.baseFilename == str(tmp_path / "debug.log") and stream.level == file.level == 0
    switching = stream.formatter
    assert isinstance(switching, chronicle.LevelSwitchingFormatter)
    assert isinstance(switching, logging.Formatter)
    assert sorted(switching._fmt_by_level) == [20, 30, 40, 50]
    log = chronicle.lazy_logger("cargohold")
    log.info("訊息")
    log.warning("注意")
    logging.getLogger("P.cargohold").log(25, "between")
    assert stdout.getvalue().splitlines() == [
        "P.cargohold: 訊息",
        "P.cargohold WARNING: 注意",
        "P.cargohold: between",
    ]
    for handler in root.handlers:
        handler.flush()
    lines = (tmp_path / "debug.log").read_text(encoding="utf-8").splitlines()
    assert re.fullmatch(
        r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[MainThread\] P.cargohold INFO \S+:\d+: 訊息", lines[0]
    )
    chronicle.setup_logging("P")
    assert len(root.handlers) == 2  # a second call replaces, never duplicates


def test_setup_logging_debug_layout(stdout):
    root = chronicle.setup_logging("D", debug=True, file=None)
    assert root.level == logging.DEBUG
    chronicle.lazy_logger("m").debug("details")
    assert re.fullmatch(
        r"\d\d:\d\d:\d\d \[MainThread\] D.m test_chronicle.py:\d+: details\n", stdout.getvalue()
    )


def test_records_name_the_calling_line():
    capture = Capture()
    chronicle.setup_logging("lines", console=False, file=None, level=logging.DEBUG)
    logging.getLogger("lines").addHandler(capture)
    logger = chronicle.lazy_logger("m")

    def inner():
        here = sys._getframe().f_lineno + 1
        logger.info("plain")
        logger.info("with %s", "args", extra={"k": 1})
        logger.info("outer", stacklevel=4)
        return here

    def outer():
        called_from = sys._getframe().f_lineno + 1
        line = inner()
        return line, called_from

    line, called_from = outer()
    assert [(r.filename, r.lineno, r.funcName) for r in capture.records] == [
        ("test_chronicle.py", line, "inner"),
        ("test_chronicle.py", line + 1, "inner"),
        ("test_chronicle.py", called_from, "outer"),
    ]


def test_setup_logging_options(tmp_path, stdout):
    root = chronicle.setup_logging("O", level=30, debug=True, console=False, file="")
    assert root.level == 30 and root.handlers == []
    root = chronicle.setup_logging("O", console=False, file=None, propagate=[1])
    assert root.handlers == [] and root.propagate is True
    root = chronicle.setup_logging("O", file=None, fmt_info="%(levelname)s|%(message)s", level=10)
    root.warning("w")
    root.debug("d")  # debug false: DEBUG has no entry and falls back to the INFO layout
    assert stdout.getvalue().splitlines() == ["WARNING|w", "DEBUG|d"]
    root = chronicle.setup_logging("O", file=None, fmt_info="%(message)s!")
    root.error("no name field")
    assert stdout.getvalue().splitlines()[-1] == "no name field!"


def test_setup_logging_argument_errors_change_nothing():
    for kwargs in [{"level": "10"}, {"file": 1}, {"fmt_info": None}, {"datefmt": b"x"}]:
        with pytest.raises(TypeError, match="Argument '"):
            chronicle.setup_logging("never", **kwargs)
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        chronicle.setup_logging("never", True)
    assert chronicle._BASE_NAME == "app"


def test_setup_logging_file_errors_propagate_after_console(tmp_path, stdout):
    with pytest.raises(FileNotFoundError):
        chronicle.setup_logging("F", file=str(tmp_path / "missing" / "x.log"))
    assert chronicle._BASE_NAME == "F"
    assert [type(h) for h in logging.getLogger("F").handlers] == [logging.StreamHandler]
    with pytest.raises(ValueError):
        chronicle.setup_logging("F", fmt_info="no fields")


def test_empty_project_name_configures_the_root_logger(stdout):
    root = chronicle.setup_logging("", file=None, console=False)
    assert root is logging.getLogger()
    assert chronicle.lazy_logger("c").name == ".c"


def test_formatter_switches_by_exact_level():
    first, default = logging.Formatter("1:%(message)s"), logging.Formatter("d:%(message)s")
    table = {logging.INFO: first}
    formatter = chronicle.LevelSwitchingFormatter(table, default)
    assert formatter._fmt_by_level is table and formatter._default is default
    record = logging.LogRecord("n", logging.INFO, __file__, 1, "m", None, None)
    assert formatter.format(record) == "1:m"
    table[logging.INFO] = default  # the dict is kept, not copied
    assert formatter.format(record) == "d:m"
    record.levelno = 25
    assert formatter.format(record) == "d:m"
    with pytest.raises(
        TypeError, match=r"Argument 'fmt_by_level' has incorrect type \(expected dict, got NoneType\)"
    ):
        chronicle.LevelSwitchingFormatter(None, default)

    class NotText:
        def format(self, record):
            return 5

    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        chronicle.LevelSwitchingFormatter({}, NotText()).format(record)
    assert chronicle.LevelSwitchingFormatter.__doc__ == (
        "\n    依 log 等級切換不同格式：\n    - 若對應等級有自訂 formatter -> 用它\n"
        "    - 否則用預設 formatter\n    "
    )


def test_formatter_subclass_and_super():
    class Upper(chronicle.LevelSwitchingFormatter):
        def format(self, record):
            return super().format(record).upper()

    formatter = Upper({}, logging.Formatter("%(message)s"))
    assert formatter.format(logging.LogRecord("n", 20, "f", 1, "abc", None, None)) == "ABC"
    assert formatter.datefmt is None and formatter._fmt == "%(message)s"[:0] + "%(message)s"
