// Text of an operating-system error number as every message of this module shows it.
#pragma once

#include <string>

namespace ipc_probe {

// libc's description, then " (os error N)": "Too many open files (os error 24)".
std::string os_error_text(int error_number);

}  // namespace ipc_probe
