// Module states, and each interpreter's entry of this copy's objects.
#include "boundary/interpreter_objects.h"

#include <cstdint>
#include <format>
#include <string>

namespace ipc_probe::py {
namespace {

ModuleState* state_to_fill(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

const ModuleState* filled(const ModuleState* state) noexcept {
    return state != nullptr && state->panic_type != nullptr ? state : nullptr;
}

// This copy's key in each interpreter's state dictionary. It holds the address of a
// variable of this copy, which no other copy loaded into the process shares.
const char key_anchor = 0;
PyResult<Ref> entry_key() {
    static const std::string key = std::format("_quillmere_core.objects.{:#x}",
                                               reinterpret_cast<std::uintptr_t>(&key_anchor));
    if (PyObject* made = PyUnicode_FromString(key.c_str())) return Ref::steal(made);
    return std::unexpected(Error::fetch());
}

// Whether the interpreter has torn its modules down. From then on nothing may ask for its
// state dictionary, which would be made again and never cleared, and the cycles an exec
// makes (functions and classes hold their module) are never collected. `key` names no
// module, so looking it up runs no import machinery.
bool past_module_teardown(PyObject* key) noexcept {
    if (Ref module = Ref::steal(PyImport_GetModule(key)); module || !PyErr_Occurred()) return false;
    PyErr_Clear();  // "unable to get sys.modules"
    return true;
}

// PanicException, then the classes in their order.
PyResult<Ref> make_entry(PyObject* module, const ClassDef* const (&classes)[kClassCount],
                         ObjectMakers make) {
    Ref entry = Ref::steal(PyTuple_New(1 + kClassCount));
    if (!entry) return std::unexpected(Error::fetch());
    PyResult<Ref> panic = make.panic_type();
    if (!panic) return panic;
    PyTuple_SET_ITEM(entry.get(), 0, panic->release());
    for (std::size_t i = 0; i < kClassCount; ++i) {
        PyResult<Ref> type = make.type(*classes[i], module);
        if (!type) return type;
        PyTuple_SET_ITEM(entry.get(), static_cast<Py_ssize_t>(i + 1), type->release());
    }
    return entry;
}

PyResult<Ref> interpreter_entry(PyObject* module, const ClassDef* const (&classes)[kClassCount],
                                ObjectMakers make) {
    PyResult<Ref> key = entry_key();
    if (!key) return key;
    if (past_module_teardown(key->get())) {
        return std::unexpected(Error::lazy(PyExc_PythonFinalizationError,
                                           "cannot execute the module at interpreter shutdown"));
    }
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) return std::unexpected(Error::panic("the interpreter has no state dictionary"));
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict, key->get(), &found) < 0) return std::unexpected(Error::fetch());
    if (found != nullptr) return Ref::steal(found);
    PyResult<Ref> made = make_entry(module, classes, make);
    if (!made) return made;
    // Another thread of the interpreter may store its entry first; then that one is used.
    if (PyDict_SetDefaultRef(dict, key->get(), made->get(), &found) < 0) {
        return std::unexpected(Error::fetch());
    }
    return Ref::steal(found);
}

}  // namespace

const ModuleState* state_of_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) return nullptr;  // an exec routine given something else
    return filled(static_cast<const ModuleState*>(PyModule_GetState(module)));
}

const ModuleState* state_of_class(PyTypeObject* type) noexcept {
    // Null where the collector has cleared the class's reference to its module.
    const auto* state = static_cast<const ModuleState*>(PyType_GetModuleState(type));
    if (state == nullptr) PyErr_Clear();
    return filled(state);
}

Error state_cleared() {
    return Error::lazy(PyExc_PythonFinalizationError, "cannot call the module at interpreter shutdown");
}

PyResult<PyTypeObject*> class_in(const ModuleState* state, const ClassDef& def) {
    if (state != nullptr) {
        for (std::size_t i = 0; i < kClassCount; ++i) {
            if (state->defs[i] == &def) return reinterpret_cast<PyTypeObject*>(state->types[i]);
        }
        return std::unexpected(Error::panic("a class the module does not have"));
    }
    return std::unexpected(state_cleared());
}

Status fill_module_state(PyObject* module, const ClassDef* const (&classes)[kClassCount],
                         ObjectMakers make) {
    ModuleState* state = state_to_fill(module);
    if (state == nullptr) return std::unexpected(Error::fetch());
    PyResult<Ref> entry = interpreter_entry(module, classes, make);
    if (!entry) return std::unexpected(std::move(entry).error());
    Ref add_note = Ref::steal(PyUnicode_InternFromString("add_note"));
    if (!add_note) return std::unexpected(Error::fetch());
    // A module object executed again (PyModule_ExecDef) drops its first run's references.
    clear_module(module);
    state->panic_type = Py_NewRef(PyTuple_GET_ITEM(entry->get(), 0));
    state->add_note = add_note.release();
    for (std::size_t i = 0; i < kClassCount; ++i) {
        state->defs[i] = classes[i];
        state->types[i] = Py_NewRef(PyTuple_GET_ITEM(entry->get(), static_cast<Py_ssize_t>(i + 1)));
    }
    return {};
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
#if PY_VERSION_HEX >= 0x030F0000
    // From 3.15 a traverse function may call only what is documented as safe during
    // collection; this reads the state with no side effect.
    const auto* state = static_cast<const ModuleState*>(PyModule_GetState_DuringGC(module));
#else
    const auto* state = static_cast<const ModuleState*>(PyModule_GetState(module));
#endif
    if (state == nullptr) return 0;
    Py_VISIT(state->panic_type);
    Py_VISIT(state->add_note);
    for (PyObject* type : state->types) Py_VISIT(type);
    return 0;
}

int clear_module(PyObject* module) {
    if (ModuleState* state = state_to_fill(module)) {
        Py_CLEAR(state->panic_type);
        Py_CLEAR(state->add_note);
        for (PyObject*& type : state->types) Py_CLEAR(type);
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

}  // namespace ipc_probe::py
