// Parameter descriptions: one per callable, driving binding and every binding message.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "boundary/error.h"

namespace ipc_probe::py {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct ArgumentSpec {
    std::string_view function;    // as used in messages: "__new__", "record_depth"
    std::string_view class_name;  // empty for a module function
    std::span<const std::string_view> parameters;  // positional-or-keyword, in order
    std::size_t positional_only = 0;
    std::size_t required = 0;  // the first `required` parameters must be given
    std::span<const KeywordOnlyParameter> keyword_only = {};

    // Bound arguments come out in this many slots: parameters, then keyword-only ones.
    constexpr std::size_t slot_count() const { return parameters.size() + keyword_only.size(); }
    // "IpcStats.__new__()" or "register_signal_pipe()".
    std::string full_name() const;
};

// Both fill `slots` (slot_count() entries, borrowed references, null where not given)
// or fail with the TypeError that names the first problem found.
// Vector form: positional values, then keyword values named by `kwnames` (may be null).
Status bind_vector(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);
// Tuple form, for constructors: `kwargs` may be null.
Status bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace ipc_probe::py
