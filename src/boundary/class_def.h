// How a class is described, laid out in memory, and turned into a type object.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>

#include "boundary/binding.h"
#include "boundary/error.h"

namespace ipc_probe::py {

// Per-class facts the instance layout depends on; a class's Python layer specialises it.
template <class State>
struct ClassTraits {
    static constexpr bool weak_references = false;
    // Whether calls count their borrows of an instance, which only matters where some
    // row takes the exclusive borrow. Where none does, a shared borrow can never be
    // refused, so calls skip the counter (two atomic operations per call on the recording
    // hot path); a class that clears this cannot have an exclusive row.
    static constexpr bool counts_borrows = true;
};

// An instance: the object header, the native state, the borrow counter, whether the state
// was built, and for classes with weak references the list pointer as the last word. The
// state is constructed in place only once the interpreter has allocated the object.
// `built` stays false (the interpreter zeroes new objects) in an instance made by anything
// but this class's own constructor, as when Python code replaces the class's __new__ with
// one that calls object.__new__: such an instance has no state to use or destroy.
template <class State, bool kWeak = ClassTraits<State>::weak_references>
struct Instance {
    PyObject header;
    alignas(State) std::byte state[sizeof(State)];
    Py_ssize_t borrow;
    bool built;
};
template <class State>
struct Instance<State, true> {
    PyObject header;
    alignas(State) std::byte state[sizeof(State)];
    Py_ssize_t borrow;
    bool built;
    PyObject* weak_list;
};

template <class State>
Instance<State>* instance_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<State>*>(self);
}
template <class State>
State& state_of(PyObject* self) noexcept {
    return *std::launder(reinterpret_cast<State*>(instance_of<State>(self)->state));
}

// A generated entry point, the calling convention it was generated for, the parameters
// it binds (none for a call without arguments), and whether it is a method. A module
// function gets its module as self, and its text signature leaves it out.
struct Callable {
    PyCFunction noargs = nullptr;
    PyCFunctionFastWithKeywords fastcall = nullptr;
    int flags = 0;
    const ArgumentSpec* spec = nullptr;
    bool method = false;
};

// A function or method. Its doc string is its text signature, derived from the callable.
struct MethodEntry {
    const char* name;
    Callable callable;
};

struct GetterEntry {
    const char* name;
    getter get;
};

// A generated constructor and the parameters it binds.
struct Constructor {
    newfunc construct = nullptr;
    const ArgumentSpec* spec = nullptr;
};

// Everything the interpreter sees of one class, in the order it lists it.
struct ClassDef {
    const char* name;
    // What the class is for: its doc string, after the constructor's text signature (where
    // there is one).
    const char* description = "";
    Constructor constructor = {};  // none: Python cannot instantiate the class
    std::span<const MethodEntry> methods = {};
    std::span<const GetterEntry> getters = {};
    reprfunc repr = nullptr;
    // Derived from the native state type by define_class.
    destructor dealloc = nullptr;
    Py_ssize_t basic_size = 0;
    Py_ssize_t weak_list_offset = 0;  // 0: no weak references
    struct ClassTables* tables = nullptr;
};

// A null-terminated PyMethodDef array and the doc strings it points at.
struct MethodTable {
    std::unique_ptr<PyMethodDef[]> defs;
    std::unique_ptr<std::string[]> docs;
};
MethodTable method_table(std::span<const MethodEntry> methods);

// What a type object points at for as long as it lives: the interpreter neither copies
// nor frees the method and getter arrays, so they are made once per process and every
// interpreter's type object of the class shares them.
struct ClassTables {
    std::once_flag made;
    MethodTable methods;
    std::unique_ptr<PyGetSetDef[]> getters;
    std::string doc;
};
template <class State>
inline ClassTables class_tables;

// A new type object of the class, made by the exec routine of `module`, which it keeps.
// A failure is a RuntimeError whose __cause__ says why.
PyResult<Ref> make_type(const ClassDef& def, PyObject* module);

// TypeError for a call on an instance whose native state was never built.
Error unbuilt_instance(PyObject* self);

// A new, zeroed instance of `type` whose state is not yet constructed.
PyResult<Ref> allocate_instance(PyTypeObject* type);

}  // namespace ipc_probe::py
