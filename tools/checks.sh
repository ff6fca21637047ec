# The reliability checks behind `./dev asan | tsan | refleak | soak | valgrind | fuzz |
# stress | check`. Sourced by ./dev inside the environment, so it uses its say, die,
# configure, build and with_module, $PY, $PYVER, $ENV_NAME and $BUILD_DIR. Each check builds
# in its own folder, build/<env>-<version>-<check>, from the CMake preset of its name.
# shellcheck shell=bash

# libFuzzer executions per target for `./dev fuzz` without arguments (and so for CI):
# each about half a minute on one idle core.
FUZZ_TARGETS=(status_fuzzer utf8_fuzzer)
declare -A FUZZ_RUNS=([status_fuzzer]=1000000 [utf8_fuzzer]=600000)

# Every sanitizer report ends the run with a failure; none may scroll past.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# ASan's quarantine holds freed memory back to catch late uses; at 64 MiB (default 256) a
# freed 128 MiB burst still leaves at once, as the sampler's peak tests expect.
asan_options() {
  echo "detect_leaks=$1:quarantine_size_mb=64:check_initialization_order=1:strict_string_checks=1"
}

checks_asan() {
  local dir=$BUILD_DIR-asan
  configure "$dir" asan
  say "building $dir (AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake --build "$dir"
  say "native tests under ASan+UBSan, leak detection on"
  ASAN_OPTIONS=$(asan_options 1) ctest --test-dir "$dir" --output-on-failure --no-tests=error \
    || die "native tests failed under ASan+UBSan"
  # The interpreter is not instrumented, so the runtime must come first, before anything it
  # intercepts. libstdc++ too: the module loads it only after the runtime has started, too
  # late for the interceptor of __cxa_throw, and the first C++ throw would then abort.
  # PYTHONMALLOC=malloc puts every Python object on ASan's heap with red zones around it,
  # and leak detection sees them. The interpreter frees what it allocates by exit, so no
  # suppressions are needed.
  local preload
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  say "Python tests under ASan+UBSan, leak detection on"
  # tests/python/test_docs.py skips the sampler's example, which bounds the resident size
  # of a plain interpreter: shadow memory and the quarantine exceed it by tens of MiB.
  local rc=0
  ASAN_OPTIONS=$(asan_options 1) LD_PRELOAD=$preload PYTHONMALLOC=malloc \
    with_module "$dir" "$PY" -m pytest -q tests/python "$@" || rc=$?
  ((rc == 0)) || die "Python tests failed under ASan+UBSan (pytest exit $rc)"
  say "every entry point and error path under ASan+UBSan (tests/leaks/entry_points.py)"
  ASAN_OPTIONS=$(asan_options 1) LD_PRELOAD=$preload PYTHONMALLOC=malloc \
    with_module "$dir" "$PY" tests/leaks/entry_points.py --rounds 3 --skip out_of_memory \
    || die "entry points failed under ASan+UBSan"
}

checks_tsan() {
  [[ $PYVER != "$FREE_THREADED" ]] || { checks_tsan_free_threaded "$@"; return; }
  local dir=$BUILD_DIR-tsan
  configure "$dir" tsan
  say "building $dir (ThreadSanitizer, native tests only)"
  cmake --build "$dir" --target core_tests
  say "native tests under ThreadSanitizer"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error "$@" \
    || die "native tests failed under ThreadSanitizer"
}

# With no interpreter lock, every call the module takes from several threads at once runs
# truly in parallel. CPython built with ThreadSanitizer (python3.14t-tsan, which ./dev builds
# on the host) and the module built with it see every access of both: the Python suite and
# the stress tests run on them, and any report fails the check. Reports go to files, so that
# one from a subprocess whose exit status a test does not read is still seen. CPython's own
# suppressions name interpreter functions only. An impossible allocation fails as it does
# without the sanitizer (the tests of MemoryError make some), instead of ending the run.
# ThreadSanitizer cannot follow a thread started in a child forked from a process with
# threads, and by default ends such a child: the fork tests do just that (a sampler started
# in a pre-fork server's worker), so the child runs on, and only what it sees of the
# parent's threads goes unchecked.
checks_tsan_free_threaded() {
  local python=$FT_TSAN_PREFIX/bin/python3.14t
  [[ -x $python ]] || die "no $python here (./dev builds it in the build root)"
  local dir=$BUILD_DIR-tsan reports
  configure "$dir" tsan -DPython_EXECUTABLE="$python"
  say "building $dir (ThreadSanitizer, for python3.14t-tsan)"
  cmake --build "$dir"
  reports=$TOP/$dir/tsan-reports
  rm -rf "$reports" && mkdir -p "$reports" "$dir/bin"
  # Subprocesses that start `python3` get the instrumented interpreter too.
  ln -sfn "$python" "$dir/bin/python3"
  local rc=0
  say "Python tests and stress tests with no interpreter lock, under ThreadSanitizer"
  PATH=$TOP/$dir/bin:$PATH QUILLMERE_STRESS_SCALE=3 \
    TSAN_OPTIONS="$TSAN_OPTIONS:allocator_may_return_null=1:die_after_fork=0:suppressions=$FT_TSAN_SUPPRESSIONS:log_path=$reports/report" \
    with_module "$dir" "$python" -m pytest -q tests/python "$@" || rc=$?
  if compgen -G "$reports/report*" >/dev/null; then
    head -n 60 "$reports"/report* >&2
    die "ThreadSanitizer reported (every report: $reports)"
  fi
  ((rc == 0)) || die "Python tests failed under ThreadSanitizer (pytest exit $rc)"
}

checks_refleak() {
  local debug_python
  debug_python=$(command -v "python${PYVER}d") || die "no python${PYVER}d here (Debian: python$PYVER-dbg)"
  local dir=$BUILD_DIR-pydebug
  # Debian's debug headers are symbolic links to the release ones. GCC follows them to the
  # release folder and then takes the release pyconfig.h from there, unless told not to:
  # the module would load without a word and its references would not be counted.
  # The include folder is named too, so that one cached from another interpreter never wins.
  local include
  include=$("$debug_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  configure "$dir" pydebug -DPython_EXECUTABLE="$debug_python" -DPython_INCLUDE_DIR="$include"
  say "building $dir (against the debug interpreter's headers)"
  cmake --build "$dir"
  local module imports
  module=$dir/_quillmere_core$("$debug_python" -c \
    'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  imports=$(nm -D --undefined-only "$module")
  [[ $imports == *_Py_DECREF_DecRefTotal* ]] \
    || die "$module is a release build: its references would not be counted"
  say "Python tests under the debug interpreter (its assertions check every C-API call)"
  local rc=0
  with_module "$dir" "$debug_python" -m pytest -q tests/python "$@" || rc=$?
  ((rc == 0)) || die "Python tests failed under the debug interpreter (pytest exit $rc)"
  say "reference and block leaks of every entry point (tests/leaks/refleaks.py)"
  with_module "$dir" "$debug_python" tests/leaks/refleaks.py || die "leaks found"
}

checks_soak() {
  build "$BUILD_DIR"
  say "soak: heap, resident set, blocks and descriptors stay flat (tests/leaks/soak.py)"
  with_module "$BUILD_DIR" "$PY" tests/leaks/soak.py "$@" || die "soak failed"
}

checks_valgrind() {
  command -v valgrind >/dev/null || die "no valgrind here"
  build "$BUILD_DIR"
  say "every entry point under valgrind memcheck (no errors, no definite leak)"
  # With PYTHONMALLOC=malloc every Python object is a block valgrind tracks. Types and the
  # panic exception live until the process ends by design, and show as "possibly lost".
  PYTHONMALLOC=malloc with_module "$BUILD_DIR" valgrind --tool=memcheck --error-exitcode=99 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 "$PY" tests/leaks/entry_points.py --rounds 3 --skip out_of_memory \
    || die "valgrind found errors or definite leaks"
}

# ./dev fuzz [TARGET] [LIBFUZZER-ARGS...]: every target for FUZZ_RUNS executions, or one
# target with libFuzzer's own arguments (-max_total_time=600, -jobs=2, a crash file...).
checks_fuzz() {
  command -v clang++ >/dev/null || die "fuzzing needs clang++ with libFuzzer"
  local dir=$BUILD_DIR-fuzz
  configure "$dir" fuzz
  say "building $dir (libFuzzer + ASan + UBSan)"
  cmake --build "$dir" --target fuzzers
  local -a targets=("${FUZZ_TARGETS[@]}")
  if [[ $# -gt 0 && $1 != -* ]]; then
    [[ -n ${FUZZ_RUNS[$1]:-} ]] || die "no fuzz target $1 (there are: ${FUZZ_TARGETS[*]})"
    targets=("$1")
    shift
  fi
  local target
  for target in "${targets[@]}"; do
    # New inputs go to the first folder, outside the checkout's committed seeds.
    local work=$dir/corpus/$target log=$dir/$target.log
    mkdir -p "$work" "$dir/crashes"
    local -a options=("$@")
    [[ ${#options[@]} -gt 0 ]] || options=(-runs="${FUZZ_RUNS[$target]}")
    say "fuzzing $target ${options[*]}"
    if ! ASAN_OPTIONS=$(asan_options 1) "$dir/fuzz/$target" -print_final_stats=1 \
        -artifact_prefix="$dir/crashes/$target-" "${options[@]}" "$work" "fuzz/corpus/$target" \
        >"$log" 2>&1; then
      tail -n 40 "$log" >&2
      die "$target failed: the input is in $dir/crashes/, the whole log in $log"
    fi
    grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log" >&2 \
      || true
  done
}

checks_stress() {
  build "$BUILD_DIR"
  local scale=${1:-10}
  say "stress and model tests, $scale times the usual examples and iterations"
  QUILLMERE_STRESS_SCALE=$scale with_module "$BUILD_DIR" "$PY" -m pytest -q tests/python/test_stress.py \
    || die "stress tests failed"
}

# The free-threaded interpreter (3.14t, 3.15t) is not to be had here, so the module is compiled
# for it and not run: the same sources against the same headers with Py_GIL_DISABLED,
# which gives the free-threaded object layout and the free-threaded branches of the
# headers and of the module (its statistics take their thread-safe form). A source that
# only builds with the interpreter lock fails here.
checks_freethreaded() {
  local dir=$BUILD_DIR-freethreaded
  configure "$dir" freethreaded
  say "compiling $dir (the module for the free-threaded object layout)"
  cmake --build "$dir" --target _quillmere_core
  local module imports
  module=$(echo "$dir"/_quillmere_core.*.so)
  imports=$(nm -D --undefined-only "$module")
  # The layout really is the free-threaded one: reference counting went through its API.
  [[ $imports == *_Py_DecRefShared* ]] || die "$module was not compiled for the free-threaded layout"
}

# What CI runs after ./dev test: each check once, with how long it took.
checks_check() {
  local -a timings=()
  local check start
  for check in asan refleak soak valgrind tsan fuzz freethreaded; do
    start=$SECONDS
    "checks_$check"
    timings+=("$check $((SECONDS - start)) s")
  done
  say "all checks passed: ${timings[*]}"
}
