# Building and testing for aarch64 on an x86-64 machine: `./dev aarch64` and
# `./dev aarch64-package`. Sourced by ./dev.
#
# The module and the native tests are cross-compiled in the build root, with Debian's
# aarch64 cross compiler and a Debian testing arm64 root as the system they are built
# against (its CPython headers and GoogleTest). They run in that arm64 root, where
# the kernel hands every aarch64 program to qemu's user-mode emulator through binfmt_misc,
# so the tests' child processes, forks and interpreters run under emulation too. Compiling
# inside the emulated root instead takes about ten times as long.
# shellcheck shell=bash

# What the build root needs on top of its own list: the cross compiler, and qemu's
# user-mode emulator (Debian testing's is statically linked, so it runs in any root).
AARCH64_TOOL_PACKAGES=(g++-aarch64-linux-gnu qemu-user)
# The arm64 root: what the build takes from it (the CPython headers, GoogleTest for the
# native tests; the C++ runtime and glibc's headers come with the cross compiler), and
# what the suites run with (ctest is CMake's, objdump binutils').
AARCH64_ROOT_PACKAGES=(
  python3 python3-dev python3-venv python3.15 python3.15-dev python3.15-venv
  python3.13 python3.13-dev python3.13-venv
  libgtest-dev cmake binutils
  python3-pytest python3-hypothesis python3-prometheus-client python3-opentelemetry-sdk python3-mypy
  python3-opentelemetry-exporter-otlp-proto-http
)
AARCH64_ROOT_DIR=$(dirname -- "$ROOT_DIR")/arm64-root
# Where the build root sees the arm64 root (read-only) while it cross-compiles; the CMake
# toolchain file names it too.
AARCH64_SYSROOT=/sysroot/aarch64
AARCH64_TOOLCHAIN=tools/aarch64-toolchain.cmake
AARCH64_BUILD_DIR=build/aarch64-$PYVER
AARCH64_WHEELHOUSE=build/aarch64-$PYVER-wheelhouse

# What binfmt_misc matches aarch64 programs by: a 64-bit little-endian ELF header of
# machine 183, any OS ABI, an executable or a shared object (e_type 2 or 3, hence the
# 0xfe in the mask). Written as the kernel reads it.
AARCH64_ELF_MAGIC='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
AARCH64_ELF_MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
AARCH64_BINFMT=/proc/sys/fs/binfmt_misc

# ensure_aarch64_emulation: the kernel runs aarch64 programs through an emulator. An
# existing registration for them is left as it is; without one, the build root's
# qemu-aarch64 is registered, with flags F (the kernel opens the emulator now, so it runs
# inside any root), P (the program sees its own argv[0]) and C (set-user-ID programs keep
# their credentials). Registrations last until the next reboot.
ensure_aarch64_emulation() {
  if [[ ! -e $AARCH64_BINFMT/register ]]; then
    mount -t binfmt_misc binfmt_misc "$AARCH64_BINFMT" \
      || die "cannot mount binfmt_misc at $AARCH64_BINFMT (is the binfmt_misc module there?)"
    say "mounted binfmt_misc at $AARCH64_BINFMT (it was not mounted)"
  fi
  [[ $(<"$AARCH64_BINFMT/status") == enabled ]] \
    || die "binfmt_misc is disabled: echo 1 > $AARCH64_BINFMT/status, then try again"
  local magic entry
  magic=$(printf '%b' "$AARCH64_ELF_MAGIC" | od -An -tx1 -v | tr -d ' \n')
  for entry in "$AARCH64_BINFMT"/*; do
    [[ $entry == */register || $entry == */status ]] && continue
    grep -qx "magic $magic" "$entry" 2>/dev/null || continue
    [[ $(head -n1 "$entry") == enabled ]] \
      || die "the binfmt_misc entry $entry for aarch64 programs is disabled: enable it (echo 1 > $entry) or remove it (echo -1 > $entry)"
    say "aarch64 programs run through $(sed -n 's/^interpreter //p' "$entry")" \
      "(binfmt_misc entry ${entry##*/}, left as it is)"
    return
  done
  local qemu=$ROOT_DIR/usr/bin/qemu-aarch64
  [[ -x $qemu ]] || die "$qemu is missing (the build root's qemu-user)"
  # A dynamically linked emulator would look for its own loader inside the arm64 root.
  if chroot "$ROOT_DIR" readelf -lW /usr/bin/qemu-aarch64 | grep -q 'program interpreter'; then
    die "$qemu is dynamically linked; aarch64 programs in a root need a static one"
  fi
  printf ':qemu-aarch64:M::%s:%s:%s:FPC\n' "$AARCH64_ELF_MAGIC" "$AARCH64_ELF_MASK" "$qemu" \
    >"$AARCH64_BINFMT/register" || die "registering $qemu with binfmt_misc failed"
  say "registered $qemu with binfmt_misc for aarch64 programs (entry qemu-aarch64, flags FPC," \
    "until the next reboot; echo -1 > $AARCH64_BINFMT/qemu-aarch64 removes it)"
}

# ensure_aarch64: the build root with the cross tools, the emulator registered, and the
# arm64 root, each made or completed where it is not.
ensure_aarch64() {
  [[ $(id -u) == 0 ]] || die "./dev $CMD needs root (binfmt_misc, chroot): sudo ./dev $CMD"
  ensure_debian_root "$ROOT_DIR" testing "${ROOT_PACKAGES[@]}" "${AARCH64_TOOL_PACKAGES[@]}"
  ensure_aarch64_emulation
  ensure_debian_root --arch arm64 "$AARCH64_ROOT_DIR" testing "${AARCH64_ROOT_PACKAGES[@]}"
  chroot "$AARCH64_ROOT_DIR" /bin/true || die "aarch64 programs do not run in $AARCH64_ROOT_DIR"
}

# In the build root (the arm64 root mounted at AARCH64_SYSROOT): the module and the native
# tests, cross-compiled.
aarch64_build() {
  [[ -f $AARCH64_SYSROOT/etc/quillmere-root.packages ]] \
    || die "no arm64 root at $AARCH64_SYSROOT: run ./dev aarch64 on the host"
  # The toolchain file reads the target interpreter's configuration for this version.
  configure "$AARCH64_BUILD_DIR" dev -DCMAKE_TOOLCHAIN_FILE="$TOP/$AARCH64_TOOLCHAIN" \
    -DQUILLMERE_PYTHON_VERSION="$PYVER"
  say "cross-compiling $AARCH64_BUILD_DIR for aarch64 (CPython $PYVER)"
  cmake --build "$AARCH64_BUILD_DIR"
}

# In the arm64 root: the native and the Python suites, on what aarch64_build built.
aarch64_test() {
  [[ $(uname -m) == aarch64 ]] || die "./dev aarch64-test runs in the arm64 root: use ./dev aarch64"
  say "native tests (ctest) under emulation"
  ctest --test-dir "$AARCH64_BUILD_DIR" --output-on-failure --no-tests=error \
    || die "native tests failed on aarch64"
  say "Python tests (pytest) under emulation"
  local rc=0
  with_module "$AARCH64_BUILD_DIR" "$PY" -m pytest -q tests/python "$@" || rc=$?
  ((rc != 5)) || die "pytest ran no test"
  ((rc == 0)) || die "Python tests failed on aarch64 (pytest exit $rc)"
}

# On the host: ./dev aarch64 [PYTEST-ARGS...]
aarch64_main() {
  ensure_aarch64
  local start=$SECONDS
  run_chrooted --bind "$AARCH64_ROOT_DIR:$AARCH64_SYSROOT" "$ROOT_DIR" ./dev aarch64-build \
    || die "the aarch64 build failed"
  say "cross build done after $((SECONDS - start)) s"
  run_chrooted "$AARCH64_ROOT_DIR" ./dev aarch64-test "$@"
  say "all aarch64 tests passed under emulation, CPython $PYVER ($((SECONDS - start)) s)"
}

# On the host: ./dev aarch64-package. The sdist and the aarch64 wheel built from it in
# the build root, repaired and checked there as ./dev package does for x86-64; then the
# wheel installed into a venv in the arm64 root, where it must import and work.
aarch64_package_main() {
  ensure_aarch64
  run_chrooted --bind "$AARCH64_ROOT_DIR:$AARCH64_SYSROOT" "$ROOT_DIR" \
    "python$PYVER" tests/packaging/check_package.py --target aarch64 \
    --toolchain "$AARCH64_TOOLCHAIN" --keep "$AARCH64_WHEELHOUSE" \
    || die "the aarch64 wheel fails its checks"
  local -a wheels=("$TOP/$AARCH64_WHEELHOUSE"/*.whl)
  [[ ${#wheels[@]} == 1 && -f ${wheels[0]} ]] || die "expected one wheel in $AARCH64_WHEELHOUSE"
  say "installing ${wheels[0]##*/} in the arm64 root"
  run_chrooted "$AARCH64_ROOT_DIR" "python$PYVER" tests/packaging/check_package.py \
    --install "$AARCH64_WHEELHOUSE/${wheels[0]##*/}" \
    || die "the aarch64 wheel does not work once installed"
}
