"""Local text content: loading and saving with logged outcomes, and saves that never leave a
damaged file behind."""

import collections
import errno
import json
import os
import stat
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest
from helpers import Recorder, globals_replaced, run_python
from hypothesis import given, settings
from hypothesis import strategies as st

from quillkit import cargohold


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.endswith(".tmp"))


def test_load_reads_regular_files_only(tmp_path, recorder):
    load = cargohold.load_local_file_content
    assert load(tmp_path / "missing.txt", logger=recorder) == ""
    assert load(str(tmp_path), logger=recorder) == ""
    assert recorder.records == []
    (tmp_path / "empty.txt").write_text("")
    assert load(tmp_path / "empty.txt", logger=recorder) == ""
    (tmp_path / "a.md").write_text("內容\n", encoding="utf-8")
    os.symlink(tmp_path / "a.md", tmp_path / "link.md")
    assert load(str(tmp_path / "link.md"), "設定檔", recorder) == "內容\n"
    assert recorder.messages("info") == [
        f"✅ 已成功載入檔案：{tmp_path}/empty.txt",
        f"✅ 已成功載入設定檔：{tmp_path}/link.md",
    ]


def test_load_reports_unreadable_content(tmp_path, recorder):
    path = tmp_path / "bad.txt"
    path.write_bytes(b"ok \xff\xfe")
    assert cargohold.load_local_file_content(path, logger=recorder) == ""
    [message] = recorder.messages("error")
    assert message.startswith(f"❌ 讀取檔案失敗 {path}: 'utf-8' codec can't decode byte 0xff")


# Text as it may lie on disk: line ends of every kind, a byte-order mark, NUL, and bytes that are
# no UTF-8 (a lone byte, a truncated sequence, an encoded surrogate).
contents = st.lists(
    st.sampled_from(
        [
            b"a",
            b"\r",
            b"\n",
            b"\r\n",
            "é語".encode(),
            "\ufeff".encode(),
            b"\x00",
            b"\xff",
            b"\xc3",
            b"\xed\xa0\x80",
        ]
    ),
    max_size=12,
).map(b"".join)


@settings(max_examples=300, deadline=None)
@given(
    content=contents,
    kind=st.sampled_from(["file", "link", "directory", "missing", "fifo"]),
    spelling=st.sampled_from(["absolute", "relative", "path", "dotted"]),
)
def test_loading_agrees_with_pathlib(content, kind, spelling):
    """Read natively while Path is pathlib's, through pathlib once it is replaced: the same text
    (universal newlines), messages and decoding errors."""
    with tempfile.TemporaryDirectory() as directory:
        root = Path(directory)
        (root / "real.txt").write_bytes(content)
        target = {
            "file": root / "real.txt",
            "link": root / "link",
            "directory": root,
            "missing": root / "none",
            "fifo": root / "fifo",
        }[kind]
        os.symlink("real.txt", root / "link")
        os.mkfifo(root / "fifo")
        before = os.getcwd()
        os.chdir(root)
        try:
            argument = {
                "absolute": str(target),
                "relative": os.path.relpath(target),
                "path": target,
                "dotted": f".//{os.path.relpath(target)}/",
            }[spelling]
            outcomes = []
            for replaced in (False, True):
                logger = Recorder()
                with globals_replaced(cargohold, **({"Path": lambda *a: Path(*a)} if replaced else {})):
                    outcomes.append(
                        (cargohold.load_local_file_content(argument, "標籤", logger), logger.records)
                    )
        finally:
            os.chdir(before)
    assert outcomes[0] == outcomes[1]
    if kind in ("file", "link") and not outcomes[0][1][0][0] == "error":
        assert outcomes[0][0] == content.decode().replace("\r\n", "\n").replace("\r", "\n")


def test_falsy_logger_means_the_module_logger(tmp_path, module_log):
    (tmp_path / "a.txt").write_text("x")
    cargohold.load_local_file_content(tmp_path / "a.txt", logger=[])
    cargohold.save_local_file_content(tmp_path / "b.txt", "y", logger=0)
    assert module_log.messages() == [
        f"✅ 已成功載入檔案：{tmp_path}/a.txt",
        f"🎉 成功產出 檔案：{tmp_path}/b.txt",
    ]


def test_messages_show_the_path_as_written(tmp_path, monkeypatch, recorder):
    monkeypatch.chdir(tmp_path)
    ok, message = cargohold.save_local_file_content("a//b/./c/out.md", "text", logger=recorder)
    assert (ok, message) == (True, "🎉 成功產出 檔案：a/b/c/out.md")
    assert Path("a/b/c/out.md").read_text(encoding="utf-8") == "text"
    assert recorder.messages("info") == [message]


def test_logger_errors(tmp_path):
    class InfoFails(Recorder):
        def info(self, message):
            raise RuntimeError("info broke")

    logger = InfoFails()
    (tmp_path / "a.txt").write_text("x")
    assert cargohold.load_local_file_content(tmp_path / "a.txt", logger=logger) == ""
    assert logger.messages("error") == [f"❌ 讀取檔案失敗 {tmp_path}/a.txt: info broke"]
    ok, message = cargohold.save_local_file_content(tmp_path / "b.txt", "y", logger=logger)
    assert (ok, message) == (False, f"❌ 儲存檔案失敗 {tmp_path}/b.txt: info broke")

    class NothingWorks:
        def info(self, message):
            raise RuntimeError("info broke")

        def error(self, message):
            raise KeyError("error broke")

    with pytest.raises(KeyError):
        cargohold.load_local_file_content(tmp_path / "a.txt", logger=NothingWorks())


def test_bad_arguments_raise_before_anything_happens(tmp_path, recorder):
    class Unprintable:
        def __fspath__(self):
            raise OSError("no path here")

    for path in [None, 3, b"bytes"]:
        with pytest.raises(TypeError):
            cargohold.load_local_file_content(path, logger=recorder)
        with pytest.raises(TypeError):
            cargohold.save_local_file_content(path, "x", logger=recorder)
    with pytest.raises(OSError, match="no path here"):
        cargohold.load_local_file_content(Unprintable(), logger=recorder)
    with pytest.raises(TypeError, match="Argument 'label'"):
        cargohold.load_local_file_content(tmp_path / "x", label=None)
    with pytest.raises(TypeError, match="Argument 'content'"):
        cargohold.save_local_file_content(tmp_path / "x", b"bytes")
    assert recorder.records == [] and list(tmp_path.iterdir()) == []


def test_save_failures_are_reported(tmp_path, recorder):
    (tmp_path / "file").write_text("x")
    ok, message = cargohold.save_local_file_content(
        tmp_path / "file" / "sub" / "out.txt", "y", label="報告", logger=recorder
    )
    assert not ok and message.startswith(f"❌ 儲存報告失敗 {tmp_path}/file/sub/out.txt: [Errno 20]")
    ok, message = cargohold.save_local_file_content(tmp_path, "y", logger=recorder)
    assert message == f"❌ 儲存檔案失敗 {tmp_path}: [Errno 21] Is a directory: '{tmp_path}'"
    assert recorder.messages("error") == [recorder.messages("error")[0], message]


def test_save_replaces_whole_and_keeps_permissions(tmp_path, recorder):
    target = tmp_path / "script.sh"
    target.write_text("old content that is longer\n")
    target.chmod(0o750)
    assert cargohold.save_local_file_content(target, "new\n", logger=recorder)[0]
    assert target.read_text() == "new\n"
    assert stat.S_IMODE(target.stat().st_mode) == 0o750
    assert leftovers(tmp_path) == []


def test_new_files_follow_the_umask(tmp_path, recorder):
    previous = os.umask(0o027)
    try:
        cargohold.save_local_file_content(tmp_path / "new.txt", "x", logger=recorder)
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "new.txt").stat().st_mode) == 0o640


def test_links_stay_links(tmp_path, recorder):
    real = tmp_path / "real.txt"
    real.write_text("old")
    link = tmp_path / "sub" / "link.txt"
    link.parent.mkdir()
    os.symlink("../real.txt", link)
    assert cargohold.save_local_file_content(link, "new", logger=recorder)[0]
    assert link.is_symlink() and real.read_text() == "new"
    dangling = tmp_path / "dangling.txt"
    os.symlink("created.txt", dangling)
    assert cargohold.save_local_file_content(dangling, "made", logger=recorder)[0]
    assert dangling.is_symlink() and (tmp_path / "created.txt").read_text() == "made"
    loop = tmp_path / "loop"
    os.symlink("loop", loop)
    ok, message = cargohold.save_local_file_content(loop, "x", logger=recorder)
    assert not ok and "Too many levels of symbolic links" in message
    # Every link open() follows is followed: a chain of 40, and no more.
    chain = tmp_path / "chain"
    chain.mkdir()
    for number in range(41):
        os.symlink(f"l{number - 1}" if number else "../real.txt", chain / f"l{number}")
    assert cargohold.save_local_file_content(chain / "l39", "end of the chain", logger=recorder)[0]
    assert real.read_text() == "end of the chain"
    with pytest.raises(OSError) as refused:
        open(chain / "l40", "w")
    ok, message = cargohold.save_local_file_content(chain / "l40", "x", logger=recorder)
    assert not ok and refused.value.strerror in message


def test_devices_are_written_in_place(recorder):
    assert cargohold.save_local_file_content("/dev/null", "discarded", logger=recorder)[0]
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_unencodable_text_keeps_the_old_file(tmp_path, recorder):
    target = tmp_path / "keep.txt"
    target.write_text("precious")
    ok, message = cargohold.save_local_file_content(target, "bad \udc80", logger=recorder)
    assert not ok and "surrogates not allowed" in message
    assert target.read_text() == "precious" and leftovers(tmp_path) == []


@pytest.mark.parametrize("where", ["beside", "in place"])
def test_a_write_that_fails_part_way_keeps_the_old_file(tmp_path, where):
    """A file-size limit stops the write; in a directory the process may not write, the file is
    rewritten where it is, so the space must be had before its first byte changes."""
    folder = tmp_path / "folder"
    folder.mkdir()
    target = folder / "big.txt"
    target.write_text("precious")
    target.chmod(0o666)
    if where == "in place":
        folder.chmod(0o555)
    try:
        result = run_python(
            textwrap.dedent(f"""
            import resource, signal
            from quillkit import cargohold
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            class Quiet:
                def info(self, m): pass
                def error(self, m): pass
            print(cargohold.save_local_file_content({str(target)!r}, "x" * 100000, logger=Quiet()))
            print(open({str(target)!r}).read())
            print(cargohold.save_local_file_content({str(target)!r}, "fits", logger=Quiet()))
        """),
            unprivileged=True,
        )
    finally:
        folder.chmod(0o755)
    too_large, kept, fits = result.stdout.splitlines()
    assert too_large.startswith('(False, "❌ 儲存檔案失敗') and "File too large" in too_large
    assert kept == "precious"
    assert fits.startswith("(True,") and target.read_text() == "fits" and leftovers(folder) == []


# What the failure-injecting library makes each system call of a save do, one case each: the
# steps apply to the nth call of the family and the calls after it. The errors are those the
# writer tells apart (OVERCOME) and one it does not.
EVERY_CALL = [[errno.EIO], ["eintr"]]
FAULTS = {
    "open": EVERY_CALL + [[errno.EACCES], [errno.ENOSPC]],
    "create": EVERY_CALL + [[errno.EACCES], [errno.EPERM], [errno.EROFS], [errno.EEXIST], [errno.ENOSPC]],
    "rename": EVERY_CALL + [[errno.EBUSY], [errno.EPERM], [errno.EACCES], [errno.EXDEV]],
    "fallocate": EVERY_CALL + [[errno.EOPNOTSUPP], [errno.ENOSYS], [errno.ENOSPC]],
    "write": EVERY_CALL + [[errno.ENOSPC], [errno.EFBIG], ["short"], ["short", errno.ENOSPC]],
    "pwrite": EVERY_CALL + [[errno.ENOSPC], [errno.EFBIG], ["short"], ["short", errno.EIO]],
    "ftruncate": EVERY_CALL + [[errno.EPERM]],
    "fchmod": EVERY_CALL + [[errno.EPERM]],
    "fchown": EVERY_CALL + [[errno.EPERM]],
}
# Failures a save of an existing file goes around: a temporary name that is taken (another
# one), a directory or a rename that refuses (in place), no fallocate (the tail first), and
# the steps that are best effort (the owner, removing a temporary file, reading the old content
# to have a way back).
OVERCOME = {
    "create": {errno.EEXIST, errno.EACCES, errno.EPERM, errno.EROFS},
    "rename": {errno.EBUSY, errno.EPERM, errno.EACCES},
    "fallocate": {errno.EOPNOTSUPP, errno.ENOSYS},
    "fchown": {errno.EIO, errno.EPERM},
    "unlink": {errno.EIO},
    "pread": {errno.EIO},
}

# The ways a save goes: renamed over the target (named directly or through a link), or written
# in place because the rename or the directory refuses, with and without fallocate (`rules` hold
# for every call of the save).
Route = collections.namedtuple("Route", "rules refused_directory link", defaults=((), False, False))
NO_FALLOCATE = f"fallocate * {errno.EOPNOTSUPP}"
REFUSED_RENAME = f"rename * {errno.EPERM}"
SAVE_ROUTES = {
    "renamed": Route(),
    "renamed, through a link": Route(link=True),
    "in place, rename refused": Route([REFUSED_RENAME]),
    "in place, rename refused, no fallocate": Route([REFUSED_RENAME, NO_FALLOCATE]),
    "in place, directory refused": Route(refused_directory=True),
    "in place, directory refused, no fallocate": Route([NO_FALLOCATE], refused_directory=True),
}

# Old and new texts of every relative length; the bytes differ everywhere.
NEW_TEXT = "new: 內容 ✓\n" * 3
SAVE_TEXTS = {
    "old shorter": ("舊\n", NEW_TEXT),
    "old as long": ("old: 文本 ✗\n" * 3, NEW_TEXT),
    "old longer": ("old text 舊的文字\n" * 8, NEW_TEXT),
    "new empty": ("old\n", ""),
}

# Runs in the child: every case of one route, each from the old file as it was, with the
# library counting the calls made inside the folder. For each saver and pair of texts, a save
# with no fault shows which calls a save makes (the trace); then each call fails in turn.
FAULT_CASES = r"""
import collections, json, os, stat, sys
from quillkit import cargohold

config = json.loads(sys.argv[1])
target, saved_as = config["target"], config["saved_as"]  # the file, and the name saved to
folder = os.path.dirname(target)
own_names = {os.path.basename(target), os.path.basename(saved_as)}
trace = os.path.join(config["trace_folder"], "trace")


class Quiet:
    def info(self, message): pass
    def error(self, message): pass


def save_content(text):
    return list(cargohold.save_local_file_content(saved_as, text, logger=Quiet()))


def save_template(text):
    try:
        return [True, cargohold.save_yaml_template(text, saved_as, logger=Quiet())]
    except OSError as error:
        return [False, str(error)]


savers = {"content": save_content, "template": save_template}
serial = 0


def put_back(old):
    for name in set(os.listdir(folder)) - own_names:
        os.unlink(os.path.join(folder, name))
    with open(target, "wb") as file:
        file.write(old.encode())
    os.chmod(target, config["mode"])


def save(saver, old, new, rules, traced=False):
    global serial
    serial += 1
    put_back(old)
    descriptors = len(os.listdir("/proc/self/fd"))
    os.environ["QUILLKIT_FAULT"] = ";".join([str(serial), *rules, *config["standing_rules"]])
    if traced:
        os.environ["QUILLKIT_FAULT_TRACE"] = trace
    try:
        report = savers[saver](new)
    finally:
        del os.environ["QUILLKIT_FAULT"]
        os.environ.pop("QUILLKIT_FAULT_TRACE", None)
    with open(target, "rb") as file:
        content = file.read().decode("utf-8", "backslashreplace")
    return {"report": report, "content": content, "mode": stat.S_IMODE(os.stat(target).st_mode),
            "others": sorted(set(os.listdir(folder)) - own_names),
            "link_kept": os.path.islink(saved_as) == (saved_as != target),
            "descriptors": len(os.listdir("/proc/self/fd")) - descriptors}


results = []
for saver in savers:
    for texts, (old, new) in config["texts"].items():
        if os.path.exists(trace):
            os.unlink(trace)
        results.append({"case": [saver, texts, None, 0, []], **save(saver, old, new, [], traced=True)})
        with open(trace) as file:
            calls = collections.Counter(file.read().split())
        for family, count in sorted(calls.items()):
            for nth in range(1, count + 1):
                for steps in config["faults"].get(family, config["every_call"]):
                    rules = [f"{family} {nth + offset} {step}" for offset, step in enumerate(steps)]
                    results.append({"case": [saver, texts, family, nth, steps],
                                    **save(saver, old, new, rules)})
print(json.dumps(results))
"""


def save_fault_problems(result, saved_as, mode):
    """What is wrong with one faulty save's outcome: the save succeeded and the file holds the
    new text, or it failed, saying so with the injected error, and the file holds the old."""
    saver, texts, family, nth, steps = result["case"]
    old, new = SAVE_TEXTS[texts]
    ok, message = result["report"]
    errors = [step for step in steps if isinstance(step, int)]
    if ok:
        expected = f"🎉 成功產出 檔案：{saved_as}" if saver == "content" else str(saved_as)
    else:
        error = OSError(errors[-1], os.strerror(errors[-1]), str(saved_as)) if errors else "(no error)"
        expected = f"❌ 儲存檔案失敗 {saved_as}: {error}" if saver == "content" else str(error)
    problems = {
        "reports a failure it must overcome": not ok and set(errors) <= OVERCOME.get(family, set()),
        # What reads cannot show: the new text may not be on the disk.
        "reports success after a failed sync": ok and family == "fsync" and errors,
        "reports another message": message != expected,
        "leaves another content": result["content"] != (new if ok else old),
        "changes the mode": result["mode"] != mode,
        "replaces the link": not result["link_kept"],
        "leaves a temporary file": result["others"] and family != "unlink",
        "leaves a descriptor open": result["descriptors"] != 0,
    }
    outcome = f"{result['report']}, content {result['content']!r}".replace(str(saved_as), "<path>")
    return [
        f"{family} #{nth} {steps} ({saver}, {texts}): {problem}; {outcome}"
        for problem, wrong in problems.items()
        if wrong
    ]


@pytest.mark.parametrize("route", SAVE_ROUTES)
def test_every_failed_system_call_keeps_the_old_file(tmp_path, fault_library, route):
    """Each system call of a save fails in turn (or is interrupted, or writes short), over old
    texts shorter, as long and longer than the new: the save either reports success and the
    file holds the new text, or reports the failure and the file holds the old text, with its
    mode, no temporary file and no descriptor left behind."""
    rules, refused_directory, link = SAVE_ROUTES[route]
    folder = tmp_path / "folder"
    folder.mkdir()
    target = folder / "kept.txt"
    target.write_text("")
    saved_as = target
    if link:
        saved_as = folder / "link.txt"
        saved_as.symlink_to(target.name)
    mode = 0o640
    config = {
        "target": str(target),
        "saved_as": str(saved_as),
        "trace_folder": str(tmp_path),
        "mode": mode,
        "standing_rules": list(rules),
        "texts": SAVE_TEXTS,
        "faults": FAULTS,
        "every_call": EVERY_CALL,
    }
    code = f"import sys; sys.argv[1:] = [{json.dumps(config)!r}]\n" + FAULT_CASES
    if refused_directory:
        folder.chmod(0o555)
    try:
        child = run_python(code, unprivileged=refused_directory, env=fault_library.environment(folder))
    finally:
        folder.chmod(0o755)
    results = json.loads(child.stdout)
    problems = [problem for result in results for problem in save_fault_problems(result, saved_as, mode)]
    assert not problems, f"{len(problems)} of {len(results)} cases:\n" + "\n".join(problems[:40])
    # The route was taken: the calls of an in-place write were made.
    assert any(result["case"][2] == "pwrite" for result in results) == route.startswith("in place")


def test_content_reaches_the_disk_before_the_name(tmp_path, fault_library):
    """The system calls of a save, seen through an interposed C library: the temporary file is
    synced and closed before it is renamed over the target."""
    trace = tmp_path / "trace.log"
    folder = tmp_path / "folder"
    folder.mkdir()
    target = folder / "t.txt"
    target.write_text("old")
    run_python(
        f"from quillkit import cargohold; cargohold.save_local_file_content({str(target)!r}, 'new')",
        env=fault_library.environment(folder, FAULT_TRACE=trace),
    )
    calls = trace.read_text().split()
    assert [call for call in calls if call in ("fsync", "close", "rename")][:3] == [
        "fsync",
        "close",
        "rename",
    ]
    assert target.read_text() == "new"


# A C library interposed on the child: no allocation ahead (as on file systems without
# fallocate), and, when INTERRUPT_TAIL is set, the first write beyond the start of the file cut
# short and the next one interrupted by a SIGUSR1 delivered right then.
NO_ALLOCATION_AHEAD = """
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
int fallocate(int fd, int mode, off_t offset, off_t length) { errno = EOPNOTSUPP; return -1; }
int fallocate64(int fd, int mode, off_t offset, off_t length) { errno = EOPNOTSUPP; return -1; }
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    ssize_t (*real)(int, const void*, size_t, off_t) = dlsym(RTLD_NEXT, "pwrite");
    static int seen;
    if (offset > 0 && seen < 2 && getenv("INTERRUPT_TAIL")) {
        if (seen++ == 0) return real(fd, data, size / 2, offset);
        raise(SIGUSR1);
        errno = EINTR;
        return -1;
    }
    return real(fd, data, size, offset);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
    return pwrite(fd, data, size, offset);
}
"""


@pytest.mark.parametrize(
    "case", ["grows", "shrinks", "tail interrupted, handler raises", "tail interrupted, handler returns"]
)
def test_rewritten_in_place_without_allocation_ahead(tmp_path, case):
    """Where no room can be had ahead, a growing file gets its tail first; a signal handler that
    raises meanwhile leaves the old file, one that returns lets the save go on."""
    shim, source = tmp_path / "shim.so", tmp_path / "shim.c"
    source.write_text(NO_ALLOCATION_AHEAD)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(source), "-ldl"], check=True)
    folder = tmp_path / "folder"
    folder.mkdir()
    target = folder / "t.txt"
    old, new = ("long " * 20_000, "short") if case == "shrinks" else ("precious", "new " * 50_000)
    target.write_text(old)
    (tmp_path / "new.txt").write_text(new)
    target.chmod(0o666)
    folder.chmod(0o555)  # no temporary file beside it: rewritten where it is
    env = {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))}
    if "interrupted" in case:
        env["INTERRUPT_TAIL"] = "1"
    try:
        result = run_python(
            textwrap.dedent(f"""
            import signal
            from quillkit import cargohold
            def handler(*args):
                if {"raises" in case}:
                    raise RuntimeError("stopped by the handler")
            signal.signal(signal.SIGUSR1, handler)
            class Quiet:
                def info(self, m): pass
                def error(self, m): pass
            new = open({str(tmp_path / "new.txt")!r}).read()
            print(cargohold.save_local_file_content({str(target)!r}, new, logger=Quiet()))
        """),
            unprivileged=True,
            env=env,
        )
    finally:
        folder.chmod(0o755)
    if "raises" in case:
        assert result.stdout.startswith("(False,") and "stopped by the handler" in result.stdout
        assert target.read_text() == old
    else:
        assert result.stdout.startswith("(True,") and target.read_text() == new
    assert leftovers(folder) == []


def test_targets_reached_through_a_descriptor(tmp_path):
    """/dev/stdout and the like name an open file: written through, never replaced."""
    code = textwrap.dedent("""
        import os, sys
        from quillkit import cargohold
        class Quiet:
            def info(self, m): pass
            def error(self, m): print(m)
        kept = open(sys.argv[1], "w")
        for path in ["/dev/stdout", f"/dev/fd/{kept.fileno()}", f"/proc/self/fd/{kept.fileno()}"]:
            ok, message = cargohold.save_local_file_content(path, f"saved to {path}\\n", logger=Quiet())
            print(ok, flush=True)
        print("printed afterwards", flush=True)
    """)
    kept = tmp_path / "kept.txt"
    command = [sys.executable, "-P", "-c", code, str(kept)]
    piped = subprocess.run(command, capture_output=True, text=True, check=True)
    assert piped.stdout.splitlines() == ["saved to /dev/stdout", "True", "True", "True", "printed afterwards"]
    assert kept.read_text().startswith("saved to /proc/self/fd/")
    redirected = tmp_path / "out.txt"
    with open(redirected, "w") as out:
        inode = os.fstat(out.fileno()).st_ino
        subprocess.run(command, stdout=out, check=True)
    assert os.stat(redirected).st_ino == inode  # the same file, not a replacement
    assert redirected.read_text().splitlines()[-1] == "printed afterwards"
    assert leftovers(tmp_path) == []


def test_signals_while_a_save_waits(tmp_path):
    """A FIFO blocks the save until a reader comes; timer signals meanwhile run their handler
    and the save goes on, and a handler that raises stops it without touching anything."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    result = run_python(
        textwrap.dedent(f"""
        import signal, threading, time
        from quillkit import cargohold
        ticks = []
        signal.signal(signal.SIGALRM, lambda *args: ticks.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        def reader():
            signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGALRM}})  # the saver gets them
            time.sleep(0.3)
            with open({str(fifo)!r}) as f:
                received.append(f.read())
        received = []
        thread = threading.Thread(target=reader)
        thread.start()
        saved = cargohold.save_local_file_content({str(fifo)!r}, "through", logger=0)[0]
        thread.join()
        print(saved, len(ticks) > 3, received)
        def stop(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, stop)
        try:
            cargohold.save_local_file_content({str(fifo)!r}, "never", logger=0)
        except KeyboardInterrupt:
            print("stopped")
        signal.setitimer(signal.ITIMER_REAL, 0)
    """)
    )
    assert result.stdout.split() == ["True", "True", "['through']", "stopped"]


def test_permissions_are_respected_without_root_privileges(tmp_path):
    """Run without the capabilities that let root ignore permission bits."""
    locked = tmp_path / "locked.txt"
    locked.write_text("keep")
    locked.chmod(0o444)
    readonly_dir = tmp_path / "ro"
    readonly_dir.mkdir()
    inside = readonly_dir / "writable.txt"
    inside.write_text("old")
    inside.chmod(0o666)
    readonly_dir.chmod(0o555)
    try:
        result = run_python(
            textwrap.dedent(f"""
            from quillkit import cargohold
            class Quiet:
                def info(self, m): pass
                def error(self, m): pass
            for path in [{str(locked)!r}, {str(inside)!r}, {str(readonly_dir / "new.txt")!r}]:
                print(cargohold.save_local_file_content(path, "new", logger=Quiet()))
        """),
            unprivileged=True,
        )
    finally:
        readonly_dir.chmod(0o755)
    lines = result.stdout.splitlines()
    assert lines[0] == (f"(False, \"❌ 儲存檔案失敗 {locked}: [Errno 13] Permission denied: '{locked}'\")")
    assert lines[1] == f"(True, '🎉 成功產出 檔案：{inside}')"  # written in place
    assert lines[2].startswith('(False, "❌ 儲存檔案失敗') and "Permission denied" in lines[2]
    assert locked.read_text() == "keep" and inside.read_text() == "new"
    assert leftovers(tmp_path) == [] and leftovers(readonly_dir) == []
