// Binding call arguments to the parameters of an ArgumentSpec.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "boundary/argument_spec.h"
#include "boundary/error.h"

namespace ipc_probe::py {

// The binding of a call whose keywords all name parameters not given by position, each
// once, with plain ASCII names: what nearly every call does. Returns false for anything
// else, and then bind_vector decides (and words the error) from scratch, so this needs no
// error handling of its own. Inline, so parameters known at compile time unroll it.
inline bool bind_simple_keywords(const ArgumentSpec& spec, PyObject* const* args,
                                 std::size_t nargs, PyObject* kwnames, PyObject** bound) noexcept {
    const std::size_t n = spec.parameters.size();
    const auto keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    if (!spec.keyword_only.empty() || nargs + keywords != n) return false;
    for (std::size_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    for (std::size_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_IS_COMPACT_ASCII(key)) return false;
        const std::string_view name(static_cast<const char*>(PyUnicode_DATA(key)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
        std::size_t i = std::max(nargs, spec.positional_only);
        while (i < n && spec.parameters[i] != name) ++i;
        if (i == n || bound[i] != nullptr) return false;
        bound[i] = args[nargs + k];
    }
    return true;  // n arguments went into n distinct places: none is missing
}

// Both fill `bound` (bound_count() entries, borrowed references, null where not given)
// or fail with the TypeError that names the first problem found. `state` is the call's,
// for a keyword name whose str() fails.
// Vector form: positional values, then keyword values named by `kwnames` (may be null).
Status bind_vector(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound, const ModuleState* state);
// Tuple form, for constructors: `kwargs` may be null.
Status bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** bound,
                  const ModuleState* state);

}  // namespace ipc_probe::py
