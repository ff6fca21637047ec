// Interpreter objects the module makes on first need and keeps for as long as the
// interpreter that made them: the class type objects, PanicException and interned names.
#pragma once

#include <Python.h>

#include "boundary/error.h"

namespace ipc_probe::py {

struct ClassDef;

// Every interpreter gets its own set, held in its state dictionary and released when that
// interpreter is cleared. Nothing made in one interpreter is used by another: type version
// tags, method caches, specialised bytecode and (for isolated interpreters) the allocator
// are all per interpreter, so a type shared between two would be dispatched on wrongly or
// outlive the memory it lives in. Within one interpreter the objects stay the same, so a
// re-imported module gets the same classes.
//
// Every loaded copy of the module keeps a set of its own, under a key no other copy can
// name: two packages may each vendor a copy, of another version and so of another layout,
// and each copy's classes are its own.
//
// Each module object holds the objects too, in its state, and each class holds the module
// object that made it; the collector sees all of these references. So a call that comes
// once the interpreter has torn its modules down (a finalizer run as it clears its state
// dictionary, or by its last collection) finds its objects in a module object of its
// interpreter, rather than through a new dictionary and a new set that nothing would ever
// clear. Such a call never asks for the dictionary, which would be made again then.
//
// Each returns a new reference. Cells are filled with compare-and-swap, so any number of
// threads may ask at once, with or without an interpreter lock.
using MakeType = PyResult<Ref> (*)(const ClassDef&, PyObject* module);
// `module` makes the type where the interpreter has none yet; the exec routine passes its
// module, and later lookups pass null (the type exists by then).
PyResult<Ref> interpreter_type(const ClassDef& def, PyObject* module, MakeType make);
using MakePanicType = PyResult<Ref> (*)();
PyResult<Ref> interpreter_panic_type(MakePanicType make);
PyResult<Ref> interpreter_name(InternedName which);

// Whether `type` is the PanicException that the current interpreter made. Never fails,
// makes nothing, and leaves the error indicator as it found it.
bool is_interpreter_panic_type(PyTypeObject* type) noexcept;

// The module object's part of its exec routine. First, `prepare_module` makes the module's
// state, or refuses (PythonFinalizationError) once the interpreter has torn its modules
// down. Then, once every object of the set is made and before any function or class is
// handed out, `keep_in_module`: the module object takes its references to them and offers
// them to the interpreter's late calls, so that a routine that fails midway leaves its
// functions and classes nothing to make.
Status prepare_module(PyObject* module);
Status keep_in_module(PyObject* module);
// The module definition's m_size (room for the state, which its definition checks; a
// constant, so that the definition is static data), m_traverse, m_clear and m_free.
inline constexpr Py_ssize_t kModuleStateSize = 256;
int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

}  // namespace ipc_probe::py
