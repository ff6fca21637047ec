"""Builds the sdist and the wheel as a user would and checks what they hold and install.

Run by `./dev package` (and CI); offline, with the system's scikit-build-core, CMake,
Ninja and auditwheel. About two minutes, most of it two builds: the wheel from the sdist
(so the sdist is proven complete) and `pip install .` from the checkout. auditwheel
retags the wheel for every system whose glibc is as new as the module's symbols need,
which must be no newer than the machine's FLOOR: a compiler or C library update that
brings a newer symbol version into the module fails here, before such a wheel could ship.

With --target aarch64 (./dev aarch64-package) the wheel is cross-compiled for that
machine with a CMake toolchain file and checked the same way, then kept for
`--install WHEEL`, which installs it into a venv on a system of that machine (the arm64
root, under emulation) and tries it there.
"""
import argparse
import io
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import textwrap
import zipfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / "tests" / "python"))
from typecheck import mypy_command  # noqa: E402 - found through the line above
# The module's name for the interpreter running this check ("cpython-315" on 3.15,
# "cpython-314t" on the free-threaded 3.14); a cross build is for the same version, and its
# machine is checked on its own below.
ABI = "-".join(sysconfig.get_config_var("SOABI").split("-")[:2])
MODULE = re.compile(rf"_quillmere_core\.{re.escape(ABI)}-[^/]*\.so")
# The machine the module must be built for: its name in the module's file name, the
# wheel's tag and the ELF header. A cross build that lost track of its target (an x86-64
# suffix on an aarch64 module, or none) must not pass.
ELF_MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# The sdist builds and tests the module; these never belong in it.
SDIST_NEVER = re.compile(r"(^|/)(build|bench|fuzz|tools|\.ci|__pycache__|\.pytest_cache|\.mypy_cache)/"
                         r"|^dev$|\.(so|o|a|pyc)$")
SDIST_TOP = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO",
             "tests/CMakeLists.txt"]
WHEEL_FILES = ["_quillmere_core.pyi", "_quillmere_core-stubs/__init__.pyi",
               "{dist_info}/METADATA", "{dist_info}/WHEEL", "{dist_info}/RECORD",
               "{dist_info}/licenses/LICENSE"]
# Without PYTHONPATH and from a neutral folder, so only the installed copy can be found.
CLEAN_ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
SMOKE = textwrap.dedent("""\
    import _quillmere_core as qc
    stats = qc.IpcStats("ctl", 4)
    stats.record_latency_us(100)
    print(qc.__file__)
    print(stats.report(), qc.snapshot_resources().open_fds > 0)
""")
USAGE = "import _quillmere_core as qc\nreveal_type(qc.register_signal_pipe(10))\n"
# The C++ runtime is linked into the module. A version of libstdc++'s would tie the wheel
# to systems whose libstdc++ is as new as the build's, which no manylinux tag expresses.
CXX_RUNTIME_VERSION = re.compile(r"(GLIBCXX|CXXABI)_")
# The newest of the tags (a manylinux2014 wheel carries the legacy alias first).
MANYLINUX_TAG = re.compile(r"[-.]manylinux_(\d+)_(\d+)_\w+\.whl$")
# The newest glibc a wheel may need, per machine: the floors the docs promise (Amazon
# Linux 2's 2.26 on x86-64; aarch64's first glibc, 2.17). The highest symbol version the
# module needs sets the tag auditwheel gives, so a newer one fails here.
FLOOR = {"x86_64": (2, 26), "aarch64": (2, 17)}


def fail(message):
    sys.exit(f"check_package: {message}")


def run(*argv, **kwargs):
    """The command's output; its whole output and the end of the check if it fails."""
    print("$", *("<script>" if "\n" in str(arg) else arg for arg in argv), flush=True)
    result = subprocess.run(argv, text=True, capture_output=True, **kwargs)
    if result.returncode != 0:
        fail(f"exit {result.returncode}\n{result.stdout}{result.stderr}")
    return result.stdout


def check_sdist(path):
    with tarfile.open(path) as sdist:
        names = [name.split("/", 1)[1] for name in sdist.getnames() if "/" in name]
    unwanted = [name for name in names if SDIST_NEVER.search(name)]
    if unwanted:
        fail(f"the sdist holds what it should not: {unwanted}")
    sources = [p.relative_to(TOP).as_posix() for p in (TOP / "src").rglob("*")
               if p.is_file() and "__pycache__" not in p.parts]
    missing = sorted(set(SDIST_TOP + sources) - set(names))
    if missing:
        fail(f"the sdist lacks {missing}")
    print(f"sdist: {len(names)} files, all of src/ among them")


def check_wheel(path, machine):
    with zipfile.ZipFile(path) as wheel:
        # auditwheel's rewrite lists folders too; only files matter here.
        names = sorted(name for name in wheel.namelist() if not name.endswith("/"))
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = wheel.read(f"{dist_info}/METADATA").decode()
        stub = wheel.read("_quillmere_core.pyi")
        stub_package = wheel.read("_quillmere_core-stubs/__init__.pyi")
    modules = [n for n in names if MODULE.fullmatch(n)]
    expected = sorted(modules + [n.format(dist_info=dist_info) for n in WHEEL_FILES])
    if len(modules) != 1 or names != expected:
        fail(f"the wheel holds {names}")
    if not modules[0].endswith(f"-{machine}-linux-gnu.so") or not path.name.endswith(f"_{machine}.whl"):
        fail(f"{path.name} holding {modules[0]} is not for {machine}")
    if stub != stub_package or stub != (TOP / "src/ipc_probe/_quillmere_core.pyi").read_bytes():
        fail("the stubs in the wheel differ from src/ipc_probe/_quillmere_core.pyi")
    readme_title = (TOP / "README.md").read_text().splitlines()[0]
    if "License-Expression: MIT" not in metadata or f"\n\n{readme_title}\n" not in metadata:
        fail("METADATA lacks the license or the README")
    print("wheel:", *names, sep="\n  ")


def elf_machine_and_versions(elf_bytes):
    """The shared object's machine, and the symbol versions it needs by the library that
    provides them."""
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection

    elf = ELFFile(io.BytesIO(elf_bytes))
    machine = elf.header["e_machine"]
    needs = next((section for section in elf.iter_sections()
                  if isinstance(section, GNUVerNeedSection)), None)
    if needs is None:
        return machine, {}
    return machine, {library.name: {version.name for version in versions}
                     for library, versions in needs.iter_versions()}


def glibc_floor(versions):
    """The newest GLIBC_x.y among `versions`, as (x, y)."""
    return max((tuple(map(int, v.removeprefix("GLIBC_").split("."))) for v in versions
                if re.fullmatch(r"GLIBC_\d+\.\d+(\.\d+)?", v)), default=(2, 0))[:2]


def audit_wheel(wheel, outdir, machine):
    """The wheel repaired to the manylinux tag its glibc symbols allow. Fails if the module
    is for another machine, needs the C++ runtime from the system, or a library no
    manylinux policy allows."""
    print(run("auditwheel", "show", wheel), end="")
    with zipfile.ZipFile(wheel) as archive:
        (module,) = (name for name in archive.namelist() if MODULE.fullmatch(name))
        elf_machine, needs = elf_machine_and_versions(archive.read(module))
    if elf_machine != ELF_MACHINES[machine]:
        fail(f"{module} is built for {elf_machine}, not {machine}")
    runtime = sorted(v for versions in needs.values() for v in versions
                     if CXX_RUNTIME_VERSION.match(v))
    if runtime:
        fail(f"the module needs the system's C++ runtime: {runtime}")
    run("auditwheel", "repair", "--wheel-dir", outdir, wheel)
    (repaired,) = outdir.glob("*.whl")
    with zipfile.ZipFile(repaired) as archive:
        # repair copies into the wheel whatever the policy does not let it take from the system.
        grafted = [name for name in archive.namelist()
                   if ".libs/" in name and not name.endswith("/")]
    if grafted:
        fail(f"the module needs libraries outside the manylinux policy: {grafted}")
    tag = MANYLINUX_TAG.search(repaired.name)
    floor = glibc_floor(set().union(*needs.values()))
    if tag is None or (int(tag[1]), int(tag[2])) < floor:
        fail(f"{repaired.name} is no manylinux wheel for glibc {floor[0]}.{floor[1]}")
    promised = FLOOR[machine]
    if (int(tag[1]), int(tag[2])) > promised:
        newer = sorted(v for v in set().union(*needs.values()) if v.startswith("GLIBC_")
                       and glibc_floor({v}) > promised)
        fail(f"{repaired.name} needs a glibc newer than {promised[0]}.{promised[1]}: {newer}; "
             "give each new version a forward in src/common/glibc_floor.cpp")
    print(f"repaired: {repaired.name} (the module needs glibc {floor[0]}.{floor[1]})")
    return repaired


def check_installed(python, where, *, type_check=True):
    out = run(python, "-c", SMOKE, env=CLEAN_ENV, cwd=where).splitlines()
    if not out[0].startswith(str(Path(python).parents[1])) or out[1:] != [
            "ctl: 1 msgs | avg 100.0µs | p99 100.0µs | peak depth 0 True"]:
        fail(f"the installed module misbehaves: {out}")
    if not type_check:
        print(f"installed into {Path(python).parents[1].name}: imports and works")
        return
    (where / "usage.py").write_text(USAGE)
    if mypy_command() is None:
        fail("no mypy runs here to check the installed stub")
    typed = run(*mypy_command(), "--python-executable", python, "--no-incremental",
                "usage.py", env=CLEAN_ENV, cwd=where)
    if 'Revealed type is "tuple[int, int]"' not in typed:
        fail(f"mypy does not find the installed stub:\n{typed}")
    print(f"installed into {Path(python).parents[1].name}: imports, and mypy finds the stub")


def install_only(wheel):
    """The wheel installed into a fresh venv on this system, imported and tried."""
    with tempfile.TemporaryDirectory(prefix="quillmere-install-") as tmp:
        tmp = Path(tmp)
        run(sys.executable, "-m", "venv", tmp / "wheel-venv")
        run(tmp / "wheel-venv/bin/pip", "install", "--no-index", "--quiet", wheel.resolve())
        # The stub is the same file on every machine; the type check ran where it was built.
        check_installed(tmp / "wheel-venv/bin/python", tmp, type_check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--target", choices=sorted(ELF_MACHINES),
                        help="cross-compile the wheel for this machine (needs --toolchain)")
    parser.add_argument("--toolchain", type=Path, help="the CMake toolchain file for --target")
    parser.add_argument("--keep", type=Path, help="copy the repaired wheel into this folder")
    parser.add_argument("--install", type=Path, metavar="WHEEL",
                        help="only install WHEEL into a venv here and try it")
    args = parser.parse_args()
    if args.install:
        install_only(args.install)
        print("install check passed")
        return
    if bool(args.target) != bool(args.toolchain):
        parser.error("--target and --toolchain go together")
    machine = args.target or platform.machine()
    build_env = None
    build_settings = []
    if args.target:
        # The toolchain file names the compiler, the target's system, its headers and its
        # module suffix (CMake reads it from the environment: scikit-build-core 0.12
        # refuses its own setting for it). The interpreter running the build is this
        # machine's, so its hints for FindPython would be wrong, and so would the wheel's
        # platform tag, which is given here.
        build_settings = ["-Ccmake.python-hints=false"]
        build_env = {**os.environ, "CMAKE_TOOLCHAIN_FILE": str(args.toolchain.resolve()),
                     "_PYTHON_HOST_PLATFORM": f"linux-{args.target}"}
    with tempfile.TemporaryDirectory(prefix="quillmere-package-") as tmp:
        tmp = Path(tmp)
        dist = tmp / "dist"
        # The wheel is built from the unpacked sdist, which proves the sdist complete.
        run(sys.executable, "-m", "build", "--no-isolation", *build_settings, "--outdir", dist,
            TOP, env=build_env)
        (sdist,), (wheel,) = dist.glob("*.tar.gz"), dist.glob("*.whl")
        check_sdist(sdist)
        wheel = audit_wheel(wheel, tmp / "wheelhouse", machine)
        check_wheel(wheel, machine)
        if args.keep:
            shutil.rmtree(args.keep, ignore_errors=True)
            args.keep.mkdir(parents=True)
            shutil.copy2(wheel, args.keep)
            print(f"kept {args.keep / wheel.name}")
        if args.target:
            print(f"package checks passed for {args.target}; installing is for --install there")
            return

        run(sys.executable, "-m", "venv", tmp / "wheel-venv")
        run(tmp / "wheel-venv/bin/pip", "install", "--no-index", "--quiet", wheel)
        check_installed(tmp / "wheel-venv/bin/python", tmp)

        # pip building from the checkout: the build backend comes from the system.
        run(sys.executable, "-m", "venv", "--system-site-packages", tmp / "pip-venv")
        run(tmp / "pip-venv/bin/pip", "install", "--no-index", "--no-build-isolation",
            "--quiet", TOP)
        check_installed(tmp / "pip-venv/bin/python", tmp)
    print("package checks passed")


if __name__ == "__main__":
    main()
