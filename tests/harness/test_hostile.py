"""A hostile program around the modules: every module global and interpreter hook they rely on
is replaced by something that raises, answers with wrong types, changes the arguments of the
running call or calls back into the modules; list arguments hold texts whose comparisons,
hashes and conversions do the same. Whatever happens, a call returns or raises an ordinary
exception: no crash (the sanitizer run executes this file too), no SystemError. The same holds
for a program that ends while its threads are inside calls, or loads the modules in a
sub-interpreter."""

import gc
import itertools
import logging
import os
import signal
import textwrap
import types

import pytest
from helpers import Recorder, run_python

from quillkit import cargohold, chronicle

# No small natural number: open() would take it for a descriptor of the test process.
WRONG_VALUES = [None, -1, 10**30, 2.5, b"bytes", "text", [], {}, ("a", "b", "c"), object(), True]


class Arena:
    """The containers of the running call, which hostile code empties, and the next wrong value."""

    victims = []
    wrong = itertools.cycle(WRONG_VALUES)
    reentering = False

    @classmethod
    def strike(cls, *more):
        """Empties the call's containers, and those given or bound to what is given."""
        reached = list(more) + [getattr(value, "__self__", None) for value in more]
        for container in list(cls.victims) + [m for m in reached if isinstance(m, (list, dict))]:
            container.clear()

    @classmethod
    def call_back(cls, *values):
        """Calls what is given to be called back (a handler), as an error in the callee would."""
        for value in values:
            if callable(value) and not isinstance(value, (type, Hostile)):
                try:
                    value(os.unlink, "no/such/entry", FileNotFoundError(2, "hostile"))
                except Exception:
                    pass

    @classmethod
    def reenter(cls):
        if cls.reentering:
            return
        cls.reentering = True
        try:
            gc.collect()
            for call in (
                lambda: cargohold.get_path_type(".", Recorder()),
                lambda: cargohold.find_files_with_extensions(".", ["py"], logger=Recorder()),
                lambda: chronicle.lazy_logger("again").debug("m"),
            ):
                try:
                    call()
                except Exception:
                    pass
        finally:
            cls.reentering = False


class Hostile:
    """Stands in for `real`; what each attribute read and call does depends on `mode`."""

    def __init__(self, real, mode):
        self._real, self._mode = real, mode

    def __getattr__(self, name):
        if self._mode == "raise":
            raise RuntimeError(f"hostile attribute {name}")
        value = getattr(self._real, name)
        return Hostile(value, self._mode) if callable(value) or isinstance(value, types.ModuleType) else value

    def __call__(self, *args, **kwargs):
        if self._mode == "raise":
            raise RuntimeError("hostile call")
        if self._mode == "wrong":
            return next(Arena.wrong)
        if self._mode in ("mutate", "meddle"):
            Arena.strike(*args, *kwargs.values())
        elif self._mode == "reenter":
            Arena.reenter()
        Arena.call_back(*args, *kwargs.values())
        # "meddle" only meddles: the work the caller asked for is never done.
        return None if self._mode == "meddle" else self._real(*args, **kwargs)

    def __bool__(self):
        if self._mode == "raise":
            raise RuntimeError("hostile truth")
        return bool(self._real)

    def __iter__(self):
        return iter(self._real)


class Evil(str):
    """A text in a list argument: comparing, hashing or converting it empties the containers."""

    def __eq__(self, other):
        Arena.strike()
        return str.__eq__(self, other)

    def __hash__(self):
        Arena.strike()
        return str.__hash__(self)

    def __lt__(self, other):
        Arena.strike()
        return str.__lt__(self, other)

    def __str__(self):
        Arena.strike()
        return str.__str__(self)

    def __fspath__(self):
        Arena.strike()
        return str(self)

    def lower(self):
        Arena.strike()
        return Evil(str.lower(self))

    def startswith(self, *args):
        Arena.strike()
        return str.startswith(self, *args)


class FakeClick:
    """The terminal: answers every prompt at once."""

    Choice = staticmethod(lambda choices, **options: list(choices))

    def echo(self, *args, **kwargs):
        pass

    secho = echo

    def prompt(self, text, **kwargs):
        return "all" if "all" in text else "1"

    def edit(self, text=None, **kwargs):
        return f"{text}\ntyped"


class FakeRequests:
    """The code-hosting service: every address answers."""

    class Response:
        status_code = 200
        text = "downloaded"

        def raise_for_status(self):
            pass

    def get(self, url, **kwargs):
        return self.Response()


def make_tree(root):
    (root / "sub" / "deep").mkdir(parents=True)
    for name in ["a.txt", "b_20240101.md", "sub/c.txt", "sub/deep/d.txt", "src.txt", "rm.txt"]:
        (root / name).write_text(name)
    (root / "c.json").write_text('{"a": 1, // note\n "b": 2}')
    (root / "c.yaml").write_text("k: v\n")
    (root / "setup.py").write_text("setup(name='n', version='1', entry_points=['x-y = a.cli:main'])")
    (root / "tree" / "ro").mkdir(parents=True)
    (root / "tree" / "ro" / "f").write_text("f")


def arguments(text):
    """`items(*values)`: a list argument of the next call, whose texts `text` makes; hostile code
    empties these lists."""

    def items(*values):
        made = [text(value) for value in values]
        Arena.victims.append(made)
        return made

    return items


def calls(root, text):
    """One call of every function, with fresh arguments; `text` makes the texts in lists."""
    L = arguments(text)

    def use_lazy_logger():
        log = chronicle.lazy_logger("hostile")
        return [
            log.debug("m %s", 1),
            log.info("m %s %s %s", 1, 2, 3),
            log.warning("w", extra={}),
            log.exception("e"),
            log.name,
            log.isEnabledFor(10),
            log._l,
        ]

    def registry():
        entry = {
            "url": text("https://github.com/o/r/blob/main/x.md"),
            "display": text("X"),
            "filename": text("x.md"),
        }
        Arena.victims.append(entry)
        return L(entry)

    c = cargohold
    return {
        "download_github_content": lambda: c.download_github_content("https://github.com/o/r/blob/main/a.md"),
        "load_local_file_content": lambda: c.load_local_file_content(root / "a.txt", logger=Recorder()),
        "save_local_file_content": lambda: c.save_local_file_content(root / "out.txt", "new"),
        "load_or_download_content": lambda: c.load_or_download_content(root / "none.md", "https://x/y"),
        "get_user_input_via_editor": lambda: c.get_user_input_via_editor("# marker"),
        "get_package_name_version": lambda: c.get_package_name_version(),
        "get_package_version": lambda: c.get_package_version("quillkit"),
        "interactive_select_files": lambda: c.interactive_select_files(
            L(str(root / "a.txt"), "https://h/b"), L("a", "b"), exclude_names=L("b")
        ),
        "scan_and_select_files": lambda: c.scan_and_select_files(
            root, L(".txt"), exclude_names=L("c"), exclude_paths=L(str(root / "tree"))
        ),
        "download_and_save_from_registry": lambda: c.download_and_save_from_registry(
            registry(), str(root / "reg"), label_prefix="L:"
        ),
        "download_and_save_from_registry (all)": lambda: c.download_and_save_from_registry(
            registry(), str(root / "reg"), auto_download=True
        ),
        "get_unique_path": lambda: c.get_unique_path(root, "a", "txt"),
        "setup_output_dir": lambda: c.setup_output_dir(str(root / "o"), logger=Recorder()),
        "setup_output_file": lambda: c.setup_output_file(str(root / "o"), "f.md", logger=Recorder()),
        "find_files_with_extensions": lambda: c.find_files_with_extensions(
            root, L(".txt", "md"), recursive=True, exclude_paths=L(str(root / "sub" / "de")), prefix=None
        ),
        "find_files_with_extensions (dates)": lambda: c.find_files_with_extensions(
            root, L("md", ".TXT"), True, True, L(str(root / "sub")), "b"
        ),
        "find_files_with_extensions (file)": lambda: c.find_files_with_extensions(
            root / "a.txt", text("txt"), exclude_paths=text(str(root / "x"))
        ),
        "save_yaml_template": lambda: c.save_yaml_template("k: v\n", str(root / "t.yaml")),
        "load_yaml_config": lambda: c.load_yaml_config(str(root / "c.yaml")),
        "load_yaml_string": lambda: c.load_yaml_string("k: [v]"),
        "get_path_type": lambda: c.get_path_type(root / "a.txt"),
        "get_directory_list": lambda: c.get_directory_list(
            root, (text("."), text("_")), (text("tree"),), (text(".md"), "b")
        ),
        "replace_file_extension": lambda: c.replace_file_extension("a/b.txt", ".txt", "md"),
        "extract_filename_info": lambda: c.extract_filename_info("x/a_b_c.txt", (2, 0)),
        "match_filename": lambda: c.match_filename("dir/A.txt", "a", ".TXT"),
        "force_move_file": lambda: c.force_move_file(
            root / "src.txt", root / "moved" / "m.txt", backup=root / "bk" / "s.txt"
        ),
        "remove_directory": lambda: c.remove_directory(root / "tree"),
        "remove_file": lambda: c.remove_file(root / "rm.txt"),
        "load_json_config": lambda: c.load_json_config(str(root / "c.json"), L("a", "b")),
        "extract_and_save_code": lambda: c.extract_and_save_code("```python\nx = 1\n```", root / "code.py"),
        "select_option": lambda: c.select_option("pick", L("a", "b"), "1", "title", True),
        "get_cli_name": lambda: c.get_cli_name(root / "setup.py"),
        "setup_logging": lambda: chronicle.setup_logging("hostile", level=10, file=None),
        "base_name": lambda: chronicle.base_name(),
        "get_logger": lambda: chronicle.get_logger("x"),
        "lazy logger": use_lazy_logger,
        "formatter": lambda: chronicle.LevelSwitchingFormatter(
            {20: logging.Formatter()}, logging.Formatter()
        ).format(logging.makeLogRecord({"levelno": 20, "msg": "m"})),
    }


def run_all(root, text=str):
    for name, call in calls(root, text).items():
        if not os.access(str(root) + "/a.txt", os.F_OK):  # not through what the tests replace
            make_tree(root)
        try:
            call()
        except SystemError as error:
            raise AssertionError(f"{name}: {error!r}") from error
        except Exception:
            pass
        finally:
            Arena.victims = []


@pytest.fixture
def arena(tmp_path, monkeypatch, clean_logging):
    root = tmp_path / "root"
    root.mkdir()
    make_tree(root)
    (tmp_path / "bin").mkdir()
    monkeypatch.chdir(root)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))  # no gh, no editor
    monkeypatch.setenv("GITHUB_TOKEN", "token")
    monkeypatch.setattr(cargohold, "click", FakeClick())
    monkeypatch.setattr(cargohold, "requests", FakeRequests())
    monkeypatch.setattr(cargohold, "log", Recorder())
    logging.getLogger("app").addHandler(logging.NullHandler())
    logging.getLogger("app").propagate = False
    yield root
    Arena.victims = []


def replaceable(module):
    return [name for name in vars(module) if not name.startswith("__")]


TARGETS = [(module, name) for module in (cargohold, chronicle) for name in replaceable(module)]
MODES = ["raise", "wrong", "mutate", "meddle", "reenter"]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("module, name", TARGETS, ids=[f"{m.__name__[9:]}.{n}" for m, n in TARGETS])
def test_replaced_globals(arena, monkeypatch, module, name, mode):
    monkeypatch.setattr(module, name, Hostile(getattr(module, name), mode))
    run_all(arena)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "owner, name",
    [
        ("builtins", "open"),
        ("logging", "getLogger"),
        ("os", "lstat"),
        ("os", "chmod"),
        ("os", "fspath"),
        ("os", "mkdir"),
        ("io", "open"),
    ],
)
def test_replaced_library_functions(arena, owner, name, mode):
    module = __import__(owner)
    real = getattr(module, name)
    setattr(module, name, Hostile(real, mode))
    try:
        run_all(arena)
    finally:
        setattr(module, name, real)


def test_texts_that_empty_the_lists_holding_them(arena):
    run_all(arena, Evil)


@pytest.mark.parametrize("hook", ["collector", "signal"])
def test_python_code_at_any_moment(arena, hook):
    """The collector's callbacks and a signal handler run between almost any two steps."""

    def strike(*args):
        Arena.strike()

    threshold = gc.get_threshold()
    if hook == "collector":
        gc.callbacks.append(strike)
        gc.set_threshold(1, 1, 1)
    else:
        previous = signal.signal(signal.SIGALRM, strike)
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
    try:
        run_all(arena, Evil)
    finally:
        if hook == "collector":
            gc.callbacks.remove(strike)
            gc.set_threshold(*threshold)
        else:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


def test_a_cache_the_collector_shows(clean_logging):
    """The cache of joined logger names is reachable through gc.get_referents: what Python code
    puts there is checked, never trusted (a tuple's items are read where these slots lie)."""
    expected = chronicle.get_logger("cached").name
    cache = next(held for held in gc.get_referents(chronicle) if isinstance(held, dict) and "cached" in held)

    class TupleLike:
        __slots__ = ("size", "first", "second")

    impostor = TupleLike()
    impostor.first = chronicle._BASE_NAME  # the second slot stays empty
    entry = cache["cached"]
    try:
        for wrong in [impostor, (chronicle._BASE_NAME,), (chronicle._BASE_NAME, 42), *WRONG_VALUES]:
            cache["cached"] = wrong
            assert chronicle.get_logger("cached").name == expected
        # An entry of the right size with any item of another type: the logger it gives may be
        # wrong, the call never crashes.
        logger = chronicle.lazy_logger("cached")
        for slot, wrong in itertools.product(range(len(entry)), WRONG_VALUES + [dict, {}, True]):
            cache["cached"] = entry[:slot] + (wrong,) + entry[slot + 1 :]
            for use in (lambda: chronicle.get_logger("cached"), lambda: logger.debug("m %s", 1)):
                try:
                    use()
                except SystemError:
                    raise
                except Exception:
                    pass
    finally:
        cache.clear()


def fresh_interpreter(code, **options):
    """Runs `code` in a new interpreter. Address-space limits and the sanitizers' shadow memory
    do not mix, so under the sanitizer run such a child uses the plain build."""
    env = {}
    if "RLIMIT_AS" in code and "libasan" in os.environ.get("LD_PRELOAD", ""):
        env = {"LD_PRELOAD": "", "PYTHONPATH": "", "PYTHONMALLOC": ""}
    return run_python(textwrap.dedent(code), env=env, **options).stdout.split()


def test_memory_running_out_inside_native_code():
    """Allocations fail at different steps of a save to a 100,000,000-character path: each
    failure is a Python exception."""
    outcomes = fresh_interpreter("""
        import re, resource
        from quillkit import cargohold
        path = "a" * 100_000_000
        used = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
        for factor in [2, 2.5, 3, 3.5]:
            resource.setrlimit(resource.RLIMIT_AS, (used + int(factor * len(path)), resource.RLIM_INFINITY))
            try:
                cargohold.save_yaml_template("k: v\\n", path, logger=0)
            except (MemoryError, OSError) as error:
                print(type(error).__name__)
    """)
    assert len(outcomes) == 4 and set(outcomes) <= {"MemoryError", "OSError"}


def test_a_replaced_file_system_encoding_query():
    """Discovery learns how names are encoded from the interpreter's converter, not from a
    function a program can replace."""
    assert fresh_interpreter("""
        import os, sys, tempfile
        sys.getfilesystemencoding = lambda: 5
        sys.getfilesystemencodeerrors = lambda: None
        from quillkit import cargohold
        folder = tempfile.mkdtemp()
        open(os.path.join(folder, "é.py"), "w").close()
        print(cargohold.find_files_with_extensions(folder, ["py"], logger=0)[1] == ["é"])
    """) == ["True"]


# A program ending while daemon threads are inside calls. CPython 3.12 and 3.13 end such a thread
# with pthread_exit when it takes the GIL back, which unwinds the native frames on the way; 3.14
# stops it where it is. Either way the program exits as the same work in plain Python does, and
# a save it was making leaves the old file or the new one, whole. Each entry is one step of a
# thread's endless loop: `d` is a directory with a tree, `target` the thread's own file, which
# holds `contents[0]`; `step` counts the loop, apart in each thread.
AT_EXIT = {
    "get_path_type": "c.get_path_type(d)",
    "find_files_with_extensions": "c.find_files_with_extensions(d, ['txt'], recursive=True)",
    # Helpers join while every read seems to wait, as on a cold disk.
    "find_files_with_extensions, helpers joining": (
        "os.environ['QUILLKIT_DISCOVERY_WAITING'] = '1'; "
        "c.find_files_with_extensions(d, ['txt'], recursive=True)"
    ),
    "get_directory_list": "c.get_directory_list(d, exclude_prefixes=())",
    "get_unique_path": "c.get_unique_path(folder, target.stem, 'txt')",
    "load_local_file_content": "c.load_local_file_content(target)",
    "load_json_config": "c.load_json_config(str(target))",  # not JSON: logs from its handler
    "save_local_file_content": "c.save_local_file_content(target, contents[step % 2])",
    "save_yaml_template": "c.save_yaml_template(contents[step % 2], str(target))",
    "save in place": "c.save_local_file_content(target, contents[step % 2])",
    "failing save": "c.save_local_file_content(target / 'below', 'x')",  # logs from its handler
    "remove_file": "open(f'{d}/{step}', 'w').close(); c.remove_file(f'{d}/{step}')",
    "remove_directory": "os.makedirs(f'{d}/t{step}/x'); c.remove_directory(f'{d}/t{step}')",
    "lazy logger": "c.log.warning('%s', step)",
}


@pytest.mark.parametrize("step", AT_EXIT.values(), ids=AT_EXIT.keys())
def test_threads_inside_calls_when_the_program_ends(tmp_path, step):
    d = tmp_path / "d"
    for index in range(40):
        (d / f"s{index}" / "deep").mkdir(parents=True)
        for name in ["a.txt", "b.md", "deep/c.txt"]:
            (d / f"s{index}" / name).write_text(name)
    # Sizes apart, so that a file cut or grown part-way matches neither.
    contents = ["old " * 400_000 + "\n", "new " * 300_000 + "\n"]
    for index, content in enumerate(contents):
        (tmp_path / f"content{index}").write_text(content)
    targets = [tmp_path / f"target{thread}.txt" for thread in range(4)]
    in_place = step == AT_EXIT["save in place"]
    code = textwrap.dedent(f"""
        import logging, os, pathlib, threading, time
        from quillkit import cargohold as c
        logging.basicConfig(stream=open(os.devnull, "w"), level=logging.DEBUG)  # real handlers
        folder = pathlib.Path({str(tmp_path)!r})
        d = str(folder / "d")
        contents = [(folder / f"content{{index}}").read_text() for index in (0, 1)]
        def loop(thread):
            target = folder / f"target{{thread}}.txt"
            for step in range(thread, 10**9, 4):
                {step}
        for thread in range(4):
            threading.Thread(target=loop, args=(thread,), daemon=True).start()
        time.sleep(0.15)
    """)
    try:
        for _ in range(2):
            for target in targets:
                target.write_text(contents[0])
            if in_place:
                tmp_path.chmod(0o555)  # no temporary file beside it: each is rewritten where it is
            run_python(code, unprivileged=in_place, timeout=30)
            tmp_path.chmod(0o755)
            assert all(target.read_text() in contents for target in targets)
    finally:
        tmp_path.chmod(0o755)


@pytest.mark.parametrize("first", ["main", "sub-interpreter"])
def test_legacy_sub_interpreters(first):
    """CPython refuses the modules in isolated sub-interpreters itself, but not in legacy ones
    (what Py_NewInterpreter makes, as embedders do): they refuse themselves there, with the
    interpreter's own text, and leave the main interpreter's logging as it was, whichever
    interpreter tried first. Each time the main one logs, its chronicle module is a new one."""
    code = textwrap.dedent(f"""
        import importlib, io, logging, sys
        try:
            import _interpreters
            def run_legacy(code):
                interpreter = _interpreters.create("legacy")
                assert _interpreters.exec(interpreter, code) is None
                _interpreters.destroy(interpreter)
        except ImportError:  # 3.12
            import _xxsubinterpreters as _interpreters
            def run_legacy(code):
                interpreter = _interpreters.create(isolated=False)
                _interpreters.run_string(interpreter, code)
                _interpreters.destroy(interpreter)
        # What a program there does: log through both modules.
        USES = '''
        for name, use in [("chronicle", "lazy_logger('sub').warning('sub')"),
                          ("cargohold", "get_directory_list('/no/such/folder')"), ("stampkit", "0")]:
            try:
                module = getattr(__import__("quillkit." + name), name)
            except ImportError as error:
                print(error, flush=True)
            else:
                eval(use, vars(module))
        '''
        def log_in_main():
            from quillkit import cargohold
            chronicle = importlib.import_module("quillkit.chronicle")
            chronicle.lazy_logger("x").warning("main")
            cargohold.get_directory_list("/no/such/folder")  # logs through the first module's logger
            del sys.modules["quillkit.chronicle"]  # the next import makes the module again
        logging.basicConfig(stream=io.StringIO(), format="%(name)s %(message)s")
        if {first == "main"}:
            log_in_main()
        for _ in range(2):
            run_legacy(USES)
            log_in_main()
        print(logging.getLogger().handlers[0].stream.getvalue(), end="")
    """)
    lines = run_python(code).stdout.splitlines()
    refusals = [
        f"module quillkit.{name} does not support loading in subinterpreters"
        for name in ("chronicle", "cargohold", "stampkit")
    ]
    logged = ["app.x main", "app.cargohold ⚠️ 指定的目錄不存在或非資料夾：/no/such/folder"]
    assert lines == refusals * 2 + logged * (3 if first == "main" else 2)
