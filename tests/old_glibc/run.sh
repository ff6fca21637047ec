#!/bin/sh
# Run by ./dev oldglibc inside a root of an old Debian release: loads the module built in
# BUILD_DIR as CPython would, with every symbol bound at once, and runs the core's checks
# (floor_probe.cpp) on that root's glibc. No CPython 3.14 runs on such a glibc, so a stub
# library provides the CPython symbols the module imports; nothing calls them.
# usage: tests/old_glibc/run.sh BUILD_DIR
set -eu
build=$1
module=$(echo "$build"/_quillmere_core.cpython-*.so)
work=$(mktemp -d)
nm -D --undefined-only "$module" \
  | awk '$NF ~ /^_?Py/ { sub(/@.*/, "", $NF); print "char " $NF "[64];" }' >"$work/stub.c"
gcc -shared -fPIC -o "$work/libpython_stub.so" "$work/stub.c"
gcc -O1 -Wall -Werror -o "$work/loader" tests/old_glibc/loader.c -ldl
"$work/loader" "$work/libpython_stub.so" "$module" "$build/tests/floor_probe.so"
