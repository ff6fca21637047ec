// Binding call arguments to parameters, with the interpreter-style messages.
#include <algorithm>
#include <vector>

#include "boundary/binding.h"
#include "boundary/text.h"

namespace ipc_probe::py {
namespace {

Error type_error(std::string message) { return Error::lazy(PyExc_TypeError, std::move(message)); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

Error missing(const ArgumentSpec& spec, const char* kind, const std::vector<std::string_view>& names) {
    return type_error(spec.full_name() + " missing " + std::to_string(names.size()) + " required " +
                      kind + (names.size() == 1 ? " argument: " : " arguments: ") +
                      quoted_list(names));
}

// The checks shared by both call forms, in the order the messages must be chosen.
class Binder {
public:
    Binder(const ArgumentSpec& spec, PyObject** bound, const ModuleState* state)
        : spec_(spec), bound_(bound), state_(state) {
        // Null marks a parameter not yet given: both the multiple-values and the missing-argument
        // checks read it.
        std::fill_n(bound_, spec_.bound_count(), nullptr);
    }

    Status place_positional(PyObject* const* values, Py_ssize_t count) {
        const std::size_t given = static_cast<std::size_t>(count);
        const std::size_t n = spec_.parameters.size();
        if (given > n) {
            std::string message = spec_.full_name() + " takes ";
            if (spec_.required != n) message += "from " + std::to_string(spec_.required) + " to ";
            message += std::to_string(n) + " positional arguments but " + std::to_string(given) +
                       (given == 1 ? " was given" : " were given");
            return std::unexpected(type_error(std::move(message)));
        }
        std::copy_n(values, given, bound_);
        return {};
    }

    Status place_keyword(PyObject* key, PyObject* value) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        // A name with no UTF-8 form (lone surrogates) cannot equal any parameter's: it is
        // simply unknown, and its message text is made below.
        if (data == nullptr && PyUnicode_Check(key)) PyErr_Clear();
        if (data != nullptr) {
            const std::string_view name(data, static_cast<std::size_t>(size));
            const std::size_t n = spec_.parameters.size();
            for (std::size_t i = 0; i < spec_.keyword_only.size(); ++i) {
                if (spec_.keyword_only[i].name == name) return fill(n + i, value, name);
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (spec_.parameters[i] != name) continue;
                if (i < spec_.positional_only) {
                    // Remembered, not refused at once: the interpreter's message lists every
                    // such name, after the other keywords have had their say.
                    positional_only_given_.push_back(spec_.parameters[i]);
                    return {};
                }
                return fill(i, value, name);
            }
        }
        PyResult<std::string> key_text = text_of(key, state_);
        if (!key_text) return std::unexpected(std::move(key_text).error());
        return std::unexpected(type_error(spec_.full_name() + " got an unexpected keyword argument '" +
                                          *key_text + "'"));
    }

    Status finish() const {
        if (!positional_only_given_.empty()) {
            return std::unexpected(type_error(
                spec_.full_name() +
                " got some positional-only arguments passed as keyword arguments: " +
                quoted_list(positional_only_given_)));
        }
        std::vector<std::string_view> absent;
        for (std::size_t i = 0; i < spec_.required; ++i) {
            if (bound_[i] == nullptr) absent.push_back(spec_.parameters[i]);
        }
        if (!absent.empty()) return std::unexpected(missing(spec_, "positional", absent));
        const std::size_t n = spec_.parameters.size();
        for (std::size_t i = 0; i < spec_.keyword_only.size(); ++i) {
            if (spec_.keyword_only[i].required && bound_[n + i] == nullptr) {
                absent.push_back(spec_.keyword_only[i].name);
            }
        }
        if (!absent.empty()) return std::unexpected(missing(spec_, "keyword", absent));
        return {};
    }

private:
    Status fill(std::size_t index, PyObject* value, std::string_view name) {
        if (bound_[index] != nullptr) {
            return std::unexpected(type_error(spec_.full_name() +
                                              " got multiple values for argument '" +
                                              std::string(name) + "'"));
        }
        bound_[index] = value;
        return {};
    }

    const ArgumentSpec& spec_;
    PyObject** bound_;
    const ModuleState* state_;
    std::vector<std::string_view> positional_only_given_;
};

}  // namespace

Status bind_vector(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound, const ModuleState* state) {
    Binder binder(spec, bound, state);
    if (Status placed = binder.place_positional(args, nargs); !placed) return placed;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        Status placed = binder.place_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        if (!placed) return placed;
    }
    return binder.finish();
}

Status bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** bound,
                  const ModuleState* state) {
    Binder binder(spec, bound, state);
    Status placed = binder.place_positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
    if (!placed) return placed;
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t position = 0; PyDict_Next(kwargs, &position, &key, &value);) {
            if (Status kept = binder.place_keyword(key, value); !kept) return kept;
        }
    }
    return binder.finish();
}

}  // namespace ipc_probe::py
