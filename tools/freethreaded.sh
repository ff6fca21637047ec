# The free-threaded interpreters, which Debian does not ship: built once from the CPython
# release source beside the checkout (../shared/cpython) and installed into the build root,
# where they stay for later runs. python3.14t (QUILLMERE_PYTHON=3.14t) is the plain build;
# python3.14t-tsan, built for `QUILLMERE_PYTHON=3.14t ./dev tsan` only, is the same
# interpreter instrumented by ThreadSanitizer, as CPython checks its own free-threaded
# build. Sourced by ./dev on the host, so it uses its say, die, TOP, ROOT_DIR and
# run_chrooted.
# shellcheck shell=bash disable=SC2016  # the inline script gets its values as arguments

FT_VERSION=3.14.7
FT_TARBALL=$TOP/../shared/cpython/cpython-$FT_VERSION.tar.xz
# Inside the build root; python3.14t is linked into /usr/local/bin.
FT_PREFIX=/opt/cpython-${FT_VERSION}t
FT_TSAN_PREFIX=/opt/cpython-${FT_VERSION}t-tsan
# CPython's own list of the reports its free-threaded build is known to give, copied from
# the source into the TSan build's prefix. It names interpreter functions only: a report
# whose top frame is the module's is never suppressed.
FT_TSAN_SUPPRESSIONS=$FT_TSAN_PREFIX/lib/tsan-suppressions.txt
# What building it takes from Debian, on top of the root's compilers: the standard modules
# that the tests, examples and packaging use (ssl for the exporters, zlib for wheels and
# venvs, ctypes, the compressors of tarfile, sqlite3, uuid, readline for ./dev shell).
FT_BUILD_PACKAGES=(make xz-utils pkg-config libffi-dev zlib1g-dev libbz2-dev liblzma-dev
                   libzstd-dev libexpat1-dev libssl-dev libsqlite3-dev uuid-dev libreadline-dev)
# A shared libpython for the embedding test, found by the path recorded in python3.14t.
# CPython's own test modules, which nothing here imports, are left out, to build and
# install faster.
FT_CONFIGURE=(--disable-gil --disable-test-modules --prefix="$FT_PREFIX" --with-ensurepip=no
              --enable-shared "LDFLAGS=-Wl,-rpath,$FT_PREFIX/lib")
FT_TSAN_CONFIGURE=(--disable-gil --with-thread-sanitizer --disable-test-modules
                   --prefix="$FT_TSAN_PREFIX" --with-ensurepip=no --enable-shared
                   "LDFLAGS=-Wl,-rpath,$FT_TSAN_PREFIX/lib")
# Where Debian's Python libraries live. Its pure-Python ones (pytest, hypothesis, the
# exporters, build...) serve the free-threaded interpreter as they serve every version;
# its compiled ones are built for the interpreter with the GIL, and those of the stable ABI
# (psutil) would even load and then crash: the interpreter is given the folder's Python
# files only, so that such an import fails as if the package were not there.
FT_DEBIAN_PURE=$(cat <<'PY'
"""Debian's dist-packages, Python files only (see tools/freethreaded.sh)."""
import sys
from importlib.machinery import FileFinder, SourceFileLoader, SOURCE_SUFFIXES

FOLDER = "/usr/lib/python3/dist-packages"
_python_files_only = FileFinder.path_hook((SourceFileLoader, SOURCE_SUFFIXES))


def _finder(path):
    if path == FOLDER or path.startswith(FOLDER + "/"):
        return _python_files_only(path)
    raise ImportError("not in Debian's dist-packages")


sys.path_hooks.insert(0, _finder)
sys.path_importer_cache.pop(FOLDER, None)
if FOLDER not in sys.path:
    sys.path.append(FOLDER)
PY
)

# ensure_freethreaded_python [tsan]: the build root has python3.14t (or python3.14t-tsan),
# built now if it has not (or was built another way: the stamp holds the version,
# configuration and packages).
ensure_freethreaded_python() {
  local name=python3.14t prefix=$FT_PREFIX what="without the GIL" minutes=five
  local -a options=("${FT_CONFIGURE[@]}")
  if [[ ${1:-} == tsan ]]; then
    name=python3.14t-tsan prefix=$FT_TSAN_PREFIX what="without the GIL, under ThreadSanitizer," minutes=ten
    options=("${FT_TSAN_CONFIGURE[@]}")
  fi
  local stamp=$ROOT_DIR$prefix/.quillmere-built
  local want="$FT_VERSION ${options[*]} ${FT_BUILD_PACKAGES[*]}"
  [[ -f $stamp && $(<"$stamp") == "$want" ]] && return
  [[ -f $FT_TARBALL ]] || die "no CPython source at $FT_TARBALL (the free-threaded interpreter is built from it)"
  ensure_debian_root "$ROOT_DIR" testing "${ROOT_PACKAGES[@]}" "${FT_BUILD_PACKAGES[@]}"
  local lock
  exec {lock}>"$ROOT_DIR.cpython.lock"
  if ! flock -n "$lock"; then
    say "waiting for another ./dev to finish building an interpreter"
    flock "$lock"
  fi
  if [[ ! -f $stamp || $(<"$stamp") != "$want" ]]; then
    local log=$ROOT_DIR.$name.log start=$SECONDS
    say "building CPython $FT_VERSION $what into $ROOT_DIR$prefix (about $minutes minutes, once; log: $log)"
    if ! run_chrooted --bind "$(dirname -- "$FT_TARBALL"):/cpython-source" "$ROOT_DIR" /bin/bash -ec '
        version=$1 prefix=$2 name=$3 pure=$4 suppressions=$5; shift 5
        work=/var/tmp/$name-build
        rm -rf "$work" "$prefix"
        mkdir -p "$work"
        cd "$work"
        tar -xJf "/cpython-source/cpython-$version.tar.xz"
        mkdir build && cd build
        "../cpython-$version/configure" "$@"
        make -j"$(nproc)"
        make install
        export TSAN_OPTIONS=
        if [[ $name == *-tsan ]]; then
          cp "../cpython-$version/Tools/tsan/suppressions_free_threading.txt" "$suppressions"
          TSAN_OPTIONS="suppressions=$suppressions"
        fi
        cd / && rm -rf "$work"
        ln -sfn "$prefix/bin/python3.14t" "/usr/local/bin/$name"
        site=$("$prefix/bin/python3.14t" -c "import sysconfig; print(sysconfig.get_path(\"purelib\"))")
        printf "%s\n" "$pure" >"$site/_quillmere_debian_pure.py"
        echo "import _quillmere_debian_pure" >"$site/debian-packages.pth"
        "$prefix/bin/python3.14t" -c "
import sys, ssl, pytest, hypothesis
assert not sys._is_gil_enabled()
try:
    import psutil
except ImportError:
    pass
else:
    raise SystemExit(\"psutil of the stable ABI was found\")"
      ' ft-build "$FT_VERSION" "$prefix" "$name" "$FT_DEBIAN_PURE" "$FT_TSAN_SUPPRESSIONS" \
        "${options[@]}" >"$log" 2>&1 </dev/null; then
      tail -n 30 "$log" >&2
      die "building the free-threaded CPython failed (full log: $log)"
    fi
    printf '%s\n' "$want" >"$stamp"
    say "$name ready after $((SECONDS - start)) s"
  fi
  exec {lock}>&-
}
