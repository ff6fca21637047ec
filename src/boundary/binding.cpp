// Binding call arguments to parameters, with the interpreter-style messages, and the names
// and doc strings derived from the parameters.
#include "boundary/binding.h"

#include <algorithm>
#include <vector>

#include "boundary/text.h"

namespace ipc_probe::py {

std::string ArgumentSpec::full_name() const {
    std::string name;
    if (!class_name.empty()) {
        name += class_name;
        name += '.';
    }
    name += function;
    name += "()";
    return name;
}

std::string doc_with_signature(std::string_view name, bool takes_self, const ArgumentSpec* spec,
                               std::string_view description) {
    std::string doc(name);
    doc += '(';
    const char* separator = "";
    if (takes_self) {
        doc += "$self";
        separator = ", ";
    }
    if (spec != nullptr) {
        for (const std::string_view parameter : spec->parameters) {
            doc += separator;
            doc += parameter;
            separator = ", ";
        }
    }
    doc += ")\n--\n\n";
    doc += description;
    return doc;
}

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


// The checks shared by both call forms, in the order the messages must be chosen.
class Binder {
public:
    Binder(const ArgumentSpec& spec, PyObject** bound, const ModuleState* state)
        : spec_(spec), bound_(bound), state_(state) {
        // Null marks a parameter not yet given: both the multiple-values and the missing-argument
        // checks read it.
        std::fill_n(bound_, spec_.parameters.size(), nullptr);
    }

    Status place_positional(PyObject* const* values, Py_ssize_t count) {
        const std::size_t given = static_cast<std::size_t>(count);
        const std::size_t n = spec_.parameters.size();
        if (given > n) {
            return std::unexpected(type_error(
                spec_.full_name() + " takes " + std::to_string(n) + " positional arguments but " +
                std::to_string(given) + (given == 1 ? " was given" : " were given")));
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
            for (std::size_t i = 0; i < spec_.parameters.size(); ++i) {
                if (spec_.parameters[i] == name) return fill(i, value, name);
            }
        }
        PyResult<std::string> key_text = text_of(key, state_);
        if (!key_text) return std::unexpected(std::move(key_text).error());
        return std::unexpected(type_error(spec_.full_name() + " got an unexpected keyword argument '" +
                                          *key_text + "'"));
    }

    Status finish() const {
        std::vector<std::string_view> absent;
        for (std::size_t i = 0; i < spec_.parameters.size(); ++i) {
            if (bound_[i] == nullptr) absent.push_back(spec_.parameters[i]);
        }
        if (absent.empty()) return {};
        return std::unexpected(type_error(
            spec_.full_name() + " missing " + std::to_string(absent.size()) +
            " required positional " + (absent.size() == 1 ? "argument: " : "arguments: ") +
            quoted_list(absent)));
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
