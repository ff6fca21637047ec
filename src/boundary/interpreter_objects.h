// Interpreter objects the module makes on first need and keeps for as long as the
// interpreter that made them: the class type objects, PanicException and interned names.
#pragma once

#include <Python.h>

#include <cstddef>

#include "boundary/error.h"

namespace ipc_probe::py {

struct ClassDef;

// Every interpreter gets its own set, held in its state dictionary and released when that
// interpreter is cleared. Nothing made in one interpreter is used by another: type version
// tags, method caches, specialised bytecode and (for isolated interpreters) the allocator
// are all per interpreter, so a type shared between two would be dispatched on wrongly or
// outlive the memory it lives in. Within one interpreter the objects stay the same, so a
// re-imported module gets the same classes.
class InterpreterObjects {
public:
    // The current interpreter's set, made on first use.
    static PyResult<InterpreterObjects*> current();
    // The current interpreter's set if it has one already, else null. Never fails and
    // leaves the error indicator as it found it.
    static InterpreterObjects* existing() noexcept;

    // The type object of `def`; `make` runs when this interpreter has none yet.
    template <class Make>
    PyResult<PyObject*> type(const ClassDef& def, Make&& make) {
        PyResult<PyObject**> cell = type_cell(def);
        if (!cell) return std::unexpected(std::move(cell).error());
        return fill(**cell, make);
    }
    PyObject* panic_type() const noexcept { return panic_type_; }
    template <class Make>
    PyResult<PyObject*> panic_type(Make&& make) {
        return fill(panic_type_, make);
    }
    PyResult<PyObject*> interned(InternedName which);

    InterpreterObjects() = default;
    InterpreterObjects(const InterpreterObjects&) = delete;
    InterpreterObjects& operator=(const InterpreterObjects&) = delete;
    ~InterpreterObjects();

private:
    static constexpr std::size_t kClassSlots = 8;
    static constexpr std::size_t kInternedNames = 3;

    // A cell is filled once and then kept. Making may run Python code that lets another
    // thread of this interpreter in to fill the same cell; the first one stored wins and
    // the other is dropped, so every caller sees one object. Nobody waits for anybody.
    template <class Make>
    static PyResult<PyObject*> fill(PyObject*& cell, Make& make) {
        if (cell != nullptr) return cell;
        PyResult<Ref> made = make();
        if (!made) return std::unexpected(std::move(made).error());
        if (cell == nullptr) cell = made->release();
        return cell;
    }
    PyResult<PyObject**> type_cell(const ClassDef& def);

    struct TypeCell {
        const ClassDef* def = nullptr;
        PyObject* type = nullptr;
    };
    TypeCell types_[kClassSlots];
    PyObject* panic_type_ = nullptr;
    PyObject* names_[kInternedNames] = {};
};

}  // namespace ipc_probe::py
