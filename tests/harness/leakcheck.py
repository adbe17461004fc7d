"""The leak check: a call repeated thousands of times must not leave memory blocks behind.

Each case is a callable that performs one call (on its success or its failure path) and
returns normally; `assert_no_leak` runs it in a loop and compares the interpreter's count of
allocated memory blocks before and after a window of calls, beyond a small fixed bound for caches.
"""

import gc
import sys

BOUND = 150  # blocks that caches and free lists may keep
ROUNDS = 2 * BOUND  # a leak of one block per call grows a window by twice the bound
WARMUP = 100

# With the system allocator (the sanitizer run sets PYTHONMALLOC=malloc) the interpreter does
# not count blocks; the cases then run a few times each, so the sanitizers still see every path.
MEASURABLE = sys.getallocatedblocks() > 0


class Silent:
    """A logger that accepts every message and keeps nothing."""

    def debug(self, message, *args, **kwargs):
        pass

    info = warning = error = exception = critical = debug


def expect(error, function, *args, **kwargs):
    """A case that must raise `error`."""

    def case():
        try:
            function(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{function.__name__} did not raise {error.__name__}")

    return case


def calling(function, *args, **kwargs):
    """A case that must return normally."""

    def case():
        function(*args, **kwargs)

    return case


def with_globals(module, replacements, case):
    """A case run while some globals of `module` are replaced."""

    def replaced():
        saved = {name: getattr(module, name) for name in replacements}
        vars(module).update(replacements)
        try:
            case()
        finally:
            vars(module).update(saved)

    return replaced


def _grown(case, rounds):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        case()
    gc.collect()
    return sys.getallocatedblocks() - before


def assert_no_leak(case, rounds=ROUNDS):
    assert rounds >= ROUNDS, f"{rounds} calls cannot show a leak of one block per call"
    if not MEASURABLE:
        for _ in range(20):
            case()
        return
    for _ in range(WARMUP):
        case()
    # A leak grows every window by about the same amount; a cache that fills up late grows one,
    # so a first window that grew is measured again.
    grown = _grown(case, rounds)
    if grown >= BOUND:
        grown = min(grown, _grown(case, rounds))
    assert grown < BOUND, f"{grown} blocks more after {rounds} calls"
