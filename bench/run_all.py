"""Runs every benchmark in this folder (bench_*.py), one after another."""

import runpy
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
selected = sys.argv[1:]
for script in sorted(here.glob("bench_*.py")):
    if selected and not any(name in script.stem for name in selected):
        continue
    print(f"== {script.stem}")
    sys.argv = [str(script)]  # the names picked here are not the script's own arguments
    runpy.run_path(str(script), run_name="__main__")
