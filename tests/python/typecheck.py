"""How to start mypy here, for the checks of the type stub."""
import functools
import shutil
import subprocess
import sys


@functools.cache
def mypy_command():
    """The command that starts a working mypy: under this interpreter where it runs, else
    under another Python 3 on PATH, the nearest version first, since a distribution's
    compiled mypy is built for some of its interpreters only (Debian's for 3.14, neither
    3.13 nor 3.15). None where none works.
    What it checks is the stub and code that uses it, which are the same on every version;
    give it --python-executable to see another interpreter's site-packages."""
    minor = sys.version_info.minor
    nearest = sorted((m for m in range(minor - 3, minor + 4) if m != minor),
                     key=lambda m: (abs(m - minor), -m))
    others = filter(None, (shutil.which(f"python3.{m}") for m in nearest))
    for python in (sys.executable, *others):
        probe = subprocess.run([python, "-m", "mypy", "--cache-dir", "/dev/null", "-c", "x: int = 1"],
                               capture_output=True, text=True, timeout=300)
        if probe.returncode == 0:
            return [python, "-m", "mypy"]
    return None
