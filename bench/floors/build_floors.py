"""Compiles the floors extension next to the build, once, with the interpreter's own flags."""
import importlib
import pathlib
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).parent


def load():
    out_dir = HERE.parent.parent / "build" / "bench-floors"
    out_dir.mkdir(parents=True, exist_ok=True)
    source = HERE / "floors.cpp"
    target = out_dir / ("_quillmere_floors" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(
            ["g++", "-std=c++23", "-O2", "-shared", "-fPIC", "-fvisibility=hidden",
             f"-I{sysconfig.get_paths()['include']}", str(source), "-o", str(target)],
            check=True,
        )
    sys.path.insert(0, str(out_dir))
    return importlib.import_module("_quillmere_floors")
