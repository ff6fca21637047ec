// strerror_r wrapper producing the module's operating-system error text.
#include "common/os_error.h"

#include <cstring>
#include <type_traits>

namespace ipc_probe {
namespace {

// glibc declares the GNU strerror_r (returns the text) or the POSIX one (fills the
// buffer and returns an int) depending on feature macros; accept either.
[[maybe_unused]] const char* pick(char* result, const char*) { return result; }
[[maybe_unused]] const char* pick(int status, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int error_number) {
    char buffer[256];
    std::string text = pick(::strerror_r(error_number, buffer, sizeof buffer), buffer);
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return text;
}

}  // namespace ipc_probe
