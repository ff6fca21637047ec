// Type creation from a ClassDef, and instance allocation.
#include "boundary/class_def.h"

#include <string>
#include <utility>
#include <vector>

#include "boundary/text.h"

namespace ipc_probe::py {
namespace {

PyCFunction as_ml_meth(const Callable& callable) noexcept {
    if (callable.noargs) return callable.noargs;
    // The interpreter calls through ml_meth according to ml_flags.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callable.fastcall));
}

// The interpreter's own reason stays reachable as __cause__; a panic is not an ordinary
// error and is passed on as it is.
Error class_creation_error(const ClassDef& def, Error cause) {
    if (cause.is_panic()) return cause;
    Ref error = Error::lazy(PyExc_RuntimeError,
                            std::string("An error occurred while initializing class ") + def.name)
                    .into_exception();
    if (!error) return Error::fetch();
    PyException_SetCause(error.get(), std::move(cause).into_exception().release());
    return Error::from_exception(std::move(error));
}

void make_tables(const ClassDef& def) {
    ClassTables& tables = *def.tables;
    std::call_once(tables.made, [&] {
        if (def.constructor.construct != nullptr) {
            tables.doc = doc_with_signature(def.name, false, def.constructor.spec, def.description);
        } else {
            tables.doc = def.description;
        }
        if (!def.methods.empty()) tables.methods = method_table(def.methods);
        if (def.getters.empty()) return;
        tables.getters = std::make_unique<PyGetSetDef[]>(def.getters.size() + 1);
        for (std::size_t i = 0; i < def.getters.size(); ++i) {
            tables.getters[i] = PyGetSetDef{def.getters[i].name, def.getters[i].get, nullptr,
                                            nullptr, nullptr};
        }
    });
}

}  // namespace

PyResult<Ref> make_type(const ClassDef& def, PyObject* module) {
    make_tables(def);
    // The interpreter copies the members into the type object; only the two tables stay.
    PyMemberDef members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET, def.weak_list_offset, Py_READONLY, nullptr},
        {},
    };

    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(def.tables->doc.c_str())});
    if (def.constructor.construct) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.constructor.construct)});
    }
    if (def.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
    if (def.tables->methods.defs) {
        slots.push_back({Py_tp_methods, def.tables->methods.defs.get()});
    }
    if (def.weak_list_offset != 0) slots.push_back({Py_tp_members, members});
    if (def.tables->getters) slots.push_back({Py_tp_getset, def.tables->getters.get()});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
    slots.push_back({0, nullptr});

    // "builtins." is fixed by the interface: callers match on the module name it gives.
    const std::string qualified = std::string("builtins.") + def.name;
    PyType_Spec spec{
        .name = qualified.c_str(),
        .basicsize = static_cast<int>(def.basic_size),
        .itemsize = 0,
        .flags = def.constructor.construct
                     ? 0u
                     : static_cast<unsigned>(Py_TPFLAGS_DISALLOW_INSTANTIATION),
        .slots = slots.data(),
    };
    // The class keeps the module object that made it, whose state its calls read.
    if (PyObject* created = PyType_FromModuleAndSpec(module, &spec, nullptr)) return Ref::steal(created);
    return std::unexpected(class_creation_error(def, Error::fetch()));
}

MethodTable method_table(std::span<const MethodEntry> methods) {
    MethodTable table{std::make_unique<PyMethodDef[]>(methods.size() + 1),  // zeroed terminator
                      std::make_unique<std::string[]>(methods.size())};
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const MethodEntry& m = methods[i];
        table.docs[i] = doc_with_signature(m.name, m.callable.method, m.callable.spec);
        table.defs[i] = PyMethodDef{m.name, as_ml_meth(m.callable), m.callable.flags,
                                    table.docs[i].c_str()};
    }
    return table;
}

Error unbuilt_instance(PyObject* self) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(self)));
    if (!name) return Error::fetch();
    return Error::lazy(PyExc_TypeError, utf8_lossy(name.get()) +
                                            " object was not initialized by its constructor");
}

// object's own tp_new, never the class's: it allocates (zeroed) and nothing more, and it
// also serves classes that Python may not instantiate.
PyResult<Ref> allocate_instance(PyTypeObject* type) {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return std::unexpected(Error::fetch());
    Ref object = Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
    if (!object) return std::unexpected(Error::fetch());
    return object;
}

}  // namespace ipc_probe::py
