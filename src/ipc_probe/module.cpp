// The module definition: entry point, exec routine, and the order things are added in.
// What it keeps per process and per interpreter, and what two threads can reach at once:
// docs/explanation/concurrency.rst.
#include <Python.h>

#include <string_view>
#include <vector>

#include "boundary/entries.h"
#include "boundary/interpreter_objects.h"
#include "boundary/text.h"
#include "ipc_probe/surface.h"

namespace ipc_probe::py {
namespace {

// From the build, which has it from the one place it is written (CMakeLists.txt).
std::string_view probe_version() noexcept { return QUILLMERE_VERSION; }

constexpr MethodEntry kProbeVersionFunction = {"probe_version", noargs<&probe_version>};

// Registration order is the order of __all__.
constexpr const MethodEntry* kFunctions[] = {
    &kProbeVersionFunction,
    &kSnapshotResourcesFunction,
    &kListOpenFdsFunction,
    &kRegisterSignalPipeFunction,
};

constexpr const ClassDef* kClasses[] = {
    &kResourceSnapshotClass,
    &kBackgroundSamplerClass,
    &kIpcStatsClass,
    &kSocketStatsClass,
};

static_assert(std::size(kClasses) == kClassCount);

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
Status add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        Error error = Error::fetch();
        if (!error.matches(PyExc_AttributeError)) return std::unexpected(std::move(error));
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return std::unexpected(Error::fetch());
        }
    }
    if (!PyList_Check(all.get())) return std::unexpected(wrong_type(all.get(), &PyList_Type));
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        return std::unexpected(Error::panic("could not append __name__ to __all__"));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return std::unexpected(Error::fetch());
    return {};
}

// The function's self is the module, whose state its calls read.
Status add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return std::unexpected(Error::fetch());
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return std::unexpected(Error::fetch());
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return std::unexpected(Error::fetch());
    return add_to_module(module, name.get(), function.get());
}

Status add_class(PyObject* module, const ClassDef& def, PyObject* type) {
    Ref name = Ref::steal(PyUnicode_FromString(def.name));
    if (!name) return std::unexpected(Error::fetch());
    return add_to_module(module, name.get(), type);
}

Status exec_module(PyObject* module) {
    if (!PyModule_Check(module)) return std::unexpected(wrong_type(module, &PyModule_Type));
    // The state is whole before any function or class is handed out: an exec that fails
    // midway (a refused attribute) leaves callables behind, which work as any others.
    if (Status filled = fill_module_state(module, kClasses, {&make_panic_type, &make_type}); !filled) {
        return filled;
    }
    const ModuleState& state = *state_of_module(module);
    // Function objects point at their definitions for as long as they live, and a
    // re-imported module makes new ones: the definitions are made once and kept.
    static const MethodTable functions = [] {
        std::vector<MethodEntry> entries;
        for (const MethodEntry* entry : kFunctions) entries.push_back(*entry);
        return method_table(entries);
    }();
    for (std::size_t i = 0; i < std::size(kFunctions); ++i) {
        if (Status added = add_function(module, &functions.defs[i]); !added) return added;
    }
    for (std::size_t i = 0; i < kClassCount; ++i) {
        if (Status added = add_class(module, *kClasses[i], state.types[i]); !added) return added;
    }
    return {};
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<&exec_module>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Every interpreter object the module keeps is its module object's, and the
    // process-wide state (signal table, sampler threads) never touches an interpreter, so
    // isolated interpreters with a lock of their own can import it too.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillmere_core",
    .m_doc = "",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = kSlots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace
}  // namespace ipc_probe::py

PyMODINIT_FUNC PyInit__quillmere_core(void) { return PyModuleDef_Init(&ipc_probe::py::kModule); }
