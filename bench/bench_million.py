"""Discovery on a million files (million_tree.py says how the tree is shaped; it is made once and
kept): the matching query against the same walk with an extension nothing has, one walk thread
against as many as the process has cores for, fd -j2 and GNU find on the same query, and the
memory the call adds at its peak against the size of what it returns.

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

from million_tree import million_tree  # noqa: E402
from quillkit import cargohold  # noqa: E402

THREADS_VARIABLE = "QUILLKIT_DISCOVERY_THREADS"
WANTED = [".py", "txt"]
EXCLUDED = ["d3", "d7/d1"]
ROUNDS = 9


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
            return cargohold.find_files_with_extensions(".", extensions, recursive=True,
                                                        exclude_paths=EXCLUDED, logger=Silent())
        finally:
            os.environ.pop(THREADS_VARIABLE, None)
    return run, lambda found: len(found[0])


def command(arguments):
    def run():
        return subprocess.run(arguments, stdout=subprocess.PIPE, check=True).stdout
    return run, lambda output: output.count(b"\n")


def fastest(cases, rounds=ROUNDS):
    """{name: (best seconds, count)}, the cases run in turn in every round."""
    best = {name: (float("inf"), None) for name in cases}
    for _ in range(rounds):
        for name, (case, count) in cases.items():
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
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                            env=environment, check=True)
    added, size = map(int, result.stdout.split())
    return added, size


def main():
    tree = million_tree()
    os.chdir(tree)
    cores = len(os.sched_getaffinity(0))
    print(f"tree: {tree} ({(tree / '.complete').read_text().strip()}); {cores} cores; "
          f"load average {os.getloadavg()[0]:.2f} before", flush=True)

    cases = {
        "matching": discovery(WANTED, None),
        "0-match": discovery([".nothing"], None),
        "matching, 1 thread": discovery(WANTED, "1"),
        "0-match, 1 thread": discovery([".nothing"], "1"),
    }
    fd = shutil.which("fd") or shutil.which("fdfind")
    if fd:
        cases["fd -j2"] = command([fd, "-j2", "-u", "-t", "f", "-e", "py", "-e", "txt",
                                   "-E", "/d3", "-E", "/d7/d1", "."])
    else:
        print("fd is not installed (Debian: apt-get install fd-find): no fd figure")
    cases["GNU find"] = command(["find", ".", "(", "-path", "./d3", "-o", "-path", "./d7/d1", ")",
                                 "-prune", "-o", "-type", "f", "(", "-iname", "*.py", "-o",
                                 "-iname", "*.txt", ")", "-print"])
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
    print(f"aims: matching ≤ 1.2x the 0-match walk ({figures['matching / 0-match']:.2f}x), "
          f"ahead of fd -j2 ({figures.get('fd -j2 / quillkit', float('nan')):.2f}x), "
          f"memory ≤ 1.25x the result ({figures['memory added / result']:.2f}x); "
          f"load average {os.getloadavg()[0]:.2f} after")
    return figures


if __name__ == "__main__":
    main()
