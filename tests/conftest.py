"""Shared fixtures: a recording logger, a clean logging state, and the library that makes a child
interpreter's system calls fail."""

import logging
import os
from pathlib import Path

import pytest
from helpers import FaultLibrary, Recorder

import quillkit
from quillkit import cargohold, chronicle

PACKAGE_DIR = Path(quillkit.__file__).resolve().parent


def pytest_configure(config):
    # The tests must exercise a build, not the bare source tree.
    if not list(PACKAGE_DIR.glob("cargohold*.so")):
        pytest.exit(f"{PACKAGE_DIR} holds no built modules; run the tests with tools/dev.sh test")
    expected = os.environ.get("QUILLKIT_EXPECT_BUILD")
    if expected and PACKAGE_DIR != Path(expected).resolve():
        pytest.exit(f"testing {PACKAGE_DIR}, expected the build in {expected}")


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory):
    """The failure-injecting library, compiled once per session."""
    return FaultLibrary(tmp_path_factory.mktemp("fault-library"))


@pytest.fixture
def recorder():
    return Recorder()


@pytest.fixture
def module_log(monkeypatch):
    """The module logger of quillkit.cargohold, replaced by a recording one."""
    recorder = Recorder()
    monkeypatch.setattr(cargohold, "log", recorder)
    return recorder


@pytest.fixture
def clean_logging():
    """Restores the base name and the handlers, levels and propagation of touched loggers."""
    before_base = chronicle._BASE_NAME
    known = dict(logging.Logger.manager.loggerDict)
    saved = {}
    for logger in [logging.getLogger()] + [
        value for value in known.values() if isinstance(value, logging.Logger)
    ]:
        saved[logger] = (list(logger.handlers), logger.level, logger.propagate)
    yield
    chronicle._BASE_NAME = before_base
    for value in list(logging.Logger.manager.loggerDict.values()):
        if isinstance(value, logging.Logger) and value not in saved:
            for handler in value.handlers:
                handler.close()
            value.handlers.clear()
            value.setLevel(logging.NOTSET)
            value.propagate = True
    for logger, (handlers, level, propagate) in saved.items():
        for handler in logger.handlers:
            if handler not in handlers:
                handler.close()
        logger.handlers[:] = handlers
        logger.setLevel(level)
        logger.propagate = propagate
