// The error value for a broken invariant or an impossible size inside the core.
// It carries where it was detected, because the report a user sees names the source position.
#pragma once

#include <source_location>
#include <string>

namespace ipc_probe {

struct InternalError {
    std::string message;
    std::source_location where = std::source_location::current();
};

}  // namespace ipc_probe
