// Names and doc strings derived from a callable's parameter description.
#include "boundary/argument_spec.h"

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

}  // namespace ipc_probe::py
