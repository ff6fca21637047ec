"""Instructions per recording call, counted by callgrind: unlike a timing, the count is the
same on a loaded machine and on another processor, so it shows what a call does.

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

CANDIDATES = {
    "no-op native call (floor)": ("floors.noop1", "f(120)"),
    "mutex + ring, native (reference)": ("floors.locked_ring1", "f(120)"),
    "IpcStats.record_latency_us(120)": ("qc.IpcStats('b', 1024).record_latency_us", "f(120)"),
    "no-op two-argument call (floor)": ("floors.noop2", "f(1500, 120)"),
    "SocketStats.record_send(1500, 120)": ("qc.SocketStats('b', 1024).record_send", "f(1500, 120)"),
    "SocketStats.record_recv(1500, 40)": ("qc.SocketStats('b', 1024).record_recv", "f(1500, 40)"),
}


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


def total_instructions(python, module_dir, target, call, calls):
    """Instructions of a whole interpreter run that makes `calls` calls."""
    program = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(HERE)!r})
        import _quillmere_core as qc
        from floors.build_floors import load
        floors = load()
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
    # Two runs that differ only in the number of calls: start-up cancels out.
    return {name: (total_instructions(python, module_dir, target, call, LONG) -
                   total_instructions(python, module_dir, target, call, SHORT)) / (LONG - SHORT)
            for name, (target, call) in CANDIDATES.items()}


def main():
    if shutil.which("valgrind") is None:
        print("instructions: valgrind is not installed; nothing counted")
        return {}
    found = interpreters()
    counts = {version: count(python, module_dir) for version, python, module_dir in found}
    versions = list(counts)
    print("instructions per call (callgrind, loop included), CPython " + " / ".join(versions))
    for name in CANDIDATES:
        figures = " ".join(f"{counts[v][name]:8.1f}" for v in versions)
        print(f"  {name:<40} {figures}")
    headline = []
    for version in versions:
        record = counts[version]["IpcStats.record_latency_us(120)"]
        floor = counts[version]["no-op native call (floor)"]
        reference = counts[version]["mutex + ring, native (reference)"]
        headline.append(f"{version}: record_latency_us(120) {record:.0f} per call, no-op floor "
                        f"{floor:.0f} (+{record - floor:.0f}), mutex + ring reference "
                        f"{reference:.0f} ({record / floor:.2f}x the floor)")
    print("\ninstructions: " + "; ".join(headline))
    return {"instructions_per_call": counts}


if __name__ == "__main__":
    main()
