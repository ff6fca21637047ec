// What a call reaches through the module object it came through: the classes and
// PanicException, held in that module object's state. docs/explanation/concurrency.rst
// tells how this keeps interpreters, loaded copies and runtimes apart.
#pragma once

#include <Python.h>

#include <cstddef>

#include "boundary/error.h"

namespace ipc_probe::py {

struct ClassDef;

inline constexpr std::size_t kClassCount = 4;

// Strong references, all filled by the exec routine before it hands out a function or a
// class, and all emptied together when the module object is cleared (zeroed before exec).
struct ModuleState {
    PyObject* panic_type;
    PyObject* add_note;  // the interned method name, for conversion notes
    const ClassDef* defs[kClassCount];
    PyObject* types[kClassCount];
};

// The state of a module function's own module (its self), or of the module that made a
// class; these classes cannot be subclassed, so an instance's type is always the class.
// Null once the state is cleared; never leaves an error set.
const ModuleState* state_of_module(PyObject* module) noexcept;
const ModuleState* state_of_class(PyTypeObject* type) noexcept;

// The class's type object, or PythonFinalizationError where the state is cleared.
PyResult<PyTypeObject*> class_in(const ModuleState* state, const ClassDef& def);
// What a call raises where it finds the state cleared.
Error state_cleared();

// The exec routine's part: fills the module's state from the current interpreter's entry
// for this copy of the module, which the first exec in the interpreter makes, so that a
// re-imported module gets the same objects. Refused with PythonFinalizationError once the
// interpreter has torn its modules down.
struct ObjectMakers {
    PyResult<Ref> (*panic_type)();
    PyResult<Ref> (*type)(const ClassDef&, PyObject* module);
};
Status fill_module_state(PyObject* module, const ClassDef* const (&classes)[kClassCount],
                         ObjectMakers make);

int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

}  // namespace ipc_probe::py
