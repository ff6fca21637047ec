# Cross-compiling for aarch64 in the build root (./dev aarch64, ./dev aarch64-package):
# Debian's cross compiler, with the Debian arm64 root that ./dev mounts at /sysroot/aarch64
# as the system to build against. Programs (CMake, Ninja, the interpreter that runs the
# build) come from the build root; headers, libraries and CMake packages from the arm64 one.
# QUILLMERE_PYTHON_VERSION (3.14 unless given, from the command line or the environment)
# names the target interpreter.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT /sysroot/aarch64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The interpreter found is the build root's x86-64 one, which can tell neither where the
# target's CPython headers are nor what its extension modules are called; the target's own
# build configuration can. Without the suffix the module is named _quillmere_core.so:
# importable, but not what a wheel should hold.
if(NOT QUILLMERE_PYTHON_VERSION)
  if(DEFINED ENV{QUILLMERE_PYTHON})
    set(QUILLMERE_PYTHON_VERSION "$ENV{QUILLMERE_PYTHON}")
  else()
    set(QUILLMERE_PYTHON_VERSION 3.14)
  endif()
endif()
# Checks of the compiler's abilities run with this file too, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLMERE_PYTHON_VERSION)
file(GLOB _quillmere_sysconfig
     "${CMAKE_SYSROOT}/usr/lib/python${QUILLMERE_PYTHON_VERSION}/_sysconfigdata__*aarch64-linux-gnu.py")
if(NOT _quillmere_sysconfig)
  message(FATAL_ERROR "no CPython ${QUILLMERE_PYTHON_VERSION} build configuration in ${CMAKE_SYSROOT}")
endif()
list(GET _quillmere_sysconfig 0 _quillmere_sysconfig)
foreach(_quillmere_key IN ITEMS SOABI INCLUDEPY)
  file(STRINGS "${_quillmere_sysconfig}" _quillmere_value REGEX "'${_quillmere_key}': '[^']+'")
  string(REGEX REPLACE ".*'${_quillmere_key}': '([^']+)'.*" "\\1" _quillmere_${_quillmere_key}
         "${_quillmere_value}")
endforeach()
if(NOT _quillmere_SOABI MATCHES "^cpython-[0-9]+-aarch64-linux-gnu$"
   OR NOT EXISTS "${CMAKE_SYSROOT}${_quillmere_INCLUDEPY}/Python.h")
  message(FATAL_ERROR "${_quillmere_sysconfig} gives SOABI '${_quillmere_SOABI}' and "
                      "INCLUDEPY '${_quillmere_INCLUDEPY}', which do not fit an aarch64 CPython")
endif()
set(Python_SOABI "${_quillmere_SOABI}" CACHE STRING "the target's extension module ABI tag")
set(Python_INCLUDE_DIR "${CMAKE_SYSROOT}${_quillmere_INCLUDEPY}" CACHE PATH
    "the target's CPython headers")
