"""Timing helpers the benchmarks share. A comparison runs the baseline and quillkit in
alternating rounds in the same process and keeps the fastest round of each, so that both see
the same machine; the ratio is baseline time over quillkit time (above 1: quillkit is faster)."""

import time


def _round(function, number):
    start = time.perf_counter()
    for _ in range(number):
        function()
    return (time.perf_counter() - start) / number


def measure(baseline, ours, number, rounds=25):
    """The fastest round of each, in seconds per call, the two alternating round by round."""
    _round(baseline, number // 10 or 1)  # warm up both
    _round(ours, number // 10 or 1)
    best_baseline = best_ours = float("inf")
    for _ in range(rounds):
        best_baseline = min(best_baseline, _round(baseline, number))
        best_ours = min(best_ours, _round(ours, number))
    return best_baseline, best_ours


def compare(title, baseline, ours, number, rounds=25, baseline_label="python"):
    """Prints both figures and the ratio; returns the ratio."""
    best_baseline, best_ours = measure(baseline, ours, number, rounds)
    ratio = best_baseline / best_ours
    print(
        f"{title:<44} {baseline_label} {best_baseline * 1e6:9.3f} µs   "
        f"quillkit {best_ours * 1e6:9.3f} µs   ratio {ratio:5.2f}x",
        flush=True,
    )
    return ratio


def compare_once(title, baseline, ours, rounds=5, baseline_label="python"):
    """As compare, for operations that take long enough to time one call per round."""
    return compare(title, baseline, ours, 1, rounds=rounds, baseline_label=baseline_label)
