"""Instructions per recording call, counted by callgrind: unlike a timing, the count is the
same on a loaded machine and on another processor, so it shows what a call does."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

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


def total_instructions(target, call, calls):
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
             sys.executable, "-c", program],
            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"},
        )
    if result.returncode != 0:
        raise RuntimeError(result.stderr[-2000:])
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def main():
    if shutil.which("valgrind") is None:
        print("instructions: valgrind is not installed; nothing counted")
        return
    from floors.build_floors import load
    load()  # compiled once, outside the counted runs
    counts = {}
    for name, (target, call) in CANDIDATES.items():
        # Two runs that differ only in the number of calls: start-up cancels out.
        counts[name] = (total_instructions(target, call, LONG) -
                        total_instructions(target, call, SHORT)) / (LONG - SHORT)
    print("instructions per call (callgrind, loop included)")
    for name, count in counts.items():
        print(f"  {name:<40} {count:8.1f}")
    record = counts["IpcStats.record_latency_us(120)"]
    floor = counts["no-op native call (floor)"]
    reference = counts["mutex + ring, native (reference)"]
    print(f"\ninstructions: record_latency_us(120) {record:.0f} per call, no-op floor {floor:.0f}, "
          f"mutex + ring reference {reference:.0f} ({record / floor:.2f}x the floor)")


if __name__ == "__main__":
    main()
