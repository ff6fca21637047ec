"""Instructions per call of the recording and read calls, each beside the no-op native call
of its arity and calling form, counted by callgrind: unlike a timing, the count is the same
on a loaded machine and on another processor, so it shows what a call does.

Counted under this interpreter, and under every other CPython version that is installed
and has a build beside this one's (build/root-3.14 beside build/root-3.15: `./dev bench`
builds them all), since the interpreter's call path is part of every count."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

import _quillmere_core

HERE = pathlib.Path(__file__).parent
SHORT, LONG = 20_000, 120_000

FLOOR_1 = "no-op native call (floor)"
FLOOR_2 = "no-op two-argument call (floor)"
FLOOR_0 = "no-op call without arguments (floor)"
# A window of 100 samples for the calls that read one.
FILLED = "qc.IpcStats('b', 1024); [s.record_latency_us(n) for n in range(100)]"

# name: (setup, the callable, the call, the floor it is held against). Each floor is a
# no-op native call of the same arity and calling form (METH_FASTCALL | METH_KEYWORDS
# converting unsigned integers, or METH_NOARGS), bound as the module's calls are.
CANDIDATES = {
    FLOOR_1: ("", "floors.noop1", "f(120)", None),
    FLOOR_2: ("", "floors.noop2", "f(1500, 120)", None),
    FLOOR_0: ("", "floors.noop0", "f()", None),
    "mutex + ring, native (reference)": ("", "floors.locked_ring1", "f(120)", FLOOR_1),
    "IpcStats.record_latency_us(120)": ("", "qc.IpcStats('b', 1024).record_latency_us", "f(120)", FLOOR_1),
    "IpcStats.record_depth(7)": ("", "qc.IpcStats('b', 1024).record_depth", "f(7)", FLOOR_1),
    "SocketStats.record_send(1500, 120)": ("", "qc.SocketStats('b', 1024).record_send", "f(1500, 120)", FLOOR_2),
    "SocketStats.record_recv(1500, 40)": ("", "qc.SocketStats('b', 1024).record_recv", "f(1500, 40)", FLOOR_2),
    "snapshot_resources()": ("", "qc.snapshot_resources", "f()", FLOOR_0),
    "list_open_fds()": ("", "qc.list_open_fds", "f()", FLOOR_0),
    "IpcStats.p99_latency_us(), 100 samples": (f"s = {FILLED}", "s.p99_latency_us", "f()", FLOOR_0),
    "IpcStats.report(), 100 samples": (f"s = {FILLED}", "s.report", "f()", FLOOR_0),
}
RECORDING = ["IpcStats.record_latency_us(120)", "IpcStats.record_depth(7)",
             "SocketStats.record_send(1500, 120)", "SocketStats.record_recv(1500, 40)"]
READING = ["snapshot_resources()", "list_open_fds()", "IpcStats.p99_latency_us(), 100 samples",
           "IpcStats.report(), 100 samples"]
# The recording calls' goal: each within this factor of its floor.
GOAL = 1.10


def interpreters():
    """(version, interpreter, module folder) for this interpreter, then for each other
    version installed here whose build folder is named as this one's but for the version."""
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    build = pathlib.Path(_quillmere_core.__file__).resolve().parent
    found = [(version, sys.executable, build)]
    if version not in build.name:
        return found
    pattern = re.compile(re.escape(build.name).replace(re.escape(version), r"(3\.\d+)"))
    for sibling in sorted(build.parent.iterdir()):
        match = pattern.fullmatch(sibling.name)
        if not match or match[1] == version:
            continue
        python = shutil.which(f"python{match[1]}")
        tag = f"cpython-{match[1].replace('.', '')}-"
        if python and any(sibling.glob(f"_quillmere_core.{tag}*.so")):
            found.append((match[1], python, sibling))
    return found


def total_instructions(python, module_dir, setup, target, call, calls):
    """Instructions of a whole interpreter run that makes `calls` calls."""
    program = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(HERE)!r})
        import _quillmere_core as qc
        from floors.build_floors import load
        floors = load()
        {setup}
        f = {target}
        def run(n):
            for _ in range(n):
                {call}
        run({calls})
    """)
    with tempfile.TemporaryDirectory() as out:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg.out",
             python, "-c", program],
            capture_output=True, text=True,
            env={**os.environ, "PYTHONHASHSEED": "0", "PYTHONPATH": str(module_dir)},
        )
    if result.returncode != 0:
        raise RuntimeError(result.stderr[-2000:])
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def count(python, module_dir):
    """Instructions per call of each candidate under `python`."""
    # The floors extension is compiled for each interpreter once, outside the counted runs.
    subprocess.run([python, "-c", f"import sys; sys.path.insert(0, {str(HERE)!r}); "
                    "from floors.build_floors import load; load()"], check=True)
    # Two runs that differ only in the number of calls: start-up cancels out. The read
    # calls cost ten times more and more, so a tenth of the calls counts them as exactly.
    counts = {}
    for name, (setup, target, call, _) in CANDIDATES.items():
        short, long = (SHORT // 10, LONG // 10) if name in READING else (SHORT, LONG)
        counts[name] = (total_instructions(python, module_dir, setup, target, call, long) -
                        total_instructions(python, module_dir, setup, target, call, short)) / (long - short)
    return counts


def main():
    if shutil.which("valgrind") is None:
        print("instructions: valgrind is not installed; nothing counted")
        return {}
    found = interpreters()
    counts = {version: count(python, module_dir) for version, python, module_dir in found}
    versions = list(counts)
    ratios = {version: {name: counts[version][name] / counts[version][floor]
                        for name, (*_, floor) in CANDIDATES.items() if floor}
              for version in versions}
    print("instructions per call (callgrind, loop included), and against the floor named, "
          "CPython " + " / ".join(versions))
    for name, (*_, floor) in CANDIDATES.items():
        figures = " ".join(f"{counts[v][name]:8.1f}" + (f" {ratios[v][name]:5.2f}x" if floor else " " * 7)
                           for v in versions)
        print(f"  {name:<40} {figures}  {'vs ' + floor if floor else ''}")
    worst = {version: max(RECORDING, key=lambda name: ratios[version][name]) for version in versions}
    headline = "; ".join(
        f"{version}: record_latency_us(120) {counts[version][RECORDING[0]]:.0f} per call, "
        f"+{counts[version][RECORDING[0]] - counts[version][FLOOR_1]:.0f} over its floor; worst "
        f"recording call {worst[version].split('.')[1].split('(')[0]} {ratios[version][worst[version]]:.2f}x"
        for version in versions)
    print(f"\ninstructions: {headline} (goal <= {GOAL:.2f}x)")
    checks = [{"what": f"{name} vs its floor, instructions, CPython {version}",
               "value": ratios[version][name], "unit": "x", "goal": GOAL}
              for version in versions for name in RECORDING]
    return {"instructions_per_call": counts,
            "floors": {name: floor for name, (*_, floor) in CANDIDATES.items() if floor},
            "recording": RECORDING, "reading": READING, "checks": checks}


if __name__ == "__main__":
    main()
