"""Discovery on a million files (million_tree.py says how the trees are shaped; each is made once
and kept): the matching query against the same walk with an extension nothing has, one walk
thread against as many as the process has cores for, GNU find on the same query, and the memory
the call adds at its peak against the size of what it returns. Then, on the 100,000-file tree and
the million-file one, the walk's own choice of threads against a fixed 2 and 8, beside fd -j2 and
fd -j8.

With --cold, only that last comparison, each run on a cold cache: the page cache is dropped
before each timed run (root only), so that the walk waits on the disk, as a tool's first scan
after a reboot does. Where it cannot be dropped, the benchmark says so and times nothing.

Rounds alternate and the fastest of each is kept; the load average is printed with the figures,
since the machine may be shared."""

import os
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))

from million_tree import bench_tree  # noqa: E402

from quillkit import cargohold  # noqa: E402

THREADS_VARIABLE = "QUILLKIT_DISCOVERY_THREADS"
WANTED = [".py", "txt"]
EXCLUDED = ["d3", "d7/d1"]
ROUNDS = 9
COLD_ROUNDS = 3  # each drops the page cache, which slows everything else on the machine
DROP_CACHES = "/proc/sys/vm/drop_caches"


class Silent:
    def debug(self, message):
        pass

    info = warning = error = debug


def discovery(extensions, threads):
    """The call, timed alone: the caller counts the files and frees the lists after the clock."""

    def run():
        if threads:
            os.environ[THREADS_VARIABLE] = threads
        try:
            return cargohold.find_files_with_extensions(
                ".", extensions, recursive=True, exclude_paths=EXCLUDED, logger=Silent()
            )
        finally:
            os.environ.pop(THREADS_VARIABLE, None)

    return run, lambda found: len(found[0])


def command(arguments):
    def run():
        return subprocess.run(arguments, stdout=subprocess.PIPE, check=True).stdout

    return run, lambda output: output.count(b"\n")


def fd_command():
    """fd's command (Debian names it fdfind), or None with a word when it is not installed."""
    fd = shutil.which("fd") or shutil.which("fdfind")
    if not fd:
        print("fd is not installed (Debian: apt-get install fd-find): no fd figures")
    return fd


def fd_case(fd, jobs):
    return command(
        [fd, f"-j{jobs}", "-u", "-t", "f", "-e", "py", "-e", "txt", "-E", "/d3", "-E", "/d7/d1", "."]
    )


def drop_page_cache():
    """Writes what is dirty and drops the page cache, the dentries and the inodes."""
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3")


def why_no_cold_cache():
    """None when this process may drop the page cache, else why it may not."""
    try:
        drop_page_cache()
    except OSError as error:
        return f"{DROP_CACHES}: {error.strerror} (dropping the page cache needs root)"
    return None


def fastest(cases, rounds=ROUNDS, before_each=None):
    """{name: (best seconds, count)}, the cases run in turn in every round; `before_each` runs
    before each timed run, outside the clock."""
    best = {name: (float("inf"), None) for name in cases}
    for _ in range(rounds):
        for name, (case, count) in cases.items():
            if before_each:
                before_each()
            start = time.perf_counter()
            result = case()
            elapsed = time.perf_counter() - start
            best[name] = (min(best[name][0], elapsed), count(result))
            del result  # freed outside the clock
    return best


MEMORY = textwrap.dedent("""
    import os, sys
    from quillkit import cargohold

    class Silent:
        def debug(self, message): pass
        info = warning = error = debug

    def status(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    files, names = cargohold.find_files_with_extensions(".", {wanted!r}, recursive=True,
                                                        exclude_paths={excluded!r}, logger=Silent())
    added = status("VmHWM") - before
    size = sys.getsizeof(files) + sys.getsizeof(names) + sum(map(sys.getsizeof, files))
    size += sum(map(sys.getsizeof, names))
    print(added, size)
""")


def memory(threads):
    """(bytes added at the peak, bytes of the result), measured in a fresh interpreter."""
    environment = dict(os.environ)
    if threads:
        environment[THREADS_VARIABLE] = threads
    code = MEMORY.format(wanted=WANTED, excluded=EXCLUDED)
    result = subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, env=environment, check=True
    )
    added, size = map(int, result.stdout.split())
    return added, size


def thread_cases(fd):
    """The walk's own choice of threads, a fixed 2 and 8, and fd -j2 and fd -j8."""
    cases = {
        "quillkit, default": discovery(WANTED, None),
        "quillkit, 2 threads": discovery(WANTED, "2"),
        "quillkit, 8 threads": discovery(WANTED, "8"),
    }
    if fd:
        cases["fd -j2"] = fd_case(fd, 2)
        cases["fd -j8"] = fd_case(fd, 8)
    return cases


def print_threads(title, best):
    """The figures of thread_cases, each as a share of the default's time."""
    default = best["quillkit, default"][0]
    print(title)
    for name, (seconds, count) in best.items():
        print(
            f"  {name:<22} {seconds * 1e3:8.1f} ms   {seconds / default:5.2f}x the default   {count} files",
            flush=True,
        )
    assert len({count for seconds, count in best.values()}) == 1


def compare_threads(fd, cold):
    """thread_cases on both trees, warm or cold."""
    for name in ("100k", "1m"):
        tree = bench_tree(name)
        os.chdir(tree)
        if cold:
            best = fastest(thread_cases(fd), COLD_ROUNDS, before_each=drop_page_cache)
        else:
            best = fastest(thread_cases(fd))
        print_threads(
            f"{name} tree, {'cold' if cold else 'warm'} cache (load average {os.getloadavg()[0]:.2f} after):",
            best,
        )


def main():
    if "--cold" in sys.argv[1:]:
        reason = why_no_cold_cache()
        if reason:
            print(f"no cold figures: the page cache cannot be dropped here ({reason})")
            return None
        print(
            f"{len(os.sched_getaffinity(0))} cores; load average {os.getloadavg()[0]:.2f} before; "
            f"the page cache dropped before each timed run",
            flush=True,
        )
        compare_threads(fd_command(), cold=True)
        return None

    tree = bench_tree("1m")
    os.chdir(tree)
    cores = len(os.sched_getaffinity(0))
    print(
        f"tree: {tree} ({(tree / '.complete').read_text().strip()}); {cores} cores; "
        f"load average {os.getloadavg()[0]:.2f} before",
        flush=True,
    )

    cases = {
        "matching": discovery(WANTED, None),
        "0-match": discovery([".nothing"], None),
        "matching, 1 thread": discovery(WANTED, "1"),
        "0-match, 1 thread": discovery([".nothing"], "1"),
    }
    fd = fd_command()
    if fd:
        cases["fd -j2"] = fd_case(fd, 2)
    pruned = "( -path ./d3 -o -path ./d7/d1 ) -prune"
    cases["GNU find"] = command(f"find . {pruned} -o -type f ( -iname *.py -o -iname *.txt ) -print".split())
    best = fastest(cases)
    for name, (seconds, count) in best.items():
        print(f"{name:<24} {seconds * 1e3:8.1f} ms   {count} files", flush=True)
    assert len({count for name, (seconds, count) in best.items() if "0-match" not in name}) == 1

    def ratio(slow, fast):
        return best[slow][0] / best[fast][0]

    figures = {
        "matching / 0-match": ratio("matching", "0-match"),
        "matching / 0-match, 1 thread": ratio("matching, 1 thread", "0-match, 1 thread"),
        "speed-up over 1 thread": ratio("matching, 1 thread", "matching"),
        "GNU find / quillkit": ratio("GNU find", "matching"),
    }
    if fd:
        figures["fd -j2 / quillkit"] = ratio("fd -j2", "matching")
    for threads in (None, "1"):
        added, size = memory(threads)
        label = "memory added / result" + (", 1 thread" if threads else "")
        print(f"{label}: {added / 1e6:.1f} MB at the peak for {size / 1e6:.1f} MB of results")
        figures[label] = added / size
    for name, value in figures.items():
        print(f"{name:<36} {value:5.2f}x")
    print(
        f"aims: matching ≤ 1.2x the 0-match walk ({figures['matching / 0-match']:.2f}x), "
        f"ahead of fd -j2 ({figures.get('fd -j2 / quillkit', float('nan')):.2f}x), "
        f"memory ≤ 1.25x the result ({figures['memory added / result']:.2f}x); "
        f"load average {os.getloadavg()[0]:.2f} after"
    )
    compare_threads(fd, cold=False)
    return figures


if __name__ == "__main__":
    main()
