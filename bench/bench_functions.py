"""Every function of quillkit.cargohold, and the lazy logger of quillkit.chronicle, against the same
logic written in plain Python (plain.py), in one process, alternating rounds; prints one table.

The terminal and the network are stand-ins that answer at once (a `click` that echoes nothing and
answers every prompt, a `requests.get` that returns a text), set alike in cargohold and in
plain.py, and both sides log to the same silent logger. Above 1 the ratio says quillkit is faster.
`--quick` takes fewer rounds; other arguments pick the rows whose title contains one of them."""

import logging
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import plain
from common import measure

from quillkit import cargohold, chronicle

ROUND_SECONDS = 0.004  # calls per round: as many as fit in this


class Silent:
    """A logger that keeps nothing."""

    def _drop(self, message, *args, **kwargs):
        pass

    debug = info = warning = error = exception = critical = _drop


class Terminal:
    """click: echoes nothing, answers every prompt with the first choice (or "1,2"), and the
    editor returns its text with a line typed after it."""

    @staticmethod
    def Choice(choices, **options):
        return list(choices)

    def echo(self, *args, **kwargs):
        pass

    secho = echo

    def prompt(self, text, type=None, **options):
        return type[0] if type else "1,2"

    def edit(self, text=None, **options):
        return f"{text}\n寫下的內容\n"


class Service:
    """requests: every address answers 200 with a short text."""

    class Response:
        status_code = 200
        text = "downloaded text\n"

        def raise_for_status(self):
            pass

    def get(self, url, **options):
        return self.Response()


SETUP_SCRIPT = """from setuptools import find_packages, setup

setup(
    name="quill-tools",
    version="1.4.2",
    packages=find_packages(),
    install_requires=["click", "requests"],
    entry_points={"console_scripts": ["quill-cli = quill_tools.cli:main"]},
)
"""


def make_workspace(root):
    """The files the calls read: a 600-byte text, a setup script, settings files, a small tree."""
    (root / "a.txt").write_text("第一行：說明文字。\n" * 24 + "x" * (600 - 24 * 28), encoding="utf-8")
    (root / "outdir").mkdir()
    (root / "setup.py").write_text(SETUP_SCRIPT, encoding="utf-8")
    (root / "config.json").write_text('{\n  // 主機\n  "host": "localhost",\n  "port": 8080 // 連接埠\n}\n')
    (root / "config.yaml").write_text("name: demo\nitems: [1, 2, 3]\nnested: {a: 1, b: [x, y]}\n")
    for index in range(40):
        folder = root / "tree" / f"d{index % 4}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"f{index}_{20240101 + index}.py").write_text("x")
        (folder / f"g{index}.txt").write_text("x")
    for name in ["alpha", "beta", "_private", ".hidden", "build", "gamma"]:
        (root / "directory_list" / name).mkdir(parents=True)
    (root / "taken").mkdir()
    for name in ["report.csv", "report_1.csv", "report_2.csv"]:
        (root / "taken" / name).touch()
    (root / "moving.txt").write_text("move me")


def remake(path, tree=False):
    """Puts back what a removal took, so each call has something to remove."""
    if tree:
        (path / "sub").mkdir(parents=True)
        for name in ["a", "b", "sub/c"]:
            (path / name).touch()
    else:
        path.touch()


def cases(root):
    """(title, plain call, quillkit call, same result expected) for every function."""
    c, p = cargohold, plain
    registry = [
        {"display": "Guide", "url": "https://github.com/o/r/blob/main/docs/guide.md"},
        {"display": "Notes", "url": "https://github.com/o/r/blob/main/notes.md", "filename": "sub/notes.md"},
    ]
    blob = "https://github.com/o/r/blob/main/docs/guide.md"
    answer = "說明如下：\n```python\nprint('hello')\n```\n其餘文字"
    tree, directory_list = str(root / "tree"), str(root / "directory_list")
    files = [str(root / "tree" / "d0" / "f0_20240101.py"), "a.py", "https://h/c.py"]
    names = ["f0_20240101", "a", "c"]
    plain_save = p.save_local_file_content
    both = lambda name, *args, **kwargs: (  # noqa: E731
        lambda: getattr(p, name)(*args, **kwargs),
        lambda: getattr(c, name)(*args, **kwargs),
    )

    def atomically(name, *args, **kwargs):
        """The plain rendering with its saves keeping quillkit's promise, against quillkit."""

        def run():
            p.save_local_file_content = p.save_local_file_content_atomically
            try:
                return getattr(p, name)(*args, **kwargs)
            finally:
                p.save_local_file_content = plain_save

        return run, lambda: getattr(c, name)(*args, **kwargs)

    def moved(function):
        return lambda: (
            function(root / "moving.txt", root / "moved" / "m.txt"),
            function(root / "moved" / "m.txt", root / "moving.txt"),
        )

    def removed_file(function):
        return lambda: (remake(root / "gone.txt"), function(root / "gone.txt"))

    def removed_tree(function):
        return lambda: (remake(root / "gone", tree=True), function(root / "gone"))

    return [
        ("download_github_content(blob address)", *both("download_github_content", blob), True),
        ("load_local_file_content (600-byte file)", *both("load_local_file_content", "a.txt"), True),
        (
            "save_local_file_content (600 bytes)",
            *both("save_local_file_content", "saved/out.md", "內容\n" * 150),
            True,
        ),
        (
            "save_local_file_content (vs atomic Python)",
            lambda: p.save_local_file_content_atomically("saved/out.md", "內容\n" * 150),
            lambda: c.save_local_file_content("saved/out.md", "內容\n" * 150),
            True,
        ),
        ("load_or_download_content (local file)", *both("load_or_download_content", "a.txt", blob), True),
        ("get_user_input_via_editor", *both("get_user_input_via_editor", "# 請輸入"), True),
        ("get_package_name_version() (setup.py)", *both("get_package_name_version"), True),
        ("get_package_version('click')", *both("get_package_version", "click"), True),
        ("interactive_select_files (3 files)", *both("interactive_select_files", files, names), True),
        ("scan_and_select_files (80 files)", *both("scan_and_select_files", tree, [".py"]), True),
        (
            "download_and_save_from_registry (auto, 2)",
            *both("download_and_save_from_registry", registry, "reg", auto_download=True),
            True,
        ),
        (
            "download_and_save_from_registry (vs atomic)",
            *atomically("download_and_save_from_registry", registry, "reg", auto_download=True),
            True,
        ),
        ("get_unique_path (3 names taken)", *both("get_unique_path", "taken", "report", "csv"), True),
        ("setup_output_dir('outdir')", *both("setup_output_dir", "outdir"), True),
        ("setup_output_file('outdir', 'f.md')", *both("setup_output_file", "outdir", "f.md"), True),
        (
            "find_files_with_extensions (80 files)",
            lambda: p.find_files_with_extensions(tree, [".py", "txt"], True, logger=Silent()),
            lambda: c.find_files_with_extensions(tree, [".py", "txt"], True, logger=Silent()),
            True,
        ),
        ("save_yaml_template", *both("save_yaml_template", "name: demo\n", "template.yaml"), True),
        (
            "save_yaml_template (vs atomic Python)",
            lambda: p.save_yaml_template_atomically("name: demo\n", "template.yaml"),
            lambda: c.save_yaml_template("name: demo\n", "template.yaml"),
            True,
        ),
        ("load_yaml_config", *both("load_yaml_config", "config.yaml"), True),
        ("get_path_type('a.txt')", *both("get_path_type", "a.txt"), True),
        ("get_path_type('.')", *both("get_path_type", "."), True),
        ("get_path_type('missing')", *both("get_path_type", "missing"), True),
        (
            "get_directory_list (6 folders)",
            lambda: p.get_directory_list(directory_list, log=Silent()),
            lambda: c.get_directory_list(directory_list),
            True,
        ),
        ("load_yaml_string", *both("load_yaml_string", "name: demo\nitems: [1, 2]\n"), True),
        (
            "replace_file_extension('a/b.txt', ...)",
            *both("replace_file_extension", "a/b.txt", ".txt", "md"),
            True,
        ),
        (
            "extract_filename_info('dir/a_b_c.csv')",
            *both("extract_filename_info", "dir/a_b_c.csv", (2, 0)),
            True,
        ),
        (
            "match_filename('data/test_file.CSV', ...)",
            *both("match_filename", "data/test_file.CSV", "test", ".csv"),
            True,
        ),
        ("force_move_file (there and back)", moved(p.force_move_file), moved(c.force_move_file), False),
        (
            "remove_directory (4 entries, remade)",
            removed_tree(p.remove_directory),
            removed_tree(c.remove_directory),
            False,
        ),
        ("remove_directory (missing)", *both("remove_directory", "missing"), True),
        ("remove_file (remade)", removed_file(p.remove_file), removed_file(c.remove_file), False),
        ("remove_file (missing)", *both("remove_file", "missing"), True),
        (
            "load_json_config (required keys)",
            *both("load_json_config", "config.json", ["host", "port"]),
            True,
        ),
        ("extract_and_save_code", *both("extract_and_save_code", answer, "code/out.py"), True),
        (
            "extract_and_save_code (vs atomic Python)",
            *atomically("extract_and_save_code", answer, "code/out.py"),
            True,
        ),
        ("select_option", *both("select_option", "選擇", ["甲", "乙", "丙"], title="選單"), True),
        ("get_cli_name()", *both("get_cli_name"), True),
    ]


def logger_cases():
    chronicle._BASE_NAME = plain._BASE_NAME = "app"
    logging.getLogger("app.bench_dropped").setLevel(logging.WARNING)
    shown = logging.getLogger("app.bench_shown")
    shown.setLevel(logging.INFO)
    shown.addHandler(logging.NullHandler())
    shown.propagate = False
    dropped = plain.LazyLogger("bench_dropped"), chronicle.lazy_logger("bench_dropped")
    passed = plain.LazyLogger("bench_shown"), chronicle.lazy_logger("bench_shown")
    return [
        (
            "lazy logger: debug dropped by the level",
            lambda: dropped[0].debug("message %s", 1),
            lambda: dropped[1].debug("message %s", 1),
            False,
        ),
        (
            "lazy logger: info into a NullHandler",
            lambda: passed[0].info("message"),
            lambda: passed[1].info("message"),
            False,
        ),
        ("get_logger('x')", lambda: plain.get_logger("x"), lambda: chronicle.get_logger("x"), False),
    ]


def calls_per_round(function):
    start = time.perf_counter()
    function()
    once = time.perf_counter() - start
    return max(1, int(ROUND_SECONDS / max(once, 1e-7)))


def run(rows, rounds, selected):
    rows = [row for row in rows if not selected or any(text in row[0] for text in selected)]
    print(f"{'function':<44} {'quillkit':>12} {'plain Python':>14} {'ratio':>7}")
    ratios = {}
    for title, baseline, ours, same in rows:
        if same:
            assert baseline() == ours(), title
        number = calls_per_round(ours)
        seconds_plain, seconds_ours = measure(baseline, ours, number, rounds if number > 1 else 5)
        ratios[title] = seconds_plain / seconds_ours
        print(
            f"{title:<44} {seconds_ours * 1e6:9.2f} µs {seconds_plain * 1e6:11.2f} µs {ratios[title]:6.2f}x",
            flush=True,
        )
    return ratios


def main():
    quick = "--quick" in sys.argv
    selected = [argument for argument in sys.argv[1:] if not argument.startswith("--")]  # rows
    silent, terminal, service = Silent(), Terminal(), Service()
    saved = {name: getattr(cargohold, name) for name in ("log", "click", "requests")}
    for module in (cargohold, plain):
        module.log, module.click, module.requests = silent, terminal, service
    os.environ["GITHUB_TOKEN"] = "token"
    before = os.getcwd()
    try:
        with tempfile.TemporaryDirectory() as directory:
            root = Path(directory)
            make_workspace(root)
            os.chdir(root)
            return run(cases(root) + logger_cases(), 5 if quick else 15, selected)
    finally:
        os.chdir(before)
        for name, value in saved.items():
            setattr(cargohold, name, value)


if __name__ == "__main__":
    main()
