// The per-interpreter object sets, kept in capsules in the interpreters' state dictionaries
// and in the states of the module objects.
#include "boundary/interpreter_objects.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <format>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace ipc_probe::py {
namespace {

// Room for the classes of one copy. (The test build of a second copy with another layout
// sets another number.)
#ifndef QUILLMERE_CLASS_SLOTS
#define QUILLMERE_CLASS_SLOTS 8
#endif
constexpr std::size_t kClassSlots = QUILLMERE_CLASS_SLOTS;
constexpr const char* kNameTexts[] = {"__all__", "__name__", "add_note"};

class ObjectSet {
public:
    ObjectSet() = default;
    ObjectSet(const ObjectSet&) = delete;
    ObjectSet& operator=(const ObjectSet&) = delete;
    ~ObjectSet() { clear(); }

    PyResult<Ref> type(const ClassDef& def, PyObject* module, MakeType make) {
        PyResult<std::atomic<PyObject*>*> cell = type_cell(def);
        if (!cell) return std::unexpected(std::move(cell).error());
        return fill(**cell, [&] { return make(def, module); });
    }
    PyResult<Ref> panic_type(MakePanicType make) { return fill(panic_type_, make); }
    PyObject* panic_type_if_made() const noexcept { return panic_type_.load(std::memory_order_acquire); }
    PyResult<Ref> name(InternedName which) {
        const char* text = kNameTexts[static_cast<std::size_t>(which)];
        return fill(names_[static_cast<std::size_t>(which)], [&]() -> PyResult<Ref> {
            if (PyObject* name = PyUnicode_InternFromString(text)) return Ref::steal(name);
            return std::unexpected(Error::fetch());
        });
    }

    // New references to every object `other` holds, in its cells. Before anyone else sees
    // this set.
    void take_from(const ObjectSet& other) noexcept {
        for (std::size_t i = 0; i < kClassSlots; ++i) {
            types_[i].def.store(other.types_[i].def.load(std::memory_order_acquire));
            types_[i].type.store(Py_XNewRef(other.types_[i].type.load(std::memory_order_acquire)));
        }
        panic_type_.store(Py_XNewRef(other.panic_type_if_made()));
        for (std::size_t i = 0; i < std::size(names_); ++i) {
            names_[i].store(Py_XNewRef(other.names_[i].load(std::memory_order_acquire)));
        }
    }
    int traverse(visitproc visit, void* arg) const {
        for (const TypeCell& cell : types_) Py_VISIT(cell.type.load(std::memory_order_acquire));
        Py_VISIT(panic_type_if_made());
        for (const auto& name : names_) Py_VISIT(name.load(std::memory_order_acquire));
        return 0;
    }
    void clear() noexcept {
        for (TypeCell& cell : types_) Py_XDECREF(cell.type.exchange(nullptr));
        Py_XDECREF(panic_type_.exchange(nullptr));
        for (auto& name : names_) Py_XDECREF(name.exchange(nullptr));
    }

private:
    // A cell is filled once and then kept. Making may run Python code that lets another
    // thread of the interpreter in to fill the same cell, or without an interpreter lock
    // another thread may be making it at the same moment: the first one stored wins and the
    // others are dropped, so every caller sees one object. Nobody waits for anybody.
    template <class Make>
    static PyResult<Ref> fill(std::atomic<PyObject*>& cell, Make&& make) {
        // Cells are emptied only when the set goes, so what is read here stays alive.
        if (PyObject* kept = cell.load(std::memory_order_acquire)) return Ref::borrow(kept);
        PyResult<Ref> made = make();
        if (!made) return made;
        PyObject* first = nullptr;
        if (cell.compare_exchange_strong(first, made->get(), std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            Py_INCREF(made->get());  // the cell's own reference
            return made;
        }
        return Ref::borrow(first);
    }
    PyResult<std::atomic<PyObject*>*> type_cell(const ClassDef& def) {
        for (TypeCell& cell : types_) {
            const ClassDef* claimed = cell.def.load(std::memory_order_acquire);
            if (claimed == nullptr &&
                cell.def.compare_exchange_strong(claimed, &def, std::memory_order_acq_rel)) {
                return &cell.type;
            }
            if (claimed == &def) return &cell.type;
        }
        return std::unexpected(Error::panic("more classes than the interpreter object set holds"));
    }

    struct TypeCell {
        std::atomic<const ClassDef*> def{nullptr};
        std::atomic<PyObject*> type{nullptr};
    };
    TypeCell types_[kClassSlots];
    std::atomic<PyObject*> panic_type_{nullptr};
    std::atomic<PyObject*> names_[std::size(kNameTexts)] = {};
};

// A module object's references to its interpreter's set. Made when its exec routine
// starts; CPython zeroes the memory before, which reads as an empty state.
struct ModuleState {
    ObjectSet objects;
    std::int64_t interpreter = -1;
    // False in the zeroed memory of a state no exec routine has made yet.
    bool made = true;
};

// This copy's name for its sets, in every interpreter: it holds the address of a variable
// of this copy, which no other copy loaded into the process shares, so no copy ever finds
// a set another made. (Builds before this one used the module's name alone.)
const char key_anchor = 0;
const char* set_key() {
    static const std::string key = std::format("_quillmere_core.interpreter_objects.{:#x}",
                                               reinterpret_cast<std::uintptr_t>(&key_anchor));
    return key.c_str();
}

std::int64_t current_interpreter() noexcept {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// The module objects of this copy, by interpreter number, for the calls that come after
// their interpreter has torn its modules down. An application that embeds CPython may
// finalize the runtime and start another, whose interpreters are numbered from the start
// again, and a module object it keeps past Py_Finalize is never freed: so the table holds
// the current runtime's module objects only, and is emptied as the runtime finalizes.
// Where that cannot be arranged (the runtime's 32 exit functions are taken, by this and
// other copies of the module, say) it holds none for the runtime, and a late call makes
// objects for itself. An interpreter's entry goes with its last module object. Never
// destroyed: a module object may go after the process has begun to exit.
class Interpreters {
public:
    // The objects of a module object of the interpreter, or null where none is left.
    ObjectSet* module_objects(std::int64_t id) noexcept {
        const Locked locked(mutex_);
        const Entry* entry = find(id);
        return entry != nullptr && !entry->states.empty() ? &entry->states.front()->objects : nullptr;
    }
    Status add(ModuleState* state) {
        const Locked locked(mutex_);
        // Py_AtExit takes only the runtime's own lock, which the runtime never holds while
        // it runs an exit function: holding ours meanwhile cannot deadlock.
        if (!runtime_hooked_) runtime_hooked_ = Py_AtExit(&forget_runtime) == 0;
        if (!runtime_hooked_) return {};
        try {
            Entry* entry = find(state->interpreter);
            if (entry == nullptr) entry = &entries_.emplace_back(Entry{state->interpreter, {}});
            if (std::ranges::find(entry->states, state) == entry->states.end()) entry->states.push_back(state);
        } catch (const std::bad_alloc&) {
            return std::unexpected(Error::no_memory());
        }
        return {};
    }
    void remove(const ModuleState* state) noexcept {
        const Locked locked(mutex_);
        Entry* entry = find(state->interpreter);
        if (entry == nullptr) return;
        std::erase(entry->states, state);
        if (entry->states.empty()) std::erase_if(entries_, [&](const Entry& e) { return &e == entry; });
    }

private:
    struct Entry {
        std::int64_t id;
        std::vector<ModuleState*> states;
    };
    class Locked {
    public:
        explicit Locked(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
        ~Locked() { PyMutex_Unlock(&mutex_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        PyMutex& mutex_;
    };
    Entry* find(std::int64_t id) noexcept {
        auto found = std::ranges::find(entries_, id, &Entry::id);
        return found == entries_.end() ? nullptr : &*found;
    }
    // Run by Py_Finalize last of all, when nothing of the runtime can run again (and with
    // no thread state): what its module objects hold is no later runtime's.
    static void forget_runtime() noexcept;

    PyMutex mutex_ = {};
    std::vector<Entry> entries_;
    bool runtime_hooked_ = false;
};
Interpreters& interpreters() {
    static Interpreters* const all = new Interpreters;
    return *all;
}
void Interpreters::forget_runtime() noexcept {
    Interpreters& all = interpreters();
    const Locked locked(all.mutex_);
    all.entries_.clear();
    all.runtime_hooked_ = false;
}

ObjectSet* from_capsule(PyObject* capsule) noexcept {
    return static_cast<ObjectSet*>(PyCapsule_GetPointer(capsule, set_key()));
}

// The interpreter clears its state dictionary while its own thread state is current, so
// the references are dropped in the interpreter (and the allocator) they belong to.
void release_set(PyObject* capsule) noexcept { delete from_capsule(capsule); }

// Whether the current interpreter has torn its modules down. It drops its module registry
// (sys.modules) just before it clears its state dictionary, and from then on nothing may
// ask for that dictionary: it would be made again and never cleared, with a set in it (in
// an isolated interpreter, with it the interpreter's whole allocator). `key` names no
// module, so looking it up runs no import machinery.
bool past_module_teardown(PyObject* key) noexcept {
    if (Ref module = Ref::steal(PyImport_GetModule(key)); module || !PyErr_Occurred()) return false;
    discard_pending();  // "unable to get sys.modules"
    return true;
}

// The current interpreter's set: the one in its state dictionary, made and stored there
// on first use if `make` says so, or, once the interpreter has torn its modules down, the
// one in a module object of the interpreter (null, with no error, where there is none).
PyResult<ObjectSet*> current_set(bool make = true) {
    Ref key = Ref::steal(PyUnicode_FromString(set_key()));
    if (!key) return std::unexpected(Error::fetch());
    if (past_module_teardown(key.get())) return interpreters().module_objects(current_interpreter());
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) {
        return std::unexpected(Error::panic("the interpreter has no state dictionary"));
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict, key.get(), &found) < 0) return std::unexpected(Error::fetch());
    Ref capsule = Ref::steal(found);
    if (!capsule && !make) return nullptr;
    if (!capsule) {
        auto set = std::make_unique<ObjectSet>();
        Ref made = Ref::steal(PyCapsule_New(set.get(), set_key(), &release_set));
        if (!made) return std::unexpected(Error::fetch());
        static_cast<void>(set.release());  // the capsule owns it now
        // Another thread may store its set first; then that one is used and ours released.
        if (PyDict_SetDefaultRef(dict, key.get(), made.get(), &found) < 0) {
            return std::unexpected(Error::fetch());
        }
        capsule = Ref::steal(found);
    }
    ObjectSet* set = from_capsule(capsule.get());
    if (set == nullptr) return std::unexpected(Error::fetch());
    // The dictionary keeps the capsule, and with it the set, until the interpreter ends.
    return set;
}

template <class Use>
PyResult<Ref> with_set(Use&& use) {
    PyResult<ObjectSet*> set = current_set();
    if (!set) return std::unexpected(std::move(set).error());
    if (*set != nullptr) return use(**set);
    // Torn down, with no module object left: objects for this call alone.
    ObjectSet transient;
    return use(transient);
}

ModuleState* state_of(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace

PyResult<Ref> interpreter_type(const ClassDef& def, PyObject* module, MakeType make) {
    return with_set([&](ObjectSet& set) { return set.type(def, module, make); });
}

PyResult<Ref> interpreter_panic_type(MakePanicType make) {
    return with_set([&](ObjectSet& set) { return set.panic_type(make); });
}

PyResult<Ref> interpreter_name(InternedName which) {
    return with_set([&](ObjectSet& set) { return set.name(which); });
}

bool is_interpreter_panic_type(PyTypeObject* type) noexcept {
    const SavedException saved;
    try {
        PyResult<ObjectSet*> set = current_set(false);
        PyErr_Clear();
        return set && *set != nullptr &&
               (*set)->panic_type_if_made() == reinterpret_cast<PyObject*>(type);
    } catch (...) {
        // Out of memory looking for the set: taken for an ordinary exception.
        PyErr_Clear();
        return false;
    }
}

Status prepare_module(PyObject* module) {
    Ref key = Ref::steal(PyUnicode_FromString(set_key()));
    if (!key) return std::unexpected(Error::fetch());
    // Cycles made this late are never collected (CPython leaves them, whatever makes them),
    // and an exec routine makes some: its functions and classes hold their module. They
    // would keep themselves alive, and with them an isolated interpreter's allocator.
    if (past_module_teardown(key.get())) {
        return std::unexpected(Error::lazy(PyExc_PythonFinalizationError,
                                           "cannot execute the module at interpreter shutdown"));
    }
    ModuleState* state = state_of(module);
    if (state == nullptr) return std::unexpected(Error::fetch());
    if (state->made) {
        // C code may run the exec routine of one module object again (PyModule_ExecDef):
        // the first run's references go first.
        interpreters().remove(state);
        state->~ModuleState();
    }
    ::new (state) ModuleState;
    return {};
}

Status keep_in_module(PyObject* module) {
    PyResult<ObjectSet*> set = current_set();
    if (!set) return std::unexpected(std::move(set).error());
    if (*set == nullptr) return std::unexpected(Error::panic("the interpreter is being torn down"));
    ModuleState* state = state_of(module);
    // Empty but where C code ran this routine again from inside itself (PyModule_ExecDef
    // from an attribute hook): the inner run's references make way for this run's.
    state->objects.clear();
    state->objects.take_from(**set);
    state->interpreter = current_interpreter();
    return interpreters().add(state);
}

static_assert(sizeof(ModuleState) <= kModuleStateSize && alignof(ModuleState) <= alignof(std::max_align_t));

int traverse_module(PyObject* module, visitproc visit, void* arg) {
#if PY_VERSION_HEX >= 0x030F0000
    // From 3.15 a traverse function may call only the functions documented as safe while
    // the collector runs; this one reads the state with no side effect.
    const auto* state = static_cast<const ModuleState*>(PyModule_GetState_DuringGC(module));
#else
    const ModuleState* state = state_of(module);
#endif
    return state != nullptr ? state->objects.traverse(visit, arg) : 0;
}

int clear_module(PyObject* module) {
    if (ModuleState* state = state_of(module)) {
        interpreters().remove(state);
        state->objects.clear();
    }
    return 0;
}

void free_module(void* module) {
    ModuleState* state = state_of(static_cast<PyObject*>(module));
    if (state == nullptr) return;
    interpreters().remove(state);
    state->~ModuleState();
}

}  // namespace ipc_probe::py
