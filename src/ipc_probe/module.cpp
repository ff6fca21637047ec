// The module definition: entry point, exec routine, and the order things are added in.
//
// What the module keeps for the whole process, and why that is safe with any number of
// interpreters, each with its own lock or none (the free-threaded build):
// - no interpreter object: types, PanicException and interned names are per interpreter
//   and per loaded copy of the module (boundary/interpreter_objects.h), released when that
//   interpreter ends; their cells are filled by compare-and-swap;
// - the table of this copy's module objects by interpreter, for the current runtime only
//   (interpreter_objects.cpp): under a PyMutex;
// - the method, getter and doc tables the type objects and functions point at
//   (ClassTables, the function table below): plain C data, made once, never changed;
// - the signal table of write ends and its in-flight counts (signal_pipe.cpp): atomics,
//   the only state a signal handler reads;
// - the fork counter and its pthread_atfork hooks (common/fork_generation.cpp and the
//   signal table's), and the cells forked children inherited from sampling threads
//   (sampler.cpp): atomics, touched in a child before anything else runs there;
// - whether the processor has AVX2 (latency_ring.cpp): a constant once read.
// What two threads can reach at once without an interpreter lock, per object: the borrow
// counter (atomic), the statistics (their ThreadSafe form under Py_GIL_DISABLED: a mutex
// for the window, atomics outside it), the sampler's cells (atomics and a futex word; start
// and stop hold the exclusive borrow), a module object's state (filled by its exec routine
// before anyone else sees it, cleared only by the collector, which stops the world).
// Everything else an instance has is made before the instance is published and never
// changed.
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

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
Status add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyResult<Ref> all_name = interned(InternedName::all);
    if (!all_name) return std::unexpected(std::move(all_name).error());
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name->get()));
    if (!all) {
        Error error = Error::fetch();
        if (!error.matches(PyExc_AttributeError)) return std::unexpected(std::move(error));
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name->get(), all.get()) < 0) {
            return std::unexpected(Error::fetch());
        }
    }
    if (!PyList_Check(all.get())) return std::unexpected(wrong_type(all.get(), &PyList_Type));
    if (PyList_Append(all.get(), name) < 0) {
        discard_pending();
        return std::unexpected(Error::panic("could not append __name__ to __all__"));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return std::unexpected(Error::fetch());
    return {};
}

Status add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return std::unexpected(Error::fetch());
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return std::unexpected(Error::fetch());
    PyResult<Ref> name_attribute = interned(InternedName::name);
    if (!name_attribute) return std::unexpected(std::move(name_attribute).error());
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_attribute->get()));
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
    if (Status prepared = prepare_module(module); !prepared) return prepared;
    // Everything a function or class of the module may ask for is made first, and kept in
    // the module before any of them is handed out: a routine that fails midway (a refused
    // attribute) leaves callables behind, and a call of one after the interpreter has torn
    // its modules down must find its objects without making any (see interpreter_objects.h).
    if (PyResult<Ref> panic = panic_exception_type(); !panic) return std::unexpected(std::move(panic).error());
    for (InternedName which : {InternedName::all, InternedName::name, InternedName::add_note}) {
        if (PyResult<Ref> name = interned(which); !name) return std::unexpected(std::move(name).error());
    }
    Ref types[std::size(kClasses)];
    for (std::size_t i = 0; i < std::size(kClasses); ++i) {
        PyResult<Ref> type = type_object(*kClasses[i], module);
        if (!type) return std::unexpected(std::move(type).error());
        types[i] = std::move(*type);
    }
    if (Status kept = keep_in_module(module); !kept) return kept;
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
    for (std::size_t i = 0; i < std::size(kClasses); ++i) {
        if (Status added = add_class(module, *kClasses[i], types[i].get()); !added) return added;
    }
    return {};
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<&exec_module>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Every interpreter object the module keeps is per interpreter, and the process-wide
    // state (signal table, sampler threads) never touches an interpreter, so isolated
    // interpreters with a lock of their own can import it too.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillmere_core",
    .m_doc = "",
    .m_size = kModuleStateSize,
    .m_methods = nullptr,
    .m_slots = kSlots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace
}  // namespace ipc_probe::py

PyMODINIT_FUNC PyInit__quillmere_core(void) { return PyModuleDef_Init(&ipc_probe::py::kModule); }
