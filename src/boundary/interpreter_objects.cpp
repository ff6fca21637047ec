// The per-interpreter object set, kept in a capsule in the interpreter's state dictionary.
#include "boundary/interpreter_objects.h"

#include <iterator>
#include <memory>

namespace ipc_probe::py {
namespace {

constexpr const char* kKey = "_quillmere_core";
constexpr const char* kCapsuleName = "_quillmere_core.interpreter_objects";

// The interpreter clears its state dictionary while its own thread state is current, so
// the references are dropped in the interpreter (and the allocator) they belong to.
void release_objects(PyObject* capsule) noexcept {
    delete static_cast<InterpreterObjects*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* state_dict() noexcept {
    // Null, with no exception, only where the interpreter cannot give one.
    return PyInterpreterState_GetDict(PyInterpreterState_Get());
}

InterpreterObjects* from_capsule(PyObject* capsule) noexcept {
    return static_cast<InterpreterObjects*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

InterpreterObjects::~InterpreterObjects() {
    for (TypeCell& cell : types_) Py_XDECREF(cell.type);
    Py_XDECREF(panic_type_);
    for (PyObject* name : names_) Py_XDECREF(name);
}

PyResult<InterpreterObjects*> InterpreterObjects::current() {
    PyObject* dict = state_dict();
    if (dict == nullptr) {
        return std::unexpected(Error::panic("the interpreter has no state dictionary"));
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, kKey, &found) < 0) return std::unexpected(Error::fetch());
    Ref capsule = Ref::steal(found);
    if (!capsule) {
        auto objects = std::make_unique<InterpreterObjects>();
        Ref made = Ref::steal(PyCapsule_New(objects.get(), kCapsuleName, &release_objects));
        if (!made) return std::unexpected(Error::fetch());
        static_cast<void>(objects.release());  // the capsule owns it now
        Ref key = Ref::steal(PyUnicode_FromString(kKey));
        if (!key) return std::unexpected(Error::fetch());
        if (PyDict_SetDefaultRef(dict, key.get(), made.get(), &found) < 0) {
            return std::unexpected(Error::fetch());
        }
        capsule = Ref::steal(found);
    }
    InterpreterObjects* objects = from_capsule(capsule.get());
    if (objects == nullptr) return std::unexpected(Error::fetch());
    // The dictionary keeps the capsule, and with it the set, until the interpreter ends.
    return objects;
}

InterpreterObjects* InterpreterObjects::existing() noexcept {
    PyObject* dict = state_dict();
    if (dict == nullptr) return nullptr;
    const SavedException saved;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, kKey, &found) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref capsule = Ref::steal(found);
    InterpreterObjects* objects = from_capsule(capsule.get());
    PyErr_Clear();
    return objects;
}

PyResult<PyObject**> InterpreterObjects::type_cell(const ClassDef& def) {
    for (TypeCell& cell : types_) {
        if (cell.def == &def) return &cell.type;
        if (cell.def == nullptr) {
            cell.def = &def;
            return &cell.type;
        }
    }
    return std::unexpected(Error::panic("more classes than the interpreter object set holds"));
}

PyResult<PyObject*> InterpreterObjects::interned(InternedName which) {
    static constexpr const char* kTexts[] = {"__all__", "__name__", "add_note"};
    static_assert(std::size(kTexts) == kInternedNames);
    const auto index = static_cast<std::size_t>(which);
    auto make = [&]() -> PyResult<Ref> {
        if (PyObject* name = PyUnicode_InternFromString(kTexts[index])) return Ref::steal(name);
        return std::unexpected(Error::fetch());
    };
    return fill(names_[index], make);
}

}  // namespace ipc_probe::py
