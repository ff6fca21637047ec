// Type creation from a ClassDef, and instance allocation.
#include "boundary/class_def.h"

#include <string>
#include <vector>

namespace ipc_probe::py {
namespace {

PyCFunction erased(const Callable& callable) noexcept {
    if (callable.noargs) return callable.noargs;
    // The interpreter calls through ml_meth according to ml_flags.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callable.fastcall));
}

Error class_creation_error(const ClassDef& def, Error cause) {
    if (cause.is_panic()) return cause;
    Ref error = Error::lazy(PyExc_RuntimeError,
                            std::string("An error occurred while initializing class ") + def.name)
                    .into_exception();
    if (!error) return Error::fetch();
    PyException_SetCause(error.get(), std::move(cause).into_exception().release());
    return Error::caught(std::move(error));
}

}  // namespace

std::unique_ptr<PyMethodDef[]> method_defs(std::span<const MethodEntry> methods) {
    auto defs = std::make_unique<PyMethodDef[]>(methods.size() + 1);  // zeroed terminator
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const MethodEntry& m = methods[i];
        defs[i] = PyMethodDef{m.name, erased(m.callable), m.callable.flags, m.doc};
    }
    return defs;
}

PyResult<PyTypeObject*> type_object(const ClassDef& def) {
    if (PyTypeObject* ready = def.cell->load(std::memory_order_acquire)) return ready;

    // The interpreter keeps pointers to the method and getter tables, so they live as long
    // as the type: released to it below, freed here only if creation fails.
    std::unique_ptr<PyMethodDef[]> methods;
    std::unique_ptr<PyGetSetDef[]> getters;
    PyMemberDef members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET, def.weak_list_offset, Py_READONLY, nullptr},
        {},
    };

    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
    if (def.construct) slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.construct)});
    if (def.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
    if (!def.methods.empty()) {
        methods = method_defs(def.methods);
        slots.push_back({Py_tp_methods, methods.get()});
    }
    if (def.weak_list_offset != 0) slots.push_back({Py_tp_members, members});
    if (!def.getters.empty()) {
        getters = std::make_unique<PyGetSetDef[]>(def.getters.size() + 1);
        for (std::size_t i = 0; i < def.getters.size(); ++i) {
            getters[i] = PyGetSetDef{def.getters[i].name, def.getters[i].get, nullptr, nullptr, nullptr};
        }
        slots.push_back({Py_tp_getset, getters.get()});
    }
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
    slots.push_back({0, nullptr});

    const std::string qualified = std::string("builtins.") + def.name;
    PyType_Spec spec{
        .name = qualified.c_str(),
        .basicsize = static_cast<int>(def.basic_size),
        .itemsize = 0,
        .flags = def.construct ? 0u : static_cast<unsigned>(Py_TPFLAGS_DISALLOW_INSTANTIATION),
        .slots = slots.data(),
    };
    PyObject* created = PyType_FromSpec(&spec);
    if (!created) return std::unexpected(class_creation_error(def, Error::fetch()));

    auto* type = reinterpret_cast<PyTypeObject*>(created);
    PyTypeObject* expected = nullptr;
    if (!def.cell->compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(created);  // another thread finished first; its type is the one
        return expected;
    }
    static_cast<void>(methods.release());
    static_cast<void>(getters.release());
    return type;
}

PyResult<Ref> allocate_instance(PyTypeObject* type) {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return std::unexpected(Error::fetch());
    Ref object = Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
    if (!object) return std::unexpected(Error::fetch());
    return object;
}

}  // namespace ipc_probe::py
