"""Runs every benchmark: the core under Google Benchmark, then each Python script here.
Each script ends with its headline line; they are repeated together at the end.

What the scripts measure goes into a results file (bench/results.json unless --output
says otherwise), with the date, the machine, the interpreter and the compiler: the docs
draw the performance page's figures and tables from it, so a figure is never edited by
hand. --only runs the scripts named (without writing the file, which holds whole runs)."""
import argparse
import contextlib
import datetime
import io
import json
import os
import pathlib
import platform
import runpy
import subprocess
import sys
import sysconfig
import tempfile

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


def cpu_model():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            if key.strip() in ("model name", "Model"):  # x86-64; some aarch64 kernels
                return value.strip()
    return platform.processor() or platform.machine()


def compiler(build_dir):
    """The compiler that built the module, from its build folder's CMake cache."""
    cache = build_dir / "CMakeCache.txt"
    settings = {}
    if cache.exists():
        for line in cache.read_text().splitlines():
            key, sep, value = line.partition("=")
            if sep and ":" in key:
                settings[key.split(":")[0]] = value
    path = settings.get("CMAKE_CXX_COMPILER")
    if not path:
        return {"name": "unknown", "build_type": "unknown"}
    version = subprocess.run([path, "--version"], capture_output=True, text=True).stdout
    return {"name": version.splitlines()[0] if version else path,
            "build_type": settings.get("CMAKE_BUILD_TYPE", "")}


def environment():
    build_dir = pathlib.Path(_quillmere_core.__file__).parent
    return {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "machine": {
            "cpu": cpu_model(),
            "cores": os.cpu_count(),
            "architecture": platform.machine(),
            "kernel": platform.release(),
        },
        "interpreter": {
            "implementation": platform.python_implementation(),
            "version": platform.python_version(),
            "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        },
        "compiler": compiler(build_dir),
        "module_version": _quillmere_core.probe_version(),
    }


def core_benchmarks():
    """Google Benchmark over the core, printed as it runs; its figures as the results file
    keeps them."""
    core_bench = pathlib.Path(_quillmere_core.__file__).parent / "bench" / "core_bench"
    if not core_bench.exists():
        return None
    print("==> core (Google Benchmark)", flush=True)
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([str(core_bench), "--benchmark_min_warmup_time=0.1",
                        f"--benchmark_out={out.name}", "--benchmark_out_format=json"], check=True)
        report = json.loads(pathlib.Path(out.name).read_text())
    return [{"name": run["name"], "time": run["real_time"], "unit": run["time_unit"]}
            for run in report["benchmarks"]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", type=pathlib.Path, default=HERE / "results.json",
                        help="where the results file goes (default: %(default)s)")
    parser.add_argument("--only", nargs="+", metavar="NAME",
                        help="run only these scripts (bench_calls, ...) and write no file")
    args = parser.parse_args()

    results = environment()
    scripts = sorted(HERE.glob("bench_*.py"))
    if args.only:
        scripts = [script for script in scripts if script.stem in args.only]
    else:
        results["core"] = core_benchmarks()
    results["benchmarks"] = {}
    headlines = []
    for script in scripts:
        print(f"\n==> {script.name}", flush=True)
        captured = io.StringIO()
        with contextlib.redirect_stdout(Tee(sys.stdout, captured)):
            # Loaded under another name than __main__, so that its main() returns its figures
            # here instead of running on import.
            measured = runpy.run_path(str(script), run_name=script.stem)["main"]()
        lines = [line for line in captured.getvalue().splitlines() if line.strip()]
        headlines.append(lines[-1])
        results["benchmarks"][script.stem] = {"headline": lines[-1], "figures": measured}
    print("\n==> headlines")
    for line in headlines:
        print(line)
    if not args.only:
        args.output.write_text(json.dumps(results, indent=1, ensure_ascii=False) + "\n")
        print(f"\nresults: {args.output}")


if __name__ == "__main__":
    main()
