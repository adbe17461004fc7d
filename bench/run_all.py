"""Runs every benchmark in this folder (bench_*.py), one after another; the names given pick those
whose names hold one of them, and options (--cold) go to each benchmark run."""

import runpy
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
options = [argument for argument in sys.argv[1:] if argument.startswith("--")]
selected = [argument for argument in sys.argv[1:] if not argument.startswith("--")]
for script in sorted(here.glob("bench_*.py")):
    if selected and not any(name in script.stem for name in selected):
        continue
    print(f"== {script.stem}")
    sys.argv = [str(script), *options]  # the names picked here are not the script's own arguments
    runpy.run_path(str(script), run_name="__main__")
