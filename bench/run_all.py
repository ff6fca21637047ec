"""Runs every Python benchmark in this folder, one after another."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
for script in sorted(here.glob("bench_*.py")):
    print(f"==> {script.name}")
    runpy.run_path(str(script), run_name="__main__")
