// A callable's parameters, and binding call arguments to them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "boundary/error.h"

namespace ipc_probe::py {

// One per callable that takes arguments: drives binding, its messages and the doc string.
// Every parameter is positional-or-keyword and required.
struct ArgumentSpec {
    std::string_view function;         // as used in messages: "__new__", "record_depth"
    std::string_view class_name = {};  // empty for a module function
    std::span<const std::string_view> parameters = {};

    // "IpcStats.__new__()" or "register_signal_pipe()".
    std::string full_name() const;
};

// The doc string a callable gets: its text signature, "name($self, a, b)\n--\n\n" (no
// "$self" for a module function or a class), from which the interpreter derives
// __text_signature__, then the description. Derived from the ArgumentSpec that binds the
// call, so the names the signature shows are the names binding accepts. None: no parameters.
std::string doc_with_signature(std::string_view name, bool takes_self, const ArgumentSpec* spec,
                               std::string_view description = {});

// The binding of a call whose keywords all name parameters not given by position, each
// once, with plain ASCII names: what nearly every call does. Returns false for anything
// else, and then bind_vector decides (and words the error) from scratch, so this needs no
// error handling of its own. Inline, so parameters known at compile time unroll it.
inline bool bind_simple_keywords(const ArgumentSpec& spec, PyObject* const* args,
                                 std::size_t nargs, PyObject* kwnames, PyObject** bound) noexcept {
    const std::size_t n = spec.parameters.size();
    const auto keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    if (nargs + keywords != n) return false;
    for (std::size_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    for (std::size_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_IS_COMPACT_ASCII(key)) return false;
        const std::string_view name(static_cast<const char*>(PyUnicode_DATA(key)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
        std::size_t i = nargs;
        while (i < n && spec.parameters[i] != name) ++i;
        if (i == n || bound[i] != nullptr) return false;
        bound[i] = args[nargs + k];
    }
    return true;  // n arguments went into n distinct places: none is missing
}

// Both fill `bound` (one entry per parameter, borrowed references, null where not given)
// or fail with the TypeError that names the first problem found. `state` is the call's,
// for a keyword name whose str() fails.
// Vector form: positional values, then keyword values named by `kwnames` (may be null).
Status bind_vector(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound, const ModuleState* state);
// Tuple form, for constructors: `kwargs` may be null.
Status bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** bound,
                  const ModuleState* state);

}  // namespace ipc_probe::py
