"""How to start mypy here, for the checks of the type stub."""
import functools
import os
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
    # The same version first: the build with the GIL beside a free-threaded one.
    nearest = sorted(range(minor - 3, minor + 4), key=lambda m: (abs(m - minor), -m))
    others = filter(None, (shutil.which(f"python3.{m}") for m in nearest))
    tried = set()
    for python in (sys.executable, *others):
        if os.path.realpath(python) in tried:
            continue
        tried.add(os.path.realpath(python))
        probe = subprocess.run([python, "-m", "mypy", "--cache-dir", "/dev/null", "-c", "x: int = 1"],
                               capture_output=True, text=True, timeout=300)
        if probe.returncode == 0:
            return [python, "-m", "mypy"]
    return None
