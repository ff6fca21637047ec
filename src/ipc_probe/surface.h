// What each subsystem's Python layer contributes to the module, in the order it is added.
//
// To add a module function:
//   1. the body (a plain function of C++ values) and its MethodEntry in the subsystem's
//      py_*.cpp, with an ArgumentSpec if it takes arguments (boundary/entries.h);
//   2. its extern declaration here, and its place in kFunctions in module.cpp (the order
//      of __all__);
//   3. the stub _quillmere_core.pyi, its entry in docs/reference/api.rst (./dev docs fails
//      while the reference lacks a name of the stub), and the names listed in
//      tests/python/test_module.py;
//   4. a scenario in tests/leaks/entry_points.py for success and each error path, which
//      the leak, soak, valgrind and sanitizer runs replay.
// To add a class, the same, with a ClassDef from define_class (and a ClassTraits
// specialisation where its defaults do not fit) in place of the MethodEntry, its place in
// kClasses, the core state's .cpp in the core library and the py_*.cpp in the module in
// CMakeLists.txt, and a native test of the core state in tests/core/.
#pragma once

#include "boundary/class_def.h"

namespace ipc_probe::py {

extern const MethodEntry kSnapshotResourcesFunction;
extern const MethodEntry kListOpenFdsFunction;
extern const MethodEntry kRegisterSignalPipeFunction;

extern const ClassDef kResourceSnapshotClass;
extern const ClassDef kBackgroundSamplerClass;
extern const ClassDef kIpcStatsClass;
extern const ClassDef kSocketStatsClass;

}  // namespace ipc_probe::py
