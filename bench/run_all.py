"""Runs every benchmark: the core under Google Benchmark, then each Python script here.
Each script ends with its headline line; they are repeated together at the end."""
import contextlib
import io
import pathlib
import runpy
import subprocess
import sys

import _quillmere_core

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))


class Tee(io.TextIOBase):
    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)
        return len(text)


def main():
    core_bench = pathlib.Path(_quillmere_core.__file__).parent / "bench" / "core_bench"
    if core_bench.exists():
        print("==> core (Google Benchmark)", flush=True)
        subprocess.run([str(core_bench), "--benchmark_min_warmup_time=0.1"], check=True)
    headlines = []
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"\n==> {script.name}", flush=True)
        captured = io.StringIO()
        with contextlib.redirect_stdout(Tee(sys.stdout, captured)):
            runpy.run_path(str(script), run_name="__main__")
        lines = [line for line in captured.getvalue().splitlines() if line.strip()]
        headlines.append(lines[-1])
    print("\n==> headlines")
    for line in headlines:
        print(line)


if __name__ == "__main__":
    main()
