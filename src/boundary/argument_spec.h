// Parameter descriptions: one per callable, driving binding, its messages and the doc string.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

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

    // How many arguments binding puts out: parameters, then keyword-only ones.
    constexpr std::size_t bound_count() const { return parameters.size() + keyword_only.size(); }
    // "IpcStats.__new__()" or "register_signal_pipe()".
    std::string full_name() const;
};

// The doc string a callable gets: its text signature, "name($self, a, b)\n--\n\n" (no
// "$self" for a module function or a class), from which the interpreter derives
// __text_signature__, then the description. Derived from the ArgumentSpec that binds the
// call, so the names the signature shows are the names binding accepts. None: no parameters.
std::string doc_with_signature(std::string_view name, bool takes_self, const ArgumentSpec* spec,
                               std::string_view description = {});

}  // namespace ipc_probe::py
